// Stream information of OTS files: a 78-byte header whose last two fields are
// a rate and a count of units at that rate.
#pragma once

#include <cstdint>
#include <string_view>

#include "info/LengthReader.h"

namespace dov {

class TOTSInfo : public TLengthReader<TOTSInfo> {
 private:
  friend class TLengthReader<TOTSInfo>;
  void Parse(TStream& stream);
};

}  // namespace dov
