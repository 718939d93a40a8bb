#include "info/MPEGVideo.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

constexpr std::array<unsigned char, 4> kGroupStartCode{0x00, 0x00, 0x01, 0xB8};
constexpr size_t kCodeSize = kGroupStartCode.size();
// Start code and time code.
constexpr size_t kGroupHeadSize = 8;
// After a find this close to the end of a block, the block is left.
constexpr size_t kLastSearchFrom = 8183;

// The first start code at or after from that lies within the first `within`
// bytes of buffer (of which `got` were read) and whose time code was read too;
// got when there is none.
size_t FindGroup(const unsigned char* buffer, size_t got, size_t within, size_t from) {
  const size_t end = std::min(got, within);
  // The last byte of the code is the rarest: look for it, then at the three
  // before it.
  for (size_t last = from + kCodeSize - 1; last < end; ++last) {
    const void* hit = std::memchr(buffer + last, kGroupStartCode[kCodeSize - 1], end - last);
    if (hit == nullptr) break;
    last = static_cast<size_t>(static_cast<const unsigned char*>(hit) - buffer);
    const size_t at = last - (kCodeSize - 1);
    if (std::equal(kGroupStartCode.begin(), kGroupStartCode.end(), buffer + at) &&
        got - at >= kGroupHeadSize)
      return at;
  }
  return got;
}

// The time of a group-of-pictures header in milliseconds, from the 4 bytes
// after its start code: drop-frame flag, hours (5 bits), minutes (6), a marker
// bit, seconds (6), then the pictures, which are not counted.
int32_t GroupTimeCode(const unsigned char* timeCode) {
  const uint32_t v = LoadU32BE(timeCode);
  const auto field = [v](unsigned shift, uint32_t mask) {
    return static_cast<int32_t>(v >> shift & mask);
  };
  return field(13, 0x3F) * 1000 + field(20, 0x3F) * 60000 + field(26, 0x1F) * 3600000;
}

}  // namespace

void TMPEGVideo::Parse(TStream& stream) {
  TByteReader reader(stream);
  const int64_t size = reader.Size();
  if (size < kMinFileSize) return;

  // Backwards from the end, each block searched forwards: the first two time
  // codes in that order one second apart give the length (the first of them).
  // A block is read with the 4 bytes after it, so that the time code of a
  // start code at its very end is there.
  std::array<unsigned char, kBlockSize + kGroupHeadSize - kCodeSize> block{};
  int32_t previous = 0;
  bool matched = false;
  for (int64_t n = size - 3; !matched && n >= kMinFileSize;) {
    n -= kBlockStep;
    reader.Seek(n);
    const size_t got = reader.ReadInto(block.data(), block.size());
    for (size_t at = FindGroup(block.data(), got, kBlockSize, 0); at < got;
         at = FindGroup(block.data(), got, kBlockSize, at + 1)) {
      const int32_t time = GroupTimeCode(block.data() + at + kCodeSize);
      if (std::abs(previous - time) == 1000) {
        Duration = previous;
        matched = true;
        break;
      }
      previous = time;
      if (at >= kLastSearchFrom) break;
    }
  }
  if (Duration <= kClockStartAbove) return;

  // A clock time code: the first group of the file tells where it started.
  // Until that search has ended the clock's time is no length: a read error
  // on the way leaves none, rather than hours.
  const int32_t clock = Duration;
  Duration = 0;
  std::array<unsigned char, kFirstBlockSize + kGroupHeadSize - kCodeSize> first{};
  for (int64_t n = 0;;) {
    reader.Seek(n);
    const size_t got = reader.ReadInto(first.data(), first.size());
    const size_t at = FindGroup(first.data(), got, kFirstBlockSize, 0);
    if (at < got) {
      // A clock that went backwards gives no length.
      Duration = std::max(clock - GroupTimeCode(first.data() + at + kCodeSize), 0);
      return;
    }
    n += kFirstBlockStep;
    if (n >= size - static_cast<int64_t>(kFirstBlockSize)) {
      Duration = clock;  // no group found: nothing to subtract
      return;
    }
  }
}

}  // namespace dov
