#include "tags/WMAInfo.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/DOVCommon.h"
#include "tags/ASFHeader.h"

namespace dov {

namespace {

// Offsets inside the objects read.
constexpr int64_t kMaxBitRateOffset = 100;
constexpr int64_t kWaveFormatChannelsOffset = 80;
constexpr int64_t kDescriptionOffset = 24;

// The attributes kept, upper case, in slot order.
enum Slot : size_t {
  sTitle,
  sAuthor,
  sAlbumTitle,
  sTrack,
  sYear,
  sGenre,
  sDescription,
  sTrackNumber,
  sComposer,
  sPublisher,
  sConductor,
  sCategory,
  sBeatsPerMinute,
  sISRC,
  sMood,
  sText,
  sAlbumCoverURL,
  sUserWebURL,
  sAlbumArtist,
  sReplayGainTrackGain,
  kSlotCount
};
constexpr std::array<std::string_view, kSlotCount> kAttributeNames = {
    "WM/TITLE",          "WM/AUTHOR",     "WM/ALBUMTITLE",  "WM/TRACK",
    "WM/YEAR",           "WM/GENRE",      "WM/DESCRIPTION", "WM/TRACKNUMBER",
    "WM/COMPOSER",       "WM/PUBLISHER",  "WM/CONDUCTOR",   "WM/CATEGORY",
    "WM/BEATSPERMINUTE", "WM/ISRC",       "WM/MOOD",        "WM/TEXT",
    "WM/ALBUMCOVERURL",  "WM/USERWEBURL", "WM/ALBUMARTIST", "REPLAYGAIN_TRACK_GAIN"};

// Removes the characters U+0000..U+0020 at both ends.
std::u16string TrimWide(std::u16string_view s) {
  size_t first = 0, last = s.size();
  while (first < last && s[first] <= u' ') ++first;
  while (last > first && s[last - 1] <= u' ') --last;
  return std::u16string(s.substr(first, last - first));
}

// The text in the Ansi code page read as a whole decimal 32-bit integer (an
// optional sign, then digits); false for anything else.
bool ParseWholeNumber(std::u16string_view text, int32_t& number) {
  const std::string s = WideToAnsi(text);
  size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) ++i;
  if (i == s.size()) return false;
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t value = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
    if (value > limit) return false;
  }
  number = static_cast<int32_t>(negative ? -value : value);
  return true;
}

// What the walk over the header gathers.
struct TWalk {
  std::array<std::u16string, kSlotCount> Slots;
  uint32_t MaxBitRate = 0;
  uint32_t SamplesPerSecond = 0;
  uint32_t BytesPerSecond = 0;
  uint16_t Channels = 0;

  bool Plausible() const {
    return MaxBitRate >= 1 && MaxBitRate <= 1599999 && (Channels == 1 || Channels == 2) &&
           SamplesPerSecond >= 8000 && SamplesPerSecond <= 96000 && BytesPerSecond >= 1 &&
           BytesPerSecond <= 144000;
  }
};

// A UTF-16 string of the given byte length: at most kMaxStringUnits code
// units are kept (a terminating zero among them), the rest is skipped.
std::u16string ReadString(TByteRange& object, uint16_t bytes) {
  if (!object.Holds(bytes)) throw ETruncated();
  const size_t units = std::min<size_t>(bytes / 2u, TWMAfile::kMaxStringUnits);
  const std::string raw = object.Take(units * 2);
  object.Skip(bytes - units * 2);
  std::u16string text(units, u'\0');
  for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(LoadU16LE(Bytes(raw) + 2 * i));
  return text;
}

void ReadFileProperties(TByteRange& object, TWalk& walk) {
  walk.MaxBitRate = 0;
  object.Seek(object.Begin() + kMaxBitRateOffset);
  walk.MaxBitRate = object.U32LE();
}

// The last stream counts, also when it is too short to be audio.
void ReadStreamProperties(TByteRange& object, TWalk& walk) {
  walk.Channels = 0;
  walk.SamplesPerSecond = walk.BytesPerSecond = 0;
  object.Seek(object.Begin() + kWaveFormatChannelsOffset);
  walk.Channels = object.U16LE();
  walk.SamplesPerSecond = object.U32LE();
  walk.BytesPerSecond = object.U32LE();
}

void ReadContentDescription(TByteRange& object, TWalk& walk) {
  object.Seek(object.Begin() + kDescriptionOffset);
  std::array<uint16_t, 5> lengths{};  // title, author, copyright, description, rating
  for (uint16_t& length : lengths) length = object.U16LE();
  walk.Slots[sTitle] = ReadString(object, lengths[0]);
  walk.Slots[sAuthor] = ReadString(object, lengths[1]);
  object.Skip(lengths[2]);
  walk.Slots[sDescription] = ReadString(object, lengths[3]);
}

// Only Unicode string values are read; a name the table has fills its slot.
void ReadExtendedContentDescription(TByteRange& object, TWalk& walk) {
  object.Seek(object.Begin() + kDescriptionOffset);
  const uint16_t count = object.U16LE();
  for (uint16_t d = 0; d < count; ++d) {
    const std::u16string name = ReadString(object, object.U16LE());
    const uint16_t type = object.U16LE();
    const uint16_t length = object.U16LE();
    if (type != 0) {
      object.Skip(length);
      continue;
    }
    std::u16string value = ReadString(object, length);
    const std::string key = AsciiUppered(WideToAnsi(TrimWide(name)));
    const auto slot = std::find(kAttributeNames.begin(), kAttributeNames.end(), key);
    if (slot != kAttributeNames.end())
      walk.Slots[static_cast<size_t>(slot - kAttributeNames.begin())] = std::move(value);
  }
}

void ReadObject(std::string_view guid, TByteRange& object, TWalk& walk) {
  if (guid == GuidBytes(kASFFileProperties))
    ReadFileProperties(object, walk);
  else if (guid == GuidBytes(kASFStreamProperties))
    ReadStreamProperties(object, walk);
  else if (guid == GuidBytes(kASFContentDescription))
    ReadContentDescription(object, walk);
  else if (guid == GuidBytes(kASFExtendedContentDescription))
    ReadExtendedContentDescription(object, walk);
}

// The fields from the slots, trimmed; the numbers from their text.
void Fill(TWMAfile& wma, std::array<std::u16string, kSlotCount>& slots) {
  for (std::u16string& slot : slots) slot = TrimWide(slot);
  wma.Title = slots[sTitle];
  wma.Artist = slots[sAuthor];
  wma.Album = slots[sAlbumTitle];
  wma.AlbumArtist = slots[sAlbumArtist];
  wma.Year = slots[sYear];
  wma.Genre = slots[sGenre];
  wma.Comment = slots[sDescription];
  wma.Composer = slots[sComposer];
  wma.Publisher = slots[sPublisher];
  wma.Conductor = slots[sConductor];
  wma.Category = slots[sCategory];
  wma.ISRC = slots[sISRC];
  wma.Mood = slots[sMood];
  wma.Text = slots[sText];
  wma.AlbumCoverURL = slots[sAlbumCoverURL];
  wma.UserWebURL = slots[sUserWebURL];
  wma.ReplayGainTrackGain = slots[sReplayGainTrackGain];

  int32_t number = 0;
  if (ParseWholeNumber(slots[sTrackNumber], number)) wma.Track = number;
  // "WM/Track" counts from 0.
  if (wma.Track == 0 && ParseWholeNumber(slots[sTrack], number) &&
      number < std::numeric_limits<int32_t>::max())
    wma.Track = number + 1;
  if (ParseWholeNumber(slots[sBeatsPerMinute], number))
    wma.BeatsPerMinute = static_cast<uint8_t>(number);
}

}  // namespace

bool TWMAfile::ReadFromFile(std::string_view fileName, TStream* stream) {
  *this = TWMAfile();
  if (ParseStreamOrFile(fileName, stream, [this](TStream& s) { Read(s); })) return true;
  *this = TWMAfile();
  return false;
}

void TWMAfile::Read(TStream& stream) {
  TByteReader reader(stream);
  FileSize = reader.Size();
  TASFHeader header;
  if (!ReadASFHeader(reader, header)) return;
  TWalk walk;
  WalkASFHeader(reader, header, [&walk](std::string_view guid, TByteRange& object) {
    ReadObject(guid, object, walk);
  });
  Valid = walk.Plausible();
  if (!Valid) return;

  Channels = static_cast<uint8_t>(walk.Channels);
  SampleRate = static_cast<int32_t>(walk.SamplesPerSecond);
  Duration = static_cast<double>(FileSize) * 8 / walk.MaxBitRate;
  BitRate = static_cast<int32_t>(walk.BytesPerSecond * 8 / 1000);
  Fill(*this, walk.Slots);
}

}  // namespace dov
