#include "tags/MP3Tags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "common/CodePage.h"
#include "common/DOVTnt.h"
#include "tags/APETag.h"
#include "tags/WAVTags.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::DataPath;
using test::Filler;
using test::ReadFile;
using test::U32BE;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// Marked text of a UTF-8 literal.
std::string M(std::string_view utf8) {
  return kUTF8Marker + std::string(utf8);
}

std::string SyncSafe(uint32_t v) {
  return {static_cast<char>(v >> 21 & 0x7F), static_cast<char>(v >> 14 & 0x7F),
          static_cast<char>(v >> 7 & 0x7F), static_cast<char>(v & 0x7F)};
}

// One frame: id, size (sync-safe in version 4), two flag bytes, data.
std::string Frame(std::string_view id, std::string_view data, uint8_t version = 3) {
  const auto size = static_cast<uint32_t>(data.size());
  return std::string(id) + (version == 4 ? SyncSafe(size) : U32BE(size)) + std::string(2, '\0') +
         std::string(data);
}

std::string TextFrame(std::string_view id, uint8_t encoding, std::string_view text,
                      uint8_t version = 3) {
  return Frame(id, std::string(1, static_cast<char>(encoding)) + std::string(text), version);
}

// A whole ID3v2 tag around the frames, with the given padding.
std::string Tag(const std::string& frames, uint8_t version = 3, size_t padding = 16,
                uint8_t flags = 0) {
  std::string body = frames + std::string(padding, '\0');
  return std::string("ID3") + static_cast<char>(version) + '\0' + static_cast<char>(flags) +
         SyncSafe(static_cast<uint32_t>(body.size())) + body;
}

// An MPEG-1 Layer III audio body (no mp3PRO flag).
std::string Audio(size_t size = 300) {
  return "\xFF\xFB\x90\x00" + Filler(size - 4);
}

TMP3Tags Read(const std::string& bytes) {
  TMemoryStream stream(bytes);
  TMP3Tags tags;
  tags.ReadFromFile("memory.mp3", &stream);
  return tags;
}

Pairs PairsOf(const TMP3Tags& tags) {
  Pairs pairs;
  for (size_t i = 0; i < tags.FrameIDs.size(); ++i)
    pairs.emplace_back(tags.FrameIDs[i], tags.FrameValues[i]);
  return pairs;
}

Pairs ReadPairs(const std::string& bytes) {
  return PairsOf(Read(bytes));
}

std::string UTF16LE(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += test::U16LE(static_cast<uint16_t>(c));
  return out;
}

std::string UTF16BE(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += test::U16BE(static_cast<uint16_t>(c));
  return out;
}

// A 128-byte ID3v1 tag with every field given.
std::string Id3v1(std::string_view title, std::string_view comment, char track, char genre) {
  auto field = [](std::string_view v, size_t width) {
    std::string f(v.substr(0, width));
    f.resize(width, '\0');
    return f;
  };
  return "TAG" + field(title, 30) + field("Artist", 30) + field("", 30) + field("1999", 4) +
         field(comment, 29) + track + genre;
}

class MP3TagsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSystemCodePage(1252); }
};

// ---- Real files --------------------------------------------------------------

struct TFixture {
  const char* name;
  Pairs pairs;
};

const std::vector<TFixture>& Fixtures() {
  static const std::vector<TFixture> fixtures = {
      {"id3v23-latin1.mp3",
       {{"TIT2", "Caf\xE9 del Mar"},
        {"TPE1", "Se\xF1or Latin"},
        {"TRCK", "3/9"},
        {"TALB", "\xC0lbum"},
        {"TCON", "Rock"},
        {"COMM", "Latin comment"}}},
      {"id3v23-utf16le-bom.mp3",
       {{"TIT2", M("Jazz Ünïcode")},
        {"TPE1", M("Björk Guðmundsdóttir")},
        {"TCON", "Jazz"},
        {"COMM", "UTF-16 comment"}}},
      {"id3v23-utf16be-bom.mp3",
       {{"TIT2", M("Zoë's Song")},
        {"TPE1", M("Mötley Crüe")},
        {"TCON", "Hard Rock"},
        {"COMM", "Big-endian comment"}}},
      {"id3v24-utf16le-bom.mp3",
       {{"TIT2", M("Ærø Ballad")},
        {"TPE1", M("Sigur Rós")},
        {"TCON", "Ballad"},
        {"COMM",
         "A comment long enough that its frame needs more than 127 bytes, A comment long enough "
         "that its frame needs more than 127 bytes, A comment long enough that its frame needs "
         "more than 127 bytes,"}}},
      {"id3v24-utf16be.mp3",
       {{"TIT2", "Jazz"},
        {"TPE1", M("Ørjan Big Endian")},
        {"TCON", "Jazz"},
        {"COMM", "No mark at all"}}},
      {"id3v24-utf8.mp3",
       {{"TIT2", M("Ελληνικά τραγούδια")},
        {"TPE1", M("Łukasz Żółć")},
        {"TALB", "Plain Album"},
        {"TDRC", "2015-06-30"},
        {"TCON", "Pop"},
        {"COMM",
         M("A comment long enough that its frame needs more than 127 bytes, A comment long enough "
           "that its frame needs more than 127 bytes, A comment long enough that its frame needs "
           "more than 127 bytes, ünï")}}},
      {"mpeg1-layer3-id3v24.mp3",
       {{"TIT2", M("Петя и волк")},
        {"TPE1", M("Сергей Прокофьев")},
        {"TALB", M("Ελληνικά")},
        {"TCON", "Classical"}}},
      {"id3v1-only.mp3",
       {{"TIT2", "V1 Title"},
        {"TPE1", "V1 Artist"},
        {"TALB", "V1 Album"},
        {"TYER", "1999"},
        {"COMM", "     Hello"},
        {"TRCK", "7"},
        {"TCON", "Rock"}}},
      // The ID3v1 tag beside an ID3v2 tag is not read.
      {"id3v1-and-id3v23.mp3", {{"TIT2", "V2 Title"}, {"TPE1", "V2 Artist"}, {"TCON", "Pop"}}},
      {"apev2-over-id3v23-and-id3v1.mp3",
       {{"TIT2", "ID3 Title"}, {"TPE1", "ID3 Artist"}, {"TCON", "Rock"}}},
      // MPEG-2 Layer III audio behind the tag, and without any tag.
      {"mpeg2-layer3-id3v23.mp3", {{"TIT2", "Pro Title"}, {"TPE1", "Pro Artist"}, {"3PRO", "1"}}},
      {"mpeg2-layer3-untagged.mp3", {{"3PRO", "1"}}},
      {"id3v23-layer2.mp2",
       {{"TIT2", "Layer Two"}, {"TPE1", M("Mp2 Ärtist")}, {"TCON", "Classical"}}},
  };
  return fixtures;
}

TEST_F(MP3TagsTest, RealFilesGiveTheirFramesInFileOrder) {
  for (const TFixture& fixture : Fixtures()) {
    SCOPED_TRACE(fixture.name);
    // Once opened by the reader itself, once through a stream it lends.
    TMP3Tags own;
    own.ReadFromFile(M(DataPath(fixture.name)), nullptr);
    EXPECT_EQ(PairsOf(own), fixture.pairs);
    EXPECT_EQ(ReadPairs(ReadFile(DataPath(fixture.name))), fixture.pairs);
  }
  TMP3Tags v24 = Read(ReadFile(DataPath("id3v24-utf8.mp3")));
  EXPECT_TRUE(v24.HasID3v2);
  EXPECT_EQ(v24.MajorVersion, 4);
  EXPECT_EQ(v24.TagSize, 394);
}

TEST_F(MP3TagsTest, ReaderSeeksALentStreamToTheStartAndLeavesItOpen) {
  TMemoryStream stream(Tag(TextFrame("TIT2", 0, "T")) + Audio());
  stream.Seek(50);
  TMP3Tags tags;
  tags.ReadFromFile("ignored.mp3", &stream);
  EXPECT_EQ(PairsOf(tags), (Pairs{{"TIT2", "T"}}));
  EXPECT_EQ(stream.Read(nullptr, 0), 0u);  // still usable

  TMP3Tags missing;
  missing.ReadFromFile("/nonexistent/file.mp3", nullptr);
  EXPECT_TRUE(missing.FrameIDs.empty());
  EXPECT_FALSE(missing.HasID3v2);
}

// ---- Frame text --------------------------------------------------------------

TEST_F(MP3TagsTest, TextEncodings) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Latin-1 stays code-page text; UTF-8 is marked when it needs to be.
      {TextFrame("TIT2", 0, "Caf\xE9"), "Caf\xE9"},
      {TextFrame("TIT2", 3, "Caf\xC3\xA9"), M("Café")},
      {TextFrame("TIT2", 3, "Plain"), "Plain"},
      // An unknown encoding byte is taken like Latin-1.
      {TextFrame("TIT2", 7, "Seven"), "Seven"},
      // UTF-16 with either mark; encoding 1 and 2 alike when a mark is there.
      {TextFrame("TIT2", 1, "\xFF\xFE" + UTF16LE(u"Björk")), M("Björk")},
      {TextFrame("TIT2", 1, "\xFE\xFF" + UTF16BE(u"Björk")), M("Björk")},
      {TextFrame("TIT2", 2, "\xFF\xFE" + UTF16LE(u"Björk"), 4), M("Björk")},
      // Encoding 2 without a mark is big-endian, first 0x00 byte included.
      {TextFrame("TIT2", 2, UTF16BE(u"Jazz"), 4), "Jazz"},
      {TextFrame("TIT2", 2, UTF16BE(u"Ωmega"), 4), M("Ωmega")},
      // Encoding 1 without a mark stays little-endian, leading bytes kept.
      {TextFrame("TIT2", 1, UTF16LE(u"Jazz")), "Jazz"},
      {TextFrame("TIT2", 1, UTF16LE(u"\x0100z")), M("Āz")},
      // Terminators, an odd last byte and blanks around the text go.
      {TextFrame("TIT2", 1, "\xFF\xFE" + UTF16LE(u" Hi ") + std::string(3, '\0')), "Hi"},
      // A marked value is trimmed behind its marker.
      {TextFrame("TIT2", 3, "  Bj\xC3\xB6rk \t"), M("Björk")},
      {TextFrame("TIT2", 1, "\xFF\xFE" + UTF16LE(u" Björk ")), M("Björk")},
      // Only blanks: nothing is stored.
      {TextFrame("TIT2", 0, "   "), ""},
  };
  for (const auto& [frame, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(frame));
    // Frames this small have the same size bytes in both versions.
    Pairs pairs = ReadPairs(Tag(frame, 4) + Audio());
    if (expected.empty()) {
      EXPECT_TRUE(pairs.empty());
    } else {
      ASSERT_EQ(pairs.size(), 1u);
      EXPECT_EQ(pairs[0].second, expected);
    }
  }
}

TEST_F(MP3TagsTest, CommentDescriptions) {
  auto comment = [](uint8_t encoding, const std::string& data, uint8_t version = 3) {
    Pairs pairs = ReadPairs(Tag(TextFrame("COMM", encoding, data, version), version) + Audio());
    return pairs.empty() ? std::string("<none>") : pairs[0].second;
  };
  // Latin-1: a description shorter than the text and its terminator go.
  EXPECT_EQ(comment(0, std::string("eng", 3) + '\0' + "hello"), "hello");
  EXPECT_EQ(comment(0, std::string("engd") + '\0' + "hello"), "hello");
  // A description longer than the text stays (the bytes after the first four).
  EXPECT_EQ(comment(0, std::string("englongdesc") + '\0' + "hi"),
            std::string("ongdesc") + '\0' + "hi");
  // UTF-16 with marks, empty description: the split terminator is dropped.
  EXPECT_EQ(comment(1, "eng\xFF\xFE" + std::string(2, '\0') + "\xFF\xFE" + UTF16LE(u"Hi")), "Hi");
  EXPECT_EQ(comment(1, "eng\xFF\xFE" + UTF16LE(u"d") + std::string(2, '\0') + "\xFF\xFE" +
                           UTF16LE(u"Hi")),
            "Hi");
  EXPECT_EQ(comment(1, "eng\xFE\xFF" + std::string(2, '\0') + "\xFE\xFF" + UTF16BE(u"Hé")),
            M("Hé"));
  // Encoding 2 has no marks: the description ends at its 16-bit terminator.
  EXPECT_EQ(comment(2, "eng" + std::string(2, '\0') + UTF16BE(u"Jazz"), 4), "Jazz");
  EXPECT_EQ(comment(2, "eng" + UTF16BE(u"desc") + std::string(2, '\0') + UTF16BE(u"Zoë"), 4),
            M("Zoë"));
  // Shorter than the language code: nothing is stored.
  EXPECT_EQ(comment(0, "en"), "<none>");
}

TEST_F(MP3TagsTest, StripDescriptionNeedsTheTerminatorInTheFirstHalf) {
  EXPECT_EQ(TMP3Tags::StripDescription(std::string("abc") + '\0' + "defgh"), "defgh");  // 4 < 4.5
  EXPECT_EQ(TMP3Tags::StripDescription(std::string("abc") + '\0' + "defg"),
            std::string("abc") + '\0' + "defg");  // 4 < 4 fails
  EXPECT_EQ(TMP3Tags::StripDescription("no terminator"), "no terminator");
  EXPECT_EQ(TMP3Tags::StripDescription(""), "");
}

TEST_F(MP3TagsTest, GenreReferences) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"(17)", "Rock"},
      {"(17)Hard", "Hard"},
      {"(200)", "(200)"},
      {"(126)", ""},
      {"(0)", "Blues"},
      {"Rock", "Rock"},
      // A plain whole number is an index into the list, too.
      {"17", "Rock"},
      {"0", "Blues"},
      {"125", "Dance Hall"},
      {"017", "Rock"},
      {"126", "126"},  // the empty slot names nothing
      {"200", "200"},
      {"99999999999999999999", "99999999999999999999"},
      {"17 Rock", "17 Rock"},
      {"1990s", "1990s"},
      {"-1", "-1"},
      {"+17", "+17"},
      {"17.0", "17.0"},
      {"(1.5)", "(1.5)"},
      {"()", "()"},
      {"(", "("},
      {"(RX)Remix", "(RX)Remix"},
      {"(999)x", "x"},  // the number before the text is not checked
  };
  for (const auto& [value, expected] : cases) {
    TMP3Tags tags;
    tags.AddFrame("TCON", value);
    ASSERT_EQ(tags.FrameValues.size(), 1u) << value;
    EXPECT_EQ(tags.FrameValues[0], expected) << value;
  }
  TMP3Tags other;
  other.AddFrame("TIT2", "(17)");
  other.AddFrame("TRCK", "17");  // only genres refer to the list
  other.AddFrame("TIT2", "");    // empty values are dropped
  EXPECT_EQ(PairsOf(other), (Pairs{{"TIT2", "(17)"}, {"TRCK", "17"}}));
}

TEST_F(MP3TagsTest, GenreTable) {
  EXPECT_EQ(ID3Genres[0], "Blues");
  EXPECT_EQ(ID3Genres[12], "Other");
  EXPECT_EQ(ID3Genres[40], "AlternRock");
  EXPECT_EQ(ID3Genres[67], "Psychadelic");
  EXPECT_EQ(ID3Genres[79], "Hard Rock");
  EXPECT_EQ(ID3Genres[80], "Folk");
  EXPECT_EQ(ID3Genres[85], "Bebob");
  EXPECT_EQ(ID3Genres[100], "Humour");
  EXPECT_EQ(ID3Genres[125], "Dance Hall");
  EXPECT_EQ(ID3Genres[126], "");
  for (size_t i = 0; i < 126; ++i) EXPECT_FALSE(ID3Genres[i].empty()) << i;
}

// ---- Frame loop --------------------------------------------------------------

TEST_F(MP3TagsTest, FrameSizeIsSyncSafeOnlyInVersion4) {
  // 00 00 02 01 is 257 bytes in v2.4 and 513 in v2.3.
  const std::string sizeBytes("\x00\x00\x02\x01", 4);
  for (auto [version, size] : {std::pair<uint8_t, size_t>{4, 257}, {3, 513}}) {
    std::string data = std::string(1, '\0') + std::string(size - 1, 'x');
    std::string frames =
        "TIT2" + sizeBytes + std::string(2, '\0') + data + TextFrame("TPE1", 0, "After", version);
    Pairs pairs = ReadPairs(Tag(frames, version) + Audio());
    ASSERT_EQ(pairs.size(), 2u) << int{version};
    EXPECT_EQ(pairs[0].second.size(), size - 1);
    EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"TPE1", "After"}));
  }
}

TEST_F(MP3TagsTest, FrameLoopStopsAtPaddingOrAFrameBeyondTheTag) {
  const std::string first = TextFrame("TIT2", 0, "First");
  // An id that does not begin with a letter is where padding begins.
  EXPECT_EQ(ReadPairs(Tag(first + TextFrame("1ABC", 0, "x") + TextFrame("TPE1", 0, "y")) + Audio()),
            (Pairs{{"TIT2", "First"}}));
  EXPECT_EQ(ReadPairs(Tag(first + std::string(10, '\0') + TextFrame("TPE1", 0, "y")) + Audio()),
            (Pairs{{"TIT2", "First"}}));
  // Only the first byte is tested.
  EXPECT_EQ(ReadPairs(Tag(first + TextFrame("T\x01\x02\x03", 0, "odd")) + Audio()),
            (Pairs{{"TIT2", "First"}, {"T\x01\x02\x03", "odd"}}));
  // A frame whose size runs past the tag (or claims 4 GB) ends the loop.
  for (uint32_t lie : {100u, 0xFFFFFFFFu}) {
    std::string liar = "TPE1" + U32BE(lie) + std::string(2, '\0') + "\0x";
    EXPECT_EQ(ReadPairs(Tag(first + liar, 3, 0) + Audio()), (Pairs{{"TIT2", "First"}}));
  }
}

TEST_F(MP3TagsTest, SkippedAndEmptyFrames) {
  std::string frames = Frame("TXXX", std::string("\0desc\0value", 11)) +
                       Frame("APIC", std::string(300, '\x01')) + Frame("TPE1", "") +
                       Frame("TALB", std::string(1, '\0')) + TextFrame("TIT2", 0, "Kept");
  EXPECT_EQ(ReadPairs(Tag(frames) + Audio()), (Pairs{{"TIT2", "Kept"}}));
}

TEST_F(MP3TagsTest, HeaderVersionsAndExtendedHeaders) {
  const std::string frame = TextFrame("TIT2", 0, "T");
  // Version 2 and lower: the tag is skipped whole (and no ID3v1 is looked at).
  TMP3Tags v2 = Read(Tag(frame, 2) + Audio() + Id3v1("v1", "", 0, 17));
  EXPECT_TRUE(v2.HasID3v2);
  EXPECT_EQ(v2.MajorVersion, 2);
  EXPECT_TRUE(v2.FrameIDs.empty());
  // Above 4: read with the version-3 size rules.
  EXPECT_EQ(ReadPairs(Tag(frame, 5) + Audio()), (Pairs{{"TIT2", "T"}}));
  // The extended header: v2.3 counts the bytes after its size, v2.4 all.
  std::string ext3 = U32BE(6) + std::string(6, '\0');
  EXPECT_EQ(ReadPairs(Tag(ext3 + frame, 3, 16, 0x40) + Audio()), (Pairs{{"TIT2", "T"}}));
  std::string ext4 = SyncSafe(6) + std::string(2, '\0');
  EXPECT_EQ(ReadPairs(Tag(ext4 + TextFrame("TIT2", 0, "T", 4), 4, 16, 0x40) + Audio()),
            (Pairs{{"TIT2", "T"}}));
  // An extended header that claims more than the tag holds reads no frame.
  std::string huge = U32BE(0x7FFFFFFF) + frame;
  EXPECT_TRUE(ReadPairs(Tag(huge, 3, 16, 0x40) + Audio()).empty());
}

TEST_F(MP3TagsTest, TagSizeAgainstTheFileSize) {
  std::string tag = Tag(TextFrame("TIT2", 0, "T"), 3, 200);
  // A declared size beyond the file: TagSize 0, no frames, no ID3v1 either.
  std::string cut = tag.substr(0, 150);
  TMP3Tags beyond = Read(cut);
  EXPECT_TRUE(beyond.HasID3v2);
  EXPECT_EQ(beyond.TagSize, 0);
  EXPECT_TRUE(beyond.FrameIDs.empty());
  // Fewer than 10 bytes after the tag: no frames.
  EXPECT_TRUE(Read(tag + "\xFF\xF3").FrameIDs.empty());
  // Exactly 10 bytes after it: frames, and the mp3PRO test on them.
  TMP3Tags exact = Read(tag + "\xFF\xF3" + std::string(8, '\0'));
  EXPECT_EQ(exact.TagSize, static_cast<int32_t>(tag.size()));
  EXPECT_EQ(PairsOf(exact), (Pairs{{"TIT2", "T"}, {"3PRO", "1"}}));
  // Size bytes with top bits set are used as they are: 0x80 adds 128.
  std::string padded = Tag(TextFrame("TIT2", 0, "T"), 3, 128 - 12);  // body 128 bytes
  padded[9] = '\x80';  // 0 + 128 instead of the sync-safe 128 = 01 00
  padded[8] = '\0';
  EXPECT_EQ(Read(padded + Audio()).TagSize, 138);
  // Bytes whose weights overlap add up (128 + 128), as the duration reader
  // counts them, so both skip the same tag.
  padded = Tag(TextFrame("TIT2", 0, "T"), 3, 256 - 12);  // body 256 bytes
  padded[8] = '\x01';
  padded[9] = '\x80';
  EXPECT_EQ(Read(padded + Audio()).TagSize, 266);
}

// ---- ID3v1 and mp3PRO ----------------------------------------------------------

TEST_F(MP3TagsTest, Id3v1Fields) {
  EXPECT_EQ(ReadPairs(Audio(200) + Id3v1("Title", "Hello", 7, 17)), (Pairs{{"TIT2", "Title"},
                                                                           {"TPE1", "Artist"},
                                                                           {"TYER", "1999"},
                                                                           {"COMM", "     Hello"},
                                                                           {"TRCK", "7"},
                                                                           {"TCON", "Rock"}}));
  // Track 0x20 or 0; genre 0, 126 (empty name) or 255: not stored. An empty
  // comment is still stored behind its five blanks.
  for (auto [track, genre] : {std::pair<char, char>{' ', 0}, {0, '\xFF'}, {0, 126}}) {
    Pairs pairs = ReadPairs(Audio(200) + Id3v1("T", "", track, genre));
    EXPECT_EQ(pairs.back(), (std::pair<std::string, std::string>{"COMM", "     "}));
  }
  // UTF-8 text is marked; a marked comment keeps its marker in front.
  Pairs utf8 = ReadPairs(Audio(200) + Id3v1(" Bj\xC3\xB6rk ", "Gr\xC3\xBC\xC3\x9F", 0, 0));
  EXPECT_EQ(utf8[0].second, M("Björk"));
  EXPECT_EQ(utf8[3].second, M("     Grüß"));
  // A file of 127 bytes is too small, even with "TAG".
  EXPECT_TRUE(ReadPairs(Id3v1("Title", "", 0, 17).substr(1)).empty());
  EXPECT_TRUE(ReadPairs(("\xFF\xF3" + Id3v1("Title", "", 0, 17)).substr(0, 127)).empty());
}

TEST_F(MP3TagsTest, Mp3ProFlag) {
  auto flagged = [](const std::string& file) {
    return PairsOf(Read(file)) == Pairs{{"3PRO", "1"}};
  };
  EXPECT_TRUE(flagged("\xFF\xF3" + Filler(300)));
  EXPECT_TRUE(flagged("\xFF\xF2" + Filler(300)));
  EXPECT_FALSE(flagged("\xFF\xFB" + Filler(300)));  // MPEG-1
  EXPECT_FALSE(flagged("\xFF\xF5" + Filler(300)));  // MPEG-2 Layer II
  EXPECT_TRUE(ReadPairs("\xFF\xFB" + Filler(300)).empty());
  // After an ID3v1 tag's fields.
  EXPECT_EQ(ReadPairs("\xFF\xF3" + Filler(300) + Id3v1("T", "", 0, 0)).back().first, "3PRO");
}

// ---- Damaged files -------------------------------------------------------------

std::vector<std::string> FixtureFiles() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(DataPath(""))) {
    std::string ext = entry.path().extension().string();
    if (ext == ".mp3" || ext == ".mp2" || ext == ".wav") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Both readers take every prefix of every fixture, and every fixture with
// each 32-bit field in turn replaced by a lie, without a crash or a leak.
TEST_F(MP3TagsTest, DamagedFilesEndTheReadWithoutHarm) {
  const std::vector<std::string> files = FixtureFiles();
  ASSERT_GE(files.size(), 15u);
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const std::string bytes = ReadFile(path);
    const TMP3Tags whole = Read(bytes);
    for (size_t n = 0; n <= bytes.size(); ++n) {
      TMP3Tags mp3 = Read(bytes.substr(0, n));
      EXPECT_EQ(mp3.FrameIDs.size(), mp3.FrameValues.size());
      TMemoryStream stream(bytes.substr(0, n));
      TWAVTags wav;
      wav.ReadFromFile("memory.wav", &stream);
      EXPECT_EQ(wav.ChunkIDs.size(), wav.ChunkValues.size());
    }
    for (size_t at = 0; at + 4 <= bytes.size() && at < 1024; ++at) {
      for (uint32_t lie : {0xFFFFFFFFu, 0u}) {
        std::string patched = bytes;
        patched.replace(at, 4, U32BE(lie));
        Read(patched);
        TMemoryStream stream(patched);
        TWAVTags wav;
        wav.ReadFromFile("memory.wav", &stream);
      }
    }
    EXPECT_EQ(PairsOf(Read(bytes)), PairsOf(whole));
  }
}

// ---- Through the store and the command-line tool --------------------------------

TEST_F(MP3TagsTest, AnApeTagWinsOverTheId3Tags) {
  TAPETags store(M(DataPath("apev2-over-id3v23-and-id3v1.mp3")));
  ASSERT_TRUE(store.HasAPETag());
  EXPECT_TRUE(store.HasID3v1());
  EXPECT_EQ(store.GetValue("Title"), "APE Title");
  EXPECT_EQ(MarkedToWide(store.GetValue("Artist")), u"APE Ärtist");
  EXPECT_EQ(store.GetValue("Genre"), "Acid Jazz");
}

// The APEv2 tag a replay-gain tool appends to an MP3 it has measured, byte for
// byte: a header, its four items and the footer, and no names.
std::string ReplayGainApeTag() {
  const std::string items = test::ApeItem("MP3GAIN_MINMAX", "123,212") +
                            test::ApeItem("MP3GAIN_UNDO", "-002,-002,N") +
                            test::ApeItem("REPLAYGAIN_TRACK_GAIN", "+0.690000 dB") +
                            test::ApeItem("REPLAYGAIN_TRACK_PEAK", "0.168283");
  auto block = [&items](uint32_t flags) {
    return "APETAGEX" + test::U32LE(2000) + test::U32LE(static_cast<uint32_t>(items.size() + 32)) +
           test::U32LE(4) + test::U32LE(flags) + std::string(8, '\0');
  };
  return block(0xA0000000) + items + block(0x80000000);
}

// An APE tag is the file's only source of fields, even one that holds only a
// replay-gain tool's items: that file keeps its name. Without it, the ID3 tag
// names the file, a bare genre number included.
TEST_F(MP3TagsTest, AReplayGainApeTagStandsInsteadOfTheId3Tag) {
  // ID3v2.4 as a common tagger writes it: UTF-8, each value ending in a zero
  // byte, the genre by name or as a bare number.
  auto mp3 = [](std::string_view genre, std::string_view apeTag) {
    auto text = [](std::string_view id, std::string_view value) {
      return TextFrame(id, 3, std::string(value) + '\0', 4);
    };
    return Tag(text("TIT2", "Blue Hour") + text("TPE1", "Nina Park") + text("TCON", genre) +
                   text("TSSE", "Lavf59.27.100"),
               4, 1024) +
           Audio(8000) + std::string(apeTag);
  };
  test::TempDir source, dest;
  test::WriteFile(source / "gain.mp3", mp3("Jazz", ReplayGainApeTag()));
  test::WriteFile(source / "number.mp3", mp3("17", ""));

  test::CliResult result = test::RunCli({"tags", "--json", source / "gain.mp3"});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const nlohmann::json listed = nlohmann::json::parse(result.Out);
  EXPECT_EQ(listed.at(0).at("apeTag"), true);
  std::vector<std::string> fields;
  for (const auto& field : listed.at(0).at("fields"))
    fields.push_back(field.at("name").get<std::string>() + "=" +
                     field.at("value").get<std::string>());
  EXPECT_EQ(fields, (std::vector<std::string>{"MP3GAIN_MINMAX=123,212", "MP3GAIN_UNDO=-002,-002,N",
                                              "REPLAYGAIN_TRACK_GAIN=+0.690000 dB",
                                              "REPLAYGAIN_TRACK_PEAK=0.168283"}));

  result = test::RunCli(
      {"rename", "--rename", "--move", "--dest", dest.Path().string(), source.Path().string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(ReadFile(source / "gain.mp3"), mp3("Jazz", ReplayGainApeTag())) << result.Out;
  EXPECT_EQ(ReadFile(dest / "Rock/Nina Park - Blue Hour.mp3"), mp3("17", "")) << result.Out;
  EXPECT_FALSE(test::Exists(dest / "Jazz"));
}

TEST_F(MP3TagsTest, TheCliRenamesAndMovesMp3AndMp2FilesByTheirTags) {
  test::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"id3v23-latin1.mp3", "Señor Latin - Café del Mar.mp3"},
      {"id3v23-utf16le-bom.mp3", "Björk Guðmundsdóttir - Jazz Ünïcode.mp3"},
      {"id3v23-utf16be-bom.mp3", "Mötley Crüe - Zoë's Song.mp3"},
      {"id3v24-utf16le-bom.mp3", "Sigur Rós - Ærø Ballad.mp3"},
      {"id3v24-utf16be.mp3", "Ørjan Big Endian - Jazz.mp3"},
      {"id3v24-utf8.mp3", "Łukasz Żółć - Ελληνικά τραγούδια.mp3"},
      {"mpeg1-layer3-id3v24.mp3", "Сергей Прокофьев - Петя и волк.mp3"},
      {"id3v1-only.mp3", "V1 Artist - V1 Title.mp3"},
      {"id3v1-and-id3v23.mp3", "V2 Artist - V2 Title.mp3"},
      {"apev2-over-id3v23-and-id3v1.mp3", "APE Ärtist - APE Title.mp3"},
      {"mpeg2-layer3-id3v23.mp3", "Pro Artist - Pro Title.mp3"},
      {"id3v23-layer2.mp2", "Mp2 Ärtist - Layer Two.mp2"},
      {"mpeg2-layer3-untagged.mp3", "mpeg2-layer3-untagged.mp3"},
  };
  for (const auto& [from, to] : expected) {
    // Upper-case extensions are matched and written in lower case.
    std::string name = from == "id3v24-utf16be.mp3" ? "ID3V24-UTF16BE.MP3" : from;
    std::filesystem::copy_file(DataPath(from), dir / name);
  }
  test::CliResult result = test::RunCli({"rename", "--rename", dir.Path().string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_NE(result.Out.find("12 files moved and/or renamed"), std::string::npos) << result.Out;
  for (const auto& [from, to] : expected) {
    EXPECT_TRUE(std::filesystem::exists(dir / to)) << to;
    EXPECT_EQ(ReadFile(dir / to), ReadFile(DataPath(from))) << to;
  }

  // Moving into genre folders: the genre comes from TCON, references resolved.
  test::TempDir source, dest;
  for (const char* name : {"id3v23-latin1.mp3", "id3v24-utf16be.mp3", "id3v24-utf8.mp3"})
    std::filesystem::copy_file(DataPath(name), source / name);
  result =
      test::RunCli({"rename", "--move", "--dest", dest.Path().string(), source.Path().string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_TRUE(std::filesystem::exists(dest / "Rock/id3v23-latin1.mp3"));
  EXPECT_TRUE(std::filesystem::exists(dest / "Jazz/id3v24-utf16be.mp3"));
  EXPECT_TRUE(std::filesystem::exists(dest / "Pop/id3v24-utf8.mp3"));
}

}  // namespace
}  // namespace dov
