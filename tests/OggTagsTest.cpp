#include "tags/OggTags.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace dov {
namespace {

using test::DataPath;
using test::ReadFile;
using test::U32LE;

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Comments(const TOggTags& tags) {
  Pairs pairs;
  for (size_t i = 0; i < tags.CommentNames.size(); ++i)
    pairs.emplace_back(tags.CommentNames[i], tags.CommentValues[i]);
  return pairs;
}

TOggTags ReadBytes(std::string bytes) {
  TMemoryStream stream(std::move(bytes));
  TOggTags tags;
  tags.ReadFromFile("memory.ogg", &stream);
  return tags;
}

// ---- Building Ogg files in memory ------------------------------------------

// One page: header, segment table, body. The reader does not check the CRC.
std::string Page(std::string_view body, bool lastOfPacket, uint8_t headerType, uint32_t sequence) {
  std::string lacing;
  size_t left = body.size();
  while (left >= 255) {
    lacing.push_back('\xFF');
    left -= 255;
  }
  if (lastOfPacket || left > 0) lacing.push_back(static_cast<char>(left));
  std::string page("OggS\0", 5);
  page.push_back(static_cast<char>(headerType));
  page += std::string(8, '\0');  // granule position
  page += U32LE(0x4F676700);     // serial number
  page += U32LE(sequence);       // page sequence number
  page += std::string(4, '\0');  // CRC
  page.push_back(static_cast<char>(lacing.size()));
  return page + lacing + std::string(body);
}

std::string VorbisIdPacket() {
  return "\x01vorbis" + U32LE(0) + "\x01" + U32LE(8000) + U32LE(0) + U32LE(8000) + U32LE(0) +
         "\x09\x01";  // block sizes, framing
}

std::string OpusIdPacket() {
  return std::string("OpusHead\x01\x02\x38\x01", 12) + U32LE(48000) + std::string("\0\0\0", 3);
}

std::string CommentBody(std::string_view vendor, const std::vector<std::string>& comments,
                        uint32_t count) {
  std::string body =
      U32LE(static_cast<uint32_t>(vendor.size())) + std::string(vendor) + U32LE(count);
  for (const std::string& c : comments) body += U32LE(static_cast<uint32_t>(c.size())) + c;
  return body;
}

// A stream whose comment packet is cut into pages at the given offsets of
// the packet, followed by a page of audio so that the file is not tiny.
std::string OggFile(const std::string& idPacket, const std::string& commentPacket,
                    const std::vector<size_t>& breaks = {}) {
  std::string file = Page(idPacket, true, 2, 0);
  size_t start = 0;
  uint32_t sequence = 1;
  std::vector<size_t> ends(breaks);
  ends.push_back(commentPacket.size());
  for (size_t end : ends) {
    file += Page(std::string_view(commentPacket).substr(start, end - start),
                 end == commentPacket.size(), start == 0 ? 0 : 1, sequence++);
    start = end;
  }
  return file + Page(std::string(300, 'a'), true, 0, sequence);
}

std::string VorbisFile(const std::vector<std::string>& comments,
                       const std::vector<size_t>& breaks = {}, std::string_view vendor = "Vendor") {
  std::string packet =
      "\x03vorbis" + CommentBody(vendor, comments, static_cast<uint32_t>(comments.size())) + "\x01";
  return OggFile(VorbisIdPacket(), packet, breaks);
}

// ---- Real files --------------------------------------------------------------

TEST(OggTagsFixtures, VorbisNamesUpperCasedValuesMarked) {
  std::string path = DataPath("vorbis-8k-mono-lowercase-name-utf8-empty-name.ogg");
  TOggTags tags;
  tags.ReadFromFile(path, nullptr);
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(tags.FileSize, static_cast<int64_t>(ReadFile(path).size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(tags.Header.data()), 6), "vorbis");
  EXPECT_EQ(tags.Vendor.rfind("Xiph.Org libVorbis", 0), 0u) << tags.Vendor;
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "Song"},
                                   {"ARTIST", "Band"},
                                   {"GENRE", "Rock"},
                                   {"ALBUM",
                                    "\x7F"
                                    "Caf\xC3\xA9 \xC3\x9C"
                                    "bersee"},
                                   {"TRACKNUMBER", "3"},
                                   {"DESCRIPTION", "ends with spaces"},
                                   {"", "x"}}));
  EXPECT_EQ(tags.CommentCount(), 7);
}

TEST(OggTagsFixtures, CommentContinuedOnNextPageIsJoinedWithoutPageHeader) {
  TOggTags tags;
  tags.ReadFromFile(DataPath("vorbis-8k-mono-comment-spans-two-pages.ogg"), nullptr);
  ASSERT_TRUE(tags.Valid);
  ASSERT_EQ(tags.CommentCount(), 4);
  std::string expected;
  for (int i = 0; i < 240; ++i) {
    char line[40];
    std::snprintf(line, sizeof line, "line %04d of a long comment\n", i);
    expected += line;
  }
  expected.pop_back();  // the trailing line feed is trimmed
  EXPECT_EQ(tags.CommentNames[1], "COMMENT");
  EXPECT_EQ(tags.CommentValues[1], expected);
  EXPECT_EQ(Comments(tags)[0], (std::pair<std::string, std::string>{"TITLE", "Long Note"}));
  EXPECT_EQ(Comments(tags)[2], (std::pair<std::string, std::string>{"ARTIST", "Spanning Band"}));
  EXPECT_EQ(Comments(tags)[3], (std::pair<std::string, std::string>{"GENRE", "Ambient"}));
}

TEST(OggTagsFixtures, OpusWithNineteenByteHeadIsRead) {
  TOggTags mono, stereo;
  mono.ReadFromFile(DataPath("opus-mono-19-byte-head.opus"), nullptr);
  stereo.ReadFromFile(DataPath("opus-stereo-19-byte-head-lowercase-name.opus"), nullptr);
  EXPECT_TRUE(mono.Valid);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mono.Header.data()), 6), "pusHea");
  EXPECT_EQ(mono.Vendor.find("libopus"), 0u) << mono.Vendor;
  EXPECT_EQ(Comments(mono),
            (Pairs{{"TITLE", "Opus Song"}, {"ARTIST", "Opus Band"}, {"GENRE", "Speech"}}));
  EXPECT_TRUE(stereo.Valid);
  EXPECT_EQ(Comments(stereo),
            (Pairs{{"TITLE", "Stereo Song"}, {"ARTIST", "Duo"}, {"GENRE", "Pop"}}));
}

TEST(OggTagsFixtures, OpusWithChannelMappingTableYieldsNothing) {
  TOggTags tags;
  tags.ReadFromFile(DataPath("opus-3ch-mapping-table.opus"), nullptr);
  EXPECT_FALSE(tags.Valid);
  EXPECT_EQ(tags.CommentCount(), 0);
  EXPECT_TRUE(tags.Vendor.empty());
}

TEST(OggTagsFixtures, StreamIsReadFromItsStartAndLeftOpen) {
  TMemoryStream stream(ReadFile(DataPath("opus-mono-19-byte-head.opus")));
  stream.Seek(500);
  TOggTags tags;
  tags.ReadFromFile("ignored.opus", &stream);
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(tags.CommentCount(), 3);

  TOggTags missing;
  missing.ReadFromFile(DataPath("no-such-file.ogg"), nullptr);
  EXPECT_FALSE(missing.Valid);
  EXPECT_EQ(missing.CommentCount(), 0);
}

// ---- Comment rules -----------------------------------------------------------

TEST(OggTags, NameAndValueRules) {
  TOggTags tags = ReadBytes(VorbisFile({
      " \tTITLE=Song",     // leading blanks of the name go
      "title =x",          // the name's trailing blank stays
      "ARTIST=  Band \r",  // leading blanks of the value stay, trailing go
      "GENRE=",            // empty value
      "=x",                // empty name
      "no separator  ",    // empty name, the whole text
      "a=b=c",             // split at the first "="
      "t\xC3\xAEtre=d\xC3\xA9j\xC3\xA0",
  }));
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "Song"},
                                   {"TITLE ", "x"},
                                   {"ARTIST", "  Band"},
                                   {"GENRE", ""},
                                   {"", "x"},
                                   {"", "no separator"},
                                   {"A", "b=c"},
                                   {"T\xC3\xAETRE",
                                    "\x7F"
                                    "d\xC3\xA9j\xC3\xA0"}}));
  EXPECT_EQ(tags.Vendor, "Vendor");
}

TEST(OggTags, OpusCommentHeaderAfterNineteenByteHead) {
  std::string packet = "OpusTags" + CommentBody("libopus x", {"TITLE=Song", "artist=Band"}, 2);
  TOggTags tags = ReadBytes(OggFile(OpusIdPacket(), packet));
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(tags.Vendor, "libopus x");
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "Song"}, {"ARTIST", "Band"}}));
}

TEST(OggTags, LayoutNotAsExpectedYieldsNothing) {
  std::string good = VorbisFile({"TITLE=Song"});
  ASSERT_TRUE(ReadBytes(good).Valid);

  std::string otherCodec = good;
  otherCodec.replace(29, 6, "theora");
  std::string badSecondMagic = good;
  badSecondMagic.replace(58 + 28 + 1, 6, "vorbix");
  // A longer first page moves the second page away from its fixed place.
  std::string longFirstPage =
      OggFile(VorbisIdPacket() + "x", "\x03vorbis" + CommentBody("V", {"TITLE=Song"}, 1));
  for (const std::string& bytes : {otherCodec, badSecondMagic, longFirstPage}) {
    TOggTags tags = ReadBytes(bytes);
    EXPECT_FALSE(tags.Valid);
    EXPECT_EQ(tags.CommentCount(), 0);
  }
}

TEST(OggTags, FilesOf257BytesOrLessYieldNothing) {
  // Built without the audio page: id page, comment page, then filler.
  std::string head = Page(VorbisIdPacket(), true, 2, 0) +
                     Page("\x03vorbis" + CommentBody("V", {"TITLE=Song"}, 1) + "\x01", true, 0, 1);
  ASSERT_LT(head.size(), 257u);
  std::string small = head + std::string(257 - head.size(), '\0');
  EXPECT_FALSE(ReadBytes(small).Valid);
  EXPECT_EQ(ReadBytes(small).FileSize, 257);
  TOggTags big = ReadBytes(small + '\0');
  EXPECT_TRUE(big.Valid);
  EXPECT_EQ(Comments(big), (Pairs{{"TITLE", "Song"}}));
}

// ---- Pages -------------------------------------------------------------------

// Offsets inside the comment packet "\x03vorbis", vendor length, vendor...
constexpr size_t kVendorAt = 7 + 4;

TEST(OggTags, PageBreakAnywhereInTheCommentHeaderIsJoined) {
  const std::vector<std::string> comments = {"TITLE=Song", "ARTIST=Band", "GENRE=Rock"};
  const Pairs expected = {{"TITLE", "Song"}, {"ARTIST", "Band"}, {"GENRE", "Rock"}};
  const size_t firstComment = kVendorAt + 6 + 4;  // after vendor "Vendor" and the count
  const std::vector<std::vector<size_t>> cases = {
      {kVendorAt - 2},                                       // inside the vendor length
      {kVendorAt + 3},                                       // inside the vendor string
      {kVendorAt + 6 + 1},                                   // inside the comment count
      {firstComment},                                        // between count and first length
      {firstComment + 2},                                    // inside a comment length
      {firstComment + 4 + 3},                                // inside a comment
      {firstComment + 4 + 10},                               // between two comments
      {kVendorAt + 1, firstComment + 7, firstComment + 20},  // three breaks
  };
  for (const std::vector<size_t>& breaks : cases) {
    TOggTags tags = ReadBytes(VorbisFile(comments, breaks));
    EXPECT_TRUE(tags.Valid) << breaks[0];
    EXPECT_EQ(tags.Vendor, "Vendor") << breaks[0];
    EXPECT_EQ(Comments(tags), expected) << breaks[0];
  }
}

TEST(OggTags, BytesThatOnlyLookLikeAPageHeaderStay) {
  // "OggS" is a page header only with the version byte 0 after it.
  TOggTags tags = ReadBytes(VorbisFile({"TITLE=OggS!", "ARTIST=xOggS"}));
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "OggS!"}, {"ARTIST", "xOggS"}}));
}

TEST(OggTags, ManyEmptyPagesInsideACommentAreAllRemoved) {
  std::string packet = "\x03vorbis" + CommentBody("V", {"TITLE=Song"}, 1);
  std::string file = Page(VorbisIdPacket(), true, 2, 0) +
                     Page(std::string_view(packet).substr(0, 20), false, 0, 1);
  for (uint32_t i = 0; i < 2000; ++i) file += Page("", false, 1, 2 + i);
  file += Page(std::string_view(packet).substr(20), true, 1, 3000) + std::string(300, 'a');
  TOggTags tags = ReadBytes(file);
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "Song"}}));
}

// Inside a page whose end is known, the capture pattern is only data.
TEST(OggTags, CapturePatternInsideAPageBodyIsData) {
  const std::string value = "x" + std::string("OggS\0", 5) + std::string(40, 'y');
  TOggTags tags = ReadBytes(VorbisFile({"TITLE=" + value, "ARTIST=Band"}, {kVendorAt + 20}));
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", value}, {"ARTIST", "Band"}}));
}

// A page that declares less than it holds: where it ends no header stands,
// and the next one is recognised by its capture pattern, as before.
TEST(OggTags, PageEndWithoutAHeaderFallsBackToRecognisingHeaders) {
  const std::string packet =
      "\x03vorbis" + CommentBody("V", {"TITLE=Song", "ARTIST=Band"}, 2) + "\x01";
  std::string file = Page(VorbisIdPacket(), true, 2, 0) +
                     Page(std::string_view(packet).substr(0, 10), false, 0, 1) +
                     packet.substr(10, 20) + Page(std::string_view(packet).substr(30), true, 1, 2) +
                     std::string(300, 'a');
  TOggTags tags = ReadBytes(file);
  EXPECT_TRUE(tags.Valid);
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "Song"}, {"ARTIST", "Band"}}));
}

bool OnlyTitleAndArtist(std::string_view name) {
  return name == "TITLE" || name == "ARTIST";
}

TOggTags ReadWanted(std::string bytes) {
  TMemoryStream stream(std::move(bytes));
  TOggTags tags;
  tags.Wanted = OnlyTitleAndArtist;
  tags.ReadFromFile("memory.ogg", &stream);
  return tags;
}

// A cover over many pages, passed over by the pages' sizes: the comments
// after it are found, and every cut of the file is read safely.
TEST(OggTags, UnwantedCommentOverManyPagesIsPassedOver) {
  const std::string picture = "METADATA_BLOCK_PICTURE=" + std::string(20000, 'Q');
  const std::vector<size_t> breaks = {kVendorAt + 30, 4000, 8000, 12000, 16000, 20000};
  for (bool pictureLast : {false, true}) {
    std::vector<std::string> comments = {"TITLE=Song", "ARTIST=Band"};
    comments.insert(pictureLast ? comments.end() : comments.begin() + 1, picture);
    const std::string file = VorbisFile(comments, breaks);
    TOggTags tags = ReadWanted(file);
    EXPECT_TRUE(tags.Valid);
    const size_t at = pictureLast ? 2 : 1;
    ASSERT_EQ(tags.CommentCount(), 3);
    EXPECT_EQ(tags.CommentNames[at], "");
    EXPECT_EQ(tags.CommentValues[pictureLast ? 1 : 2], "Band");
    // Read with every comment kept, the picture comes whole.
    EXPECT_EQ(ReadBytes(file).CommentValues[at], picture.substr(23));
    for (size_t n = 0; n < file.size(); n += (n % 4096 < 400 ? 1 : 97)) {
      TOggTags cut = ReadWanted(file.substr(0, n));
      const Pairs got = Comments(cut);
      for (const auto& [name, value] : got)
        EXPECT_TRUE(name.empty() || (name == "TITLE" && value == "Song") ||
                    (name == "ARTIST" && value == "Band"))
            << n;
    }
  }
}

// A file cut inside the cover: a cover in the middle ends the read; one at
// the end counts as read while the file can still hold its bytes.
TEST(OggTags, CutInsideAnUnwantedCover) {
  const std::string picture = "METADATA_BLOCK_PICTURE=" + std::string(20000, 'Q');
  std::string middle = VorbisFile({"TITLE=Song", picture, "ARTIST=Band"}, {kVendorAt + 30, 9000});
  middle.resize(12000);
  TOggTags tags = ReadWanted(middle);
  EXPECT_FALSE(tags.Valid);
  EXPECT_EQ(Comments(tags), (Pairs{{"TITLE", "Song"}, {"", ""}, {"", ""}}));

  std::string last = VorbisFile({"TITLE=Song", picture}, {kVendorAt + 30, 9000});
  last.resize(12000);
  EXPECT_FALSE(ReadWanted(last).Valid);
}

// ---- Lying files -------------------------------------------------------------

// A Vorbis file whose comment header is the given bytes after "\x03vorbis",
// with nothing after it but what the bytes hold.
std::string VorbisHeaderFile(const std::string& afterMagic) {
  return Page(VorbisIdPacket(), true, 2, 0) + Page("\x03vorbis" + afterMagic, true, 0, 1);
}

TEST(OggTags, LyingCountEndsTheReadWithoutSizingTheLists) {
  for (uint32_t count : {0xFFFFFFFFu, 0x40000000u, 200u}) {
    std::string body = CommentBody("V", {"TITLE=Song"}, count) + std::string(500, '\0');
    TOggTags tags = ReadBytes(VorbisHeaderFile(body));
    EXPECT_FALSE(tags.Valid) << count;
    EXPECT_EQ(tags.Vendor, "V");
    EXPECT_EQ(tags.CommentCount(), 0) << count;
  }
}

TEST(OggTags, CountThatFitsButRunsOutKeepsWhatWasRead) {
  // Sixty comments declared and room for them, but after two real ones only
  // zero bytes (empty comments) and then the end of the file.
  std::string file = VorbisHeaderFile(CommentBody("V", {"TITLE=Song", "ARTIST=Band"}, 60)) +
                     std::string(230, '\0');
  TOggTags tags = ReadBytes(file);
  EXPECT_FALSE(tags.Valid);
  ASSERT_EQ(tags.CommentCount(), 60);
  EXPECT_EQ(tags.CommentNames[0], "TITLE");
  EXPECT_EQ(tags.CommentValues[1], "Band");
  EXPECT_EQ(tags.CommentNames[59], "");
  EXPECT_EQ(tags.CommentValues[59], "");
}

TEST(OggTags, LengthsPastTheEndEndTheRead) {
  std::string vendorTooLong = U32LE(0x7FFFFFFF) + "V" + std::string(400, '\0');
  TOggTags tags = ReadBytes(VorbisHeaderFile(vendorTooLong));
  EXPECT_FALSE(tags.Valid);
  EXPECT_TRUE(tags.Vendor.empty());

  std::string commentTooLong =
      CommentBody("V", {"TITLE=Song"}, 2) + U32LE(0xFFFFFFF0) + std::string(400, 'x');
  tags = ReadBytes(VorbisHeaderFile(commentTooLong));
  EXPECT_FALSE(tags.Valid);
  EXPECT_EQ(tags.CommentCount(), 2);
  EXPECT_EQ(tags.CommentValues[0], "Song");
  EXPECT_EQ(tags.CommentNames[1], "");
}

TEST(OggTags, PageHeaderCutOffByTheEndOfTheFile) {
  // The comment runs into a page header whose segment table (255 entries
  // declared) is not in the file.
  std::string body = CommentBody("V", {"TITLE=" + std::string(300, 's')}, 1);
  std::string file = VorbisHeaderFile(body.substr(0, 200));
  file += std::string("OggS\0\0", 6) + std::string(20, '\0') + "\xFF" + std::string(150, '\0');
  TOggTags tags = ReadBytes(file);
  EXPECT_FALSE(tags.Valid);
  EXPECT_EQ(tags.CommentCount(), 1);
  EXPECT_EQ(tags.CommentValues[0], "");
}

// ---- Every truncated prefix --------------------------------------------------

class OggTagsPrefixes : public ::testing::TestWithParam<const char*> {};

TEST_P(OggTagsPrefixes, EveryPrefixReadsSafelyAndNeverInventsComments) {
  const std::string bytes = ReadFile(DataPath(GetParam()));
  const TOggTags whole = ReadBytes(bytes);
  for (size_t size = 0; size < bytes.size(); ++size) {
    TOggTags part = ReadBytes(bytes.substr(0, size));
    ASSERT_LE(part.CommentNames.size(), whole.CommentNames.size()) << size;
    ASSERT_EQ(part.CommentNames.size(), part.CommentValues.size()) << size;
    // Each comment is either the whole file's or was not reached.
    for (size_t i = 0; i < part.CommentNames.size(); ++i) {
      bool reached = !part.CommentNames[i].empty() || !part.CommentValues[i].empty();
      if (reached) {
        ASSERT_EQ(part.CommentNames[i], whole.CommentNames[i]) << size;
        ASSERT_EQ(part.CommentValues[i], whole.CommentValues[i]) << size;
      }
    }
    if (part.Valid) {
      ASSERT_EQ(Comments(part), Comments(whole)) << size;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, OggTagsPrefixes,
                         ::testing::Values("vorbis-8k-mono-lowercase-name-utf8-empty-name.ogg",
                                           "vorbis-8k-mono-comment-spans-two-pages.ogg",
                                           "opus-mono-19-byte-head.opus",
                                           "opus-stereo-19-byte-head-lowercase-name.opus",
                                           "opus-3ch-mapping-table.opus",
                                           "flac-8k-mono-id3v23-in-front.flac"));

// ---- End to end: the command-line tool renames by the comments -------------

namespace fs = std::filesystem;

using test::Files;

TEST(OggTagsCli, RenamesVorbisAndOpusInOggFilesByTheirComments) {
  test::TempDir dir;
  std::string lib = dir / "lib";
  fs::create_directory(lib);
  const std::vector<std::pair<const char*, const char*>> copies = {
      {"vorbis-8k-mono-lowercase-name-utf8-empty-name.ogg", "one.ogg"},
      {"vorbis-8k-mono-comment-spans-two-pages.ogg", "two.OGG"},
      {"opus-mono-19-byte-head.opus", "three.ogg"},                   // Opus in an .ogg file
      {"opus-3ch-mapping-table.opus", "four.ogg"},                    // comments not found
      {"opus-stereo-19-byte-head-lowercase-name.opus", "five.opus"},  // not renamed
  };
  for (const auto& [fixture, name] : copies) fs::copy_file(DataPath(fixture), lib + "/" + name);

  test::CliResult r = test::RunCli({"rename", "--rename", lib});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_THAT(r.Out, ::testing::EndsWith("3 files moved and/or renamed\n"));
  EXPECT_EQ(Files(lib),
            (std::vector<std::string>{"Band - Song.ogg", "Opus Band - Opus Song.ogg",
                                      "Spanning Band - Long Note.ogg", "five.opus", "four.ogg"}));
  EXPECT_EQ(ReadFile(lib + "/Spanning Band - Long Note.ogg"),
            ReadFile(DataPath("vorbis-8k-mono-comment-spans-two-pages.ogg")));
}

TEST(OggTagsCli, OpusFileTagsAreImported) {
  test::CliResult r =
      test::RunCli({"tags", DataPath("opus-stereo-19-byte-head-lowercase-name.opus")});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_THAT(r.Out, ::testing::HasSubstr("  Title: Stereo Song\n  Artist: Duo\n  Genre: Pop\n"));
}

}  // namespace
}  // namespace dov
