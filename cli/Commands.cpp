#include "cli/Commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/UndoCommands.h"
#include "common/CodePage.h"
#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "info/AudioFiles.h"
#include "tags/APETag.h"

namespace dov::cli {
namespace {

constexpr const char* kProgram = "dovrename-cli: ";

// Paths and values are printed as UTF-8; a byte of a name that is not UTF-8
// goes out as that same byte, so plain output names the real file (JSON
// writes it as \udcXX).
std::string Utf8(std::u16string_view wide) {
  return WideToNative(wide);
}

// "music/" and "music" name the same folder: both lose their trailing slashes,
// so that the paths printed look alike.
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

char16_t ParseReplaceChar(const std::string& arg) {
  std::u16string wide = NativeToWide(arg);
  const bool onePair = wide.size() == 2 && wide[0] >= 0xD800 && wide[0] <= 0xDBFF &&
                       wide[1] >= 0xDC00 && wide[1] <= 0xDFFF;
  if (onePair)
    throw EUsageError("--replace-char cannot be \"" + arg +
                      "\": characters beyond U+FFFF, such as emoji, are not supported");
  if (wide.size() != 1 || (wide[0] >= 0xD800 && wide[0] <= 0xDFFF))
    throw EUsageError("--replace-char needs exactly one character, not \"" + arg + "\"");
  // Any other character may stand in a Linux file name; this one would make
  // the name a path into other folders.
  if (wide[0] == u'/') throw EUsageError("--replace-char cannot be \"/\": it separates folders");
  return wide[0];
}

void CheckArgs(const TRenameArgs& args) {
  if (!args.Rename && !args.Move && !args.Copy)
    throw EUsageError("nothing to do: give --rename, --move or --copy");
  if (args.Move && args.Copy) throw EUsageError("--move and --copy exclude each other");
  struct stat st {};
  if (::stat(args.Source.c_str(), &st) != 0)
    throw EUsageError("source folder \"" + args.Source + "\": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) throw EUsageError("source \"" + args.Source + "\" is not a folder");
  if ((args.Move || args.Copy) && !args.Dest.empty() && ::stat(args.Dest.c_str(), &st) == 0 &&
      !S_ISDIR(st.st_mode))
    throw EUsageError("destination \"" + args.Dest + "\" is not a folder");
}

// Prints every status text of the job as a line; a quiet view prints nothing.
class TPrintingView : public IRenameView {
 public:
  TPrintingView(std::ostream* out, TOutputCheck* check) : out_(out), check_(check) {}
  void ShowStatus(const TJobStatus& status) override {
    if (out_ == nullptr) return;
    *out_ << StatusText(status) << '\n';
    check_->Flush();
  }
  void SetProgressMax(int) override {}
  void SetProgress(int) override {}
  void Repaint() override {}

 private:
  std::ostream* out_;
  TOutputCheck* check_;
};

// One error line for each folder the walk could not list and each file it
// could not read; true when there was one.
bool ReportUnreadableFolders(const TRenameEngine& engine, std::ostream& err) {
  for (const TUnreadableFolder& folder : engine.UnreadableFolders())
    err << kProgram << "cannot read folder \"" << EscapeControls(Utf8(folder.Path))
        << "\": " << std::strerror(folder.Error) << std::endl;
  for (const TUnreadableFile& file : engine.UnreadableFiles())
    err << kProgram << "cannot read \"" << EscapeControls(Utf8(file.Path))
        << "\": " << std::strerror(file.Error) << std::endl;
  return !engine.UnreadableFolders().empty() || !engine.UnreadableFiles().empty();
}

// One error line for each operation that failed, with the reason.
void ReportFailedOperations(const TRenameList& list, bool copy, std::ostream& err) {
  for (const TRenameEntry& entry : list)
    if (entry.Ok == false)
      err << kProgram << "cannot " << (copy ? "copy" : "move") << " \""
          << EscapeControls(Utf8(entry.OldPath)) << "\" to \""
          << EscapeControls(Utf8(entry.NewPath)) << "\": " << std::strerror(entry.Error)
          << std::endl;
}

// "Dry run: 2 files would be moved and/or renamed, and 1 would stay
// unchanged; nothing was changed." The counts are those the real job reports.
std::string DryRunSummary(int done, int total) {
  return "Dry run: " + std::to_string(done) + " files would be moved and/or renamed, and " +
         std::to_string(total - done) + " would stay unchanged; nothing was changed.";
}

// {"entries":[{"old":..,"new":..,"ok":..},..],"done":..,"total":..}, written
// out as it grows so that a job of a million files holds no second copy.
void PrintRenameJson(const TRenameList& list, int done, int total, std::ostream& out) {
  TJsonWriter json;
  json.BeginObject().Key("entries").BeginArray();
  for (const TRenameEntry& entry : list) {
    json.BeginObject().Key("old").String(Utf8(entry.OldPath));
    json.Key("new").String(Utf8(entry.NewPath)).Key("ok");
    if (entry.Ok)
      json.Bool(*entry.Ok);
    else
      json.Null();
    if (entry.Ok == false) json.Key("reason").String(std::strerror(entry.Error));
    json.EndObject().DrainWhenLarge(out);
  }
  json.EndArray().Key("done").Number(done).Key("total").Number(total).EndObject();
  json.DrainTo(out);
  out << '\n';
}

// One line of a dry run: an operation that would succeed (empty reason), or
// a file that would stay where it is, with a stable reason code and words.
struct TPlanLine {
  std::string Old, New;  // New empty: the file has no new name
  std::string Reason, Text;
  std::string Winner;  // "collision": the file that gets the name
};

std::string FailureText(const TForetoldFailure& failure, int error, std::string& reason) {
  const std::string cause = std::strerror(error);
  switch (failure.Kind) {
    case EForetoldFailure::Exists:
      reason = "exists";
      return "the new name is taken by a file that exists now";
    case EForetoldFailure::Collision:
      reason = "collision";
      return "another file of this job gets the name first: \"" +
             EscapeControls(Utf8(failure.Winner)) + "\"";
    case EForetoldFailure::NameTooLong:
      reason = "name-too-long";
      return "the name is longer than the destination file system allows (at most " +
             std::to_string(failure.Limit) + ")";
    case EForetoldFailure::Folder:
      reason = "folder";
      return "the destination folder cannot be created or written: " + cause;
    case EForetoldFailure::OtherFileSystem:
      reason = "other-file-system";
      return "the destination is on another file system: " + cause;
    case EForetoldFailure::Source:
      break;
  }
  reason = "source";
  return std::string(error == ENOENT ? "the file is gone: " : "the file cannot be taken: ") + cause;
}

// Every operation of the job in its order, then the files it leaves alone:
// those whose name would change only in letter case, those it cannot read,
// and with verbose those without name tags. Each line is handed to visit as
// it is made, none is kept; returns the count of files without name tags.
template <class TVisit>
int ForEachPlanLine(const TRenameEngine& engine, const TDryRunFileOps& fileOps, bool verbose,
                    TVisit&& visit) {
  for (const TRenameEntry& entry : engine.RenameList()) {
    TPlanLine line{Utf8(entry.OldPath), Utf8(entry.NewPath), {}, {}, {}};
    if (entry.Ok != true) {
      const TForetoldFailure* failure = fileOps.FailureOf(entry.OldPath);
      const TForetoldFailure unknown;
      line.Text = FailureText(failure != nullptr ? *failure : unknown, entry.Error, line.Reason);
      if (failure != nullptr && failure->Kind == EForetoldFailure::Collision)
        line.Winner = Utf8(failure->Winner);
    }
    visit(line);
  }
  int untagged = 0;
  for (const TSkippedFile& file : engine.SkippedFiles()) {
    TPlanLine line{Utf8(file.Path), Utf8(file.NewPath), {}, {}, {}};
    if (file.Kind == ESkipKind::CaseOnly) {
      line.Reason = "case-only";
      line.Text = "the name would change only in letter case, which is left alone";
    } else if (file.Kind == ESkipKind::Unreadable) {
      line.Reason = "unreadable";
      line.Text = std::string("the file cannot be read: ") + std::strerror(file.Error);
    } else {
      ++untagged;
      if (!verbose) continue;
      line.Reason = "no-name-tags";
      line.Text = "no Artist, Title or Genre tag";
    }
    visit(line);
  }
  return untagged;
}

// "OLD -> NEW" for a planned operation, "OLD -> NEW: stays, WHY" or
// "OLD: stays, WHY" for a file that would stay unchanged.
void PrintPlan(const TRenameEngine& engine, const TDryRunFileOps& fileOps, bool verbose,
               const TJobResult& result, std::ostream& out) {
  const int untagged = ForEachPlanLine(engine, fileOps, verbose, [&out](const TPlanLine& line) {
    out << EscapeControls(line.Old);
    if (!line.New.empty()) out << " -> " << EscapeControls(line.New);
    if (!line.Reason.empty()) out << ": stays, " << line.Text;
    out << '\n';
  });
  if (untagged > 0) out << untagged << " files without name tags left alone\n";
  out << DryRunSummary(result.Done, result.Total) << '\n';
}

// {"entries":[{"old":..,"new":..,"ok":null},{..,"ok":false,"reason":..,"text":..},..],
//  "done":..,"total":..,"untagged":..}, written out as it grows.
void PrintPlanJson(const TRenameEngine& engine, const TDryRunFileOps& fileOps, bool verbose,
                   const TJobResult& result, std::ostream& out) {
  TJsonWriter json;
  json.BeginObject().Key("entries").BeginArray();
  const int untagged = ForEachPlanLine(engine, fileOps, verbose, [&](const TPlanLine& line) {
    json.BeginObject().Key("old").String(line.Old);
    json.Key("new").String(line.New.empty() ? line.Old : line.New).Key("ok");
    if (line.Reason.empty()) {
      json.Null();
    } else {
      json.Bool(false).Key("reason").String(line.Reason).Key("text").String(line.Text);
      if (!line.Winner.empty()) json.Key("winner").String(line.Winner);
    }
    json.EndObject().DrainWhenLarge(out);
  });
  json.EndArray().Key("done").Number(result.Done).Key("total").Number(result.Total);
  json.Key("untagged").Number(untagged).EndObject();
  json.DrainTo(out);
  out << '\n';
}

// A file the tags and duration commands can read: it exists, is a regular
// file (a FIFO would hang the read) and opens. Otherwise one error line.
bool CheckReadableFile(const std::string& file, std::ostream& err) {
  struct stat st {};
  std::string problem;
  if (::stat(file.c_str(), &st) != 0) {
    problem = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    problem = "is a folder";
  } else if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
  } else {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
      problem = std::strerror(errno);
    else
      ::close(fd);
  }
  if (problem.empty()) return true;
  err << kProgram << "cannot read \"" << file << "\": " << problem << std::endl;
  return false;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

std::string ValueText(const TAPEItem& item) {
  return IsRawItem(item) ? Hex(item.Value) : Utf8(MarkedToWide(item.Value));
}

// A raw value longer than this shows in text as its size and kind (a cover of
// some hundred KB would be a screenful of hex), unless --full is given.
constexpr size_t kMaxRawTextBytes = 64;

// The bytes of a raw value as the file holds them: the store keeps one with
// bytes of 0x80 or above as marked text, which the code page turns back.
std::string RawBytes(const TAPEItem& item) {
  return IsUTF8Marked(item.Value) ? WideToAnsi(MarkedToWide(item.Value)) : item.Value;
}

std::string ValueLine(const TAPEItem& item, bool full) {
  if (!full && IsRawItem(item)) {
    const std::string bytes = RawBytes(item);
    if (bytes.size() > kMaxRawTextBytes) return BinarySummary(bytes);
  }
  return EscapeControls(ValueText(item));
}

}  // namespace

int RunRename(const TRenameArgs& rawArgs, std::ostream& out, std::ostream& err) {
  TRenameArgs args = rawArgs;
  args.Source = WithoutTrailingSlashes(args.Source);
  args.Dest = WithoutTrailingSlashes(args.Dest);
  TOutputCheck check(out);
  try {
    CheckArgs(args);
    TRenameOptions options;
    options.ReplaceChar = ParseReplaceChar(args.ReplaceChar);
    options.SourceFolder = NativeToWide(args.Source);
    options.DestFolder = NativeToWide(args.Dest.empty() ? args.Source : args.Dest);
    options.Subfolders = args.Subfolders;
    options.Rename = args.Rename;
    options.Move = args.Move;
    options.Copy = args.Copy;

    if (args.DryRun) {
      // The job itself, with operations that only foretell their outcome.
      TDryRunFileOps fileOps;
      TPrintingView quiet(nullptr, &check);
      TProgressView progress(quiet, args.Progress ? &err : nullptr, TerminalWidth(STDERR_FILENO));
      TRenameEngine engine(fileOps, progress);
      const TJobResult result = engine.Run(options);
      progress.Clear();
      if (args.Json)
        PrintPlanJson(engine, fileOps, args.Verbose, result, out);
      else
        PrintPlan(engine, fileOps, args.Verbose, result, out);
      return check.Finish(err, ReportUnreadableFolders(engine, err) ? kExitFailed : kExitOk);
    }

    TLinuxFileOps fileOps;
    TRenameJournal journal(args, options, fileOps);
    TPrintingView view(args.Json ? nullptr : &out, &check);
    TProgressView progress(view, args.Progress ? &err : nullptr, TerminalWidth(STDERR_FILENO));
    TRenameEngine engine(journal.FileOps(), progress);
    TJobResult result = engine.Run(options);
    progress.Clear();
    const bool journaled = journal.Finish(result, err);
    if (args.Json) PrintRenameJson(engine.RenameList(), result.Done, result.Total, out);
    check.Flush();
    ReportFailedOperations(engine.RenameList(), options.Copy, err);
    const bool unreadable = ReportUnreadableFolders(engine, err);
    return check.Finish(
        err, result.Done == result.Total && !unreadable && journaled ? kExitOk : kExitFailed);
  } catch (const EUsageError& e) {
    err << kProgram << e.what() << std::endl;
    return kExitUsage;
  }
}

int RunTags(const std::vector<std::string>& files, bool asJson, bool full, std::ostream& out,
            std::ostream& err) {
  TOutputCheck check(out);
  int status = kExitOk;
  TJsonWriter json;
  json.BeginArray();
  for (const std::string& file : files) {
    if (!CheckReadableFile(file, err)) {
      status = kExitFailed;
      continue;
    }
    // Exactly what the rename job reads: the APE tag, else the container's tags.
    TAPETags tags(WideToMarked(NativeToWide(file)), 3);
    try {
      if (tags.NeedsContainerTags()) tags.ImportContainerTags();
    } catch (const std::exception& e) {
      err << kProgram << "cannot read the tags of \"" << file << "\": " << e.what() << std::endl;
      status = kExitFailed;
      continue;
    }
    std::vector<TAPEItem> items = tags.Items();
    if (asJson) {
      json.BeginObject().Key("file").String(file).Key("apeTag").Bool(tags.HasAPETag());
      json.Key("fields").BeginArray();
      for (const TAPEItem& item : items)
        json.BeginObject()
            .Key("name")
            .String(item.Name)
            .Key("value")
            .String(ValueText(item))
            .EndObject();
      json.EndArray().EndObject();
    } else {
      out << EscapeControls(file) << ": " << (tags.HasAPETag() ? "APEv2 tag" : "no APEv2 tag")
          << ", " << items.size() << (items.size() == 1 ? " field" : " fields") << '\n';
      for (const TAPEItem& item : items)
        out << "  " << EscapeControls(item.Name) << ": " << ValueLine(item, full) << '\n';
    }
  }
  if (asJson) out << json.EndArray().Text() << '\n';
  return check.Finish(err, status);
}

int RunDuration(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
  TOutputCheck check(out);
  int status = kExitOk;
  for (const std::string& file : files) {
    if (!CheckReadableFile(file, err)) {
      status = kExitFailed;
      continue;
    }
    int32_t ms = GetFileDuration(WideToMarked(NativeToWide(file)), nullptr);
    out << ms << '\t' << EscapeControls(file) << '\n';
    check.Flush();
  }
  return check.Finish(err, status);
}

}  // namespace dov::cli
