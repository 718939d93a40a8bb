#include "tags/VorbisComment.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "common/ByteReader.h"
#include "common/DOVFileStream.h"

namespace dov {
namespace {

using test::U32LE;

// The two containers' rules: FLAC trims values at both ends and keeps names
// as stored; Ogg trims names at their start and values at their end.
TVorbisRules FlacRules() {
  TVorbisRules r;
  r.TrimValueStart = true;
  r.SignedCount = true;
  return r;
}

TVorbisRules OggRules() {
  TVorbisRules r;
  r.TrimNameStart = true;
  r.SizeListsFirst = true;
  return r;
}

std::string List(const std::vector<std::string>& comments, uint32_t count) {
  std::string body = U32LE(6) + "Vendor" + U32LE(count);
  for (const std::string& c : comments) body += U32LE(static_cast<uint32_t>(c.size())) + c;
  return body;
}

struct TResult {
  bool Complete = false;
  bool Truncated = false;
  std::string Vendor;
  std::vector<std::string> Names, Values;
};

TResult Read(const std::string& bytes, const TVorbisRules& rules,
             bool (*wanted)(std::string_view) = nullptr) {
  TMemoryStream stream(bytes);
  TByteReader in(stream);
  TStreamVorbisSource source(in);
  TResult r;
  try {
    r.Complete = ReadVorbisComments(source, rules, {r.Names, r.Values, &r.Vendor, wanted});
  } catch (const ETruncated&) {
    r.Truncated = true;
  }
  return r;
}

TEST(VorbisComment, EachContainerTrimsItsOwnWay) {
  struct Case {
    std::string comment;
    std::pair<std::string, std::string> flac, ogg;
  };
  const std::vector<Case> cases = {
      {"title=Song", {"TITLE", "Song"}, {"TITLE", "Song"}},
      {" title = Song ", {" TITLE ", "Song"}, {"TITLE ", " Song"}},
      {"\tArtist=\tBand\t", {"\tARTIST", "Band"}, {"ARTIST", "\tBand"}},
      {"=x", {"", "x"}, {"", "x"}},
      {"TITLE=", {"TITLE", ""}, {"TITLE", ""}},
      {"  no equals  ", {"", "no equals"}, {"", "  no equals"}},
      {"a=b=c", {"A", "b=c"}, {"A", "b=c"}},
      // Only ASCII letters are upper-cased; a value with high bytes is marked.
      {"t\xC3\xAFtle=Bj\xC3\xB6rk",
       {"T\xC3\xAFTLE",
        "\x7F"
        "Bj\xC3\xB6rk"},
       {"T\xC3\xAFTLE",
        "\x7F"
        "Bj\xC3\xB6rk"}},
  };
  for (const Case& c : cases) {
    std::string name, value;
    SplitVorbisComment(c.comment, FlacRules(), name, value);
    EXPECT_EQ(std::make_pair(name, value), c.flac) << c.comment;
    SplitVorbisComment(c.comment, OggRules(), name, value);
    EXPECT_EQ(std::make_pair(name, value), c.ogg) << c.comment;
  }
}

TEST(VorbisComment, CountsAreTakenAsEachContainerTakesThem) {
  // A count of 2^31 or more: FLAC reads it as negative (no comments, done),
  // Ogg as too many to believe.
  const std::string huge = List({"A=b"}, 0x80000000u) + std::string(64, '\0');
  TResult flac = Read(huge, FlacRules()), ogg = Read(huge, OggRules());
  EXPECT_TRUE(flac.Complete);
  EXPECT_FALSE(ogg.Complete);
  EXPECT_TRUE(flac.Names.empty());
  EXPECT_TRUE(ogg.Names.empty());
  EXPECT_EQ(ogg.Vendor, "Vendor");
  // A count of 0 is a complete, empty list for both.
  EXPECT_TRUE(Read(List({}, 0), FlacRules()).Complete);
  EXPECT_TRUE(Read(List({}, 0), OggRules()).Complete);
}

TEST(VorbisComment, AnInterruptedListIsSizedOrGrownAsTheRulesSay) {
  // Three comments declared, room for the count, the third cut short.
  const std::string cut = List({"A=1", "B=2"}, 3) + U32LE(50) + "C=3";
  TResult flac = Read(cut, FlacRules()), ogg = Read(cut, OggRules());
  EXPECT_TRUE(flac.Truncated);
  EXPECT_TRUE(ogg.Truncated);
  EXPECT_EQ(flac.Names, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(ogg.Names, (std::vector<std::string>{"A", "B", ""}));
  EXPECT_EQ(ogg.Values, (std::vector<std::string>{"1", "2", ""}));
}

bool OnlyTitle(std::string_view name) {
  return name == "TITLE";
}

TEST(VorbisComment, UnwantedLongCommentsArePassedOverWherever) {
  const std::string picture = "METADATA_BLOCK_PICTURE=" + std::string(500, 'Q');
  const std::string shortOther = "COMMENT=kept, being short";
  for (bool pictureLast : {false, true}) {
    std::vector<std::string> comments = {"title=Song", shortOther};
    comments.insert(pictureLast ? comments.end() : comments.begin() + 1, picture);
    TResult ogg = Read(List(comments, 3), OggRules(), OnlyTitle);
    EXPECT_TRUE(ogg.Complete);
    ASSERT_EQ(ogg.Names.size(), 3u);
    const size_t at = pictureLast ? 2 : 1;
    EXPECT_EQ(ogg.Names[at], "");
    EXPECT_EQ(ogg.Values[at], "");
    EXPECT_EQ(ogg.Names[0], "TITLE");
    EXPECT_EQ(ogg.Values[pictureLast ? 1 : 2], shortOther.substr(8));
    // Growing lists leave the passed-over comment out.
    EXPECT_EQ(Read(List(comments, 3), FlacRules(), OnlyTitle).Names.size(), 2u);
  }
  // Passed over or not, a picture longer than the data ends the read.
  std::string cut = List({"title=Song", picture}, 2);
  cut.resize(cut.size() - 10);
  EXPECT_TRUE(Read(cut, OggRules(), OnlyTitle).Truncated);
  EXPECT_TRUE(Read(cut, OggRules()).Truncated);
}

}  // namespace
}  // namespace dov
