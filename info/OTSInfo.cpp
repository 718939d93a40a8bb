#include "info/OTSInfo.h"

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

void TOTSInfo::Parse(TStream& stream) {
  constexpr size_t kHeaderSize = 78;
  constexpr size_t kSecondMark = 40;
  constexpr size_t kRate = 70;
  constexpr size_t kLength = 74;

  TByteReader reader(stream);
  unsigned char header[kHeaderSize];
  reader.ReadExact(header, sizeof header);
  const auto text = [&header](size_t at, size_t size) {
    return std::string_view(reinterpret_cast<const char*>(header) + at, size);
  };
  if (text(0, 10) != "Ots^Media!" || text(kSecondMark, 4) != "Ots!") return;
  Duration = MillisecondsOf(LoadU32LE(header + kLength), LoadU32LE(header + kRate));
}

}  // namespace dov
