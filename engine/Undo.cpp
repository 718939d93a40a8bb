#include "engine/Undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/DOVTnt.h"

namespace dov {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Reads up to size bytes, fewer only at the end of the file.
ssize_t ReadFull(int fd, char* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

TUndoStep Left(const TJournalOp& op, std::string reason) {
  return {op, TUndoAction::Leave, std::move(reason)};
}

// The file at the new path is the one the job put there: the identity the
// done record took, or, for an operation cut short, the source's own (a move
// to another file system keeps size and time but not the inode).
bool IsTheJobsFile(const TJournalOp& op, const TFileIdentity& now) {
  if (op.After) return now == *op.After;
  if (!op.Before) return false;
  if (now == *op.Before) return true;
  return op.Kind == TJournalKind::Move && now.Size == op.Before->Size &&
         now.MtimeNs == op.Before->MtimeNs;
}

TUndoStep ExamineCopy(const TJournalOp& op) {
  const bool pending = op.State == TJournalOp::TState::Pending;
  if (!Exists(op.New))
    return pending ? TUndoStep{op, TUndoAction::Nothing, ""} : Left(op, "the copy is gone");
  if (!IdentityOf(op.Old)) return Left(op, "its source " + op.Old + " is gone");
  if (!SameContents(op.Old, op.New)) {
    // Cut short before the copy was published, the file there is another's.
    if (pending) return {op, TUndoAction::Nothing, ""};
    return Left(op, "the copy differs from its source " + op.Old);
  }
  return {op, TUndoAction::RemoveCopy, ""};
}

TUndoStep ExamineMove(const TJournalOp& op) {
  const bool pending = op.State == TJournalOp::TState::Pending;
  const std::optional<TFileIdentity> now = IdentityOf(op.New);
  if (pending && Exists(op.Old)) {
    // Cut short: the source is still there. A move to another file system
    // may have published its copy, a rename by link and unlink its second
    // name, before it was killed.
    if (now && (IdentityOf(op.Old) == now ||
                (op.Kind == TJournalKind::Move && SameContents(op.Old, op.New))))
      return {op, TUndoAction::RemoveCopy, ""};
    return {op, TUndoAction::Nothing, ""};
  }
  if (!now) return Left(op, Exists(op.New) ? "it is no longer a regular file" : "it is gone");
  if (!IsTheJobsFile(op, *now)) return Left(op, "it was changed or replaced after the job");
  if (Exists(op.Old)) return Left(op, "its old name " + op.Old + " is taken");
  return {op, TUndoAction::Restore, ""};
}

}  // namespace

bool SameContents(const std::string& a, const std::string& b) {
  FdCloser fa{::open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  FdCloser fb{::open(b.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  struct stat sa {
  }, sb{};
  if (fa.fd < 0 || fb.fd < 0 || ::fstat(fa.fd, &sa) != 0 || ::fstat(fb.fd, &sb) != 0 ||
      !S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size)
    return false;
  std::vector<char> bufA(1 << 16), bufB(1 << 16);
  for (;;) {
    const ssize_t na = ReadFull(fa.fd, bufA.data(), bufA.size());
    const ssize_t nb = ReadFull(fb.fd, bufB.data(), bufB.size());
    if (na < 0 || na != nb) return false;
    if (na == 0) return true;
    if (std::memcmp(bufA.data(), bufB.data(), static_cast<size_t>(na)) != 0) return false;
  }
}

std::string UndoSummaryText(int restored, int left) {
  std::string text = std::to_string(restored) + " files restored";
  if (left > 0) text += ", and " + std::to_string(left) + " unchanged.";
  return text;
}

TUndoStep TUndo::Examine(const TJournalOp& op) {
  if (op.State == TJournalOp::TState::Failed) return {op, TUndoAction::Nothing, ""};
  return op.Kind == TJournalKind::Copy ? ExamineCopy(op) : ExamineMove(op);
}

// Each step is looked at again just before it is taken, so that what the
// disk shows decides, not what it showed when the plan was made.
void TUndo::Carry(TUndoStep& step) {
  const TJournalOp& op = step.Op;
  if (step.Action == TUndoAction::Restore) {
    // The same operations as the job's: never replacing, and across file
    // systems copied, synced and verified before the source goes.
    if (!fileOps_.MoveFile(NativeToWide(op.New), NativeToWide(op.Old),
                           op.Kind == TJournalKind::Move)) {
      const int error = errno;
      step = Left(op, std::string("it cannot be moved back: ") +
                          (error != 0 ? std::strerror(error) : "the move failed"));
    }
  } else if (step.Action == TUndoAction::RemoveCopy) {
    if (::unlink(op.New.c_str()) != 0)
      step = Left(op, std::string("the copy cannot be removed: ") + std::strerror(errno));
  }
}

void TUndo::RemoveCreatedFolders(const TJournal& journal, TUndoResult& result) {
  // Deepest first: a folder was recorded after its parent.
  for (auto it = journal.CreatedFolders.rbegin(); it != journal.CreatedFolders.rend(); ++it)
    if (::rmdir(it->c_str()) == 0) result.RemovedFolders.push_back(*it);
}

TUndoResult TUndo::Run(const TJournal& journal, bool dryRun) {
  TUndoResult result;
  for (auto it = journal.Ops.rbegin(); it != journal.Ops.rend(); ++it) {
    TUndoStep step = Examine(*it);
    if (!dryRun) {
      errno = 0;
      Carry(step);
    }
    if (step.Action == TUndoAction::Leave)
      ++result.Left;
    else if (step.Action != TUndoAction::Nothing)
      ++result.Restored;
    result.Steps.push_back(std::move(step));
  }
  if (!dryRun) RemoveCreatedFolders(journal, result);
  return result;
}

}  // namespace dov
