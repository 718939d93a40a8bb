// Stream information of MPEG-1 and MPEG-2 program and video streams: the play
// length from the time codes of the group-of-pictures headers near the end of
// the file, found by searching backwards in fixed blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

// Its Duration is in whole seconds.
class TMPEGVideo : public TLengthReader<TMPEGVideo> {
 public:
  static constexpr int64_t kMinFileSize = 8195;
  // The backward search reads blocks of this size, each overlapping the one
  // after it by 4 bytes so that a start code cut by a block boundary is found.
  static constexpr size_t kBlockSize = 8192;
  static constexpr int64_t kBlockStep = 8188;
  // Lengths beyond this are taken to count from a first time code that is not
  // 0:00:00 (time codes of a broadcast clock), which is then subtracted.
  static constexpr int32_t kClockStartAbove = 3600000;
  // The forward search for the first time code reads blocks of this size.
  static constexpr size_t kFirstBlockSize = 2048;
  static constexpr int64_t kFirstBlockStep = 2045;

 private:
  friend class TLengthReader<TMPEGVideo>;
  void Parse(TStream& stream);
};

}  // namespace dov
