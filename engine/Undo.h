// Taking a rename job back from its journal: each operation is reversed, the
// last first, but only where the disk still shows what the job left. Nothing
// is ever overwritten, and a file changed since the job stays as it is.
#pragma once

#include <string>
#include <vector>

#include "engine/FileOps.h"
#include "engine/Journal.h"

namespace dov {

// What undo does with one operation of the job.
enum class TUndoAction {
  Restore,     // move the file back to its old path
  RemoveCopy,  // remove the copy the job made
  Nothing,     // the operation changed nothing (failed, or never made)
  Leave,       // it cannot be taken back safely: the reason says why
};

struct TUndoStep {
  TJournalOp Op;
  TUndoAction Action = TUndoAction::Nothing;
  std::string Reason;  // why it is left
};

struct TUndoResult {
  std::vector<TUndoStep> Steps;  // in the order taken: the job's last operation first
  std::vector<std::string> RemovedFolders;
  int Restored = 0;
  int Left = 0;
};

class TUndo {
 public:
  explicit TUndo(IFileOps& fileOps) : fileOps_(fileOps) {}

  // Takes the job back; with dryRun it only works out what it would do.
  TUndoResult Run(const TJournal& journal, bool dryRun);
  // What would be done with one operation, looking at the disk now.
  static TUndoStep Examine(const TJournalOp& op);

 private:
  void Carry(TUndoStep& step);
  void RemoveCreatedFolders(const TJournal& journal, TUndoResult& result);

  IFileOps& fileOps_;
};

// "12 files restored, and 3 unchanged." (the rest when none was left).
std::string UndoSummaryText(int restored, int left);

// True when both are regular files with the same bytes.
bool SameContents(const std::string& a, const std::string& b);

}  // namespace dov
