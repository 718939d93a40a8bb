#include "engine/ReadAhead.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/DOVTnt.h"
#include "engine/RenameEngine.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::W;
using test::WriteFile;

// Sets DOV_READ_AHEAD for the life of the object.
class ReadAheadSetting {
 public:
  explicit ReadAheadSetting(bool on) { ::setenv("DOV_READ_AHEAD", on ? "1" : "0", 1); }
  ~ReadAheadSetting() { ::unsetenv("DOV_READ_AHEAD"); }
};

// Everything a job shows and does, in order, as text.
class Transcript : public IRenameView, public IFileOps {
 public:
  void ShowStatus(const TJobStatus& status) override {
    lines.push_back("status " + test::Describe(status));
  }
  void SetProgressMax(int max) override { lines.push_back("max " + std::to_string(max)); }
  void SetProgress(int position) override { lines.push_back("at " + std::to_string(position)); }
  void Repaint() override {
    if (onRepaint) onRepaint();
  }
  bool CreateFolders(const std::u16string& path) override {
    lines.push_back("folder " + WideToNative(path));
    return true;
  }
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) override {
    lines.push_back("move " + WideToNative(from) + " > " + WideToNative(to) +
                    (allowCopy ? " copy" : ""));
    return true;
  }
  bool CopyFile(const std::u16string& from, const std::u16string& to) override {
    lines.push_back("copy " + WideToNative(from) + " > " + WideToNative(to));
    return true;
  }

  std::vector<std::string> lines;
  std::function<void()> onRepaint;
};

TRenameOptions Options(const std::string& source, const std::string& dest, bool copy) {
  TRenameOptions options;
  options.SourceFolder = W(source);
  options.DestFolder = W(dest);
  options.Subfolders = true;
  options.Rename = true;
  options.Move = !copy;
  options.Copy = copy;
  return options;
}

std::vector<std::string> JobTranscript(const TRenameOptions& options, bool readAhead,
                                       std::function<void()> onRepaint = nullptr) {
  ReadAheadSetting setting(readAhead);
  Transcript transcript;
  transcript.onRepaint = std::move(onRepaint);
  TRenameEngine engine(transcript, transcript);
  TJobResult result = engine.Run(options);
  transcript.lines.push_back("done " + std::to_string(result.Done) + "/" +
                             std::to_string(result.Total));
  for (const TUnreadableFolder& folder : engine.UnreadableFolders())
    transcript.lines.push_back("unreadable " + WideToNative(folder.Path));
  return transcript.lines;
}

std::string Tagged(int n) {
  return test::Filler(static_cast<size_t>(200 + n * 37 % 5000), 'x') +
         test::ApeTag({{"Artist", "Artist " + std::to_string(n % 7)},
                       {"Title", "Title " + std::to_string(n)},
                       {"Genre", "Genre " + std::to_string(n % 5)}});
}

// Folders three deep with tagged files, files of other kinds, hidden ones and
// a folder that cannot be listed (unless root), more files than the window.
void MakeTree(const std::string& root) {
  int n = 0;
  for (int a = 0; a < 4; ++a) {
    for (int b = 0; b < 5; ++b) {
      const std::string folder = root + "/s" + std::to_string(a) + "/f" + std::to_string(b);
      fs::create_directories(folder);
      for (int i = 0; i < 12; ++i, ++n)
        WriteFile(folder + "/t" + std::to_string(i) + (i % 3 ? ".mp3" : ".FLAC"), Tagged(n));
      WriteFile(folder + "/notes.txt", Tagged(n));
      WriteFile(folder + "/.hidden.mp3", Tagged(n));
      WriteFile(folder + "/untagged.ogg", test::Filler(300));
    }
  }
  fs::create_directories(root + "/closed");
  WriteFile(root + "/closed/x.mp3", Tagged(0));
  ::chmod((root + "/closed").c_str(), 0);
}

TEST(ReadAhead, TheFixturesGiveTheSameJobWithAndWithoutIt) {
  TempDir dir;
  for (bool copy : {false, true}) {
    TRenameOptions options = Options(DOV_TEST_DATA_DIR, dir / "out", copy);
    std::vector<std::string> off = JobTranscript(options, false);
    EXPECT_EQ(JobTranscript(options, true), off) << (copy ? "copy" : "move");
    EXPECT_GT(off.size(), 20u);
  }
}

TEST(ReadAhead, AGeneratedTreeGivesTheSameJobOnEveryRun) {
  TempDir dir;
  MakeTree(dir / "in");
  // The destination inside the source: neither walk goes into it.
  TRenameOptions options = Options(dir / "in", dir / "in/s1", false);
  std::vector<std::string> off = JobTranscript(options, false);
  // s1 is the destination; root lists the closed folder too.
  const int expected = 180 + (::geteuid() == 0 ? 1 : 0);
  const std::string done = "done " + std::to_string(expected) + "/" + std::to_string(expected);
  EXPECT_NE(std::find(off.begin(), off.end(), done), off.end()) << off.back();
  for (int run = 0; run < 3; ++run) EXPECT_EQ(JobTranscript(options, true), off);
  ::chmod((dir / "in/closed").c_str(), 0755);
}

// Files that vanish or shrink while the job runs, after the read-ahead may
// have read them: the engine meets them as it would without it.
TEST(ReadAhead, AFileRemovedOrTruncatedAfterTheReadAheadIsMetAsWithout) {
  for (bool readAhead : {false, true}) {
    TempDir dir;
    MakeTree(dir / "in");
    ::chmod((dir / "in/closed").c_str(), 0755);
    fs::remove_all(dir / "in/closed");
    std::vector<std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "in"))
      if (entry.is_regular_file() && entry.path().extension() == ".mp3")
        all.push_back(entry.path().string());
    int repaints = 0;
    std::vector<std::string> gone, shrunk;
    auto change = [&] {
      if (++repaints != 1) return;
      // Give the read-ahead time to read ahead, then change every mp3 file:
      // the ones already listed are unaffected, the others are not found.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (size_t i = 0; i < all.size(); ++i) {
        if (i % 2) {
          fs::remove(all[i]);
          gone.push_back(all[i]);
        } else {
          fs::resize_file(all[i], 100);
          shrunk.push_back(all[i]);
        }
      }
    };
    TRenameOptions options = Options(dir / "in", dir / "out", false);
    std::vector<std::string> lines = JobTranscript(options, readAhead, change);
    const std::string done = lines.back();
    // The first file listed and every .FLAC one (a third of 240) stay.
    int listedMp3 = 0;
    for (const std::string& line : lines) {
      if (line.rfind("move ", 0) != 0) continue;
      const std::string from = line.substr(5, line.find(" > ") - 5);
      if (from.size() > 4 && from.substr(from.size() - 4) == ".mp3") ++listedMp3;
      for (const std::string& path : gone) EXPECT_NE(from, path) << "listed though removed";
    }
    EXPECT_LE(listedMp3, 1) << (readAhead ? "on" : "off");
    EXPECT_EQ(done, "done " + std::to_string(80 + listedMp3) + "/" + std::to_string(80 + listedMp3))
        << (readAhead ? "on" : "off");
  }
}

TEST(ReadAhead, StopsAtOnceWhateverItsWalkIsDoing) {
  TempDir dir;
  MakeTree(dir / "in");
  ::chmod((dir / "in/closed").c_str(), 0755);
  ReadAheadSetting on(true);
  for (int passed : {0, 5, 1000}) {
    const auto start = std::chrono::steady_clock::now();
    {
      TReadAhead readAhead(dir / "in", true, "", [](const char*) { return true; });
      for (int i = 0; i < passed; ++i) readAhead.Passed();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << passed;
  }
  EXPECT_GE(TReadAhead::ReaderCount(), 16u);
  EXPECT_LE(TReadAhead::ReaderCount(), 32u);
}

}  // namespace
}  // namespace dov
