// Stream information of RIFF/WAVE files: the format record of the "fmt " chunk
// and the play length from the "data" chunk's size (as far as the file holds
// the data) and the byte rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"
#include "common/RiffChunks.h"

namespace dov {

class TWAVInfo {
 public:
  // Files shorter than a canonical 44-byte header are not measured.
  static constexpr int64_t kMinFileSize = 44;

  // Play length in milliseconds, 0 = unknown.
  int32_t Duration = 0;
  TWaveFormat Format;

  // Clears the fields, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises; what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Parse(TStream& stream);
};

}  // namespace dov
