#include "engine/ReadAhead.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "engine/RingFetcher.h"
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

// How the pool uses its fetcher, for the life of the object.
class FetcherSetting {
 public:
  explicit FetcherSetting(TReadAhead::EFetcherUse use) { TReadAhead::UseFetcher(use); }
  ~FetcherSetting() { TReadAhead::UseFetcher(TReadAhead::EFetcherUse::WhenReadsWait); }
};

// Never, and for every file where the kernel allows: the two ways a pool
// reads, whatever the cache holds.
constexpr TReadAhead::EFetcherUse kFetcherUses[] = {TReadAhead::EFetcherUse::Never,
                                                    TReadAhead::EFetcherUse::Always};

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

// Some files are larger than the head a scan reads first, so that their
// tags are read through the tail.
std::string Tagged(int n) {
  return test::Filler(static_cast<size_t>(200 + n * 37 % 5000 + (n % 4 == 0 ? 40000 : 0)), 'x') +
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
    for (TReadAhead::EFetcherUse use : kFetcherUses) {
      FetcherSetting setting(use);
      EXPECT_EQ(JobTranscript(options, true), off)
          << (copy ? "copy" : "move") << ", fetcher " << static_cast<int>(use);
    }
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

// Counts the files whose tags the engine took from the pool, for the life of
// the object.
class TakenFromPool {
 public:
  TakenFromPool() {
    TReadAhead::SetBeforeTake([this](const std::u16string&) { ++count; });
  }
  ~TakenFromPool() { TReadAhead::SetBeforeTake(nullptr); }
  int count = 0;
};

// The job on a generated tree whose folders can all be listed.
TRenameOptions OpenTreeJob(const TempDir& dir) {
  MakeTree(dir / "in");
  ::chmod((dir / "in/closed").c_str(), 0755);
  return Options(dir / "in", dir / "out", false);
}

TEST(ReadAhead, APoolWithFewOrNoReadersGivesTheSameJob) {
  TempDir dir;
  const TRenameOptions options = OpenTreeJob(dir);
  const std::vector<std::string> off = JobTranscript(options, false);
  for (TReadAhead::EFetcherUse fetcher : kFetcherUses)
    for (unsigned readers : {0u, 1u, 2u}) {
      FetcherSetting setting(fetcher);
      TReadAhead::LimitReaders(readers);
      TakenFromPool taken;
      EXPECT_EQ(JobTranscript(options, true), off)
          << readers << " readers, fetcher " << static_cast<int>(fetcher);
      TReadAhead::LimitReaders(std::nullopt);
      // Without readers or fetcher the engine reads every file itself.
      if (readers == 0 && fetcher == TReadAhead::EFetcherUse::Never) {
        EXPECT_EQ(taken.count, 0);
      }
    }
  TakenFromPool taken;
  EXPECT_EQ(JobTranscript(options, true), off);
  EXPECT_GT(taken.count, 0) << "the pool read nothing the engine took";
}

// With few descriptors to be had, the pool takes no more than its share: the
// engine's own opens never fail for want of one.
TEST(ReadAhead, AFewDescriptorsGiveTheSameJob) {
  TempDir dir;
  const TRenameOptions options = OpenTreeJob(dir);
  const std::vector<std::string> off = JobTranscript(options, false);
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit few = before;
  few.rlim_cur = 24;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  for (TReadAhead::EFetcherUse use : kFetcherUses) {
    FetcherSetting setting(use);
    EXPECT_EQ(JobTranscript(options, true), off) << "fetcher " << static_cast<int>(use);
  }
  ::setrlimit(RLIMIT_NOFILE, &before);
}

// The engine's tags for a file the pool read and that was then removed or cut
// short: a removed file is listed and its move fails saying so; a cut one is
// moved whole, as it now is. Nothing is lost and the counts agree.
void ExpectChangedFilesFailClearlyOrMoveWhole() {
  TempDir dir;
  MakeTree(dir / "in");
  ::chmod((dir / "in/closed").c_str(), 0755);
  fs::remove_all(dir / "in/closed");
  ReadAheadSetting on(true);
  std::set<std::string> gone, shrunk;
  TReadAhead::SetBeforeTake([&](const std::u16string& path) {
    const std::string native = WideToNative(path);
    if (native.find("untagged") != std::string::npos) return;  // not listed either way
    if ((gone.size() + shrunk.size()) % 2 == 0) {
      fs::remove(native);
      gone.insert(native);
    } else {
      fs::resize_file(native, 100);
      shrunk.insert(native);
    }
  });
  TLinuxFileOps ops;
  test::TRecordingView view;
  TRenameEngine engine(ops, view);
  const TJobResult result = engine.Run(Options(dir / "in", dir / "out", false));
  TReadAhead::SetBeforeTake(nullptr);

  ASSERT_GT(gone.size(), 10u);
  EXPECT_EQ(result.Total, 240);
  EXPECT_EQ(result.Done, 240 - static_cast<int>(gone.size()));
  for (const TRenameEntry& entry : engine.RenameList()) {
    const std::string from = WideToNative(entry.OldPath), to = WideToNative(entry.NewPath);
    if (gone.count(from) != 0) {
      EXPECT_EQ(entry.Ok, false) << from;
      EXPECT_EQ(entry.Error, ENOENT) << from;
    } else {
      EXPECT_EQ(entry.Ok, true) << from;
      EXPECT_FALSE(test::Exists(from)) << from;
      ASSERT_TRUE(test::Exists(to)) << to;
      if (shrunk.count(from) != 0) {
        EXPECT_EQ(fs::file_size(to), 100u) << to;
      }
    }
  }
}

TEST(ReadAhead, AFileChangedAfterThePoolReadItFailsClearlyOrMovesWhole) {
  for (TReadAhead::EFetcherUse use : kFetcherUses) {
    SCOPED_TRACE(static_cast<int>(use));
    FetcherSetting setting(use);
    ExpectChangedFilesFailClearlyOrMoveWhole();
  }
}

size_t FileCount(const fs::path& root) {
  const std::vector<std::string> all = test::Files(root);
  return static_cast<size_t>(
      std::count_if(all.begin(), all.end(), [](const std::string& p) { return p.back() != '/'; }));
}

// Runs a job's first listed file.
class FirstFileView : public test::TRecordingView {
 public:
  void Repaint() override {
    test::TRecordingView::Repaint();
    if (Repaints == 1 && onFirst) onFirst();
  }
  std::function<void()> onFirst;
};

// Files that vanish or shrink while the job runs, some while the pool reads
// them: whatever the timing, each listed file is moved or fails for want of
// its source, the counts agree and no file is lost.
TEST(ReadAhead, FilesChangedDuringTheScanGiveAConsistentOutcome) {
  for (bool readAhead : {false, true}) {
    TempDir dir;
    MakeTree(dir / "in");
    ::chmod((dir / "in/closed").c_str(), 0755);
    fs::remove_all(dir / "in/closed");
    std::vector<std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "in"))
      if (entry.is_regular_file() && entry.path().extension() == ".mp3")
        all.push_back(entry.path().string());
    const size_t before = FileCount(dir / "in");
    std::set<std::string> gone;
    std::thread changer;
    FirstFileView view;
    view.onFirst = [&] {
      changer = std::thread([&] {
        // The engine may have moved a file already: then it stays as moved.
        std::error_code error;
        for (size_t i = 0; i < all.size(); ++i) {
          if (i % 2 == 0) {
            fs::resize_file(all[i], 100, error);
          } else if (fs::remove(all[i], error)) {
            gone.insert(all[i]);
          }
        }
      });
    };
    TLinuxFileOps ops;
    TRenameEngine engine(ops, view);
    ReadAheadSetting setting(readAhead);
    const TJobResult result = engine.Run(Options(dir / "in", dir / "out", false));
    changer.join();
    int failed = 0;
    for (const TRenameEntry& entry : engine.RenameList()) {
      if (entry.Ok == true) continue;
      ++failed;
      EXPECT_EQ(entry.Error, ENOENT) << WideToNative(entry.OldPath);
      EXPECT_EQ(gone.count(WideToNative(entry.OldPath)), 1u) << WideToNative(entry.OldPath);
    }
    EXPECT_EQ(result.Done + failed, result.Total) << (readAhead ? "on" : "off");
    EXPECT_EQ(FileCount(dir / "in") + FileCount(dir / "out"), before - gone.size())
        << (readAhead ? "on" : "off");
  }
}

// A walk that lists other files than the engine's, in another order: the
// engine takes the result read for its own path, or none.
TEST(ReadAhead, TakesOnlyTheResultReadForItsOwnPath) {
  TempDir dir;
  for (int i = 0; i < 300; ++i) WriteFile(dir / ("f" + std::to_string(i) + ".mp3"), "x");
  std::vector<std::u16string> walk;  // the walker's order: the folder's
  for (const auto& entry : fs::directory_iterator(dir.Path()))
    walk.push_back(W(entry.path().string()));
  ReadAheadSetting on(true);
  TReadAhead readAhead(
      {W(dir.Path().string()), false, [](const std::u16string&) { return true; },
       [](const std::u16string&) { return false; },
       [](const std::u16string& path, std::unique_ptr<TDOVFileStream>, TNameTags& tags) {
         if (path.find(u"f13.") != std::u16string::npos) throw std::bad_alloc();
         tags.Artist = path;
       }});
  // Time for the pool to read its window; what it has not read when asked
  // is read by the engine, which is right too.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  TNameTags tags;
  int fromPool = 0;
  auto take = [&](const std::u16string& path) {
    tags = {};
    const bool taken = readAhead.Take(path, tags);
    if (taken) {
      ++fromPool;
      EXPECT_EQ(tags.Artist, path);
    }
    return taken;
  };
  EXPECT_FALSE(take(W(dir / "missing.mp3")));
  take(walk[5]);                // the first five are dropped
  EXPECT_FALSE(take(walk[2]));  // so the engine reads them itself
  for (size_t i = 6; i < walk.size(); ++i) {
    // A read that failed in the pool is the engine's to do again.
    const bool taken = take(walk[i]);
    if (walk[i].find(u"f13.") != std::u16string::npos) {
      EXPECT_FALSE(taken);
    }
  }
  EXPECT_FALSE(take(walk[0]));
  EXPECT_GT(fromPool, 100);
}

// Reads that wait for the disk (here: those of the first files sleep) bring
// the fetcher in, and the files it opened are read through what it read;
// once its batches come whole from the page cache it leaves the rest to the
// readers.
TEST(ReadAhead, FetchesWhileReadsWaitAndLeavesCachedFilesToTheReaders) {
  if (!TRingFetcher(1).Valid()) GTEST_SKIP() << "the kernel gives no io_uring here";
  TempDir dir;
  constexpr int kFiles = 2000;
  for (int i = 0; i < kFiles; ++i) WriteFile(dir / ("f" + std::to_string(i) + ".mp3"), Tagged(i));
  std::vector<std::u16string> walk;  // the walker's order: the folder's
  for (const auto& entry : fs::directory_iterator(dir.Path()))
    walk.push_back(W(entry.path().string()));
  const std::set<std::u16string> slow(walk.begin(), walk.begin() + 200);
  std::mutex mutex;
  std::map<std::u16string, bool> fetched;
  const auto read = [&](const std::u16string& path, std::unique_ptr<TDOVFileStream> opened,
                        TNameTags& tags) {
    if (slow.count(path)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool through = opened != nullptr;
    TRenameEngine::ReadNameTags(path, tags.Artist, tags.Title, tags.Genre, &tags.OpenError, nullptr,
                                std::move(opened));
    std::lock_guard<std::mutex> lock(mutex);
    fetched[path] = through;
  };
  ReadAheadSetting on(true);
  TReadAhead readAhead({W(dir.Path().string()), false, [](const std::u16string&) { return true; },
                        [](const std::u16string&) { return false; }, read});
  for (const std::u16string& path : walk) {
    TNameTags tags;
    if (!readAhead.Take(path, tags)) read(path, nullptr, tags);  // as the engine does
    const std::string name = fs::path(WideToNative(path)).stem().string();
    EXPECT_EQ(tags.Title, W("Title " + name.substr(1))) << name;
  }
  std::lock_guard<std::mutex> lock(mutex);
  const auto through = [&](size_t from, size_t to) {
    int count = 0;
    for (size_t i = from; i < to; ++i) count += fetched[walk[i]];
    return count;
  };
  EXPECT_GT(through(0, walk.size()), 0) << "nothing came through the fetcher";
  EXPECT_LT(through(walk.size() - 500, walk.size()), 500) << "the fetcher never stopped";
}

TEST(ReadAhead, StopsAtOnceWhateverItsWalkIsDoing) {
  TempDir dir;
  MakeTree(dir / "in");
  ::chmod((dir / "in/closed").c_str(), 0755);
  ReadAheadSetting on(true);
  for (int taken : {0, 5, 1000}) {
    const auto start = std::chrono::steady_clock::now();
    {
      TReadAhead readAhead(
          {W(dir / "in"), true, [](const std::u16string&) { return true; },
           [](const std::u16string&) { return false; },
           [](const std::u16string& path, std::unique_ptr<TDOVFileStream> opened, TNameTags& tags) {
             TRenameEngine::ReadNameTags(path, tags.Artist, tags.Title, tags.Genre, &tags.OpenError,
                                         nullptr, std::move(opened));
           }});
      TNameTags tags;
      for (int i = 0; i < taken; ++i) readAhead.Take(W(dir / "in/none.mp3"), tags);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << taken;
  }
  // Many reads in flight, whatever the cores; at least two a core.
  EXPECT_GE(TReadAhead::ReaderCount(), 32u);
  EXPECT_GE(TReadAhead::ReaderCount(), 2 * std::thread::hardware_concurrency());
}

// Each letter a watched read: "w" waited for the disk, "f" did not.
TEST(ReadAhead, WantsAReaderMoreForEachWaitAndGivesItBackAfterFastReads) {
  const std::string sixteenFast(TReaderDemand::kFastReadsPerRest, 'f');
  const struct {
    unsigned first, most;
    std::string reads;
    unsigned wanted;
  } cases[] = {
      {1, 32, "", 1},
      {1, 32, "www", 4},
      {1, 4, "wwwwwww", 4},  // never more than the most
      {1, 32, "www" + sixteenFast, 3},
      {1, 32, "www" + sixteenFast + sixteenFast + sixteenFast + sixteenFast, 1},
      {1, 32, sixteenFast + "w", 2},  // fast reads before a wait keep nothing back
      {1, 32, "ww" + std::string(15, 'f') + "w" + std::string(15, 'f'), 4},  // a wait starts anew
      {3, 2, "w", 2},  // first no more than the most
      {0, 0, "wf", 0},
  };
  for (const auto& c : cases) {
    TReaderDemand demand(c.first, c.most);
    for (char read : c.reads) demand.Count(read == 'w');
    EXPECT_EQ(demand.Wanted(), c.wanted) << c.first << "/" << c.most << " " << c.reads;
    EXPECT_EQ(demand.Waiting(), c.wanted > std::min(c.first, c.most)) << c.reads;
  }
  // The most falls when no more threads can be had; what is wanted with it.
  TReaderDemand demand(1, 32);
  for (int i = 0; i < 10; ++i) demand.Count(true);
  demand.Cap(4);
  EXPECT_EQ(demand.Wanted(), 4u);
  EXPECT_EQ(demand.Most(), 4u);
}

// Reads that sleep give the processor up as a read from the disk does: while
// the engine waits, the pool starts more readers than a warm scan would.
TEST(ReadAhead, StartsMoreReadersWhileReadsWait) {
  TempDir dir;
  // Files enough to keep more readers than cores busy on any machine.
  for (unsigned i = 0; i < 100 + 4 * TReadAhead::ReaderCount(); ++i)
    WriteFile(dir / ("f" + std::to_string(i) + ".mp3"), "x");
  ReadAheadSetting on(true);
  const unsigned warm =
      std::min(std::max(2u, std::thread::hardware_concurrency()) - 1, TReadAhead::ReaderCount());
  TReadAhead readAhead({W(dir.Path().string()), false, [](const std::u16string&) { return true; },
                        [](const std::u16string&) { return false; },
                        [](const std::u16string&, std::unique_ptr<TDOVFileStream>, TNameTags&) {
                          std::this_thread::sleep_for(std::chrono::milliseconds(2));
                        }});
  const auto start = std::chrono::steady_clock::now();
  while (readAhead.ReadersStarted() <= warm &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GT(readAhead.ReadersStarted(), warm);
  EXPECT_GT(readAhead.ReadersWanted(), warm);
}

}  // namespace
}  // namespace dov
