#include "engine/Journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string_view>
#include <variant>

#include "common/DOVTnt.h"
#include "common/JsonText.h"
#include "engine/FolderIdentities.h"

namespace dov {
namespace {

// ---- Writing records ------------------------------------------------------

// Builds one flat JSON object, as a line of its own, at the end of a text
// (its own, or one given that gathers several lines); keys are fixed ASCII
// names. Nothing is allocated for a text that has room.
class TRecordBuilder {
 public:
  TRecordBuilder() : TRecordBuilder(own_) {}
  explicit TRecordBuilder(std::string& text) : text_(text) {
    if (!text_.empty()) text_ += '\n';
    text_ += '{';
  }
  TRecordBuilder(const TRecordBuilder&) = delete;
  TRecordBuilder& operator=(const TRecordBuilder&) = delete;

  TRecordBuilder& Text(const char* key, std::string_view value) {
    Key(key);
    if (IsPlain(value)) {
      text_ += '"';
      text_ += value;
      text_ += '"';
    } else {
      AppendJsonQuoted(text_, value);
    }
    return *this;
  }
  TRecordBuilder& Number(const char* key, int64_t value) {
    Key(key);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text_.append(digits, end);
    return *this;
  }
  TRecordBuilder& Flag(const char* key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
  }
  TRecordBuilder& Identity(const std::optional<TFileIdentity>& id) {
    if (!id) return *this;
    return Number("size", id->Size)
        .Number("mtime", id->MtimeNs)
        .Number("ino", static_cast<int64_t>(id->Inode))
        .Number("dev", static_cast<int64_t>(id->Device));
  }
  // Closes the object; the line of a builder that holds its own text.
  std::string Line() {
    End();
    return std::move(own_);
  }
  void End() { text_ += '}'; }

 private:
  // Printable ASCII without a quote or a backslash stands in JSON as it is.
  static bool IsPlain(std::string_view value) {
    for (const unsigned char c : value)
      if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
    return true;
  }
  void Key(const char* key) {
    text_ += first_ ? "\"" : ",\"";
    first_ = false;
    text_ += key;
    text_ += "\":";
  }
  std::string own_;
  std::string& text_;
  bool first_ = true;
};

std::string HeaderLine(const TJournalHeader& h) {
  return TRecordBuilder()
      .Text("journal", "dovrename")
      .Number("version", kJournalVersion)
      .Text("started", h.Started)
      .Number("pid", ::getpid())
      .Text("source", h.Source)
      .Text("dest", h.Dest)
      .Flag("subfolders", h.Subfolders)
      .Flag("rename", h.Rename)
      .Flag("move", h.Move)
      .Flag("copy", h.Copy)
      .Line();
}

// The folders of a path that do not exist yet, from the top down.
std::vector<std::string> MissingFolders(const std::string& path) {
  std::vector<std::string> missing;
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  struct stat st {};
  while (!folder.empty() && folder != "/" && ::lstat(folder.c_str(), &st) != 0 && errno == ENOENT) {
    missing.push_back(folder);
    const size_t slash = folder.rfind('/');
    if (slash == std::string::npos) break;
    folder.resize(slash);
  }
  std::reverse(missing.begin(), missing.end());
  return missing;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- Reading records -------------------------------------------------------

using TValue = std::variant<std::nullptr_t, bool, int64_t, std::string>;

// One record: a flat object of strings, integers, booleans and null.
class TRecord {
 public:
  std::map<std::string, TValue> Fields;

  const std::string* Text(const std::string& key) const {
    auto it = Fields.find(key);
    return it == Fields.end() ? nullptr : std::get_if<std::string>(&it->second);
  }
  std::optional<int64_t> Number(const std::string& key) const {
    auto it = Fields.find(key);
    if (it == Fields.end()) return std::nullopt;
    const int64_t* value = std::get_if<int64_t>(&it->second);
    return value ? std::optional<int64_t>(*value) : std::nullopt;
  }
  bool Flag(const std::string& key) const {
    auto it = Fields.find(key);
    const bool* value = it == Fields.end() ? nullptr : std::get_if<bool>(&it->second);
    return value != nullptr && *value;
  }
};

void SkipSpace(std::string_view& text) {
  while (!text.empty() && (text[0] == ' ' || text[0] == '\t' || text[0] == '\r'))
    text.remove_prefix(1);
}

bool Consume(std::string_view& text, std::string_view token) {
  if (!text.starts_with(token)) return false;
  text.remove_prefix(token.size());
  return true;
}

std::optional<int64_t> ReadInteger(std::string_view& text) {
  size_t pos = text.starts_with('-') ? 1 : 0;
  const size_t digits = pos;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
  if (pos == digits || pos - digits > 19) return std::nullopt;
  errno = 0;
  const int64_t value = std::strtoll(std::string(text.substr(0, pos)).c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  text.remove_prefix(pos);
  return value;
}

std::optional<TValue> ReadValue(std::string_view& text) {
  if (text.starts_with('"')) {
    auto s = JsonUnquote(text);
    return s ? std::optional<TValue>(std::move(*s)) : std::nullopt;
  }
  if (Consume(text, "true")) return TValue(true);
  if (Consume(text, "false")) return TValue(false);
  if (Consume(text, "null")) return TValue(nullptr);
  auto n = ReadInteger(text);
  return n ? std::optional<TValue>(*n) : std::nullopt;
}

std::optional<TRecord> ParseRecord(std::string_view text) {
  TRecord record;
  SkipSpace(text);
  if (!Consume(text, "{")) return std::nullopt;
  SkipSpace(text);
  bool first = true;
  while (!Consume(text, "}")) {
    if (!first && !Consume(text, ",")) return std::nullopt;
    SkipSpace(text);
    auto key = JsonUnquote(text);
    SkipSpace(text);
    if (!key || !Consume(text, ":")) return std::nullopt;
    SkipSpace(text);
    auto value = ReadValue(text);
    if (!value || !record.Fields.emplace(std::move(*key), std::move(*value)).second)
      return std::nullopt;  // a key twice is corrupt too
    SkipSpace(text);
    first = false;
  }
  SkipSpace(text);
  if (!text.empty()) return std::nullopt;
  return record;
}

std::optional<TFileIdentity> IdentityIn(const TRecord& r) {
  auto size = r.Number("size"), mtime = r.Number("mtime"), ino = r.Number("ino"),
       dev = r.Number("dev");
  if (!size || !mtime || !ino || !dev) return std::nullopt;
  return TFileIdentity{*size, *mtime, static_cast<uint64_t>(*ino), static_cast<uint64_t>(*dev)};
}

std::optional<TJournalKind> KindFromName(const std::string& name) {
  for (TJournalKind kind : {TJournalKind::Rename, TJournalKind::Move, TJournalKind::Copy})
    if (name == KindName(kind)) return kind;
  return std::nullopt;
}

// Reads the lines of a journal into records, applying them to the journal.
class TJournalReader {
 public:
  explicit TJournalReader(TJournal& journal) : journal_(journal) {}

  // Applies one whole line; an error names what is wrong.
  void Line(std::string_view line, size_t number) {
    auto record = ParseRecord(line);
    if (!record) Fail(number, "not a journal record");
    if (number == 1) return Header(*record, number);
    const std::string* op = record->Text("op");
    if (op == nullptr) Fail(number, "a record without \"op\"");
    if (journal_.Undone) Fail(number, "a record after the \"undone\" one");
    if (*op == "intent") return Intent(*record, number);
    if (*op == "done" || *op == "failed") return Outcome(*op, *record, number);
    if (*op == "mkdir") return Folder(*record, number);
    if (*op == "end") return End(*record);
    if (*op == "undone") return Undone(*record);
    Fail(number, "unknown record \"" + *op + "\"");
  }

 private:
  [[noreturn]] void Fail(size_t number, const std::string& what) {
    throw EJournalError("journal \"" + journal_.Path + "\" is corrupt: line " +
                        std::to_string(number) + ": " + what);
  }

  void Header(const TRecord& r, size_t number) {
    const std::string* magic = r.Text("journal");
    if (magic == nullptr || *magic != "dovrename") Fail(number, "not a DOVRename journal");
    auto version = r.Number("version");
    if (!version || *version != kJournalVersion)
      throw EJournalError("journal \"" + journal_.Path + "\" has format version " +
                          (version ? std::to_string(*version) : "?") +
                          ", which this version of DOVRename cannot read");
    const std::string *started = r.Text("started"), *source = r.Text("source"),
                      *dest = r.Text("dest");
    if (!started || !source || !dest) Fail(number, "a header without time, source or dest");
    journal_.Header = {*started,         *source,        *dest,         r.Flag("subfolders"),
                       r.Flag("rename"), r.Flag("move"), r.Flag("copy")};
  }

  void Intent(const TRecord& r, size_t number) {
    auto seq = r.Number("seq");
    const std::string *kind = r.Text("kind"), *oldPath = r.Text("old"), *newPath = r.Text("new");
    if (!seq || !kind || !oldPath || !newPath || !KindFromName(*kind))
      Fail(number, "an incomplete intent record");
    if (!journal_.Ops.empty() && journal_.Ops.back().Seq >= *seq)
      Fail(number, "operations out of order");
    TJournalOp op;
    op.Seq = *seq;
    op.Kind = *KindFromName(*kind);
    op.Old = *oldPath;
    op.New = *newPath;
    op.Before = IdentityIn(r);
    journal_.Ops.push_back(std::move(op));
  }

  void Outcome(const std::string& what, const TRecord& r, size_t number) {
    auto seq = r.Number("seq");
    if (!seq || journal_.Ops.empty() || journal_.Ops.back().Seq != *seq ||
        journal_.Ops.back().State != TJournalOp::TState::Pending)
      Fail(number, "a \"" + what + "\" record without its intent");
    TJournalOp& op = journal_.Ops.back();
    if (what == "done") {
      op.State = TJournalOp::TState::Done;
      op.After = IdentityIn(r);
    } else {
      op.State = TJournalOp::TState::Failed;
      op.Errno = static_cast<int>(r.Number("errno").value_or(0));
    }
  }

  void Folder(const TRecord& r, size_t number) {
    const std::string* path = r.Text("path");
    if (path == nullptr) Fail(number, "a mkdir record without a path");
    journal_.CreatedFolders.push_back(*path);
  }

  void End(const TRecord& r) {
    journal_.Finished = true;
    journal_.EndDone = static_cast<int>(r.Number("done").value_or(0));
    journal_.EndTotal = static_cast<int>(r.Number("total").value_or(0));
  }

  void Undone(const TRecord& r) {
    journal_.Undone = true;
    const std::string* at = r.Text("time");
    journal_.UndoneAt = at ? *at : "";
  }

  TJournal& journal_;
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

std::string ErrorText(const std::string& what, const std::string& path, int error) {
  return what + " \"" + path + "\": " + std::strerror(error);
}

}  // namespace

bool operator==(const TFileIdentity& a, const TFileIdentity& b) {
  return a.Size == b.Size && a.MtimeNs == b.MtimeNs && a.Inode == b.Inode && a.Device == b.Device;
}

std::optional<TFileIdentity> IdentityOf(const std::string& path) {
  return IdentityAt(AT_FDCWD, path.c_str());
}

std::optional<TFileIdentity> IdentityAt(int folderFd, const char* name) {
  struct stat st {};
  if (::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  return TFileIdentity{static_cast<int64_t>(st.st_size),
                       static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                       static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
}

const char* KindName(TJournalKind kind) {
  switch (kind) {
    case TJournalKind::Rename:
      return "rename";
    case TJournalKind::Move:
      return "move";
    case TJournalKind::Copy:
      return "copy";
  }
  return "?";
}

// ---- TJournalWriter --------------------------------------------------------

TJournalWriter::TJournalWriter(std::string path, const TJournalHeader& header, bool createFolder)
    : path_(std::move(path)), header_(HeaderLine(header)), createFolder_(createFolder) {}

TJournalWriter::~TJournalWriter() {
  if (fd_ < 0) return;
  Settle();
  StopBackgroundSync();
  ::close(fd_);
}

bool TJournalWriter::Fail(const std::string& what) {
  const int error = errno;
  if (error_.empty()) error_ = ErrorText(what, path_, error);
  errno = error;
  return false;
}

// Created only now, with the first change: a job that changes nothing leaves
// no journal. An existing file is never written into.
bool TJournalWriter::Open() {
  // Read and write: a shared mapping that is written needs both.
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY;
  fd_ = ::open(path_.c_str(), flags, 0600);
  if (fd_ < 0 && errno == ENOENT && createFolder_ && path_.rfind('/') != std::string::npos &&
      CreatePrivateFolders(path_.substr(0, path_.rfind('/'))))
    fd_ = ::open(path_.c_str(), flags, 0600);
  if (fd_ < 0) return Fail("cannot create the journal");
  // Held until the job ends, so that no undo takes it back while it runs.
  ::flock(fd_, LOCK_EX | LOCK_NB);
  return WriteLines(header_);
}

// The window of the file that the next records go into, from the page of the
// end of the records on. Its blocks are reserved first (fallocate), so that a
// full disk is an error here rather than a fault when a record is stored;
// where the file system cannot reserve or map, records go by write(2).
bool TJournalWriter::MapWindow(size_t need) {
  constexpr size_t kWindow = size_t{1} << 20;
  const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = length_ / page * page;
  const uint64_t wanted = length_ - start + need;
  const size_t size =
      static_cast<size_t>(std::max<uint64_t>(kWindow, (wanted + page - 1) / page * page));
  // The records of the window left are synced meanwhile, on another thread,
  // so that the job's last sync finds little to wait for; unmapped first, so
  // that the writing need not take the pages back from the mapping one by one.
  const bool left = map_ != nullptr && start > mapStart_;
  Unmap();
  if (left) SyncInBackground();
  if (::fallocate(fd_, 0, static_cast<off_t>(start), static_cast<off_t>(size)) != 0) return false;
  void* map =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, static_cast<off_t>(start));
  if (map == MAP_FAILED) return false;
  // One call makes the window's pages writable, instead of a fault for each
  // (refused by kernels before 5.14: then the faults come one by one).
  (void)::madvise(map, size, MADV_POPULATE_WRITE);
  map_ = static_cast<char*>(map);
  mapStart_ = start;
  mapSize_ = size;
  return true;
}

void TJournalWriter::Unmap() {
  if (map_ == nullptr) return;
  ::munmap(map_, mapSize_);
  map_ = nullptr;
}

// Each line's line break is stored last: a process killed within a line
// leaves it without one, and the reader drops it.
void TJournalWriter::StoreLines(std::string_view records) {
  char* at = map_ + (length_ - mapStart_);
  for (;;) {
    const size_t end = records.find('\n');
    const std::string_view line = records.substr(0, end);
    std::memcpy(at, line.data(), line.size());
    std::atomic_signal_fence(std::memory_order_release);
    at[line.size()] = '\n';
    at += line.size() + 1;
    length_ += line.size() + 1;
    if (end == std::string_view::npos) return;
    records.remove_prefix(end + 1);
  }
}

// One write: the lines are on disk whole, or (killed within it) cut short.
// A short write leaves a line the reader tolerates only at the end: stop here.
bool TJournalWriter::WriteLines(std::string_view records) {
  std::string text;
  text.reserve(records.size() + 1);
  text.append(records).push_back('\n');
  errno = 0;
  const ssize_t written = ::pwrite(fd_, text.data(), text.size(), static_cast<off_t>(length_));
  if (written != static_cast<ssize_t>(text.size())) {
    if (errno == 0) errno = ENOSPC;
    return Fail("cannot write the journal");
  }
  length_ += text.size();
  return true;
}

bool TJournalWriter::Append(std::string_view records) {
  if (Failed()) {
    errno = EIO;
    return false;
  }
  if (fd_ < 0 && !Open()) return false;
  if (!writeOnly_) {
    const size_t need = records.size() + 1;
    if ((map_ != nullptr && length_ + need <= mapStart_ + mapSize_) || MapWindow(need)) {
      StoreLines(records);
      SyncNowAndThen();
      return true;
    }
    Settle();  // no mapping here: write(2) from now on
  }
  return WriteLines(records);
}

// A job that writes little (slow copies) leaves no window for long: what it
// wrote is synced in the background every quarter of a second as well.
void TJournalWriter::SyncNowAndThen() {
  constexpr int kRecordsBetweenLooks = 32;
  constexpr int64_t kPeriodNs = 250'000'000;
  if (++sinceLook_ < kRecordsBetweenLooks) return;
  sinceLook_ = 0;
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  const int64_t nowNs = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  if (nowNs - lastBackgroundSyncNs_ < kPeriodNs) return;
  lastBackgroundSyncNs_ = nowNs;
  SyncInBackground();
}

void TJournalWriter::Settle() {
  if (fd_ < 0 || writeOnly_) return;
  Unmap();
  writeOnly_ = true;
  // Should the cut fail, the NUL bytes after the records are read as unwritten:
  // nothing is lost, so the job goes on.
  ErrnoKeeper keep;
  if (::ftruncate(fd_, static_cast<off_t>(length_)) != 0) return;
}

bool TJournalWriter::Sync() {
  if (fd_ < 0) return !Failed();
  // An error is told to one fsync only: none runs in the background while
  // this one does, and what the background one heard is kept for this one.
  std::unique_lock<std::mutex> lock(syncMutex_);
  syncIdle_.wait(lock, [this] { return !syncBusy_; });
  // The mapping's stores are in the file's pages: fsync writes them too.
  if (::fsync(fd_) != 0) return Fail("cannot sync the journal");
  if (backgroundError_ != 0) {
    errno = backgroundError_;
    return Fail("cannot sync the journal");
  }
  return !Failed();
}

void TJournalWriter::SyncInBackground() {
  {
    std::lock_guard<std::mutex> lock(syncMutex_);
    syncAsked_ = true;
  }
  syncWake_.notify_one();
  if (syncer_.joinable()) return;
  syncer_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(syncMutex_);
    for (;;) {
      syncWake_.wait(lock, [this] { return syncAsked_ || syncStop_; });
      if (syncStop_) return;
      syncAsked_ = false;
      syncBusy_ = true;
      lock.unlock();
      const int error = ::fsync(fd_) == 0 ? 0 : errno;
      lock.lock();
      if (error != 0) backgroundError_ = error;
      syncBusy_ = false;
      syncIdle_.notify_all();
    }
  });
}

void TJournalWriter::StopBackgroundSync() {
  if (!syncer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(syncMutex_);
    syncStop_ = true;
  }
  syncWake_.notify_one();
  syncer_.join();
}

// ---- TJournalingFileOps ----------------------------------------------------

TJournalingFileOps::TJournalingFileOps(IFileOps& inner, TJournalWriter& writer)
    : inner_(inner),
      writer_(writer),
      cwd_(AbsolutePath(".")),
      identities_(std::make_unique<TFolderIdentities>()) {}

std::string TJournalingFileOps::Absolute(const std::u16string& path) const {
  const std::string native = WideToNative(path);
  if (native.starts_with('/') || cwd_.empty()) return native;
  return cwd_ == "/" ? "/" + native : cwd_ + "/" + native;
}

TJournalingFileOps::~TJournalingFileOps() {
  if (!pending_.empty() && writer_.Opened()) writer_.Append(pending_);
  if (sourceFolderFd_ >= 0) ::close(sourceFolderFd_);
}

// The outcome of the last operation waits in pending_ and goes out with the
// next record, in the same write: one write fewer for each file where records
// are written with write(2), and a process killed between them leaves what it
// would have left anyway, an intent without its outcome (undo looks that up
// on disk).
bool TJournalingFileOps::WritePending() {
  const bool ok = writer_.Append(pending_);
  pending_.clear();
  return ok;
}

bool TJournalingFileOps::CreateFolders(const std::u16string& path) {
  if (writer_.Failed()) {  // nothing changes that the journal cannot hold
    errno = EIO;
    return false;
  }
  std::string folder = Absolute(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  // A genre folder is asked for with every file that goes into it.
  if (existingFolders_.contains(folder)) return inner_.CreateFolders(path);
  const std::vector<std::string> missing = MissingFolders(folder);
  const bool ok = inner_.CreateFolders(path);
  ErrnoKeeper keep;
  for (const std::string& made : missing) {
    if (!IsFolder(made)) continue;
    TRecordBuilder(pending_).Text("op", "mkdir").Text("path", made).End();
    WritePending();
  }
  if (ok) existingFolders_.insert(std::move(folder));
  return ok;
}

// Looked up relative to the source's folder, held open while the job works
// in it: the system walks one name instead of the whole path, which counts
// with thousands of files; and looked up ahead, while the files before it
// are moved. Should the folder be replaced meanwhile, the identity is another
// file's, and undo leaves the file rather than err.
std::optional<TFileIdentity> TJournalingFileOps::SourceIdentity(const std::string& source) {
  const size_t slash = source.rfind('/');
  if (slash == std::string::npos) return IdentityOf(source);
  const std::string_view folder(source.data(), slash + 1);
  if (folder != sourceFolder_) {
    if (sourceFolderFd_ >= 0) ::close(sourceFolderFd_);
    sourceFolder_ = folder;
    sourceFolderFd_ = ::open(sourceFolder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (sourceFolderFd_ >= 0) identities_->Enter(sourceFolderFd_);
  }
  if (sourceFolderFd_ < 0) return IdentityOf(source);
  return identities_->Of(source.c_str() + slash + 1);
}

// The device of each target folder is looked up once: a job has few.
bool TJournalingFileOps::MayCrossFileSystems(const std::optional<TFileIdentity>& source,
                                             const std::string& target) {
  if (!source) return true;
  const std::string folder = target.substr(0, target.rfind('/') + 1);
  auto known = folderDevices_.find(folder);
  if (known == folderDevices_.end()) {
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return true;
    known = folderDevices_.emplace(folder, static_cast<uint64_t>(st.st_dev)).first;
  }
  return known->second != source->Device;
}

bool TJournalingFileOps::Journaled(TJournalKind kind, const std::u16string& from,
                                   const std::u16string& to) {
  const std::string source = Absolute(from), target = Absolute(to);
  const int64_t seq = ++seq_;
  const std::optional<TFileIdentity> before = SourceIdentity(source);
  TRecordBuilder(pending_)
      .Text("op", "intent")
      .Number("seq", seq)
      .Text("kind", KindName(kind))
      .Text("old", source)
      .Text("new", target)
      .Identity(before)
      .End();
  if (!WritePending()) return false;  // what the journal cannot hold is not done
  // A move to another file system removes its source once the copy is
  // whole: the journal must be on disk before that can happen.
  const bool acrossFileSystems = kind == TJournalKind::Move && MayCrossFileSystems(before, target);
  if (acrossFileSystems && !writer_.Sync()) return false;
  const bool ok = kind == TJournalKind::Copy
                      ? inner_.CopyFile(from, to)
                      : inner_.MoveFile(from, to, kind == TJournalKind::Move);
  ErrnoKeeper keep;
  const int error = errno;
  // A move on one file system keeps the file's identity, and a copy is known
  // by its bytes: only a move that copied needs the new file's own.
  if (ok)
    TRecordBuilder(pending_)
        .Text("op", "done")
        .Number("seq", seq)
        .Identity(acrossFileSystems ? IdentityOf(target) : std::nullopt)
        .End();
  else
    TRecordBuilder(pending_).Text("op", "failed").Number("seq", seq).Number("errno", error).End();
  return ok;
}

bool TJournalingFileOps::MoveFile(const std::u16string& from, const std::u16string& to,
                                  bool allowCopy) {
  return Journaled(allowCopy ? TJournalKind::Move : TJournalKind::Rename, from, to);
}

bool TJournalingFileOps::CopyFile(const std::u16string& from, const std::u16string& to) {
  return Journaled(TJournalKind::Copy, from, to);
}

bool TJournalingFileOps::Finish(int done, int total) {
  if (!writer_.Opened()) return !writer_.Failed();  // nothing changed: no journal
  TRecordBuilder(pending_)
      .Text("op", "end")
      .Text("time", UtcNow())
      .Number("done", done)
      .Number("total", total)
      .End();
  WritePending();
  writer_.Settle();
  return writer_.Sync();
}

// ---- Reading ---------------------------------------------------------------

TJournal ReadJournal(const std::string& path) {
  TJournal journal;
  journal.Path = path;
  FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) throw EJournalError(ErrorText("cannot open the journal", path, errno));
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw EJournalError("journal \"" + path + "\" is not a regular file");

  TJournalReader reader(journal);
  std::string pending;  // the line read so far
  std::vector<char> buffer(1 << 16);
  size_t lines = 0;
  uint64_t offset = 0;
  // A record never holds a NUL byte: the first one is where the writing
  // stopped, in the room the job reserved ahead (killed, or the power cut
  // before the file was cut to its records); what follows was never written
  // or never synced.
  bool padding = false;
  while (!padding) {
    const ssize_t n = ::read(file.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EJournalError(ErrorText("cannot read the journal", path, errno));
    if (n == 0) break;
    for (ssize_t i = 0; i < n && !padding; ++i) {
      ++offset;
      if (buffer[static_cast<size_t>(i)] == '\0') {
        padding = true;
        continue;
      }
      if (buffer[static_cast<size_t>(i)] != '\n') {
        if (pending.size() >= kMaxJournalLine)
          throw EJournalError("journal \"" + path + "\" is corrupt: line " +
                              std::to_string(lines + 1) + " is too long");
        pending.push_back(buffer[static_cast<size_t>(i)]);
        continue;
      }
      if (++lines > kMaxJournalRecords)
        throw EJournalError("journal \"" + path + "\" holds too many records");
      reader.Line(pending, lines);
      pending.clear();
      journal.CompleteLength = offset;
    }
  }
  // A last line without its line break was cut short by a crash: not written.
  if (lines == 0) throw EJournalError("journal \"" + path + "\" is empty");
  return journal;
}

TJournalLock::TJournalLock(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) throw EJournalError(ErrorText("cannot open the journal for writing", path, errno));
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd_);
    if (error == EWOULDBLOCK)
      throw EJournalError("journal \"" + path +
                          "\" is in use: its job is still running, or another undo");
    throw EJournalError(ErrorText("cannot lock the journal", path, error));
  }
}

TJournalLock::~TJournalLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool MarkJournalUndone(const TJournal& journal, const TJournalLock& lock, int restored, int left) {
  const int fd = lock.Fd();
  if (::ftruncate(fd, static_cast<off_t>(journal.CompleteLength)) != 0) return false;
  const std::string line = TRecordBuilder()
                               .Text("op", "undone")
                               .Text("time", UtcNow())
                               .Number("restored", restored)
                               .Number("left", left)
                               .Line() +
                           "\n";
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    if (errno == 0) errno = ENOSPC;
    return false;
  }
  return ::fsync(fd) == 0;
}

// ---- Where journals live ---------------------------------------------------

std::string DefaultJournalFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // The base directory rules: a relative value is invalid and ignored.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/dovrename/journal";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return "";
  return std::string(home) + "/.local/state/dovrename/journal";
}

std::string UtcNow() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc {};
  ::gmtime_r(&now.tv_sec, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000);
  return text;
}

std::string NewJournalName(const std::string& startedUtc) {
  std::string name;
  for (char c : startedUtc)
    if (c != '-' && c != ':') name.push_back(c);
  return name + "-" + std::to_string(::getpid()) + ".jsonl";
}

bool CreatePrivateFolders(const std::string& path) {
  for (const std::string& folder : MissingFolders(path))
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsFolder(path) || (errno = ENOTDIR, false);
}

std::string AbsolutePath(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::unique_ptr<char, void (*)(void*)> cwd(::getcwd(nullptr, 0), std::free);
  if (!cwd) return path;
  if (path == ".") return cwd.get();
  return std::string(cwd.get()) + (std::string_view(cwd.get()) == "/" ? "" : "/") + path;
}

std::vector<std::string> ListJournals(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (!name.starts_with('.') && name.ends_with(".jsonl")) names.emplace_back(name);
  }
  // Names begin with the start time in UTC: their order is the jobs' order.
  std::sort(names.rbegin(), names.rend());
  for (std::string& name : names) name = folder + "/" + name;
  return names;
}

}  // namespace dov
