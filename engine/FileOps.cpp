#include "engine/FileOps.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "common/DOVTnt.h"

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
int IPosixCalls::Unlink(const char* path) {
  return ::unlink(path);
}
int IPosixCalls::Mkdir(const char* path, mode_t mode) {
  return ::mkdir(path, mode);
}
int IPosixCalls::Stat(const char* path, struct stat* st) {
  return ::stat(path, st);
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

// Keeps errno through clean-up after a failure, so that the caller learns
// why the operation failed rather than how the clean-up went.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

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

bool CopyContents(IPosixCalls& calls, int in, int out) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t n = calls.Read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(calls, out, buffer.data(), static_cast<size_t>(n))) return false;
  }
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
    if (path.size() >= sizeof gTemporaryPath) return;
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

// Copies from to a hidden temporary file beside to, with the source's mode and
// times, then publishes it under to. For a move, the new file also keeps the
// owner, and it and its folder are synced before it counts as done. On
// failure nothing new remains.
bool CopyNoReplace(IPosixCalls& calls, const std::string& from, const std::string& to,
                   bool forMove) {
  // O_NONBLOCK keeps a FIFO from blocking the open (reads of a regular file
  // ignore it); anything but a regular file is refused below.
  FdGuard in(calls, calls.Open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0));
  if (in.Get() < 0) return false;
  struct stat st {};
  if (calls.Fstat(in.Get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return FailWith(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);

  std::string temp;
  int outFd = -1;
  for (int attempt = 0; attempt < 16 && outFd < 0; ++attempt) {
    temp = TemporaryNameBeside(to);
    outFd = calls.Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (outFd < 0 && errno != EEXIST) return false;
  }
  if (outFd < 0) return false;
  FdGuard out(calls, outFd);
  TemporaryFileRecord record(temp);

  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  bool ok = CopyContents(calls, in.Get(), out.Get());
  mode_t mode = st.st_mode & kCopyModeBits;
  if (ok && forMove)
    mode = KeepOwner(calls, out.Get(), st);  // before the mode: chown clears set-id bits
  ok = ok && DoneOrNotHeld(calls.Fchmod(out.Get(), mode)) &&
       DoneOrNotHeld(calls.Futimens(out.Get(), times)) && (!forMove || calls.Fsync(out.Get()) == 0);
  ok = out.CloseNow() && ok;
  if (ok) ok = PublishNoReplace(calls, temp, to);
  if (!ok) {
    ErrnoKeeper keep;
    calls.Unlink(temp.c_str());
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

}  // namespace

void RemoveTemporaryFileOnInterrupt() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryFileAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

TLinuxFileOps::TLinuxFileOps() : calls_(SystemCalls()) {}

bool TLinuxFileOps::CreateFolders(const std::u16string& path) {
  std::string native;
  if (!ToNative(path, native)) return false;
  // Create each missing component from the top down.
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos != native.size() && native[pos] != '/') continue;
    std::string part = native.substr(0, pos);
    if (calls_.Mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  if (calls_.Stat(native.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) || FailWith(ENOTDIR);
}

bool TLinuxFileOps::MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) {
  std::string source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return false;
  if (PublishNoReplace(calls_, source, target)) return true;
  if (errno != EXDEV || !allowCopy) return false;
  // Another file system: the copy must be whole and synced before the source goes.
  if (!CopyNoReplace(calls_, source, target, true)) return false;
  // A source that is already gone (removed by someone else meanwhile) leaves
  // the copy as the only one there is: it stays.
  if (calls_.Unlink(source.c_str()) != 0 && errno != ENOENT) {
    ErrnoKeeper keep;
    calls_.Unlink(target.c_str());  // the source stays; the job counts it unchanged
    return false;
  }
  return true;
}

bool TLinuxFileOps::CopyFile(const std::u16string& from, const std::u16string& to) {
  std::string source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return false;
  return CopyNoReplace(calls_, source, target, false);
}

}  // namespace dov
