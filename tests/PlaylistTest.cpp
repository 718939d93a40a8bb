#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "common/CodePage.h"
#include "common/DOVTnt.h"
#include "info/AudioFiles.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::DataPath;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The audio fixtures the playlists name.
constexpr const char* kTone8k = "lame-cbr-8k-8000-mono-info.mp3";
constexpr const char* kTone11k = "lame-cbr-16k-11025-mono-no-info.mp3";
constexpr const char* kLayer2At24k = "ffmpeg-layer2-32k-24000-mono.mp2";
constexpr const char* kLayer2At32k = "ffmpeg-layer2-64k-32000-mono.mp2";
constexpr const char* kCbr128k = "lame-cbr-128k-44100-stereo-info.mp3";
constexpr const char* kVbr44k = "lame-vbr-44100-stereo-xing-at-36.mp3";

// The length of one audio fixture, which must be known.
int32_t Len(const char* name) {
  int32_t ms = GetFileDuration(DataPath(name), nullptr);
  EXPECT_GT(ms, 0) << name;
  return ms;
}

struct M3U {
  bool ok = false;
  std::string address, title, kind;
  int32_t length = 0;
};
// Length starts at 77 so that "not written" shows.
constexpr int32_t kUnset = 77;
M3U ReadM3UFile(const std::string& path) {
  M3U r;
  r.length = kUnset;
  r.ok = ReadM3U(path, r.address, r.title, r.length, r.kind);
  return r;
}

struct PLS {
  bool ok = false;
  std::string address, part1, part2, part3;
  int32_t webFile = -5, preload = -5, length = 0;
};
PLS ReadPLSFile(const std::string& path) {
  PLS r;
  r.length = kUnset;
  r.ok = ReadPLS(path, r.address, r.part1, r.webFile, r.preload, r.length, r.part3, r.part2);
  return r;
}

std::string Marked(const std::string& nativePath) {
  return WideToMarked(NativeToWide(nativePath));
}

// ---- M3U --------------------------------------------------------------------

TEST(Playlist, M3UOfFilesTotalsItsLengthsAndMeasuresTheRest) {
  // The "#EXTM3U" line is no entry: 180 + 200 s exactly.
  M3U extended = ReadM3UFile(DataPath("extended-180s-200s.m3u"));
  EXPECT_TRUE(extended.ok);
  EXPECT_EQ(extended.length, 380000);
  EXPECT_EQ(extended.address, "");
  EXPECT_EQ(extended.kind, "");

  // Every line is an entry, the last one too (it has no line end).
  EXPECT_EQ(ReadM3UFile(DataPath("plain-three-files-no-final-line-end.m3u")).length,
            Len(kCbr128k) + Len(kLayer2At32k) + Len(kVbr44k));

  // "#EXTINF:-1" is unknown: the file is measured; a missing file adds
  // nothing, also after "#EXTINF:-1"; a missing file after a known length
  // does not undo that length.
  EXPECT_EQ(ReadM3UFile(DataPath("extinf-unknown-measured.m3u")).length, Len(kTone8k) + 10000);

  // Two lines, "#EXTM3U" and one entry: read, not refused.
  M3U twoLines = ReadM3UFile(DataPath("extended-two-lines.m3u"));
  EXPECT_TRUE(twoLines.ok);
  EXPECT_EQ(twoLines.length, Len(kTone8k));

  // Entries written on Windows: ".\", "..\" and plain, with CR LF line ends.
  EXPECT_EQ(ReadM3UFile(DataPath("windows-separators-crlf.m3u")).length,
            Len(kTone8k) + Len(kLayer2At24k) + Len(kTone11k));
}

TEST(Playlist, M3UNamingAStreamGivesItsAddressAndTitle) {
  M3U extended = ReadM3UFile(DataPath("stream-extended.m3u"));
  EXPECT_TRUE(extended.ok);
  EXPECT_EQ(extended.address, "http://radio.example/stream");
  EXPECT_EQ(extended.title, "Station - Live");
  EXPECT_EQ(extended.kind, "Stream");
  EXPECT_EQ(extended.length, kUnset) << "-1 s is an unknown length";

  // A single address: the title is the playlist's name up to " - ".
  M3U plain = ReadM3UFile(DataPath("stream-plain - radio.m3u"));
  EXPECT_TRUE(plain.ok);
  EXPECT_EQ(plain.address, "http://radio.example/stream");
  EXPECT_EQ(plain.title, "stream-plain");
  EXPECT_EQ(plain.kind, "Stream");
  EXPECT_EQ(plain.length, kUnset);

  TempDir dir;
  WriteFile(dir / "declared.m3u", "#EXTM3U\n#EXTINF:12.5,Title, with comma\nhttp://x/y\n");
  M3U declared = ReadM3UFile(dir / "declared.m3u");
  EXPECT_EQ(declared.length, 12500);
  EXPECT_EQ(declared.title, "Title, with comma");
}

TEST(Playlist, M3ULinesThatAreNoEntriesAddNothing) {
  TempDir dir;
  fs::copy_file(DataPath(kTone8k), dir / "a.mp3");
  const int32_t a = Len(kTone8k);
  const std::pair<std::string, int32_t> cases[] = {
      {"#EXTINF:abc,Bad number\nmissing.mp3\na.mp3\n", a},  // the bad line and its entry
      {"#EXTINF:,No number\na.mp3\n", 0},
      {std::string("a.mp3\0junk\n", 11) + "a.mp3\n", a},  // a NUL makes no file name
      {"http://x/y\na.mp3\nhttps://z\n", a},              // addresses in a list
      {"\xEF\xBB\xBF"
       "a.mp3\r\n\r\na.mp3",
       2 * a},  // byte-order mark, empty line
      {"#EXTINF:-1,x\n#EXTINF:3,y\nmissing.mp3\n", 3000},
      // Comments are no entries (a file may bear the name), and an
      // "#EXTINF:" line stands for the next line that is no comment.
      {"#a.mp3\na.mp3\n", a},
      {"#EXTM3U\n#EXTINF:7,A\n#EXTVLCOPT:start-time=1\na.mp3\n#EXTINF:10,B\na.mp3\n", 17000},
      {"#EXTINF:-1,A\n#EXTVLCOPT:start-time=1\na.mp3\n", a},
      {"#EXTINF:7,A\n\n \r\na.mp3\n", 7000},  // nor a blank line
  };
  fs::copy_file(DataPath(kTone8k), dir / "#a.mp3");
  for (const auto& [text, expected] : cases) {
    WriteFile(dir / "list.m3u", text);
    M3U r = ReadM3UFile(dir / "list.m3u");
    EXPECT_TRUE(r.ok) << text;
    EXPECT_EQ(r.length, expected == 0 ? kUnset : expected) << text;
  }
}

// ---- PLS --------------------------------------------------------------------

TEST(Playlist, PLSOfFilesTotalsItsLengthsAndMeasuresTheRest) {
  // Length1..3 = 100, 200 and -1 (unknown: the third file is measured).
  EXPECT_EQ(ReadPLSFile(DataPath("lengths-100-200-unknown.pls")).length,
            100000 + 200000 + Len(kTone8k));
  // "file1", "FILE2" with a Windows ".\" path, and a missing third file.
  PLS noLengths = ReadPLSFile(DataPath("files-without-lengths-crlf.pls"));
  EXPECT_TRUE(noLengths.ok);
  EXPECT_EQ(noLengths.length, Len(kTone8k) + Len(kLayer2At24k));
  EXPECT_EQ(noLengths.address, "");
}

TEST(Playlist, PLSNamingAStreamGivesItsAddressAndTitleParts) {
  PLS r = ReadPLSFile(DataPath("stream-artist-song.pls"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.address, "http://radio.example/stream");
  EXPECT_EQ(r.part1, "Artist");
  EXPECT_EQ(r.part2, "Song");
  EXPECT_EQ(r.part3, "");
  EXPECT_EQ(r.length, kUnset) << "Length1=-1";
  EXPECT_EQ(r.preload, 2500);
  EXPECT_EQ(r.webFile, 1);

  // Without a title the playlist's name is divided.
  TempDir dir;
  WriteFile(dir / "A - B - C .pls", "[playlist]\nFile1=http://x/y\nLength1=30\n");
  PLS named = ReadPLSFile(dir / "A - B - C .pls");
  EXPECT_EQ(named.part1, "A");
  EXPECT_EQ(named.part2, "B");
  EXPECT_EQ(named.part3, "C");
  EXPECT_EQ(named.length, 30000);
  EXPECT_EQ(named.webFile, 0);
  EXPECT_EQ(named.preload, 0);
}

TEST(Playlist, PLSWithoutFile1IsReadAsM3U) {
  PLS r = ReadPLSFile(DataPath("m3u-text-in.pls"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.length, 42000);
  EXPECT_EQ(GetFileDuration(DataPath("m3u-text-in.pls"), nullptr), 42000);
}

TEST(Playlist, TotalsBeyondTheMillisecondRangeStopAtItsEnd) {
  TempDir dir;
  WriteFile(dir / "long.pls", "[playlist]\nFile1=a\nLength1=2000000\nFile2=b\nLength2=2000000\n");
  EXPECT_EQ(ReadPLSFile(dir / "long.pls").length, std::numeric_limits<int32_t>::max());
}

// ---- file:// URLs ------------------------------------------------------------------

TEST(Playlist, FileUrlsNameLocalFilesNotStreams) {
  TempDir dir;
  fs::create_directory(dir / "sub dir");
  fs::copy_file(DataPath(kTone8k), dir / "sub dir/a b.mp3");
  fs::copy_file(DataPath(kTone11k), dir / "100%.mp3");
  const std::string a = "file://" + dir / "sub%20dir/a%20b.mp3";
  const std::string b = "FILE://localhost" + dir / "100%.mp3";  // "%.m": no escape
  const int32_t lenA = Len(kTone8k), lenB = Len(kTone11k);

  // M3U: declared lengths, measured files, and a single URL.
  const std::pair<std::string, int32_t> m3u[] = {
      {"#EXTM3U\n#EXTINF:7,A\n" + a + "\n#EXTINF:10,B\n" + b + "\n", 17000},
      {"#EXTM3U\n#EXTINF:-1,A\n" + a + "\n" + b + "\n", lenA + lenB},
      {a + "\n", lenA},
      // A "%" escape cut by the end of the line names no file.
      {a + "%2\n" + a + "%\n", kUnset},
  };
  for (const auto& [text, expected] : m3u) {
    WriteFile(dir / "list.m3u", text);
    M3U r = ReadM3UFile(dir / "list.m3u");
    EXPECT_TRUE(r.ok) << text;
    EXPECT_EQ(r.length, expected) << text;
    EXPECT_EQ(r.kind, "") << text;
    EXPECT_EQ(r.address, "") << text;
  }

  // PLS: File1 a URL, or only a later entry; lengths apply to URLs as to paths.
  const std::pair<std::string, int32_t> pls[] = {
      {"File1=" + a + "\nLength1=7\nFile2=" + b + "\nLength2=10\n", 17000},
      {"File1=" + dir / "sub dir/a b.mp3" + "\nLength1=7\nFile2=" + b + "\nLength2=10\n", 17000},
      {"File1=" + a + "\nFile2=" + b + "\nLength2=-1\n", lenA + lenB},
  };
  for (const auto& [text, expected] : pls) {
    WriteFile(dir / "list.pls", "[playlist]\n" + text);
    PLS r = ReadPLSFile(dir / "list.pls");
    EXPECT_TRUE(r.ok) << text;
    EXPECT_EQ(r.length, expected) << text;
    EXPECT_EQ(r.address, "") << text;
  }
}

// ---- Unreadable playlists ------------------------------------------------------

TEST(Playlist, UnreadablePlaylistsLeaveTheLengthAlone) {
  TempDir dir;
  WriteFile(dir / "empty.m3u", "");
  WriteFile(dir / "empty.pls", "");
  WriteFile(dir / "header-only.m3u", "#EXTM3U\n");
  for (const char* name : {"missing.m3u", "empty.m3u", "header-only.m3u"}) {
    M3U r = ReadM3UFile(dir / name);
    EXPECT_FALSE(r.ok) << name;
    EXPECT_EQ(r.length, kUnset) << name;
  }
  for (const char* name : {"missing.pls", "empty.pls"}) {
    PLS r = ReadPLSFile(dir / name);
    EXPECT_FALSE(r.ok) << name;
    EXPECT_EQ(r.length, kUnset) << name;
  }
  // Too large to be a playlist: not read at all (a sparse file, no disk used).
  const std::string huge = dir / "huge.m3u";
  WriteFile(huge, "");
  fs::resize_file(huge, 64 * 1024 * 1024);
  EXPECT_FALSE(ReadM3UFile(huge).ok);
  EXPECT_EQ(GetFileDuration(huge, nullptr), -1);
}

// ---- Entries -------------------------------------------------------------------

TEST(Playlist, AbsoluteAndRootedEntriesAreFound) {
  TempDir dir;
  const std::string audio = dir / "tone.mp3";
  fs::copy_file(DataPath(kTone8k), audio);
  std::string rooted = audio;  // "\tmp\...\tone.mp3", as written on Windows
  for (char& c : rooted)
    if (c == '/') c = '\\';
  fs::create_directory(dir / "lists");
  WriteFile(dir / "lists/absolute.m3u", audio + "\n" + rooted + "\n");
  WriteFile(dir / "lists/absolute.pls", "[playlist]\nFile1=" + audio + "\nFile2=" + rooted + "\n");
  EXPECT_EQ(ReadM3UFile(dir / "lists/absolute.m3u").length, 2 * Len(kTone8k));
  EXPECT_EQ(ReadPLSFile(dir / "lists/absolute.pls").length, 2 * Len(kTone8k));
}

TEST(Playlist, EntriesInUTF8OrTheCodePageAreFound) {
  SetSystemCodePage(1252);
  TempDir dir;
  const std::string folder = dir / "M\xC3\xBAsica";  // "Música" in UTF-8
  fs::create_directory(folder);
  fs::copy_file(DataPath(kTone8k), folder + "/Bj\xC3\xB6rk.mp3");  // "Björk.mp3"
  WriteFile(folder + "/utf8.m3u", "Bj\xC3\xB6rk.mp3\n");
  WriteFile(folder + "/cp1252.m3u", "#EXTM3U\n#EXTINF:-1,x\nBj\xF6rk.mp3\n");
  WriteFile(folder + "/cp1252.pls", "[playlist]\nFile1=.\\Bj\xF6rk.mp3\n");
  const int32_t tone = Len(kTone8k);
  // Names arrive as the engine and the CLI pass them: marked text.
  EXPECT_EQ(GetFileDuration(Marked(folder + "/utf8.m3u"), nullptr), tone);
  EXPECT_EQ(GetFileDuration(Marked(folder + "/cp1252.m3u"), nullptr), tone);
  EXPECT_EQ(GetFileDuration(Marked(folder + "/cp1252.pls"), nullptr), tone);
}

// ---- Playlists naming playlists ---------------------------------------------------

TEST(Playlist, PlaylistsNamingThemselvesOrEachOtherEnd) {
  // The self reference adds nothing; the tone is counted once.
  EXPECT_EQ(GetFileDuration(DataPath("self-reference.m3u"), nullptr), Len(kTone8k));
  // mutual-a.pls = mutual-b.m3u + tone 8k; mutual-b.m3u = 2 × mutual-a.pls +
  // tone 11k. Read from b, a's reference back to b adds nothing, so a is the
  // 8k tone alone; read from a, b is its 11k tone alone.
  EXPECT_EQ(GetFileDuration(DataPath("mutual-b.m3u"), nullptr), 2 * Len(kTone8k) + Len(kTone11k));
  EXPECT_EQ(GetFileDuration(DataPath("mutual-a.pls"), nullptr), Len(kTone11k) + Len(kTone8k));
}

TEST(Playlist, NestedPlaylistsAreMeasuredEachOnce) {
  // 100 × 100 × 100 references to one file: a million measurements unless
  // each file is measured once per outermost playlist.
  TempDir dir;
  fs::copy_file(DataPath(kTone8k), dir / "tone.mp3");
  auto repeat = [](const std::string& line) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += line + "\n";
    return text;
  };
  WriteFile(dir / "c.m3u", repeat("tone.mp3"));
  WriteFile(dir / "b.m3u", repeat("c.m3u"));
  WriteFile(dir / "a.m3u", repeat("c.m3u") + repeat("b.m3u"));
  // a = 100 × c + 100 × b = 100 × 100 + 100 × 100 × 100 tones.
  EXPECT_EQ(GetFileDuration(dir / "a.m3u", nullptr), 1010000 * Len(kTone8k));
}

TEST(Playlist, NestingEndsAtTheDepthLimit) {
  // A chain list1 → list2 → ... → listN → tone.
  auto chain = [](const TempDir& dir, int n) {
    fs::copy_file(DataPath(kTone8k), dir / "tone.mp3", fs::copy_options::overwrite_existing);
    for (int i = 1; i <= n; ++i)
      WriteFile(dir / ("list" + std::to_string(i) + ".m3u"),
                i == n ? "tone.mp3\n" : "list" + std::to_string(i + 1) + ".m3u\n");
    return dir / "list1.m3u";
  };
  TempDir deepEnough, tooDeep;
  EXPECT_EQ(GetFileDuration(chain(deepEnough, kMaxPlaylistDepth), nullptr), Len(kTone8k));
  EXPECT_EQ(GetFileDuration(chain(tooDeep, kMaxPlaylistDepth + 1), nullptr), -1);
}

// ---- Truncated playlists ------------------------------------------------------------

TEST(Playlist, EveryPrefixOfEveryPlaylistFixtureIsReadSafely) {
  // The fixtures sit in a folder of their own next to links to the audio
  // files, so that the entries resolve and the self references stay.
  TempDir dir;
  std::vector<std::string> playlists;
  for (const auto& entry : fs::directory_iterator(DataPath(""))) {
    const std::string name = entry.path().filename().string();
    const std::string ext = entry.path().extension().string();
    if (ext == ".m3u" || ext == ".pls") {
      playlists.push_back(name);
      fs::copy_file(entry.path(), dir / name);
    } else if (ext == ".mp3" || ext == ".mp2") {
      fs::create_symlink(entry.path(), dir / name);
    }
  }
  ASSERT_GE(playlists.size(), 10u);
  for (const std::string& name : playlists) {
    const std::string full = ReadFile(DataPath(name));
    const std::string path = dir / name;
    for (size_t size = 0; size <= full.size(); ++size) {
      WriteFile(path, std::string_view(full).substr(0, size));
      const int32_t ms = GetFileDuration(path, nullptr);
      EXPECT_NE(ms, 0) << name << " cut at " << size;
      if (name.ends_with(".m3u")) {
        M3U r = ReadM3UFile(path);
        if (size == 0) {
          EXPECT_FALSE(r.ok) << name;
        }
      } else {
        PLS r = ReadPLSFile(path);
        if (size == 0) {
          EXPECT_FALSE(r.ok) << name;
        }
      }
    }
    WriteFile(path, full);
    // Whole, in its new folder, it measures as it does where it was made,
    // except for the entry that climbs to the folder "data".
    if (name != "windows-separators-crlf.m3u") {
      EXPECT_EQ(GetFileDuration(path, nullptr), GetFileDuration(DataPath(name), nullptr)) << name;
    }
  }
}

}  // namespace
}  // namespace dov
