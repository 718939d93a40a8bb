#include "info/AudioFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "common/DOVTnt.h"
#include "tags/APETag.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::DataPath;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr const char* kTone = "lame-cbr-8k-8000-mono-info.mp3";                       // 1,152 ms
constexpr const char* kFlac = "flac-8k-mono-seektable-padding-before-comments.flac";  // 250 ms

// A native path as the engine and the CLI pass it.
std::string Marked(const std::string& path) {
  return WideToMarked(NativeToWide(path));
}

TEST(AudioFiles, TheExtensionChoosesTheReaderIgnoringCase) {
  TempDir dir;
  const std::string tone = ReadFile(DataPath(kTone));
  const int32_t expected = GetFileDuration(DataPath(kTone), nullptr);
  ASSERT_EQ(expected, 1152);
  for (const char* name : {"SONG.MP3", "song.Mp2", "song.mus", "song.SND", "a.b.mp3"}) {
    WriteFile(dir / name, tone);
    EXPECT_EQ(GetFileDuration(dir / name, nullptr), expected) << name;
  }
  // The same MPEG bytes under names no row takes.
  fs::create_directory(dir / "folder.mp3");
  for (const char* name : {"song.mp3a", "song", "song.", "folder.mp3/song", "song.m3u8"}) {
    WriteFile(dir / name, tone);
    EXPECT_EQ(GetFileDuration(dir / name, nullptr), -1) << name;
  }
}

TEST(AudioFiles, UnknownLengthsAreMinusOneNeverZero) {
  TempDir dir;
  WriteFile(dir / "noise.mp3", std::string(5000, '\x5A'));  // read, nothing found
  WriteFile(dir / "tiny.mp3", "ID3");
  WriteFile(dir / "empty.flac", "");
  fs::create_directory(dir / "folder.mp3");
  for (const char* name : {"noise.mp3", "tiny.mp3", "empty.flac", "folder.mp3", "missing.mp3"})
    EXPECT_EQ(GetFileDuration(dir / name, nullptr), -1) << name;
  // Playlists whose entries are all unknown, or that name a stream.
  WriteFile(dir / "unknown.m3u", "missing.mp3\nnoise.mp3\n");
  EXPECT_EQ(GetFileDuration(dir / "unknown.m3u", nullptr), -1);
  EXPECT_EQ(GetFileDuration(DataPath("stream-extended.m3u"), nullptr), -1);
  EXPECT_EQ(GetFileDuration(DataPath("stream-artist-song.pls"), nullptr), -1);
}

TEST(AudioFiles, AnOpenStreamIsReadInsteadOfTheName) {
  const std::string tone = ReadFile(DataPath(kTone));
  TMemoryStream memory(tone);
  memory.Seek(100);
  EXPECT_EQ(GetFileDuration("/no/such/folder/song.mp3", &memory), 1152)
      << "read from its start, whatever the name";
  EXPECT_EQ(GetFileDuration("/no/such/folder/song", &memory), -1) << "no extension, no reader";

  TDOVFileStream file(DataPath(kFlac), fmShareDenyNone);
  EXPECT_EQ(GetFileDuration("/elsewhere/x.flac", &file), 250);
  EXPECT_EQ(GetFileDuration(DataPath(kFlac), nullptr), 250);
}

TEST(AudioFiles, TheImportStoresTheDurationAndTheCliPrintsIt) {
  // The store opens files of 160 bytes or more; this M3U is long enough.
  TempDir dir;
  const std::string m3u = dir / "declared.m3u";
  WriteFile(m3u, "#EXTM3U\n#EXTINF:180," + std::string(160, 'T') + "\nmissing.mp3\n");
  for (const std::string& path : {DataPath(kTone), DataPath("ffmpeg-layer2-64k-32000-mono.mp2"),
                                  DataPath(kFlac), m3u, DataPath("lengths-100-200-unknown.pls")}) {
    const int32_t ms = GetFileDuration(path, nullptr);
    ASSERT_GT(ms, 0) << path;
    TAPETags store(Marked(path));
    ASSERT_TRUE(store.Opened()) << path;
    store.ImportContainerTags();
    EXPECT_EQ(store.GetValue("Duration"), std::to_string(ms)) << path;

    test::CliResult cli = test::RunCli({"duration", path});
    EXPECT_EQ(cli.Status, 0) << path << ": " << cli.Err;
    EXPECT_EQ(cli.Out, std::to_string(ms) + "\t" + path + "\n");
  }
}

}  // namespace
}  // namespace dov
