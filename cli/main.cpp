// dovrename-cli: the rename job, the tag store and the play length of files,
// for scripts and machines without a display.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/UndoCommands.h"
#include "common/CodePage.h"
#include "common/Version.h"
#include "engine/FileOps.h"

namespace {

constexpr const char* kExitStatus =
    "Text output shows control characters in names and values escaped as ls -b\n"
    "does (\\n, \\t, \\033, a backslash as \\\\). JSON output keeps the exact bytes:\n"
    "each byte b of a name that is not UTF-8 is written as \\udcXX (U+DC00 + b).\n"
    "\n"
    "Exit status: 0 when everything succeeded, 1 when some operation failed, a file\n"
    "or folder could not be read or the output could not be written, 2 on a usage\n"
    "error. Errors are one line on stderr.";

constexpr const char* kRenameHelp =
    "Renames, moves or copies the audio files in SOURCE by their tags.\n"
    "\n"
    "Files with the extensions .mp3 .mp2 .wav .flac .ogg .m4a .mp4 .mp4a .wma .ape\n"
    "whose tags give an artist, a title or a genre are handled; names beginning\n"
    "with \".\" are skipped. --rename gives a file the name \"Artist - Title\" (the\n"
    "title alone when there is no artist) with its extension in lower case.\n"
    "--move or --copy puts it into the folder named after its genre under DIR\n"
    "(\"Unknown\" when it has none), creating that folder. A new name that differs\n"
    "from the old one only in letter case, in the same folder, is left alone\n"
    "(letter case makes different folders). An existing file is\n"
    "never overwritten: that operation fails and the file stays unchanged.\n"
    "File contents and tags are never changed.\n"
    "\n"
    "Prints the status texts of the job, one a line, the summary last, such as\n"
    "\"12 files moved and/or renamed, and 3 unchanged.\"\n"
    "With --dry-run: one line \"OLD -> NEW\" per operation that would succeed, and\n"
    "\"OLD -> NEW: stays, WHY\" per file that would stay unchanged: the name is\n"
    "taken by an existing file, another file of the job gets it first (named), a\n"
    "name is too long for the destination file system, the destination folder\n"
    "cannot be created or written, the change is only in letter case, or the file\n"
    "cannot be read. Files without name tags are counted on one line (listed with\n"
    "--verbose). The last line gives the counts the real job would report.\n"
    "With --json: {\"entries\":[{\"old\":...,\"new\":...,\"ok\":...}],\"done\":N,\"total\":M}\n"
    "(a failed entry also has a \"reason\"). In a dry run \"ok\" is null for an\n"
    "operation that would succeed, or false with a \"reason\" code (exists,\n"
    "collision with a \"winner\", name-too-long, folder, case-only, unreadable,\n"
    "no-name-tags, source, other-file-system) and a \"text\"; \"untagged\" counts\n"
    "the files without name tags.\n"
    "\n"
    "A job that changes anything keeps a journal of it, one file per job in\n"
    "$XDG_STATE_HOME/dovrename/journal (default ~/.local/state/dovrename/journal),\n"
    "or in FILE with --journal FILE: \"dovrename-cli undo\" takes the job back.";

constexpr const char* kUndoHelp =
    "Takes back the job of JOURNAL (default: the newest journal not yet undone),\n"
    "its last operation first. A renamed or moved file goes back to its old path\n"
    "when it is still the file the job left there (same inode, size and time)\n"
    "and the old path is free; a copy is removed when it still has the same bytes\n"
    "as its source; genre folders the job created are removed when empty. Nothing\n"
    "is ever overwritten. Prints each file restored and each one left with the\n"
    "reason, then \"N files restored, and M unchanged.\" A journal is undone once:\n"
    "it is marked, and a second undo is refused.\n"
    "With --json: {\"journal\":...,\"entries\":[{\"kind\":...,\"old\":...,\"new\":...,\n"
    "\"action\":\"restore\"|\"removeCopy\"|\"leave\",\"reason\":...}],\"removedFolders\":[...],\n"
    "\"restored\":N,\"left\":M,\"dryRun\":...}.\n"
    "Exit status 1 when a file was left, 2 when the journal is corrupt, in use\n"
    "(its job still running) or undone already.";

constexpr const char* kHistoryHelp =
    "Lists the journals of the rename jobs, newest first: start time (UTC),\n"
    "actions, source and destination, operations done of all, and whether the job\n"
    "was cut short or undone, then the journal's path.\n"
    "With --json: [{\"journal\":...,\"started\":...,\"source\":...,\"dest\":...,\"rename\":...,\n"
    "\"move\":...,\"copy\":...,\"done\":N,\"total\":M,\"finished\":...,\"undone\":...}]";

constexpr const char* kTagsHelp =
    "Prints the tag fields of each FILE as the rename job reads them, in store\n"
    "order: the items of the APEv2 tag when the file has one, otherwise the\n"
    "fields imported from the file's own tags. Values are UTF-8; raw values\n"
    "(binary items and names beginning with \"X\", such as XRestrictions) are\n"
    "hexadecimal bytes. Plain output: \"FILE: APEv2 tag, N fields\" and then\n"
    "\"  Name: value\" per field, control characters escaped; a raw value longer\n"
    "than 64 bytes shows as its size and kind, such as\n"
    "\"<binary, 127,162 bytes, JPEG image>\", unless --full is given.\n"
    "With --json: [{\"file\":...,\"apeTag\":true|false,\"fields\":[{\"name\":...,\"value\":...}]}]";

constexpr const char* kDurationHelp =
    "Prints the play length of each FILE as \"MILLISECONDS<TAB>FILE\", -1 when the\n"
    "length is not known.";

// CLI11's messages become one line.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// What the command line asks for: the options of every command.
struct TRequest {
  dov::cli::TRenameArgs Rename;
  bool Quiet = false;
  bool TagsJson = false;
  bool TagsFull = false;
  std::vector<std::string> TagFiles;
  std::vector<std::string> DurationFiles;
  dov::cli::TUndoArgs Undo;
  bool HistoryJson = false;
};

CLI::App* AddRename(CLI::App& app, TRequest& request) {
  dov::cli::TRenameArgs& args = request.Rename;
  CLI::App* rename =
      app.add_subcommand("rename", "Rename, move or copy the audio files of a folder");
  rename->footer(kRenameHelp);
  rename->add_flag("--subfolders", args.Subfolders, "Include subfolders (never DIR itself)");
  rename->add_flag("--rename", args.Rename, "Rename files to \"Artist - Title\"");
  CLI::Option* move =
      rename->add_flag("--move", args.Move, "Move files into genre folders under DIR");
  CLI::Option* copy =
      rename->add_flag("--copy", args.Copy, "Copy files into genre folders under DIR");
  move->excludes(copy);
  copy->excludes(move);
  rename->add_option("--dest", args.Dest, "Root of the genre folders (default: SOURCE)")
      ->type_name("DIR");
  rename
      ->add_option("--replace-char", args.ReplaceChar,
                   "Character put in place of \" * / : < > ? \\ | and control characters in new "
                   "names (default: a space; not \"/\")")
      ->type_name("C");
  rename->add_flag("--dry-run", args.DryRun,
                   "Only list what would be done: no folder is created, no file touched");
  rename->add_flag("--json", args.Json, "Print the result as JSON");
  rename->add_flag("--verbose", args.Verbose,
                   "With --dry-run: list each file without name tags too, not only their count");
  rename->add_flag("--quiet", request.Quiet,
                   "Show no progress line on the terminal (stderr); the output stays the same");
  CLI::Option* journalFile =
      rename->add_option("--journal", args.Journal, "Keep the job's journal in FILE (new)")
          ->type_name("FILE");
  rename->add_flag("--no-journal", args.NoJournal, "Keep no journal: the job cannot be undone")
      ->excludes(journalFile);
  rename->add_option("SOURCE", args.Source, "Folder whose files are handled")->required();
  return rename;
}

CLI::App* AddTags(CLI::App& app, TRequest& request) {
  CLI::App* tags = app.add_subcommand("tags", "Print the tag fields of audio files");
  tags->footer(kTagsHelp);
  tags->add_flag("--json", request.TagsJson, "Print the fields as JSON");
  tags->add_flag("--full", request.TagsFull,
                 "Print long binary values whole (hexadecimal) in text");
  tags->add_option("FILE", request.TagFiles, "Audio files")->required();
  return tags;
}

CLI::App* AddDuration(CLI::App& app, TRequest& request) {
  CLI::App* duration = app.add_subcommand("duration", "Print the play length of audio files");
  duration->footer(kDurationHelp);
  duration->add_option("FILE", request.DurationFiles, "Audio files")->required();
  return duration;
}

CLI::App* AddUndo(CLI::App& app, TRequest& request) {
  CLI::App* undo = app.add_subcommand("undo", "Take a rename job back from its journal");
  undo->footer(kUndoHelp);
  undo->add_flag("--dry-run", request.Undo.DryRun, "Only show what would be done");
  undo->add_flag("--json", request.Undo.Json, "Print the result as JSON");
  undo->add_option("JOURNAL", request.Undo.Journal, "Journal of the job (default: the newest)")
      ->type_name("FILE");
  return undo;
}

CLI::App* AddHistory(CLI::App& app, TRequest& request) {
  CLI::App* history = app.add_subcommand("history", "List the rename jobs that kept a journal");
  history->footer(kHistoryHelp);
  history->add_flag("--json", request.HistoryJson, "Print the list as JSON");
  return history;
}

// One line on stderr for a command line that does not parse.
int UsageError(const CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
  std::string message = OneLine(error.what());
  if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-')
    message = "unknown command \"" + std::string(argv[1]) +
              "\": use rename, tags, duration, undo or history";
  std::cerr << "dovrename-cli: " << message << " (see dovrename-cli --help)" << std::endl;
  return dov::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  dov::SetSystemCodePage(dov::CodePageForLocale(""));
  dov::RemoveTemporaryFileOnInterrupt();
  // A reader that goes away (| head) must not end a job halfway: a failed
  // write is reported instead.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"Renames, moves or copies audio files by their tags (Artist, Title, Genre).",
               "dovrename-cli"};
  app.footer(kExitStatus);
  app.set_version_flag("--version", std::string("dovrename-cli ") + dov::kVersion,
                       "Print the version and exit");
  app.require_subcommand(1);
  app.get_formatter()->column_width(28);

  TRequest request;
  const CLI::App* rename = AddRename(app, request);
  const CLI::App* tags = AddTags(app, request);
  AddDuration(app, request);
  const CLI::App* undo = AddUndo(app, request);
  const CLI::App* history = AddHistory(app, request);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return UsageError(app, e, argc, argv);
  }

  // The commands' output keeps why a write failed, to say so at the end.
  std::cout.flush();
  dov::cli::TFdOutputBuffer outBuffer(STDOUT_FILENO);
  std::ostream out(&outBuffer);
  if (rename->parsed()) {
    // The progress line is for a person watching, never for a log file.
    request.Rename.Progress = !request.Quiet && ::isatty(STDERR_FILENO) == 1;
    return dov::cli::RunRename(request.Rename, out, std::cerr);
  }
  if (tags->parsed())
    return dov::cli::RunTags(request.TagFiles, request.TagsJson, request.TagsFull, out, std::cerr);
  if (undo->parsed()) return dov::cli::RunUndo(request.Undo, out, std::cerr);
  if (history->parsed()) return dov::cli::RunHistory(request.HistoryJson, out, std::cerr);
  return dov::cli::RunDuration(request.DurationFiles, out, std::cerr);
}
