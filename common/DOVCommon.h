// Small routines shared by the tag store, the tag readers, the stream
// information readers and the playlist readers, and the start-up step that
// prepares the process-wide settings. Everything here is independent of the
// user's locale: numbers are parsed by our own code, never by strtod/strtol.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Platform.h"

namespace dov {

// ---- Bits and byte order ------------------------------------------------

// True when every bit of mask is set in value (a mask of 0 gives true).
constexpr bool HasAllBits(uint16_t value, uint16_t mask) {
  return (value & mask) == mask;
}
// True when bit `bit` (0..31) of value is 1; false for a bit number above 31.
constexpr bool IsBitSet(uint32_t value, unsigned bit) {
  return bit < 32 && ((value >> bit) & 1u) != 0;
}

constexpr uint16_t Swap16(uint16_t v) {
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}
constexpr uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
constexpr uint64_t Swap64(uint64_t v) {
  return uint64_t{Swap32(static_cast<uint32_t>(v))} << 32 | Swap32(static_cast<uint32_t>(v >> 32));
}

// The 80-bit extended float of AIFF files as stored (big-endian: sign and
// 15-bit exponent, bias 16383, then a 64-bit mantissa with an explicit integer
// bit). An exponent of all ones gives infinity or NaN.
double BigEndianExtended(const unsigned char (&bytes)[10]);
// The same from the first 10 bytes of `bytes`; fewer than 10 bytes give 0.
double BigEndianExtended(std::string_view bytes);

// ---- ASCII letter case ----------------------------------------------------
// Only A-Z and a-z change; other bytes (UTF-8 and code-page letters) stay.

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
std::string AsciiLowered(std::string_view s);
std::string AsciiUppered(std::string_view s);
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// ---- Milliseconds -----------------------------------------------------------

// Milliseconds rounded to the nearest whole number, ties to even; 0 for NaN,
// infinity and values beyond the signed 32-bit range.
int32_t RoundMilliseconds(long double ms);
// count units at perSecond units a second, in milliseconds (count / perSecond
// x 1000, rounded as above); 0 when perSecond is 0, negative or not a number.
int32_t MillisecondsOf(long double count, long double perSecond);

// ---- Numbers ------------------------------------------------------------

// The process-wide number format: "." decimal, "," thousands, ":" time.
struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char TimeSeparator = ':';
};
extern TFormatSettings DOVFormatSettings;

// s with bytes of 0x20 or less removed at both ends, read as a decimal
// 32-bit integer (an optional sign, then digits) or, behind "$", a
// hexadecimal one of up to 32 bits (so "$FFFFFFFF" is -1). 0 for anything
// that is not a whole valid number, and for a decimal out of range.
int32_t SafeStrToInt(std::string_view s);
// The same, telling a number that is not valid (false) from 0.
bool TryStrToInt(std::string_view s, int32_t& value);

// Reads s as a floating-point number: optional blanks (0x20) at both ends, an
// optional sign, digits with at most one decimal separator (at least one digit
// in all), and an optional exponent "E"/"e" with optional sign and at least
// one digit. No thousands separators, no hexadecimal, no "INF"/"NAN". A number
// beyond the double range fails.
bool TryStrToFloat(std::string_view s, double& value,
                   const TFormatSettings& format = DOVFormatSettings);
// True when s is a complete valid floating-point number as above (false for
// the empty text).
bool IsNumeric(std::string_view s);

// ---- Text ---------------------------------------------------------------

// Marked text trimmed at both ends (bytes of 0x20 or less). A value marked as
// UTF-8 keeps its marker and has the text behind it trimmed; when nothing is
// left behind the marker the result is empty. Every trimmed tag value goes
// through here.
std::string TrimMarked(std::string_view marked);

// Divides s at " - ": a = the text before the first separator, b = up to 255
// bytes after it, cut before a second separator; c = the text after that
// second separator (up to 255 bytes), trimmed. Without any separator a is
// empty, b is s and c is left as it was; with only one, c is left as it was.
void DivideAtDashes(std::string_view s, std::string& a, std::string& b, std::string& c);

// The file name of a marked path without its folder (up to the last "/") and
// without its extension (from the last "." of the name on), as marked text.
std::string ExtractFileTitle(std::string_view path);

// Resolves a playlist entry against the playlist's own path (a Linux path).
// Entries written on Windows use "\" as the separator; it is read as "/".
// Unchanged: entries shorter than 2 bytes, drive paths ("C:\..." or "C:/..."), network
// paths ("\\server...") and absolute Linux paths ("/..."). Otherwise a leading
// "\" is taken from the root, ".\" (or "./") from the playlist's folder,
// "..\" (or "../") from that folder's parent (one level), anything else from
// the playlist's folder. When no file exists at the resolved path, the entry
// is returned unchanged. Both texts are in the form the file stream opens.
std::string ResolvePlaylistPath(std::string_view playlistPath, std::string_view entry);

// The whole file as bytes, or "Error>" followed by the error's message. A file
// larger than kMaxWholeFileSize is not read: that is reported as an error too.
inline constexpr int64_t kMaxWholeFileSize = 16 * 1024 * 1024;
std::string ReadWholeFile(std::string_view path);

// ---- The availability record ----------------------------------------------

// When a track may be played: a range of days, a daily window in seconds and,
// per day of the week, an enabled flag with one bit per hour. Stored as a
// packed 52-byte little-endian record.
struct TAvailabilityDay {
  uint8_t Enabled = 0;
  uint32_t Hours = 0;
};
struct TAvailability {
  int32_t StartDay = 0;  // day numbers counted from 1899-12-30
  int32_t EndDay = 0;
  uint8_t Flags = 0;
  uint32_t WindowStart = 0;  // seconds of the day
  uint32_t WindowEnd = 0;
  std::array<TAvailabilityDay, 7> Days{};
};
inline constexpr size_t kAvailabilitySize = 52;

// The defaults: no day range, the whole day (0 .. 86399 s), every day of the
// week enabled with all 24 hour bits set.
void InitAvailability(TAvailability& record);
// The packed 52-byte form.
std::string AvailabilityBytes(const TAvailability& record);

// ---- Process-wide settings and the start-up step ----------------------------

struct TCommonSettings {
  int64_t PerformanceFrequency = 0;
  // Message captions, passed through the translation lookup.
  std::string CaptionInformation = "Information";
  std::string CaptionWarning = "Warning";
  std::string CaptionError = "Error";
  TWindowsVersion WindowsVersion;
  bool HasFileInformationSetter = false;
  bool MediaFoundationAvailable = false;
  bool ALACDecoderAvailable = false;
  std::string HttpProxyHost;
  int32_t HttpProxyPort = 0;
  std::string FtpProxyHost;
  int32_t FtpProxyPort = 0;
  uint32_t ClipboardFormat = 0;
};
extern TCommonSettings DOVSettings;

// The text domain of the program's message catalogues.
inline constexpr const char* kTextDomain = "dovrename";

// Fills DOVFormatSettings and DOVSettings, in this order: number format,
// counter frequency, captions, Windows version, the file-information setter
// (6.0 or later), the media-foundation (6.1 or later) and ALAC-decoder (6.2 or
// later) probes with critical-error dialogs off, the proxy settings, the
// clipboard format "Dovetone Tracks". Never raises.
void InitDOVCommon();

// Corrects DOVSettings.WindowsVersion when the system reports 6.2 (which it
// does for every later version) from the registry's CurrentVersion values;
// build numbers above 21999 of version 10 are version 11. A value that cannot
// be read stops the correction and keeps what was read before it.
void FixWindowsVersion();

// The proxy list of the system's internet settings when a named proxy is set
// (access type 3); empty otherwise, and always on Linux.
std::string GetSystemProxy();
// Host and port of the proxy for scheme ("http", "ftp") from the system's
// proxy list ("host:port" for all, or "http=host:port;ftp=host:port");
// empty and 0 when there is none.
void GetProxyFor(std::string_view scheme, std::string& host, int32_t& port);
// The http and ftp proxies into DOVSettings.
void LoadProxySettings();

// The file information record read before a change to a file.
struct TFileInformation {
  uint32_t Attributes = 0;
  int64_t CreationTime = 0;
  int64_t LastAccessTime = 0;
  int64_t LastWriteTime = 0;
};
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeNormal = 0x80;
// Puts the times and attributes of info back on the open file (Windows 6.0 or
// later; older systems only keep the last-write time from changing); the
// archive attribute is cleared when asked. True on success; always false on
// Linux, which has no such call.
bool RestoreFileTimes(int handle, const TFileInformation& info, bool clearArchive);

}  // namespace dov
