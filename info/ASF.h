// Stream information of ASF files (WMA, WMV): the play duration and preroll of
// the file properties object inside the header object.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TASFInfo {
 public:
  // The part of the header object searched for the file properties object at
  // most; the header's own size is not trusted beyond the file or this.
  static constexpr uint32_t kMaxHeaderBytes = 16 * 1024 * 1024;

  // Play length in milliseconds, 0 = unknown. The preroll is subtracted, so a
  // damaged header can give a negative value.
  int32_t Duration = 0;

  // Clears Duration, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Parse(TStream& stream);
};

}  // namespace dov
