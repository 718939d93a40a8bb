#include "tags/APETag.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "common/CodePage.h"
#include "common/DOVTnt.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::ApeItem;
using test::ApeTag;
using test::ApeTagFromItems;
using test::Filler;
using test::Id3v1;
using test::U32LE;

TAPETags StoreOf(const std::string& bytes) {
  return TAPETags("memory.mp3", std::make_unique<TMemoryStream>(bytes));
}

class APETagsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSystemCodePage(1252); }
};

TEST_F(APETagsTest, FindsTheTagAtTheEndOrBeforeAnId3v1Tag) {
  const std::string tag = ApeTag({{"Artist", "A"}, {"Title", "T"}});
  for (const std::string& file : {Filler(400) + tag, Filler(400) + tag + Id3v1("x", "y")}) {
    TAPETags store = StoreOf(file);
    ASSERT_TRUE(store.HasAPETag());
    EXPECT_EQ(store.Count(), 2);
    EXPECT_EQ(store.GetValue("Artist"), "A");
    EXPECT_EQ(store.GetValue("title"), "T");
  }
  EXPECT_TRUE(StoreOf(Filler(400) + tag + Id3v1("x", "y")).HasID3v1());
}

TEST_F(APETagsTest, AHeaderWhoseTagLooksLikeId3v1DoesNotHideTheTag) {
  // Header, items and footer of exactly 131 bytes put "TAG" of the header's
  // "APETAGEX" 128 bytes before the end of the file.
  std::string footer = ApeTag({{"Artist", std::string(52, 'a')}});
  std::string header = footer.substr(footer.size() - 32);
  std::string file = Filler(300) + header + footer;
  ASSERT_EQ(file.substr(file.size() - 128, 3), "TAG");
  TAPETags store = StoreOf(file);
  EXPECT_TRUE(store.HasAPETag());
  EXPECT_FALSE(store.HasID3v1());
  EXPECT_EQ(store.GetValue("Artist"), std::string(52, 'a'));
}

TEST_F(APETagsTest, ShortFilesAndFilesWithoutFooterGiveAnEmptyStore) {
  std::string tag = ApeTag({{"Artist", "A"}});
  std::string exact = Filler(160 - tag.size()) + tag;
  EXPECT_TRUE(StoreOf(exact).HasAPETag());
  TAPETags tooShort = StoreOf(exact.substr(1));
  EXPECT_FALSE(tooShort.HasAPETag());
  EXPECT_FALSE(tooShort.Opened());
  EXPECT_EQ(tooShort.Count(), 0);
  TAPETags none = StoreOf(Filler(1000));
  EXPECT_FALSE(none.HasAPETag());
  EXPECT_TRUE(none.Opened());
  EXPECT_EQ(none.Count(), 0);
}

TEST_F(APETagsTest, Version1000IsReadLikeVersion2000) {
  TAPETags store = StoreOf(Filler(300) + ApeTagFromItems({ApeItem("Genre", "Rock")}, 1000));
  EXPECT_EQ(store.GetValue("GENRE"), "Rock");
}

TEST_F(APETagsTest, ItemCountIsCappedAt127) {
  std::vector<std::string> items;
  for (int i = 0; i < 200; ++i) items.push_back(ApeItem("K" + std::to_string(i), "v"));
  TAPETags store = StoreOf(Filler(300) + ApeTagFromItems(items));
  EXPECT_EQ(store.Count(), 127);
  EXPECT_EQ(store.GetValue("K126"), "v");
  EXPECT_EQ(store.FindField("K127"), -1);
}

TEST_F(APETagsTest, ListValuesAreJoinedAndTextIsCleaned) {
  TAPETags store =
      StoreOf(Filler(300) + ApeTagFromItems({ApeItem("Artist", std::string("A\0B\0", 4)),
                                             ApeItem("Comment", std::string("line1\0line2", 11)),
                                             ApeItem("Title", "a\r\n\"b\"|c\x05\x0C"),
                                             ApeItem("comment", std::string("x\0y", 3))}));
  EXPECT_EQ(store.GetValue("Artist"), "A,B");
  EXPECT_EQ(store.Items()[1].Value, "line1\nline2");
  EXPECT_EQ(store.GetValue("Title"), "a\x01\x02'b'-c\x0C");
  // Only "Comment" spelled exactly so keeps its lines.
  EXPECT_EQ(store.Items()[3].Value, "x,y");
}

TEST_F(APETagsTest, CleanValueStopsAtAZeroByteAfterText) {
  EXPECT_EQ(TAPETags::CleanValue(std::string("\0\0ab\0cd", 7)), "ab");
  EXPECT_EQ(TAPETags::JoinListValues(std::string("a\0\0b\0\0", 6)), std::string("a,,b\0\0", 6));
}

TEST_F(APETagsTest, ValuesBecomeMarkedText) {
  TAPETags store =
      StoreOf(Filler(300) +
              ApeTagFromItems({ApeItem("Artist", "Bj\xC3\xB6rk"), ApeItem("Title", "Caf\xE9"),
                               ApeItem("Album", "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE"),
                               ApeItem("Xraw", "\x01\x02"), ApeItem("Genre", "\xE9", 2u << 24)}));
  EXPECT_EQ(store.GetValue("Artist"),
            "\x7F"
            "Bj\xC3\xB6rk");  // UTF-8 stays UTF-8
  EXPECT_EQ(store.GetValue("Title"),
            "\x7F"
            "Caf\xC3\xA9");  // code-page text converted
  EXPECT_EQ(store.GetValue("Album"),
            "\x7F"
            "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE");
  EXPECT_EQ(store.GetValue("Xraw"), "\x01\x02");  // raw bytes untouched
  EXPECT_EQ(store.GetValue("Genre"), "\xE9");     // flagged as not to be converted
  EXPECT_EQ(store.Items()[1].ValueSize, 6u);
}

TEST_F(APETagsTest, RawItemKeepsItsBytes) {
  std::string raw("\x00\x01\x7C\x22", 4);
  TAPETags store = StoreOf(
      Filler(300) + ApeTagFromItems({ApeItem("XRestrictions", raw), ApeItem("Cover", raw, 2)}));
  EXPECT_EQ(store.GetValue("XRestrictions"), raw);
  EXPECT_EQ(store.Items()[0].ValueSize, 4u);
  EXPECT_EQ(store.GetValue("Cover"), raw);  // binary flag makes it raw
}

// A raw value with high bytes (a picture, say) is made marked text only when
// asked for; every way of asking gives the same text as a text item would.
TEST_F(APETagsTest, RawValuesWithHighBytesAreMarkedWhenAskedFor) {
  std::string cover("cover.jpg\0\xFF\xD8\xFF\xE0", 14);
  for (int i = 0; i < 6000; ++i) cover.push_back(static_cast<char>(i * 7 + 1));
  const std::string utf8Raw = "Bj\xC3\xB6rk";
  for (int codePage : {1252, 1251}) {
    SetSystemCodePage(codePage);
    const std::string file =
        Filler(300) +
        ApeTagFromItems({ApeItem("Cover Art (Front)", cover, 2), ApeItem("XUtf", utf8Raw),
                         ApeItem("Artist", "Caf\xE9"), ApeItem("Caf\xE9 Note", cover, 0)});
    const std::string wantCover = WideToMarked(AnsiToWide(cover));
    TAPETags store = StoreOf(file);
    EXPECT_EQ(store.GetValue("Artist"), WideToMarked(AnsiToWide("Caf\xE9")));
    EXPECT_EQ(store.GetValue("cover art (front)"), wantCover) << codePage;
    EXPECT_EQ(store.GetValue("XUtf"), "\x7F" + utf8Raw);
    std::vector<TAPEItem> items = store.Items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Value, wantCover);
    EXPECT_EQ(items[0].ValueSize, wantCover.size());
    EXPECT_EQ(items[1].ValueSize, utf8Raw.size() + 1);
    for (const TAPEItem& item : items) EXPECT_FALSE(item.MarkPending) << item.Name;
    EXPECT_EQ(store.GetValue("Cover Art (Front)"), wantCover);  // asking twice, the same
    store.SetValue("Cover Art (Front)", wantCover);             // unchanged: nothing stored
    EXPECT_EQ(store.Items()[0].Value, wantCover);
    store.SetValue("XUtf", "plain");
    EXPECT_EQ(store.GetValue("XUtf"), "plain");
  }
  SetSystemCodePage(1252);
}

// Bits 1-2 of the flags give the type; the read-only bit (0) and bits the
// format leaves undefined keep a text item text, so it is joined and cleaned.
TEST_F(APETagsTest, OnlyTheTypeBitsMakeAnItemRaw) {
  const std::string value("A\0B\x01\n", 5);
  const struct {
    uint32_t flags;
    std::string expected;
  } cases[] = {{0, "A,B\x02"},     {1, "A,B\x02"}, {0x08, "A,B\x02"}, {0x80000000, "A,B\x02"},
               {2, value},         {3, value},     {4, value},        {6, value},
               {0x01000000, value}};
  for (const auto& c : cases) {
    TAPETags store = StoreOf(Filler(300) + ApeTagFromItems({ApeItem("Artist", value, c.flags)}));
    EXPECT_EQ(store.GetValue("Artist"), c.expected) << std::hex << c.flags;
  }
}

TEST_F(APETagsTest, MalformedItemEndsTheListButKeepsEarlierOnes) {
  std::string third = U32LE(5000) + U32LE(0) + std::string("Genre\0x", 7);
  TAPETags store =
      StoreOf(Filler(300) + ApeTagFromItems({ApeItem("Artist", "A"), ApeItem("Title", "T"), third,
                                             ApeItem("Album", "B")}));
  EXPECT_TRUE(store.HasAPETag());
  EXPECT_EQ(store.Count(), 2);
  EXPECT_EQ(store.GetValue("Album"), "");
  // A key without its zero byte is malformed too.
  TAPETags noZero = StoreOf(
      Filler(300) + ApeTagFromItems({ApeItem("Artist", "A"), U32LE(0) + U32LE(0) + "Title"}));
  EXPECT_EQ(noZero.Count(), 1);
}

TEST_F(APETagsTest, LyingFooterSizesStayInsideTheFile) {
  std::string tag = ApeTag({{"Artist", "A"}});
  for (uint32_t size : {0u, 8u, 31u, 32u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    std::string lying = tag;
    lying.replace(lying.size() - 20, 4, U32LE(size));
    TAPETags store = StoreOf(Filler(200) + lying);
    EXPECT_TRUE(store.HasAPETag()) << size;
    EXPECT_LE(store.Count(), 1) << size;
  }
  std::string manyItems = tag;
  manyItems.replace(manyItems.size() - 16, 4, U32LE(0xFFFFFFFF));
  EXPECT_EQ(StoreOf(Filler(200) + manyItems).Count(), 1);
}

// Counts the bytes read through it from a file.
class TCountingStream : public TStream {
 public:
  explicit TCountingStream(const std::string& path) : file_(path, fmShareDenyNone) {}
  int64_t Size() const override { return file_.Size(); }
  uint64_t BytesRead() const { return bytesRead_; }

 protected:
  size_t ReadAt(int64_t offset, void* buffer, size_t count) override {
    file_.Seek(offset);
    size_t got = file_.Read(buffer, count);
    bytesRead_ += got;
    return got;
  }

 private:
  TDOVFileStream file_;
  uint64_t bytesRead_ = 0;
};

TEST_F(APETagsTest, AFooterThatClaimsAHugeTagCostsABoundedRead) {
  // A sparse file of 256 MiB: an item at the start of the claimed area, one
  // far beyond the bound, and a footer that claims almost 4 GiB.
  test::TempDir dir;
  const std::string path = dir / "huge.mp3";
  constexpr int64_t kSize = 256 << 20;
  std::string footer = ApeTagFromItems({ApeItem("Artist", "A")});
  footer = footer.substr(footer.size() - 32);
  footer.replace(12, 4, U32LE(0xFFFFFFF0));
  footer.replace(16, 4, U32LE(3));
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), kSize), 0);
    auto put = [f](int64_t at, const std::string& bytes) {
      std::fseek(f, static_cast<long>(at), SEEK_SET);
      std::fwrite(bytes.data(), 1, bytes.size(), f);
    };
    put(128, ApeItem("Artist", "A"));
    put(kSize - 4096, ApeItem("Title", "T"));
    put(kSize - 32, footer);
    std::fclose(f);
  }
  auto counting = std::make_unique<TCountingStream>(path);
  TCountingStream* raw = counting.get();
  TAPETags store(path, std::move(counting));
  EXPECT_TRUE(store.HasAPETag());
  EXPECT_EQ(store.GetValue("Artist"), "A");
  EXPECT_EQ(store.GetValue("Title"), "");
  EXPECT_LE(raw->BytesRead(), TAPETags::kMaxTagBytes + 4096);
}

TEST_F(APETagsTest, EveryTruncationIsSafe) {
  std::string file = Filler(200) + ApeTag({{"Artist", "A"}, {"Title", "Song"}, {"Genre", "Rock"}}) +
                     Id3v1("t", "a");
  for (size_t cut = 0; cut <= file.size(); ++cut) {
    TAPETags store = StoreOf(file.substr(0, cut));
    EXPECT_LE(store.Count(), 3);
  }
}

TEST_F(APETagsTest, SetValueRules) {
  TAPETags store = StoreOf(Filler(300) + ApeTag({{"Genre", "Rock"}}));
  store.SetValue("Album", "");
  EXPECT_EQ(store.FindField("Album"), -1);  // no empty field is created...
  store.SetValue("Title", "");
  EXPECT_EQ(store.FindField("Title"), 1);  // ...but for Title and Artist
  store.SetValue("genre", "");
  EXPECT_EQ(store.GetValue("Genre"), "");  // an existing field is emptied
  EXPECT_EQ(store.Items()[0].Name, "genre");
  store.SetValue("Album",
                 "a\x02"
                 "b");
  store.SetValue("ALBUM", "a\nb");  // its cleaned form is what is stored: unchanged
  EXPECT_EQ(store.GetValue("album"),
            "a\x02"
            "b");
  EXPECT_EQ(store.Items()[2].Name, "Album");
  store.SetInteger("Duration", -1);
  EXPECT_EQ(store.GetValue("duration"), "-1");
  EXPECT_THROW(
      {
        try {
          store.SetValue("A", "x");
        } catch (const ETagError& e) {
          EXPECT_STREQ(e.what(), "Tag Name must be 2 or more characters in length");
          throw;
        }
      },
      ETagError);
  EXPECT_EQ(store.Count(), 4);
}

// An APE tag is the file's only source of fields, even one that holds only a
// replay-gain tool's items or names that clean to nothing.
TEST_F(APETagsTest, AnyApeTagStandsInsteadOfTheFilesOwnTags) {
  const std::vector<std::pair<std::string, std::string>> gain = {
      {"REPLAYGAIN_TRACK_GAIN", "+0.690000 dB"}, {"MP3GAIN_MINMAX", "123,212"}};
  auto with = [&gain](std::vector<std::pair<std::string, std::string>> items) {
    items.insert(items.end(), gain.begin(), gain.end());
    return StoreOf(Filler(300) + ApeTag(items));
  };
  EXPECT_TRUE(StoreOf(Filler(300)).NeedsContainerTags());
  EXPECT_FALSE(StoreOf(Filler(300) + ApeTagFromItems({})).NeedsContainerTags());
  EXPECT_FALSE(with({}).NeedsContainerTags());
  EXPECT_FALSE(with({{"Album", "A"}, {"Comment", "c"}}).NeedsContainerTags());
  EXPECT_FALSE(with({{"Title", ""}, {"Artist", "\x01\x02"}}).NeedsContainerTags());
  EXPECT_FALSE(with({{"Artist", "x"}}).NeedsContainerTags());
}

TEST_F(APETagsTest, ReadsRealFilesAndKeepsThemOpenForTheReaders) {
  test::TempDir dir;
  test::WriteFile(dir / "song.mp3", Filler(500) + ApeTag({{"Artist", "A"}}));
  TAPETags store(dir / "song.mp3");
  EXPECT_TRUE(store.Opened());
  ASSERT_NE(store.Stream(), nullptr);
  EXPECT_EQ(store.Stream()->Size(), store.FileSize());
  EXPECT_EQ(store.GetValue("Artist"), "A");
  TAPETags missing(dir / "other.mp3");
  EXPECT_FALSE(missing.Opened());
  EXPECT_EQ(missing.Stream(), nullptr);
}

}  // namespace
}  // namespace dov
