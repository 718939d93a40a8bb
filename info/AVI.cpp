#include "info/AVI.h"

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

// The main header is taken where AVI writers put it: "RIFF", size, "AVI ",
// then the "hdrl" list ("LIST", size, "hdrl") whose first chunk is "avih".
void TAVIInfo::Parse(TStream& stream) {
  constexpr size_t kHeadSize = 52;
  constexpr size_t kMainHeaderId = 24;
  constexpr size_t kMicroSecondsPerFrame = 32;
  constexpr size_t kTotalFrames = 48;

  TByteReader reader(stream);
  unsigned char head[kHeadSize];
  reader.ReadExact(head, sizeof head);
  if (std::string_view(reinterpret_cast<const char*>(head) + kMainHeaderId, 4) != "avih") return;
  const long double frameMs =
      static_cast<long double>(LoadU32LE(head + kMicroSecondsPerFrame)) / 1000;
  Duration = RoundMilliseconds(frameMs * LoadU32LE(head + kTotalFrames));
}

}  // namespace dov
