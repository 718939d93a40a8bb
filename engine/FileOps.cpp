#include "engine/FileOps.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/DOVTnt.h"
#include "engine/CopyAhead.h"
#include "engine/RenameEngine.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace dov {

int IPosixCalls::Open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
int IPosixCalls::Close(int fd) {
  return ::close(fd);
}
ssize_t IPosixCalls::Read(int fd, void* buffer, size_t count) {
  return ::read(fd, buffer, count);
}
ssize_t IPosixCalls::Write(int fd, const void* buffer, size_t count) {
  return ::write(fd, buffer, count);
}
ssize_t IPosixCalls::CopyFileRange(int in, int out, size_t count) {
  return ::copy_file_range(in, nullptr, out, nullptr, count, 0);
}
int IPosixCalls::Fstat(int fd, struct stat* st) {
  return ::fstat(fd, st);
}
int IPosixCalls::Fchown(int fd, uid_t owner, gid_t group) {
  return ::fchown(fd, owner, group);
}
int IPosixCalls::Fchmod(int fd, mode_t mode) {
  return ::fchmod(fd, mode);
}
int IPosixCalls::Futimens(int fd, const struct timespec times[2]) {
  return ::futimens(fd, times);
}
int IPosixCalls::Fsync(int fd) {
  return ::fsync(fd);
}
int IPosixCalls::RenameNoReplace(const char* from, const char* to) {
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
}
int IPosixCalls::Link(const char* from, const char* to) {
  return ::link(from, to);
}
int IPosixCalls::Linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  return ::linkat(fromFolder, from, toFolder, to, flags);
}
int IPosixCalls::Unlink(const char* path) {
  return ::unlink(path);
}
int IPosixCalls::Mkdir(const char* path, mode_t mode) {
  return ::mkdir(path, mode);
}
int IPosixCalls::Stat(const char* path, struct stat* st) {
  return ::stat(path, st);
}
int IPosixCalls::Lstat(const char* path, struct stat* st) {
  return ::lstat(path, st);
}
ssize_t IPosixCalls::Readlink(const char* path, char* buffer, size_t size) {
  return ::readlink(path, buffer, size);
}
int IPosixCalls::Symlink(const char* pointsTo, const char* path) {
  return ::symlink(pointsTo, path);
}
int IPosixCalls::Fcntl(int fd, int command, int argument) {
  return ::fcntl(fd, command, argument);
}
bool IPosixCalls::StartThread(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error& e) {
    errno = e.code().value();
    return false;
  }
}

namespace {

IPosixCalls& SystemCalls() {
  static IPosixCalls calls;
  return calls;
}

// A NUL inside a name would cut it short at the system call: such a name is
// refused rather than turned into another one.
bool ToNative(const std::u16string& wide, std::string& native) {
  if (wide.empty() || wide.find(u'\0') != std::u16string::npos) {
    errno = EINVAL;
    return false;
  }
  native = WideToNative(wide);
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool FailWith(int error) {
  errno = error;
  return false;
}

// Closes a descriptor when it goes out of scope.
class FdGuard {
 public:
  FdGuard(IPosixCalls& calls, int fd) : calls_(calls), fd_(fd) {}
  ~FdGuard() {
    ErrnoKeeper keep;
    if (fd_ >= 0) calls_.Close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  bool CloseNow() {
    int fd = fd_;
    fd_ = -1;
    return calls_.Close(fd) == 0;
  }

 private:
  IPosixCalls& calls_;
  int fd_;
};

// Gives a file a new name without ever replacing an existing one.
bool PublishNoReplace(IPosixCalls& calls, const std::string& from, const std::string& to) {
  if (calls.RenameNoReplace(from.c_str(), to.c_str()) == 0) return true;
  int error = errno;
  if (error != EINVAL && error != ENOSYS && error != ENOTSUP && error != EOPNOTSUPP) return false;
  // The file system refuses the flag: link fails when the target exists.
  if (calls.Link(from.c_str(), to.c_str()) != 0) return false;
  // An old name that is already gone (removed by someone else meanwhile)
  // leaves the new one as the only name the file has: it stays.
  if (calls.Unlink(from.c_str()) != 0 && errno != ENOENT) {
    ErrnoKeeper keep;
    calls.Unlink(to.c_str());  // keep the one name the file had
    return false;
  }
  return true;
}

bool WriteAll(IPosixCalls& calls, int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = calls.Write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadWriteToEnd(IPosixCalls& calls, int in, int out) {
  // After copy_file_range this mostly finds the end of the file at once:
  // a small buffer asks that, and a large one is taken only when data
  // follows (taken and given back for each file, each thread's share of the
  // heap would grow and shrink).
  char first[4096];
  std::unique_ptr<char[]> large;
  char* buffer = first;
  size_t size = sizeof first;
  for (;;) {
    const ssize_t n = calls.Read(in, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    if (!WriteAll(calls, out, buffer, static_cast<size_t>(n))) return false;
    if (!large) {
      size = 1 << 20;
      large = std::make_unique_for_overwrite<char[]>(size);  // what is read overwrites it
      buffer = large.get();
    }
  }
}

// Errors of copy_file_range that say only that it cannot copy between these
// files (other file systems, a kernel or file system without it, a special
// file): reads and writes can.
bool CopyRangeRefused(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == ENOTSUP || error == EPERM;
}

// Copies up to size bytes with copy_file_range. Stops early, with the
// offsets of both files where it stopped, when the call is refused or
// copies nothing (some file systems report a size they do not serve).
bool CopyRange(IPosixCalls& calls, int in, int out, off_t size) {
  constexpr size_t kMostPerCall = size_t{1} << 30;
  auto left = static_cast<uint64_t>(size);
  while (left > 0) {
    const ssize_t n =
        calls.CopyFileRange(in, out, static_cast<size_t>(std::min<uint64_t>(left, kMostPerCall)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CopyRangeRefused(errno);
    if (n == 0) return true;
    left -= std::min<uint64_t>(left, static_cast<uint64_t>(n));
  }
  return true;
}

// The source's size, as it was opened, goes by copy_file_range as far as it
// is allowed; reads and writes carry on from there to the end of the file,
// which also takes in what was appended meanwhile.
bool CopyContents(IPosixCalls& calls, int in, int out, off_t size) {
  return CopyRange(calls, in, out, size) && ReadWriteToEnd(calls, in, out);
}

// The temporary file being written, for the signal handler: a fixed buffer
// and a lock-free flag, as a handler may touch nothing else.
char gTemporaryPath[PATH_MAX];
std::atomic<bool> gTemporaryPathSet{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Names the temporary file to the signal handler while it exists.
class TemporaryFileRecord {
 public:
  explicit TemporaryFileRecord(const std::string& path) {
    if (path.empty() || path.size() >= sizeof gTemporaryPath) return;
    std::memcpy(gTemporaryPath, path.c_str(), path.size() + 1);
    gTemporaryPathSet = true;
  }
  ~TemporaryFileRecord() { Forget(); }
  void Forget() { gTemporaryPathSet = false; }
  TemporaryFileRecord(const TemporaryFileRecord&) = delete;
  TemporaryFileRecord& operator=(const TemporaryFileRecord&) = delete;
};

void RemoveTemporaryFileAndDie(int signal) {
  if (gTemporaryPathSet) ::unlink(gTemporaryPath);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// A move keeps the file's owner and group where the system allows it; one
// who may not give a file away may still keep its group. Answers the mode
// the moved file may have: a set-user-id bit only with its owner, a
// set-group-id bit only with its group.
mode_t KeepOwner(IPosixCalls& calls, int fd, const struct stat& st) {
  mode_t mode = st.st_mode & 01777;
  if (calls.Fchown(fd, st.st_uid, st.st_gid) == 0) return st.st_mode & 07777;
  if (calls.Fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0) mode |= st.st_mode & S_ISGID;
  return mode;
}

// A copy belongs to whoever made it, so it never carries set-user-id,
// set-group-id or sticky bits: a copy made by root of another user's set-id
// program would otherwise run as root.
constexpr mode_t kCopyModeBits = 0777;

// A file system that cannot hold a mode or times (FAT on a memory stick
// refuses most modes) still gets the file: its contents are what counts.
bool DoneOrNotHeld(int result) {
  return result == 0 || errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP ||
         errno == ENOSYS;
}

std::string TemporaryNameBeside(const std::string& target) {
  static std::mt19937_64 random{std::random_device{}()};
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = FolderOf(target) + "/.dovrename-";
  for (int i = 0; i < 12; ++i) name.push_back(kDigits[random() % 36]);
  return name + ".tmp";
}

// Naming an unnamed file goes through /proc/self/fd: asked once, as /proc
// does not come or go while a job runs.
bool ProcFds() {
  static const bool procFds = ::access("/proc/self/fd", X_OK) == 0;
  return procFds;
}

// Where a copy is written before it gets its name: an unnamed file, or a
// hidden temporary one where the file system cannot make unnamed files.
struct TWorkFile {
  int fd = -1;
  std::string temp;  // empty for an unnamed file
};

// An unnamed file vanishes with its descriptor, whatever ends the process
// (SIGKILL, a power cut), so it is the first choice. Naming it later goes
// through /proc/self/fd, which any user may use (unlike AT_EMPTY_PATH).
int OpenUnnamedFile(IPosixCalls& calls, const std::string& to) {
  return calls.Open(FolderOf(to).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

bool OpenWorkFile(IPosixCalls& calls, const std::string& to, TWorkFile& work) {
  if (ProcFds()) {
    work.fd = OpenUnnamedFile(calls, to);
    if (work.fd >= 0) return true;
    // Refused by the file system (or, EISDIR, by an old kernel): a named file instead.
    if (errno != EOPNOTSUPP && errno != ENOTSUP && errno != EISDIR && errno != EINVAL) return false;
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    work.temp = TemporaryNameBeside(to);
    work.fd = calls.Open(work.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (work.fd >= 0 || errno != EEXIST) return work.fd >= 0;
  }
  return false;
}

// Gives the complete copy its name, never replacing a file that has it.
bool PublishWorkFile(IPosixCalls& calls, FdGuard& out, const TWorkFile& work,
                     const std::string& to) {
  if (!work.temp.empty()) return out.CloseNow() && PublishNoReplace(calls, work.temp, to);
  const std::string self = "/proc/self/fd/" + std::to_string(out.Get());
  if (calls.Linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return false;
  if (out.CloseNow()) return true;
  ErrnoKeeper keep;
  calls.Unlink(to.c_str());
  return false;
}

// Opens the source of a copy. O_NONBLOCK keeps a FIFO from blocking the
// open (reads of a regular file ignore it); anything but a regular file is
// refused by SourceState.
int OpenForCopy(IPosixCalls& calls, const std::string& from) {
  return calls.Open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
}

bool SourceState(IPosixCalls& calls, int fd, struct stat& st) {
  if (fd < 0 || calls.Fstat(fd, &st) != 0) return false;
  return S_ISREG(st.st_mode) || FailWith(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
}

// The copy's mode, then the source's access and modification times.
bool SetModeAndTimes(IPosixCalls& calls, int out, mode_t mode, const struct stat& st) {
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return DoneOrNotHeld(calls.Fchmod(out, mode)) && DoneOrNotHeld(calls.Futimens(out, times));
}

// Copies the open source (whose state is st) to a new file named to, with its
// mode and times. For a move, the new file also keeps the owner, and it and
// its folder are synced before it counts as done. On failure nothing new
// remains.
bool CopyNoReplace(IPosixCalls& calls, int in, const struct stat& st, const std::string& to,
                   bool forMove) {
  TWorkFile work;
  if (!OpenWorkFile(calls, to, work)) return false;
  FdGuard out(calls, work.fd);
  TemporaryFileRecord record(work.temp);

  bool ok = CopyContents(calls, in, out.Get(), st.st_size);
  mode_t mode = st.st_mode & kCopyModeBits;
  if (ok && forMove)
    mode = KeepOwner(calls, out.Get(), st);  // before the mode: chown clears set-id bits
  ok = ok && SetModeAndTimes(calls, out.Get(), mode, st) &&
       (!forMove || calls.Fsync(out.Get()) == 0);
  if (ok) ok = PublishWorkFile(calls, out, work, to);
  if (!ok) {
    ErrnoKeeper keep;
    if (!work.temp.empty()) calls.Unlink(work.temp.c_str());
    return false;
  }
  record.Forget();  // published: the name is the target's now
  if (forMove) {
    FdGuard folder(calls, calls.Open(FolderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (folder.Get() < 0 || calls.Fsync(folder.Get()) != 0) {
      ErrnoKeeper keep;
      calls.Unlink(to.c_str());
      return false;
    }
  }
  return true;
}

// While it is held, a process that opens the file for writing waits until it
// is let go (at most the system's lease-break time), so that no writer gets
// in while the source of a move is checked and removed. The owner of the
// file and root may take one; elsewhere the checks alone must do.
class TReadLease {
 public:
  TReadLease(IPosixCalls& calls, int fd) : calls_(calls), fd_(fd) {
    // The news of a waiting writer is asked for (Awaited), never taken from
    // a signal: the signal the system sends then is SIGURG, which the process
    // ignores unless it has a handler of its own (SIGIO would end it), and
    // none at all once the descriptor has no owner.
    held_ = calls.Fcntl(fd, F_SETSIG, SIGURG) == 0 && calls.Fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    inUse_ = !held_ && errno == EAGAIN;
    if (held_) calls.Fcntl(fd, F_SETOWN, 0);
  }
  ~TReadLease() {
    ErrnoKeeper keep;
    if (held_) calls_.Fcntl(fd_, F_SETLEASE, F_UNLCK);
  }
  TReadLease(const TReadLease&) = delete;
  TReadLease& operator=(const TReadLease&) = delete;
  // Another process has the file open for writing.
  bool InUse() const { return inUse_; }
  // A writer waits for the lease to go.
  bool Awaited() const { return held_ && calls_.Fcntl(fd_, F_GETLEASE, 0) != F_RDLCK; }

 private:
  IPosixCalls& calls_;
  int fd_;
  bool held_ = false, inUse_ = false;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameContents(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim);
}

bool SameFileAsCopied(const struct stat& copied, const struct stat& now) {
  return copied.st_dev == now.st_dev && copied.st_ino == now.st_ino && SameContents(copied, now) &&
         SameTime(copied.st_ctim, now.st_ctim);
}

// A source whose name is gone: removed by someone else, it leaves the copy as
// the only one there is; renamed, it is still there, and the copy must go.
bool GoneUnlessRenamed(IPosixCalls& calls, int fd) {
  struct stat now {};
  if (calls.Fstat(fd, &now) != 0) return false;
  return now.st_nlink == 0 || FailWith(EBUSY);
}

// Removes the source of a move across file systems, but only while it is
// still the file that was copied (same inode, size, modification and change
// time) and no one has it open for writing. Otherwise it stays and the move
// fails with EBUSY ("in use"): what was written meanwhile is never lost.
bool RemoveSourceIfUnchanged(IPosixCalls& calls, int fd, const struct stat& copied,
                             const std::string& source) {
  TReadLease lease(calls, fd);
  if (lease.InUse()) return FailWith(EBUSY);
  struct stat now {
  }, named{};
  if (calls.Fstat(fd, &now) != 0) return false;
  if (calls.Stat(source.c_str(), &named) != 0)
    return errno == ENOENT && GoneUnlessRenamed(calls, fd);
  if (!SameFileAsCopied(copied, now) || !SameFileAsCopied(copied, named)) return FailWith(EBUSY);
  // Hidden first: a writer that found the file by its name before now waits
  // for the lease and is seen below; it then gets the file back by its name.
  const std::string hidden = TemporaryNameBeside(source);
  if (!PublishNoReplace(calls, source, hidden))
    return errno == ENOENT && GoneUnlessRenamed(calls, fd);
  TemporaryFileRecord record(hidden);  // the copy is whole and synced: an interrupt may remove it
  int error = EBUSY;
  if (!lease.Awaited()) {
    if (calls.Fstat(fd, &now) != 0) {
      error = errno;
    } else if (SameContents(copied, now)) {
      if (calls.Unlink(hidden.c_str()) == 0 || errno == ENOENT) return true;
      error = errno;
    }
  }
  PublishNoReplace(calls, hidden, source);  // the source keeps its name
  return FailWith(error);
}

bool ReadLink(IPosixCalls& calls, const std::string& path, std::string& pointsTo) {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = calls.Readlink(path.c_str(), buffer.data(), buffer.size());
  if (n < 0) return false;
  if (static_cast<size_t>(n) >= buffer.size()) return FailWith(ENAMETOOLONG);
  pointsTo.assign(buffer.data(), static_cast<size_t>(n));
  return true;
}

// A relative link target is read from the link's own folder, as the system
// does: from the real path of that folder.
bool MakeAbsolute(const std::string& linkFolder, std::string& pointsTo) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(linkFolder.c_str(), nullptr),
                                                   &std::free);
  if (!real) return false;
  const std::string folder = real.get();
  pointsTo = (folder == "/" ? "" : folder) + "/" + pointsTo;
  return true;
}

// Moves a symbolic link as a link, so that it still leads to its file: in
// its own folder, or with an absolute target, the link itself is renamed;
// otherwise (or on another file system) a new link with the absolute target
// is made and the old one removed.
bool MoveLink(IPosixCalls& calls, const std::string& source, const std::string& target,
              bool allowCopy) {
  std::string pointsTo;
  if (!ReadLink(calls, source, pointsTo)) return false;
  if (FolderOf(source) == FolderOf(target) || pointsTo.starts_with('/')) {
    if (PublishNoReplace(calls, source, target)) return true;
    if (errno != EXDEV || !allowCopy) return false;
  } else if (!MakeAbsolute(FolderOf(source), pointsTo)) {
    return false;
  }
  // symlink fails when the target name exists: nothing is replaced.
  if (calls.Symlink(pointsTo.c_str(), target.c_str()) != 0) return false;
  if (calls.Unlink(source.c_str()) == 0 || errno == ENOENT) return true;
  ErrnoKeeper keep;
  calls.Unlink(target.c_str());
  return false;
}

// Writes a copy ahead of its turn: the whole source, with its mode and times,
// as an unnamed file in the target folder. Whatever fails leaves it unwritten,
// and the copy is made at its turn as any other, failing there as it would;
// a failure for want of room says so, so that the copies after it give theirs
// back meanwhile.
void WriteCopyAhead(IPosixCalls& calls, TPreparedCopy& copy) {
  std::string source, target;
  if (!ToNative(copy.From, source) || !ToNative(copy.To, target)) return;
  const auto shortOfRoom = [&copy] {
    copy.ShortOfRoom =
        errno == ENOSPC || errno == EDQUOT || errno == ENOMEM || errno == EMFILE || errno == ENFILE;
  };
  FdGuard in(calls, OpenForCopy(calls, source));
  struct stat st {};
  if (!SourceState(calls, in.Get(), st)) return shortOfRoom();
  FdGuard out(calls, OpenUnnamedFile(calls, target));
  if (out.Get() < 0) return shortOfRoom();
  if (!CopyContents(calls, in.Get(), out.Get(), st.st_size) ||
      !SetModeAndTimes(calls, out.Get(), st.st_mode & kCopyModeBits, st))
    return shortOfRoom();
  copy.Source = std::move(source);
  copy.Target = std::move(target);
  copy.SourceState = st;
  copy.Fd = out.Release();
}

// Names a copy written ahead, when its source is still the file that was
// copied (same inode, size, modification and change time): true with ok set.
// A target taken by then fails as it would have (EEXIST), and nothing is
// replaced. False when the copy must be made anew at its turn: the source
// changed, went or was replaced since, or the name failed otherwise.
bool NameCopyWrittenAhead(IPosixCalls& calls, TPreparedCopy& copy, bool& ok) {
  FdGuard out(calls, copy.Fd);
  copy.Fd = -1;
  struct stat now {};
  if (calls.Stat(copy.Source.c_str(), &now) != 0 || !S_ISREG(now.st_mode) ||
      !SameFileAsCopied(copy.SourceState, now))
    return false;
  const TWorkFile unnamed{out.Get(), std::string()};
  ok = PublishWorkFile(calls, out, unnamed, copy.Target);
  return ok || errno == EEXIST;
}

}  // namespace

void RemoveTemporaryFileOnInterrupt() {
  std::vector<int> ending = {SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                             SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU,
                             SIGVTALRM, SIGPROF, SIGSTKFLT, SIGPWR,  SIGSYS};
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) ending.push_back(signal);
  for (int signal : ending) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryFileAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
  struct sigaction old {};
  if (::sigaction(SIGXFSZ, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
    ::signal(SIGXFSZ, SIG_IGN);
}

namespace {

size_t DefaultCopyThreads() {
  const size_t cores = std::thread::hardware_concurrency();
  return std::clamp<size_t>(cores, 1, TLinuxFileOps::kMostCopyThreads);
}

}  // namespace

TLinuxFileOps::TLinuxFileOps() : TLinuxFileOps(SystemCalls()) {}

TLinuxFileOps::TLinuxFileOps(IPosixCalls& calls)
    : calls_(calls), copyThreads_(DefaultCopyThreads()) {}

TLinuxFileOps::~TLinuxFileOps() = default;

// Only where copies can be unnamed files named through /proc: a hidden
// temporary file written ahead could be seen, and left behind by a kill.
void TLinuxFileOps::ExpectCopies(TNextCopy next) {
  ahead_.reset();
  if (!next || copyThreads_ == 0 || !ProcFds()) return;
  try {
    ahead_ = std::make_unique<TCopyAhead>(
        std::move(next), [this](TPreparedCopy& copy) { WriteCopyAhead(calls_, copy); }, calls_,
        copyThreads_);
  } catch (const std::exception&) {
    return;  // no memory for the pool: each copy at its turn
  }
  if (!ahead_->Started()) ahead_.reset();  // no thread to be had: each copy at its turn
}

bool TLinuxFileOps::CreateFolders(const std::u16string& path) {
  std::string native;
  if (!ToNative(path, native)) return false;
  // A job asks for the same genre folders over and over: one stat answers
  // when the folder is there.
  struct stat st {};
  if (calls_.Stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  // Create each missing component from the top down.
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    std::string part = native.substr(0, pos);
    if (calls_.Mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  if (calls_.Stat(native.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) || FailWith(ENOTDIR);
}

bool TLinuxFileOps::MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) {
  std::string source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return false;
  // A link in its own folder keeps leading where it did; elsewhere it may not.
  struct stat link {};
  if (FolderOf(source) != FolderOf(target) && calls_.Lstat(source.c_str(), &link) == 0 &&
      S_ISLNK(link.st_mode))
    return MoveLink(calls_, source, target, allowCopy);
  if (PublishNoReplace(calls_, source, target)) return true;
  if (errno != EXDEV || !allowCopy) return false;
  // Another file system: the copy must be whole and synced before the source goes.
  FdGuard in(calls_, OpenForCopy(calls_, source));
  struct stat st {};
  if (!SourceState(calls_, in.Get(), st) || !CopyNoReplace(calls_, in.Get(), st, target, true))
    return false;
  if (RemoveSourceIfUnchanged(calls_, in.Get(), st, source)) return true;
  ErrnoKeeper keep;
  calls_.Unlink(target.c_str());  // the source stays; the job counts it unchanged
  return false;
}

bool TLinuxFileOps::CopyFile(const std::u16string& from, const std::u16string& to) {
  TPreparedCopy ahead;
  if (ahead_ && ahead_->Take(from, to, ahead) && ahead.Fd >= 0) {
    bool ok = false;
    if (NameCopyWrittenAhead(calls_, ahead, ok)) return ok;
  }
  std::string source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return false;
  FdGuard in(calls_, OpenForCopy(calls_, source));
  struct stat st {};
  return SourceState(calls_, in.Get(), st) && CopyNoReplace(calls_, in.Get(), st, target, false);
}

}  // namespace dov

namespace dov {
namespace {

size_t Utf16Length(const std::string& name) {
  return NativeToWide(name).size();
}

// A place's value in the forecast: the handle of the source that takes it,
// plus one, above a bit that says an earlier move of the job freed it.
constexpr uint64_t kFreed = 1;

uint64_t TakenBy(uint64_t winner) {
  return (winner + 1) << 1;
}

}  // namespace

TDryRunFileOps::TDryRunFileOps() = default;

TDryRunFileOps::~TDryRunFileOps() {
  ahead_.reset();  // its thread foretells with the members below
}

const TDryRunFileOps::TFolderFacts& TDryRunFileOps::FactsOf(const std::string& folder) const {
  for (const auto* last : lastFacts_)
    if (last != nullptr && last->first == folder) return last->second;
  auto known = folderFacts_.find(folder);
  if (known == folderFacts_.end()) known = folderFacts_.emplace(folder, FreshFacts(folder)).first;
  if (lastFacts_[0] != &*known) lastFacts_ = {&*known, lastFacts_[0]};
  return known->second;
}

// What the forecast asks of a folder, looked up now.
TDryRunFileOps::TFolderFacts TDryRunFileOps::FreshFacts(const std::string& folder) {
  ErrnoKeeper keep;
  TFolderFacts facts;
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    facts.StatError = errno;
  } else {
    facts.IsFolder = S_ISDIR(st.st_mode);
    facts.Device = static_cast<uint64_t>(st.st_dev);
    facts.Inode = static_cast<uint64_t>(st.st_ino);
    // FAT and exFAT keep letter case but do not tell names apart by it, and
    // count a name's length in UTF-16 units rather than bytes.
    constexpr long kMsdosMagic = 0x4d44, kExfatMagic = 0x2011BAB0;
    struct statfs fs {};
    const long type = ::statfs(folder.c_str(), &fs) == 0 ? static_cast<long>(fs.f_type) : 0;
    facts.Fat = type == kMsdosMagic || type == kExfatMagic;
    facts.PathMax = ::pathconf(folder.c_str(), _PC_PATH_MAX);
    facts.NameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  }
  facts.AccessError = ::access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
  return facts;
}

TDryRunFileOps::THeldFolder::~THeldFolder() {
  if (Fd >= 0) ::close(Fd);
}

int TDryRunFileOps::StatName(const std::string& path, struct stat& st, int flags) const {
  const size_t cut = path.rfind('/');
  if (cut == std::string::npos || cut == 0 || cut + 1 == path.size())
    return ::fstatat(AT_FDCWD, path.c_str(), &st, flags);
  const std::string_view folder(path.data(), cut);
  THeldFolder* held = nullptr;
  for (THeldFolder& candidate : heldFolders_)
    if (candidate.Path == folder) held = &candidate;
  if (held == nullptr) {
    ErrnoKeeper keep;
    held = &heldFolders_[olderHeld_];
    olderHeld_ = 1 - olderHeld_;
    if (held->Fd >= 0) ::close(held->Fd);
    held->Path.assign(folder);
    held->Fd = ::open(held->Path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  // A folder that cannot be held is looked up whole, with the errno that gives.
  if (held->Fd < 0) return ::fstatat(AT_FDCWD, path.c_str(), &st, flags);
  return ::fstatat(held->Fd, path.c_str() + cut + 1, &st, flags);
}

bool TDryRunFileOps::MayChangeFolder(const std::string& folder) const {
  const int error = FactsOf(folder).AccessError;
  return error == 0 || FailWith(error);
}

// The nearest folder of the path that exists now ("." or "/" at the latest),
// and the rest of the path after it.
std::string TDryRunFileOps::ExistingAncestor(const std::string& path, std::string& rest) const {
  std::string folder = path;
  rest.clear();
  while (true) {
    const std::string parent = FolderOf(folder);
    const size_t cut = folder.rfind('/');
    rest = folder.substr(cut == std::string::npos ? 0 : cut + 1) + (rest.empty() ? "" : "/" + rest);
    folder = parent;
    if (folder == "." || folder == "/" || FactsOf(folder).StatError == 0) return folder;
  }
}

// One place for a name, however its folder is spelled ("out", "./out", a
// link to it): the nearest existing folder's device and inode, and the rest
// of the path, in one letter case where the file system has none.
std::string TDryRunFileOps::PlaceOf(const std::string& path) const {
  std::string rest;
  const std::string folder = ExistingAncestor(path, rest);
  return PlaceIn(path, folder, std::move(rest));
}

// The place of a path, given as the rest of it under its nearest existing
// folder; the path itself when that folder cannot be looked up.
std::string TDryRunFileOps::PlaceIn(const std::string& path, const std::string& folder,
                                    std::string rest) const {
  const TFolderFacts& facts = FactsOf(folder);
  if (facts.StatError != 0) return path;
  if (facts.Fat) rest = WideToNative(FoldCase(NativeToWide(rest)));
  return std::to_string(facts.Device) + ":" + std::to_string(facts.Inode) + "/" + rest;
}

bool TDryRunFileOps::CreateFolders(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string native;
  if (!ToNative(path, native)) return false;
  std::string parent = native[0] == '/' ? "/" : ".";
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    const std::string part = native.substr(0, pos);
    struct stat st {};
    if (existingFolders_.count(part) != 0) {
      // Seen as a folder by an earlier call of the job.
    } else if (createdFolders_.count(part) == 0 && ::lstat(part.c_str(), &st) == 0) {
      // A folder, or a link to one; anything else (a dangling link too) is in the way.
      if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return FailWith(ENOTDIR);
      existingFolders_.insert(part);
    } else if (createdFolders_.count(part) == 0) {
      if (createdFolders_.count(parent) == 0 && !MayChangeFolder(parent)) return false;
      createdFolders_.insert(part);
    }
    parent = part;
  }
  return true;
}

bool TDryRunFileOps::TargetFolderWritable(const std::string& folder) const {
  if (createdFolders_.count(folder) != 0) return true;
  const TFolderFacts& facts = FactsOf(folder);
  if (facts.StatError != 0) return FailWith(facts.StatError);
  if (!facts.IsFolder) return FailWith(ENOTDIR);
  return MayChangeFolder(folder);
}

bool TDryRunFileOps::TargetFree(const std::string& target, const std::string& place,
                                TForetoldFailure& failure) const {
  const uint64_t state = places_.Get(place);
  if (state >> 1 != 0) {
    failure.Kind = EForetoldFailure::Collision;
    failure.Winner = winners_.Path((state >> 1) - 1);
    return FailWith(EEXIST);
  }
  struct stat st {};
  if (StatName(target, st, AT_SYMLINK_NOFOLLOW) == 0 && (state & kFreed) == 0) {
    failure.Kind = EForetoldFailure::Exists;
    return FailWith(EEXIST);
  }
  return true;
}

// Each name the target path adds to what exists now, and the whole path,
// within the limits of the file system they would go to.
bool TDryRunFileOps::NamesFit(const std::string& target, const std::string& folder,
                              const std::string& rest, TForetoldFailure& failure) const {
  const TFolderFacts& facts = FactsOf(folder);
  const long pathMax = facts.PathMax, nameMax = facts.NameMax;
  const bool fat = facts.Fat;
  failure.Kind = EForetoldFailure::NameTooLong;
  failure.Limit = pathMax > 0 ? pathMax : PATH_MAX;
  if (static_cast<long>(target.size()) >= failure.Limit) return FailWith(ENAMETOOLONG);
  // FAT holds 255 UTF-16 units, whatever byte count it reports.
  failure.Limit = fat ? 255 : nameMax > 0 ? nameMax : NAME_MAX;
  for (size_t begin = 0; begin <= rest.size();) {
    size_t end = rest.find('/', begin);
    if (end == std::string::npos) end = rest.size();
    const std::string name = rest.substr(begin, end - begin);
    const size_t length = fat ? Utf16Length(name) : name.size();
    if (static_cast<long>(length) > failure.Limit) return FailWith(ENAMETOOLONG);
    begin = end + 1;
  }
  return true;
}

bool TDryRunFileOps::Foretell(const std::u16string& from, const std::u16string& to, bool move,
                              bool allowCopy, const TFileFacts& known, TForetoldFailure& failure) {
  std::string source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return false;
  // A plain file the tag read has just opened needs no second look.
  struct stat st {};
  if (known.Known) {
    st.st_dev = static_cast<dev_t>(known.Device);
    st.st_mode = static_cast<mode_t>(known.Mode);
  } else if (StatName(source, st, move ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
    return false;
  }
  if (!move && !S_ISREG(st.st_mode)) return FailWith(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  if (!move && ::access(source.c_str(), R_OK) != 0) return false;
  if (move && !MayChangeFolder(FolderOf(source))) return false;
  std::string rest;
  const std::string ancestor = ExistingAncestor(target, rest);
  if (!NamesFit(target, ancestor, rest, failure)) return false;
  failure.Kind = EForetoldFailure::Folder;
  const std::string targetFolder = FolderOf(target);
  if (!TargetFolderWritable(targetFolder)) return false;
  const std::string place = PlaceIn(target, ancestor, std::move(rest));
  if (!TargetFree(target, place, failure)) return false;
  failure.Kind = EForetoldFailure::OtherFileSystem;
  const TFolderFacts& folder = FactsOf(targetFolder);
  if (move && !allowCopy && folder.StatError == 0 &&
      folder.Device != static_cast<uint64_t>(st.st_dev))
    return FailWith(EXDEV);
  places_.Set(place, TakenBy(winners_.Add(from)));  // no longer free either
  if (move) {
    const std::string freed = PlaceOf(source);
    places_.Set(freed, places_.Get(freed) | kFreed);
  }
  return true;
}

namespace {

bool Record(bool ok, const std::u16string& from, const TForetoldFailure& failure,
            std::map<std::u16string, TForetoldFailure>& failures) {
  if (ok) {
    failures.erase(from);
  } else {
    ErrnoKeeper keep;
    failures[from] = failure;
  }
  return ok;
}

}  // namespace

// Foretells an operation and keeps why it would fail; the caller holds the lock.
bool TDryRunFileOps::ForetellAndRecord(const TPlannedOperation& operation) {
  TForetoldFailure failure;
  const bool ok = Foretell(operation.From, operation.To, !operation.Copy, operation.AllowCopy,
                           operation.Source, failure);
  return Record(ok, operation.From, failure, failures_);
}

bool TDryRunFileOps::Foretold(const TPlannedOperation& operation) {
  if (ahead_ != nullptr) {
    if (const std::optional<TForetold> foretold = ahead_->Take(operation)) {
      errno = foretold->Error;
      return foretold->Ok;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return ForetellAndRecord(operation);
}

void TDryRunFileOps::ExpectOperation(const std::u16string& from, const std::u16string& to,
                                     bool copy, bool allowCopy, const TFileFacts& source) {
  if (!foretellAhead_) return;
  if (ahead_ == nullptr)
    ahead_ = std::make_unique<TForetellAhead>([this](const TPlannedOperation& operation) {
      std::lock_guard<std::mutex> lock(mutex_);
      errno = 0;
      const bool ok = ForetellAndRecord(operation);
      return TForetold{ok, ok ? 0 : errno};
    });
  ahead_->Tell({from, to, copy, allowCopy, source});
}

bool TDryRunFileOps::MoveFile(const std::u16string& from, const std::u16string& to,
                              bool allowCopy) {
  return Foretold({from, to, false, allowCopy});
}

bool TDryRunFileOps::CopyFile(const std::u16string& from, const std::u16string& to) {
  return Foretold({from, to, true, false});
}

const TForetoldFailure* TDryRunFileOps::FailureOf(const std::u16string& from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = failures_.find(from);
  return found == failures_.end() ? nullptr : &found->second;
}

}  // namespace dov
