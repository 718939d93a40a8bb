// The container tag import: the setters, the extension table and the mapping
// tables, fed with hand-made pairs through a fake reader.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/CodePage.h"
#include "common/DOVCommon.h"
#include "tags/APETag.h"
#include "tags/TagImport.h"
#include "tags/WMAInfo.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TContainerTags MakeTags(const Pairs& pairs) {
  TContainerTags tags;
  for (const auto& [id, value] : pairs) tags.Fields.push_back({id, value});
  return tags;
}

// Replaces the readers, the dispatcher and the clock for one test.
class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSystemCodePage(1252);
    SetCurrentYearSource(2026);
    SetImportDurationSource([this](std::string_view name, TStream* stream) {
      durationName = std::string(name);
      durationStream = stream;
      return duration;
    });
    SetImportReaderSource([this](const TTagReaderRow& row, std::string_view name, TStream* stream) {
      ++readerCalls;
      readerMapping = row.Mapping;
      readerName = std::string(name);
      readerStream = stream;
      return delivered;
    });
  }
  void TearDown() override {
    SetImportDurationSource(nullptr);
    SetImportReaderSource(nullptr);
    SetCurrentYearSource(0);
  }

  // A store for an untagged 200-byte file of that name, imported.
  std::unique_ptr<TAPETags> ImportTags(const std::string& name, TContainerTags tags) {
    delivered = std::move(tags);
    auto store =
        std::make_unique<TAPETags>(name, std::make_unique<TMemoryStream>(test::Filler(200)));
    store->ImportContainerTags();
    return store;
  }
  std::unique_ptr<TAPETags> Import(const std::string& name, const Pairs& pairs) {
    return ImportTags(name, MakeTags(pairs));
  }

  // name=value for every field, in store order.
  static std::vector<std::string> Fields(const TAPETags& store) {
    std::vector<std::string> out;
    for (const TAPEItem& item : store.Items()) out.push_back(item.Name + "=" + item.Value);
    return out;
  }

  int32_t duration = -1;
  TContainerTags delivered;
  int readerCalls = 0;
  TTagMapping readerMapping = TTagMapping::None;
  std::string readerName, durationName;
  TStream* readerStream = nullptr;
  TStream* durationStream = nullptr;
};

using Strings = std::vector<std::string>;

// An empty store to call the setters on.
std::unique_ptr<TAPETags> EmptyStore() {
  return std::make_unique<TAPETags>("x.bin", std::make_unique<TMemoryStream>(test::Filler(200)));
}

// ---- SetText ----------------------------------------------------------------

TEST(SetText, ZeroIsTestedBeforeTrimming) {
  auto store = EmptyStore();
  store->SetText("Track", "0");
  EXPECT_EQ(store->FindField("Track"), -1);
  store->SetText("Track", " 0 ");
  EXPECT_EQ(store->GetValue("Track"), "0");
}

TEST(SetText, TrimsAndCleans) {
  auto store = EmptyStore();
  store->SetText("Title", " \t A \"b\" | c\r\nd \x01 ");
  EXPECT_EQ(store->GetValue("Title"),
            "A 'b' - c\x01\x02"
            "d");
}

TEST(SetText, CutsTo255Bytes) {
  auto store = EmptyStore();
  store->SetText("Title", std::string(300, 'x'));
  EXPECT_EQ(store->GetValue("Title"), std::string(255, 'x'));
}

TEST(SetText, TrimsMarkedTextBehindTheMarker) {
  auto store = EmptyStore();
  store->SetText("Artist", "\x7F Bj\xC3\xB6rk \t");
  EXPECT_EQ(store->GetValue("Artist"),
            "\x7F"
            "Bj\xC3\xB6rk");
  // A marked value of blanks only is empty: it clears the field.
  store->SetText("Artist", "\x7F   ");
  EXPECT_EQ(store->GetValue("Artist"), "");
}

TEST(SetText, NeverSplitsAUTF8CharacterOfAMarkedValue) {
  auto store = EmptyStore();
  // Marker + 253 letters + "é" (2 bytes) + "x": byte 255 is the second byte of "é".
  std::string value = "\x7F" + std::string(253, 'a') +
                      "\xC3\xA9"
                      "x";
  store->SetText("Title", value);
  EXPECT_EQ(store->GetValue("Title"), "\x7F" + std::string(253, 'a'));
  // A three-byte character split after its first byte goes whole as well.
  value = "\x7F" + std::string(254, 'a') + "\xE2\x82\xAC";
  store->SetText("Album", value);
  EXPECT_EQ(store->GetValue("Album"), "\x7F" + std::string(254, 'a'));
  // A character that ends exactly at byte 255 stays.
  value = "\x7F" + std::string(252, 'a') +
          "\xC3\xA9"
          "xyz";
  store->SetText("Genre", value);
  EXPECT_EQ(store->GetValue("Genre"), "\x7F" + std::string(252, 'a') + "\xC3\xA9");
  // Code-page text is cut at 255 bytes whatever its bytes are.
  value = std::string(254, 'a') + "\xC3\xA9";
  store->SetText("Mood", value);
  EXPECT_EQ(store->GetValue("Mood"), std::string(254, 'a') + "\xC3");
}

// ---- Wide text and values ------------------------------------------------------------

TEST(MarkedWideText, MarksOnlyNonAsciiAndTrims) {
  SetSystemCodePage(1252);
  auto store = EmptyStore();
  store->SetText("Artist", MarkedWideText(u"  Abba "));
  EXPECT_EQ(store->GetValue("Artist"), "Abba");
  store->SetText("Title", MarkedWideText(u" Caf\u00E9 "));
  EXPECT_EQ(store->GetValue("Title"),
            "\x7F"
            "Caf\xC3\xA9");
  // A lone surrogate becomes U+FFFD instead of breaking the UTF-8.
  store->SetText("Album", MarkedWideText(std::u16string(u"a") + char16_t(0xD800) + u"b"));
  EXPECT_EQ(store->GetValue("Album"),
            "\x7F"
            "a\xEF\xBF\xBD"
            "b");
}

TEST(MarkedWideValue, MarksWhenTheCodePageFormDiffersAndKeepsTheTextWhole) {
  SetSystemCodePage(1252);
  auto store = EmptyStore();
  store->SetValue("Comment", MarkedWideValue(u" line1\nline2 "));
  EXPECT_EQ(store->GetValue("Comment"), " line1\nline2 ");
  store->SetValue("Comment", MarkedWideValue(u"\u00E9"));
  EXPECT_EQ(store->GetValue("Comment"), "\x7F\xC3\xA9");
}

// ---- SetYear ----------------------------------------------------------------------

TEST(SetYear, CompletesTwoDigitYearsAgainstTheCurrentYear) {
  SetCurrentYearSource(2026);
  struct Case {
    const char* text;
    const char* year;  // nullptr: nothing stored
  } cases[] = {{"98", "1998"},   {"25", "2025"},     {"26", "2026"}, {"27", "1927"},
               {"2007", "2007"}, {" 1999 ", "1999"}, {"1", "2001"},  {"0", nullptr},
               {"abc", nullptr}, {"", nullptr}};
  for (const Case& c : cases) {
    auto store = EmptyStore();
    store->SetYear(c.text);
    EXPECT_EQ(store->GetValue("Year"), c.year ? c.year : "") << c.text;
    EXPECT_EQ(store->FindField("Year") >= 0, c.year != nullptr) << c.text;
  }
  SetCurrentYearSource(2030);
  auto store = EmptyStore();
  store->SetYear("29");
  EXPECT_EQ(store->GetValue("Year"), "2029");
  SetCurrentYearSource(0);
  EXPECT_GE(CurrentYear(), 2024);  // the system clock
}

// ---- DateToDays, SetDate -------------------------------------------------------------

TEST(DateToDays, CountsDaysFrom1899_12_30) {
  EXPECT_EQ(TAPETags::DateToDays("2000-01-01"), 36526);
  EXPECT_EQ(TAPETags::DateToDays("2015-06-30"), 42185);
  EXPECT_EQ(TAPETags::DateToDays("2015/06/30"), 42185);
  EXPECT_EQ(TAPETags::DateToDays("2016-02-29"), 42429);
  EXPECT_EQ(TAPETags::DateToDays("1900-01-01"), 2);
}

TEST(DateToDays, InvalidOrEarlyDatesGiveOne) {
  for (const char* text :
       {"2015", "2015-00-10", "2015-13-01", "2015-04-31", "2015-02-29", "2015-06-00", "abcd-06-30",
        "", "1899-12-30", "1800-01-01", "0000-01-01"})
    EXPECT_EQ(TAPETags::DateToDays(text), 1) << text;
}

TEST(SetDate, StoresDayNumbersAboveOne) {
  auto store = EmptyStore();
  store->SetDate("RecordDate", "2015");
  EXPECT_EQ(store->FindField("RecordDate"), -1);
  store->SetDate("RecordDate", "1899-12-31");  // day 1
  EXPECT_EQ(store->FindField("RecordDate"), -1);
  store->SetDate("RecordDate", "2015-06-30T10:00");
  EXPECT_EQ(store->GetValue("RecordDate"), "42185");
}

// ---- SetTempo, NormalizeBPM ---------------------------------------------------------

TEST(SetTempo, WordsInAnyCase) {
  struct Case {
    const char* word;
    const char* tempo;
  } cases[] = {{"slow", "1"},   {"Medium Slow", "2"}, {"SLOW-MEDIUM", "2"},
               {"medium", "3"}, {"medium-fast", "4"}, {"Fast Medium", "4"},
               {"FAST", "5"},   {"fast ", ""},        {"Medium  Fast", ""},
               {"", ""}};
  for (const Case& c : cases) {
    auto store = EmptyStore();
    store->SetTempo(c.word);
    EXPECT_EQ(store->GetValue("Tempo"), c.tempo) << c.word;
  }
}

TEST(NormalizeBPM, WholeNumbersOneTo255) {
  EXPECT_EQ(TAPETags::NormalizeBPM("120"), "120");
  EXPECT_EQ(TAPETags::NormalizeBPM("120.5"), "120");
  EXPECT_EQ(TAPETags::NormalizeBPM("120,5"), "120");
  EXPECT_EQ(TAPETags::NormalizeBPM("1,5.5"), "");  // cut at the ".": "1,5" is no number
  EXPECT_EQ(TAPETags::NormalizeBPM(" 99 "), "99");
  EXPECT_EQ(TAPETags::NormalizeBPM("255"), "255");
  EXPECT_EQ(TAPETags::NormalizeBPM("256"), "");
  EXPECT_EQ(TAPETags::NormalizeBPM("300"), "");
  EXPECT_EQ(TAPETags::NormalizeBPM("0"), "");
  EXPECT_EQ(TAPETags::NormalizeBPM("-5"), "");
  EXPECT_EQ(TAPETags::NormalizeBPM("fast"), "");
}

// ---- Extension table, duration ----------------------------------------------------------

TEST(FindTagReader, ChoosesByTheLastDotInAnyCase) {
  auto mapping = [](std::string_view name) {
    const TTagReaderRow* row = FindTagReader(name);
    return row ? row->Mapping : TTagMapping::None;
  };
  EXPECT_EQ(mapping("/m/a.mp3"), TTagMapping::ID3);
  EXPECT_EQ(mapping("/m/A.MP3"), TTagMapping::ID3);
  EXPECT_EQ(mapping("/m/a.mp2"), TTagMapping::ID3);
  for (const char* name : {"a.mp4", "a.m4a", "a.MP4A", "a.m4p"})
    EXPECT_EQ(mapping(name), TTagMapping::MP4) << name;
  EXPECT_EQ(mapping("a.wav"), TTagMapping::WAV);
  EXPECT_EQ(mapping("a.ogg"), TTagMapping::Vorbis);
  EXPECT_EQ(mapping("a.opus"), TTagMapping::Vorbis);
  EXPECT_EQ(mapping("a.Flac"), TTagMapping::Vorbis);
  EXPECT_EQ(mapping("a.wma"), TTagMapping::WMA);
  for (const char* name : {"a.aac", "a.ape", "a.mp3.bak", "/m.mp3/a", "mp3", "a."})
    EXPECT_EQ(FindTagReader(name), nullptr) << name;
}

TEST_F(ImportTest, DurationComesFirstAndTheReaderGetsTheStoresStream) {
  duration = 123456;
  auto store = Import("/m/Song.MP3", {{"TIT2", "T"}});
  EXPECT_EQ(Fields(*store), (Strings{"Duration=123456", "Title=T"}));
  EXPECT_EQ(readerMapping, TTagMapping::ID3);
  EXPECT_EQ(readerName, "/m/Song.MP3");
  EXPECT_EQ(durationName, "/m/Song.MP3");
  EXPECT_NE(readerStream, nullptr);
  EXPECT_EQ(readerStream, store->Stream());
  EXPECT_EQ(durationStream, store->Stream());
}

TEST_F(ImportTest, UnknownDurationStoresNothing) {
  for (int32_t unknown : {-1, 0}) {
    duration = unknown;
    auto store = Import("a.mp3", Pairs{});
    EXPECT_EQ(store->Count(), 0);
  }
}

TEST_F(ImportTest, OtherExtensionsGetOnlyTheDuration) {
  duration = 5000;
  auto store = Import("a.aac", {{"TIT2", "T"}});
  EXPECT_EQ(Fields(*store), (Strings{"Duration=5000"}));
  EXPECT_EQ(readerCalls, 0);
}

TEST_F(ImportTest, AStoreThatIsNotOpenImportsNothing) {
  duration = 5000;
  delivered = MakeTags({{"TIT2", "T"}});
  TAPETags store("a.mp3", std::make_unique<TMemoryStream>(test::Filler(159)));
  store.ImportContainerTags();
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(readerCalls, 0);
}

TEST_F(ImportTest, AReaderThatRaisesMapsNothing) {
  SetImportReaderSource([](const TTagReaderRow&, std::string_view, TStream*) -> TContainerTags {
    throw std::runtime_error("boom");
  });
  duration = 10;
  auto store = Import("a.mp3", Pairs{});
  EXPECT_EQ(Fields(*store), (Strings{"Duration=10"}));
}

TEST_F(ImportTest, UnevenListsMapOnlyWholePairs) {
  auto store = ImportTags("a.mp3", ZipFields({"TIT2", "TPE1"}, {"T"}));
  EXPECT_EQ(Fields(*store), (Strings{"Title=T"}));
  EXPECT_EQ(ZipFields({"TIT2"}, {"T", "U"}).Fields.size(), 1u);
}

// ---- ID3 table --------------------------------------------------------------------------

TEST_F(ImportTest, ID3MapsEveryFrameId) {
  auto store =
      Import("a.mp3", {{"TIT2", "Title"},      {"TPE1", "Artist"},  {"TPE2", "Band"},
                       {"TPE3", "Cond"},       {"TCOM", "Comp"},    {"TCON", "Rock"},
                       {"TALB", "Album"},      {"TSRC", "ISRC1"},   {"TYER", "98"},
                       {"TDRC", "2015-06-30"}, {"TPUB", "Pub"},     {"ASIN", "123"},
                       {"COMM", " c1 "},       {"TRCK", "3/12"},    {"WXXX", "http://a"},
                       {"WCOM", "http://b"},   {"TBPM", "120.5"},   {"TMOO", "Calm"},
                       {"3PRO", "1"},          {"TXXX", "ignored"}, {"tit2", "ignored too"}});
  EXPECT_EQ(Fields(*store), (Strings{"Title=Title", "Artist=Artist", "Album Artist=Band",
                                     "Conductor=Cond", "Composer=Comp", "Genre=Rock", "Album=Album",
                                     "ISRC=ISRC1", "Year=98", "RecordDate=42185", "Publisher=Pub",
                                     "EAN/UPC=123", "Comment= c1 ", "Track=3/12", "URL=http://a",
                                     "URL2=http://b", "BPM=120", "Mood=Calm", "MP3PRO=1"}));
}

TEST_F(ImportTest, ID3TakesTheFirstCommentAndTheLastOfOtherFrames) {
  auto store =
      Import("a.mp3", {{"COMM", "first"}, {"TIT2", "one"}, {"COMM", "second"}, {"TIT2", "two"}});
  EXPECT_EQ(store->GetValue("Comment"), "first");
  EXPECT_EQ(store->GetValue("Title"), "two");
}

TEST_F(ImportTest, ID3FirstEmptyCommentStillBlocksLaterOnes) {
  auto store = Import("a.mp3", {{"COMM", ""}, {"COMM", "second"}});
  EXPECT_EQ(store->FindField("Comment"), -1);
}

TEST_F(ImportTest, ID3LongTitleIsCutButTheCommentIsKeptWhole) {
  std::string text(300, 'x');
  auto store = Import("a.mp3", {{"TIT2", text}, {"COMM", text}});
  EXPECT_EQ(store->GetValue("Title").size(), 255u);
  EXPECT_EQ(store->GetValue("Comment"), text);
}

TEST_F(ImportTest, ID3LaterBlankValueClearsTheField) {
  auto store = Import("a.mp3", {{"TCON", "Rock"}, {"TCON", "  "}, {"TPE1", "0"}});
  EXPECT_EQ(store->FindField("Genre"), 0);
  EXPECT_EQ(store->GetValue("Genre"), "");
  EXPECT_EQ(store->FindField("Artist"), -1);  // "0" stores nothing
}

TEST_F(ImportTest, ID3BeatsPerMinuteOutOfRangeStoresNothing) {
  for (const char* bpm : {"0", "300", "x"}) {
    auto store = Import("a.mp3", {{"TBPM", bpm}});
    EXPECT_EQ(store->FindField("BPM"), -1) << bpm;
  }
  auto store = Import("a.mp3", {{"TBPM", "100"}, {"TBPM", "300"}});
  EXPECT_EQ(store->GetValue("BPM"), "");  // an empty result clears an existing BPM
}

TEST_F(ImportTest, ID3DateWithoutMonthStoresNothing) {
  auto store = Import("a.mp3", {{"TDRC", "2015"}});
  EXPECT_EQ(store->Count(), 0);
}

// ---- MP4 table --------------------------------------------------------------------------

TEST_F(ImportTest, MP4MapsNamesIgnoringCase) {
  auto store = Import("a.m4a", {{"nam", "T"},
                                {"ART", "A"},
                                {"wrt", "W"},
                                {"gen", "Jazz"},
                                {"aART", "AA"},
                                {"alb", "Al"},
                                {"day", "2001"},
                                {"cmt", " c "},
                                {"trkn", "1/9"},
                                {"tmpo", "128"},
                                {"rgtg", "-6.5 dB"},
                                {"xyz", "no"}});
  EXPECT_EQ(Fields(*store), (Strings{"Title=T", "Artist=A", "Composer=W", "Genre=Jazz",
                                     "Album Artist=AA", "Album=Al", "Year=2001", "Comment= c ",
                                     "Track=1/9", "BPM=128", "REPLAYGAIN_TRACK_GAIN=-6.5 dB"}));
  store = Import("a.mp4", {{"com", "C"}, {"trk", " 4 "}});
  EXPECT_EQ(Fields(*store), (Strings{"Composer=C", "Track=4"}));
}

TEST_F(ImportTest, MP4GenreNumbersGoThroughTheID3List) {
  EXPECT_EQ(Import("a.m4a", {{"gnre", "18"}})->GetValue("Genre"), "Rock");
  EXPECT_EQ(Import("a.m4a", {{"gnre", "1"}})->GetValue("Genre"), "Blues");
  for (const char* n : {"0", "200", "128", "-1", "x"})
    EXPECT_EQ(Import("a.m4a", {{"gnre", n}})->FindField("Genre"), -1) << n;
  // 127 is the empty last entry: it creates nothing but clears a genre.
  EXPECT_EQ(Import("a.m4a", {{"gnre", "127"}})->FindField("Genre"), -1);
  auto store = Import("a.m4a", {{"gen", "Pop"}, {"gnre", "127"}});
  EXPECT_EQ(store->GetValue("Genre"), "");
}

// ---- WAV table --------------------------------------------------------------------------

TEST_F(ImportTest, WAVMapsTextIds) {
  auto store = Import("a.wav", {{"DISP", "D"},
                                {"IART", "A"},
                                {"IAAR", "AA"},
                                {"IALB", "Al"},
                                {"ITRK", "2"},
                                {"IGNR", "Pop"},
                                {"ICMT", " c "},
                                {"ISRC", "I"},
                                {"ICOM", "C"},
                                {"IPUB", "P"},
                                {"ITCH", "Co"},
                                {"IBPM", "90.1"},
                                {"CLNT", "Cl"},
                                {"Cue", "12"},
                                {"Outro", "34"},
                                {"BTPO", "Fast"},
                                {"ITTL", "T2"},
                                {"CUE", "no"}});
  EXPECT_EQ(Fields(*store),
            (Strings{"Title=T2", "Artist=A", "Album Artist=AA", "Album=Al", "Track=2", "Genre=Pop",
                     "Comment= c ", "ISRC=I", "Composer=C", "Publisher=P", "Conductor=Co", "BPM=90",
                     "Client=Cl", "Cue=12", "Outro=34", "Tempo=5"}));
}

TEST_F(ImportTest, WAVYearsGoThroughSetYear) {
  EXPECT_EQ(Import("a.wav", {{"IYER", "98"}})->GetValue("Year"), "1998");
  EXPECT_EQ(Import("a.wav", {{"ICRD", "25"}})->GetValue("Year"), "2025");
  EXPECT_EQ(Import("a.wav", {{"ICRD", "2007"}})->GetValue("Year"), "2007");
  EXPECT_EQ(Import("a.wav", {{"ICRD", "2007-05-01"}})->FindField("Year"), -1);
}

TEST_F(ImportTest, WAVWebAddressRule) {
  EXPECT_EQ(Import("a.wav", {{"IURL", " http://x.org "}})->GetValue("URL"), "http://x.org");
  EXPECT_EQ(Import("a.wav", {{"IURL", "see http:"}})->GetValue("URL"), "see http:");
  auto store = Import("a.wav", {{"IURL", "<Info><Year>1999</Year></Info>"}});
  EXPECT_EQ(Fields(*store), (Strings{"Year=1999"}));
  EXPECT_EQ(Import("a.wav", {{"IURL", "<YEAR>98<"}})->GetValue("Year"), "1998");
  for (const char* text :
       {"<year>9</year>", "<year>1999", "HTTP://x.org", "https://x.org", "<year></year>", "x"})
    EXPECT_EQ(Import("a.wav", {{"IURL", text}})->Count(), 0) << text;
}

TEST_F(ImportTest, WAVIntroRange) {
  EXPECT_EQ(Import("a.wav", {{"ISRF", "99"}})->FindField("Intro"), -1);
  EXPECT_EQ(Import("a.wav", {{"ISRF", "30000"}})->FindField("Intro"), -1);
  EXPECT_EQ(Import("a.wav", {{"ISRF", "29999"}})->GetValue("Intro"), "29999");
  EXPECT_EQ(Import("a.wav", {{"ISRF", "100"}})->GetValue("Intro"), "100");
}

TEST_F(ImportTest, WAVSegueRule) {
  duration = 10000;
  auto store = Import("a.wav", {{"IMED", "1000"}});
  EXPECT_EQ(Fields(*store), (Strings{"Duration=10000", "Segue=9000", "SegueDB=1"}));
  EXPECT_EQ(Import("a.wav", {{"IMED", "6000"}})->GetValue("Segue"), "6000");
  EXPECT_EQ(Import("a.wav", {{"IMED", "5000"}})->GetValue("Segue"), "5000");  // exactly half
  EXPECT_EQ(Import("a.wav", {{"IMED", "400"}})->FindField("Segue"), -1);
  EXPECT_EQ(Import("a.wav", {{"IMED", "400"}})->FindField("SegueDB"), -1);
  duration = -1;  // unknown length: the point is taken as it is
  EXPECT_EQ(Import("a.wav", {{"IMED", "1000"}})->GetValue("Segue"), "1000");
}

TEST_F(ImportTest, WAVAvailabilityNeedsADayAfter2000_01_01) {
  EXPECT_EQ(Import("a.wav", {{"SDAT", "2000/01/01"}})->Count(), 0);
  EXPECT_EQ(Import("a.wav", {{"SDAT", "junk"}, {"EDAT", "1999/12/31"}})->Count(), 0);

  auto store = Import("a.wav", {{"SDAT", "2000/01/02"}});
  TAvailability expected;
  InitAvailability(expected);
  expected.StartDay = 36527;
  EXPECT_EQ(Fields(*store), (Strings{"XRestrictions=" + AvailabilityBytes(expected)}));
  EXPECT_EQ(store->GetValue("XRestrictions").size(), 52u);

  store = Import("a.wav", {{"EDAT", "2020-01-01"}, {"SDAT", "1999-01-01"}});
  expected.StartDay = TAPETags::DateToDays("1999-01-01");
  expected.EndDay = 43831;
  EXPECT_EQ(store->GetValue("XRestrictions"), AvailabilityBytes(expected));
}

TEST_F(ImportTest, AvailabilityIsOnlyAWAVRule) {
  EXPECT_EQ(Import("a.ogg", {{"SDAT", "2020/01/01"}})->Count(), 0);
}

// ---- Vorbis comment table ------------------------------------------------------------------

TEST_F(ImportTest, VorbisMapsUpperCaseNames) {
  auto store = Import(
      "a.ogg", {{"TITLE", "T"},         {"ARTIST", "A"},        {"CONDUCTOR", "Co"},
                {"COMPOSER", "C"},      {"GENRE", "G"},         {"ALBUM", "Al"},
                {"BAND", "B"},          {"DATE", "2001-02-03"}, {"LABEL", "L"},
                {"DESCRIPTION", " d "}, {"ISRC", "I"},          {"EAN/UPN", "E"},
                {"URL", "U"},           {"TRACK", "7"},         {"BPM", "99"},
                {"FADESPEED", " 3 "},   {"CLIENT", "Cl"},       {"REPLAYGAIN_TRACK_GAIN", "+1 dB"},
                {"MOOD", "M"},          {"LANGUAGE", "en"},     {"OTHER", "O"},
                {"title", "lower"}});
  EXPECT_EQ(Fields(*store),
            (Strings{"Title=T",        "Artist=A",        "Conductor=Co",
                     "Composer=C",     "Genre=G",         "Album=Al",
                     "Album Artist=B", "Year=2001-02-03", "Publisher=L",
                     "Comment= d ",    "ISRC=I",          "EAN/UPC=E",
                     "URL=U",          "Track=7",         "BPM=99",
                     "FadeSpeed= 3 ",  "Client=Cl",       "REPLAYGAIN_TRACK_GAIN=+1 dB",
                     "Mood=M",         "Language=en",     "Other=O"}));
}

TEST_F(ImportTest, VorbisSameFieldFromSeveralNamesLastWins) {
  auto store = Import("a.flac", {{"ALBUM ARTIST", "one"},
                                 {"ALBUMARTIST", "two"},
                                 {"PUBLISHER", "p"},
                                 {"ORGANIZATION", "o"},
                                 {"COMMENT", "c"},
                                 {"TRACKNUMBER", "1"},
                                 {"EAN/UPC", "e"}});
  EXPECT_EQ(Fields(*store),
            (Strings{"Album Artist=two", "Publisher=o", "Comment=c", "Track=1", "EAN/UPC=e"}));
}

TEST_F(ImportTest, VorbisTempoWordsAndNumericIntroAndSegue) {
  EXPECT_EQ(Import("a.opus", {{"TEMPO", "medium-fast"}})->GetValue("Tempo"), "4");
  EXPECT_EQ(Import("a.ogg", {{"TEMPO", "120"}})->FindField("Tempo"), -1);
  EXPECT_EQ(Import("a.ogg", {{"INTRO", "5.2"}})->GetValue("Intro"), "5.2");
  EXPECT_EQ(Import("a.ogg", {{"SEGUE", "-1e3"}})->GetValue("Segue"), "-1e3");
  for (const char* text : {"abc", "5,2", "", "5.2s", "."}) {
    EXPECT_EQ(Import("a.ogg", {{"INTRO", text}})->FindField("Intro"), -1) << text;
    EXPECT_EQ(Import("a.ogg", {{"SEGUE", text}})->FindField("Segue"), -1) << text;
  }
}

// ---- WMA --------------------------------------------------------------------------------

TEST_F(ImportTest, WMAMapsNamedValuesInOrder) {
  SetSystemCodePage(1252);
  TWMAfile w;
  w.Title = u"T";
  w.Artist = u"A";
  w.AlbumArtist = u"AA";
  w.Album = u"Al";
  w.Track = 5;
  w.Year = u"2003";
  w.Genre = u"G";
  w.Comment = u"desc";
  w.Composer = u"C";
  w.Publisher = u"P";
  w.Conductor = u"Co";
  w.Category = u"Ca";
  w.BeatsPerMinute = 140;
  w.ISRC = u"I";
  w.Mood = u"M";
  w.AlbumCoverURL = u"u1";
  w.UserWebURL = u"u2";
  w.ReplayGainTrackGain = u" -3 dB";
  auto store = ImportTags("a.wma", WMAFields(w));
  EXPECT_EQ(Fields(*store),
            (Strings{"Artist=A", "Title=T", "Album Artist=AA", "Album=Al", "Track=5", "Year=2003",
                     "Genre=G", "Comment=desc", "Composer=C", "Publisher=P", "Conductor=Co",
                     "Category=Ca", "BPM=140", "ISRC=I", "Mood=M", "URL=u1", "URL2=u2",
                     "REPLAYGAIN_TRACK_GAIN= -3 dB"}));
}

// Every member the reader fills is delivered under its own name, and each
// name has a row in the mapping: a member added to the reader but not to the
// table would be lost without a word.
TEST_F(ImportTest, WMAEveryNamedValueIsDeliveredAndMapped) {
  TWMAfile w;
  for (std::u16string* text :
       {&w.Title, &w.Artist, &w.Album, &w.AlbumArtist, &w.Year, &w.Genre, &w.Comment, &w.Composer,
        &w.Publisher, &w.Conductor, &w.Category, &w.ISRC, &w.Mood, &w.Text, &w.AlbumCoverURL,
        &w.UserWebURL, &w.ReplayGainTrackGain})
    *text = u"x";
  w.Track = -2;
  w.BeatsPerMinute = 255;
  const TContainerTags tags = WMAFields(w);
  Strings ids;
  for (const TTagField& field : tags.Fields) ids.push_back(field.Id);
  EXPECT_EQ(ids,
            (Strings{"Artist", "Title", "AlbumArtist", "Album", "Track", "Year", "Genre", "Comment",
                     "Text", "Composer", "Publisher", "Conductor", "Category", "BeatsPerMinute",
                     "ISRC", "Mood", "AlbumCoverURL", "UserWebURL", "ReplayGainTrackGain"}));
  EXPECT_EQ(tags.Fields[4].Value, "-2");
  EXPECT_EQ(tags.Fields[13].Value, "255");
  auto store = ImportTags("a.wma", tags);
  // Comment and Text share one field; every other value has a field of its own.
  EXPECT_EQ(store->Count(), 18);
}

TEST_F(ImportTest, WMATextReplacesTheDescriptionAndEmptyValuesAreSkipped) {
  TWMAfile w;
  w.Comment = u"desc";
  w.Text = u"Caf\u00E9";
  w.Artist = u" Bj\u00F6rk ";
  auto store = ImportTags("a.wma", WMAFields(w));
  EXPECT_EQ(Fields(*store), (Strings{"Artist=\x7F"
                                     "Bj\xC3\xB6rk",
                                     "Comment=\x7F"
                                     "Caf\xC3\xA9"}));
}

TEST_F(ImportTest, WMAReadFailureMapsNothing) {
  TWMAfile w;
  w.Title = u"T";
  w.Track = 3;
  TMemoryStream tooShort(std::string(10, '\0'));
  EXPECT_FALSE(w.ReadFromFile("a.wma", &tooShort));
  EXPECT_TRUE(WMAFields(w).Fields.empty());
}

// ---- A real reader behind the table ---------------------------------------------------------

TEST(ImportWithReaders, MP3FileWithID3v1Tag) {
  SetImportDurationSource([](std::string_view, TStream*) { return -1; });
  std::string file = test::Filler(300) + test::Id3v1("Song", "Band", 17);
  TAPETags store("/m/a.mp3", std::make_unique<TMemoryStream>(file));
  store.ImportContainerTags();
  SetImportDurationSource(nullptr);
  EXPECT_EQ(store.GetValue("Title"), "Song");
  EXPECT_EQ(store.GetValue("Artist"), "Band");
  EXPECT_EQ(store.GetValue("Genre"), "Rock");
}

}  // namespace
}  // namespace dov
