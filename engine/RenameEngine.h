// The rename job that "Start" runs: a collection pass that lists every file
// whose path changes, then an operation pass that renames, moves or copies
// them. It knows nothing of the window: options come in as a record, progress
// goes out through IRenameView, and the disk is reached through IFileOps.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileOps.h"
#include "engine/RenameList.h"
#include "engine/SkippedList.h"

namespace dov {

class TReadAhead;

struct TRenameOptions {
  std::u16string SourceFolder;
  std::u16string DestFolder;
  bool Subfolders = false;
  bool Rename = false;
  bool Move = false;
  bool Copy = false;
  // Stands in for the characters not allowed in names; a '/' or a NUL, which
  // no name can hold, gives '_'.
  char16_t ReplaceChar = u' ';
};

// Where a job is. The engine tells its view these facts; each view words
// them in its own language.
enum class EJobStep {
  Listing,    // the collection pass has listed Count files
  Operating,  // the operation pass has carried Count operations out
  Finished,   // the job is over: Count of its Total operations succeeded
};

struct TJobStatus {
  EJobStep Step = EJobStep::Listing;
  int Count = 0;
  int Total = 0;  // Finished only
  bool operator==(const TJobStatus&) const = default;
};

class IRenameView {
 public:
  virtual ~IRenameView() = default;
  // Once per 100 listed files, once per 25 operations that succeed, and once
  // at the end: drawing more often would slow a large job down.
  virtual void ShowStatus(const TJobStatus& status) = 0;
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgress(int position) = 0;
  virtual void Repaint() = 0;
};

// A folder of the walk that could not be listed, or a file of it that could
// not be opened, with the error number.
struct TUnreadableFolder {
  std::u16string Path;
  int Error = 0;
};
using TUnreadableFile = TUnreadableFolder;

struct TJobResult {
  int Done = 0;
  int Total = 0;
};

class TRenameEngine {
 public:
  TRenameEngine(IFileOps& fileOps, IRenameView& view) : fileOps_(fileOps), view_(view) {}

  // The whole job of the Start button.
  TJobResult Run(const TRenameOptions& options);
  // The collection pass alone (a dry run, with operations that do nothing).
  int Collect(const TRenameOptions& options);

  const TRenameList& RenameList() const { return renameList_; }
  // The folders the last walk could not list: their files were not seen.
  const std::vector<TUnreadableFolder>& UnreadableFolders() const { return unreadableFolders_; }
  // The supported files the last walk could not open: they were passed over.
  const std::vector<TUnreadableFile>& UnreadableFiles() const { return unreadableFiles_; }
  // The supported files the last walk left out of the job, in walk order.
  const TSkippedList& SkippedFiles() const { return skippedFiles_; }

  // True when the lower-cased extension is supported; ext receives it (with
  // its dot) in any case.
  static bool IsSupportedAudioFile(std::u16string_view fileName, std::u16string& ext);
  // openError, when given, receives why an existing file could not be
  // opened (0 when it was, or when there is no file); facts, what the open
  // found of the file. opened, when given, is the file already opened.
  static void ReadNameTags(const std::u16string& path, std::u16string& artist,
                           std::u16string& title, std::u16string& genre, int* openError = nullptr,
                           TFileFacts* facts = nullptr,
                           std::unique_ptr<TDOVFileStream> opened = nullptr);
  static std::u16string ReplaceInvalidChars(std::u16string_view name, char16_t replacement);

 private:
  void CollectFiles(std::u16string folder, int& count);
  // plain: the entry is a regular file, no link to one.
  void ListFile(const std::u16string& folder, const std::u16string& name, bool plain, int& count);
  std::u16string GenreFolder(std::u16string genre) const;
  bool IsDestination(const std::u16string& folder) const;

  IFileOps& fileOps_;
  IRenameView& view_;
  TRenameOptions options_;
  TRenameList renameList_;
  std::vector<TUnreadableFolder> unreadableFolders_;
  std::vector<TUnreadableFile> unreadableFiles_;
  TSkippedList skippedFiles_;
  TReadAhead* readAhead_ = nullptr;  // during Collect only
};

// Unicode simple case folding of whole paths, the same on every machine.
bool SamePathIgnoringCase(std::u16string_view a, std::u16string_view b);
// The text in the one letter case that simple case folding gives.
std::u16string FoldCase(std::u16string_view text);
// A change of letter case alone, which a job never makes: the same folder,
// byte for byte (letter case makes different folders here), and names that
// differ only in case.
bool IsCaseOnlyChange(std::u16string_view oldPath, std::u16string_view newPath);

}  // namespace dov
