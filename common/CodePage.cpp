#include "common/CodePage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace dov {
namespace {

// Windows-1252 bytes 0x80..0x9F; the five bytes Windows leaves unassigned map to
// the C1 control of the same number, as Windows does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct CodePageTables {
  int codePage = 1252;
  bool singleByte = true;
  std::string iconvName;                      // multi-byte pages only
  std::array<char16_t, 256> decode{};         // single-byte pages
  std::unordered_map<char16_t, char> encode;  // single-byte pages
};

const char* IconvName(int codePage) {
  switch (codePage) {
    case 874:
      return "CP874";
    case 932:
      return "CP932";
    case 936:
      return "CP936";
    case 949:
      return "CP949";
    case 950:
      return "CP950";
    case 1250:
      return "CP1250";
    case 1251:
      return "CP1251";
    case 1253:
      return "CP1253";
    case 1254:
      return "CP1254";
    case 1255:
      return "CP1255";
    case 1256:
      return "CP1256";
    case 1257:
      return "CP1257";
    case 1258:
      return "CP1258";
    default:
      return nullptr;
  }
}

bool IsMultiByte(int codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// Decodes one byte of a single-byte code page through iconv; 0 when iconv
// refuses it. The final flush matters: converters for pages with combining
// marks hold a base letter back until they know no mark follows.
char16_t DecodeByteWithIconv(iconv_t cd, unsigned char byte) {
  char in = static_cast<char>(byte);
  char out[8];
  char* inPtr = &in;
  char* outPtr = out;
  size_t inLeft = 1;
  size_t outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return 0;
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return 0;
  if (sizeof out - outLeft != 2) return 0;  // a combining pair or nothing
  return static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                               (static_cast<unsigned char>(out[1]) << 8));
}

CodePageTables BuildTables(int codePage) {
  CodePageTables t;
  const char* name = IconvName(codePage);
  if (codePage != 1252 && name == nullptr) codePage = 1252;
  t.codePage = codePage;
  for (int b = 0; b < 256; ++b) t.decode[b] = static_cast<char16_t>(b);
  if (IsMultiByte(codePage)) {
    t.singleByte = false;
    t.iconvName = name;
    return t;
  }
  if (codePage == 1252) {
    for (int b = 0; b < 32; ++b) t.decode[0x80 + b] = kCp1252High[b];
  } else {
    iconv_t cd = iconv_open("UTF-16LE", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) return BuildTables(1252);
    for (int b = 0x80; b < 256; ++b) {
      char16_t c = DecodeByteWithIconv(cd, static_cast<unsigned char>(b));
      if (c != 0) t.decode[b] = c;  // unassigned bytes keep their C1/Latin-1 value
    }
    iconv_close(cd);
  }
  for (int b = 255; b >= 0; --b) t.encode[t.decode[b]] = static_cast<char>(b);
  return t;
}

CodePageTables& Tables() {
  static CodePageTables tables = BuildTables(1252);
  return tables;
}

// Multi-byte pages go through iconv; an invalid sequence becomes U+FFFD.
std::u16string DecodeMultiByte(const std::string& name, std::string_view in) {
  std::u16string result;
  iconv_t cd = iconv_open("UTF-16LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return result;
  std::string out(in.size() * 4 + 8, '\0');
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  while (inLeft > 0) {
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    for (char* p = out.data(); p + 1 < outPtr; p += 2)
      result.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[0]) |
                                             (static_cast<unsigned char>(p[1]) << 8)));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      result.push_back(u'\uFFFD');  // EILSEQ or EINVAL: skip one byte
      ++inPtr;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return result;
}

std::string EncodeMultiByte(const std::string& name, std::u16string_view in) {
  std::string result;
  iconv_t cd = iconv_open(name.c_str(), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in.size(), '?');
  std::string bytes;
  bytes.reserve(in.size() * 2);
  for (char16_t c : in) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  char* inPtr = bytes.data();
  size_t inLeft = bytes.size();
  std::string out(bytes.size() * 2 + 8, '\0');
  while (inLeft > 0) {
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    result.append(out.data(), static_cast<size_t>(outPtr - out.data()));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      result.push_back('?');  // a character the code page lacks
      size_t skip = inLeft >= 4 && (static_cast<unsigned char>(inPtr[1]) & 0xFC) == 0xD8 ? 4 : 2;
      skip = std::min(skip, inLeft);
      inPtr += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return result;
}

}  // namespace

int SetSystemCodePage(int codePage) {
  Tables() = BuildTables(codePage);
  return Tables().codePage;
}

int SystemCodePage() {
  return Tables().codePage;
}

int CodePageForLocale(std::string_view locale) {
  std::string value(locale);
  if (value.empty()) {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* v = std::getenv(var);
      if (v != nullptr && *v != '\0') {
        value = v;
        break;
      }
    }
  }
  std::string lang = value.substr(0, value.find_first_of(".@"));
  std::string language = lang.substr(0, lang.find('_'));
  if (lang == "zh_CN" || lang == "zh_SG") return 936;
  if (lang == "zh_TW" || lang == "zh_HK") return 950;
  static const std::unordered_map<std::string, int> kByLanguage = {
      {"ru", 1251}, {"uk", 1251}, {"bg", 1251}, {"sr", 1251}, {"pl", 1250}, {"cs", 1250},
      {"sk", 1250}, {"hu", 1250}, {"hr", 1250}, {"ro", 1250}, {"sl", 1250}, {"el", 1253},
      {"tr", 1254}, {"he", 1255}, {"ar", 1256}, {"lt", 1257}, {"lv", 1257}, {"et", 1257},
      {"vi", 1258}, {"th", 874},  {"ja", 932},  {"ko", 949}};
  auto it = kByLanguage.find(language);
  return it == kByLanguage.end() ? 1252 : it->second;
}

std::u16string AnsiToWide(std::string_view ansi) {
  const CodePageTables& t = Tables();
  if (!t.singleByte) return DecodeMultiByte(t.iconvName, ansi);
  std::u16string result(ansi.size(), u'\0');
  for (size_t i = 0; i < ansi.size(); ++i)
    result[i] = t.decode[static_cast<unsigned char>(ansi[i])];
  return result;
}

std::string WideToAnsi(std::u16string_view wide) {
  const CodePageTables& t = Tables();
  if (!t.singleByte) return EncodeMultiByte(t.iconvName, wide);
  // Every single-byte code page keeps ASCII.
  const size_t ascii = AsciiRun(wide);
  std::string result;
  result.reserve(wide.size());
  AppendAscii(result, wide.substr(0, ascii));
  for (size_t i = ascii; i < wide.size(); ++i) {
    char16_t c = wide[i];
    if (c < 0x80) {
      result.push_back(static_cast<char>(c));
      continue;
    }
    // A surrogate pair is one character, and so one "?".
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF)
      ++i;
    auto it = t.encode.find(c);
    result.push_back(it == t.encode.end() ? '?' : it->second);
  }
  return result;
}

}  // namespace dov
