// Stream information of AIFF and AIFF-C files: the play length from the
// sample frame count and rate of the "COMM" chunk, wherever it stands.
#pragma once

#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

class TAIFFInfo : public TLengthReader<TAIFFInfo> {
 private:
  friend class TLengthReader<TAIFFInfo>;
  void Parse(TStream& stream);
};

}  // namespace dov
