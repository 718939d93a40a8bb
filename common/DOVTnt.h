// Marked text: an 8-bit string that holds either system-code-page text or,
// behind a leading byte 0x7F, UTF-8. Tag values and file names travel between
// the parts of the program in this form.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/CodePage.h"
#include "common/DOVFileStream.h"

namespace dov {

inline constexpr char kUTF8Marker = '\x7F';

bool IsUTF8Marked(std::string_view s);
bool HasHighBytes(std::string_view s);
std::string MarkUTF8(std::string_view utf8);
std::u16string MarkedToWide(std::string_view marked);
std::string WideToMarked(std::u16string_view wide);
// S decoded as UTF-8; when that gives nothing, S read in the system code page.
std::u16string UTF8OrAnsiToWide(std::string_view s);

// Strict UTF-8 decoding: false for any invalid, overlong or surrogate sequence.
bool DecodeUTF8(std::string_view utf8, std::u16string& out);
// UTF-8 encoding. A lone surrogate U+DC80..U+DCFF is written back as the byte
// it stands for (surrogate escape); any other lone surrogate fails.
bool EncodeUTF8(std::u16string_view wide, std::string& out);

// Native file names are bytes. Decoding escapes each byte that is not part of
// valid UTF-8 as U+DC80..U+DCFF, so that encoding gives back the same bytes.
std::u16string NativeToWide(std::string_view native);
std::string WideToNative(std::u16string_view wide);
// The native name behind a marked name: the bytes after the marker as they
// are; an unmarked name is code-page text.
std::string MarkedToNative(std::string_view marked);

// Removes bytes of 0x20 or less at both ends.
std::string_view TrimBytes(std::string_view s);

// True when a file (not a folder) exists under the marked name.
bool MarkedFileExists(std::string_view marked);

// The message of the last failed attempt of OpenWithRetry on this thread
// (never shown).
const std::string& LastOpenError();

// Opens a stream, retrying only errors that can pass (a busy or interrupted
// open, too many open files) with 500 ms between attempts; a missing or
// unreadable file fails at once. Returns null when no attempt succeeded.
std::unique_ptr<TDOVFileStream> OpenWithRetry(std::string_view path, int8_t attempts,
                                              uint16_t mode);
// The pause between attempts; tests shorten it.
void SetOpenRetryPauseMs(int ms);

}  // namespace dov
