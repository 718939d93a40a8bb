// What the stream-information readers that find only a play length share: the
// Duration they fill in, and reading it from the store's open stream or from
// the named file with every failure swallowed.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

// TReader derives from TLengthReader<TReader> and has a Parse(TStream&) that
// sets Duration and may raise on a short or broken file.
template <class TReader>
class TLengthReader {
 public:
  // Play length in milliseconds, 0 = unknown.
  int32_t Duration = 0;

  // Clears Duration, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises.
  void ReadFromFile(std::string_view fileName, TStream* stream) {
    Duration = 0;
    ParseStreamOrFile(fileName, stream,
                      [this](TStream& s) { static_cast<TReader*>(this)->Parse(s); });
  }
};

}  // namespace dov
