#include "common/DOVTnt.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace dov {

bool IsUTF8Marked(std::string_view s) {
  return !s.empty() && s[0] == kUTF8Marker;
}

bool HasHighBytes(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

std::string MarkUTF8(std::string_view utf8) {
  if (!HasHighBytes(utf8)) return std::string(utf8);
  std::string result;
  result.reserve(utf8.size() + 1);
  result.push_back(kUTF8Marker);
  result.append(utf8);
  return result;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], and its code point; 0 when the
// bytes there do not form one.
size_t DecodeOne(std::string_view s, size_t i, char32_t& cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > s.size() - i) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

bool DecodeUTF8(std::string_view utf8, std::u16string& out) {
  out.clear();
  const size_t ascii = AsciiRun(utf8);
  out.reserve(utf8.size());
  AppendAscii(out, utf8.substr(0, ascii));
  for (size_t i = ascii; i < utf8.size();) {
    char32_t cp;
    size_t len = DecodeOne(utf8, i, cp);
    if (len == 0) {
      out.clear();
      return false;
    }
    AppendCodePoint(out, cp);
    i += len;
  }
  return true;
}

bool EncodeUTF8(std::u16string_view wide, std::string& out) {
  out.clear();
  const size_t ascii = AsciiRun(wide);
  out.reserve(ascii == wide.size() ? ascii : ascii + (wide.size() - ascii) * 3);
  AppendAscii(out, wide.substr(0, ascii));
  for (size_t i = ascii; i < wide.size(); ++i) {
    char32_t cp = wide[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out.push_back(static_cast<char>(cp - 0xDC00));  // an escaped byte
      continue;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      out.clear();
      return false;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

std::u16string UTF8OrAnsiToWide(std::string_view s) {
  std::u16string wide;
  if (DecodeUTF8(s, wide) && !wide.empty()) return wide;
  return AnsiToWide(s);
}

std::u16string MarkedToWide(std::string_view marked) {
  if (!IsUTF8Marked(marked)) return AnsiToWide(marked);
  return UTF8OrAnsiToWide(marked.substr(1));
}

std::string WideToMarked(std::u16string_view wide) {
  std::string ansi = WideToAnsi(wide);
  std::string utf8;
  if (!EncodeUTF8(wide, utf8)) return ansi;
  // Text that begins with U+007F would read as marked: it is marked, so that
  // the character survives the way back (a file "\x7Fm/a.mp3" is not "m/a.mp3").
  if (!HasHighBytes(utf8) && !IsUTF8Marked(ansi)) return ansi;
  return kUTF8Marker + utf8;
}

std::u16string NativeToWide(std::string_view native) {
  std::u16string out;
  const size_t ascii = AsciiRun(native);
  out.reserve(native.size());
  AppendAscii(out, native.substr(0, ascii));
  for (size_t i = ascii; i < native.size();) {
    char32_t cp;
    size_t len = DecodeOne(native, i, cp);
    if (len == 0) {
      out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(native[i])));
      ++i;
    } else {
      AppendCodePoint(out, cp);
      i += len;
    }
  }
  return out;
}

std::string WideToNative(std::u16string_view wide) {
  std::string out;
  if (EncodeUTF8(wide, out)) return out;
  // A lone surrogate that stands for no byte: replace it, as nothing else can name it.
  std::u16string cleaned(wide);
  for (size_t i = 0; i < cleaned.size(); ++i) {
    char16_t c = cleaned[i];
    bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < cleaned.size() && cleaned[i + 1] >= 0xDC00 &&
                cleaned[i + 1] <= 0xDFFF;
    if (pair) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF && !(c >= 0xDC80 && c <= 0xDCFF)) {
      cleaned[i] = u'\uFFFD';
    }
  }
  EncodeUTF8(cleaned, out);
  return out;
}

std::string MarkedToNative(std::string_view marked) {
  if (IsUTF8Marked(marked)) return std::string(marked.substr(1));
  return WideToNative(AnsiToWide(marked));
}

std::string_view TrimBytes(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

bool MarkedFileExists(std::string_view marked) {
  struct stat st {};
  std::string native = MarkedToNative(marked);
  return ::stat(native.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

namespace {

// Per thread: several threads read tags at once.
std::string& LastOpenErrorText() {
  thread_local std::string text;
  return text;
}

std::atomic<int>& RetryPauseMs() {
  static std::atomic<int> ms{500};
  return ms;
}

bool CanPass(int error) {
  return error == EINTR || error == EAGAIN || error == EBUSY || error == ETXTBSY ||
         error == EMFILE || error == ENFILE;
}

}  // namespace

const std::string& LastOpenError() {
  return LastOpenErrorText();
}

void SetOpenRetryPauseMs(int ms) {
  RetryPauseMs() = ms;
}

std::unique_ptr<TDOVFileStream> OpenWithRetry(std::string_view path, int8_t attempts,
                                              uint16_t mode) {
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    try {
      return std::make_unique<TDOVFileStream>(path, mode);
    } catch (const EFOpenError& e) {
      LastOpenErrorText() = e.what();
      if (!CanPass(e.Error())) break;
      if (attempt < attempts)
        std::this_thread::sleep_for(std::chrono::milliseconds(RetryPauseMs().load()));
    }
  }
  return nullptr;
}

}  // namespace dov
