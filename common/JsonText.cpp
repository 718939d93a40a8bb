#include "common/JsonText.h"

#include <cstdint>

namespace dov {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendUnicodeEscape(std::string& out, unsigned unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Appends the escape for an ASCII byte, or false when it needs none.
bool AppendAsciiEscape(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\b':
      out += "\\b";
      return true;
    case '\f':
      out += "\\f";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      break;
  }
  if (c < 0x20) {
    AppendUnicodeEscape(out, c);
    return true;
  }
  return false;
}

void AppendUTF8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<unsigned> ReadHex4(std::string_view text, size_t pos) {
  if (pos > text.size() || text.size() - pos < 4) return std::nullopt;
  unsigned value = 0;
  for (size_t i = pos; i < pos + 4; ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    value = value * 16 + digit;
  }
  return value;
}

// Decodes the \u escape at text[pos] (pos at the 'u'), a surrogate pair
// included; advances pos past it. False when it is malformed.
bool DecodeUnicodeEscape(std::string_view text, size_t& pos, std::string& out) {
  const auto unit = ReadHex4(text, pos + 1);
  if (!unit) return false;
  pos += 5;
  if (*unit >= 0xDC80 && *unit <= 0xDCFF) {
    out += static_cast<char>(*unit - 0xDC00);
    return true;
  }
  if (*unit >= 0xD800 && *unit <= 0xDBFF) {
    if (text.substr(pos, 2) != "\\u") return false;
    const auto low = ReadHex4(text, pos + 2);
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
    pos += 6;
    AppendUTF8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
    return true;
  }
  if (*unit >= 0xDC00 && *unit <= 0xDFFF) return false;
  AppendUTF8(out, *unit);
  return true;
}

bool DecodeEscape(std::string_view text, size_t& pos, std::string& out) {
  if (pos >= text.size()) return false;
  const char c = text[pos];
  static constexpr std::string_view kFrom = "\"\\/bfnrt";
  static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
  if (const size_t i = kFrom.find(c); i != std::string_view::npos) {
    out += kTo[i];
    ++pos;
    return true;
  }
  return c == 'u' && DecodeUnicodeEscape(text, pos, out);
}

}  // namespace

size_t ValidUTF8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;   // no overlong forms
    if (b0 == 0xED) high = 0x9F;  // no encoded surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  if (b1 < low || b1 > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!IsContinuation(static_cast<unsigned char>(s[i]))) return 0;
  return length;
}

void AppendJsonQuoted(std::string& out, std::string_view bytes) {
  out += '"';
  size_t pos = 0;
  while (pos < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[pos]);
    if (c < 0x80) {
      if (!AppendAsciiEscape(out, c)) out += static_cast<char>(c);
      ++pos;
    } else if (const size_t length = ValidUTF8SequenceLength(bytes.substr(pos))) {
      out.append(bytes.substr(pos, length));
      pos += length;
    } else {
      AppendUnicodeEscape(out, 0xDC00u + c);
      ++pos;
    }
  }
  out += '"';
}

std::string JsonQuote(std::string_view bytes) {
  std::string out;
  AppendJsonQuoted(out, bytes);
  return out;
}

std::optional<std::string> JsonUnquote(std::string_view& text) {
  if (text.empty() || text[0] != '"') return std::nullopt;
  std::string out;
  size_t pos = 1;
  while (pos < text.size()) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c == '"') {
      text.remove_prefix(pos + 1);
      return out;
    }
    if (c < 0x20) return std::nullopt;
    if (c == '\\') {
      ++pos;
      if (!DecodeEscape(text, pos, out)) return std::nullopt;
    } else {
      out += static_cast<char>(c);
      ++pos;
    }
  }
  return std::nullopt;
}

}  // namespace dov
