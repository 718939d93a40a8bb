#include "common/DOVCommon.h"

#include <libintl.h>

#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <optional>

#include "common/DOVFileStream.h"
#include "common/DOVTnt.h"

namespace dov {

TFormatSettings DOVFormatSettings;
TCommonSettings DOVSettings;

// ---- Bits and byte order ------------------------------------------------

double BigEndianExtended(const unsigned char (&bytes)[10]) {
  const bool negative = (bytes[0] & 0x80) != 0;
  const int exponent = (bytes[0] & 0x7F) << 8 | bytes[1];
  uint64_t mantissa = 0;
  for (int i = 2; i < 10; ++i) mantissa = mantissa << 8 | bytes[i];
  long double value;
  if (exponent == 0x7FFF) {
    // The integer bit is not part of the test: only the fraction tells NaN.
    value = (mantissa << 1) == 0 ? std::numeric_limits<long double>::infinity()
                                 : std::numeric_limits<long double>::quiet_NaN();
  } else {
    value = std::ldexp(static_cast<long double>(mantissa), exponent - 16383 - 63);
  }
  return static_cast<double>(negative ? -value : value);
}

double BigEndianExtended(std::string_view bytes) {
  if (bytes.size() < 10) return 0;
  unsigned char raw[10];
  for (size_t i = 0; i < 10; ++i) raw[i] = static_cast<unsigned char>(bytes[i]);
  return BigEndianExtended(raw);
}

// ---- ASCII letter case ----------------------------------------------------

std::string AsciiLowered(std::string_view s) {
  std::string result(s);
  for (char& c : result) c = AsciiLower(c);
  return result;
}

std::string AsciiUppered(std::string_view s) {
  std::string result(s);
  for (char& c : result) c = AsciiUpper(c);
  return result;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// ---- Milliseconds -----------------------------------------------------------

int32_t RoundMilliseconds(long double ms) {
  if (!std::isfinite(ms)) return 0;
  const long double rounded = std::nearbyint(ms);
  if (rounded < std::numeric_limits<int32_t>::min() ||
      rounded > std::numeric_limits<int32_t>::max())
    return 0;
  return static_cast<int32_t>(rounded);
}

int32_t MillisecondsOf(long double count, long double perSecond) {
  if (!(perSecond > 0) || !std::isfinite(perSecond)) return 0;
  return RoundMilliseconds(count / perSecond * 1000);
}

// ---- Numbers ------------------------------------------------------------

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(std::string_view s, int32_t& value) {
  s = TrimBytes(s);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i < s.size() && s[i] == '$') {
    ++i;
    if (i == s.size()) return false;
    // At most 32 bits: leading zeros aside, no more than 8 digits.
    while (s.size() - i > 8 && s[i] == '0') ++i;
    if (s.size() - i > 8) return false;
    uint32_t v = 0;
    for (; i < s.size(); ++i) {
      int d = HexDigit(s[i]);
      if (d < 0) return false;
      v = v << 4 | static_cast<uint32_t>(d);
    }
    if (negative) v = 0u - v;
    value = static_cast<int32_t>(v);
    return true;
  }
  if (i == s.size()) return false;
  const uint64_t limit = negative ? 2147483648u : 2147483647u;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (!IsDigit(s[i])) return false;
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    if (v > limit) return false;
  }
  value = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
  return true;
}

int32_t SafeStrToInt(std::string_view s) {
  int32_t value = 0;
  return TryStrToInt(s, value) ? value : 0;
}

bool TryStrToFloat(std::string_view s, double& value, const TFormatSettings& format) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  // Normalised for from_chars: no "+", "." as the separator.
  std::string text;
  text.reserve(e - b);
  size_t i = b;
  if (i < e && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') text.push_back('-');
    ++i;
  }
  // The power of ten of the first significant digit tells an overflow from
  // an underflow when the number is beyond the double range.
  int64_t digits = 0, intDigits = 0, firstSignificant = -1;
  bool separator = false;
  for (; i < e; ++i) {
    if (IsDigit(s[i])) {
      if (firstSignificant < 0 && s[i] != '0') firstSignificant = digits;
      ++digits;
      if (!separator) ++intDigits;
      text.push_back(s[i]);
    } else if (s[i] == format.DecimalSeparator && !separator) {
      separator = true;
      text.push_back('.');
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  int64_t exponent = 0;
  if (i < e && (s[i] == 'e' || s[i] == 'E')) {
    text.push_back('e');
    ++i;
    bool negativeExp = false;
    if (i < e && (s[i] == '+' || s[i] == '-')) {
      negativeExp = s[i] == '-';
      if (negativeExp) text.push_back('-');
      ++i;
    }
    int expDigits = 0;
    for (; i < e && IsDigit(s[i]); ++i, ++expDigits) {
      text.push_back(s[i]);
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
    }
    if (expDigits == 0) return false;
    if (negativeExp) exponent = -exponent;
  }
  if (i != e) return false;
  double parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (end != text.data() + text.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    // A tiny number is 0; a huge one is not a number we can hold.
    if (firstSignificant >= 0 && exponent + intDigits - firstSignificant > 0) return false;
    parsed = 0;
  } else if (ec != std::errc()) {
    return false;
  }
  value = parsed;
  return true;
}

bool IsNumeric(std::string_view s) {
  double ignored;
  return TryStrToFloat(s, ignored);
}

// ---- Text ---------------------------------------------------------------

std::string TrimMarked(std::string_view marked) {
  if (!IsUTF8Marked(marked)) return std::string(TrimBytes(marked));
  std::string_view text = TrimBytes(marked.substr(1));
  if (text.empty()) return std::string();
  std::string result;
  result.reserve(text.size() + 1);
  result.push_back(kUTF8Marker);
  result.append(text);
  return result;
}

void DivideAtDashes(std::string_view s, std::string& a, std::string& b, std::string& c) {
  constexpr std::string_view kDash = " - ";
  constexpr size_t kMaxPart = 255;
  size_t first = s.find(kDash);
  if (first == std::string_view::npos) {
    a.clear();
    b = std::string(s);
    return;
  }
  a = std::string(s.substr(0, first));
  std::string_view rest = s.substr(first + kDash.size(), kMaxPart);
  size_t second = rest.find(kDash);
  if (second != std::string_view::npos) {
    c = std::string(TrimBytes(rest.substr(second + kDash.size(), kMaxPart)));
    rest = rest.substr(0, second);
  }
  b = std::string(rest);
}

std::string ExtractFileTitle(std::string_view path) {
  const bool marked = IsUTF8Marked(path);
  std::string_view name = marked ? path.substr(1) : path;
  size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name = name.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return marked ? MarkUTF8(name) : std::string(name);
}

namespace {

// The folder of a path with its trailing "/", or empty when it has none.
std::string_view FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

// "C:\..." or "C:/...": a Windows drive path, which names nothing here. A
// colon elsewhere ("a:b.mp3") is an ordinary name character on Linux.
bool IsDrivePath(std::string_view entry) {
  if (entry.size() < 3 || entry[1] != ':' || (entry[2] != '\\' && entry[2] != '/')) return false;
  const char letter = entry[0];
  return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

}  // namespace

std::string ResolvePlaylistPath(std::string_view playlistPath, std::string_view entry) {
  constexpr size_t kMaxRest = 511;
  if (entry.size() < 2 || IsDrivePath(entry) || entry.substr(0, 2) == "\\\\" || entry[0] == '/')
    return std::string(entry);

  // The marker of a marked playlist path stays in front of the result.
  std::string_view marker;
  if (IsUTF8Marked(playlistPath)) {
    marker = playlistPath.substr(0, 1);
    playlistPath = playlistPath.substr(1);
  }
  std::string e(entry);
  for (char& ch : e)
    if (ch == '\\') ch = '/';
  std::string_view folder = FolderOf(playlistPath);

  std::string resolved(marker);
  if (e[0] == '/') {
    resolved += e;  // from the root, the Linux counterpart of the drive
  } else if (e.starts_with("./")) {
    resolved += folder;
    resolved += std::string_view(e).substr(2, kMaxRest);
  } else if (e.starts_with("../")) {
    if (folder.empty()) {
      resolved += "../";
    } else {
      std::string_view parent = FolderOf(folder.substr(0, folder.size() - 1));
      resolved += parent.empty() ? std::string_view("/") : parent;
    }
    resolved += std::string_view(e).substr(3, kMaxRest);
  } else {
    resolved += folder;
    resolved += e;
  }
  return MarkedFileExists(resolved) ? resolved : std::string(entry);
}

std::string ReadWholeFile(std::string_view path) {
  try {
    TDOVFileStream stream(path, fmShareDenyNone);
    const int64_t size = stream.Size();
    if (size > kMaxWholeFileSize)
      return "Error>File \"" + std::string(path) + "\" is too large to be read whole (" +
             std::to_string(size) + " bytes)";
    std::string bytes(static_cast<size_t>(size), '\0');
    stream.ReadBuffer(bytes.data(), bytes.size());
    return bytes;
  } catch (const std::exception& e) {
    return std::string("Error>") + e.what();
  }
}

// ---- The availability record ----------------------------------------------

void InitAvailability(TAvailability& record) {
  record.StartDay = 0;
  record.EndDay = 0;
  record.Flags = 0;
  record.WindowStart = 0;
  record.WindowEnd = 86399;
  for (TAvailabilityDay& day : record.Days) {
    day.Enabled = 1;
    day.Hours = 0x00FFFFFF;
  }
}

std::string AvailabilityBytes(const TAvailability& record) {
  std::string bytes;
  bytes.reserve(kAvailabilitySize);
  auto put32 = [&bytes](uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
  };
  put32(static_cast<uint32_t>(record.StartDay));
  put32(static_cast<uint32_t>(record.EndDay));
  bytes.push_back(static_cast<char>(record.Flags));
  put32(record.WindowStart);
  put32(record.WindowEnd);
  for (const TAvailabilityDay& day : record.Days) {
    bytes.push_back(static_cast<char>(day.Enabled));
    put32(day.Hours);
  }
  return bytes;
}

// ---- Process-wide settings and the start-up step ----------------------------

std::string GetSystemProxy() {
  constexpr uint32_t kNamedProxy = 3;
  uint32_t accessType = 0;
  std::string list;
  if (!Platform().QueryInternetProxy(accessType, list) || accessType != kNamedProxy) return {};
  return list;
}

void GetProxyFor(std::string_view scheme, std::string& host, int32_t& port) {
  host.clear();
  port = 0;
  std::string proxy = GetSystemProxy();
  if (proxy.empty()) return;
  std::string key = std::string(scheme) + "=";
  size_t at = proxy.find(key);
  if (at != std::string::npos) {
    proxy.erase(0, at + key.size());
    size_t end = proxy.find(' ');
    if (end == std::string::npos) end = proxy.find(';');
    if (end != std::string::npos) proxy.resize(end);
  }
  size_t colon = proxy.find(':');
  if (colon == std::string::npos) return;
  port = SafeStrToInt(std::string_view(proxy).substr(colon + 1));
  host = proxy.substr(0, colon);
}

void LoadProxySettings() {
  GetProxyFor("http", DOVSettings.HttpProxyHost, DOVSettings.HttpProxyPort);
  GetProxyFor("ftp", DOVSettings.FtpProxyHost, DOVSettings.FtpProxyPort);
}

void FixWindowsVersion() {
  TWindowsVersion& version = DOVSettings.WindowsVersion;
  if (version.Major != 6 || version.Minor != 2) return;
  std::unique_ptr<TRegistryKey> key =
      Platform().OpenLocalMachineKey("\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  if (!key) return;
  std::optional<int32_t> major = key->ReadInteger("CurrentMajorVersionNumber");
  if (!major) return;
  version.Major = static_cast<uint32_t>(*major);
  std::optional<int32_t> minor = key->ReadInteger("CurrentMinorVersionNumber");
  if (!minor) return;
  version.Minor = static_cast<uint32_t>(*minor);
  std::optional<std::string> buildText = key->ReadString("CurrentBuildNumber");
  int32_t build = 0;
  if (!buildText || !TryStrToInt(*buildText, build)) return;
  version.Build = static_cast<uint32_t>(build);
  if (version.Major == 10 && version.Build > 21999) version.Major = 11;
}

bool RestoreFileTimes(int handle, const TFileInformation& info, bool clearArchive) {
  TPlatform& platform = Platform();
  if (!DOVSettings.WindowsVersion.AtLeast(6, 0)) return platform.KeepLastWriteTime(handle);
  if (!DOVSettings.HasFileInformationSetter) return false;
  TFileBasicInfo basic;
  basic.CreationTime = info.CreationTime;
  basic.LastAccessTime = info.LastAccessTime;
  basic.LastWriteTime = info.LastWriteTime;
  basic.ChangeTime = info.LastWriteTime;
  basic.Attributes = info.Attributes;
  if (clearArchive && (basic.Attributes & kAttributeArchive) != 0) {
    basic.Attributes &= ~kAttributeArchive;
    if (basic.Attributes == 0) basic.Attributes = kAttributeNormal;
  }
  return platform.SetFileBasicInformation(handle, basic);
}

void InitDOVCommon() {
  try {
    DOVFormatSettings = TFormatSettings{};
    TPlatform& platform = Platform();
    TCommonSettings& s = DOVSettings;
    s.PerformanceFrequency = platform.PerformanceFrequency();
    s.CaptionInformation = dgettext(kTextDomain, "Information");
    s.CaptionWarning = dgettext(kTextDomain, "Warning");
    s.CaptionError = dgettext(kTextDomain, "Error");
    s.WindowsVersion = platform.ReportedVersion();
    FixWindowsVersion();
    s.HasFileInformationSetter =
        s.WindowsVersion.AtLeast(6, 0) && platform.HasFileInformationSetter();
    platform.SetCriticalErrorDialogs(false);
    s.MediaFoundationAvailable =
        s.WindowsVersion.AtLeast(6, 1) && platform.CanLoadLibrary("MF.dll", false);
    s.ALACDecoderAvailable = s.MediaFoundationAvailable && s.WindowsVersion.AtLeast(6, 2) &&
                             platform.CanLoadLibrary("MSAlacDecoder.dll", true);
    platform.SetCriticalErrorDialogs(true);
    LoadProxySettings();
    s.ClipboardFormat = platform.RegisterClipboardFormat("Dovetone Tracks");
  } catch (const std::exception&) {
    // Start-up goes on with what was prepared.
  }
}

}  // namespace dov
