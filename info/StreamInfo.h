// What the stream-information readers share: turning counts and rates into
// whole milliseconds. (Reading a stream or a named file with every failure
// swallowed is ParseStreamOrFile of the stream header.)
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

// Milliseconds rounded to the nearest whole number, ties to even; 0 for NaN,
// infinity and values beyond the signed 32-bit range.
inline int32_t RoundMilliseconds(long double ms) {
  if (!std::isfinite(ms)) return 0;
  const long double rounded = std::nearbyint(ms);
  if (rounded < std::numeric_limits<int32_t>::min() ||
      rounded > std::numeric_limits<int32_t>::max())
    return 0;
  return static_cast<int32_t>(rounded);
}

// count units at perSecond units a second, in milliseconds (count / perSecond
// × 1000, rounded as above); 0 when perSecond is 0, negative or not a number.
inline int32_t MillisecondsOf(long double count, long double perSecond) {
  if (!(perSecond > 0) || !std::isfinite(perSecond)) return 0;
  return RoundMilliseconds(count / perSecond * 1000);
}

}  // namespace dov
