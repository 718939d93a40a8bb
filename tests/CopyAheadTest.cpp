// Copies written ahead by a pool of threads and named in the job's order:
// every outcome, error, status and file is what the job gives without the
// pool, and a source that changes before its copy is named is copied anew.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "tests/TestSupport.h"

namespace dov::test {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;

// The system calls, safe to use from the pool's threads, with the faults the
// tests need.
class PoolCalls : public IPosixCalls {
 public:
  std::atomic<bool> refuseThreads{false};
  std::atomic<int> copyRangeErrno{0};          // every copy_file_range fails with this
  std::atomic<int> unnamedRefusedAhead{0};     // so many unnamed files off the job's thread fail
  std::atomic<int> unnamedAheadErrno{ENOSPC};  // with this error
  std::atomic<int> unnamedAhead{0};            // unnamed files opened off the job's thread
  std::function<void(const std::string&)> onStat;  // before each stat, on the job's thread

  bool StartThread(std::thread& thread, std::function<void()> body) override {
    if (refuseThreads) {
      errno = EAGAIN;
      return false;
    }
    return IPosixCalls::StartThread(thread, std::move(body));
  }
  int Open(const char* path, int flags, mode_t mode) override {
    if ((flags & O_TMPFILE) == O_TMPFILE && std::this_thread::get_id() != job_) {
      ++unnamedAhead;
      if (unnamedRefusedAhead.fetch_sub(1) > 0) {
        errno = unnamedAheadErrno;
        return -1;
      }
    }
    return IPosixCalls::Open(path, flags, mode);
  }
  ssize_t CopyFileRange(int in, int out, size_t count) override {
    if (const int error = copyRangeErrno; error != 0) {
      errno = error;
      return -1;
    }
    return IPosixCalls::CopyFileRange(in, out, count);
  }
  int Stat(const char* path, struct stat* st) override {
    if (onStat) onStat(path);
    return IPosixCalls::Stat(path, st);
  }

 private:
  std::thread::id job_ = std::this_thread::get_id();
};

// An audio-looking file carrying an APEv2 tag.
std::string Tagged(const std::string& artist, const std::string& title, size_t size) {
  return Filler(size, static_cast<char>('a' + size % 26)) +
         ApeTag({{"Artist", artist}, {"Title", title}, {"Genre", size % 2 ? "Rock" : "Jazz"}});
}

// Every file under root: bytes, mode and modification time, by relative name.
std::map<std::string, std::string> Snap(const fs::path& root) {
  std::map<std::string, std::string> snap;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::string what = "mode " + std::to_string(st.st_mode);
    if (S_ISREG(st.st_mode))
      what += " mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
              std::to_string(st.st_mtim.tv_nsec) + " bytes " +
              std::to_string(std::hash<std::string>()(ReadFile(entry.path())));
    snap[fs::relative(entry.path(), root).string()] = what;
  }
  return snap;
}

struct JobCase {
  const char* name;
  bool collide = false;            // two files get one name: the later copy fails
  bool targetExists = false;       // a file has one of the names before the job
  int copyRangeErrno = 0;          // copy_file_range refused: reads and writes copy
  bool noThreads = false;          // the pool cannot start
  int unnamedRefusedAhead = 0;     // copies that cannot be written ahead ...
  int unnamedAheadErrno = ENOSPC;  // ... for this reason
};

// What a job did, told with paths relative to its root.
struct JobOutcome {
  std::vector<std::string> list;  // old, new, outcome, errno
  std::vector<std::string> statuses;
  std::map<std::string, std::string> tree;
};

JobOutcome RunCopyJob(const std::string& root, const JobCase& c, size_t threads, PoolCalls& calls) {
  const std::string in = root + "/in", out = root + "/out";
  fs::create_directories(in + "/sub");
  for (int i = 0; i < 60; ++i) {
    const std::string title = c.collide && i == 41 ? "T7" : "T" + std::to_string(i);
    const std::string path = in + (i % 3 ? "/sub/" : "/") + std::to_string(i) + ".mp3";
    WriteFile(path, Tagged("A", title, 300 + static_cast<size_t>(i) * 977));
    ::chmod(path.c_str(), i % 2 ? 0640 : 0755);
    const struct timespec times[2] = {{1'600'000'000 + i, 0}, {1'500'000'000 + i, 1000 * i}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  if (c.targetExists) {
    fs::create_directories(out + "/Jazz");
    WriteFile(out + "/Jazz/A - T12.mp3", "someone else's");
    const struct timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ::utimensat(AT_FDCWD, (out + "/Jazz/A - T12.mp3").c_str(), times, 0);
  }
  calls.copyRangeErrno = c.copyRangeErrno;
  calls.refuseThreads = c.noThreads;
  calls.unnamedRefusedAhead = c.unnamedRefusedAhead;
  calls.unnamedAheadErrno = c.unnamedAheadErrno;
  TLinuxFileOps ops(calls);
  ops.SetCopyThreads(threads);
  TRecordingView view;
  TRenameEngine engine(ops, view);
  TRenameOptions options;
  options.SourceFolder = W(in);
  options.DestFolder = W(out);
  options.Subfolders = options.Rename = options.Copy = true;
  engine.Run(options);

  JobOutcome outcome;
  const auto relative = [&](const std::u16string& path) {
    return WideToNative(path).substr(root.size());
  };
  for (const TRenameEntry& entry : engine.RenameList())
    outcome.list.push_back(relative(entry.OldPath) + " > " + relative(entry.NewPath) + " " +
                           (entry.Ok.value_or(false) ? "ok" : "failed") + " " +
                           std::to_string(entry.Error));
  outcome.statuses = view.Statuses;
  outcome.tree = Snap(out);
  return outcome;
}

TEST(CopyAhead, AJobGivesTheSameOutcomesFilesAndStatusesWithThePoolAsWithout) {
  const JobCase cases[] = {
      {"plain"},
      {"a name taken by an earlier copy of the job", true},
      {"a name taken by an existing file", false, true},
      {"copy_file_range refused", false, false, EXDEV},
      {"the pool cannot start", false, false, 0, true},
      {"copies that cannot be written ahead for want of room", true, true, 0, false, 5},
      {"copies that cannot be written ahead otherwise", true, true, 0, false, 5, EACCES},
  };
  for (const JobCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    PoolCalls alone, pooled;
    const JobOutcome without = RunCopyJob(dir / "alone", c, 0, alone);
    const JobOutcome with = RunCopyJob(dir / "pooled", c, 3, pooled);
    EXPECT_EQ(with.list, without.list);
    EXPECT_EQ(with.statuses, without.statuses);
    EXPECT_EQ(with.tree, without.tree);
    EXPECT_EQ(alone.unnamedAhead, 0);
    if (c.noThreads)
      EXPECT_EQ(pooled.unnamedAhead, 0);  // each copy made at its turn
    else
      EXPECT_GT(pooled.unnamedAhead, 0);
    ASSERT_EQ(with.list.size(), 60u);
    const int failed = (c.collide ? 1 : 0) + (c.targetExists ? 1 : 0);
    EXPECT_EQ(std::count_if(with.list.begin(), with.list.end(),
                            [](const std::string& line) { return line.ends_with(" failed 17"); }),
              failed);  // EEXIST, and no other failure
    if (c.targetExists) {
      EXPECT_THAT(with.tree.at("Jazz/A - T12.mp3"),
                  EndsWith(" bytes " + std::to_string(std::hash<std::string>()("someone else's"))));
    }
    // The two genre folders and the files: nothing hidden, nothing partial.
    EXPECT_EQ(with.tree.size(), 60u - failed + (c.targetExists ? 1 : 0) + 2);
  }
}

TEST(CopyAhead, OnAFileSystemThatFillsUpTheSameCopiesFitAsWithoutThePool) {
  TempDir dir;
  std::vector<JobOutcome> outcomes;
  for (const size_t threads : {0, 3}) {
    const std::string root = dir / ("threads" + std::to_string(threads));
    fs::create_directories(root + "/out");
    const TMount small = TMount::Tmpfs(root + "/out", "256k");
    if (!small.Valid()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << small.Why() << ")";
    PoolCalls calls;
    outcomes.push_back(RunCopyJob(root, {"a small file system"}, threads, calls));
  }
  EXPECT_EQ(outcomes[1].list, outcomes[0].list);
  EXPECT_EQ(outcomes[1].tree, outcomes[0].tree);
  const auto count = [&](const std::string& end) {
    return std::count_if(outcomes[1].list.begin(), outcomes[1].list.end(),
                         [&](const std::string& line) { return line.ends_with(end); });
  };
  EXPECT_GT(count(" ok 0"), 0);
  EXPECT_GT(count(" failed " + std::to_string(ENOSPC)), 0);
}

struct MeddleCase {
  const char* name;
  // Changes the source (or the target) after its copy was written ahead.
  std::function<void(const std::string& source, const std::string& target)> meddle;
  bool ok;
  int error;
  const char* copied;  // what the target then holds
};

TEST(CopyAhead, ASourceChangedBeforeItsCopyIsNamedIsCopiedAnewOrFailsAsItWould) {
  const auto rewrite = [](const std::string& path, const std::string& bytes) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    // Past the clock's tick, so that the change time can tell.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WriteFile(path, bytes);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};  // only the change time tells
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  };
  const MeddleCase cases[] = {
      {"removed", [](const std::string& s, const std::string&) { fs::remove(s); }, false, ENOENT,
       nullptr},
      {"appended to",
       [](const std::string& s, const std::string&) { WriteFile(s, ReadFile(s) + " and more"); },
       true, 0, "first and more"},
      {"rewritten in place, same size and time",
       [&](const std::string& s, const std::string&) { rewrite(s, "FIRST"); }, true, 0, "FIRST"},
      {"replaced by another file",
       [](const std::string& s, const std::string&) {
         WriteFile(s + ".new", "second");
         fs::rename(s + ".new", s);
       },
       true, 0, "second"},
      {"its target taken meanwhile",
       [](const std::string&, const std::string& t) { WriteFile(t, "intruder"); }, false, EEXIST,
       "intruder"},
  };
  for (const MeddleCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string source = dir / "first.mp3", target = dir / "out/first.mp3";
    fs::create_directories(dir / "out");
    WriteFile(source, "first");
    PoolCalls calls;
    bool meddled = false;
    calls.onStat = [&](const std::string& path) {
      if (path != source || std::exchange(meddled, true)) return;
      c.meddle(source, target);
    };
    TLinuxFileOps ops(calls);
    ops.SetCopyThreads(2);
    bool planned = false;
    ops.ExpectCopies([&](std::u16string& from, std::u16string& to) {
      if (std::exchange(planned, true)) return false;
      from = W(source);
      to = W(target);
      return true;
    });
    errno = 0;
    EXPECT_EQ(ops.CopyFile(W(source), W(target)), c.ok);
    EXPECT_EQ(errno, c.error);
    ops.ExpectCopies({});
    EXPECT_TRUE(meddled);
    if (c.copied != nullptr)
      EXPECT_EQ(ReadFile(target), c.copied);
    else
      EXPECT_FALSE(Exists(target));
    EXPECT_EQ(Files(dir / "out").size(), c.copied != nullptr ? 1u : 0u);
  }
}

TEST(CopyAhead, AKilledCopyJobLeavesOnlyWhatItNamedAndIsUndone) {
  TempDir dir;
  const std::string lib = dir / "lib", dest = dir / "Sorted", state = dir / "state";
  fs::create_directories(lib);
  for (int i = 0; i < 30; ++i)
    WriteFile(lib + "/" + std::to_string(i) + ".mp3",
              Tagged("A", "T" + std::to_string(i), 2000 + static_cast<size_t>(i)));
  const auto before = Snap(dir.Path());
  // Killed right after its third copy, while the pool has written later ones.
  CliResult job = RunCli({"rename", "--copy", "--dest", dest, lib},
                         {{"XDG_STATE_HOME", state}, {"DOVRENAME_TEST_HOOK_KILL_AFTER", "3"}});
  ASSERT_EQ(job.Signal, SIGKILL) << job.Err;
  size_t copies = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dest))
    if (entry.is_regular_file()) {
      ++copies;
      EXPECT_NE(entry.path().filename().string().front(), '.');  // nothing hidden or partial
    }
  EXPECT_EQ(copies, 3u);

  CliResult undo = RunCli({"undo"}, {{"XDG_STATE_HOME", state}});
  EXPECT_EQ(undo.Status, 0) << undo.Err;
  EXPECT_THAT(undo.Out, EndsWith("\n3 files restored\n"));
  fs::remove_all(state);
  EXPECT_EQ(Snap(dir.Path()), before);
}

}  // namespace
}  // namespace dov::test
