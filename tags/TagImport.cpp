// The container tag import: a store without an APE tag is filled from the
// file's own tags. A reader chosen by the extension delivers (id, value)
// fields in file order; each goes through its container's table onto one
// field name, by one of the setters below.
#include "tags/TagImport.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/DOVCommon.h"
#include "common/DOVTnt.h"
#include "info/AudioFiles.h"
#include "tags/APETag.h"
#include "tags/FLAC.h"
#include "tags/MP3Tags.h"
#include "tags/MP4Tags.h"
#include "tags/OggTags.h"
#include "tags/WAVTags.h"
#include "tags/WMAInfo.h"

namespace dov {
namespace {

// ---- The readers ------------------------------------------------------------
//
// Each adapter runs its reader over the store's open file and hands over what
// it read as one list of fields. Readers swallow their own errors; an
// exception that escapes one anyway is caught by ImportContainerTags and maps
// nothing.

// Frames, items and comments the mapping has no row for are passed over by
// the readers that can tell them by their names before reading them (a cover
// in an MP4 item list or in Ogg comments is most of the bytes; a tag of
// hundreds of frames costs their conversions). A read for a file's name
// passes over, the same way, all but those whose row fills a field a name is
// made of.
bool MappedID3Id(std::string_view id);
bool MappedMP4Type(std::string_view type);
bool MappedVorbisName(std::string_view name);
bool NamingID3Id(std::string_view id);
bool NamingMP4Type(std::string_view type);
bool NamingVorbisName(std::string_view name);
bool NamingWAVId(std::string_view id);

using TScope = TAPETags::TImportScope;

TContainerTags ReadMP3(std::string_view fileName, TStream* stream, TScope scope) {
  TMP3Tags reader;
  reader.Wanted = scope == TScope::NameFields ? NamingID3Id : MappedID3Id;
  reader.FirstCommentOnly = true;  // the table keeps the first comment only
  reader.MarkMP3Pro = scope == TScope::AllFields;
  reader.ReadFromFile(fileName, stream);
  return ZipFields(std::move(reader.FrameIDs), std::move(reader.FrameValues));
}

TContainerTags ReadMP4(std::string_view fileName, TStream* stream, TScope scope) {
  TMP4Tags reader;
  reader.Wanted = scope == TScope::NameFields ? NamingMP4Type : MappedMP4Type;
  reader.ReadFromFile(fileName, stream);
  return ZipFields(std::move(reader.ItemNames), std::move(reader.ItemValues));
}

TContainerTags ReadWAV(std::string_view fileName, TStream* stream, TScope scope) {
  TWAVTags reader;
  if (scope == TScope::NameFields) reader.Wanted = NamingWAVId;
  reader.ReadFromFile(fileName, stream);
  return ZipFields(std::move(reader.ChunkIDs), std::move(reader.ChunkValues));
}

TContainerTags ReadOgg(std::string_view fileName, TStream* stream, TScope scope) {
  TOggTags reader;
  reader.Wanted = scope == TScope::NameFields ? NamingVorbisName : MappedVorbisName;
  reader.ReadFromFile(fileName, stream);
  return ZipFields(std::move(reader.CommentNames), std::move(reader.CommentValues));
}

TContainerTags ReadFLAC(std::string_view fileName, TStream* stream, TScope scope) {
  TFLAC reader(true);
  reader.Wanted = scope == TScope::NameFields ? NamingVorbisName : MappedVorbisName;
  reader.ReadFromFile(fileName, stream);
  return ZipFields(std::move(reader.CommentNames), std::move(reader.CommentValues));
}

// A reader that fails leaves its values empty, so nothing is delivered.
TContainerTags ReadWMA(std::string_view fileName, TStream* stream, TScope) {
  TWMAfile reader;
  reader.ReadFromFile(fileName, stream);
  return WMAFields(reader);
}

// One row per extension; the first row whose extension matches serves.
constexpr std::array<TTagReaderRow, 11> kReaders = {{
    {".mp3", TTagMapping::ID3, ReadMP3},
    {".mp2", TTagMapping::ID3, ReadMP3},
    {".mp4", TTagMapping::MP4, ReadMP4},
    {".m4a", TTagMapping::MP4, ReadMP4},
    {".mp4a", TTagMapping::MP4, ReadMP4},
    {".m4p", TTagMapping::MP4, ReadMP4},
    {".wav", TTagMapping::WAV, ReadWAV},
    {".ogg", TTagMapping::Vorbis, ReadOgg},
    {".opus", TTagMapping::Vorbis, ReadOgg},
    {".flac", TTagMapping::Vorbis, ReadFLAC},
    {".wma", TTagMapping::WMA, ReadWMA},
}};

// ---- The mapping tables -----------------------------------------------------

enum class TSetter : uint8_t {
  Text,          // SetText
  AsIs,          // SetValue, the value unchanged
  FirstComment,  // as is, only for the first such pair of the file
  Date,          // SetDate
  Year,          // SetYear
  Tempo,         // SetTempo
  BPM,           // NormalizeBPM, then as is
  GenreNumber,   // an ID3v1 genre number 1..127 (MP4 "gnre")
  Numeric,       // as is when the value is a number
  Intro,         // WAV intro length 100 .. 29999
  WebAddress,    // WAV "IURL": an address or a <year> marker
  Segue,         // WAV "IMED"
  AvailStart,    // WAV availability start day
  AvailEnd,      // WAV availability end day
};

struct TMapRow {
  std::string_view Id;
  std::string_view Field;
  TSetter Setter;
};

// ID3 frame ids, compared case-sensitively.
constexpr TMapRow kID3Table[] = {
    {"TIT2", "Title", TSetter::Text},
    {"TPE1", "Artist", TSetter::Text},
    {"TPE2", "Album Artist", TSetter::Text},
    {"TPE3", "Conductor", TSetter::Text},
    {"TCOM", "Composer", TSetter::Text},
    {"TCON", "Genre", TSetter::Text},
    {"TALB", "Album", TSetter::Text},
    {"TSRC", "ISRC", TSetter::Text},
    {"TYER", "Year", TSetter::Text},
    {"TDRC", "RecordDate", TSetter::Date},
    {"TPUB", "Publisher", TSetter::Text},
    {"ASIN", "EAN/UPC", TSetter::Text},
    {"COMM", "Comment", TSetter::FirstComment},
    {"TRCK", "Track", TSetter::Text},
    {"WXXX", "URL", TSetter::Text},
    {"WCOM", "URL2", TSetter::Text},
    {"TBPM", "BPM", TSetter::BPM},
    {"TMOO", "Mood", TSetter::Text},
    {"3PRO", "MP3PRO", TSetter::AsIs},
};

// MP4 item names (lower case, without a leading 0xA9), compared ignoring case.
constexpr TMapRow kMP4Table[] = {
    {"nam", "Title", TSetter::Text},         {"art", "Artist", TSetter::Text},
    {"wrt", "Composer", TSetter::Text},      {"com", "Composer", TSetter::Text},
    {"gen", "Genre", TSetter::Text},         {"gnre", "Genre", TSetter::GenreNumber},
    {"aart", "Album Artist", TSetter::Text}, {"alb", "Album", TSetter::Text},
    {"day", "Year", TSetter::Text},          {"cmt", "Comment", TSetter::AsIs},
    {"trk", "Track", TSetter::Text},         {"trkn", "Track", TSetter::AsIs},
    {"tmpo", "BPM", TSetter::BPM},           {"rgtg", "REPLAYGAIN_TRACK_GAIN", TSetter::AsIs},
};

// RIFF INFO ids and the WAV reader's own ids, compared case-sensitively.
constexpr TMapRow kWAVTable[] = {
    {"DISP", "Title", TSetter::Text},     {"ITTL", "Title", TSetter::Text},
    {"IART", "Artist", TSetter::Text},    {"IAAR", "Album Artist", TSetter::Text},
    {"IYER", "Year", TSetter::Year},      {"ICRD", "Year", TSetter::Year},
    {"IALB", "Album", TSetter::Text},     {"IPRD", "Album", TSetter::Text},
    {"ITRK", "Track", TSetter::Text},     {"IGRE", "Genre", TSetter::Text},
    {"IGNR", "Genre", TSetter::Text},     {"ICMT", "Comment", TSetter::AsIs},
    {"ISRC", "ISRC", TSetter::Text},      {"IURL", "URL", TSetter::WebAddress},
    {"BTPO", "Tempo", TSetter::Tempo},    {"ICOM", "Composer", TSetter::Text},
    {"IMUS", "Composer", TSetter::Text},  {"IPUB", "Publisher", TSetter::Text},
    {"ICMS", "Publisher", TSetter::Text}, {"BCPR", "Publisher", TSetter::Text},
    {"ITCH", "Conductor", TSetter::Text}, {"ISRF", "Intro", TSetter::Intro},
    {"IMED", "Segue", TSetter::Segue},    {"IBPM", "BPM", TSetter::BPM},
    {"CLNT", "Client", TSetter::Text},    {"Cue", "Cue", TSetter::Text},
    {"Outro", "Outro", TSetter::Text},    {"SDAT", "", TSetter::AvailStart},
    {"EDAT", "", TSetter::AvailEnd},
};

// Vorbis comment names, delivered upper-cased, compared case-sensitively.
constexpr TMapRow kVorbisTable[] = {
    {"TITLE", "Title", TSetter::Text},
    {"ARTIST", "Artist", TSetter::Text},
    {"CONDUCTOR", "Conductor", TSetter::Text},
    {"COMPOSER", "Composer", TSetter::Text},
    {"GENRE", "Genre", TSetter::Text},
    {"ALBUM", "Album", TSetter::Text},
    {"ALBUM ARTIST", "Album Artist", TSetter::Text},
    {"ALBUMARTIST", "Album Artist", TSetter::Text},
    {"BAND", "Album Artist", TSetter::Text},
    {"DATE", "Year", TSetter::Text},
    {"PUBLISHER", "Publisher", TSetter::Text},
    {"LABEL", "Publisher", TSetter::Text},
    {"ORGANIZATION", "Publisher", TSetter::Text},
    {"COMMENT", "Comment", TSetter::AsIs},
    {"DESCRIPTION", "Comment", TSetter::AsIs},
    {"ISRC", "ISRC", TSetter::Text},
    {"EAN/UPC", "EAN/UPC", TSetter::Text},
    {"EAN/UPN", "EAN/UPC", TSetter::Text},
    {"URL", "URL", TSetter::Text},
    {"TRACKNUMBER", "Track", TSetter::Text},
    {"TRACK", "Track", TSetter::Text},
    {"INTRO", "Intro", TSetter::Numeric},
    {"SEGUE", "Segue", TSetter::Numeric},
    {"BPM", "BPM", TSetter::BPM},
    {"TEMPO", "Tempo", TSetter::Tempo},
    {"FADESPEED", "FadeSpeed", TSetter::AsIs},
    {"CLIENT", "Client", TSetter::Text},
    {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_GAIN", TSetter::AsIs},
    {"MOOD", "Mood", TSetter::Text},
    {"LANGUAGE", "Language", TSetter::Text},
    {"OTHER", "Other", TSetter::Text},
};

// The WMA reader's members, by name.
constexpr TMapRow kWMATable[] = {
    {"Artist", "Artist", TSetter::Text},
    {"Title", "Title", TSetter::Text},
    {"AlbumArtist", "Album Artist", TSetter::Text},
    {"Album", "Album", TSetter::Text},
    {"Track", "Track", TSetter::Text},
    {"Year", "Year", TSetter::Text},
    {"Genre", "Genre", TSetter::Text},
    {"Comment", "Comment", TSetter::AsIs},
    {"Text", "Comment", TSetter::AsIs},  // delivered after "Comment", so it wins
    {"Composer", "Composer", TSetter::Text},
    {"Publisher", "Publisher", TSetter::Text},
    {"Conductor", "Conductor", TSetter::Text},
    {"Category", "Category", TSetter::Text},
    {"BeatsPerMinute", "BPM", TSetter::AsIs},
    {"ISRC", "ISRC", TSetter::Text},
    {"Mood", "Mood", TSetter::Text},
    {"AlbumCoverURL", "URL", TSetter::Text},
    {"UserWebURL", "URL2", TSetter::Text},
    {"ReplayGainTrackGain", "REPLAYGAIN_TRACK_GAIN", TSetter::AsIs},
};

// The members of TWMAfile the import reads, in the order of kWMATable.
using TWMAMember =
    std::variant<std::u16string TWMAfile::*, int32_t TWMAfile::*, uint8_t TWMAfile::*>;
struct TWMAMemberRow {
  std::string_view Id;
  TWMAMember Member;
};
const TWMAMemberRow kWMAMembers[] = {
    {"Artist", &TWMAfile::Artist},
    {"Title", &TWMAfile::Title},
    {"AlbumArtist", &TWMAfile::AlbumArtist},
    {"Album", &TWMAfile::Album},
    {"Track", &TWMAfile::Track},
    {"Year", &TWMAfile::Year},
    {"Genre", &TWMAfile::Genre},
    {"Comment", &TWMAfile::Comment},
    {"Text", &TWMAfile::Text},
    {"Composer", &TWMAfile::Composer},
    {"Publisher", &TWMAfile::Publisher},
    {"Conductor", &TWMAfile::Conductor},
    {"Category", &TWMAfile::Category},
    {"BeatsPerMinute", &TWMAfile::BeatsPerMinute},
    {"ISRC", &TWMAfile::ISRC},
    {"Mood", &TWMAfile::Mood},
    {"AlbumCoverURL", &TWMAfile::AlbumCoverURL},
    {"UserWebURL", &TWMAfile::UserWebURL},
    {"ReplayGainTrackGain", &TWMAfile::ReplayGainTrackGain},
};

std::span<const TMapRow> TableFor(TTagMapping mapping) {
  switch (mapping) {
    case TTagMapping::ID3:
      return kID3Table;
    case TTagMapping::MP4:
      return kMP4Table;
    case TTagMapping::WAV:
      return kWAVTable;
    case TTagMapping::Vorbis:
      return kVorbisTable;
    case TTagMapping::WMA:
      return kWMATable;
    default:
      return {};
  }
}

// The first row for id, in table order.
const TMapRow* FindRow(std::span<const TMapRow> table, std::string_view id, bool ignoreCase) {
  for (const TMapRow& row : table)
    if (ignoreCase ? EqualsIgnoringAsciiCase(row.Id, id) : row.Id == id) return &row;
  return nullptr;
}

// The fields a file's name is made of.
constexpr bool IsNameField(std::string_view field) {
  return field == "Artist" || field == "Title" || field == "Genre";
}

// Four id bytes as one number; MP4 types with ASCII letters lower-cased.
constexpr uint32_t IdKey(std::string_view id, bool lowered) {
  uint32_t key = 0;
  for (char c : id.substr(0, 4))
    key = key << 8 | static_cast<unsigned char>(lowered ? AsciiLower(c) : c);
  return key;
}

// The sorted keys of the four-byte ids a predicate admits, made when the
// program is built: a frame walk asks once per frame.
template <size_t N>
struct TIdKeys {
  std::array<uint32_t, N> Keys{};
  size_t Count = 0;
  constexpr void Add(uint32_t key) { Keys[Count++] = key; }
  constexpr void Sort() { std::sort(Keys.begin(), Keys.begin() + static_cast<ptrdiff_t>(Count)); }
  bool Holds(uint32_t key) const {
    return std::binary_search(Keys.begin(), Keys.begin() + static_cast<ptrdiff_t>(Count), key);
  }
};

// The first row for id counts: a later row for the same id is never used.
template <size_t N>
constexpr bool FirstRowFor(const TMapRow (&table)[N], size_t i) {
  for (size_t j = 0; j < i; ++j)
    if (table[j].Id == table[i].Id) return false;
  return true;
}

constexpr auto ID3Keys(bool namesOnly) {
  TIdKeys<std::size(kID3Table)> keys;
  for (size_t i = 0; i < std::size(kID3Table); ++i)
    if (FirstRowFor(kID3Table, i) && (!namesOnly || IsNameField(kID3Table[i].Field)))
      keys.Add(IdKey(kID3Table[i].Id, false));
  keys.Sort();
  return keys;
}

// The MP4 reader's type of a row: its three-letter names follow 0xA9.
// Freeform items ("----") may hold the replay gain, which no name is made of.
constexpr auto MP4Keys(bool namesOnly) {
  TIdKeys<std::size(kMP4Table) + 1> keys;
  for (size_t i = 0; i < std::size(kMP4Table); ++i) {
    const std::string_view id = kMP4Table[i].Id;
    if (!FirstRowFor(kMP4Table, i) || (namesOnly && !IsNameField(kMP4Table[i].Field))) continue;
    keys.Add(id.size() == 3 ? 0xA9000000u | IdKey(id, true) : IdKey(id, true));
  }
  if (!namesOnly) keys.Add(IdKey("----", false));
  keys.Sort();
  return keys;
}

// A key stands for its id only when the id has four bytes (three after 0xA9).
static_assert(std::ranges::all_of(kID3Table,
                                  [](const TMapRow& row) { return row.Id.size() == 4; }));
static_assert(std::ranges::all_of(kMP4Table, [](const TMapRow& row) {
  return row.Id.size() == 3 || row.Id.size() == 4;
}));
constexpr auto kID3Keys = ID3Keys(false), kID3NameKeys = ID3Keys(true);
constexpr auto kMP4Keys = MP4Keys(false), kMP4NameKeys = MP4Keys(true);

bool MappedID3Id(std::string_view id) {
  return id.size() == 4 && kID3Keys.Holds(IdKey(id, false));
}

bool NamingID3Id(std::string_view id) {
  return id.size() == 4 && kID3NameKeys.Holds(IdKey(id, false));
}

// The MP4 reader asks with the four bytes of an item's type, before it has
// made its name (lower-cased, without a leading 0xA9).
bool MappedMP4Type(std::string_view type) {
  return type.size() == 4 && kMP4Keys.Holds(IdKey(type, true));
}

bool NamingMP4Type(std::string_view type) {
  return type.size() == 4 && kMP4NameKeys.Holds(IdKey(type, true));
}

bool MappedVorbisName(std::string_view name) {
  return FindRow(kVorbisTable, name, false) != nullptr;
}

bool NamingVorbisName(std::string_view name) {
  const TMapRow* row = FindRow(kVorbisTable, name, false);
  return row != nullptr && IsNameField(row->Field);
}

bool NamingWAVId(std::string_view id) {
  const TMapRow* row = FindRow(kWAVTable, id, false);
  return row != nullptr && IsNameField(row->Field);
}

// What the pairs of one file carry from one to the next.
struct TMapState {
  int32_t Duration = 0;
  bool CommentSeen = false;
  int32_t StartDay = 0;
  int32_t EndDay = 0;
};

// "IURL": a web address, or a year behind a "<year>" marker (any case).
void ApplyWebAddress(TAPETags& tags, std::string_view value) {
  if (value.find("http:") != std::string_view::npos) {
    tags.SetText("URL", value);
    return;
  }
  constexpr std::string_view kMarker = "<year>";
  size_t p = AsciiLowered(value).find(kMarker);
  if (p == std::string::npos) return;
  size_t q = value.find('<', p + kMarker.size() - 1);
  // The next "<" lies after the marker, so q - p - 6 cannot be negative.
  if (q == std::string_view::npos || q - p - kMarker.size() < 2) return;
  tags.SetYear(value.substr(p + kMarker.size(), q - p - kMarker.size()));
}

// "IMED": a segue point; a point early in the file counts from its end.
void ApplySegue(TAPETags& tags, std::string_view value, int32_t duration) {
  int32_t c = SafeStrToInt(value);
  if (c < 500) return;
  if (duration > 0 && static_cast<double>(c) / duration < 0.5) c = duration - c;
  tags.SetInteger("Segue", c);
  tags.SetValue("SegueDB", "1");
}

void Apply(TAPETags& tags, const TMapRow& row, std::string_view value, TMapState& state) {
  switch (row.Setter) {
    case TSetter::Text:
      tags.SetText(row.Field, value);
      break;
    case TSetter::AsIs:
      tags.SetValue(row.Field, value);
      break;
    case TSetter::FirstComment:
      if (!state.CommentSeen) tags.SetValue(row.Field, value);
      state.CommentSeen = true;
      break;
    case TSetter::Date:
      tags.SetDate(row.Field, value);
      break;
    case TSetter::Year:
      tags.SetYear(value);
      break;
    case TSetter::Tempo:
      tags.SetTempo(value);
      break;
    case TSetter::BPM:
      tags.SetValue(row.Field, TAPETags::NormalizeBPM(value));
      break;
    case TSetter::GenreNumber: {
      int32_t n = SafeStrToInt(value);
      if (n >= 1 && n <= static_cast<int32_t>(ID3Genres.size()))
        tags.SetValue(row.Field, ID3Genres[static_cast<size_t>(n - 1)]);
      break;
    }
    case TSetter::Numeric:
      if (IsNumeric(value)) tags.SetValue(row.Field, value);
      break;
    case TSetter::Intro: {
      int32_t n = SafeStrToInt(value);
      if (n >= 100 && n < 30000) tags.SetInteger(row.Field, n);
      break;
    }
    case TSetter::WebAddress:
      ApplyWebAddress(tags, value);
      break;
    case TSetter::Segue:
      ApplySegue(tags, value, state.Duration);
      break;
    case TSetter::AvailStart:
      state.StartDay = TAPETags::DateToDays(value);
      break;
    case TSetter::AvailEnd:
      state.EndDay = TAPETags::DateToDays(value);
      break;
  }
}

// The WAV availability days become the "XRestrictions" record when either
// lies after 2000-01-01.
void StoreAvailability(TAPETags& tags, const TMapState& state) {
  constexpr int32_t kDay2000 = 36526;
  if (state.StartDay <= kDay2000 && state.EndDay <= kDay2000) return;
  TAvailability record;
  InitAvailability(record);
  record.StartDay = state.StartDay;
  record.EndDay = state.EndDay;
  tags.SetValue("XRestrictions", AvailabilityBytes(record));
}

// UTF-8 of wide text; a lone surrogate becomes U+FFFD.
std::string WideToUTF8(std::u16string_view wide) {
  std::u16string clean(wide);
  for (size_t i = 0; i < clean.size(); ++i) {
    char16_t c = clean[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < clean.size() && clean[i + 1] >= 0xDC00 &&
        clean[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      clean[i] = u'\uFFFD';
    }
  }
  std::string utf8;
  EncodeUTF8(clean, utf8);
  return utf8;
}

// Days from 0000-03-01-based civil counting (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

TDurationSource& DurationSource() {
  static TDurationSource source;
  return source;
}

TTagReaderSource& ReaderSource() {
  static TTagReaderSource source;
  return source;
}

int& YearOverride() {
  static int year = 0;
  return year;
}

}  // namespace

// ---- Reader choice and seams --------------------------------------------------

const TTagReaderRow* FindTagReader(std::string_view fileName) {
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return nullptr;
  std::string extension = AsciiLowered(fileName.substr(dot));
  for (const TTagReaderRow& row : kReaders)
    if (row.Extension == extension) return &row;
  return nullptr;
}

void SetImportDurationSource(TDurationSource source) {
  DurationSource() = std::move(source);
}

void SetImportReaderSource(TTagReaderSource source) {
  ReaderSource() = std::move(source);
}

int CurrentYear() {
  if (YearOverride() > 0) return YearOverride();
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

void SetCurrentYearSource(int year) {
  YearOverride() = year;
}

// ---- What readers deliver -----------------------------------------------------

TContainerTags ZipFields(std::vector<std::string>&& ids, std::vector<std::string>&& values) {
  TContainerTags tags;
  const size_t count = std::min(ids.size(), values.size());
  tags.Fields.reserve(count);
  for (size_t i = 0; i < count; ++i)
    tags.Fields.push_back({std::move(ids[i]), std::move(values[i])});
  return tags;
}

std::string MarkedWideText(std::u16string_view text) {
  return MarkUTF8(WideToUTF8(text));
}

std::string MarkedWideValue(std::u16string_view text) {
  std::string utf8 = WideToUTF8(text);
  if (utf8 != WideToAnsi(text)) utf8.insert(utf8.begin(), kUTF8Marker);
  return utf8;
}

TContainerTags WMAFields(const TWMAfile& wma) {
  TContainerTags tags;
  for (const TWMAMemberRow& member : kWMAMembers) {
    std::string value = std::visit(
        [&wma, &member](auto pointer) -> std::string {
          const auto& held = wma.*pointer;
          if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::u16string>) {
            if (held.empty()) return {};
            return FindRow(kWMATable, member.Id, false)->Setter == TSetter::AsIs
                       ? MarkedWideValue(held)
                       : MarkedWideText(held);
          } else {
            return held == 0 ? std::string() : std::to_string(held);
          }
        },
        member.Member);
    if (!value.empty()) tags.Fields.push_back({std::string(member.Id), std::move(value)});
  }
  return tags;
}

// ---- The setters ----------------------------------------------------------------

void TAPETags::SetText(std::string_view name, std::string_view text) {
  if (text == "0") return;
  std::string value = CleanValue(TrimMarked(text));
  if (value.size() > kMaxTextSize) {
    size_t cut = kMaxTextSize;
    if (IsUTF8Marked(value)) {
      // Never split a UTF-8 character: drop the whole character the cut
      // falls into.
      size_t back = 0;
      while (back < 3 && cut > 1 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
        ++back;
      }
      if ((static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) cut = kMaxTextSize;
    }
    value.resize(cut);
  }
  SetValue(name, value);
}

void TAPETags::SetYear(std::string_view text) {
  auto year = static_cast<uint16_t>(SafeStrToInt(TrimBytes(text)));
  if (year == 0) return;
  if (year < 100) year = static_cast<uint16_t>(year + (CurrentYear() < year + 2000 ? 1900 : 2000));
  SetInteger("Year", year);
}

void TAPETags::SetDate(std::string_view name, std::string_view text) {
  int32_t days = DateToDays(text);
  if (days > 1) SetInteger(name, days);
}

void TAPETags::SetTempo(std::string_view text) {
  struct TTempoWord {
    std::string_view Word;
    std::string_view Tempo;
  };
  static constexpr TTempoWord kWords[] = {
      {"Slow", "1"},        {"Medium Slow", "2"}, {"Medium-Slow", "2"}, {"Slow Medium", "2"},
      {"Slow-Medium", "2"}, {"Medium", "3"},      {"Medium Fast", "4"}, {"Medium-Fast", "4"},
      {"Fast Medium", "4"}, {"Fast-Medium", "4"}, {"Fast", "5"},
  };
  for (const TTempoWord& word : kWords)
    if (EqualsIgnoringAsciiCase(word.Word, text)) {
      SetValue("Tempo", word.Tempo);
      return;
    }
}

std::string TAPETags::NormalizeBPM(std::string_view text) {
  size_t end = text.find('.');
  if (end == std::string_view::npos) end = text.find(',');
  int32_t bpm = SafeStrToInt(text.substr(0, end));
  return bpm >= 1 && bpm <= 255 ? std::to_string(bpm) : std::string();
}

int32_t TAPETags::DateToDays(std::string_view text) {
  auto part = [text](size_t pos, size_t len) {
    return pos < text.size() ? SafeStrToInt(text.substr(pos, len)) : 0;
  };
  const int32_t year = part(0, 4), month = part(5, 2), day = part(8, 2);
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return 1;
  int monthDays = kDaysInMonth[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  if (day > monthDays) return 1;
  int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
  return days < 1 ? 1 : static_cast<int32_t>(days);
}

// ---- The import -------------------------------------------------------------------

void TAPETags::MapContainerTags(TTagMapping mapping, const TContainerTags& tags, int32_t duration) {
  std::span<const TMapRow> table = TableFor(mapping);
  if (table.empty()) return;
  const bool ignoreCase = mapping == TTagMapping::MP4;
  TMapState state;
  state.Duration = duration;
  for (const TTagField& field : tags.Fields) {
    const TMapRow* row = FindRow(table, field.Id, ignoreCase);
    if (row != nullptr) Apply(*this, *row, field.Value, state);
  }
  if (mapping == TTagMapping::WAV) StoreAvailability(*this, state);
}

void TAPETags::ImportContainerTags(TImportScope scope) {
  if (!opened_) return;
  // Room for the few fields a file's tags give, made once.
  items_.reserve(std::max<size_t>(items_.size(), 12));
  int32_t duration = SafeStrToInt(GetValue("Duration"));
  if (duration < 1 && scope == TImportScope::AllFields) {
    int32_t answer = DurationSource() ? DurationSource()(fileName_, Stream())
                                      : GetFileDuration(fileName_, Stream());
    if (answer > 0) {
      SetInteger("Duration", answer);
      duration = answer;
    }
  }
  const TTagReaderRow* row = FindTagReader(fileName_);
  if (row == nullptr) return;
  TContainerTags tags;
  try {
    tags = ReaderSource() ? ReaderSource()(*row, fileName_, Stream())
                          : row->Read(fileName_, Stream(), scope);
  } catch (const std::exception&) {
    return;  // readers swallow their own errors; this is the last guard
  }
  MapContainerTags(row->Mapping, tags, duration);
}

}  // namespace dov
