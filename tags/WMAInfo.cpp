#include "tags/WMAInfo.h"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>

#include "common/ByteReader.h"
#include "common/CodePage.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

using TGuid = std::array<char, 16>;

constexpr int HexValue(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10;
}

// A GUID in its standard text form as stored in ASF files: the first three
// groups little-endian, the last two as written.
constexpr TGuid Guid(const char (&text)[37]) {
  auto at = [&text](size_t i) {
    return static_cast<char>(HexValue(text[i]) << 4 | HexValue(text[i + 1]));
  };
  return {at(6),  at(4),  at(2),  at(0),  at(11), at(9),  at(16), at(14),
          at(19), at(21), at(24), at(26), at(28), at(30), at(32), at(34)};
}

constexpr TGuid kHeaderObject = Guid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
constexpr TGuid kFileProperties = Guid("8CABDCA1-A947-11CF-8EE4-00C00C205365");
constexpr TGuid kStreamProperties = Guid("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
constexpr TGuid kContentDescription = Guid("75B22633-668E-11CF-A6D9-00AA0062CE6C");
constexpr TGuid kExtendedContentDescription = Guid("D2D0A440-E307-11D2-97F0-00A0C95EA850");

bool operator==(std::string_view bytes, const TGuid& guid) {
  return bytes == std::string_view(guid.data(), guid.size());
}

// The header object: GUID, 64-bit size, 32-bit object count, 2 reserved
// bytes; every header object starts with its GUID and 64-bit size.
constexpr int64_t kHeaderObjectSize = 30;
constexpr uint64_t kObjectHeaderSize = 24;
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

// Reads inside one header object: a length that runs past the object's end
// raises ETruncated before anything is read or allocated.
class TObjectReader {
 public:
  TObjectReader(TByteReader& reader, int64_t end) : reader_(reader), end_(end) {}

  void Seek(int64_t position) {
    if (position > end_) throw ETruncated();
    reader_.Seek(position);
  }
  void Skip(uint64_t count) {
    Need(count);
    reader_.Skip(static_cast<int64_t>(count));
  }
  uint16_t U16() {
    Need(2);
    return reader_.U16LE();
  }
  uint32_t U32() {
    Need(4);
    return reader_.U32LE();
  }
  // A UTF-16 string of the given byte length: at most kMaxStringUnits code
  // units are kept (a terminating zero among them), the rest is skipped.
  std::u16string String(uint16_t bytes) {
    Need(bytes);
    const size_t units = std::min<size_t>(bytes / 2u, TWMAfile::kMaxStringUnits);
    const std::string raw = reader_.Take(units * 2);
    reader_.Skip(static_cast<int64_t>(bytes - units * 2));
    std::u16string text(units, u'\0');
    for (size_t i = 0; i < units; ++i)
      text[i] = static_cast<char16_t>(LoadU16LE(Bytes(raw) + 2 * i));
    return text;
  }

 private:
  void Need(uint64_t count) const {
    const int64_t position = reader_.Position();
    if (position > end_ || count > static_cast<uint64_t>(end_ - position)) throw ETruncated();
  }
  TByteReader& reader_;
  int64_t end_;
};

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
  if (reader.Take(16) != kHeaderObject) return;
  const uint64_t headerSize = reader.U64LE();
  const uint32_t objectCount = reader.U32LE();
  reader.Skip(2);
  // The header objects lie inside the header object; a header size that
  // cannot be right is not used.
  int64_t end = FileSize;
  if (headerSize >= static_cast<uint64_t>(kHeaderObjectSize) &&
      headerSize <= static_cast<uint64_t>(FileSize))
    end = static_cast<int64_t>(headerSize);

  std::array<std::u16string, kSlotCount> slots;
  uint32_t maxBitRate = 0, samplesPerSecond = 0, bytesPerSecond = 0;
  uint16_t channels = 0;
  int64_t start = kHeaderObjectSize;
  // Every object moves the walk on by at least its header, so a count of four
  // billion ends with the header.
  for (uint32_t i = 0; i < objectCount; ++i) {
    if (end - start < static_cast<int64_t>(kObjectHeaderSize)) break;
    reader.Seek(start);
    const std::string guid = reader.Take(16);
    const uint64_t size = reader.U64LE();
    if (size < kObjectHeaderSize || size > static_cast<uint64_t>(end - start)) break;
    TObjectReader object(reader, start + static_cast<int64_t>(size));
    try {
      if (guid == kFileProperties) {
        maxBitRate = 0;
        object.Seek(start + kMaxBitRateOffset);
        maxBitRate = object.U32();
      } else if (guid == kStreamProperties) {
        // The last stream counts, also when it is too short to be audio.
        channels = 0;
        samplesPerSecond = bytesPerSecond = 0;
        object.Seek(start + kWaveFormatChannelsOffset);
        channels = object.U16();
        samplesPerSecond = object.U32();
        bytesPerSecond = object.U32();
      } else if (guid == kContentDescription) {
        object.Seek(start + kDescriptionOffset);
        std::array<uint16_t, 5> lengths{};  // title, author, copyright, description, rating
        for (uint16_t& length : lengths) length = object.U16();
        slots[sTitle] = object.String(lengths[0]);
        slots[sAuthor] = object.String(lengths[1]);
        object.Skip(lengths[2]);
        slots[sDescription] = object.String(lengths[3]);
      } else if (guid == kExtendedContentDescription) {
        object.Seek(start + kDescriptionOffset);
        const uint16_t count = object.U16();
        for (uint16_t d = 0; d < count; ++d) {
          const std::u16string name = object.String(object.U16());
          const uint16_t type = object.U16();
          const uint16_t length = object.U16();
          if (type != 0) {  // only Unicode strings are read
            object.Skip(length);
            continue;
          }
          std::u16string value = object.String(length);
          const std::string key = AsciiUppered(WideToAnsi(TrimWide(name)));
          const auto slot = std::find(kAttributeNames.begin(), kAttributeNames.end(), key);
          if (slot != kAttributeNames.end())
            slots[static_cast<size_t>(slot - kAttributeNames.begin())] = std::move(value);
        }
      }
    } catch (const ETruncated&) {
      // A length that runs past its object ends that object; the walk goes on
      // with the next one.
    }
    start += static_cast<int64_t>(size);
  }

  Valid = maxBitRate >= 1 && maxBitRate <= 1599999 && (channels == 1 || channels == 2) &&
          samplesPerSecond >= 8000 && samplesPerSecond <= 96000 && bytesPerSecond >= 1 &&
          bytesPerSecond <= 144000;
  if (!Valid) return;

  Channels = static_cast<uint8_t>(channels);
  SampleRate = static_cast<int32_t>(samplesPerSecond);
  Duration = static_cast<double>(FileSize) * 8 / maxBitRate;
  BitRate = static_cast<int32_t>(bytesPerSecond * 8 / 1000);

  for (std::u16string& slot : slots) slot = TrimWide(slot);
  Title = slots[sTitle];
  Artist = slots[sAuthor];
  Album = slots[sAlbumTitle];
  AlbumArtist = slots[sAlbumArtist];
  Year = slots[sYear];
  Genre = slots[sGenre];
  Comment = slots[sDescription];
  Composer = slots[sComposer];
  Publisher = slots[sPublisher];
  Conductor = slots[sConductor];
  Category = slots[sCategory];
  ISRC = slots[sISRC];
  Mood = slots[sMood];
  Text = slots[sText];
  AlbumCoverURL = slots[sAlbumCoverURL];
  UserWebURL = slots[sUserWebURL];
  ReplayGainTrackGain = slots[sReplayGainTrackGain];

  int32_t number = 0;
  if (ParseWholeNumber(slots[sTrackNumber], number)) Track = number;
  // "WM/Track" counts from 0.
  if (Track == 0 && ParseWholeNumber(slots[sTrack], number) &&
      number < std::numeric_limits<int32_t>::max())
    Track = number + 1;
  if (ParseWholeNumber(slots[sBeatsPerMinute], number))
    BeatsPerMinute = static_cast<uint8_t>(number);
}

}  // namespace dov
