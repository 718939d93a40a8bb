// Stream information of Monkey's Audio files, in both header layouts: the
// descriptor layout of version 3.98 and later, and the older layout that keeps
// the source file's WAV header.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"
#include "common/RiffChunks.h"

namespace dov {

class TAPEInfo {
 public:
  // The first version with a descriptor before the header.
  static constexpr uint16_t kDescriptorVersion = 3980;
  static constexpr int64_t kMinFileSize = 44;

  // Play length in milliseconds, 0 = unknown.
  int32_t Duration = 0;
  // The stored WAV header's format record; only files of the older layout
  // fill it.
  TWaveFormat Format;

  // Clears the fields, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises; what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Parse(TStream& stream);
};

}  // namespace dov
