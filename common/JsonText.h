// JSON string literals that keep exact bytes. File names on Linux need not be
// UTF-8, yet a script must be able to find the file again: valid UTF-8 is
// written as it stands, and each byte b (0x80-0xFF) of an invalid sequence as
// the lone surrogate \udcXX, which is what Python's surrogateescape reads back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dov {

// Appends bytes as a quoted JSON string.
void AppendJsonQuoted(std::string& out, std::string_view bytes);
std::string JsonQuote(std::string_view bytes);

// Reads one quoted JSON string at the start of text and returns its bytes, a
// lone \udc80..\udcff turned back into its byte; text is advanced past it.
// Malformed input gives nullopt and leaves text as it was.
std::optional<std::string> JsonUnquote(std::string_view& text);

// The length of the valid UTF-8 sequence at the start of s, or 0 when s starts
// with a byte that begins none (overlong forms and encoded surrogates included).
size_t ValidUTF8SequenceLength(std::string_view s);

}  // namespace dov
