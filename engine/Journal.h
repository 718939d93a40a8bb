// The journal of a rename job: a write-ahead record of every change it makes
// to the disk, so that the job can be taken back later, even after a crash.
//
// One JSON Lines file per job. The first line is the header; then, for each
// move or copy, an "intent" record before it and a "done" or "failed" record
// after it, and a "mkdir" record for each folder the job created; an "end"
// line when the job finished, and an "undone" line once it was taken back.
// Records are stored into a shared mapping of the file, which the system
// keeps when the process dies, so a process killed at any point leaves every
// record it completed without a system call a record; each line's line break
// is stored after the rest of it. The file grows ahead in steps and is cut to
// its records when the job ends; the NUL bytes a killed job leaves after its
// last record, and a line cut short by the kill, are read as not written.
// Where the file system cannot map or reserve the file, each record is one
// write(2).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/FileOps.h"

namespace dov {

class TFolderIdentities;

inline constexpr int kJournalVersion = 1;

// What identifies one file on disk: the same inode of the same device, with
// the same size and modification time, has not been replaced or changed.
struct TFileIdentity {
  int64_t Size = 0;
  int64_t MtimeNs = 0;
  uint64_t Inode = 0;
  uint64_t Device = 0;
};
bool operator==(const TFileIdentity& a, const TFileIdentity& b);

// The identity of the regular file at path (not following a final symbolic
// link); nullopt when there is none.
std::optional<TFileIdentity> IdentityOf(const std::string& path);
// The same for a name in an open folder (or AT_FDCWD).
std::optional<TFileIdentity> IdentityAt(int folderFd, const char* name);

struct TJournalHeader {
  std::string Started;  // UTC, ISO 8601 with microseconds
  std::string Source;   // native bytes
  std::string Dest;
  bool Subfolders = false;
  bool Rename = false;
  bool Move = false;
  bool Copy = false;
};

// The kinds of operation: a move within one file system ("rename"), a move
// that may copy across file systems ("move"), and a copy.
enum class TJournalKind { Rename, Move, Copy };
const char* KindName(TJournalKind kind);

// Appends records to one journal file, which it creates with the header on
// the first record. Once a write fails it refuses every later one, so that
// no change is made that the journal does not hold.
class TJournalWriter {
 public:
  // With createFolder, a missing folder of the journal is created, mode 0700.
  TJournalWriter(std::string path, const TJournalHeader& header, bool createFolder = false);
  ~TJournalWriter();
  TJournalWriter(const TJournalWriter&) = delete;
  TJournalWriter& operator=(const TJournalWriter&) = delete;

  // Whole lines (without the last line break). False, with errno set and
  // Error() telling why, when they could not be written whole.
  bool Append(std::string_view records);
  // Makes every record so far durable; false when the disk refused.
  bool Sync();
  // Cuts the file to its records; later records are written with write(2).
  void Settle();
  bool Opened() const { return fd_ >= 0; }
  bool Failed() const { return !error_.empty(); }
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }

 private:
  bool Open();
  bool Fail(const std::string& what);
  bool MapWindow(size_t need);
  void Unmap();
  void StoreLines(std::string_view records);
  bool WriteLines(std::string_view records);
  void SyncInBackground();
  void SyncNowAndThen();
  void StopBackgroundSync();

  std::string path_;
  std::string header_;
  std::string error_;
  bool createFolder_;
  int fd_ = -1;
  uint64_t length_ = 0;    // bytes of whole records in the file
  char* map_ = nullptr;    // the mapped window of the file
  uint64_t mapStart_ = 0;  // its offset in the file
  size_t mapSize_ = 0;
  bool writeOnly_ = false;  // settled, or the mapping could not be made
  // Syncs the windows left behind while the job goes on.
  std::thread syncer_;
  std::mutex syncMutex_;
  std::condition_variable syncWake_;
  std::condition_variable syncIdle_;
  bool syncAsked_ = false;
  bool syncBusy_ = false;
  bool syncStop_ = false;
  int backgroundError_ = 0;  // what a background sync heard
  int sinceLook_ = 0;
  int64_t lastBackgroundSyncNs_ = 0;
};

// Wraps the real file operations and journals each one: an intent record
// before it, a done or failed record after it (written with the next record).
// errno stays what the wrapped operation left. An operation whose intent
// cannot be written is not made.
class TJournalingFileOps : public IFileOps {
 public:
  TJournalingFileOps(IFileOps& inner, TJournalWriter& writer);
  ~TJournalingFileOps() override;
  TJournalingFileOps(const TJournalingFileOps&) = delete;
  TJournalingFileOps& operator=(const TJournalingFileOps&) = delete;

  bool CreateFolders(const std::u16string& path) override;
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) override;
  bool CopyFile(const std::u16string& from, const std::u16string& to) override;
  void ExpectCopies(TNextCopy next) override { inner_.ExpectCopies(std::move(next)); }
  void ExpectOperation(const std::u16string& from, const std::u16string& to, bool copy,
                       bool allowCopy, const TFileFacts& source) override {
    inner_.ExpectOperation(from, to, copy, allowCopy, source);
  }

  // The end record with the job's counts, then the journal is synced.
  bool Finish(int done, int total);

 private:
  bool Journaled(TJournalKind kind, const std::u16string& from, const std::u16string& to);
  bool WritePending();
  std::optional<TFileIdentity> SourceIdentity(const std::string& source);
  bool MayCrossFileSystems(const std::optional<TFileIdentity>& source, const std::string& target);
  // The journal holds whole paths, so that undo works from any folder.
  std::string Absolute(const std::u16string& path) const;

  IFileOps& inner_;
  TJournalWriter& writer_;
  std::string cwd_;
  std::map<std::string, uint64_t> folderDevices_;
  std::string sourceFolder_;
  int sourceFolderFd_ = -1;
  std::unique_ptr<TFolderIdentities> identities_;
  std::set<std::string> existingFolders_;  // made or found by CreateFolders
  // Records not yet written: the last operation's outcome, then the next record.
  std::string pending_;
  int64_t seq_ = 0;
};

// A journal read back.
struct TJournalOp {
  int64_t Seq = 0;
  TJournalKind Kind = TJournalKind::Rename;
  std::string Old;
  std::string New;
  std::optional<TFileIdentity> Before;  // the source, before the operation
  std::optional<TFileIdentity> After;   // the new file, after a move that copied
  enum class TState { Pending, Done, Failed } State = TState::Pending;
  int Errno = 0;
};

struct TJournal {
  std::string Path;
  TJournalHeader Header;
  std::vector<TJournalOp> Ops;              // in the order they were made
  std::vector<std::string> CreatedFolders;  // in the order they were created
  bool Finished = false;                    // the end record is there
  int EndDone = 0;
  int EndTotal = 0;
  bool Undone = false;
  std::string UndoneAt;
  uint64_t CompleteLength = 0;  // bytes up to the end of the last whole line
};

class EJournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A line holds two paths of at most 4 KiB, each byte at worst six
// characters; a journal of more records (a job of some two million files) is
// refused rather than read into as much memory.
inline constexpr size_t kMaxJournalLine = 256 * 1024;
inline constexpr size_t kMaxJournalRecords = 4'000'000;

// Reads a journal; a corrupt one raises EJournalError, naming the line.
TJournal ReadJournal(const std::string& path);

// Holds a journal, open for writing and locked, while its job is undone: a
// second undo, or the job itself while it still runs (its writer holds the
// same lock), is refused with EJournalError.
class TJournalLock {
 public:
  explicit TJournalLock(const std::string& path);
  ~TJournalLock();
  TJournalLock(const TJournalLock&) = delete;
  TJournalLock& operator=(const TJournalLock&) = delete;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Marks a journal as taken back, through its lock's descriptor: drops a line
// cut short by a crash, appends the undone record and syncs. False, with
// errno, when that failed.
bool MarkJournalUndone(const TJournal& journal, const TJournalLock& lock, int restored, int left);

// The folder of the journals: $XDG_STATE_HOME/dovrename/journal, or
// ~/.local/state/dovrename/journal; empty when neither variable is set.
std::string DefaultJournalFolder();
// A new journal's file name, by the time: 20261209T142501.123456Z-4242.jsonl.
std::string NewJournalName(const std::string& startedUtc);
// Now, in UTC, ISO 8601 with microseconds.
std::string UtcNow();
// Creates a folder and its missing parents with mode 0700; true when it exists.
bool CreatePrivateFolders(const std::string& path);
// A path made whole against the current folder.
std::string AbsolutePath(const std::string& path);
// The journal files of a folder, newest first.
std::vector<std::string> ListJournals(const std::string& folder);

}  // namespace dov
