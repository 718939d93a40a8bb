// Stream information of CD-audio track files (".cda"): the 44-byte RIFF "CDDA"
// file a CD drive shows for each track, which holds the track length in
// minutes, seconds and frames.
#pragma once

#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

// Its Duration is in whole seconds.
class TCDAInfo : public TLengthReader<TCDAInfo> {
 private:
  friend class TLengthReader<TCDAInfo>;
  void Parse(TStream& stream);
};

}  // namespace dov
