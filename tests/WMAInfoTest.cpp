#include "tags/WMAInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <map>

#include "TestSupport.h"
#include "common/CodePage.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using namespace dov::test;
using namespace std::string_literals;

const std::string kMono = "wmav2-mono-22k-tags.wma";
const std::string kStereo = "wmav2-stereo-44k-lowercase-names-long-title.wma";

// GUIDs as the file stores them (first three groups little-endian).
const std::string kHeaderGuid = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"s;
const std::string kFilePropertiesGuid =
    "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65"s;
const std::string kStreamPropertiesGuid =
    "\x91\x07\xDC\xB7\xB7\xA9\xCF\x11\x8E\xE6\x00\xC0\x0C\x20\x53\x65"s;
const std::string kContentDescriptionGuid =
    "\x33\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"s;
const std::string kExtendedContentGuid =
    "\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xA0\xC9\x5E\xA8\x50"s;
// The data object, which follows the header object.
const std::string kDataGuid = "\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"s;

using test::U64LE;
std::string Object(const std::string& guid, std::string_view body) {
  return guid + U64LE(24 + body.size()) + std::string(body);
}
std::string FileProperties(uint32_t maxBitRate) {
  return Object(kFilePropertiesGuid, Filler(76) + U32LE(maxBitRate));
}
// A stream properties object whose type-specific data is a wave format.
std::string StreamProperties(uint16_t channels, uint32_t rate, uint32_t bytesPerSecond) {
  return Object(kStreamPropertiesGuid, Filler(54) + U16LE(0x161) + U16LE(channels) + U32LE(rate) +
                                           U32LE(bytesPerSecond) + U16LE(2048) + U16LE(16) +
                                           U16LE(0));
}
// UTF-16LE with a terminating zero.
std::string Wide(std::u16string_view s) {
  std::string bytes;
  for (char16_t c : s) bytes += U16LE(c);
  return bytes + U16LE(0);
}
std::string ContentDescription(std::u16string_view title, std::u16string_view author,
                               std::u16string_view description = u"") {
  const std::string strings[] = {Wide(title), Wide(author), Wide(u"(c)"), Wide(description), ""};
  std::string body;
  for (const std::string& s : strings) body += U16LE(static_cast<uint16_t>(s.size()));
  for (const std::string& s : strings) body += s;
  return Object(kContentDescriptionGuid, body);
}
std::string Descriptor(std::u16string_view name, std::string_view value, uint16_t type = 0) {
  const std::string n = Wide(name);
  return U16LE(static_cast<uint16_t>(n.size())) + n + U16LE(type) +
         U16LE(static_cast<uint16_t>(value.size())) + std::string(value);
}
std::string Attribute(std::u16string_view name, std::u16string_view value) {
  return Descriptor(name, Wide(value));
}
std::string ExtendedContent(const std::vector<std::string>& descriptors, int count = -1) {
  std::string body = U16LE(static_cast<uint16_t>(count < 0 ? descriptors.size() : count));
  for (const std::string& d : descriptors) body += d;
  return Object(kExtendedContentGuid, body);
}
// A header object holding the objects, then a small data object.
std::string Asf(const std::vector<std::string>& objects, int64_t count = -1) {
  std::string body;
  for (const std::string& o : objects) body += o;
  return kHeaderGuid + U64LE(30 + body.size()) +
         U32LE(static_cast<uint32_t>(count < 0 ? objects.size() : count)) + "\x01\x02" + body +
         Object(kDataGuid, Filler(50, '\x55'));
}
// Plausible audio: mono, 44.1 kHz, 64 kbit/s.
std::vector<std::string> Audio(std::vector<std::string> more = {}) {
  more.insert(more.begin(), {FileProperties(64000), StreamProperties(1, 44100, 8000)});
  return more;
}

TWMAfile Read(std::string bytes, bool* result = nullptr) {
  TMemoryStream stream(std::move(bytes));
  TWMAfile wma;
  bool ok = wma.ReadFromFile("", &stream);
  if (result != nullptr) *result = ok;
  return wma;
}

// ---- Real files ---------------------------------------------------------------

TEST(WMAFixtures, MonoFileWithTheCommonAttributes) {
  bool ok = false;
  TWMAfile wma = Read(ReadFile(DataPath(kMono)), &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(wma.Valid);
  EXPECT_EQ(wma.Channels, 1);
  EXPECT_EQ(wma.SampleRate, 22050);
  EXPECT_EQ(wma.BitRate, 32);
  EXPECT_EQ(wma.FileSize, static_cast<int64_t>(fs::file_size(DataPath(kMono))));
  EXPECT_GT(wma.Duration, 0);
  EXPECT_EQ(wma.Title, u"WMA Mono Song");
  EXPECT_EQ(wma.Artist, u"WMA Artist");
  EXPECT_EQ(wma.Comment, u"WMA description");
  EXPECT_EQ(wma.Album, u"WMA Album");
  EXPECT_EQ(wma.AlbumArtist, u"WMA Album Artist");
  EXPECT_EQ(wma.Year, u"2009");
  EXPECT_EQ(wma.Genre, u"Blues");
  EXPECT_EQ(wma.Track, 7);
  EXPECT_EQ(wma.Composer, u"WMA Composer");
  EXPECT_EQ(wma.BeatsPerMinute, 128);
  EXPECT_EQ(wma.Mood, u"Calm");
  EXPECT_EQ(wma.ReplayGainTrackGain, u"-3.21 dB");
  EXPECT_EQ(wma.Publisher, u"");

  // The same read from the file by its name.
  TWMAfile byName;
  EXPECT_TRUE(byName.ReadFromFile(DataPath(kMono), nullptr));
  EXPECT_EQ(byName.Title, wma.Title);
  EXPECT_FALSE(byName.ReadFromFile(DataPath("no-such-file.wma"), nullptr));
  EXPECT_EQ(byName.Title, u"");
}

TEST(WMAFixtures, StereoFileWithLowerCaseNamesAndALongTitle) {
  TWMAfile wma = Read(ReadFile(DataPath(kStereo)));
  ASSERT_TRUE(wma.Valid);
  EXPECT_EQ(wma.Channels, 2);
  EXPECT_EQ(wma.SampleRate, 44100);
  // 1500 characters are cut to 1024, and the author after them is read whole.
  ASSERT_EQ(wma.Title.size(), TWMAfile::kMaxStringUnits);
  EXPECT_EQ(wma.Title.substr(0, 22), u"Long title Long title ");
  EXPECT_EQ(wma.Artist, u"Stereo Artist");
  EXPECT_EQ(wma.Genre, u"Lowercase Genre");
  EXPECT_EQ(wma.Album, u"Lowercase Album");
  // "WM/TrackNumber" is a DWORD and not seen; the zero-based "wm/track" 5 gives 6.
  EXPECT_EQ(wma.Track, 6);
}

// ---- The plausibility test --------------------------------------------------

TEST(WMAPlausibility, OnlyMonoOrStereoAudioAtUsualRatesGetsFields) {
  struct {
    uint32_t maxBitRate;
    uint16_t channels;
    uint32_t rate, bytesPerSecond;
    bool valid;
  } cases[] = {
      {64000, 1, 44100, 8000, true},     {64000, 2, 8000, 1, true},
      {1599999, 2, 96000, 144000, true}, {0, 1, 44100, 8000, false},
      {1600000, 1, 44100, 8000, false},  {64000, 0, 44100, 8000, false},
      {64000, 6, 44100, 8000, false},    {64000, 258, 44100, 8000, false},
      {64000, 1, 7999, 8000, false},     {64000, 1, 96001, 8000, false},
      {64000, 1, 44100, 0, false},       {64000, 1, 44100, 144001, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.maxBitRate << " bit/s, " << c.channels << " channels, "
                                      << c.rate << " Hz, " << c.bytesPerSecond << " bytes/s");
    bool ok = false;
    TWMAfile wma = Read(
        Asf({FileProperties(c.maxBitRate), StreamProperties(c.channels, c.rate, c.bytesPerSecond),
             ContentDescription(u"Song", u"Artist")}),
        &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(wma.Valid, c.valid);
    EXPECT_EQ(wma.Title, c.valid ? u"Song" : u"");
    EXPECT_EQ(wma.Channels, c.valid ? c.channels : 0);
  }
  TWMAfile wma = Read(Asf(Audio()));
  EXPECT_EQ(wma.BitRate, 64);
  EXPECT_DOUBLE_EQ(wma.Duration, static_cast<double>(wma.FileSize) * 8 / 64000);
}

TEST(WMAPlausibility, TheLastStreamPropertiesObjectCounts) {
  // A video stream's type-specific data is no wave format.
  const std::string video =
      Object(kStreamPropertiesGuid, Filler(54) + U32LE(320) + U32LE(240) + Filler(40, '\x7F'));
  const std::string audio = StreamProperties(2, 44100, 16000);
  const std::string title = ContentDescription(u"Song", u"Artist");
  EXPECT_FALSE(Read(Asf({FileProperties(128000), audio, video, title})).Valid);
  EXPECT_TRUE(Read(Asf({FileProperties(128000), video, audio, title})).Valid);
  // A last stream object too short to hold a wave format counts as not audio.
  EXPECT_FALSE(
      Read(Asf({FileProperties(128000), audio, Object(kStreamPropertiesGuid, Filler(60)), title}))
          .Valid);
}

// ---- Attributes ---------------------------------------------------------------

TEST(WMAAttributes, TrackNumbers) {
  auto track = [](std::vector<std::string> attributes) {
    return Read(Asf(Audio({ExtendedContent(attributes)}))).Track;
  };
  EXPECT_EQ(track({Attribute(u"WM/TrackNumber", u"7")}), 7);
  EXPECT_EQ(track({Attribute(u"WM/Track", u"6")}), 7);
  EXPECT_EQ(track({Attribute(u"WM/Track", u"0")}), 1);
  EXPECT_EQ(track({Attribute(u"WM/TrackNumber", u"3"), Attribute(u"WM/Track", u"6")}), 3);
  EXPECT_EQ(track({Attribute(u"WM/TrackNumber", u"x"), Attribute(u"WM/Track", u"6")}), 7);
  EXPECT_EQ(track({Attribute(u"WM/Track", u"six")}), 0);
  EXPECT_EQ(track({Attribute(u"WM/TrackNumber", u" 12 ")}), 12);
  EXPECT_EQ(track({Attribute(u"WM/TrackNumber", u"1/12")}), 0);
  EXPECT_EQ(track({Attribute(u"WM/Track", u"2147483647")}), 0);
  EXPECT_EQ(track({Attribute(u"WM/TrackNumber", u"99999999999")}), 0);
  EXPECT_EQ(track({}), 0);
}

TEST(WMAAttributes, BeatsPerMinuteKeepsTheLowEightBits) {
  auto bpm = [](std::u16string_view value) {
    return Read(Asf(Audio({ExtendedContent({Attribute(u"WM/BeatsPerMinute", value)})})))
        .BeatsPerMinute;
  };
  EXPECT_EQ(bpm(u"128"), 128);
  EXPECT_EQ(bpm(u"300"), 44);
  EXPECT_EQ(bpm(u"120.5"), 0);
  EXPECT_EQ(bpm(u"fast"), 0);
}

TEST(WMAAttributes, NamesAreComparedTrimmedAndUpperCased) {
  TWMAfile wma = Read(Asf(Audio({ExtendedContent({
      Attribute(u"wm/genre", u"Lower"),
      Attribute(u"  Wm/Publisher\t", u"Label"),
      Attribute(u"WM/Genre2", u"not a slot"),
      Attribute(u"WM/ISRC", u"\u0001 US-ABC-01-23456 \u0000"),
      Attribute(u"WM/Text", u"Text"),
      Attribute(u"WM/AlbumCoverURL", u"http://a"),
      Attribute(u"WM/UserWebURL", u"http://b"),
      Attribute(u"WM/Conductor", u"Conductor"),
      Attribute(u"WM/Category", u"Category"),
      Attribute(u"replaygain_track_gain", u"+1.00 dB"),
  })})));
  EXPECT_EQ(wma.Genre, u"Lower");
  EXPECT_EQ(wma.Publisher, u"Label");
  EXPECT_EQ(wma.ISRC, u"US-ABC-01-23456");
  EXPECT_EQ(wma.Text, u"Text");
  EXPECT_EQ(wma.AlbumCoverURL, u"http://a");
  EXPECT_EQ(wma.UserWebURL, u"http://b");
  EXPECT_EQ(wma.Conductor, u"Conductor");
  EXPECT_EQ(wma.Category, u"Category");
  EXPECT_EQ(wma.ReplayGainTrackGain, u"+1.00 dB");
}

TEST(WMAAttributes, OnlyStringValuesAreReadAndTheWalkGoesOnPastOthers) {
  TWMAfile wma = Read(Asf(Audio({ExtendedContent({
      Descriptor(u"WM/TrackNumber", U32LE(9), 3),         // DWORD
      Descriptor(u"WM/Picture", Filler(300, '\xFF'), 1),  // bytes
      Descriptor(u"WM/Genre", U16LE(1), 2),               // BOOL
      Attribute(u"WM/AlbumTitle", u"Album"),
  })})));
  EXPECT_EQ(wma.Track, 0);
  EXPECT_EQ(wma.Genre, u"");
  EXPECT_EQ(wma.Album, u"Album");
}

TEST(WMAAttributes, LaterValuesWinAndTheContentDescriptionSharesItsSlots) {
  EXPECT_EQ(Read(Asf(Audio({ExtendedContent(
                     {Attribute(u"WM/Genre", u"First"), Attribute(u"WM/GENRE", u"Second")})})))
                .Genre,
            u"Second");
  const std::string description = ContentDescription(u"Described", u"Author", u"Comment");
  const std::string attributes = ExtendedContent(
      {Attribute(u"WM/Title", u"Attribute"), Attribute(u"WM/Description", u"Attribute comment")});
  TWMAfile wma = Read(Asf(Audio({description, attributes})));
  EXPECT_EQ(wma.Title, u"Attribute");
  EXPECT_EQ(wma.Artist, u"Author");
  EXPECT_EQ(wma.Comment, u"Attribute comment");
  wma = Read(Asf(Audio({attributes, description})));
  EXPECT_EQ(wma.Title, u"Described");
  EXPECT_EQ(wma.Comment, u"Comment");
}

TEST(WMAAttributes, LongAndOddStringsAreCutAndTheWalkContinuesAfterThem) {
  // 3000 bytes of title: 1024 units kept, the rest skipped.
  std::u16string title(1500, u'a');
  title[1023] = u'b';
  title[1024] = u'c';
  // An odd byte length: the last byte is skipped.
  std::string oddValue = Wide(u"Odd") + "\x41";
  std::string odd = U16LE(static_cast<uint16_t>(Wide(u"WM/Mood").size())) + Wide(u"WM/Mood") +
                    U16LE(0) + U16LE(static_cast<uint16_t>(oddValue.size())) + oddValue;
  TWMAfile wma =
      Read(Asf(Audio({ContentDescription(title, u"Author"),
                      ExtendedContent({Attribute(u"WM/Composer", std::u16string(2000, u'z')), odd,
                                       Attribute(u"WM/Year", u"1999")})})));
  ASSERT_EQ(wma.Title.size(), 1024u);
  EXPECT_EQ(wma.Title.back(), u'b');
  EXPECT_EQ(wma.Artist, u"Author");
  EXPECT_EQ(wma.Composer.size(), 1024u);
  EXPECT_EQ(wma.Mood, u"Odd");
  EXPECT_EQ(wma.Year, u"1999");
}

// ---- Files that are not ASF, and lying files -----------------------------------

TEST(WMALyingFiles, NotAsfIsTrueWithoutFieldsAndTooShortIsFalse) {
  bool ok = false;
  TWMAfile wma = Read("RIFF" + Filler(200), &ok);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(wma.Valid);
  Read(Filler(15), &ok);
  EXPECT_FALSE(ok);
  Read(kHeaderGuid + U64LE(1000) + "\3\0", &ok);
  EXPECT_FALSE(ok);
  wma = Read(kHeaderGuid + U64LE(1000) + U32LE(3), &ok);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(wma.Valid);
}

TEST(WMALyingFiles, DeclaredCountsAndSizesEndTheWalkWithWhatWasRead) {
  const std::string title = ContentDescription(u"Song", u"Artist");
  const std::vector<std::string> good = Audio({title});
  // Four billion objects: the walk ends with the header.
  EXPECT_EQ(Read(Asf(good, 0xFFFFFFFF)).Title, u"Song");
  // An object size below its header (0, 23) or past the end ends the walk;
  // the objects before it stay.
  const uint64_t lies[] = {
      0, 1, 23, 1u << 20, 0x100000018ull, std::numeric_limits<uint64_t>::max()};
  for (uint64_t lie : lies) {
    SCOPED_TRACE(lie);
    std::string bad = Object(kContentDescriptionGuid, "");
    bad.replace(16, 8, U64LE(lie));
    bool ok = false;
    // With a count of four billion, an object that does not move the walk on
    // would hang it.
    TWMAfile wma = Read(
        Asf(Audio({title, bad, ExtendedContent({Attribute(u"WM/Genre", u"After")})}), 0xFFFFFFFF),
        &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(wma.Valid);
    EXPECT_EQ(wma.Title, u"Song");
    EXPECT_EQ(wma.Genre, u"");
  }
  // A header size that cannot be right is not used; a header shorter than
  // what it holds ends the walk.
  for (uint64_t lie : {uint64_t{0}, uint64_t{1} << 40, std::numeric_limits<uint64_t>::max()}) {
    std::string bad = Asf(good);
    bad.replace(16, 8, U64LE(lie));
    EXPECT_EQ(Read(bad).Title, u"Song");
  }
  std::string shortHeader = Asf(good);
  shortHeader.replace(16, 8, U64LE(30 + good[0].size() + good[1].size()));
  EXPECT_TRUE(Read(shortHeader).Valid);
  EXPECT_EQ(Read(shortHeader).Title, u"");
}

TEST(WMALyingFiles, LyingLengthsInsideAnObjectEndThatObjectOnly) {
  const std::string after = ContentDescription(u"After", u"Artist");
  // 65535 descriptors declared, two present.
  TWMAfile wma = Read(Asf(Audio(
      {ExtendedContent({Attribute(u"WM/Genre", u"One"), Attribute(u"WM/Year", u"2001")}, 65535),
       after})));
  EXPECT_EQ(wma.Genre, u"One");
  EXPECT_EQ(wma.Year, u"2001");
  EXPECT_EQ(wma.Title, u"After");
  // A name or value longer than the object.
  for (std::string lying :
       {U16LE(60000) + Wide(u"WM/Mood"), Descriptor(u"WM/Mood", "", 0).substr(0, 20) + U16LE(60000),
        Descriptor(u"WM/Mood", "", 1).substr(0, 20) + U16LE(60000)}) {
    wma = Read(Asf(Audio({ExtendedContent({Attribute(u"WM/Genre", u"One"), lying}), after})));
    EXPECT_EQ(wma.Genre, u"One");
    EXPECT_EQ(wma.Mood, u"");
    EXPECT_EQ(wma.Title, u"After");
  }
  // Content description lengths past the object: the strings that fit stay.
  std::string content = ContentDescription(u"Title", u"Author");
  content.replace(24 + 2, 2, U16LE(40000));  // the author's length
  wma = Read(Asf(Audio({content, ExtendedContent({Attribute(u"WM/Genre", u"Next")})})));
  EXPECT_EQ(wma.Title, u"Title");
  EXPECT_EQ(wma.Artist, u"");
  EXPECT_EQ(wma.Genre, u"Next");
  // A file properties object too short to hold the bit rate.
  EXPECT_FALSE(
      Read(Asf({Object(kFilePropertiesGuid, Filler(60)), StreamProperties(1, 44100, 8000)})).Valid);
}

// Every prefix of every WMA and MP4 fixture. A prefix never invents a value:
// a field read from it is the field of the whole file, or empty.
TEST(WMALyingFiles, EveryTruncatedPrefixOfEveryFixtureIsRead) {
  for (const std::string& name :
       {kMono, kStereo, "aac-moov-first-gnre-trkn-tmpo-replaygain.m4a"s}) {
    SCOPED_TRACE(name);
    const std::string bytes = ReadFile(DataPath(name));
    const TWMAfile all = Read(bytes);
    EXPECT_EQ(all.Valid, name != "aac-moov-first-gnre-trkn-tmpo-replaygain.m4a");
    for (size_t length = 0; length < bytes.size(); ++length) {
      const TWMAfile got = Read(bytes.substr(0, length));
      const std::pair<const std::u16string*, const std::u16string*> texts[] = {
          {&got.Title, &all.Title}, {&got.Artist, &all.Artist},   {&got.Album, &all.Album},
          {&got.Genre, &all.Genre}, {&got.Comment, &all.Comment}, {&got.Mood, &all.Mood}};
      bool same = true;
      for (const auto& [part, whole] : texts) same = same && (part->empty() || *part == *whole);
      same = same && (got.Track == 0 || got.Track == all.Track) &&
             (!got.Valid || got.Channels == all.Channels);
      if (!same) {
        ADD_FAILURE() << "a prefix of " << length
                      << " bytes gives a value the whole file does not have";
        break;
      }
    }
  }
}

// ---- End to end ---------------------------------------------------------------

TEST(WMAEndToEnd, RealFilesAreRenamedAndFiledByTheirOwnTags) {
  TempDir lib, dest;
  fs::copy_file(DataPath(kMono), lib / kMono);
  CliResult r = RunCli({"rename", "--rename", lib.Path().string()});
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_TRUE(fs::exists(lib / "WMA Artist - WMA Mono Song.wma")) << r.Out;

  // Lower-case attribute names reach the genre folder.
  fs::copy_file(DataPath(kStereo), lib / kStereo);
  r = RunCli({"rename", "--copy", "--dest", dest.Path().string(), lib.Path().string()});
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_TRUE(fs::exists(dest / ("Lowercase Genre/" + kStereo))) << r.Out;
  EXPECT_TRUE(fs::exists(dest / "Blues/WMA Artist - WMA Mono Song.wma")) << r.Out;

  std::map<std::string, std::string> fields =
      test::CliTagFields(lib / "WMA Artist - WMA Mono Song.wma");
  EXPECT_EQ(fields["Album"], "WMA Album");
  EXPECT_EQ(fields["Album Artist"], "WMA Album Artist");
  EXPECT_EQ(fields["Track"], "7");
  EXPECT_EQ(fields["Year"], "2009");
  EXPECT_EQ(fields["Comment"], "WMA description");
  EXPECT_EQ(fields["BPM"], "128");
  EXPECT_EQ(fields["Mood"], "Calm");
  EXPECT_EQ(fields["REPLAYGAIN_TRACK_GAIN"], "-3.21 dB");
}

}  // namespace
}  // namespace dov
