#include "tags/WAVTags.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "common/CodePage.h"
#include "common/DOVTnt.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::DataPath;
using test::Filler;
using test::ReadFile;
using test::U16LE;
using test::U32LE;
using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string M(std::string_view utf8) {
  return kUTF8Marker + std::string(utf8);
}

using test::Chunk;

std::string Fmt(uint32_t rate = 44100, uint32_t bytesPerSec = 88200) {
  return Chunk("fmt ",
               U16LE(1) + U16LE(1) + U32LE(rate) + U32LE(bytesPerSec) + U16LE(2) + U16LE(16));
}

std::string Data(size_t size = 64) {
  return Chunk("data", Filler(size, '\x80'));
}

// RIFF/WAVE around the chunks; the format chunk comes first unless given.
std::string Wav(const std::string& chunks, const std::string& fmt = Fmt()) {
  std::string body = "WAVE" + fmt + chunks;
  return "RIFF" + U32LE(static_cast<uint32_t>(body.size())) + body;
}

// A LIST/INFO chunk; each text gets its terminator.
std::string Info(const Pairs& items) {
  std::string body = "INFO";
  for (const auto& [id, text] : items) body += Chunk(id, text + '\0');
  return Chunk("LIST", body);
}

std::string Disp(std::string_view text) {
  return Chunk("DISP", U32LE(1) + std::string(text));
}

// A cart chunk body: version, then text placed at byte offsets.
struct TCart {
  std::string body = std::string(2048, '\0');
  explicit TCart(std::string_view version) { Put(0, version); }
  TCart& Put(size_t offset, std::string_view text) {
    body.replace(offset, text.size(), text);
    return *this;
  }
  TCart& Timer(size_t index, std::string_view usage, uint32_t value) {
    return Put(684 + 8 * index, std::string(usage) + U32LE(value));
  }
  // The chunk with the declared size; the body is cut or zero-filled to it.
  std::string Chunk(size_t size = 2048) const {
    std::string b = body.substr(0, size);
    b.resize(size, '\0');
    return dov::Chunk("cart", b);
  }
};

// A scot chunk body of 512 bytes.
std::string Scot(std::string_view title, std::string_view artist, std::string_view note,
                 std::string_view intro, std::string_view year) {
  std::string body(512, '\0');
  body.replace(4, title.size(), title);
  body.replace(267, artist.size(), artist);
  body.replace(301, note.size(), note);
  body.replace(335, intro.size(), intro);
  body.replace(338, year.size(), year);
  return Chunk("scot", body);
}

TWAVTags Read(const std::string& bytes) {
  TMemoryStream stream(bytes);
  TWAVTags tags;
  tags.ReadFromFile("memory.wav", &stream);
  return tags;
}

Pairs PairsOf(const TWAVTags& tags) {
  Pairs pairs;
  for (size_t i = 0; i < tags.ChunkIDs.size(); ++i)
    pairs.emplace_back(tags.ChunkIDs[i], tags.ChunkValues[i]);
  return pairs;
}

Pairs ReadPairs(const std::string& bytes) {
  return PairsOf(Read(bytes));
}

class WAVTagsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSystemCodePage(1252); }
  void TearDown() override {
    SetSystemCodePage(1252);
    TWAVTags::SiftNarrowly(false);
  }
};

// ---- Real files --------------------------------------------------------------

TEST_F(WAVTagsTest, ListInfoWrittenByFfmpeg) {
  // INAM without IALB is stored as IALB and then becomes the display title.
  const Pairs utf8 = {{"IART", M("Björk")},  {"ICRD", "1997"}, {"DISP", "Hello"},
                      {"IPRD", "Homogenic"}, {"IGNR", "Rock"}, {"ICMT", "Made by ffmpeg"}};
  TWAVTags own;
  own.ReadFromFile(DataPath("list-info-utf8.wav"), nullptr);
  EXPECT_EQ(PairsOf(own), utf8);
  EXPECT_TRUE(own.TagsRead);
  EXPECT_EQ(own.Format.SampleRate, 8000u);
  EXPECT_EQ(own.Format.Channels, 1);
  EXPECT_EQ(own.FileSize, ReadFile(DataPath("list-info-utf8.wav")).size());
  EXPECT_EQ(ReadPairs(ReadFile(DataPath("list-info-utf8.wav"))), utf8);
  EXPECT_EQ(ReadPairs(ReadFile(DataPath("list-info-ascii.wav"))),
            (Pairs{{"IART", "Plain Artist"}, {"DISP", "Plain Title"}}));

  TWAVTags missing;
  missing.ReadFromFile("/nonexistent/file.wav", nullptr);
  EXPECT_TRUE(missing.ChunkIDs.empty());
}

// ---- LIST/INFO and DISP --------------------------------------------------------

TEST_F(WAVTagsTest, TitleFromInamOrDisp) {
  const std::string list = Info({{"INAM", "Hello"}});
  EXPECT_EQ(ReadPairs(Wav(list + Data())), (Pairs{{"DISP", "Hello"}}));
  // A DISP chunk keeps the title; INAM stays an album.
  EXPECT_EQ(ReadPairs(Wav(Disp("Song") + list + Data())),
            (Pairs{{"DISP", "Song"}, {"IALB", "Hello"}}));
  EXPECT_EQ(ReadPairs(Wav(list + Disp("Song") + Data())),
            (Pairs{{"IALB", "Hello"}, {"DISP", "Song"}}));
  // With an IALB in the list, INAM keeps its id and is the first renamed.
  EXPECT_EQ(ReadPairs(Wav(Info({{"IALB", "Album"}, {"INAM", "Title"}}) + Data())),
            (Pairs{{"DISP", "Title"}, {"IALB", "Album"}}));
  // A DISP chunk with nothing after its clipboard number stores nothing.
  EXPECT_EQ(ReadPairs(Wav(Chunk("DISP", U32LE(1)) + list + Data())), (Pairs{{"DISP", "Hello"}}));
  // The DISP text is kept as it is: not cut at 0x00, not trimmed.
  const std::string raw(" Song\0x", 7);
  EXPECT_EQ(ReadPairs(Wav(Disp(raw) + Data())), (Pairs{{"DISP", raw}}));
}

TEST_F(WAVTagsTest, InfoLookup) {
  // Text is cut at 0x00 and trimmed; an empty text stores nothing.
  EXPECT_EQ(ReadPairs(Wav(Info({{"IART", std::string("  Art \0junk", 11)}, {"IGNR", "   "}}))),
            (Pairs{{"IART", "Art"}}));
  // ICMT may hold 2047 bytes, every other id 255.
  const std::string long300(300, 'c');
  EXPECT_EQ(ReadPairs(Wav(Info({{"ICMT", long300}, {"IART", long300}}))),
            (Pairs{{"ICMT", long300}}));
  // The sizes count the terminator: 255 bytes hold 254 characters.
  EXPECT_EQ(ReadPairs(Wav(Info({{"IART", std::string(254, 'a')}}))).size(), 1u);
  EXPECT_TRUE(ReadPairs(Wav(Info({{"IART", std::string(255, 'a')}}))).empty());
  // The lower-case form "tart" stands for IART.
  EXPECT_EQ(ReadPairs(Wav(Info({{"tart", "Low"}}))), (Pairs{{"IART", "Low"}}));
  // Ids are stored in the lookup order, not the file order.
  EXPECT_EQ(ReadPairs(Wav(Info({{"IGNR", "Rock"}, {"ITTL", "T"}, {"IART", "A"}}))),
            (Pairs{{"ITTL", "T"}, {"IART", "A"}, {"IGNR", "Rock"}}));
  // A sub-chunk size past the end of the list takes what the list holds; an
  // id at the very end without a size stores nothing.
  std::string cut = Chunk("LIST", "INFOIART" + U32LE(200) + "Cut");
  EXPECT_EQ(ReadPairs(Wav(cut)), (Pairs{{"IART", "Cut"}}));
  EXPECT_TRUE(ReadPairs(Wav(Chunk("LIST", "INFOIAR IART"))).empty());
}

// An id is taken where its bytes first stand in the list, inside another
// text too; its lower-case form only when the id stands nowhere. The same
// holds far into a large list (a long comment), up to the 64 KiB an id's
// place is looked for in.
TEST_F(WAVTagsTest, EachIdIsTakenWhereItFirstStands) {
  const std::string words = " tart IALBx Bar " + std::string(65000, 'I') + "t";
  // After "INFO" and the ICMT header: IGNR stands at place 65534, tnam at 65548.
  const std::string beyond = std::string(TWAVTags::kInfoLookupBytes - 4 - 8 - 2, 'I');
  struct Case {
    std::string list;
    Pairs want;
  };
  const std::vector<Case> cases = {
      // "IART" inside the comment comes first: the next four bytes are its size.
      {Chunk("LIST", "INFOICMT" + U32LE(14) + "xIART" + U32LE(2) + "Q\0\0\0\0" +
                         Chunk("IART", std::string("Real\0", 5))),
       {{"IART", "QI"}, {"ICMT", "xIART"}}},
      // The lower-case form before the upper-case one: the upper-case wins.
      {Chunk("LIST", "INFO" + Chunk("tart", std::string("Low\0", 4)) +
                         Chunk("IART", std::string("Up\0", 3))),
       {{"IART", "Up"}}},
      // Far into a large list ("tart" there has no sane size; "tnam" is the title).
      {Chunk("LIST", "INFO" + Chunk("ICMT", words) + Chunk("IGNR", std::string("Jazz\0", 5)) +
                         Chunk("tnam", std::string("Song\0", 5))),
       {{"DISP", "Song"}, {"IGNR", "Jazz"}}},
      // An id among the last places looked at, and one past them.
      {Chunk("LIST", "INFO" + Chunk("ICMT", beyond) + Chunk("IGNR", std::string("Jazz\0", 5)) +
                         Chunk("tnam", std::string("Song\0", 5))),
       {{"IGNR", "Jazz"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadPairs(Wav(c.list)), c.want);
}

// The lookup compares many places at once (two vectors a step, up to 64
// bytes): an id is found at every place of lists of every size over two such
// steps and the rest, up to the very end, and only there.
TEST_F(WAVTagsTest, IdsAreFoundAtEveryPlaceOfListsOfEverySize) {
  for (bool narrow : {false, true}) {
    TWAVTags::SiftNarrowly(narrow);
    for (size_t before = 0; before < 140; ++before) {
      for (size_t after = 0; after < 3; ++after) {
        const std::string sub = "tart" + U32LE(2) + "Q" + std::string(after, '\0');
        const std::string list = Chunk("LIST", "INFO" + std::string(before, 'x') + sub);
        EXPECT_EQ(ReadPairs(Wav(list)), (Pairs{{"IART", "Q"}})) << before << " " << after;
      }
      const std::string cut = "INFO" + std::string(before, 't') + "tar";
      EXPECT_TRUE(ReadPairs(Wav(Chunk("LIST", cut) + Data())).empty()) << before;
    }
  }
}

// Where one step of the sifting holds several places that may begin an id,
// the first is taken first: of an id written twice, the first stands, at
// every place and beside fillers the sifting passes over or stops at.
TEST_F(WAVTagsTest, OfTwoPlacesOfAnIdInOneStepTheFirstStands) {
  const std::string twice =
      "tart" + U32LE(2) + std::string("Q\0", 2) + "tart" + U32LE(2) + std::string("R\0", 2);
  for (const std::string filler : {"x", "ta", "It", "IA"}) {
    for (bool narrow : {false, true}) {
      TWAVTags::SiftNarrowly(narrow);
      for (size_t before = 0; before < 140; ++before) {
        std::string lead;
        while (lead.size() < before) lead += filler;
        lead.resize(before);
        const std::string list = Chunk("LIST", "INFO" + lead + twice);
        EXPECT_EQ(ReadPairs(Wav(list)), (Pairs{{"IART", "Q"}})) << filler << " " << before;
      }
    }
  }
}

// A reader that wants a few ids only (those a file's name is made of) finds
// each where the whole lookup finds it: among ids of both forms written as
// sub-chunks and standing inside other texts, in lists of random bytes drawn
// from the letters the ids are made of.
TEST_F(WAVTagsTest, AFewWantedIdsAreFoundWhereTheWholeLookupFindsThem) {
  static const std::set<std::string> kNamed = {"DISP", "ITTL", "IART", "IGRE", "IGNR"};
  const std::set<std::string> kKept = {"DISP", "ITTL", "IART", "IGRE", "IGNR", "INAM", "IALB"};
  const std::vector<std::string> ids = {"ITTL", "IART", "INAM", "IALB", "IGNR", "IGRE",
                                        "ICMT", "IPRD", "BCPR", "tart", "tnam", "talb",
                                        "tgnr", "tttl", "ttrk", "tcmt", "IAAR", "taar"};
  const std::string letters = "ItBTARNLGamnlgrtb ";
  std::mt19937 random(7);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 800; ++round) {
    TWAVTags::SiftNarrowly(round % 2 == 1);
    std::string body = "INFO";
    const size_t parts = 1 + pick(8);
    for (size_t part = 0; part < parts; ++part) {
      std::string text;
      for (size_t n = pick(40); n > 0; --n) text += letters[pick(letters.size())];
      if (pick(3) == 0) text.insert(pick(text.size() + 1), ids[pick(ids.size())]);
      body += Chunk(ids[pick(ids.size())], text + '\0');
    }
    TWAVTags named;
    named.Wanted = [](std::string_view id) { return kNamed.count(std::string(id)) > 0; };
    TMemoryStream stream(Wav(Chunk("LIST", body)));
    named.ReadFromFile("memory.wav", &stream);
    Pairs want;
    for (const auto& pair : ReadPairs(Wav(Chunk("LIST", body))))
      if (kKept.count(pair.first) > 0) want.push_back(pair);
    ASSERT_EQ(PairsOf(named), want) << body;
  }
}

TEST_F(WAVTagsTest, TextIsUTF8WhenValidElseCodePage) {
  // Both end as the same marked UTF-8.
  EXPECT_EQ(ReadPairs(Wav(Info({{"IART", "Bj\xC3\xB6rk"}}))), (Pairs{{"IART", M("Björk")}}));
  EXPECT_EQ(ReadPairs(Wav(Info({{"IART", "Bj\xF6rk"}}))), (Pairs{{"IART", M("Björk")}}));
  EXPECT_EQ(ReadPairs(Wav(Disp("Caf\xC3\xA9"))), (Pairs{{"DISP", M("Café")}}));
  SetSystemCodePage(1251);
  EXPECT_EQ(ReadPairs(Wav(Info({{"IART", "\xC1\xFF"}}))), (Pairs{{"IART", M("Бя")}}));
}

// ---- cart and scot -------------------------------------------------------------

TEST_F(WAVTagsTest, CartFieldsAndPostTimers) {
  TCart cart("0101");
  cart.Put(4, "Title").Put(132, "Cut").Put(196, "Client").Put(260, "Category").Put(388, "Out");
  cart.Put(452, "2015/06/30").Put(462, "12:00:00").Put(470, "2016/01/01").Put(480, "13:00:00");
  cart.Put(488, "Station").Put(616, "User").Put(1024, "http://x");
  cart.Timer(0, "AUDs", 44100).Timer(1, "MRK ", 5).Timer(2, "SEGs", 88200);
  cart.Timer(3, "OUTs", 441).Timer(4, "INTe", 22050);
  TWAVTags tags = Read(Wav(cart.Chunk() + Data()));
  // The artist is empty, so the producer id stands in.
  EXPECT_EQ(PairsOf(tags), (Pairs{{"DISP", "Title"},
                                  {"IART", "Station"},
                                  {"ITRK", "Cut"},
                                  {"CLNT", "Client"},
                                  {"ISRC", "Category"},
                                  {"INAM", "Out"},
                                  {"SDAT", "2015/06/30"},
                                  {"STIM", "12:00:00"},
                                  {"EDAT", "2016/01/01"},
                                  {"ETIM", "13:00:00"},
                                  {"ICMT", "User"},
                                  {"IURL", "http://x"},
                                  {"Cue", "1000"},
                                  {"IMED", "2000"},
                                  {"Outro", "10"},
                                  {"ISRF", "500"}}));
  EXPECT_TRUE(tags.TagsRead);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(tags.CartData.data()) + 4, 5), "Title");

  cart.Put(68, "Artist");
  EXPECT_EQ(ReadPairs(Wav(cart.Chunk() + Data())).at(1),
            (std::pair<std::string, std::string>{"IART", "Artist"}));
}

TEST_F(WAVTagsTest, CartVersionRules) {
  auto cart = [](std::string_view version) {
    TCart c(version);
    c.Put(4, "T").Put(1024, "http://u");
    return c;
  };
  // Version 1.00 has no URL; 1.01 has.
  TWAVTags v100 = Read(Wav(cart("0100").Chunk() + Data()));
  EXPECT_EQ(PairsOf(v100), (Pairs{{"DISP", "T"}}));
  EXPECT_EQ(v100.CartData[1024], 0);
  EXPECT_EQ(ReadPairs(Wav(cart("0101").Chunk() + Data())),
            (Pairs{{"DISP", "T"}, {"IURL", "http://u"}}));
  // Another major version ends the walk without storing.
  TWAVTags v2 = Read(Wav(cart("0200").Chunk() + Info({{"IART", "A"}}) + Data()));
  EXPECT_TRUE(v2.ChunkIDs.empty());
  EXPECT_FALSE(v2.TagsRead);
  // Without a version only the usual sizes count; 1024 bytes hold no URL.
  EXPECT_EQ(ReadPairs(Wav(cart(std::string(4, '\0')).Chunk(1024) + Data())),
            (Pairs{{"DISP", "T"}}));
  EXPECT_EQ(ReadPairs(Wav(cart(std::string(4, '\0')).Chunk(1026) + Data())),
            (Pairs{{"DISP", "T"}}));
  // Any other size stops the reading altogether: the list read before keeps
  // INAM as IALB (no renaming step).
  const std::string list = Info({{"INAM", "Hello"}});
  EXPECT_EQ(ReadPairs(Wav(list + cart(std::string(4, '\0')).Chunk(1500) + Data())),
            (Pairs{{"IALB", "Hello"}}));
  // Below 1024 bytes, or past the end, the walk is left (renaming step done).
  EXPECT_EQ(ReadPairs(Wav(list + cart("0101").Chunk(1000) + Data())), (Pairs{{"DISP", "Hello"}}));
  // The cart chunk needs 10 bytes after it: as the last chunk it is not read.
  EXPECT_EQ(ReadPairs(Wav(list + cart("0101").Chunk())), (Pairs{{"DISP", "Hello"}}));
}

TEST_F(WAVTagsTest, PostTimerWithoutSampleRateEndsTheReading) {
  TCart cart("0101");
  cart.Put(4, "Title").Timer(0, "MRK ", 1).Timer(1, "AUDs", 100).Timer(2, "OUTs", 100);
  TWAVTags tags = Read(Wav(Info({{"INAM", "Hello"}}) + cart.Chunk() + Data(), Fmt(0, 8000)));
  EXPECT_EQ(PairsOf(tags), (Pairs{{"IALB", "Hello"}, {"DISP", "Title"}}));
}

TEST_F(WAVTagsTest, ScotFields) {
  TWAVTags tags = Read(Wav(Scot("Title", "Artist", "Note", "12", "1998") + Data()));
  EXPECT_EQ(PairsOf(tags), (Pairs{{"DISP", "Title"},
                                  {"IART", "Artist"},
                                  {"IYER", "1998"},
                                  {"ISRF", "12000"},
                                  {"ICMT", "Note"}}));
  EXPECT_TRUE(tags.TagsRead);
  // Empty fields are skipped; an intro that is not a number counts 0.
  EXPECT_EQ(ReadPairs(Wav(Scot("T", "", "", "x", "") + Data())),
            (Pairs{{"DISP", "T"}, {"ISRF", "0"}}));
  // Larger than 512 bytes: nothing, and the walk ends.
  std::string big = Chunk("scot", std::string(600, 'x'));
  EXPECT_TRUE(ReadPairs(Wav(big + Info({{"IART", "A"}}) + Data())).empty());
  // As the last chunk it is not read either; one shorter than 350 bytes near
  // the end keeps zeros where the file ends.
  EXPECT_TRUE(ReadPairs(Wav(Scot("T", "", "", "", ""))).empty());
  std::string small = Chunk("scot", std::string(4, '\0') + "Tiny" + std::string(4, '\0'));
  EXPECT_EQ(ReadPairs(Wav(small + Data(2))), (Pairs{{"DISP", "Tiny"}}));
}

// ---- The walk --------------------------------------------------------------------

TEST_F(WAVTagsTest, WalkOrder) {
  const std::string a = Info({{"IART", "A"}}), b = Info({{"ITTL", "B"}}), c = Info({{"IGNR", "C"}});
  // Two lists are read; the walk ends after the second.
  EXPECT_EQ(ReadPairs(Wav(a + b + c)), (Pairs{{"IART", "A"}, {"ITTL", "B"}}));
  // A cart chunk ends the walk.
  TCart cart("0101");
  cart.Put(4, "T");
  EXPECT_EQ(ReadPairs(Wav(cart.Chunk() + a + Data())), (Pairs{{"DISP", "T"}}));
  // An odd-sized chunk followed by its pad byte.
  EXPECT_EQ(ReadPairs(Wav(Data(33) + a)), (Pairs{{"IART", "A"}}));
  EXPECT_EQ(ReadPairs(Wav(Chunk("junk", "123") + Disp("odd") + a)),
            (Pairs{{"DISP", "odd"}, {"IART", "A"}}));
  // A list before the format chunk is skipped while looking for it.
  EXPECT_EQ(ReadPairs(Wav(b + Fmt() + a, "")), (Pairs{{"IART", "A"}}));
  // A chunk that runs past the end, or claims 0 bytes, ends the walk.
  EXPECT_EQ(ReadPairs(Wav(a + "junk" + U32LE(0xFFFFFFF0) + b)), (Pairs{{"IART", "A"}}));
  EXPECT_EQ(ReadPairs(Wav(a + "junk" + U32LE(0) + Filler(8) + b)), (Pairs{{"IART", "A"}}));
  // A skip that lands on "INFO" steps back to its LIST header.
  std::string skipToInfo = Chunk("junk", "1234");
  skipToInfo.replace(4, 4, U32LE(4 + 8));
  EXPECT_EQ(ReadPairs(Wav(skipToInfo + a)), (Pairs{{"IART", "A"}}));
}

// Before the format chunk too, an odd-sized chunk's pad byte is stepped
// over: the format chunk after it is found and the tags are read (the
// stream information reader walks the same chunks).
TEST_F(WAVTagsTest, PadByteBeforeTheFormatChunk) {
  const std::string list = Info({{"IART", "A"}});
  for (const std::string& before : {Chunk("junk", "123"), Chunk("bext", std::string(601, 'b')),
                                    Chunk("junk", "1") + Chunk("JUNK", "12345")}) {
    TWAVTags tags = Read(Wav(list + Data(), before + Fmt(8000, 16000)));
    EXPECT_EQ(PairsOf(tags), (Pairs{{"IART", "A"}})) << before.size();
    EXPECT_EQ(tags.Format.SampleRate, 8000u);
    EXPECT_EQ(tags.Format.BytesPerSecond, 16000u);
  }
  // A file cut inside the extra size keeps the record it read.
  const std::string fmt18 =
      Chunk("fmt ", U16LE(1) + U16LE(1) + U32LE(8000) + U32LE(16000) + U16LE(2) + U16LE(16) + "xx");
  std::string cut = Wav(list, Chunk("junk", std::string(10, 'j')) + fmt18);
  cut.resize(12 + 18 + 8 + 16 + 1);
  TWAVTags tags = Read(cut);
  EXPECT_TRUE(tags.ChunkIDs.empty());
  EXPECT_EQ(tags.Format.SampleRate, 8000u);
}

TEST_F(WAVTagsTest, FilesThatAreNotReadable) {
  const std::string list = Info({{"IART", "A"}});
  EXPECT_EQ(ReadPairs(Wav(list)).size(), 1u);
  std::string notRiff = Wav(list);
  notRiff[0] = 'X';
  std::string notWave = Wav(list);
  notWave[8] = 'X';
  for (const std::string& file :
       {notRiff, notWave, Wav(list, Chunk("fmt ", Filler(14, '\x01'))), Wav(list, Fmt(8000, 0)),
        Wav(list).substr(0, 43), Wav(list, "")}) {
    TWAVTags tags = Read(file);
    EXPECT_TRUE(tags.ChunkIDs.empty());
    EXPECT_FALSE(tags.TagsRead);
  }
}

TEST_F(WAVTagsTest, AReaderUsedTwiceForgetsTheFirstFile) {
  TCart cart("0101");
  cart.Put(4, "T").Put(1024, "http://first");
  TMemoryStream first(Wav(cart.Chunk() + Data()));
  TMemoryStream second(Wav(TCart(std::string(4, '\0')).Put(4, "U").Chunk(1024) + Data()));
  TWAVTags tags;
  tags.ReadFromFile("first.wav", &first);
  tags.ReadFromFile("second.wav", &second);
  EXPECT_EQ(PairsOf(tags), (Pairs{{"DISP", "U"}}));
}

// Every prefix of hand-built files with cart, scot, DISP and lists, and each
// 32-bit field in turn replaced by a lie (the fixtures get the same in the
// ID3 reader's tests).
TEST_F(WAVTagsTest, DamagedChunksEndTheReadWithoutHarm) {
  TCart cart("0101");
  cart.Put(4, "T").Timer(0, "AUDs", 1).Put(1024, "u");
  for (const std::string& file :
       {Wav(Disp("D") + Data(31) + Info({{"IART", "A"}, {"ICMT", "C"}}) + cart.Chunk() + Data()),
        Wav(Info({{"INAM", "N"}}) + Scot("T", "A", "N", "12", "1999") + Data())}) {
    for (size_t n = 0; n <= file.size(); ++n) Read(file.substr(0, n));
    for (size_t at = 0; at + 4 <= file.size(); ++at) {
      if (at > 200 && at % 16 != 0) continue;  // the long cart body: sampled
      for (uint32_t lie : {0xFFFFFFFFu, 0x80000000u, 0u, 1u}) {
        std::string patched = file;
        patched.replace(at, 4, U32LE(lie));
        TWAVTags tags = Read(patched);
        EXPECT_EQ(tags.ChunkIDs.size(), tags.ChunkValues.size());
      }
    }
  }
}

// ---- Through the command-line tool -------------------------------------------------

TEST_F(WAVTagsTest, TheCliRenamesAndMovesWavFilesByTheirChunks) {
  test::TempDir dir;
  std::filesystem::copy_file(DataPath("list-info-utf8.wav"), dir / "a.wav");
  std::filesystem::copy_file(DataPath("list-info-ascii.wav"), dir / "b.WAV");
  TCart cart("0101");
  cart.Put(4, "Cart Title").Put(488, "Station").Timer(0, "AUDs", 1);
  test::WriteFile(dir / "c.wav", Wav(cart.Chunk() + Data()));
  test::WriteFile(dir / "d.wav", Wav(Scot("Scot Title", "Scot Artist", "", "", "") + Data()));
  // (Files below 160 bytes are not read at all.)
  test::WriteFile(dir / "e.wav",
                  Wav(Info({{"IART", "Bj\xF6rk"}, {"INAM", "Code Page"}}) + Data(200)));
  test::WriteFile(dir / "f.wav", Wav(Data()));

  test::CliResult result = test::RunCli({"rename", "--rename", dir.Path().string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_NE(result.Out.find("5 files moved and/or renamed"), std::string::npos) << result.Out;
  for (const char* name :
       {"Björk - Hello.wav", "Plain Artist - Plain Title.wav", "Station - Cart Title.wav",
        "Scot Artist - Scot Title.wav", "Björk - Code Page.wav", "f.wav"})
    EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;

  test::TempDir source, dest;
  std::filesystem::copy_file(DataPath("list-info-utf8.wav"), source / "a.wav");
  result = test::RunCli(
      {"rename", "--copy", "--rename", "--dest", dest.Path().string(), source.Path().string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_TRUE(std::filesystem::exists(dest / "Rock/Björk - Hello.wav"));
  EXPECT_TRUE(std::filesystem::exists(source / "a.wav"));
}

}  // namespace
}  // namespace dov
