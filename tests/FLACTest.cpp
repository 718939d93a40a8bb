#include "tags/FLAC.h"

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
using test::U32BE;
using test::U32LE;

using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kBlocksFixture = "flac-8k-mono-seektable-padding-before-comments.flac";
constexpr const char* kID3Fixture = "flac-8k-mono-id3v23-in-front.flac";

Pairs Comments(const TFLAC& flac) {
  Pairs pairs;
  for (size_t i = 0; i < flac.CommentNames.size(); ++i)
    pairs.emplace_back(flac.CommentNames[i], flac.CommentValues[i]);
  return pairs;
}

TFLAC ReadBytes(std::string bytes, bool readComments = true) {
  TMemoryStream stream(std::move(bytes));
  TFLAC flac(readComments);
  flac.ReadFromFile("memory.flac", &stream);
  return flac;
}

// ---- Building FLAC files in memory -------------------------------------------

std::string Block(uint8_t type, bool last, const std::string& body) {
  uint32_t size = static_cast<uint32_t>(body.size());
  return std::string{static_cast<char>((last ? 0x80 : 0) | type), static_cast<char>(size >> 16),
                     static_cast<char>(size >> 8), static_cast<char>(size)} +
         body;
}

std::string StreamInfo(uint32_t rate, unsigned channels, unsigned bits, uint64_t total) {
  std::string b(34, '\0');
  b[10] = static_cast<char>(rate >> 12);
  b[11] = static_cast<char>(rate >> 4);
  b[12] = static_cast<char>((rate & 0xF) << 4 | (channels - 1) << 1 | (bits - 1) >> 4);
  b[13] = static_cast<char>(((bits - 1) & 0xF) << 4 | (total >> 32 & 0xF));
  b.replace(14, 4, U32BE(static_cast<uint32_t>(total)));
  return b;
}

std::string CommentBody(const std::vector<std::string>& comments, uint32_t count,
                        std::string_view vendor = "reference libFLAC") {
  std::string body =
      U32LE(static_cast<uint32_t>(vendor.size())) + std::string(vendor) + U32LE(count);
  for (const std::string& c : comments) body += U32LE(static_cast<uint32_t>(c.size())) + c;
  return body;
}

std::string CommentBlock(const std::vector<std::string>& comments, bool last = true) {
  return Block(4, last, CommentBody(comments, static_cast<uint32_t>(comments.size())));
}

// "fLaC", STREAMINFO (8 kHz, 2000 samples), the given blocks, a little audio.
std::string FlacFile(const std::string& blocks,
                     const std::string& info = StreamInfo(8000, 1, 16, 2000)) {
  return "fLaC" + Block(0, blocks.empty(), info) + blocks + std::string(64, '\xFF');
}

// ---- Real files --------------------------------------------------------------

TEST(FLACFixtures, SeektableAndPaddingBeforeTheCommentsAreWalkedOver) {
  TFLAC flac(true);
  flac.ReadFromFile(DataPath(kBlocksFixture), nullptr);
  EXPECT_EQ(flac.SampleRate, 8000u);
  EXPECT_EQ(flac.Channels, 1);
  EXPECT_EQ(flac.BitsPerSample, 16);
  EXPECT_EQ(flac.TotalSamples, 2000u);
  EXPECT_EQ(flac.Duration, 250u);
  EXPECT_EQ(Comments(flac), (Pairs{{"TITLE", "Song"},
                                   {"ARTIST", "Band"},
                                   {"GENRE", "Jazz"},
                                   {"ALBUM", "Spaced Album"},
                                   {"COMPOSER",
                                    "\x7F"
                                    "Dvo\xC5\x99\xC3\xA1k"},
                                   {"", "x"}}));
}

TEST(FLACFixtures, ID3v2TagInFrontIsSkipped) {
  TFLAC flac(true);
  flac.ReadFromFile(DataPath(kID3Fixture), nullptr);
  EXPECT_EQ(flac.Duration, 250u);
  EXPECT_EQ(Comments(flac),
            (Pairs{{"TITLE", "Flac Title"}, {"ARTIST", "Flac Artist"}, {"GENRE", "Blues"}}));
}

TEST(FLACFixtures, WithoutCommentReadingOnlyTheStreamInformation) {
  for (const char* name : {kBlocksFixture, kID3Fixture}) {
    TMemoryStream stream(ReadFile(DataPath(name)));
    stream.Seek(100);  // read from the start whatever the position
    TFLAC flac(false);
    flac.ReadFromFile("ignored.flac", &stream);
    EXPECT_EQ(flac.Duration, 250u) << name;
    EXPECT_TRUE(flac.CommentNames.empty()) << name;
  }
}

TEST(FLACFixtures, CommentsAfterABlockMarkedLastAreNotRead) {
  const std::string bytes = ReadFile(DataPath(kBlocksFixture));
  // The PADDING block (the third) marked last; then STREAMINFO marked last.
  std::string paddingLast = bytes;
  size_t third = 4 + (4 + 34) + (4 + 18);
  ASSERT_EQ(paddingLast[third], '\x01');
  paddingLast[third] = '\x81';
  std::string infoLast = bytes;
  infoLast[4] = '\x80';
  for (const std::string& file : {paddingLast, infoLast}) {
    TFLAC flac = ReadBytes(file);
    EXPECT_EQ(flac.Duration, 250u);
    EXPECT_TRUE(flac.CommentNames.empty());
  }
}

TEST(FLACFixtures, MissingOrForeignFileResetsDuration) {
  TFLAC flac(true);
  flac.ReadFromFile(DataPath(kBlocksFixture), nullptr);
  ASSERT_EQ(flac.Duration, 250u);
  flac.ReadFromFile(DataPath("no-such-file.flac"), nullptr);
  EXPECT_EQ(flac.Duration, 0u);
  flac.ReadFromFile(DataPath("opus-mono-19-byte-head.opus"), nullptr);
  EXPECT_EQ(flac.Duration, 0u);
}

// ---- Stream information --------------------------------------------------------

TEST(FLAC, DurationIsRoundedHalfToEven) {
  struct Case {
    uint32_t rate;
    uint64_t total;
    uint32_t ms;
  };
  for (const Case& c : std::vector<Case>{
           {44100, 441000, 10000},
           {48000, 1, 0},  // 1000/48000 rounds to 0
           {8000, 4, 0},   // 0.5
           {8000, 12, 2},  // 1.5
           {8000, 20, 2},  // 2.5
           {8000, 28, 4},  // 3.5
           {44100, 1, 0},
           {44100, 2, 0},
           {44100, 23, 1},                         // 0.52
           {524288, uint64_t{1} << 33, 16384000},  // the top bits of the 36-bit count
       }) {
    TFLAC flac = ReadBytes(FlacFile("", StreamInfo(c.rate, 2, 24, c.total)));
    EXPECT_EQ(flac.Duration, c.ms) << c.rate << " " << c.total;
    EXPECT_EQ(flac.TotalSamples, c.total);
  }
}

TEST(FLAC, StreamInformationFieldsAtTheirLimits) {
  TFLAC flac = ReadBytes(FlacFile("", StreamInfo(0xFFFFF, 8, 32, 0xFFFFFFFFFull)));
  EXPECT_EQ(flac.SampleRate, 0xFFFFFu);
  EXPECT_EQ(flac.Channels, 8);
  EXPECT_EQ(flac.BitsPerSample, 32);
  EXPECT_EQ(flac.TotalSamples, 0xFFFFFFFFFull);
  EXPECT_EQ(flac.Duration, 65536062u);  // 68719476735 / 1048575 s
  // A play time beyond 32 bits of milliseconds is not believed.
  EXPECT_EQ(ReadBytes(FlacFile("", StreamInfo(1, 1, 16, 0xFFFFFFFFFull))).Duration, 0u);
}

TEST(FLAC, SampleRateZeroGivesNoDurationAndNoComments) {
  TFLAC flac = ReadBytes(FlacFile(CommentBlock({"TITLE=Song"}), StreamInfo(0, 1, 16, 2000)));
  EXPECT_EQ(flac.TotalSamples, 2000u);
  EXPECT_EQ(flac.Duration, 0u);
  EXPECT_TRUE(flac.CommentNames.empty());
}

TEST(FLAC, ID3v2TagOfDeclaredSizeIsSkipped) {
  const std::string flac = FlacFile(CommentBlock({"TITLE=Song"}));
  const std::string size1000("\x00\x00\x07\x68", 4);  // sync-safe 1000
  auto id3 = [&](char version, char flags, size_t footer) {
    return std::string("ID3") + version + '\0' + flags + size1000 + std::string(1000, 'i') +
           std::string(footer, 'f');
  };
  // fLaC looked for at 1010; an ID3v2.4 footer adds 10 bytes.
  for (const std::string& file : {id3('\x03', '\0', 0) + flac, id3('\x04', '\x10', 10) + flac,
                                  id3('\x02', '\0', 0) + flac, id3('\x08', '\0', 0) + flac}) {
    TFLAC read = ReadBytes(file);
    EXPECT_EQ(read.Duration, 250u);
    EXPECT_EQ(Comments(read), (Pairs{{"TITLE", "Song"}}));
  }
  // The size bytes count as they stand, top bits included, as the MP3
  // readers count them: a stray high bit sends the search past this file.
  const std::string highBits("\x80\x80\x87\xE8", 4);
  const std::string stray =
      std::string("ID3\x03\0\0", 6) + highBits + std::string(1000, 'i') + flac;
  EXPECT_EQ(ReadBytes(stray).Duration, 0u);
  const std::string lowBits("\0\0\x07\x68", 4);
  EXPECT_EQ(
      ReadBytes(std::string("ID3\x03\0\0", 6) + lowBits + std::string(1000, 'i') + flac).Duration,
      250u);
  // Not an ID3v2 tag (version 1 or 9), a wrong size, or no fLaC at all.
  for (const std::string& file :
       {id3('\x01', '\0', 0) + flac, id3('\x09', '\0', 0) + flac, id3('\x03', '\0', 1) + flac,
        id3('\x03', '\0', 0), std::string("fLaX") + flac.substr(4)}) {
    TFLAC read = ReadBytes(file);
    EXPECT_EQ(read.Duration, 0u);
    EXPECT_EQ(read.SampleRate, 0u);
    EXPECT_TRUE(read.CommentNames.empty());
  }
}

// ---- Block walk and comments -----------------------------------------------------

TEST(FLAC, BlockWalkSkipsOtherBlocksAndStopsAtTheEnd) {
  std::string others = Block(1, false, std::string(10, '\0')) + Block(6, false, "picture") +
                       Block(0x7E, false, "") + Block(2, false, "appl");
  EXPECT_EQ(Comments(ReadBytes(FlacFile(others + CommentBlock({"TITLE=Song"})))),
            (Pairs{{"TITLE", "Song"}}));
  // A block longer than the file, or no VORBIS_COMMENT before the last block.
  for (const std::string& blocks :
       {Block(1, false, "") + "\x01\xFF\xFF\xFF" + CommentBlock({"TITLE=Song"}),
        Block(1, true, "") + CommentBlock({"TITLE=Song"}), Block(1, false, "")}) {
    TFLAC flac = ReadBytes(FlacFile(blocks));
    EXPECT_EQ(flac.Duration, 250u);
    EXPECT_TRUE(flac.CommentNames.empty());
  }
}

TEST(FLAC, NameAndValueRules) {
  TFLAC flac = ReadBytes(FlacFile(CommentBlock({
      "title=Song",
      " genre=x",          // the name is not trimmed
      "ARTIST=  Band \r",  // the value is trimmed at both ends
      "ALBUM=",
      "=x",
      "  no separator  ",  // empty name, the whole text trimmed
      "a=b=c",
      "COMMENT=d\xC3\xA9j\xC3\xA0",
  })));
  EXPECT_EQ(Comments(flac), (Pairs{{"TITLE", "Song"},
                                   {" GENRE", "x"},
                                   {"ARTIST", "Band"},
                                   {"ALBUM", ""},
                                   {"", "x"},
                                   {"", "no separator"},
                                   {"A", "b=c"},
                                   {"COMMENT",
                                    "\x7F"
                                    "d\xC3\xA9j\xC3\xA0"}}));
}

TEST(FLAC, CountsOfZeroOrLessGiveNoComments) {
  for (uint32_t count : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    std::string body = CommentBody({"TITLE=Song"}, count);
    TFLAC flac = ReadBytes(FlacFile(Block(4, true, body)));
    EXPECT_EQ(flac.Duration, 250u);
    EXPECT_TRUE(flac.CommentNames.empty()) << count;
  }
}

TEST(FLAC, LyingCountsAndLengthsKeepWhatWasRead) {
  // Two billion comments cannot fit: nothing is read.
  TFLAC flac = ReadBytes(FlacFile(Block(4, true, CommentBody({"TITLE=Song"}, 0x7FFFFFFF))));
  EXPECT_TRUE(flac.CommentNames.empty());
  EXPECT_EQ(flac.Duration, 250u);

  // Room for five, two present, then the file ends inside a length.
  flac = ReadBytes("fLaC" + Block(0, false, StreamInfo(8000, 1, 16, 2000)) +
                   Block(4, true, CommentBody({"TITLE=Song", "ARTIST=Band"}, 5)) +
                   std::string(10, '\0'));
  EXPECT_EQ(Comments(flac), (Pairs{{"TITLE", "Song"}, {"ARTIST", "Band"}, {"", ""}, {"", ""}}));

  // A comment length past the end keeps the comments before it.
  flac = ReadBytes(FlacFile(Block(4, true, CommentBody({"TITLE=Song"}, 3) + U32LE(0xFFFFFFFF))));
  EXPECT_EQ(Comments(flac), (Pairs{{"TITLE", "Song"}}));

  // A vendor length past the end: nothing.
  flac = ReadBytes(FlacFile(Block(4, true, U32LE(0x7FFFFFFF) + "v" + U32LE(1))));
  EXPECT_TRUE(flac.CommentNames.empty());
  EXPECT_EQ(flac.Duration, 250u);
}

// ---- Every truncated prefix ------------------------------------------------------

class FLACPrefixes : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(FLACPrefixes, EveryPrefixReadsSafelyAndNeverInventsComments) {
  const std::string bytes = ReadFile(DataPath(GetParam().first));
  const bool readComments = GetParam().second;
  const TFLAC whole = ReadBytes(bytes, readComments);
  const Pairs all = Comments(whole);
  for (size_t size = 0; size < bytes.size(); ++size) {
    TFLAC part = ReadBytes(bytes.substr(0, size), readComments);
    ASSERT_TRUE(part.Duration == 0 || part.Duration == whole.Duration) << size;
    Pairs got = Comments(part);
    ASSERT_LE(got.size(), all.size()) << size;
    ASSERT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << size;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FLACPrefixes,
                         ::testing::Values(std::make_pair(kBlocksFixture, true),
                                           std::make_pair(kID3Fixture, true),
                                           std::make_pair(kBlocksFixture, false),
                                           std::make_pair("opus-mono-19-byte-head.opus", true)));

// ---- End to end: the command-line tool moves and renames by the comments --

namespace fs = std::filesystem;

using test::Files;

TEST(FLACCli, RenamesAndMovesByTheVorbisComments) {
  test::TempDir dir;
  std::string lib = dir / "lib", sorted = dir / "sorted";
  fs::create_directory(lib);
  fs::copy_file(DataPath(kBlocksFixture), lib + "/a.flac");
  fs::copy_file(DataPath(kID3Fixture), lib + "/b.FLAC");  // the ID3v2 tag is not used

  test::CliResult r = test::RunCli({"rename", "--rename", "--move", "--dest", sorted, lib});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_THAT(r.Out, ::testing::EndsWith("2 files moved and/or renamed\n"));
  EXPECT_TRUE(Files(lib).empty());
  EXPECT_EQ(Files(sorted),
            (std::vector<std::string>{"Blues/", "Blues/Flac Artist - Flac Title.flac", "Jazz/",
                                      "Jazz/Band - Song.flac"}));
  EXPECT_EQ(ReadFile(sorted + "/Blues/Flac Artist - Flac Title.flac"),
            ReadFile(DataPath(kID3Fixture)));
}

TEST(FLACCli, PlayLengthFromTheStreamInformation) {
  std::string path = DataPath(kID3Fixture);
  test::CliResult r = test::RunCli({"duration", path});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "250\t" + path + "\n");
}

}  // namespace
}  // namespace dov
