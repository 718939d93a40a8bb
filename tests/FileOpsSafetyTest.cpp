// What the file-operation tests leave to this one: a read-only target (a
// read-only bind mount, since chmod does not stop root), a source that
// vanishes before or during the operation, modes and times across file
// systems, copies that share extents, and a race against another process. Mounts need root where
// the machine allows them; without, those tests skip and the same errors are injected through
// IPosixCalls.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::W;
using test::WriteFile;

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Pattern(size_t size, unsigned seed = 7) {
  std::string s(size, '\0');
  uint32_t x = seed;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

using test::TMount;

#define SKIP_WITHOUT_MOUNT(mount)                                   \
  if (!(mount).Valid())                                             \
  GTEST_SKIP() << "mounting is not allowed here (" << (mount).Why() \
               << "); the same error is injected through IPosixCalls in the Injected tests"

// The hidden name beside a file that a move gives its source just before it
// removes it: on the source's own file system.
bool IsTemporaryName(const std::string& path) {
  return fs::path(path).filename().string().starts_with(".dovrename-");
}

// The system calls with the errors of a read-only target folder, of a source
// that another process removes at a chosen step, or of a source on another
// file system.
class TInjectedCalls : public IPosixCalls {
 public:
  std::string readOnlyFolder;       // creating, renaming or linking into it: EROFS
  std::string sourceOnOtherFs;      // renames and links from it: EXDEV
  std::string vanishingSource;      // removed by "another process" ...
  bool vanishBeforeUnlink = false;  // ... just before the operation unlinks it
  bool vanishAfterOpen = false;     // ... just after the operation opened it

  int Open(const char* path, int flags, mode_t mode) override {
    if ((flags & O_CREAT) != 0 && InReadOnly(path)) return Fail(EROFS);
    if ((flags & O_TMPFILE) == O_TMPFILE && path == readOnlyFolder) return Fail(EROFS);
    int fd = IPosixCalls::Open(path, flags, mode);
    if (fd >= 0 && vanishAfterOpen && path == vanishingSource) ::unlink(path);
    return fd;
  }
  int RenameNoReplace(const char* from, const char* to) override {
    if (from == sourceOnOtherFs && !IsTemporaryName(to)) return Fail(EXDEV);
    // The move hides its source just before it removes it.
    if (vanishBeforeUnlink && from == vanishingSource && IsTemporaryName(to)) ::unlink(from);
    if (InReadOnly(to) || InReadOnly(from)) return Fail(EROFS);
    return IPosixCalls::RenameNoReplace(from, to);
  }
  int Link(const char* from, const char* to) override {
    if (from == sourceOnOtherFs && !IsTemporaryName(to)) return Fail(EXDEV);
    if (InReadOnly(to)) return Fail(EROFS);
    return IPosixCalls::Link(from, to);
  }
  int Linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) override {
    if (InReadOnly(to)) return Fail(EROFS);
    return IPosixCalls::Linkat(fromFolder, from, toFolder, to, flags);
  }
  int Unlink(const char* path) override {
    if (vanishBeforeUnlink && path == vanishingSource) ::unlink(path);
    if (InReadOnly(path)) return Fail(EROFS);
    return IPosixCalls::Unlink(path);
  }
  int Mkdir(const char* path, mode_t mode) override {
    if (InReadOnly(path) && std::string(path) != readOnlyFolder) return Fail(EROFS);
    return IPosixCalls::Mkdir(path, mode);
  }

 private:
  bool InReadOnly(const std::string& path) const {
    return !readOnlyFolder.empty() && path.starts_with(readOnlyFolder + "/");
  }
  static int Fail(int error) {
    errno = error;
    return -1;
  }
};

// A tagged file for the engine: APEv2 artist, title and genre.
std::string Tagged(const std::string& title, int n) {
  return Pattern(300, static_cast<unsigned>(n)) +
         test::ApeTag({{"Artist", "Artist"}, {"Title", title}, {"Genre", "Rock"}});
}

// --- A read-only target --------------------------------------------------------

// Moving, renaming and copying into a read-only folder all fail, the source
// stays whole and nothing is left behind, also when the move across file
// systems gets as far as copying. And out of a read-only folder a move that
// cannot remove its source leaves no second copy.
void ExpectReadOnlyTargetRefused(IFileOps& ops, const std::string& writable,
                                 const std::string& readOnly) {
  const std::string content = Pattern(100000);
  const std::string from = writable + "/song.mp3";
  WriteFile(from, content);
  const std::vector<std::string> before = Entries(readOnly);
  EXPECT_FALSE(ops.MoveFile(W(from), W(readOnly + "/song.mp3"), false));
  EXPECT_FALSE(ops.MoveFile(W(from), W(readOnly + "/song.mp3"), true));
  EXPECT_FALSE(ops.CopyFile(W(from), W(readOnly + "/song.mp3")));
  EXPECT_FALSE(ops.CreateFolders(W(readOnly + "/Rock")));
  EXPECT_TRUE(ReadFile(from) == content) << "the source is not whole";
  EXPECT_EQ(Entries(readOnly), before);
  EXPECT_EQ(Entries(writable), std::vector<std::string>{"song.mp3"});

  // Out of the read-only folder: the copy arrives, the source cannot go, so
  // the copy goes again and the move counts as failed.
  const std::string stuck = readOnly + "/inside.mp3";
  ASSERT_TRUE(Exists(stuck));
  EXPECT_FALSE(ops.MoveFile(W(stuck), W(writable + "/inside.mp3"), true));
  EXPECT_TRUE(Exists(stuck));
  EXPECT_EQ(Entries(writable), std::vector<std::string>{"song.mp3"});
  // A copy out of it is fine.
  EXPECT_TRUE(ops.CopyFile(W(stuck), W(writable + "/copy.mp3")));
  EXPECT_EQ(ReadFile(writable + "/copy.mp3"), ReadFile(stuck));
}

// Kills and reaps a forked helper process when the test ends, early or not.
struct TChildGuard {
  pid_t pid;
  ~TChildGuard() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

TEST(FileOpsSafety, AReadOnlyBindMountRefusesEveryOperationAndLosesNothing) {
  TempDir dir;
  const std::string writable = dir / "writable", backing = dir / "backing",
                    readOnly = dir / "readonly";
  fs::create_directories(writable);
  fs::create_directories(backing);
  fs::create_directories(readOnly);
  WriteFile(backing + "/inside.mp3", "already there");
  TMount mount = TMount::ReadOnlyBind(backing, readOnly);
  SKIP_WITHOUT_MOUNT(mount);
  // chmod would not have stopped root; the mount does.
  const int probe = ::open((readOnly + "/probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  const int probeError = errno;
  if (probe >= 0) ::close(probe);
  ASSERT_LT(probe, 0);
  ASSERT_EQ(probeError, EROFS);
  TLinuxFileOps ops;
  ExpectReadOnlyTargetRefused(ops, writable, readOnly);
}

TEST(FileOpsSafety, InjectedReadOnlyTargetRefusesEveryOperationAndLosesNothing) {
  TempDir dir;
  const std::string writable = dir / "writable", readOnly = dir / "readonly";
  fs::create_directories(writable);
  fs::create_directories(readOnly);
  WriteFile(readOnly + "/inside.mp3", "already there");
  TInjectedCalls calls;
  calls.readOnlyFolder = readOnly;
  calls.sourceOnOtherFs = readOnly + "/inside.mp3";
  TLinuxFileOps ops(calls);
  ExpectReadOnlyTargetRefused(ops, writable, readOnly);
}

// A whole job into a read-only destination: every file counted unchanged.
TEST(FileOpsSafety, AJobIntoAReadOnlyDestinationCountsEveryFileUnchanged) {
  TempDir dir;
  const std::string in = dir / "in", backing = dir / "backing", out = dir / "out";
  for (const std::string& f : {in, backing, out}) fs::create_directories(f);
  TMount mount = TMount::ReadOnlyBind(backing, out);
  TInjectedCalls injected;
  if (!mount.Valid()) injected.readOnlyFolder = out;  // no mount: the same error injected
  for (int i = 0; i < 5; ++i)
    WriteFile(in + "/f" + std::to_string(i) + ".mp3", Tagged("T" + std::to_string(i), i));
  TRenameOptions options;
  options.SourceFolder = W(in);
  options.DestFolder = W(out);
  options.Rename = true;
  options.Move = true;
  TLinuxFileOps ops(injected);
  test::TRecordingView view;
  TRenameEngine engine(ops, view);
  const TJobResult result = engine.Run(options);
  EXPECT_EQ(result.Total, 5);
  EXPECT_EQ(result.Done, 0);
  EXPECT_EQ(view.Statuses.back(), "finished 0 of 5");
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(ReadFile(in + "/f" + std::to_string(i) + ".mp3"), Tagged("T" + std::to_string(i), i));
  EXPECT_TRUE(Entries(out).empty());
}

// --- A source that vanishes ------------------------------------------------------

TEST(FileOpsSafety, ASourceThatVanishedBeforeTheOperationFailsAndCreatesNothing) {
  TempDir dir;
  fs::create_directories(dir / "out");
  TLinuxFileOps ops;
  EXPECT_FALSE(ops.MoveFile(W(dir / "gone.mp3"), W(dir / "out/a.mp3"), false));
  EXPECT_FALSE(ops.MoveFile(W(dir / "gone.mp3"), W(dir / "out/a.mp3"), true));
  EXPECT_FALSE(ops.CopyFile(W(dir / "gone.mp3"), W(dir / "out/a.mp3")));
  EXPECT_TRUE(Entries(dir / "out").empty());

  // Through the engine: the list is made, then another process removes one
  // file before its turn; it counts as unchanged and the others go on.
  const std::string in = dir / "in";
  fs::create_directories(in);
  for (int i = 0; i < 3; ++i)
    WriteFile(in + "/f" + std::to_string(i) + ".mp3", Tagged("T" + std::to_string(i), i));
  class VanishingOps : public IFileOps {
   public:
    explicit VanishingOps(IFileOps& real, std::string victim)
        : real_(real), victim_(std::move(victim)) {}
    bool CreateFolders(const std::u16string& p) override { return real_.CreateFolders(p); }
    bool MoveFile(const std::u16string& f, const std::u16string& t, bool c) override {
      Vanish(f);
      return real_.MoveFile(f, t, c);
    }
    bool CopyFile(const std::u16string& f, const std::u16string& t) override {
      Vanish(f);
      return real_.CopyFile(f, t);
    }

   private:
    void Vanish(const std::u16string& from) {
      if (WideToNative(from) == victim_) ::unlink(victim_.c_str());
    }
    IFileOps& real_;
    std::string victim_;
  };
  VanishingOps vanishing(ops, in + "/f1.mp3");
  test::TRecordingView view;
  TRenameEngine engine(vanishing, view);
  TRenameOptions options;
  options.SourceFolder = W(in);
  options.DestFolder = W(dir / "out");
  options.Rename = true;
  options.Copy = true;
  const TJobResult result = engine.Run(options);
  EXPECT_EQ(result.Total, 3);
  EXPECT_EQ(result.Done, 2);
  EXPECT_EQ(Entries(dir / "out/Rock"),
            (std::vector<std::string>{"Artist - T0.mp3", "Artist - T2.mp3"}));
}

// The source is removed by someone else while it is being copied to another
// file system, or just before the move removes it: the copy, whole, is then
// the only one there is, and it stays.
TEST(FileOpsSafety, ASourceThatVanishesDuringAMoveAcrossFileSystemsIsNotLost) {
  for (bool beforeUnlink : {false, true}) {
    SCOPED_TRACE(beforeUnlink ? "removed just before the move removes it"
                              : "removed while it is copied");
    TempDir dir;
    const std::string from = dir / "song.mp3", to = dir / "moved.mp3";
    const std::string content = Pattern(3 * 1024 * 1024 + 5);
    WriteFile(from, content);
    TInjectedCalls calls;
    calls.sourceOnOtherFs = from;
    calls.vanishingSource = from;
    calls.vanishAfterOpen = !beforeUnlink;
    calls.vanishBeforeUnlink = beforeUnlink;
    TLinuxFileOps ops(calls);
    EXPECT_TRUE(ops.MoveFile(W(from), W(to), true));
    EXPECT_FALSE(Exists(from));
    EXPECT_TRUE(ReadFile(to) == content) << "the moved file is not whole";
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"moved.mp3"});
  }
  // The same on the link path, where the file system refuses RENAME_NOREPLACE:
  // the old name vanishes between the link and its removal.
  TempDir dir;
  const std::string from = dir / "song.mp3", to = dir / "linked.mp3";
  WriteFile(from, "content");
  class LinkPathCalls : public TInjectedCalls {
   public:
    int RenameNoReplace(const char*, const char*) override {
      errno = EINVAL;
      return -1;
    }
  } calls;
  calls.vanishingSource = from;
  calls.vanishBeforeUnlink = true;
  TLinuxFileOps ops(calls);
  EXPECT_TRUE(ops.MoveFile(W(from), W(to), false));
  EXPECT_EQ(ReadFile(to), "content");
  EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"linked.mp3"});
}

// --- Modes and times across file systems ------------------------------------------

TEST(FileOpsSafety, ModesAndTimesSurviveMovesAndCopiesAcrossFileSystems) {
  TempDir dir;
  const std::string disk = dir / "disk", other = dir / "other";
  fs::create_directories(disk);
  fs::create_directories(other);
  TMount mount = TMount::Tmpfs(other);
  SKIP_WITHOUT_MOUNT(mount);
  struct stat a {
  }, b{};
  ASSERT_EQ(::stat(disk.c_str(), &a), 0);
  ASSERT_EQ(::stat(other.c_str(), &b), 0);
  ASSERT_NE(a.st_dev, b.st_dev);

  const mode_t modes[] = {0600, 0644, 0664, 0700, 0755, 0444, 0400, 0000, 02755, 04755, 01777};
  const struct timespec times[] = {{0, 0},
                                   {-1, 0},
                                   {-86400LL * 365 * 30, 250},
                                   {1000000000, 999999999},
                                   {4102444800LL, 1}};  // 1970, 1969, 1940, 2001, 2100
  int n = 0;
  TLinuxFileOps ops;
  for (mode_t mode : modes) {
    for (const struct timespec& when : times) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", time " + std::to_string(when.tv_sec));
      const std::string name = "f" + std::to_string(n++) + ".mp3";
      const std::string content = Pattern(static_cast<size_t>(n) * 1000, static_cast<unsigned>(n));
      WriteFile(disk + "/" + name, content);
      ASSERT_EQ(::chmod((disk + "/" + name).c_str(), mode), 0);
      const struct timespec both[2] = {when, when};
      ASSERT_EQ(::utimensat(AT_FDCWD, (disk + "/" + name).c_str(), both, 0), 0);

      // Across and back again, then a copy across.
      ASSERT_TRUE(ops.MoveFile(W(disk + "/" + name), W(other + "/" + name), true));
      ASSERT_TRUE(ops.MoveFile(W(other + "/" + name), W(disk + "/back-" + name), true));
      ASSERT_TRUE(ops.CopyFile(W(disk + "/back-" + name), W(other + "/copy-" + name)));
      for (const std::string& path : {disk + "/back-" + name, other + "/copy-" + name}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        // A copy drops set-id and sticky bits; a move keeps them with the owner.
        const bool copy = path.starts_with(other);
        EXPECT_EQ(st.st_mode & 07777, copy ? mode & 0777 : mode) << path;
        EXPECT_EQ(st.st_mtim.tv_sec, when.tv_sec) << path;
        EXPECT_EQ(st.st_mtim.tv_nsec, when.tv_nsec) << path;
        EXPECT_TRUE(ReadFile(path) == content) << path;
      }
      EXPECT_FALSE(Exists(disk + "/" + name));
      EXPECT_FALSE(Exists(other + "/" + name));
    }
  }
  // Nothing but the files: no temporary file on either side.
  for (const std::string& folder : {disk, other})
    for (const std::string& name : Entries(folder)) EXPECT_NE(name[0], '.') << name;
}

// --- A race against another process --------------------------------------------------

// Shared with the child process: the iteration to run and the one it finished.
struct TRaceBoard {
  std::atomic<int> go{0};
  std::atomic<int64_t> childDelayNs{0};  // how long the child waits after go
  std::atomic<int> done{0};
  std::atomic<int> created{0};  // iterations in which the child created the name
};
static_assert(std::atomic<int>::is_always_lock_free);

void SpinFor(std::chrono::nanoseconds d) {
  const auto until = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < until) {
  }
}

// Another process creates the target name, exclusively, at a moment that moves
// from before the operation to after it across the iterations. Either the
// operation fails and the other file is untouched, or it succeeds and the
// other process's create fails; the source is never lost and no temporary
// file stays.
void RaceAgainstAnotherProcess(const std::string& sourceFolder, const std::string& targetFolder,
                               int kind) {
  constexpr int kIterations = 300;
  void* shared = ::mmap(nullptr, sizeof(TRaceBoard), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* board = new (shared) TRaceBoard();
  // Made before the fork: the child only makes system calls.
  std::vector<std::string> targets(kIterations + 1);
  for (int i = 1; i <= kIterations; ++i)
    targets[static_cast<size_t>(i)] = targetFolder + "/t" + std::to_string(i) + ".mp3";
  const auto targetOf = [&](int i) { return targets[static_cast<size_t>(i)]; };

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 1; i <= kIterations; ++i) {
      while (board->go.load() < i) {
      }
      SpinFor(std::chrono::nanoseconds(board->childDelayNs.load()));
      const char* path = targets[static_cast<size_t>(i)].c_str();
      int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        if (::write(fd, "other process", 13) != 13) ::_exit(3);
        ::close(fd);
        board->created.fetch_add(1);
      }
      board->done.store(i);
    }
    ::_exit(0);
  }
  TChildGuard guard{child};  // should the test end early, the child ends with it
  const auto waitForChild = [&](int i) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (board->done.load() < i)
      if (std::chrono::steady_clock::now() > until) return false;
    return true;
  };

  TLinuxFileOps ops;
  int operationWon = 0, otherWon = 0;
  double averageNs = 50000;  // how long one operation takes here
  for (int i = 1; i <= kIterations; ++i) {
    const std::string from = sourceFolder + "/s" + std::to_string(i) + ".mp3";
    const std::string content =
        Pattern(static_cast<size_t>(1000 + i * 97), static_cast<unsigned>(i));
    WriteFile(from, content);
    const int createdBefore = board->created.load();
    // One side waits a little: from a quarter of an operation's time for the
    // operation to a whole one for the other process, so that the name is
    // created at every stage of the operation, the last moment included.
    const auto lead = std::chrono::nanoseconds(
        static_cast<int64_t>(averageNs * static_cast<double>(i % 12 - 2) / 8));
    board->childDelayNs.store(std::max<int64_t>(lead.count(), 0));
    board->go.store(i);
    if (lead.count() < 0) SpinFor(-lead);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = kind == 0   ? ops.MoveFile(W(from), W(targetOf(i)), false)
                    : kind == 1 ? ops.CopyFile(W(from), W(targetOf(i)))
                                : ops.MoveFile(W(from), W(targetOf(i)), true);
    const auto took = std::chrono::steady_clock::now() - start;
    averageNs = 0.8 * averageNs + 0.2 * static_cast<double>(took.count());
    ASSERT_TRUE(waitForChild(i)) << "the other process stopped at iteration " << i;
    const bool otherCreated = board->created.load() > createdBefore;
    ASSERT_NE(ok, otherCreated) << "iteration " << i;
    if (ok) {
      ++operationWon;
      ASSERT_TRUE(ReadFile(targetOf(i)) == content) << "iteration " << i;
      ASSERT_EQ(Exists(from), kind == 1) << "iteration " << i;
    } else {
      ++otherWon;
      ASSERT_EQ(ReadFile(targetOf(i)), "other process") << "iteration " << i;
      ASSERT_TRUE(ReadFile(from) == content) << "iteration " << i;
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  guard.pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const std::string& folder : {sourceFolder, targetFolder})
    for (const std::string& name : Entries(folder)) EXPECT_NE(name[0], '.') << name;
  ::testing::Test::RecordProperty("operationWon", operationWon);
  ::testing::Test::RecordProperty("otherWon", otherWon);
  board->~TRaceBoard();
  ::munmap(shared, sizeof(TRaceBoard));
}

TEST(FileOpsSafety, RenameRacingAnotherProcessNeverReplaces) {
  TempDir dir;
  RaceAgainstAnotherProcess(dir.Path().string(), dir.Path().string(), 0);
}

TEST(FileOpsSafety, CopyRacingAnotherProcessNeverReplaces) {
  TempDir dir;
  RaceAgainstAnotherProcess(dir.Path().string(), dir.Path().string(), 1);
}

TEST(FileOpsSafety, MoveAcrossFileSystemsRacingAnotherProcessNeverReplaces) {
  TempDir dir;
  const std::string other = dir / "other";
  fs::create_directories(other);
  TMount mount = TMount::Tmpfs(other);
  SKIP_WITHOUT_MOUNT(mount);
  fs::create_directories(dir / "source");
  RaceAgainstAnotherProcess(dir / "source", other, 2);
}

// --- Copies that share their data -------------------------------------------------

// The extents of a file as the file system maps them (FIEMAP), written out
// first so that the map is final.
std::vector<struct fiemap_extent> ExtentsOf(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  constexpr unsigned kMostExtents = 64;
  std::vector<char> buffer(sizeof(struct fiemap) + kMostExtents * sizeof(struct fiemap_extent));
  auto* map = reinterpret_cast<struct fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = kMostExtents;
  const bool ok = ::ioctl(fd, FS_IOC_FIEMAP, map) == 0;
  ::close(fd);
  if (!ok) return {};
  return {map->fm_extents, map->fm_extents + map->fm_mapped_extents};
}

// On file systems with reflinks a copy takes no new space: its extents are
// the source's, marked shared, and it still has the source's bytes, mode and
// time. Mounting a loop image needs root where the machine allows it.
TEST(FileOpsSafety, ACopyOnXfsOrBtrfsSharesTheSourcesExtents) {
  struct Case {
    const char* type;
    off_t imageSize;  // XFS needs 300 MiB at least; the image is sparse
  };
  const Case cases[] = {{"xfs", off_t{300} << 20}, {"btrfs", off_t{256} << 20}};
  int tried = 0;
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    TempDir dir;
    const std::string at = dir / "mnt";
    fs::create_directories(at);
    TMount mount = TMount::LoopImage(dir / "image", at, c.type, c.imageSize);
    if (!mount.Valid()) {
      skipped += std::string(" ") + c.type + ": " + mount.Why() + ";";
      continue;
    }
    ++tried;
    const std::string from = at + "/song.flac", to = at + "/Rock/song.flac";
    const std::string content = Pattern(8 * 1024 * 1024 + 4096);
    WriteFile(from, content);
    ASSERT_EQ(::chmod(from.c_str(), 0640), 0);
    const struct timespec when[2] = {{1500000000, 5}, {1500000000, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), when, 0), 0);
    TLinuxFileOps ops;
    ASSERT_TRUE(ops.CreateFolders(W(at + "/Rock")));
    ASSERT_TRUE(ops.CopyFile(W(from), W(to))) << std::strerror(errno);
    EXPECT_TRUE(ReadFile(to) == content);
    struct stat st {};
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 5);

    const auto source = ExtentsOf(from), copy = ExtentsOf(to);
    ASSERT_FALSE(copy.empty());
    ASSERT_EQ(copy.size(), source.size());
    for (size_t i = 0; i < copy.size(); ++i) {
      EXPECT_TRUE(copy[i].fe_flags & FIEMAP_EXTENT_SHARED) << "extent " << i << " is not shared";
      EXPECT_EQ(copy[i].fe_physical, source[i].fe_physical) << "extent " << i;
      EXPECT_EQ(copy[i].fe_length, source[i].fe_length) << "extent " << i;
    }
  }
  if (tried == 0)
    GTEST_SKIP() << "no XFS or Btrfs image could be mounted here (" << skipped
                 << " needs root, loop devices and xfsprogs or btrfs-progs)";
}

// --- Sources changed by another process while they are moved -----------------

constexpr int kStressFiles = 40;

// Shared with the other process: what it did to each file.
struct TStressBoard {
  std::atomic<bool> stop{false};
  std::atomic<int> appends[kStressFiles] = {};
  std::atomic<bool> deleted[kStressFiles] = {};
};

std::string StressHeader(int id) {
  char header[32];
  std::snprintf(header, sizeof header, "file %03d\n", id);
  return header;
}

std::string StressChunk(int id, int k) {
  char chunk[40];
  std::snprintf(chunk, sizeof chunk, "[append %03d %06d]", id, k);
  return std::string(chunk) + std::string(80, static_cast<char>('a' + k % 26));
}

std::string StressContent(int id, int appends) {
  std::string content = StressHeader(id) + Pattern(256 * 1024, static_cast<unsigned>(id + 1));
  for (int k = 0; k < appends; ++k) content += StressChunk(id, k);
  return content;
}

// The other process: appends to the files by their names (80 %), renames
// them within the folder (10 %) and deletes a few (10 %, at most a fifth),
// until told to stop. An append counts once open and write succeeded.
[[noreturn]] void ChangeSourcesUntilStopped(TStressBoard& board, const std::string& folder) {
  std::vector<std::string> names(kStressFiles);
  for (int i = 0; i < kStressFiles; ++i)
    names[static_cast<size_t>(i)] = folder + "/s" + std::to_string(i) + ".mp3";
  // It ends with the test, however that ends, and after a minute at the most.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  uint32_t random = 12345;
  int deletes = 0, renames = 0;
  while (!board.stop.load() && std::chrono::steady_clock::now() < deadline) {
    random = random * 1664525u + 1013904223u;
    const int i = static_cast<int>((random >> 8) % kStressFiles);
    const uint32_t choice = (random >> 20) % 100;
    std::string& name = names[static_cast<size_t>(i)];
    if (board.deleted[i].load()) continue;
    if (choice < 80) {
      const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd < 0) continue;
      const std::string chunk = StressChunk(i, board.appends[i].load());
      if (::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size()))
        board.appends[i].fetch_add(1);
      ::close(fd);
    } else if (choice < 90) {
      const std::string renamed = folder + "/r" + std::to_string(++renames) + ".mp3";
      if (::rename(name.c_str(), renamed.c_str()) == 0) name = renamed;
    } else if (deletes < kStressFiles / 5 && ::unlink(name.c_str()) == 0) {
      ++deletes;
      board.deleted[i].store(true);
    }
    SpinFor(std::chrono::microseconds(20));
  }
  ::_exit(0);
}

// Moves every file in folder to other, as a job does; true when any was moved.
int MoveAllOnce(IFileOps& ops, const std::string& folder, const std::string& other) {
  int moved = 0;
  for (const std::string& name : Entries(folder))
    if (name[0] != '.' && ops.MoveFile(W(folder + "/" + name), W(other + "/" + name), true))
      ++moved;
  return moved;
}

// Files are moved to another file system while another process appends to,
// renames and deletes them. Afterwards every file the other process did not
// delete is in exactly one place, whole, with every append that succeeded.
TEST(FileOpsSafety, MovesAcrossFileSystemsLoseNothingWhileSourcesChange) {
  TempDir dir;
  const std::string source = dir / "source", other = dir / "other";
  fs::create_directories(source);
  fs::create_directories(other);
  TMount mount = TMount::Tmpfs(other, "128m");
  SKIP_WITHOUT_MOUNT(mount);
  for (int i = 0; i < kStressFiles; ++i)
    WriteFile(source + "/s" + std::to_string(i) + ".mp3", StressContent(i, 0));

  void* shared = ::mmap(nullptr, sizeof(TStressBoard), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* board = new (shared) TStressBoard();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ChangeSourcesUntilStopped(*board, source);
  TChildGuard guard{child};

  // A few rounds over what is there, each while the other process works.
  TLinuxFileOps ops;
  int moved = 0;
  for (int round = 0; round < 4; ++round) moved += MoveAllOnce(ops, source, other);
  board->stop.store(true);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  guard.pid = 0;
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  moved += MoveAllOnce(ops, source, other);  // and once more in peace

  std::vector<std::vector<std::string>> found(kStressFiles);
  for (const std::string& folder : {source, other}) {
    for (const std::string& name : Entries(folder)) {
      EXPECT_NE(name[0], '.') << "left behind: " << folder << "/" << name;
      const std::string content = ReadFile(folder + "/" + name);
      const int id = std::atoi(content.substr(5, 3).c_str());
      ASSERT_TRUE(content.starts_with(StressHeader(id))) << name;
      found[static_cast<size_t>(id)].push_back(content);
    }
  }
  int appends = 0;
  for (int i = 0; i < kStressFiles; ++i) {
    SCOPED_TRACE("file " + std::to_string(i));
    const auto& copies = found[static_cast<size_t>(i)];
    appends += board->appends[i].load();
    if (board->deleted[i].load()) {
      EXPECT_LE(copies.size(), 1u);  // removed during its move, the copy may stay
      continue;
    }
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_TRUE(copies[0] == StressContent(i, board->appends[i].load()))
        << "size " << copies[0].size() << ", expected "
        << StressContent(i, board->appends[i].load()).size();
  }
  EXPECT_GT(moved, 0);
  ::testing::Test::RecordProperty("moved", moved);
  ::testing::Test::RecordProperty("appends", appends);
  board->~TStressBoard();
  ::munmap(shared, sizeof(TStressBoard));
}

}  // namespace
}  // namespace dov
