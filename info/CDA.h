// Stream information of CD-audio track files (".cda"): the 44-byte RIFF "CDDA"
// file a CD drive shows for each track, which holds the track length in
// minutes, seconds and frames.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TCDAInfo {
 public:
  // Play length in milliseconds (whole seconds), 0 = unknown.
  int32_t Duration = 0;

  // Clears Duration, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Parse(TStream& stream);
};

}  // namespace dov
