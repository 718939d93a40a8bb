#include "tags/MP3Tags.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"

namespace dov {

const std::array<std::string_view, 127> ID3Genres = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental",
    "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk",
    "Space", "Meditative", "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic", "Darkwave",
    "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy",
    "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk", "Jungle", "Native American",
    "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi", "Tribal",
    "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock",
    // The extensions, 80..125.
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour",
    "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad",
    "Power Ballad", "Rhythmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella",
    "Euro-House", "Dance Hall",
    // 126
    ""};

namespace {

constexpr int64_t kHeaderSize = 10;
constexpr int64_t kID3v1Size = 128;

std::string_view UpToZero(std::string_view s) {
  return s.substr(0, s.find('\0'));
}

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// UTF-16 frame text (encoding 1 or 2) to marked text. A byte-order mark
// decides the byte order; without one, encoding 2 (ID3v2.4) is big-endian and
// encoding 1 little-endian. Leading bytes of 0x20 or less are only dropped when
// a mark follows them (a split description terminator); text without a mark
// keeps every byte, since a 0x00 there is half of its first character.
std::string UTF16ToMarked(std::string_view text, uint8_t encoding) {
  size_t lead = 0;
  while (lead < text.size() && static_cast<unsigned char>(text[lead]) <= 0x20) ++lead;
  std::string_view mark = text.substr(lead, 2);
  bool bigEndian = encoding == 2;
  if (mark == "\xFF\xFE" || mark == "\xFE\xFF") {
    bigEndian = mark == "\xFE\xFF";
    text.remove_prefix(lead + 2);
  }
  std::u16string wide;
  wide.reserve(text.size() / 2);
  const unsigned char* p = Bytes(text);
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    wide.push_back(bigEndian ? LoadU16BE(p + i) : LoadU16LE(p + i));
  return WideToMarked(wide);
}

// A comment in encoding 2 has no marks: language (3 bytes), description up
// to its two-byte terminator, text.
std::string_view StripUTF16BEDescription(std::string_view data) {
  data.remove_prefix(std::min<size_t>(3, data.size()));
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    if (data[i] == '\0' && data[i + 1] == '\0') return data.substr(i + 2);
  return data;
}

// A genre given as a plain whole number ("17", as ID3v2.4 writes it) is an
// index into the genre list; the name when the list has one, else nothing.
std::string_view GenreByNumber(std::string_view value) {
  constexpr size_t kNamedGenres = 126;  // the last slot holds no name
  if (value.empty()) return {};
  size_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return {};
    number = std::min(number * 10 + static_cast<size_t>(c - '0'), kNamedGenres);
  }
  return number < kNamedGenres ? ID3Genres[number] : std::string_view();
}

// A genre frame's references to the genre list: "17" and "(17)" give the
// name, "(17)Rock" the text after the reference; other text stays.
std::string ResolveGenreReference(std::string value) {
  if (std::string_view named = GenreByNumber(value); !named.empty()) return std::string(named);
  if (value.front() != '(') return value;
  if (value.size() >= 2 && value.back() == ')') {
    double number = 0;
    std::string_view inner = std::string_view(value).substr(1, value.size() - 2);
    if (TryStrToFloat(inner, number) && number >= 0 && number <= 126 &&
        number == std::floor(number))
      return std::string(ID3Genres[static_cast<size_t>(number)]);
  } else if (size_t close = value.find(')'); close != std::string::npos) {
    if (IsNumeric(std::string_view(value).substr(1, close - 1))) return value.substr(close + 1);
  }
  return value;
}

}  // namespace

std::string TMP3Tags::StripDescription(std::string_view text) {
  size_t zero = text.find('\0');
  if (zero == std::string_view::npos) return std::string(text);
  // 1-based position p of the zero must lie below half the length.
  size_t p = zero + 1;
  if (2 * p < text.size()) return std::string(text.substr(p));
  return std::string(text);
}

void TMP3Tags::AddFrame(std::string_view id, std::string value) {
  if (value.empty()) return;
  if (id == "TCON") value = ResolveGenreReference(std::move(value));
  FrameIDs.emplace_back(id);
  FrameValues.push_back(std::move(value));
}

void TMP3Tags::ReadFromFile(std::string_view fileName, TStream* stream) {
  HasID3v2 = false;
  MajorVersion = 0;
  TagSize = 0;
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Read(s); });
}

void TMP3Tags::Read(TStream& stream) {
  TByteReader in(stream);
  const int64_t fileSize = in.Size();
  if (fileSize < kID3v1Size) return;
  const std::string header = in.Take(kHeaderSize);
  const unsigned char* h = Bytes(header);

  if (header.compare(0, 3, "ID3") != 0) {
    in.Seek(fileSize - kID3v1Size);
    if (in.Consume("TAG")) ReadID3v1(in.Take(kID3v1Size - 3));
    if (h[1] == 0xF3 || h[1] == 0xF2) AddFrame("3PRO", "1");
    return;
  }

  HasID3v2 = true;
  MajorVersion = h[3];
  const int64_t size = LoadID3v2TagSize(h + 6);
  TagSize = size > fileSize ? 0 : static_cast<int32_t>(size);
  if (TagSize == 0 || fileSize - TagSize < kHeaderSize) return;

  if (MajorVersion >= 3) {
    if ((h[5] & 0x40) != 0) {
      const std::string ext = in.Take(4);
      if (MajorVersion == 4) {
        // Counts the whole extended header, its size field included.
        int64_t extSize = LoadSyncSafe(Bytes(ext));
        in.Skip(extSize > 4 ? extSize - 4 : 0);
      } else {
        in.Skip(LoadU32BE(Bytes(ext)));
      }
    }
    ReadFrames(in, fileSize);
  }
  if (!MarkMP3Pro) return;

  in.Seek(TagSize);
  const std::string audio = in.Take(kHeaderSize);
  if (static_cast<unsigned char>(audio[1]) == 0xF3 || static_cast<unsigned char>(audio[1]) == 0xF2)
    AddFrame("3PRO", "1");
}

void TMP3Tags::ReadFrames(TByteReader& in, int64_t fileSize) {
  size_t passedOver = 0;
  bool commentSeen = false;
  // The frame headers are looked at in chunks read ahead, not read one by
  // one: a tag of hundreds of small frames costs a few reads.
  TStreamWindow window(in);
  int64_t position = in.Position();
  while (position < TagSize && fileSize - position >= 12) {
    if (FrameIDs.size() + passedOver >= kMaxFrames) return;
    const std::string_view header = window.Peek(kHeaderSize);
    if (header.size() < kHeaderSize) throw ETruncated();
    if (!IsAsciiLetter(header[0])) return;  // padding begins here
    char idBytes[4];
    header.copy(idBytes, sizeof idBytes);
    const std::string_view id(idBytes, sizeof idBytes);
    const int64_t size =
        MajorVersion == 4 ? LoadSyncSafe(Bytes(header) + 4) : LoadU32BE(Bytes(header) + 4);
    window.Advance(kHeaderSize);
    position += kHeaderSize;
    // A frame beyond the tag ends the walk.
    if (position >= TagSize ? size != 0 : size > TagSize - position) return;
    const bool text = id != "TXXX" && id != "APIC" && size > 1;
    const bool refused = text && ((Wanted != nullptr && !Wanted(id)) ||
                                  (id == "COMM" && FirstCommentOnly && commentSeen));
    if (refused) ++passedOver;
    if (text && !refused) {
      // The size was checked against the tag, which lies within the file.
      const std::string_view body = window.Peek(static_cast<size_t>(size));
      if (body.size() < static_cast<size_t>(size)) throw ETruncated();
      const size_t before = FrameIDs.size();
      AddFrame(id, FrameText(id, static_cast<uint8_t>(body[0]),
                             body.substr(1, static_cast<size_t>(size - 1))));
      commentSeen = commentSeen || (id == "COMM" && FrameIDs.size() > before);
      window.Advance(static_cast<size_t>(size));
    } else {
      window.Skip(static_cast<uint64_t>(size));
    }
    position += size;
  }
}

std::string TMP3Tags::FrameText(std::string_view id, uint8_t encoding, std::string_view data) {
  const bool comment = id == "COMM";
  if (encoding == 1 || encoding == 2) {
    std::string text(data);
    if (comment) {
      if (encoding == 2)
        text = std::string(StripUTF16BEDescription(data));
      else
        text = StripDescription(data.substr(std::min<size_t>(5, data.size())));
    }
    return TrimMarked(UTF16ToMarked(text, encoding));
  }
  std::string text =
      comment ? StripDescription(data.substr(std::min<size_t>(4, data.size()))) : std::string(data);
  return TrimMarked(encoding == 3 ? MarkUTF8(text) : text);
}

void TMP3Tags::ReadID3v1(std::string_view body) {
  // body holds the 125 bytes after "TAG".
  auto text = [&](size_t offset, size_t width) {
    return TrimMarked(MarkUTF8(UpToZero(body.substr(offset, width))));
  };
  AddFrame("TIT2", text(0, 30));
  AddFrame("TPE1", text(30, 30));
  AddFrame("TALB", text(60, 30));
  AddFrame("TYER", std::string(TrimBytes(body.substr(90, 4))));
  // The comment is stored behind five blanks, so it is never empty; a marked
  // comment keeps its marker in front.
  std::string comment = text(94, 29);
  if (IsUTF8Marked(comment))
    AddFrame("COMM", kUTF8Marker + std::string(5, ' ') + comment.substr(1));
  else
    AddFrame("COMM", std::string(5, ' ') + comment);
  const unsigned char track = static_cast<unsigned char>(body[123]);
  if (track != 0x00 && track != 0x20) AddFrame("TRCK", std::to_string(track));
  const unsigned char genre = static_cast<unsigned char>(body[124]);
  if (genre >= 1 && genre <= 126) AddFrame("TCON", std::string(ID3Genres[genre]));
}

}  // namespace dov
