// The journal of dovrename-cli's rename jobs, and the two commands that use
// it: undo takes a job back, history lists the jobs.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "cli/Commands.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"

namespace dov {
class TJournalWriter;
class TJournalingFileOps;
}  // namespace dov

namespace dov::cli {

// The journal of one rename job that changes the disk: the job's operations
// go through FileOps(). With --no-journal FileOps() is the real one.
class TRenameJournal {
 public:
  // Raises EUsageError when no journal can be named (--journal FILE exists,
  // or neither HOME nor XDG_STATE_HOME is set).
  TRenameJournal(const TRenameArgs& args, const TRenameOptions& options, IFileOps& real);
  ~TRenameJournal();
  TRenameJournal(const TRenameJournal&) = delete;
  TRenameJournal& operator=(const TRenameJournal&) = delete;

  IFileOps& FileOps();
  // Closes the journal with the job's counts. False, with one error line,
  // when the journal could not be written.
  bool Finish(const TJobResult& result, std::ostream& err);

 private:
  std::unique_ptr<IFileOps> testHook_;
  std::unique_ptr<TJournalWriter> writer_;
  std::unique_ptr<TJournalingFileOps> journaling_;
  IFileOps* ops_;
};

struct TUndoArgs {
  std::string Journal;  // empty: the newest journal not yet undone
  bool DryRun = false;
  bool Json = false;
};

int RunUndo(const TUndoArgs& args, std::ostream& out, std::ostream& err);
int RunHistory(bool asJson, std::ostream& out, std::ostream& err);

}  // namespace dov::cli
