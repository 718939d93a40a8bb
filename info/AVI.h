// Stream information of AVI files: the play length from the frame time and
// frame count of the main AVI header.
#pragma once

#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

class TAVIInfo : public TLengthReader<TAVIInfo> {
 private:
  friend class TLengthReader<TAVIInfo>;
  void Parse(TStream& stream);
};

}  // namespace dov
