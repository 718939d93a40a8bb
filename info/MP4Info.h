// Stream information of MP4, M4A and QuickTime files: the play length from the
// time scale and duration of the movie header (moov/mvhd), versions 0 and 1.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TMP4Info {
 public:
  // Play length in milliseconds, 0 = unknown.
  int32_t Duration = 0;

  // Clears Duration, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Parse(TStream& stream);
};

}  // namespace dov
