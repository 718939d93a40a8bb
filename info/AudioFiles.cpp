#include "info/AudioFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "common/CodePage.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"
#include "info/AIFF.h"
#include "info/APEInfo.h"
#include "info/ASF.h"
#include "info/AVI.h"
#include "info/CDA.h"
#include "info/MP4Info.h"
#include "info/MPEGAudio.h"
#include "info/MPEGVideo.h"
#include "info/OGGInfo.h"
#include "info/OTSInfo.h"
#include "info/WAVInfo.h"
#include "tags/FLAC.h"

namespace dov {

namespace {

// ---- The dispatcher table -------------------------------------------------

using TDurationRead = int32_t (*)(std::string_view fileName, TStream* stream);

struct TDurationRow {
  // Lower-case extensions with their dot; unused places stay empty.
  std::array<std::string_view, 4> Extensions;
  // When set, an extension matches when its first four characters do.
  bool FirstFourOnly;
  TDurationRead Read;
};

// Creates the reader, lets it read and takes its Duration.
template <class TReader>
int32_t ReaderDuration(std::string_view fileName, TStream* stream) {
  TReader reader;
  reader.ReadFromFile(fileName, stream);
  return reader.Duration;
}

int32_t FLACDuration(std::string_view fileName, TStream* stream) {
  TFLAC flac(false);
  flac.ReadFromFile(fileName, stream);
  // A length beyond the signed range is no length.
  return flac.Duration <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())
             ? static_cast<int32_t>(flac.Duration)
             : 0;
}

// Playlists are read by name; the stream is not used.
int32_t M3UDuration(std::string_view fileName, TStream*) {
  std::string address, title, kind;
  int32_t length = 0;
  ReadM3U(fileName, address, title, length, kind);
  return length;
}

int32_t PLSDuration(std::string_view fileName, TStream*) {
  std::string address, part1, part2, part3;
  int32_t webFile = 0, preload = 0, length = 0;
  ReadPLS(fileName, address, part1, webFile, preload, length, part3, part2);
  return length;
}

// Searched in order; the first row whose extension matches is used.
const std::array<TDurationRow, 14> kDurationRows{{
    {{".mp3", ".mp2", ".mus", ".snd"}, false, ReaderDuration<TMPEGInfo>},
    {{".wav"}, false, ReaderDuration<TWAVInfo>},
    {{".ogg", ".opus"}, false, ReaderDuration<TOggInfo>},
    {{".flac"}, false, FLACDuration},
    {{".ape", ".mac"}, false, ReaderDuration<TAPEInfo>},
    {{".m4a", ".mp4", ".mp4a", ".mov"}, false, ReaderDuration<TMP4Info>},
    {{".ots"}, false, ReaderDuration<TOTSInfo>},
    {{".aif"}, true, ReaderDuration<TAIFFInfo>},  // .aif, .aiff, .aifc, ...
    {{".asf", ".wma", ".wmv"}, false, ReaderDuration<TASFInfo>},
    {{".mpg", ".mpeg"}, false, ReaderDuration<TMPEGVideo>},
    {{".avi"}, false, ReaderDuration<TAVIInfo>},
    {{".cda"}, false, ReaderDuration<TCDAInfo>},
    {{".m3u"}, false, M3UDuration},
    {{".pls"}, false, PLSDuration},
}};

// The extension from the last "." after the last "/", dot included, with the
// ASCII letters lower-cased; empty when there is none.
std::string LowerExtension(std::string_view fileName) {
  size_t slash = fileName.rfind('/');
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return AsciiLowered(fileName.substr(dot));
}

const TDurationRow* FindRow(std::string_view ext) {
  for (const TDurationRow& row : kDurationRows) {
    for (std::string_view candidate : row.Extensions) {
      if (candidate.empty()) continue;
      if (row.FirstFourOnly ? ext.substr(0, 4) == candidate : ext == candidate) return &row;
    }
  }
  return nullptr;
}

// ---- Playlists inside playlists ---------------------------------------------

using TFileId = std::pair<dev_t, ino_t>;

bool FileIdOf(std::string_view markedName, TFileId& id) {
  struct stat st {};
  if (::stat(MarkedToNative(markedName).c_str(), &st) != 0) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

// What the reading of one outermost playlist knows on this thread: the
// playlists being read (innermost last) and the entries already measured, so
// that a playlist naming itself ends and one naming the same file many times
// (or playlists naming each other many times) measures each file once.
struct TPlaylistState {
  int Depth = 0;
  std::vector<TFileId> Reading;
  std::map<TFileId, int32_t> Measured;
};
thread_local TPlaylistState gPlaylists;

// One playlist being read, for the length of the reading.
class TPlaylistVisit {
 public:
  explicit TPlaylistVisit(std::string_view fileName) {
    if (gPlaylists.Depth >= kMaxPlaylistDepth) return;
    hasId_ = FileIdOf(fileName, id_);
    if (hasId_ && std::find(gPlaylists.Reading.begin(), gPlaylists.Reading.end(), id_) !=
                      gPlaylists.Reading.end())
      return;
    allowed_ = true;
    ++gPlaylists.Depth;
    if (hasId_) gPlaylists.Reading.push_back(id_);
  }
  ~TPlaylistVisit() {
    if (!allowed_) return;
    if (hasId_) gPlaylists.Reading.pop_back();
    if (--gPlaylists.Depth == 0) gPlaylists.Measured.clear();
  }
  TPlaylistVisit(const TPlaylistVisit&) = delete;
  TPlaylistVisit& operator=(const TPlaylistVisit&) = delete;

  bool Allowed() const { return allowed_; }

 private:
  TFileId id_{};
  bool hasId_ = false;
  bool allowed_ = false;
};

// ---- Playlist text ----------------------------------------------------------

constexpr std::string_view kUTF8Bom = "\xEF\xBB\xBF";

// Lines ended by CR LF, CR or LF; a final line end adds no empty line.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

// "Name=Value" lines: the name is the text before the first "=", the value
// the text after it; a line without "=" has neither.
std::string_view NameOf(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
}
std::string_view ValueOf(std::string_view line) {
  size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
}

// Index of the first line with that name (ASCII case ignored), or -1.
ptrdiff_t IndexOfName(const std::vector<std::string_view>& lines, std::string_view name) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (EqualsIgnoringAsciiCase(NameOf(lines[i]), name)) return static_cast<ptrdiff_t>(i);
  return -1;
}

// The "Length..." lines of a PLS playlist by name (ASCII case ignored), so that
// each entry finds its length line without reading the whole list again: a
// playlist of many entries costs n log n, not n².
class TLengthLines {
 public:
  explicit TLengthLines(const std::vector<std::string_view>& lines) {
    for (size_t i = 0; i < lines.size(); ++i)
      if (EqualsIgnoringAsciiCase(NameOf(lines[i]).substr(0, 6), "length"))
        names_.emplace_back(NameOf(lines[i]), i);
    // Stable: among equal names the first line stays first.
    std::stable_sort(names_.begin(), names_.end(),
                     [](const auto& a, const auto& b) { return Less(a.first, b.first); });
  }
  // Index of the first line with that name, or -1.
  ptrdiff_t Find(std::string_view name) const {
    auto it = std::lower_bound(names_.begin(), names_.end(), name,
                               [](const auto& e, std::string_view n) { return Less(e.first, n); });
    if (it == names_.end() || !EqualsIgnoringAsciiCase(it->first, name)) return -1;
    return static_cast<ptrdiff_t>(it->second);
  }

 private:
  static bool Less(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(AsciiLower(x)) < static_cast<unsigned char>(AsciiLower(y));
    });
  }
  std::vector<std::pair<std::string_view, size_t>> names_;
};

// Seconds as written in a playlist, in whole milliseconds (fraction dropped).
// False for text that is not a number or a value beyond any play length.
bool SecondsToMs(std::string_view text, double& seconds, int64_t& ms) {
  if (!TryStrToFloat(text, seconds)) return false;
  double scaled = std::trunc(seconds * 1000);
  if (!(std::fabs(scaled) <= static_cast<double>(std::numeric_limits<int32_t>::max())))
    return false;
  ms = static_cast<int64_t>(scaled);
  return true;
}

// The seconds of an "#EXTINF:" line: from after the mark up to before the
// first ",".
std::string_view ExtInfSeconds(std::string_view line) {
  constexpr size_t kMarkLength = 8;  // "#EXTINF:"
  size_t comma = line.find(',');
  if (comma == std::string_view::npos || comma <= kMarkLength) return {};
  return line.substr(kMarkLength, comma - kMarkLength);
}

int32_t ClampLength(int64_t total) {
  return static_cast<int32_t>(std::clamp<int64_t>(total, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// What follows the scheme and host of a "file://" URL that names a local
// file ("file:///path" or "file://localhost/path", scheme and host in any
// case): the path, still escaped. False for any other text, other hosts too.
bool LocalFileUrlPart(std::string_view text, std::string_view& rest) {
  constexpr std::string_view kScheme = "file://";
  constexpr std::string_view kLocalHost = "localhost";
  if (!EqualsIgnoringAsciiCase(text.substr(0, kScheme.size()), kScheme)) return false;
  rest = text.substr(kScheme.size());
  if (EqualsIgnoringAsciiCase(rest.substr(0, kLocalHost.size()), kLocalHost))
    rest.remove_prefix(kLocalHost.size());
  return rest.starts_with('/');
}

bool IsFileUrl(std::string_view text) {
  std::string_view rest;
  return LocalFileUrlPart(text, rest);
}

// The path a local "file://" URL names, with "%XX" escapes decoded (a "%"
// not followed by two hex digits stays as it is).
bool FileUrlPath(std::string_view text, std::string& path) {
  std::string_view rest;
  if (!LocalFileUrlPart(text, rest)) return false;
  path.clear();
  path.reserve(rest.size());
  for (size_t i = 0; i < rest.size(); ++i) {
    unsigned char byte = 0;
    const char* hex = rest.data() + i + 1;
    if (rest[i] == '%' && rest.size() - i > 2 &&
        std::from_chars(hex, hex + 2, byte, 16).ptr == hex + 2) {
      path += static_cast<char>(byte);
      i += 2;
    } else {
      path += rest[i];
    }
  }
  return true;
}

// An internet address: text with "://" that is no local "file://" URL.
bool IsStreamAddress(std::string_view text) {
  return Contains(text, "://") && !IsFileUrl(text);
}

// The entry resolved against the playlist, as a marked name. Entries are the
// playlist's bytes: taken as the native name, and, when that names no file and
// is not UTF-8, read as code-page text (a playlist written on Windows).
std::string ResolveEntry(const std::string& playlist, std::string_view entry) {
  auto resolve = [&playlist](std::string_view e) {
    std::string path = ResolvePlaylistPath(playlist, e);
    // Not found beside the playlist: the entry as written.
    if (!IsUTF8Marked(path)) path.insert(path.begin(), kUTF8Marker);
    return path;
  };
  std::string path = resolve(entry);
  std::u16string wide;
  if (MarkedFileExists(path) || !HasHighBytes(entry) || DecodeUTF8(entry, wide)) return path;
  std::string utf8;
  if (!EncodeUTF8(AnsiToWide(entry), utf8)) return path;
  std::string fromCodePage = resolve(utf8);
  return MarkedFileExists(fromCodePage) ? fromCodePage : path;
}

// The length of an entry's file; 0 when it cannot be measured. A local
// "file://" URL is measured as the path it names.
int64_t MeasureEntry(const std::string& playlist, std::string_view entry) {
  std::string urlPath;
  if (FileUrlPath(entry, urlPath)) entry = urlPath;
  if (Contains(entry, std::string_view("\0", 1))) return 0;  // no file name holds a NUL
  // Nor is any file named by an empty line: a playlist of millions of them
  // costs no system call each.
  if (entry.empty()) return 0;
  std::string path = ResolveEntry(playlist, entry);
  TFileId id{};
  const bool hasId = FileIdOf(path, id);
  if (hasId) {
    // A playlist being read further up is cut here, and not remembered.
    if (std::find(gPlaylists.Reading.begin(), gPlaylists.Reading.end(), id) !=
        gPlaylists.Reading.end())
      return 0;
    auto known = gPlaylists.Measured.find(id);
    if (known != gPlaylists.Measured.end()) return known->second;
  }
  int32_t ms = GetFileDuration(path, nullptr);
  // -1 (unknown) and any other length that is not positive add nothing.
  int32_t added = ms > 0 ? ms : 0;
  if (hasId) gPlaylists.Measured.emplace(id, added);
  return added;
}

// The playlist's own name as the resolution uses it: its native bytes behind
// the marker, so that entries are appended as native bytes too.
std::string PlaylistBase(std::string_view fileName) {
  std::string base(1, kUTF8Marker);
  base += MarkedToNative(fileName);
  return base;
}

bool ReadM3UText(std::string_view fileName, std::string& address, std::string& title,
                 int32_t& length, std::string& kind) {
  address.clear();
  title.clear();
  kind.clear();
  std::string text = ReadWholeFile(fileName);
  if (text.empty() || text.starts_with("Error>")) return false;
  std::string_view body = text;
  if (body.starts_with(kUTF8Bom)) body.remove_prefix(kUTF8Bom.size());
  const std::vector<std::string_view> lines = SplitLines(body);
  const bool extended = !lines.empty() && lines[0] == "#EXTM3U";
  if (extended && lines.size() < 2) return false;

  int64_t total = 0;
  double seconds = 0;
  int64_t ms = 0;
  if (extended && lines.size() > 2 && IsStreamAddress(lines[2])) {
    // A stream: "#EXTINF:<seconds>,<title>" then the address. -1 s: unknown.
    size_t comma = lines[1].find(',');
    if (SecondsToMs(ExtInfSeconds(lines[1]), seconds, ms) && seconds != -1) total = ms;
    title = std::string(comma == std::string_view::npos ? lines[1] : lines[1].substr(comma + 1));
    kind = "Stream";
    address = std::string(lines[2]);
  } else if (lines.size() == 1 && IsStreamAddress(lines[0])) {
    address = std::string(lines[0]);
    title = ExtractFileTitle(fileName);
    size_t dash = title.find(" - ");
    if (dash != std::string::npos) title.resize(dash);
    kind = "Stream";
  }

  if (address.empty()) {
    const std::string playlist = PlaylistBase(fileName);
    // An "#EXTINF:" line stands for the next entry: the next line that is
    // neither blank nor a comment. Comments ("#EXTM3U", "#EXTVLCOPT:...") are
    // never entries.
    bool entryHasLength = false;
    for (std::string_view line : lines) {
      if (line.starts_with("#EXTINF:")) {
        const bool known = SecondsToMs(ExtInfSeconds(line), seconds, ms);
        // -1 s is unknown: the entry is measured. A bad number adds nothing,
        // nor is its entry measured.
        entryHasLength = !(known && seconds == -1);
        if (known && entryHasLength) total += ms;
      } else if (!line.starts_with('#') && !TrimBytes(line).empty()) {
        if (!entryHasLength && !IsStreamAddress(line)) total += MeasureEntry(playlist, line);
        entryHasLength = false;
      }
    }
  }
  if (total != 0) length = ClampLength(total);
  return true;
}

bool ReadPLSText(std::string_view fileName, std::string& address, std::string& part1,
                 int32_t& webFile, int32_t& preload, int32_t& length, std::string& part3,
                 std::string& part2) {
  address.clear();
  part1.clear();
  part2.clear();
  part3.clear();
  webFile = 0;
  preload = 0;
  std::string text = ReadWholeFile(fileName);
  if (text.starts_with("Error>")) return false;
  std::string_view body = text;
  if (body.starts_with(kUTF8Bom)) body.remove_prefix(kUTF8Bom.size());
  const std::vector<std::string_view> lines = SplitLines(body);
  if (lines.empty()) return false;
  const ptrdiff_t file1 = IndexOfName(lines, "File1");
  if (file1 < 0) return ReadM3UText(fileName, address, part1, length, part2);

  auto valueOf = [&lines](std::string_view name) {
    ptrdiff_t i = IndexOfName(lines, name);
    return i < 0 ? std::string_view() : ValueOf(lines[static_cast<size_t>(i)]);
  };
  int64_t total = 0;
  const std::string_view first = ValueOf(lines[static_cast<size_t>(file1)]);
  if (!IsStreamAddress(first)) {
    const std::string playlist = PlaylistBase(fileName);
    const TLengthLines lengthLines(lines);
    for (std::string_view line : lines) {
      if (!EqualsIgnoringAsciiCase(line.substr(0, 4), "file") || IsStreamAddress(ValueOf(line)))
        continue;
      const int32_t n =
          SafeStrToInt(NameOf(line).substr(std::min<size_t>(4, NameOf(line).size()), 5));
      const ptrdiff_t lengthLine = lengthLines.Find("Length" + std::to_string(n));
      if (lengthLine > 0) {
        const int32_t secs = SafeStrToInt(ValueOf(lines[static_cast<size_t>(lengthLine)]));
        if (secs != -1) {  // -1: unknown, measured from the file below
          total += int64_t{secs} * 1000;
          continue;
        }
      }
      total += MeasureEntry(playlist, ValueOf(line));
    }
  } else {
    address = std::string(first);
    std::string title(valueOf("Title1"));
    if (title.empty()) title = ExtractFileTitle(fileName);
    DivideAtDashes(title, part1, part2, part3);
    double seconds = 0;
    int64_t ms = 0;
    if (IndexOfName(lines, "Length1") >= 0 && SecondsToMs(valueOf("Length1"), seconds, ms))
      total = std::max<int64_t>(ms, 0);
    if (IndexOfName(lines, "Preload1") >= 0 && SecondsToMs(valueOf("Preload1"), seconds, ms))
      preload = ClampLength(ms);
    webFile = SafeStrToInt(valueOf("WebFile1"));
  }
  if (total != 0) length = ClampLength(total);
  return true;
}

}  // namespace

// ---- Public -----------------------------------------------------------------

int32_t GetFileDuration(std::string_view fileName, TStream* stream) {
  try {
    if (auto* file = dynamic_cast<TDOVFileStream*>(stream); file != nullptr && file->Handle() < 0)
      stream = nullptr;
    if (stream == nullptr && !MarkedFileExists(fileName)) return -1;
    const TDurationRow* row = FindRow(LowerExtension(fileName));
    if (row == nullptr) return -1;
    int32_t ms = row->Read(fileName, stream);
    return ms == 0 ? -1 : ms;
  } catch (...) {
    return -1;
  }
}

bool ReadM3U(std::string_view fileName, std::string& address, std::string& title, int32_t& length,
             std::string& kind) {
  TPlaylistVisit visit(fileName);
  if (!visit.Allowed()) {
    address.clear();
    title.clear();
    kind.clear();
    return false;
  }
  return ReadM3UText(fileName, address, title, length, kind);
}

bool ReadPLS(std::string_view fileName, std::string& address, std::string& part1, int32_t& webFile,
             int32_t& preload, int32_t& length, std::string& part3, std::string& part2) {
  TPlaylistVisit visit(fileName);
  if (!visit.Allowed()) {
    address.clear();
    part1.clear();
    part2.clear();
    part3.clear();
    webFile = 0;
    preload = 0;
    return false;
  }
  return ReadPLSText(fileName, address, part1, webFile, preload, length, part3, part2);
}

}  // namespace dov
