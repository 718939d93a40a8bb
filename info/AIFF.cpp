#include "info/AIFF.h"

#include <cstddef>
#include <string>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

// Walks the chunks from the position to the one with that id and leaves the
// reader after its header. False when a chunk runs past the end of the file or
// the id is not among the first chunks; a short read raises ETruncated.
bool SkipToChunk(TByteReader& reader, std::string_view wanted) {
  // Writers put the chunks that are looked for within the first few.
  constexpr size_t kMaxChunks = size_t{1} << 16;
  for (size_t count = 0; count < kMaxChunks; ++count) {
    const std::string id = reader.Take(4);
    const uint32_t size = reader.U32BE();
    if (id == wanted) return true;
    const uint64_t padded = uint64_t{size} + (size & 1);  // odd sizes are padded
    if (padded > static_cast<uint64_t>(reader.Remaining())) return false;
    reader.Skip(static_cast<int64_t>(padded));
  }
  return false;
}

}  // namespace

// The "COMM" chunk is searched for from after the form header (after the
// version chunk of an AIFF-C file): writers put comment, name or channel
// layout chunks before it. Chunk sizes are big-endian, an odd-sized chunk is
// followed by a pad byte, and no size is believed beyond the end of the file.
void TAIFFInfo::Parse(TStream& stream) {
  // The version chunk of AIFF-C: id, size and a 4-byte time stamp.
  constexpr int64_t kVersionChunkSize = 12;
  // Channels (2), sample frames (4), sample size (2), rate (10).
  constexpr size_t kCommonBodySize = 18;

  TByteReader reader(stream);
  if (!reader.Consume("FORM")) return;
  reader.Skip(4);  // the form size
  const std::string formType = reader.Take(4);
  if (formType == "AIFC") reader.Skip(kVersionChunkSize);

  if (!SkipToChunk(reader, "COMM")) return;
  unsigned char comm[kCommonBodySize];
  reader.ReadExact(comm, sizeof comm);
  const uint32_t frames = LoadU32BE(comm + 2);
  const double rate =
      BigEndianExtended(std::string_view(reinterpret_cast<const char*>(comm + 8), 10));
  // A rate of 0, a negative one, infinity or NaN tells no length.
  Duration = MillisecondsOf(frames, rate);
}

}  // namespace dov
