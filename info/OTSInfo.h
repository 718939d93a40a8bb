// Stream information of OTS files: a 78-byte header whose last two fields are
// a rate and a count of units at that rate.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TOTSInfo {
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
