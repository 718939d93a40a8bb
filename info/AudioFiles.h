// The play length of a file, chosen by its extension.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

// Milliseconds, or -1 when unknown. The stream, when given, must be the open
// file of that name; it is read and its position moved, never closed.
int32_t GetFileDuration(std::string_view fileName, TStream* stream);

}  // namespace dov
