#include "info/OGGInfo.h"

#include <array>
#include <cstring>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

// The first page carries one segment, so its packet starts at offset 28: the
// Vorbis identification header (type byte 1, "vorbis", version, channels at
// 39, sample rate at 40) or the Opus one ("OpusHead", version, channels at 37,
// pre-skip, input sample rate at 40).
constexpr int64_t kCodecName = 29;
constexpr size_t kVorbisChannels = 39 - kCodecName;
constexpr size_t kVorbisRate = 40 - kCodecName;
constexpr size_t kOpusChannels = 37 - kCodecName;
constexpr size_t kIdHeaderBytes = 44 - kCodecName;

// The granule position follows the mark, the version and the header type.
constexpr int64_t kGranuleOffset = 6;
constexpr std::string_view kPageMark = "OggS";

}  // namespace

void TOggInfo::Parse(TStream& stream) {
  TByteReader reader(stream);
  const int64_t size = reader.Size();
  if (size < kMinFileSize) return;

  unsigned char id[kIdHeaderBytes];
  reader.Seek(kCodecName);
  reader.ReadExact(id, sizeof id);
  const std::string_view name(reinterpret_cast<const char*>(id), 6);
  // Samples a second the granule positions count.
  uint32_t rate = 0;
  if (name == "vorbis") {
    if (id[kVorbisChannels] == 0) return;
    rate = LoadU32LE(id + kVorbisRate);
  } else if (name == "pusHea") {
    if (id[kOpusChannels] == 0) return;
    rate = kOpusRate;
  } else {
    return;
  }
  if (rate == 0) return;

  // Backwards from the end: the last page mark of the last block that holds
  // one with its whole granule position inside the file.
  std::array<unsigned char, kBlockSize> block{};
  for (int64_t n = size - 3; n > kBlockStep - 1 && size - 3 - n < kMaxSearchBytes;) {
    n -= kBlockStep;
    reader.Seek(n);
    const size_t got = reader.ReadInto(block.data(), block.size());
    for (size_t at = got >= kPageMark.size() ? got - kPageMark.size() + 1 : 0; at-- > 0;) {
      if (std::memcmp(block.data() + at, kPageMark.data(), kPageMark.size()) != 0) continue;
      const int64_t granuleAt = n + static_cast<int64_t>(at) + kGranuleOffset;
      if (size - granuleAt < 8) continue;
      reader.Seek(granuleAt);
      const auto granule = static_cast<int64_t>(reader.U64LE());
      // -1 (no packet ends on the page) or any other negative value tells
      // nothing.
      if (granule > 0) Duration = MillisecondsOf(static_cast<long double>(granule), rate);
      return;
    }
  }
}

}  // namespace dov
