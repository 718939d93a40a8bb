// Stream information of MP4, M4A and QuickTime files: the play length from the
// time scale and duration of the movie header (moov/mvhd), versions 0 and 1.
#pragma once

#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

class TMP4Info : public TLengthReader<TMP4Info> {
 public:
 private:
  friend class TLengthReader<TMP4Info>;
  void Parse(TStream& stream);
};

}  // namespace dov
