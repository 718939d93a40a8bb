// The three commands of dovrename-cli. Each writes its results to out and its
// error lines to err, and returns the exit status.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dov::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // some operation or some file failed
inline constexpr int kExitUsage = 2;

// A command line that parsed but makes no sense (a missing source folder, a
// replacement that is not one character).
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Arguments as the shell passed them: native bytes, any encoding.
struct TRenameArgs {
  std::string Source;
  std::string Dest;  // empty: the source folder
  std::string ReplaceChar = " ";
  bool Subfolders = false;
  bool Rename = false;
  bool Move = false;
  bool Copy = false;
  bool DryRun = false;
  bool Json = false;
  bool Verbose = false;   // a dry run lists the files without name tags too
  bool Progress = false;  // a progress line on err, a terminal
  std::string Journal;    // empty: a new file in the journal folder
  bool NoJournal = false;
};

int RunRename(const TRenameArgs& args, std::ostream& out, std::ostream& err);
// full: raw values whole in text, not as "<binary, N bytes, KIND>" when long.
int RunTags(const std::vector<std::string>& files, bool asJson, bool full, std::ostream& out,
            std::ostream& err);
int RunDuration(const std::vector<std::string>& files, std::ostream& out, std::ostream& err);

}  // namespace dov::cli
