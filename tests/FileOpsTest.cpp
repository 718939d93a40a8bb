#include "engine/FileOps.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/DOVTnt.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::W;
using test::WriteFile;

// The hidden name a copy is written under, or the source of a move is
// given just before it goes: it lies beside the file, on its file system.
bool IsTemporaryName(const std::string& path) {
  return fs::path(path).filename().string().starts_with(".dovrename-");
}

// Names left in a folder by a copy that went wrong.
std::vector<std::string> TemporaryFiles(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.path().filename().string().starts_with(".dovrename-"))
      found.push_back(entry.path().filename().string());
  return found;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    names.push_back(entry.path().filename().string());
  return names;
}

// Bytes that are not the same at every offset, so a short or shifted copy shows.
std::string Pattern(size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

void SetModeAndTime(const std::string& path, mode_t mode, time_t seconds, long nanoseconds) {
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

bool SameFileSystem(const std::string& a, const std::string& b) {
  return StatOf(a).st_dev == StatOf(b).st_dev;
}

// The system calls, with one chosen call made to fail and a file system that
// can be told to refuse RENAME_NOREPLACE or to lie on another device.
class FakeCalls : public IPosixCalls {
 public:
  enum Kind {
    kOpen,
    kClose,
    kCloseWritable,
    kRead,
    kWrite,
    kFstat,
    kFchown,
    kFchmod,
    kFutimens,
    kFsync,
    kFsyncFolder,
    kRename,
    kLink,
    kLinkat,
    kUnlink,
    kMkdir,
    kStat,
    kCopyFileRange
  };

  int failAt = 0;                // 1-based number of the call that fails; 0 for none
  std::optional<Kind> failKind;  // or the first call of this kind fails
  int failErrno = EIO;
  int renameErrno = 0;            // every RenameNoReplace fails with this
  std::string otherDevice;        // renames and links of this path fail with EXDEV
  size_t maxWrite = 0;            // writes and copy_file_range take at most this many bytes
  bool interrupt = false;         // every other read, write and copy_file_range is interrupted
  bool refuseTmpfile = false;     // the file system cannot make unnamed files
  int copyRangeRefusedFrom = 0;   // copy_file_range fails from this call on (1-based) ...
  int copyRangeErrno = EXDEV;     // ... with this error, or returns 0 when it is 0
  std::function<void()> onWrite;  // runs before each write and copy_file_range
  std::vector<std::pair<uid_t, gid_t>> chowns;  // every owner asked for

  int unnamedFiles = 0;  // O_TMPFILE files opened
  int calls = 0;
  std::vector<Kind> failed;
  std::map<Kind, int> counts;

  int Open(const char* path, int flags, mode_t mode) override {
    if (Fail(kOpen)) return -1;
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    if (unnamed && refuseTmpfile) return Refuse(EOPNOTSUPP);
    int fd = IPosixCalls::Open(path, flags, mode);
    if (fd >= 0 && unnamed) ++unnamedFiles;
    if (fd >= 0 && (flags & O_ACCMODE) != O_RDONLY) writable_.insert(fd);
    if (fd >= 0 && (flags & O_DIRECTORY) && !unnamed) folders_.insert(fd);
    return fd;
  }
  int Close(int fd) override {
    bool wasWritable = writable_.erase(fd) > 0;
    folders_.erase(fd);
    bool fail = Fail(wasWritable ? kCloseWritable : kClose);
    int result = IPosixCalls::Close(fd);  // a failed close still frees the descriptor
    if (fail) {
      errno = failErrno;
      return -1;
    }
    return result;
  }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    if (Fail(kRead) || Interrupted()) return -1;
    return IPosixCalls::Read(fd, buffer, count);
  }
  ssize_t Write(int fd, const void* buffer, size_t count) override {
    if (onWrite) onWrite();
    if (Fail(kWrite) || Interrupted()) return -1;
    if (maxWrite != 0 && count > maxWrite) count = maxWrite;
    return IPosixCalls::Write(fd, buffer, count);
  }
  ssize_t CopyFileRange(int in, int out, size_t count) override {
    if (onWrite) onWrite();
    if (Fail(kCopyFileRange) || Interrupted()) return -1;
    if (copyRangeRefusedFrom != 0 && counts[kCopyFileRange] >= copyRangeRefusedFrom)
      return copyRangeErrno == 0 ? 0 : Refuse(copyRangeErrno);
    if (maxWrite != 0 && count > maxWrite) count = maxWrite;
    return IPosixCalls::CopyFileRange(in, out, count);
  }
  int Fstat(int fd, struct stat* st) override {
    return Fail(kFstat) ? -1 : IPosixCalls::Fstat(fd, st);
  }
  int Fchown(int fd, uid_t owner, gid_t group) override {
    chowns.emplace_back(owner, group);
    return Fail(kFchown) ? -1 : IPosixCalls::Fchown(fd, owner, group);
  }
  int Fchmod(int fd, mode_t mode) override {
    return Fail(kFchmod) ? -1 : IPosixCalls::Fchmod(fd, mode);
  }
  int Futimens(int fd, const struct timespec times[2]) override {
    return Fail(kFutimens) ? -1 : IPosixCalls::Futimens(fd, times);
  }
  int Fsync(int fd) override {
    return Fail(folders_.count(fd) ? kFsyncFolder : kFsync) ? -1 : IPosixCalls::Fsync(fd);
  }
  int RenameNoReplace(const char* from, const char* to) override {
    if (Fail(kRename)) return -1;
    if (from == otherDevice && !IsTemporaryName(to)) return Refuse(EXDEV);
    if (renameErrno != 0) return Refuse(renameErrno);
    return IPosixCalls::RenameNoReplace(from, to);
  }
  int Link(const char* from, const char* to) override {
    if (Fail(kLink)) return -1;
    if (from == otherDevice && !IsTemporaryName(to)) return Refuse(EXDEV);
    return IPosixCalls::Link(from, to);
  }
  int Linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) override {
    return Fail(kLinkat) ? -1 : IPosixCalls::Linkat(fromFolder, from, toFolder, to, flags);
  }
  int Unlink(const char* path) override { return Fail(kUnlink) ? -1 : IPosixCalls::Unlink(path); }
  int Mkdir(const char* path, mode_t mode) override {
    return Fail(kMkdir) ? -1 : IPosixCalls::Mkdir(path, mode);
  }
  int Stat(const char* path, struct stat* st) override {
    return Fail(kStat) ? -1 : IPosixCalls::Stat(path, st);
  }

 private:
  bool Fail(Kind kind) {
    ++counts[kind];
    const bool chosen = failKind ? kind == *failKind && failed.empty() : ++calls == failAt;
    if (!chosen) return false;
    failed.push_back(kind);
    errno = failErrno;
    return true;
  }
  bool Interrupted() {
    if (!interrupt || (toggle_ = !toggle_)) return false;
    errno = EINTR;
    return true;
  }
  static int Refuse(int error) {
    errno = error;
    return -1;
  }

  std::set<int> writable_, folders_;
  bool toggle_ = false;
};

// --- Never replacing -------------------------------------------------------

TEST(FileOps, MoveAndCopyNeverReplaceAnExistingFile) {
  struct Case {
    const char* what;
    std::function<bool(IFileOps&, const std::u16string&, const std::u16string&)> op;
    int renameErrno;
    bool refuseTmpfile = false;
  };
  const Case cases[] = {
      {"rename", [](IFileOps& o, auto& f, auto& t) { return o.MoveFile(f, t, false); }, 0},
      {"move", [](IFileOps& o, auto& f, auto& t) { return o.MoveFile(f, t, true); }, 0},
      {"copy", [](IFileOps& o, auto& f, auto& t) { return o.CopyFile(f, t); }, 0},
      {"rename, link path", [](IFileOps& o, auto& f, auto& t) { return o.MoveFile(f, t, false); },
       EINVAL},
      {"move, link path", [](IFileOps& o, auto& f, auto& t) { return o.MoveFile(f, t, true); },
       EINVAL},
      {"copy, named temporary, link path",
       [](IFileOps& o, auto& f, auto& t) { return o.CopyFile(f, t); }, EINVAL, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    FakeCalls calls;
    calls.renameErrno = c.renameErrno;
    calls.refuseTmpfile = c.refuseTmpfile;
    TLinuxFileOps ops(calls);
    WriteFile(dir / "a.mp3", "source");
    WriteFile(dir / "b.mp3", "target");
    EXPECT_FALSE(c.op(ops, W(dir / "a.mp3"), W(dir / "b.mp3")));
    EXPECT_EQ(ReadFile(dir / "a.mp3"), "source");
    EXPECT_EQ(ReadFile(dir / "b.mp3"), "target");
    // Onto itself, and onto a hard link of itself.
    EXPECT_FALSE(c.op(ops, W(dir / "a.mp3"), W(dir / "a.mp3")));
    ASSERT_EQ(::link((dir / "a.mp3").c_str(), (dir / "c.mp3").c_str()), 0);
    EXPECT_FALSE(c.op(ops, W(dir / "a.mp3"), W(dir / "c.mp3")));
    EXPECT_EQ(ReadFile(dir / "a.mp3"), "source");
    EXPECT_EQ(Entries(dir.Path().string()).size(), 3u);
    // And a free name works.
    EXPECT_TRUE(c.op(ops, W(dir / "a.mp3"), W(dir / "d.mp3")));
    EXPECT_EQ(ReadFile(dir / "d.mp3"), "source");
    if (c.renameErrno == EINVAL) {
      EXPECT_GT(calls.counts[FakeCalls::kLink], 0);
    }
  }
}

// One thread moves or copies while another creates the target name at the
// same moment. Exactly one of them gets the name, and no file is lost.
struct RaceCase {
  const char* name;
  bool copy;
  bool allowCopy;
  int renameErrno;
  bool otherFileSystem;
};
void PrintTo(const RaceCase& c, std::ostream* os) {
  *os << c.name;
}

class FileOpsRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(FileOpsRace, TheTargetIsNeverReplaced) {
  const RaceCase& c = GetParam();
  TempDir source;
  std::unique_ptr<TempDir> other;
  if (c.otherFileSystem) {
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm on this machine";
    other = std::make_unique<TempDir>("/dev/shm");
    if (SameFileSystem(source.Path(), other->Path()))
      GTEST_SKIP() << "/dev/shm is on the same file system as " << source.Path();
  }
  const std::string targetFolder = other ? other->Path().string() : source.Path().string();
  FakeCalls calls;
  calls.renameErrno = c.renameErrno;
  TLinuxFileOps ops(calls);

  int moverWins = 0, racerWins = 0;
  double opMicroseconds = 50;  // how long one operation takes here, on average
  for (int i = 0; i < 144; ++i) {
    const std::string from = source / ("src" + std::to_string(i));
    const std::string to = targetFolder + "/dst" + std::to_string(i);
    const std::string mine = "mover " + std::to_string(i) + Pattern(static_cast<size_t>(i * 37));
    WriteFile(from, mine);
    // Both sides meet, then one of them waits a little: a different head start
    // each time, from a fifth of an operation for the mover to one and a half
    // for the racer, so that the racer strikes at every stage of the operation.
    std::atomic<bool> ready{false};
    const auto headStart = std::chrono::microseconds(
        static_cast<int64_t>(opMicroseconds * static_cast<double>(i % 18 - 3) / 10));
    auto wait = [](std::chrono::microseconds us) {
      auto until = std::chrono::steady_clock::now() + us;
      while (std::chrono::steady_clock::now() < until) {
      }
    };
    bool racerCreated = false;
    std::thread racer([&] {
      ready.store(true);
      wait(headStart);
      int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        racerCreated = true;
        EXPECT_EQ(::write(fd, "racer", 5), 5);
        ::close(fd);
      }
    });
    while (!ready.load()) {
    }
    wait(-headStart);
    const auto start = std::chrono::steady_clock::now();
    bool ok = c.copy ? ops.CopyFile(W(from), W(to)) : ops.MoveFile(W(from), W(to), c.allowCopy);
    const auto took = std::chrono::steady_clock::now() - start;
    racer.join();
    opMicroseconds = 0.8 * opMicroseconds +
                     0.2 * static_cast<double>(
                               std::chrono::duration_cast<std::chrono::microseconds>(took).count());

    ASSERT_NE(ok, racerCreated) << "iteration " << i;
    if (ok) {
      ++moverWins;
      ASSERT_EQ(ReadFile(to), mine) << "iteration " << i;
      ASSERT_EQ(Exists(from), c.copy) << "iteration " << i;
    } else {
      ++racerWins;
      ASSERT_EQ(ReadFile(to), "racer") << "iteration " << i;
      ASSERT_EQ(ReadFile(from), mine) << "iteration " << i;
    }
    ASSERT_TRUE(TemporaryFiles(targetFolder).empty()) << "iteration " << i;
  }
  RecordProperty("moverWins", moverWins);
  RecordProperty("racerWins", racerWins);
}

INSTANTIATE_TEST_SUITE_P(Variants, FileOpsRace,
                         ::testing::Values(RaceCase{"Rename", false, false, 0, false},
                                           RaceCase{"RenameLinkPath", false, false, EINVAL, false},
                                           RaceCase{"Copy", true, false, 0, false},
                                           RaceCase{"CopyLinkPath", true, false, EINVAL, false},
                                           RaceCase{"MoveToOtherFileSystem", false, true, 0, true},
                                           RaceCase{"MoveToOtherFileSystemLinkPath", false, true,
                                                    EINVAL, true}),
                         [](const auto& param) { return std::string(param.param.name); });

// --- Moving to another file system ------------------------------------------

TEST(FileOps, MoveToAnotherFileSystemArrivesWholeWithModeAndTime) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm on this machine";
  TempDir disk;
  TempDir shm("/dev/shm");
  if (SameFileSystem(disk.Path(), shm.Path()))
    GTEST_SKIP() << "/dev/shm is on the same file system as " << disk.Path();
  const std::string content = Pattern(3 * 1024 * 1024 + 17);
  const std::string from = disk / "song.mp3", to = shm / "song.mp3";
  WriteFile(from, content);
  SetModeAndTime(from, 0640, 1000000000, 123456789);

  TLinuxFileOps ops;
  // Without the copy-allowed flag the move stays on its file system.
  EXPECT_FALSE(ops.MoveFile(W(from), W(to), false));
  EXPECT_FALSE(Exists(to));

  // Onto an existing file on the other side: refused, both intact.
  WriteFile(to, "already here");
  EXPECT_FALSE(ops.MoveFile(W(from), W(to), true));
  EXPECT_EQ(ReadFile(to), "already here");
  EXPECT_EQ(ReadFile(from), content);
  ASSERT_EQ(::unlink(to.c_str()), 0);

  ASSERT_TRUE(ops.MoveFile(W(from), W(to), true));
  EXPECT_FALSE(Exists(from));
  EXPECT_EQ(ReadFile(to), content);
  struct stat st = StatOf(to);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_TRUE(TemporaryFiles(shm.Path()).empty());
}

TEST(FileOps, InjectedCrossDeviceMoveCopiesSyncsAndRemovesTheSource) {
  for (int renameErrno : {0, EINVAL}) {
    SCOPED_TRACE(renameErrno == 0 ? "renameat2" : "link path");
    TempDir dir;
    const std::string from = dir / "a.mp3", to = dir / "b.mp3";
    WriteFile(from, Pattern(5000));
    SetModeAndTime(from, 0604, 1234567890, 5);
    FakeCalls calls;
    calls.otherDevice = from;
    calls.renameErrno = renameErrno;
    TLinuxFileOps ops(calls);

    EXPECT_FALSE(ops.MoveFile(W(from), W(to), false));
    EXPECT_FALSE(Exists(to));
    ASSERT_TRUE(ops.MoveFile(W(from), W(to), true));
    EXPECT_FALSE(Exists(from));
    EXPECT_EQ(ReadFile(to), Pattern(5000));
    EXPECT_EQ(StatOf(to).st_mode & 07777, 0604u);
    EXPECT_EQ(StatOf(to).st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(StatOf(to).st_mtim.tv_nsec, 5);
    // The new file and its folder were synced before the source went.
    EXPECT_GE(calls.counts[FakeCalls::kFsync], 1);
    EXPECT_GE(calls.counts[FakeCalls::kFsyncFolder], 1);
    EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
  }
}

// Another process changes the source while a move copies it to another file
// system: the source stays with everything written to it, the copy goes,
// and the move fails as "in use".
TEST(FileOps, ASourceChangedDuringAMoveAcrossFileSystemsStays) {
  struct Case {
    const char* what;
    std::function<void(const std::string& from, int& heldFd)> change;
    std::string afterwards;  // the source's contents afterwards
    std::string renamedTo;   // where it is afterwards, when not at from
  };
  const std::string content = Pattern(3 * 1024 * 1024);
  const Case cases[] = {
      {"appended to",
       [](const std::string& from, int&) {
         int fd = ::open(from.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::write(fd, "more", 4), 4);
         ::close(fd);
       },
       content + "more", ""},
      {"rewritten in place",
       [](const std::string& from, int&) {
         int fd = ::open(from.c_str(), O_WRONLY | O_CLOEXEC);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::write(fd, "XY", 2), 2);
         ::close(fd);
       },
       "XY" + content.substr(2), ""},
      {"renamed",
       [](const std::string& from, int&) {
         ASSERT_EQ(::rename(from.c_str(), (from + ".renamed").c_str()), 0);
       },
       content, ".renamed"},
      {"open for writing",
       [](const std::string& from, int& heldFd) {
         heldFd = ::open(from.c_str(), O_WRONLY | O_CLOEXEC);
         ASSERT_GE(heldFd, 0);
       },
       content, ""},
  };
  for (const Case& c : cases) {
    for (bool readWrite : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (readWrite ? ", read and write" : ", copy_file_range"));
      TempDir dir;
      const std::string from = dir / "a.mp3", to = dir / "b.mp3";
      WriteFile(from, content);
      FakeCalls calls;
      calls.otherDevice = from;
      calls.maxWrite = 1024 * 1024;
      if (readWrite) calls.copyRangeRefusedFrom = 1;
      int writes = 0, heldFd = -1;
      calls.onWrite = [&] {
        if (++writes == 2) c.change(from, heldFd);
      };
      errno = 0;
      EXPECT_FALSE(TLinuxFileOps(calls).MoveFile(W(from), W(to), true));
      EXPECT_EQ(errno, EBUSY) << std::strerror(errno);
      if (heldFd >= 0) ::close(heldFd);
      EXPECT_FALSE(Exists(to));
      EXPECT_TRUE(ReadFile(from + c.renamedTo) == c.afterwards);
      EXPECT_EQ(Entries(dir.Path().string()).size(), 1u);
    }
  }
}

TEST(FileOps, AMoveKeepsTheOwnerACopyBelongsToWhoeverMadeIt) {
  TempDir dir;
  const std::string from = dir / "a.mp3";
  WriteFile(from, Pattern(100));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(from.c_str(), 65534, 65534), 0);
  }
  const struct stat source = StatOf(from);

  FakeCalls calls;
  calls.otherDevice = from;
  TLinuxFileOps ops(calls);
  ASSERT_TRUE(ops.CopyFile(W(from), W(dir / "copy.mp3")));
  EXPECT_TRUE(calls.chowns.empty());
  ASSERT_TRUE(ops.MoveFile(W(from), W(dir / "moved.mp3"), true));
  ASSERT_FALSE(calls.chowns.empty());
  EXPECT_EQ(calls.chowns.front(), std::make_pair(source.st_uid, source.st_gid));
  EXPECT_EQ(StatOf(dir / "moved.mp3").st_uid, source.st_uid);
  EXPECT_EQ(StatOf(dir / "moved.mp3").st_gid, source.st_gid);
  if (root) {
    EXPECT_EQ(StatOf(dir / "copy.mp3").st_uid, 0u);
  }
}

// The process is ended by a signal in the middle of a copy or of a move
// across file systems: nothing of the half-written file stays, and the signal
// still ends the process. An unnamed file goes even with SIGKILL; a named
// temporary file is removed by the handler of every signal that can be caught.
TEST(FileOps, AnInterruptedCopyLeavesNoTemporaryFile) {
  struct Case {
    int signal;
    bool named;
  };
  const Case cases[] = {{SIGTERM, false}, {SIGQUIT, false}, {SIGKILL, false}, {SIGTERM, true},
                        {SIGQUIT, true},  {SIGUSR1, true},  {SIGALRM, true}};
  for (const Case& c : cases) {
    for (bool move : {false, true}) {
      SCOPED_TRACE(std::string(move ? "move, " : "copy, ") + strsignal(c.signal) +
                   (c.named ? ", named temporary" : ", unnamed file"));
      TempDir dir;
      const std::string from = dir / "a.mp3", to = dir / "b.mp3";
      const std::string content = Pattern(3 * 1024 * 1024);
      WriteFile(from, content);
      auto copyUntilKilled = [&] {
        RemoveTemporaryFileOnInterrupt();
        FakeCalls calls;
        calls.otherDevice = from;
        calls.refuseTmpfile = c.named;
        calls.maxWrite = 1024 * 1024;
        int writes = 0;
        calls.onWrite = [&] {
          if (++writes == 2) ::raise(c.signal);
        };
        TLinuxFileOps ops(calls);
        move ? ops.MoveFile(W(from), W(to), true) : ops.CopyFile(W(from), W(to));
        std::_Exit(0);  // not reached
      };
      EXPECT_EXIT(copyUntilKilled(), ::testing::KilledBySignal(c.signal), "");
      EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
      EXPECT_FALSE(Exists(to));
      EXPECT_EQ(ReadFile(from), content);
    }
  }
  // A signal the process was told to ignore stays ignored.
  auto ignoredStaysIgnored = [] {
    ::signal(SIGHUP, SIG_IGN);
    RemoveTemporaryFileOnInterrupt();
    struct sigaction now {};
    ::sigaction(SIGHUP, nullptr, &now);
    std::_Exit(now.sa_handler == SIG_IGN ? 0 : 1);
  };
  EXPECT_EXIT(ignoredStaysIgnored(), ::testing::ExitedWithCode(0), "");
}

// Beyond the file-size limit a write fails (EFBIG) instead of ending the
// process: the copy fails and leaves nothing.
TEST(FileOps, ACopyBeyondTheFileSizeLimitFailsCleanly) {
  for (bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary" : "unnamed file");
    TempDir dir;
    const std::string from = dir / "a.mp3", to = dir / "b.mp3";
    WriteFile(from, Pattern(3 * 1024 * 1024));
    auto copyOverTheLimit = [&] {
      RemoveTemporaryFileOnInterrupt();
      const struct rlimit limit = {1024 * 1024, RLIM_INFINITY};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(2);
      FakeCalls calls;
      calls.refuseTmpfile = named;
      const bool ok = TLinuxFileOps(calls).CopyFile(W(from), W(to));
      std::_Exit(!ok && errno == EFBIG ? 0 : 1);
    };
    EXPECT_EXIT(copyOverTheLimit(), ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
    EXPECT_FALSE(Exists(to));
  }
}

// Naming an unnamed file through /proc/self/fd needs no privilege: a user
// other than root copies that way too.
TEST(FileOps, AnOrdinaryUserCopiesThroughAnUnnamedFile) {
  TempDir dir;
  fs::permissions(dir.Path(), fs::perms::all);
  const std::string from = dir / "a.mp3", to = dir / "b.mp3";
  WriteFile(from, Pattern(100000));
  fs::permissions(from, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto copyAsNobody = [&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(2);
    FakeCalls calls;
    const bool ok = TLinuxFileOps(calls).CopyFile(W(from), W(to));
    if (!ok) std::fprintf(stderr, "copy failed: %s\n", std::strerror(errno));
    std::_Exit(ok && calls.unnamedFiles == 1 && calls.counts[FakeCalls::kLinkat] == 1 ? 0 : 1);
  };
  EXPECT_EXIT(copyAsNobody(), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(to), Pattern(100000));
  EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
}

// FAT refuses most modes with EPERM: the copy is still made. A real error
// while setting them still fails it.
TEST(FileOps, AFileSystemThatCannotHoldModeOrTimesStillGetsTheFile) {
  for (FakeCalls::Kind step : {FakeCalls::kFchmod, FakeCalls::kFutimens}) {
    for (int error : {EPERM, EOPNOTSUPP, EIO}) {
      SCOPED_TRACE(std::to_string(step) + ", " + std::strerror(error));
      TempDir dir;
      const std::string from = dir / "a.mp3", to = dir / "b.mp3";
      WriteFile(from, Pattern(1000));
      FakeCalls calls;
      calls.failErrno = error;
      calls.failKind = step;
      const bool ok = TLinuxFileOps(calls).CopyFile(W(from), W(to));
      ASSERT_EQ(calls.failed, std::vector<FakeCalls::Kind>{step});
      EXPECT_EQ(ok, error != EIO);
      EXPECT_EQ(Exists(to), error != EIO);
      if (ok) {
        EXPECT_EQ(ReadFile(to), Pattern(1000));
      }
      EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
    }
  }
}

TEST(FileOps, ReadsAndWritesThatComeUpShortOrAreInterruptedStillCopyEverything) {
  for (bool readWrite : {false, true}) {
    SCOPED_TRACE(readWrite ? "read and write" : "copy_file_range");
    TempDir dir;
    const std::string content = Pattern(2 * 1024 * 1024 + 333);
    WriteFile(dir / "a.mp3", content);
    FakeCalls calls;
    calls.maxWrite = 100000;
    calls.interrupt = true;
    if (readWrite) calls.copyRangeRefusedFrom = 1;
    TLinuxFileOps ops(calls);
    ASSERT_TRUE(ops.CopyFile(W(dir / "a.mp3"), W(dir / "b.mp3")));
    EXPECT_EQ(ReadFile(dir / "b.mp3"), content);
    EXPECT_EQ(calls.counts[FakeCalls::kWrite] > 0, readWrite);
  }
}

// --- copy_file_range and its fallback ---------------------------------------

// copy_file_range refused from a chosen call on: where the refusal says only
// that it cannot copy between these files (or it copies nothing), reads and
// writes carry on from where it stopped and the copy is whole, with its mode
// and time; any other error fails the operation with that error and leaves
// nothing. Each case runs as a copy and as a move across file systems.
TEST(FileOps, ARefusedCopyFileRangeFallsBackToReadsAndWritesAndAnErrorFails) {
  struct Case {
    int error;       // 0: copy_file_range returns 0 before the end
    bool fallsBack;  // otherwise the operation fails with error
  };
  const Case cases[] = {{EXDEV, true}, {EINVAL, true}, {ENOSYS, true}, {EOPNOTSUPP, true},
                        {EPERM, true}, {0, true},      {EIO, false},   {ENOSPC, false}};
  const std::string content = Pattern(3 * 100000 + 77);
  for (const Case& c : cases) {
    for (int refusedFrom : {1, 3}) {
      for (bool move : {false, true}) {
        SCOPED_TRACE(std::string(c.error == 0 ? "returns 0" : std::strerror(c.error)) +
                     ", from call " + std::to_string(refusedFrom) + (move ? ", move" : ", copy"));
        TempDir dir;
        const std::string from = dir / "a.mp3", to = dir / "b.mp3";
        WriteFile(from, content);
        SetModeAndTime(from, 0640, 1500000000, 25);
        FakeCalls calls;
        calls.otherDevice = from;
        calls.maxWrite = 100000;
        calls.copyRangeRefusedFrom = refusedFrom;
        calls.copyRangeErrno = c.error;
        TLinuxFileOps ops(calls);
        errno = 0;
        const bool ok = move ? ops.MoveFile(W(from), W(to), true) : ops.CopyFile(W(from), W(to));
        const int error = errno;
        EXPECT_EQ(calls.counts[FakeCalls::kCopyFileRange], refusedFrom);
        EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
        ASSERT_EQ(ok, c.fallsBack) << std::strerror(error);
        if (!c.fallsBack) {
          EXPECT_EQ(error, c.error) << std::strerror(error);
          EXPECT_FALSE(Exists(to));
          EXPECT_EQ(ReadFile(from), content);
          continue;
        }
        EXPECT_GT(calls.counts[FakeCalls::kWrite], 0);
        EXPECT_EQ(ReadFile(to), content);
        EXPECT_EQ(Exists(from), !move);
        const struct stat st = StatOf(to);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 25);
      }
    }
  }
}

// --- A failure at every step -------------------------------------------------

struct FailureCase {
  const char* name;
  bool copy;
  bool refuseTmpfile;  // a named temporary file instead of an unnamed one
  int renameErrno;     // EINVAL: the file system refuses RENAME_NOREPLACE
  bool otherDevice;    // the source lies on another file system (EXDEV injected)
  bool realOtherFs;    // the target folder is /dev/shm
  bool readWrite;      // copy_file_range is refused (EXDEV): the data goes by reads and writes
  std::vector<FakeCalls::Kind> mustBeTried;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class FileOpsFailure : public ::testing::TestWithParam<FailureCase> {};

// Fails call N of the operation for every N: the source stays whole, nothing
// remains under the target name or as a temporary file, and the call says so.
// Only the failed close of a descriptor that was just read may pass unnoticed.
TEST_P(FileOpsFailure, AnyFailedStepLeavesTheSourceWholeAndNoTrace) {
  const FailureCase& c = GetParam();
  std::unique_ptr<TempDir> shm;
  if (c.realOtherFs) {
    if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm on this machine";
    shm = std::make_unique<TempDir>("/dev/shm");
  }
  const std::string content = Pattern(2 * 1024 * 1024 + 4321);
  std::set<FakeCalls::Kind> triedKinds;
  int successes = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    TempDir dir;
    if (c.realOtherFs && SameFileSystem(dir.Path(), shm->Path()))
      GTEST_SKIP() << "/dev/shm is on the same file system as " << dir.Path();
    const std::string targetFolder =
        c.realOtherFs ? shm->Path().string() + "/" + std::to_string(n) : dir.Path().string();
    fs::create_directories(targetFolder);
    const std::string from = dir / "song.mp3", to = targetFolder + "/new.mp3";
    WriteFile(from, content);
    SetModeAndTime(from, 0640, 1500000000, 0);

    FakeCalls calls;
    calls.failAt = n;
    calls.renameErrno = c.renameErrno;
    calls.refuseTmpfile = c.refuseTmpfile;
    if (c.otherDevice) calls.otherDevice = from;
    if (c.readWrite) calls.copyRangeRefusedFrom = 1;
    TLinuxFileOps ops(calls);
    errno = 0;
    bool ok = c.copy ? ops.CopyFile(W(from), W(to)) : ops.MoveFile(W(from), W(to), true);
    const int error = errno;
    if (calls.failed.empty()) {
      // Fewer than n calls: every step has been failed once.
      ASSERT_TRUE(ok);
      break;
    }
    const FakeCalls::Kind kind = calls.failed.front();
    triedKinds.insert(kind);
    EXPECT_TRUE(TemporaryFiles(targetFolder).empty());
    EXPECT_TRUE(TemporaryFiles(dir.Path()).empty());
    if (ok) {
      ++successes;
      // Keeping the owner is only a wish: a move goes on without it.
      EXPECT_TRUE(kind == FakeCalls::kClose || kind == FakeCalls::kFchown)
          << "a failed step of kind " << kind << " was reported as success";
      EXPECT_EQ(ReadFile(to), content);
      EXPECT_EQ(Exists(from), c.copy);
    } else {
      EXPECT_EQ(ReadFile(from), content) << "failed call kind " << kind;
      EXPECT_FALSE(Exists(to)) << "failed call kind " << kind;
      // The reason is the failed step's, not that of the clean-up after it.
      EXPECT_EQ(error, calls.failErrno)
          << "failed call kind " << kind << ": " << std::strerror(error);
    }
    ASSERT_LT(n, 1000);
  }
  for (FakeCalls::Kind kind : c.mustBeTried)
    EXPECT_TRUE(triedKinds.count(kind)) << "never failed a call of kind " << kind;
  EXPECT_LE(successes, 4);  // the source and folder descriptors, and the owner twice
}

using K = FakeCalls::Kind;
INSTANTIATE_TEST_SUITE_P(
    Steps, FileOpsFailure,
    ::testing::Values(FailureCase{"Copy",
                                  true,
                                  false,
                                  0,
                                  false,
                                  false,
                                  false,
                                  {K::kOpen, K::kFstat, K::kCopyFileRange, K::kRead, K::kFchmod,
                                   K::kFutimens, K::kCloseWritable, K::kLinkat}},
                      FailureCase{"CopyReadWrite",
                                  true,
                                  false,
                                  0,
                                  false,
                                  false,
                                  true,
                                  {K::kOpen, K::kFstat, K::kRead, K::kWrite, K::kFchmod,
                                   K::kFutimens, K::kCloseWritable, K::kLinkat}},
                      FailureCase{"CopyNamedTemporary",
                                  true,
                                  true,
                                  0,
                                  false,
                                  false,
                                  true,
                                  {K::kOpen, K::kFstat, K::kRead, K::kWrite, K::kFchmod,
                                   K::kFutimens, K::kCloseWritable, K::kRename}},
                      FailureCase{"CopyLinkPath",
                                  true,
                                  true,
                                  EINVAL,
                                  false,
                                  false,
                                  false,
                                  {K::kOpen, K::kCopyFileRange, K::kRead, K::kFchmod, K::kFutimens,
                                   K::kRename, K::kLink, K::kUnlink}},
                      FailureCase{"CrossDeviceMove",
                                  false,
                                  false,
                                  0,
                                  true,
                                  false,
                                  false,
                                  {K::kOpen, K::kCopyFileRange, K::kRead, K::kFchown, K::kFchmod,
                                   K::kFutimens, K::kFsync, K::kRename, K::kLinkat, K::kFsyncFolder,
                                   K::kUnlink}},
                      FailureCase{"CrossDeviceMoveLinkPath",
                                  false,
                                  true,
                                  EINVAL,
                                  true,
                                  false,
                                  true,
                                  {K::kOpen, K::kRead, K::kWrite, K::kFsync, K::kRename, K::kLink,
                                   K::kUnlink, K::kFsyncFolder}},
                      FailureCase{"MoveToDevShm",
                                  false,
                                  false,
                                  0,
                                  false,
                                  true,
                                  false,
                                  {K::kOpen, K::kCopyFileRange, K::kRead, K::kWrite, K::kFsync,
                                   K::kRename, K::kFsyncFolder, K::kUnlink}}),
    [](const auto& param) { return std::string(param.param.name); });

// --- A full file system ------------------------------------------------------

// A small tmpfs mounted for one test, unmounted afterwards.
class FileOpsFullFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    mountPoint_ = dir_ / "small";
    fs::create_directory(mountPoint_);
    if (::mount("tmpfs", mountPoint_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                   << "); the full-file-system cases need root where mounting is allowed";
    mounted_ = true;
    struct statfs sfs {};
    ASSERT_EQ(::statfs(mountPoint_.c_str(), &sfs), 0);
    ASSERT_LT(static_cast<uint64_t>(sfs.f_blocks) * sfs.f_bsize, 200u * 1024);
  }
  void TearDown() override {
    if (mounted_) {
      EXPECT_EQ(::umount2(mountPoint_.c_str(), MNT_DETACH), 0);
    }
  }

  TempDir dir_;
  std::string mountPoint_;
  bool mounted_ = false;
};

TEST_F(FileOpsFullFileSystem, MoveAndCopyThatDoNotFitLeaveTheSourceWholeAndNothingBehind) {
  const std::string big = Pattern(256 * 1024);
  const std::string from = dir_ / "big.mp3", to = mountPoint_ + "/big.mp3";
  WriteFile(from, big);
  TLinuxFileOps ops;
  EXPECT_FALSE(ops.MoveFile(W(from), W(to), true));
  EXPECT_EQ(ReadFile(from), big);
  EXPECT_TRUE(Entries(mountPoint_).empty());

  EXPECT_FALSE(ops.CopyFile(W(from), W(to)));
  EXPECT_EQ(ReadFile(from), big);
  EXPECT_TRUE(Entries(mountPoint_).empty());

  // A file that fits goes across, which shows the mount works.
  WriteFile(dir_ / "small.mp3", Pattern(4000));
  EXPECT_TRUE(ops.MoveFile(W(dir_ / "small.mp3"), W(mountPoint_ + "/small.mp3"), true));
  EXPECT_EQ(ReadFile(mountPoint_ + "/small.mp3"), Pattern(4000));
  EXPECT_FALSE(Exists(dir_ / "small.mp3"));
}

// --- Copies, folders, names --------------------------------------------------

TEST(FileOps, CopyKeepsContentModeAndModificationTime) {
  TempDir dir;
  for (mode_t mode : {0644u, 0600u, 0444u, 0755u}) {
    SCOPED_TRACE(mode);
    const std::string from = dir / ("a" + std::to_string(mode));
    const std::string to = dir / ("b" + std::to_string(mode));
    WriteFile(from, Pattern(mode));
    SetModeAndTime(from, mode, 987654321, 999999999);
    ASSERT_TRUE(TLinuxFileOps().CopyFile(W(from), W(to)));
    EXPECT_EQ(ReadFile(from), Pattern(mode));
    EXPECT_EQ(ReadFile(to), Pattern(mode));
    struct stat st = StatOf(to);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_mtim.tv_sec, 987654321);
    EXPECT_EQ(st.st_mtim.tv_nsec, 999999999);
  }
  // An empty file is a file too.
  WriteFile(dir / "empty", "");
  ASSERT_TRUE(TLinuxFileOps().CopyFile(W(dir / "empty"), W(dir / "empty2")));
  EXPECT_EQ(ReadFile(dir / "empty2"), "");
}

// A copy belongs to whoever made it and never carries set-id or sticky bits;
// a move keeps them together with the owner and group they belong to.
TEST(FileOps, ACopyNeverCarriesSetIdOrStickyBits) {
  struct Case {
    mode_t mode, copied;
  };
  const Case cases[] = {{04755, 0755}, {02755, 0755}, {06711, 0711}, {01777, 0777}, {0640, 0640}};
  const bool root = ::geteuid() == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode));
    TempDir dir;
    const std::string from = dir / "prog";
    WriteFile(from, Pattern(100));
    // As root: another user's set-id program, which a copy must not turn into root's.
    if (root) {
      ASSERT_EQ(::chown(from.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chmod(from.c_str(), c.mode), 0);
    FakeCalls calls;
    calls.otherDevice = from;
    TLinuxFileOps ops(calls);
    ASSERT_TRUE(ops.CopyFile(W(from), W(dir / "copy")));
    EXPECT_EQ(StatOf(dir / "copy").st_mode & 07777, c.copied);
    if (root) {
      EXPECT_EQ(StatOf(dir / "copy").st_uid, 0u);
    }
    ASSERT_TRUE(ops.MoveFile(W(from), W(dir / "moved"), true));
    EXPECT_EQ(StatOf(dir / "moved").st_mode & 07777, c.mode);
  }
}

TEST(FileOps, OnlyRegularFilesAreCopiedAndAFifoDoesNotHang) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0644), 0);
  fs::create_directory(dir / "folder.mp3");
  FakeCalls calls;
  calls.otherDevice = dir / "pipe.mp3";
  TLinuxFileOps ops(calls);

  // Should an open block, a writer comes along after a while so the test ends.
  std::atomic<bool> finished{false};
  std::thread rescuer([&] {
    for (int i = 0; !finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (i < 20) continue;
      int fd = ::open((dir / "pipe.mp3").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ops.CopyFile(W(dir / "pipe.mp3"), W(dir / "copy.mp3")));
  EXPECT_FALSE(ops.MoveFile(W(dir / "pipe.mp3"), W(dir / "moved.mp3"), true));
  finished = true;
  auto elapsed = std::chrono::steady_clock::now() - start;
  rescuer.join();
  EXPECT_LT(elapsed, std::chrono::seconds(2)) << "opening the FIFO blocked";
  EXPECT_FALSE(ops.CopyFile(W(dir / "folder.mp3"), W(dir / "copy2.mp3")));
  EXPECT_EQ(Entries(dir.Path()).size(), 2u);
}

// A moved link still leads to its file; the file itself stays where it is.
TEST(FileOps, AMovedLinkStillLeadsToItsFile) {
  struct Case {
    const char* what;
    std::string linkFolder, pointsTo, to;  // to: relative to the test folder
    bool otherDevice, allowCopy;
    bool absoluteAfterwards;
  };
  const Case cases[] = {
      {"relative, up and over", "links", "../music/song.mp3", "sorted/Rock/x.mp3", false, true,
       true},
      {"relative, beside its file", "music", "song.mp3", "sorted/Rock/x.mp3", false, true, true},
      {"relative, renamed in its folder", "music", "song.mp3", "music/y.mp3", false, false, false},
      {"absolute", "links", "", "sorted/Rock/x.mp3", false, true, true},
      {"relative, to another file system", "links", "../music/song.mp3", "sorted/Rock/x.mp3", true,
       true, true},
      {"absolute, to another file system", "links", "", "sorted/Rock/x.mp3", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string song = dir / "music/song.mp3", link = dir / (c.linkFolder + "/link.mp3");
    fs::create_directories(dir / "music");
    fs::create_directories(dir / c.linkFolder);
    fs::create_directories(dir / "sorted/Rock");
    WriteFile(song, "the song");
    ASSERT_EQ(::symlink((c.pointsTo.empty() ? song : c.pointsTo).c_str(), link.c_str()), 0);
    FakeCalls calls;
    if (c.otherDevice) calls.otherDevice = link;
    TLinuxFileOps ops(calls);
    const std::string to = dir / c.to;
    ASSERT_TRUE(ops.MoveFile(W(link), W(to), c.allowCopy));
    EXPECT_FALSE(Exists(link));
    EXPECT_TRUE(fs::is_symlink(to));
    EXPECT_EQ(ReadFile(to), "the song");
    EXPECT_EQ(fs::read_symlink(to).is_absolute(), c.absoluteAfterwards);
    EXPECT_EQ(ReadFile(song), "the song");
  }
  // Onto a name that is taken: nothing is replaced.
  TempDir dir;
  WriteFile(dir / "song.mp3", "the song");
  WriteFile(dir / "taken.mp3", "taken");
  fs::create_directories(dir / "sub");
  ASSERT_EQ(::symlink("../song.mp3", (dir / "sub/link.mp3").c_str()), 0);
  errno = 0;
  EXPECT_FALSE(TLinuxFileOps().MoveFile(W(dir / "sub/link.mp3"), W(dir / "taken.mp3"), true));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(dir / "taken.mp3"), "taken");
  EXPECT_EQ(ReadFile(dir / "sub/link.mp3"), "the song");
}

TEST(FileOps, CreateFoldersMakesMissingParentsOnly) {
  TempDir dir;
  TLinuxFileOps ops;
  EXPECT_TRUE(ops.CreateFolders(W(dir / "a/b/c")));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  FakeCalls calls;
  EXPECT_TRUE(TLinuxFileOps(calls).CreateFolders(W(dir / "a/b/c")));  // already there
  EXPECT_EQ(calls.counts[FakeCalls::kMkdir], 0);                      // one stat said so
  EXPECT_TRUE(ops.CreateFolders(W(dir / "a/b/d/")));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/d"));
  EXPECT_TRUE(ops.CreateFolders(W(dir / "Электроника/Björk")));
  EXPECT_TRUE(fs::is_directory(dir / "Электроника/Björk"));

  WriteFile(dir / "file", "x");
  EXPECT_FALSE(ops.CreateFolders(W(dir / "file")));
  EXPECT_FALSE(ops.CreateFolders(W(dir / "file/sub")));
  EXPECT_EQ(ReadFile(dir / "file"), "x");
  EXPECT_FALSE(ops.CreateFolders(u""));
}

// The dry run foretells each step of a job in order, touching nothing.
TEST(FileOps, ADryRunForetellsEachOperationInTheOrderOfTheJob) {
  TempDir dir;
  for (const char* name : {"a.mp3", "b.mp3", "x.mp3", "file"}) WriteFile(dir / name, name);
  ASSERT_EQ(::symlink("a.mp3", (dir / "link.mp3").c_str()), 0);
  const std::vector<std::string> before = Entries(dir.Path().string());
  TDryRunFileOps ops;
  struct Step {
    const char* what;
    std::function<bool()> op;
    int error;  // 0: it would succeed
  };
  const Step steps[] = {
      {"b moves on to c", [&] { return ops.MoveFile(W(dir / "b.mp3"), W(dir / "c.mp3"), false); },
       0},
      {"a takes the name b freed",
       [&] { return ops.MoveFile(W(dir / "a.mp3"), W(dir / "b.mp3"), false); }, 0},
      {"c is taken by the first step",
       [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / "c.mp3")); }, EEXIST},
      {"onto itself", [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / "x.mp3")); }, EEXIST},
      {"onto itself through a link",
       [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / "link.mp3")); }, EEXIST},
      {"through another spelling of the folder",
       [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / ".//x.mp3")); }, EEXIST},
      {"a genre folder the job makes", [&] { return ops.CreateFolders(W(dir / "new/sub")); }, 0},
      {"into it", [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / "new/sub/x.mp3")); }, 0},
      {"a folder that is not there",
       [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / "none/x.mp3")); }, ENOENT},
      {"a folder under a file", [&] { return ops.CreateFolders(W(dir / "file/sub")); }, ENOTDIR},
      {"a name too long",
       [&] { return ops.CopyFile(W(dir / "x.mp3"), W(dir / std::string(256, 'n'))); },
       ENAMETOOLONG},
      {"a source that is gone",
       [&] { return ops.MoveFile(W(dir / "gone.mp3"), W(dir / "y.mp3"), true); }, ENOENT},
  };
  for (const Step& step : steps) {
    errno = 0;
    const bool ok = step.op();
    EXPECT_EQ(ok, step.error == 0) << step.what;
    if (!ok) {
      EXPECT_EQ(errno, step.error) << step.what << ": " << std::strerror(errno);
    }
  }
  EXPECT_EQ(Entries(dir.Path().string()), before);
}

// Many operations into names of a folder the job makes: the first to a name
// takes it, every later one collides and names that first source; a name a
// move freed may be taken again, a name whose move failed may not.
// The same when the operations are told ahead, as a job lists them, and
// foretold on the thread while the job goes on.
class DryRunCollisions : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(AskedOrToldAhead, DryRunCollisions, ::testing::Bool());

TEST_P(DryRunCollisions, ADryRunNamesTheWinnerOfEachCollisionInALargeJob) {
  constexpr int kFiles = 1200, kNames = 400;
  TempDir dir;
  auto source = [&](int i) {
    return dir / ("in" + std::to_string(i % 10) + "/\xE9" + std::to_string(i) + ".mp3");
  };
  auto target = [&](int i) {
    return dir / ("out/Rock/Name " + std::to_string(i % kNames) + ".mp3");
  };
  for (int i = 0; i < 10; ++i) fs::create_directories(dir / ("in" + std::to_string(i)));
  for (int i = 0; i < kFiles; ++i) WriteFile(source(i), "x");
  TDryRunFileOps ops;
  ASSERT_TRUE(ops.CreateFolders(W(dir / "out/Rock")));
  if (GetParam())
    for (int i = 0; i < kFiles; ++i)
      ops.ExpectOperation(W(source(i)), W(target(i)), false, false, {});
  for (int i = 0; i < kFiles; ++i) {
    errno = 0;
    ASSERT_EQ(ops.MoveFile(W(source(i)), W(target(i)), false), i < kNames) << i;
    const TForetoldFailure* failure = ops.FailureOf(W(source(i)));
    if (i < kNames) {
      EXPECT_EQ(failure, nullptr) << i;
      continue;
    }
    EXPECT_EQ(errno, EEXIST) << i;
    ASSERT_NE(failure, nullptr) << i;
    EXPECT_EQ(failure->Kind, EForetoldFailure::Collision) << i;
    EXPECT_TRUE(failure->Winner == W(source(i % kNames))) << i;
  }
  const struct {
    const char* what;
    int name;  // the source whose name is taken
    bool ok;
  } takes[] = {{"a name a move freed", 7, true},
               {"the same name again", 7, false},
               {"a name whose move failed", kNames + 7, false}};
  for (const auto& take : takes) {
    errno = 0;
    const std::u16string from = W(source(kNames + 1));
    EXPECT_EQ(ops.CopyFile(from, W(source(take.name))), take.ok) << take.what;
    if (!take.ok) {
      EXPECT_EQ(errno, EEXIST) << take.what;
    }
  }
  const TForetoldFailure* again = ops.FailureOf(W(source(kNames + 1)));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Kind, EForetoldFailure::Exists);  // the last one: the file is still there
}

// Operations told ahead count as planned: one asked out of the told order
// is foretold against them at once, and the told ones keep their outcomes.
TEST(FileOps, ADryRunAskedOutOfTheToldOrderCountsTheToldOperationsAsPlanned) {
  TempDir dir;
  for (const char* name : {"a.mp3", "b.mp3"}) WriteFile(dir / name, name);
  TDryRunFileOps ops;
  ops.ExpectOperation(W(dir / "a.mp3"), W(dir / "n.mp3"), false, false, {});
  ops.ExpectOperation(W(dir / "b.mp3"), W(dir / "m.mp3"), true, false, {});
  errno = 0;
  EXPECT_FALSE(ops.CopyFile(W(dir / "b.mp3"), W(dir / "n.mp3")));  // not told: a takes n first
  EXPECT_EQ(errno, EEXIST);
  EXPECT_TRUE(ops.MoveFile(W(dir / "a.mp3"), W(dir / "n.mp3"), false));
  EXPECT_TRUE(ops.CopyFile(W(dir / "b.mp3"), W(dir / "m.mp3")));
  EXPECT_TRUE(ops.MoveFile(W(dir / "b.mp3"), W(dir / "a.mp3"), false));  // never told; a moved on
}

// More operations told than wait for the thread at once: each move takes the
// name the one before it freed, so one lost or out of turn would collide.
TEST(FileOps, ADryRunToldALongChainOfMovesForetellsEachInTurn) {
  constexpr size_t kFiles = TForetellAhead::kMostWaiting + 500;
  TempDir dir;
  auto name = [&](size_t i) { return W(dir / ("f" + std::to_string(i))); };
  for (size_t i = 0; i < kFiles; ++i) WriteFile(dir / ("f" + std::to_string(i)), "x");
  TDryRunFileOps ops;
  ops.ExpectOperation(name(0), W(dir / "first"), false, false, {});
  for (size_t i = 1; i < kFiles; ++i) ops.ExpectOperation(name(i), name(i - 1), false, false, {});
  ASSERT_TRUE(ops.MoveFile(name(0), W(dir / "first"), false));
  for (size_t i = 1; i < kFiles; ++i) ASSERT_TRUE(ops.MoveFile(name(i), name(i - 1), false)) << i;
  errno = 0;
  EXPECT_FALSE(ops.CopyFile(name(kFiles - 1), name(kFiles - 2)));  // taken by the last move
  EXPECT_EQ(errno, EEXIST);
}

TEST(FileOps, NamesWithNulAreRefused) {
  TempDir dir;
  WriteFile(dir / "a.mp3", "x");
  TLinuxFileOps ops;
  std::u16string nul = W(dir.Path().string()) + u"/b";
  nul.push_back(u'\0');
  nul += u"c.mp3";
  EXPECT_FALSE(ops.CreateFolders(nul));
  EXPECT_FALSE(ops.MoveFile(W(dir / "a.mp3"), nul, true));
  EXPECT_FALSE(ops.CopyFile(W(dir / "a.mp3"), nul));
  EXPECT_FALSE(ops.MoveFile(nul, W(dir / "c.mp3"), true));
  EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"a.mp3"});
}

TEST(FileOps, NamesThatAreNotUtf8AreMovedByTheirBytes) {
  TempDir dir;
  const std::string from = dir / "\xE9t\xE9.mp3";
  WriteFile(from, "bytes");
  TLinuxFileOps ops;
  ASSERT_TRUE(ops.CopyFile(W(from), W(dir / "\xFF.mp3")));
  ASSERT_TRUE(ops.MoveFile(W(from), W(dir / "\xE9t\xE9 2.mp3"), false));
  EXPECT_EQ(ReadFile(dir / "\xE9t\xE9 2.mp3"), "bytes");
  EXPECT_EQ(ReadFile(dir / "\xFF.mp3"), "bytes");
  EXPECT_FALSE(Exists(from));
}

}  // namespace
}  // namespace dov
