// The shared routines: byte order, numbers, text, playlist paths, whole-file
// reading, the availability record, and the start-up work behind the platform
// interface, driven through a fake platform.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/Platform.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

// ---- Bits and byte order ------------------------------------------------------

TEST(Bits, HasAllBitsAndIsBitSet) {
  EXPECT_TRUE(HasAllBits(0x0F, 0x05));
  EXPECT_FALSE(HasAllBits(0x0F, 0x30));
  EXPECT_FALSE(HasAllBits(0x0F, 0x18));  // one of two bits is not enough
  EXPECT_TRUE(HasAllBits(0, 0));
  EXPECT_TRUE(IsBitSet(0x80000000u, 31));
  EXPECT_FALSE(IsBitSet(0x7FFFFFFFu, 31));
  EXPECT_TRUE(IsBitSet(1, 0));
  EXPECT_FALSE(IsBitSet(0xFFFFFFFFu, 32));
}

TEST(ByteOrder, SwapsAndSyncSafe) {
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(Swap64(0x0102030405060708ull), 0x0807060504030201ull);
  const unsigned char allSet[] = {0xFF, 0xFF, 0xFF, 0xFF}, low[] = {0, 0, 1, 1},
                      high[] = {0x80, 0x80, 0x80, 0x80};
  EXPECT_EQ(LoadSyncSafe(allSet), 0x0FFFFFFFu);
  EXPECT_EQ(LoadSyncSafe(low), 0x81u);
  EXPECT_EQ(LoadSyncSafe(high), 0u);
}

TEST(AsciiCase, OnlyAsciiLettersChange) {
  EXPECT_EQ(AsciiLowered("AbZ@[`{\xC9"), "abz@[`{\xC9");
  EXPECT_EQ(AsciiUppered("aBz@[`{\xE9"), "ABZ@[`{\xE9");
  EXPECT_TRUE(EqualsIgnoringAsciiCase("Title", "tITLE"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("Title", "Titl"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("\xC9", "\xE9"));
}

TEST(ByteOrder, BigEndianExtended) {
  auto ext = [](std::vector<unsigned char> b) {
    return BigEndianExtended(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  };
  EXPECT_EQ(ext({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}), 44100.0);
  EXPECT_EQ(ext({0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}), 48000.0);
  EXPECT_EQ(ext({0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}), 1.0);
  EXPECT_EQ(ext({0xC0, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}), -2.0);
  EXPECT_EQ(ext({0x3F, 0xFE, 0xC0, 0, 0, 0, 0, 0, 0, 0}), 0.75);
  EXPECT_EQ(ext({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0.0);
  EXPECT_TRUE(std::isinf(ext({0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_TRUE(std::isnan(ext({0x7F, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(ext({0x40, 0x0E, 0xAC}), 0.0);  // too short
  const unsigned char raw[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(BigEndianExtended(raw), 44100.0);
}

// ---- Numbers ----------------------------------------------------------------

TEST(SafeStrToInt, DecimalAndHexadecimal) {
  EXPECT_EQ(SafeStrToInt(" 42 "), 42);
  EXPECT_EQ(SafeStrToInt("\t-7\r\n"), -7);
  EXPECT_EQ(SafeStrToInt("+5"), 5);
  EXPECT_EQ(SafeStrToInt("007"), 7);
  EXPECT_EQ(SafeStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(SafeStrToInt("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(SafeStrToInt("$1F"), 31);
  EXPECT_EQ(SafeStrToInt("$ffffffff"), -1);
  EXPECT_EQ(SafeStrToInt("$00000000001F"), 31);
  EXPECT_EQ(SafeStrToInt("-$10"), -16);
}

TEST(SafeStrToInt, AnythingElseIsZero) {
  for (const char* s : {"4x", "x4", "", "   ", "-", "+", "$", "$g", "1 2", "1.5", "2147483648",
                        "-2147483649", "99999999999999999999", "$100000000", "0x10", "--1"})
    EXPECT_EQ(SafeStrToInt(s), 0) << s;
  int32_t v = 5;
  EXPECT_FALSE(TryStrToInt("x", v));
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(TryStrToInt("0", v));
  EXPECT_EQ(v, 0);
}

TEST(IsNumeric, CompleteFloatingPointNumbersOnly) {
  for (const char* s : {"5", "5.2", " 5.2 ", "-1e3", "+.5", "5.", "1E-2", "0.000", "-0"})
    EXPECT_TRUE(IsNumeric(s)) << s;
  for (const char* s : {"", " ", ".", "5,2", "1,000", "e5", "1e", "1e+", "0x10", "inf", "nan",
                        "5.2s", "1..2", "1.2.3", "\t5", "- 5", "1e400"})
    EXPECT_FALSE(IsNumeric(s)) << s;
}

TEST(TryStrToFloat, ValuesAndTheDecimalSeparator) {
  double v = 0;
  ASSERT_TRUE(TryStrToFloat("180.5", v));
  EXPECT_EQ(v, 180.5);
  ASSERT_TRUE(TryStrToFloat("-1e3", v));
  EXPECT_EQ(v, -1000.0);
  ASSERT_TRUE(TryStrToFloat("1e-400", v));  // below the range: 0
  EXPECT_EQ(v, 0.0);
  EXPECT_FALSE(TryStrToFloat("1" + std::string(400, '0'), v));
  ASSERT_TRUE(TryStrToFloat("0." + std::string(400, '0') + "1", v));
  EXPECT_EQ(v, 0.0);
  TFormatSettings comma;
  comma.DecimalSeparator = ',';
  ASSERT_TRUE(TryStrToFloat("5,25", v, comma));
  EXPECT_EQ(v, 5.25);
  EXPECT_FALSE(TryStrToFloat("5.25", v, comma));
  EXPECT_EQ(DOVFormatSettings.DecimalSeparator, '.');
}

// ---- Text ---------------------------------------------------------------------

TEST(TrimMarked, TrimsBehindTheMarker) {
  EXPECT_EQ(TrimMarked(" \tBjork \n"), "Bjork");
  EXPECT_EQ(TrimMarked("\x7F Bj\xC3\xB6rk "),
            "\x7F"
            "Bj\xC3\xB6rk");
  EXPECT_EQ(TrimMarked("\x7F   "), "");
  EXPECT_EQ(TrimMarked("\x7F"), "");
  EXPECT_EQ(TrimMarked(""), "");
  // High bytes are text, not blanks.
  EXPECT_EQ(TrimMarked("\xA0x\xA0"), "\xA0x\xA0");
}

TEST(DivideAtDashes, OneTwoOrNoSeparators) {
  std::string a = "?", b = "?", c = "keep";
  DivideAtDashes("Artist - Song - Live ", a, b, c);
  EXPECT_EQ(a, "Artist");
  EXPECT_EQ(b, "Song");
  EXPECT_EQ(c, "Live");

  c = "keep";
  DivideAtDashes("Artist - Song ", a, b, c);
  EXPECT_EQ(a, "Artist");
  EXPECT_EQ(b, "Song ");
  EXPECT_EQ(c, "keep");

  DivideAtDashes("Radio-One", a, b, c);
  EXPECT_EQ(a, "");
  EXPECT_EQ(b, "Radio-One");
  EXPECT_EQ(c, "keep");

  DivideAtDashes(" - Song", a, b, c);
  EXPECT_EQ(a, "");
  EXPECT_EQ(b, "Song");
}

TEST(DivideAtDashes, PartsAreCutTo255Bytes) {
  std::string a, b, c;
  DivideAtDashes("A - " + std::string(300, 'x'), a, b, c);
  EXPECT_EQ(b, std::string(255, 'x'));
  // A second separator beyond the first 255 bytes is not seen.
  DivideAtDashes("A - " + std::string(260, 'x') + " - C", a, b, c);
  EXPECT_EQ(b, std::string(255, 'x'));
  EXPECT_EQ(c, "");
  DivideAtDashes("A - B - " + std::string(300, 'y'), a, b, c);
  EXPECT_EQ(c.size(), 255u - 4);  // the 255 bytes after the first separator
}

TEST(ExtractFileTitle, NameWithoutFolderAndExtension) {
  EXPECT_EQ(ExtractFileTitle("/m/Artist - Song.mp3"), "Artist - Song");
  EXPECT_EQ(ExtractFileTitle("/m/a.b.c"), "a.b");
  EXPECT_EQ(ExtractFileTitle("/m.d/name"), "name");
  EXPECT_EQ(ExtractFileTitle("name"), "name");
  EXPECT_EQ(ExtractFileTitle("/m/.hidden"), "");
  EXPECT_EQ(ExtractFileTitle("\x7F/m/Bj\xC3\xB6rk.mp3"),
            "\x7F"
            "Bj\xC3\xB6rk");
  EXPECT_EQ(ExtractFileTitle("\x7F/m\xC3\xB6/abc.mp3"), "abc");
}

// ---- Playlist paths -------------------------------------------------------------

class ResolvePlaylistPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.Path() / "M" / "L" / "sub");
    test::WriteFile(dir / "M/a.mp3", "a");
    test::WriteFile(dir / "M/L/b.mp3", "b");
    test::WriteFile(dir / "M/L/sub/c.mp3", "c");
    playlist = dir / "M/L/list.m3u";
  }
  std::string Resolve(std::string_view entry) { return ResolvePlaylistPath(playlist, entry); }

  test::TempDir dir;
  std::string playlist;
};

TEST_F(ResolvePlaylistPathTest, RelativeEntriesWithEitherSeparator) {
  EXPECT_EQ(Resolve("..\\a.mp3"), dir / "M/a.mp3");
  EXPECT_EQ(Resolve("../a.mp3"), dir / "M/a.mp3");
  EXPECT_EQ(Resolve(".\\b.mp3"), dir / "M/L/b.mp3");
  EXPECT_EQ(Resolve("./b.mp3"), dir / "M/L/b.mp3");
  EXPECT_EQ(Resolve("b.mp3"), dir / "M/L/b.mp3");
  EXPECT_EQ(Resolve("sub\\c.mp3"), dir / "M/L/sub/c.mp3");
}

// On Linux a colon is a name character: only a letter, ':' and a separator
// at the start make a Windows drive path.
TEST_F(ResolvePlaylistPathTest, AColonIsANameCharacter) {
  for (const char* name : {"a:b.mp3", "1:b.mp3", "::b.mp3", "C:"}) {
    test::WriteFile(dir / (std::string("M/L/") + name), "x");
    EXPECT_EQ(Resolve(name), dir / (std::string("M/L/") + name)) << name;
  }
  for (const char* name : {"C:\\b.mp3", "c:/b.mp3", "Z:/M/L/b.mp3"}) EXPECT_EQ(Resolve(name), name);
}

TEST_F(ResolvePlaylistPathTest, LeadingBackslashStartsAtTheRoot) {
  std::string entry = dir / "M/a.mp3";
  for (char& ch : entry)
    if (ch == '/') ch = '\\';
  EXPECT_EQ(Resolve(entry), dir / "M/a.mp3");
}

TEST_F(ResolvePlaylistPathTest, UnchangedEntries) {
  for (const char* entry :
       {"C:\\M\\a.mp3", "\\\\server\\share\\a.mp3", "a", "", "missing.mp3", "..\\missing.mp3",
        "sub",  // a folder is not a file
        "/no/such/file.mp3"})
    EXPECT_EQ(Resolve(entry), entry) << entry;
  // An absolute Linux path is taken as it is, whether it exists or not.
  EXPECT_EQ(Resolve(dir / "M/a.mp3"), dir / "M/a.mp3");
}

TEST_F(ResolvePlaylistPathTest, PlaylistWithoutFolder) {
  // Relative to the current folder, as the playlist itself is.
  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path() / "M" / "L");
  EXPECT_EQ(ResolvePlaylistPath("list.m3u", "b.mp3"), "b.mp3");
  EXPECT_EQ(ResolvePlaylistPath("list.m3u", "..\\a.mp3"), "../a.mp3");
  std::filesystem::current_path(old);
}

// ---- Whole files ----------------------------------------------------------------

TEST(ReadWholeFile, BytesOrAnError) {
  test::TempDir dir;
  std::string bytes("a\0b\r\n\xFF", 6);
  test::WriteFile(dir / "p.m3u", bytes);
  EXPECT_EQ(ReadWholeFile(dir / "p.m3u"), bytes);
  test::WriteFile(dir / "empty.m3u", "");
  EXPECT_EQ(ReadWholeFile(dir / "empty.m3u"), "");
  std::string missing = ReadWholeFile(dir / "missing.m3u");
  EXPECT_EQ(missing.rfind("Error>Cannot open file", 0), 0u) << missing;
  EXPECT_EQ(ReadWholeFile(dir.Path().string()).rfind("Error>", 0), 0u);
}

TEST(ReadWholeFile, AHugeFileIsNotReadWhole) {
  test::TempDir dir;
  std::string path = dir / "huge.m3u";
  test::WriteFile(path, "");
  std::filesystem::resize_file(path, kMaxWholeFileSize + 1);  // sparse
  std::string result = ReadWholeFile(path);
  EXPECT_EQ(result.rfind("Error>", 0), 0u);
  EXPECT_LT(result.size(), 1000u);
}

// ---- The availability record --------------------------------------------------------

TEST(Availability, DefaultsAndPackedLayout) {
  TAvailability record;
  record.StartDay = 99;
  record.Days[3].Enabled = 0;
  InitAvailability(record);
  std::string expected(13, '\0');
  expected += std::string("\x7F\x51\x01\x00", 4);  // 86399
  for (int day = 0; day < 7; ++day) expected += std::string("\x01\xFF\xFF\xFF\x00", 5);
  EXPECT_EQ(AvailabilityBytes(record), expected);
  ASSERT_EQ(expected.size(), kAvailabilitySize);

  record.StartDay = 36527;
  record.EndDay = -1;
  std::string bytes = AvailabilityBytes(record);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\xAF\x8E\x00\x00\xFF\xFF\xFF\xFF", 8));
}

// ---- The platform services ----------------------------------------------------------

class FakeKey : public TRegistryKey {
 public:
  explicit FakeKey(std::map<std::string, std::string> values) : values_(std::move(values)) {}
  std::optional<int32_t> ReadInteger(std::string_view name) override {
    auto it = values_.find("int:" + std::string(name));
    if (it == values_.end()) return std::nullopt;
    return SafeStrToInt(it->second);
  }
  std::optional<std::string> ReadString(std::string_view name) override {
    auto it = values_.find("str:" + std::string(name));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, std::string> values_;
};

class FakePlatform : public TPlatform {
 public:
  TWindowsVersion ReportedVersion() override { return version; }
  int64_t PerformanceFrequency() override { return 10'000'000; }
  std::unique_ptr<TRegistryKey> OpenLocalMachineKey(std::string_view path) override {
    calls.push_back("open " + std::string(path));
    if (!hasKey) return nullptr;
    return std::make_unique<FakeKey>(registry);
  }
  bool HasFileInformationSetter() override {
    calls.push_back("setter?");
    return hasSetter;
  }
  bool SetFileBasicInformation(int handle, const TFileBasicInfo& info) override {
    calls.push_back("set " + std::to_string(handle));
    lastInfo = info;
    return true;
  }
  bool KeepLastWriteTime(int handle) override {
    calls.push_back("keep " + std::to_string(handle));
    return true;
  }
  bool CanLoadLibrary(std::string_view name, bool asDataFile) override {
    calls.push_back("load " + std::string(name) + (asDataFile ? " data" : ""));
    return canLoad;
  }
  void SetCriticalErrorDialogs(bool enabled) override {
    calls.push_back(enabled ? "dialogs on" : "dialogs off");
  }
  bool QueryInternetProxy(uint32_t& accessType, std::string& list) override {
    if (!hasProxy) return false;
    accessType = proxyAccess;
    list = proxy;
    return true;
  }
  uint32_t RegisterClipboardFormat(std::string_view name) override {
    calls.push_back("clipboard " + std::string(name));
    return 0xC123;
  }

  TWindowsVersion version{6, 2, 9200};
  bool hasKey = true;
  std::map<std::string, std::string> registry;
  bool hasSetter = true;
  bool canLoad = true;
  bool hasProxy = true;
  uint32_t proxyAccess = 3;
  std::string proxy;
  std::vector<std::string> calls;
  TFileBasicInfo lastInfo;
};

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = DOVSettings;
    SetPlatform(&fake);
  }
  void TearDown() override {
    SetPlatform(nullptr);
    DOVSettings = saved;
  }
  std::pair<std::string, int32_t> ProxyFor(const std::string& list, std::string_view scheme) {
    fake.proxy = list;
    std::string host = "old";
    int32_t port = -1;
    GetProxyFor(scheme, host, port);
    return {host, port};
  }

  FakePlatform fake;
  TCommonSettings saved;
};

using HostPort = std::pair<std::string, int32_t>;

TEST_F(PlatformTest, ProxyForOneServer) {
  EXPECT_EQ(ProxyFor("proxy:8080", "http"), HostPort("proxy", 8080));
  EXPECT_EQ(ProxyFor("proxy:8080", "ftp"), HostPort("proxy", 8080));
  EXPECT_EQ(ProxyFor("proxy", "http"), HostPort("", 0));
  EXPECT_EQ(ProxyFor("proxy:abc", "http"), HostPort("proxy", 0));
  EXPECT_EQ(ProxyFor("", "http"), HostPort("", 0));
}

TEST_F(PlatformTest, ProxyForSchemeLists) {
  const std::string list = "http=h1:80;https=h3:443;ftp=h2:21";
  EXPECT_EQ(ProxyFor(list, "http"), HostPort("h1", 80));
  EXPECT_EQ(ProxyFor(list, "ftp"), HostPort("h2", 21));
  // A blank ends the entry before a ";" does.
  EXPECT_EQ(ProxyFor("http=h1:80 ftp=h2:21;x", "ftp"), HostPort("h2", 21));
  EXPECT_EQ(ProxyFor("http=h1:80 ftp=h2:21;x", "http"), HostPort("h1", 80));
  // Without an entry for the scheme the whole list is read as one server.
  EXPECT_EQ(ProxyFor("https=h3:443", "http"), HostPort("https=h3", 443));
}

TEST_F(PlatformTest, ProxyNeedsTheNamedProxyAccessType) {
  fake.proxyAccess = 1;
  EXPECT_EQ(ProxyFor("proxy:8080", "http"), HostPort("", 0));
  fake.hasProxy = false;
  fake.proxyAccess = 3;
  EXPECT_EQ(ProxyFor("proxy:8080", "http"), HostPort("", 0));
}

TEST_F(PlatformTest, LoadProxySettings) {
  fake.proxy = "http=h1:80;ftp=h2:21";
  LoadProxySettings();
  EXPECT_EQ(DOVSettings.HttpProxyHost, "h1");
  EXPECT_EQ(DOVSettings.HttpProxyPort, 80);
  EXPECT_EQ(DOVSettings.FtpProxyHost, "h2");
  EXPECT_EQ(DOVSettings.FtpProxyPort, 21);
}

TEST_F(PlatformTest, FixWindowsVersionFromTheRegistry) {
  fake.registry = {{"int:CurrentMajorVersionNumber", "10"},
                   {"int:CurrentMinorVersionNumber", "0"},
                   {"str:CurrentBuildNumber", "22621"}};
  DOVSettings.WindowsVersion = {6, 2, 9200};
  FixWindowsVersion();
  EXPECT_EQ(DOVSettings.WindowsVersion.Major, 11u);
  EXPECT_EQ(DOVSettings.WindowsVersion.Minor, 0u);
  EXPECT_EQ(DOVSettings.WindowsVersion.Build, 22621u);
  EXPECT_EQ(fake.calls[0], "open \\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");

  fake.registry["str:CurrentBuildNumber"] = "21999";
  DOVSettings.WindowsVersion = {6, 2, 9200};
  FixWindowsVersion();
  EXPECT_EQ(DOVSettings.WindowsVersion.Major, 10u);
  EXPECT_EQ(DOVSettings.WindowsVersion.Build, 21999u);
}

TEST_F(PlatformTest, FixWindowsVersionStopsAtTheFirstMissingValue) {
  fake.registry = {{"int:CurrentMajorVersionNumber", "10"}, {"str:CurrentBuildNumber", "22000"}};
  DOVSettings.WindowsVersion = {6, 2, 9200};
  FixWindowsVersion();
  EXPECT_EQ(DOVSettings.WindowsVersion.Major, 10u);
  EXPECT_EQ(DOVSettings.WindowsVersion.Minor, 2u);
  EXPECT_EQ(DOVSettings.WindowsVersion.Build, 9200u);

  fake.registry = {{"int:CurrentMajorVersionNumber", "10"},
                   {"int:CurrentMinorVersionNumber", "0"},
                   {"str:CurrentBuildNumber", "22000a"}};
  DOVSettings.WindowsVersion = {6, 2, 9200};
  FixWindowsVersion();
  EXPECT_EQ(DOVSettings.WindowsVersion.Major, 10u);  // not 11: the build was not read
  EXPECT_EQ(DOVSettings.WindowsVersion.Build, 9200u);
}

TEST_F(PlatformTest, FixWindowsVersionOnlyFor6_2) {
  fake.registry = {{"int:CurrentMajorVersionNumber", "10"}};
  DOVSettings.WindowsVersion = {6, 1, 7601};
  FixWindowsVersion();
  EXPECT_EQ(DOVSettings.WindowsVersion.Major, 6u);
  EXPECT_TRUE(fake.calls.empty());
  fake.hasKey = false;
  DOVSettings.WindowsVersion = {6, 2, 9200};
  FixWindowsVersion();
  EXPECT_EQ(DOVSettings.WindowsVersion.Minor, 2u);
}

TEST_F(PlatformTest, StartUpProbesInOrder) {
  fake.version = {6, 3, 9600};
  fake.proxy = "p:3128";
  InitDOVCommon();
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"setter?", "dialogs off", "load MF.dll",
                                                  "load MSAlacDecoder.dll data", "dialogs on",
                                                  "clipboard Dovetone Tracks"}));
  EXPECT_EQ(DOVSettings.PerformanceFrequency, 10'000'000);
  EXPECT_EQ(DOVSettings.CaptionInformation, "Information");
  EXPECT_EQ(DOVSettings.CaptionWarning, "Warning");
  EXPECT_EQ(DOVSettings.CaptionError, "Error");
  EXPECT_TRUE(DOVSettings.HasFileInformationSetter);
  EXPECT_TRUE(DOVSettings.MediaFoundationAvailable);
  EXPECT_TRUE(DOVSettings.ALACDecoderAvailable);
  EXPECT_EQ(DOVSettings.HttpProxyHost, "p");
  EXPECT_EQ(DOVSettings.FtpProxyPort, 3128);
  EXPECT_EQ(DOVSettings.ClipboardFormat, 0xC123u);
}

TEST_F(PlatformTest, StartUpProbesDependOnTheVersion) {
  fake.version = {6, 1, 7601};
  InitDOVCommon();
  EXPECT_TRUE(DOVSettings.MediaFoundationAvailable);
  EXPECT_FALSE(DOVSettings.ALACDecoderAvailable);  // needs 6.2

  fake.calls.clear();
  fake.version = {5, 1, 2600};
  InitDOVCommon();
  EXPECT_FALSE(DOVSettings.HasFileInformationSetter);
  EXPECT_FALSE(DOVSettings.MediaFoundationAvailable);
  EXPECT_EQ(fake.calls,
            (std::vector<std::string>{"dialogs off", "dialogs on", "clipboard Dovetone Tracks"}));

  fake.version = {6, 2, 9200};
  fake.canLoad = false;
  InitDOVCommon();
  EXPECT_FALSE(DOVSettings.MediaFoundationAvailable);
  EXPECT_FALSE(DOVSettings.ALACDecoderAvailable);
}

TEST_F(PlatformTest, RestoreFileTimes) {
  DOVSettings.WindowsVersion = {10, 0, 19045};
  DOVSettings.HasFileInformationSetter = true;
  TFileInformation info{0x21, 100, 200, 300};
  EXPECT_TRUE(RestoreFileTimes(7, info, true));
  EXPECT_EQ(fake.lastInfo.Attributes, 0x01u);
  EXPECT_EQ(fake.lastInfo.CreationTime, 100);
  EXPECT_EQ(fake.lastInfo.LastAccessTime, 200);
  EXPECT_EQ(fake.lastInfo.LastWriteTime, 300);
  EXPECT_EQ(fake.lastInfo.ChangeTime, 300);
  info.Attributes = 0x20;
  RestoreFileTimes(7, info, true);
  EXPECT_EQ(fake.lastInfo.Attributes, kAttributeNormal);
  RestoreFileTimes(7, info, false);
  EXPECT_EQ(fake.lastInfo.Attributes, 0x20u);

  DOVSettings.WindowsVersion = {5, 1, 2600};
  fake.calls.clear();
  EXPECT_TRUE(RestoreFileTimes(9, info, true));
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"keep 9"}));
}

TEST(LinuxPlatform, NothingIsAvailable) {
  TCommonSettings saved = DOVSettings;
  InitDOVCommon();
  EXPECT_EQ(DOVSettings.WindowsVersion.Major, 0u);
  EXPECT_FALSE(DOVSettings.HasFileInformationSetter);
  EXPECT_FALSE(DOVSettings.MediaFoundationAvailable);
  EXPECT_FALSE(DOVSettings.ALACDecoderAvailable);
  EXPECT_EQ(DOVSettings.HttpProxyHost, "");
  EXPECT_EQ(DOVSettings.HttpProxyPort, 0);
  EXPECT_EQ(DOVSettings.ClipboardFormat, 0u);
  EXPECT_GT(DOVSettings.PerformanceFrequency, 0);
  EXPECT_EQ(DOVSettings.CaptionError, "Error");
  EXPECT_EQ(GetSystemProxy(), "");
  EXPECT_FALSE(RestoreFileTimes(0, TFileInformation{}, false));
  DOVSettings = saved;
}

}  // namespace
}  // namespace dov
