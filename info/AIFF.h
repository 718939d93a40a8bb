// Stream information of AIFF and AIFF-C files: the play length from the
// sample frame count and rate of the "COMM" chunk, wherever it stands.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TAIFFInfo {
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
