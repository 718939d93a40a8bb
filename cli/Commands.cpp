#include "cli/Commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "cli/UndoCommands.h"
#include "common/DOVTnt.h"
#include "engine/FileOps.h"
#include "engine/RenameEngine.h"
#include "info/AudioFiles.h"
#include "tags/APETag.h"

namespace dov::cli {
namespace {

// Keys stay in the order written: {"old","new","ok"}, {"entries","done","total"}.
using json = nlohmann::ordered_json;

constexpr const char* kProgram = "dovrename-cli: ";

// Paths and values are printed as UTF-8; a byte of a name that is not UTF-8
// goes out as that same byte, so plain output names the real file.
std::string Utf8(std::u16string_view wide) {
  return WideToNative(wide);
}

// JSON must stay valid whatever the bytes: invalid UTF-8 becomes U+FFFD.
void PrintJson(std::ostream& out, const json& value) {
  out << value.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
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
  explicit TPrintingView(std::ostream* out) : out_(out) {}
  void ShowStatus(const std::string& text) override {
    if (out_ != nullptr) *out_ << text << std::endl;
  }
  void SetProgressMax(int) override {}
  void SetProgress(int) override {}
  void Repaint() override {}

 private:
  std::ostream* out_;
};

// One error line for each folder the walk could not list; true when there was one.
bool ReportUnreadableFolders(const TRenameEngine& engine, std::ostream& err) {
  for (const TUnreadableFolder& folder : engine.UnreadableFolders())
    err << kProgram << "cannot read folder \"" << Utf8(folder.Path)
        << "\": " << std::strerror(folder.Error) << std::endl;
  return !engine.UnreadableFolders().empty();
}

json EntriesJson(const std::vector<TRenameEntry>& list) {
  json entries = json::array();
  for (const TRenameEntry& entry : list) {
    json ok = entry.Ok ? json(*entry.Ok) : json(nullptr);
    entries.push_back({{"old", Utf8(entry.OldPath)}, {"new", Utf8(entry.NewPath)}, {"ok", ok}});
  }
  return entries;
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

// Same rule as the store's: such a value holds bytes, not text.
bool IsRawItem(const TAPEItem& item) {
  return item.FlagsLow != 0 || (item.FlagsHigh != 0 && item.FlagsHigh != 0x80) ||
         (!item.Name.empty() && (item.Name[0] == 'X' || item.Name[0] == 'x'));
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

// One field a line: control bytes (a cleaned line break is 0x01 0x02) are
// shown as \xNN.
std::string Printable(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string result;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      result += "\\x";
      result.push_back(kDigits[b >> 4]);
      result.push_back(kDigits[b & 0x0F]);
    } else {
      result.push_back(c);
    }
  }
  return result;
}

}  // namespace

int RunRename(const TRenameArgs& rawArgs, std::ostream& out, std::ostream& err) {
  TRenameArgs args = rawArgs;
  args.Source = WithoutTrailingSlashes(args.Source);
  args.Dest = WithoutTrailingSlashes(args.Dest);
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
      TDryRunFileOps fileOps;
      TPrintingView quiet(nullptr);
      TRenameEngine engine(fileOps, quiet);
      int total = engine.Collect(options);
      if (args.Json) {
        PrintJson(out,
                  {{"entries", EntriesJson(engine.RenameList())}, {"done", 0}, {"total", total}});
      } else {
        for (const TRenameEntry& entry : engine.RenameList())
          out << Utf8(entry.OldPath) << " -> " << Utf8(entry.NewPath) << '\n';
        out << "Dry run: " << total << " files would be moved and/or renamed; nothing was changed."
            << std::endl;
      }
      return ReportUnreadableFolders(engine, err) ? kExitFailed : kExitOk;
    }

    TLinuxFileOps fileOps;
    TRenameJournal journal(args, options, fileOps);
    TPrintingView view(args.Json ? nullptr : &out);
    TRenameEngine engine(journal.FileOps(), view);
    TJobResult result = engine.Run(options);
    const bool journaled = journal.Finish(result, err);
    if (args.Json)
      PrintJson(out, {{"entries", EntriesJson(engine.RenameList())},
                      {"done", result.Done},
                      {"total", result.Total}});
    out.flush();
    const bool unreadable = ReportUnreadableFolders(engine, err);
    return result.Done == result.Total && !unreadable && journaled ? kExitOk : kExitFailed;
  } catch (const EUsageError& e) {
    err << kProgram << e.what() << std::endl;
    return kExitUsage;
  }
}

int RunTags(const std::vector<std::string>& files, bool asJson, std::ostream& out,
            std::ostream& err) {
  int status = kExitOk;
  json list = json::array();
  for (const std::string& file : files) {
    if (!CheckReadableFile(file, err)) {
      status = kExitFailed;
      continue;
    }
    // Exactly what the rename job reads: the APE tag, and the container's tags
    // when that names no artist, title or genre.
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
      json fields = json::array();
      for (const TAPEItem& item : items)
        fields.push_back({{"name", item.Name}, {"value", ValueText(item)}});
      list.push_back({{"file", file}, {"apeTag", tags.HasAPETag()}, {"fields", fields}});
    } else {
      out << file << ": " << (tags.HasAPETag() ? "APEv2 tag" : "no APEv2 tag") << ", "
          << items.size() << (items.size() == 1 ? " field" : " fields") << '\n';
      for (const TAPEItem& item : items)
        out << "  " << Printable(item.Name) << ": " << Printable(ValueText(item)) << '\n';
    }
  }
  if (asJson) PrintJson(out, list);
  out.flush();
  return status;
}

int RunDuration(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
  int status = kExitOk;
  for (const std::string& file : files) {
    if (!CheckReadableFile(file, err)) {
      status = kExitFailed;
      continue;
    }
    int32_t ms = GetFileDuration(WideToMarked(NativeToWide(file)), nullptr);
    out << ms << '\t' << file << std::endl;
  }
  return status;
}

}  // namespace dov::cli
