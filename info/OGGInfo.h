// Stream information of Ogg Vorbis and Ogg Opus files: the sample rate from
// the identification header on the first page and the granule position of the
// last page, found by searching backwards from the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

class TOggInfo : public TLengthReader<TOggInfo> {
 public:
  // Files this short hold no identification header and last page.
  static constexpr int64_t kMinFileSize = 258;
  // The backward search reads blocks of this size, each overlapping the one
  // after it by 3 bytes so that a page mark cut by a block boundary is found.
  static constexpr size_t kBlockSize = 258;
  static constexpr int64_t kBlockStep = 255;
  // The search ends after this many bytes from the end: a last page lies
  // within its 64 KiB plus what a tag after the stream adds; past that the
  // length is unknown.
  static constexpr int64_t kMaxSearchBytes = 8 << 20;
  // Opus granule positions count 48 kHz samples, whatever the input rate.
  static constexpr uint32_t kOpusRate = 48000;

 private:
  friend class TLengthReader<TOggInfo>;
  void Parse(TStream& stream);
};

}  // namespace dov
