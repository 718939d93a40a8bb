#include "info/AIFF.h"

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "info/StreamInfo.h"

namespace dov {

void TAIFFInfo::ReadFromFile(std::string_view fileName, TStream* stream) {
  Duration = 0;
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Parse(s); });
}

// The "COMM" chunk is taken where AIFF writers put it: first after the form
// header, or after the version chunk of an AIFF-C file. It is not searched for.
void TAIFFInfo::Parse(TStream& stream) {
  // The version chunk of AIFF-C: id, size and a 4-byte time stamp.
  constexpr int64_t kVersionChunkSize = 12;
  // Id, size, channels (2), sample frames (4), sample size (2), rate (10).
  constexpr size_t kCommonChunkSize = 26;

  TByteReader reader(stream);
  if (!reader.Consume("FORM")) return;
  reader.Skip(4);  // the form size
  const std::string formType = reader.Take(4);
  if (formType == "AIFC") reader.Skip(kVersionChunkSize);

  unsigned char comm[kCommonChunkSize];
  reader.ReadExact(comm, sizeof comm);
  if (std::string_view(reinterpret_cast<const char*>(comm), 4) != "COMM") return;
  const uint32_t frames = LoadU32BE(comm + 10);
  const double rate =
      BigEndianExtended(std::string_view(reinterpret_cast<const char*>(comm + 16), 10));
  // A rate of 0, a negative one, infinity or NaN tells no length.
  Duration = MillisecondsOf(frames, rate);
}

}  // namespace dov
