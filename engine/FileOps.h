// The file-system operations of a rename job. None of them ever replaces an
// existing file, and none leaves a partial file under a target name.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "engine/ForetellAhead.h"
#include "engine/PathStore.h"
#include "engine/PlaceMap.h"

namespace dov {

class TCopyAhead;

// Gives the next copy a job will make, in the job's order; false at the end.
using TNextCopy = std::function<bool(std::u16string& from, std::u16string& to)>;

// Keeps errno through clean-up after a failure, so that the caller learns
// why the operation failed rather than how the clean-up went (the file
// operations, and the journal around them, promise errno at the reason).
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

class IFileOps {
 public:
  virtual ~IFileOps() = default;
  // Creates the folder and every missing parent; true when it exists afterwards.
  virtual bool CreateFolders(const std::u16string& path) = 0;
  // Moves a file to a name that must not exist yet. With allowCopy the target
  // may lie on another file system: the file is copied, synced, and only then
  // is the source removed. A symbolic link is moved as a link that points to
  // the same file: a relative target that would no longer lead there from the
  // new folder is made absolute.
  virtual bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) = 0;
  // Copies a file to a name that must not exist yet; the source stays.
  virtual bool CopyFile(const std::u16string& from, const std::u16string& to) = 0;
  // The copies to come, all through CopyFile and in next's order, so that
  // they may be written ahead; next is asked only from within this call and
  // CopyFile. An empty next ends the plan. Nothing is named ahead of its
  // CopyFile, and each outcome stays what CopyFile alone gives.
  virtual void ExpectCopies(TNextCopy next) { (void)next; }
  // The next operation the job will ask for, told as soon as the job has
  // listed it and in the order it will ask (CopyFile when copy, else MoveFile
  // with allowCopy), so that it may be foretold meanwhile, with what the tag
  // read's open found of the source when it was a plain file (not a link).
  // What each operation gives stays what it alone would give.
  virtual void ExpectOperation(const std::u16string& from, const std::u16string& to, bool copy,
                               bool allowCopy, const TFileFacts& source) {
    (void)from, (void)to, (void)copy, (void)allowCopy, (void)source;
  }
};

// The system calls the Linux operations are made of, so that tests can make
// any one of them fail. Each returns what the system call returns and leaves
// errno set on failure.
class IPosixCalls {
 public:
  virtual ~IPosixCalls() = default;
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual int Close(int fd);
  virtual ssize_t Read(int fd, void* buffer, size_t count);
  virtual ssize_t Write(int fd, const void* buffer, size_t count);
  // copy_file_range from and to the descriptors' own offsets.
  virtual ssize_t CopyFileRange(int in, int out, size_t count);
  virtual int Fstat(int fd, struct stat* st);
  virtual int Fchown(int fd, uid_t owner, gid_t group);
  virtual int Fchmod(int fd, mode_t mode);
  virtual int Futimens(int fd, const struct timespec times[2]);
  virtual int Fsync(int fd);
  virtual int RenameNoReplace(const char* from, const char* to);
  virtual int Link(const char* from, const char* to);
  virtual int Linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags);
  virtual int Unlink(const char* path);
  virtual int Mkdir(const char* path, mode_t mode);
  virtual int Stat(const char* path, struct stat* st);
  virtual int Lstat(const char* path, struct stat* st);
  virtual ssize_t Readlink(const char* path, char* buffer, size_t size);
  virtual int Symlink(const char* pointsTo, const char* path);
  virtual int Fcntl(int fd, int command, int argument);
  // Starts a thread; false, with errno set, when the system has none to give.
  virtual bool StartThread(std::thread& thread, std::function<void()> body);
};

// The operations on Linux: renameat2(RENAME_NOREPLACE), or link + unlink where
// the file system refuses that flag. A copy's data goes by copy_file_range,
// which shares extents on XFS and Btrfs and copies on the server on NFS 4.2
// and SMB, and by reads and writes where that is refused. It is written as
// an unnamed file (O_TMPFILE) in the target folder and given its name only
// when complete (linkat through /proc/self/fd, which never replaces), so that
// nothing of it can be left behind; where the file system or /proc does not
// allow that, it goes through a hidden temporary file that is published
// without replacing. The copies a job expects are written ahead as unnamed
// files by a pool of threads (as many as the machine has cores, at most
// kMostCopyThreads) and named in the job's order.
class TLinuxFileOps : public IFileOps {
 public:
  TLinuxFileOps();
  explicit TLinuxFileOps(IPosixCalls& calls);
  ~TLinuxFileOps() override;
  TLinuxFileOps(const TLinuxFileOps&) = delete;
  TLinuxFileOps& operator=(const TLinuxFileOps&) = delete;

  bool CreateFolders(const std::u16string& path) override;
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) override;
  bool CopyFile(const std::u16string& from, const std::u16string& to) override;
  void ExpectCopies(TNextCopy next) override;

  static constexpr size_t kMostCopyThreads = 4;
  // The threads that write copies ahead; 0 writes none ahead.
  void SetCopyThreads(size_t threads) { copyThreads_ = threads; }

 private:
  IPosixCalls& calls_;
  size_t copyThreads_;
  std::unique_ptr<TCopyAhead> ahead_;
};

// Makes every signal that would end the process (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT and the others that can be caught) remove the hidden temporary file
// of a copy in progress first, then end the process as it would have; a signal
// the process ignores or handles itself is left alone. Ignores SIGXFSZ, so
// that a write beyond the file-size limit fails as an error instead of ending
// the process. Called once at start-up.
void RemoveTemporaryFileOnInterrupt();

// Why a dry run foretells that an operation fails: its source is gone or
// may not be moved, its target exists now, an earlier operation of the job
// takes that name first, a name of the target path is longer than its file
// system allows, its folder cannot be created or written, or a plain rename
// would cross file systems.
enum class EForetoldFailure { Source, Exists, Collision, NameTooLong, Folder, OtherFileSystem };
struct TForetoldFailure {
  EForetoldFailure Kind = EForetoldFailure::Source;
  std::u16string Winner;  // Collision: the source whose operation takes the name
  long Limit = 0;         // NameTooLong: the most bytes (UTF-16 units on FAT) a name or path holds
};

// Changes nothing but foretells what each operation of a job would do, so
// that a dry run lists what the real job does. An operation fails (errno says
// why, as for a real failure) when its source is gone, when its target
// exists now (lstat: also the file itself through another spelling or a
// link) and no earlier move of the job frees it, when an earlier operation
// of the job already takes that name, when a name of its path is longer than
// the file system holds (pathconf, bytes; UTF-16 units on FAT), or when its
// folder is missing, not a folder or not writable; the genre folders the job
// would create count as there. On a file system without letter case (FAT,
// exFAT) names that differ only in case are one name.
class TDryRunFileOps : public IFileOps {
 public:
  TDryRunFileOps();
  ~TDryRunFileOps() override;
  TDryRunFileOps(const TDryRunFileOps&) = delete;
  TDryRunFileOps& operator=(const TDryRunFileOps&) = delete;

  bool CreateFolders(const std::u16string& path) override;
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) override;
  bool CopyFile(const std::u16string& from, const std::u16string& to) override;
  // Operations told ahead are foretold on a thread of their own, against the
  // forecast of those told before them; one asked out of the told order is
  // foretold at once, the operations told but not yet asked counting as done.
  void ExpectOperation(const std::u16string& from, const std::u16string& to, bool copy,
                       bool allowCopy, const TFileFacts& source) override;
  // Whether told operations are foretold ahead (the default); false foretells
  // each when it is asked, as a check that both agree.
  void SetForetellAhead(bool ahead) { foretellAhead_ = ahead; }

  // Why the operation from that source was foretold to fail; null when it was not.
  const TForetoldFailure* FailureOf(const std::u16string& from) const;

 private:
  bool Foretold(const TPlannedOperation& operation);
  bool ForetellAndRecord(const TPlannedOperation& operation);
  // known: what the source's open found, when told with the operation.
  bool Foretell(const std::u16string& from, const std::u16string& to, bool move, bool allowCopy,
                const TFileFacts& known, TForetoldFailure& failure);
  bool TargetFolderWritable(const std::string& folder) const;
  bool TargetFree(const std::string& target, const std::string& place,
                  TForetoldFailure& failure) const;
  bool NamesFit(const std::string& target, const std::string& folder, const std::string& rest,
                TForetoldFailure& failure) const;
  std::string PlaceOf(const std::string& path) const;
  std::string PlaceIn(const std::string& path, const std::string& folder, std::string rest) const;
  std::string ExistingAncestor(const std::string& path, std::string& rest) const;

  // What the forecast asks of a folder, looked up once a job: a dry run
  // changes nothing, so a folder's answers hold for the whole job.
  struct TFolderFacts {
    int StatError = 0;  // errno of stat (links followed); 0: it exists
    bool IsFolder = false;
    uint64_t Device = 0, Inode = 0;
    bool Fat = false;  // FAT or exFAT: names without letter case, in UTF-16 units
    long PathMax = -1, NameMax = -1;
    int AccessError = 0;  // errno of the write-and-search access check; 0: allowed
  };
  const TFolderFacts& FactsOf(const std::string& folder) const;
  static TFolderFacts FreshFacts(const std::string& folder);
  bool MayChangeFolder(const std::string& folder) const;

  // stat or lstat (flags as for fstatat) of a path, the name looked up in its
  // folder held open: the job meets the same few folders over and over, and
  // walking their whole path for every name is most of the cost of a look-up.
  int StatName(const std::string& path, struct stat& st, int flags) const;
  struct THeldFolder {
    std::string Path;
    int Fd = -1;  // O_PATH; -1 when it could not be opened
    THeldFolder() = default;
    THeldFolder(const THeldFolder&) = delete;
    THeldFolder& operator=(const THeldFolder&) = delete;
    ~THeldFolder();
  };
  // The folders of the last sources and targets; the older one gives way.
  mutable std::array<THeldFolder, 2> heldFolders_;
  mutable size_t olderHeld_ = 0;

  mutable std::map<std::string, TFolderFacts> folderFacts_;
  // The folders last looked up, most recent first: most look-ups are of the
  // folders of the last source and target.
  mutable std::array<const std::pair<const std::string, TFolderFacts>*, 2> lastFacts_{};
  std::set<std::string> existingFolders_;  // seen as folders by CreateFolders
  std::set<std::string> createdFolders_;   // as the job spells them
  // For each place (folder device and inode, name) the job has met: the
  // source whose operation takes it, and whether a move of the job frees it.
  TPlaceMap places_;
  TPathStore winners_;
  std::map<std::u16string, TForetoldFailure> failures_;
  // Guards all of the forecast above: the thread that foretells ahead and the
  // job's thread (folders created while listing, operations asked out of order).
  mutable std::mutex mutex_;
  bool foretellAhead_ = true;
  std::unique_ptr<TForetellAhead> ahead_;  // made with the first operation told
};

}  // namespace dov
