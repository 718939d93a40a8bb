#include "cli/UndoCommands.h"

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "cli/Output.h"
#include "common/DOVTnt.h"
#include "engine/Journal.h"
#include "engine/Undo.h"

namespace dov::cli {
namespace {

constexpr const char* kProgram = "dovrename-cli: ";

// A test hook, for the tests of a job killed in the middle: with
// DOVRENAME_TEST_HOOK_KILL_AFTER=N the process kills itself with SIGKILL
// right after its Nth move or copy, before the journal hears how it went.
class TKillAfterFileOps : public IFileOps {
 public:
  TKillAfterFileOps(IFileOps& inner, long count) : inner_(inner), left_(count) {}
  bool CreateFolders(const std::u16string& path) override { return inner_.CreateFolders(path); }
  bool MoveFile(const std::u16string& from, const std::u16string& to, bool allowCopy) override {
    return Count(inner_.MoveFile(from, to, allowCopy));
  }
  bool CopyFile(const std::u16string& from, const std::u16string& to) override {
    return Count(inner_.CopyFile(from, to));
  }
  void ExpectCopies(TNextCopy next) override { inner_.ExpectCopies(std::move(next)); }
  void ExpectOperation(const std::u16string& from, const std::u16string& to, bool copy,
                       bool allowCopy, const TFileFacts& source) override {
    inner_.ExpectOperation(from, to, copy, allowCopy, source);
  }

 private:
  bool Count(bool ok) {
    if (--left_ == 0) ::raise(SIGKILL);
    return ok;
  }
  IFileOps& inner_;
  long left_;
};

constexpr const char* kJournalAdvice = ", or give --journal FILE or --no-journal";

// Where the journal goes; a place it cannot go is a usage error before the
// job starts, rather than a failure of every operation.
std::string JournalPathFor(const TRenameArgs& args, const std::string& started) {
  if (!args.Journal.empty()) {
    const std::string path = AbsolutePath(args.Journal);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0)
      throw EUsageError("journal \"" + args.Journal + "\" exists already: give a new file");
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw EUsageError("journal \"" + args.Journal + "\": its folder does not exist");
    return path;
  }
  const std::string folder = DefaultJournalFolder();
  if (folder.empty())
    throw EUsageError(std::string("no place for the journal: set HOME or XDG_STATE_HOME") +
                      kJournalAdvice);
  if (!CreatePrivateFolders(folder))
    throw EUsageError("cannot create the journal folder \"" + folder +
                      "\": " + std::strerror(errno) + kJournalAdvice);
  return folder + "/" + NewJournalName(started);
}

// The journal named, or the newest in the journal folder not yet undone. A
// corrupt newer one stops the search: an older job must be asked for by name.
TJournal FindJournal(const std::string& named) {
  if (!named.empty()) return ReadJournal(named);
  const std::string folder = DefaultJournalFolder();
  if (folder.empty()) throw EUsageError("no journal folder: set HOME or XDG_STATE_HOME");
  for (const std::string& path : ListJournals(folder)) {
    TJournal journal = ReadJournal(path);
    if (!journal.Undone) return journal;
  }
  throw EUsageError("no job to undo: every journal in \"" + folder + "\" is undone");
}

const char* ActionName(TUndoAction action) {
  switch (action) {
    case TUndoAction::Restore:
      return "restore";
    case TUndoAction::RemoveCopy:
      return "removeCopy";
    case TUndoAction::Leave:
      return "leave";
    case TUndoAction::Nothing:
      break;
  }
  return "nothing";
}

void PrintStep(const TUndoStep& step, bool dryRun, std::ostream& out) {
  const TJournalOp& op = step.Op;
  switch (step.Action) {
    case TUndoAction::Restore:
      out << (dryRun ? "Would restore " : "Restored ") << EscapeControls(op.New) << " -> "
          << EscapeControls(op.Old) << '\n';
      break;
    case TUndoAction::RemoveCopy:
      out << (dryRun ? "Would remove the copy " : "Removed the copy ") << EscapeControls(op.New)
          << '\n';
      break;
    case TUndoAction::Leave:
      out << (dryRun ? "Would leave " : "Left ") << EscapeControls(op.New) << ": " << step.Reason
          << '\n';
      break;
    case TUndoAction::Nothing:
      break;
  }
}

void PrintUndoText(const TUndoResult& result, bool dryRun, std::ostream& out) {
  for (const TUndoStep& step : result.Steps) PrintStep(step, dryRun, out);
  for (const std::string& folder : result.RemovedFolders)
    out << "Removed the empty folder " << EscapeControls(folder) << '\n';
  if (dryRun)
    out << "Dry run: " << result.Restored << " files would be restored, and " << result.Left
        << " unchanged; nothing was changed." << std::endl;
  else
    out << UndoSummaryText(result.Restored, result.Left) << std::endl;
}

// Paths keep their exact bytes (an undecodable byte as \udcXX).
void PrintUndoJson(const TJournal& journal, const TUndoResult& result, bool dryRun,
                   std::ostream& out) {
  TJsonWriter json;
  json.BeginObject().Key("journal").String(journal.Path).Key("entries").BeginArray();
  for (const TUndoStep& step : result.Steps) {
    if (step.Action == TUndoAction::Nothing) continue;
    json.BeginObject().Key("kind").String(KindName(step.Op.Kind));
    json.Key("old").String(step.Op.Old).Key("new").String(step.Op.New);
    json.Key("action").String(ActionName(step.Action)).Key("reason");
    if (step.Reason.empty())
      json.Null();
    else
      json.String(step.Reason);
    json.EndObject();
  }
  json.EndArray().Key("removedFolders").BeginArray();
  for (const std::string& folder : result.RemovedFolders) json.String(folder);
  json.EndArray().Key("restored").Number(result.Restored).Key("left").Number(result.Left);
  json.Key("dryRun").Bool(dryRun).EndObject();
  out << json.Text() << std::endl;
}

struct TJobCounts {
  int Done = 0;
  int Total = 0;
};

// The counts of the end record, or, for a job cut short, of what it recorded.
TJobCounts CountsOf(const TJournal& journal) {
  if (journal.Finished) return {journal.EndDone, journal.EndTotal};
  TJobCounts counts;
  for (const TJournalOp& op : journal.Ops) {
    ++counts.Total;
    if (op.State == TJournalOp::TState::Done) ++counts.Done;
  }
  return counts;
}

void AppendHistoryJson(TJsonWriter& json, const TJournal& j) {
  const TJobCounts counts = CountsOf(j);
  const TJournalHeader& h = j.Header;
  json.BeginObject().Key("journal").String(j.Path).Key("started").String(h.Started);
  json.Key("source").String(h.Source).Key("dest").String(h.Dest);
  json.Key("rename").Bool(h.Rename).Key("move").Bool(h.Move).Key("copy").Bool(h.Copy);
  json.Key("done").Number(counts.Done).Key("total").Number(counts.Total);
  json.Key("finished").Bool(j.Finished).Key("undone").Bool(j.Undone).EndObject();
}

std::string HistoryLine(const TJournal& j) {
  const TJobCounts counts = CountsOf(j);
  const TJournalHeader& h = j.Header;
  std::string actions = h.Rename ? "rename" : "";
  if (h.Move || h.Copy)
    actions += std::string(actions.empty() ? "" : "+") + (h.Move ? "move" : "copy");
  std::string line = EscapeControls(h.Started) + "  " + actions + "  " + EscapeControls(h.Source);
  if (h.Move || h.Copy) line += " -> " + EscapeControls(h.Dest);
  line += "  " + std::to_string(counts.Done) + " of " + std::to_string(counts.Total) + " done";
  if (!j.Finished) line += ", cut short";
  if (j.Undone) line += ", undone";
  return line + "\n  " + EscapeControls(j.Path);
}

}  // namespace

TRenameJournal::TRenameJournal(const TRenameArgs& args, const TRenameOptions& options,
                               IFileOps& real)
    : ops_(&real) {
  if (const char* hook = std::getenv("DOVRENAME_TEST_HOOK_KILL_AFTER")) {
    testHook_ = std::make_unique<TKillAfterFileOps>(real, std::atol(hook));
    ops_ = testHook_.get();
  }
  if (args.NoJournal) return;
  TJournalHeader header;
  header.Started = UtcNow();
  header.Source = AbsolutePath(WideToNative(options.SourceFolder));
  header.Dest = AbsolutePath(WideToNative(options.DestFolder));
  header.Subfolders = options.Subfolders;
  header.Rename = options.Rename;
  header.Move = options.Move;
  header.Copy = options.Copy;
  writer_ = std::make_unique<TJournalWriter>(JournalPathFor(args, header.Started), header,
                                             args.Journal.empty());
  journaling_ = std::make_unique<TJournalingFileOps>(*ops_, *writer_);
  ops_ = journaling_.get();
}

TRenameJournal::~TRenameJournal() = default;

IFileOps& TRenameJournal::FileOps() {
  return *ops_;
}

bool TRenameJournal::Finish(const TJobResult& result, std::ostream& err) {
  if (!journaling_ || journaling_->Finish(result.Done, result.Total)) return true;
  // Every operation after the first record that failed was refused.
  err << kProgram << writer_->Error() << std::endl;
  return false;
}

int RunUndo(const TUndoArgs& args, std::ostream& out, std::ostream& err) {
  TOutputCheck check(out);
  try {
    TJournal journal = FindJournal(args.Journal);
    // Held from before the journal is read for good until it is marked.
    std::unique_ptr<TJournalLock> lock;
    if (!args.DryRun) {
      lock = std::make_unique<TJournalLock>(journal.Path);
      journal = ReadJournal(journal.Path);
    }
    if (journal.Undone)
      throw EUsageError("the job of \"" + journal.Path + "\" was undone already (" +
                        journal.UndoneAt + "): it is not undone twice");
    TLinuxFileOps fileOps;
    TUndoResult result = TUndo(fileOps).Run(journal, args.DryRun);
    if (args.Json)
      PrintUndoJson(journal, result, args.DryRun, out);
    else
      PrintUndoText(result, args.DryRun, out);
    if (!args.DryRun && !MarkJournalUndone(journal, *lock, result.Restored, result.Left)) {
      err << kProgram << "cannot mark the journal \"" << journal.Path
          << "\" as undone: " << std::strerror(errno) << std::endl;
      return kExitFailed;
    }
    return check.Finish(err, result.Left == 0 ? kExitOk : kExitFailed);
  } catch (const EJournalError& e) {
    err << kProgram << e.what() << "; nothing was changed" << std::endl;
    return kExitUsage;
  } catch (const EUsageError& e) {
    err << kProgram << e.what() << std::endl;
    return kExitUsage;
  }
}

int RunHistory(bool asJson, std::ostream& out, std::ostream& err) {
  const std::string folder = DefaultJournalFolder();
  if (folder.empty()) {
    err << kProgram << "no journal folder: set HOME or XDG_STATE_HOME" << std::endl;
    return kExitUsage;
  }
  TOutputCheck check(out);
  int status = kExitOk;
  TJsonWriter json;
  json.BeginArray();
  const std::vector<std::string> journals = ListJournals(folder);
  if (journals.empty() && !asJson) out << "No journals in " << folder << '\n';
  for (const std::string& path : journals) {
    try {
      TJournal journal = ReadJournal(path);
      if (asJson)
        AppendHistoryJson(json, journal);
      else
        out << HistoryLine(journal) << '\n';
    } catch (const EJournalError& e) {
      err << kProgram << e.what() << std::endl;
      status = kExitFailed;
    }
  }
  if (asJson) out << json.EndArray().Text() << std::endl;
  return check.Finish(err, status);
}

}  // namespace dov::cli
