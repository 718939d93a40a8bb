// Helpers shared by the tests: temporary folders, files, byte builders and a
// view that records what a rename job tells it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/RenameEngine.h"

namespace dov {

// gtest prints a job status in failure messages this way.
void PrintTo(const TJobStatus& status, std::ostream* out);

}  // namespace dov

namespace dov::test {

// A fresh folder under the system's temporary folder, removed with its
// contents afterwards.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);
// Path of a file under tests/data.
std::string DataPath(std::string_view name);
// Whether anything stands at the path, a dangling link included.
bool Exists(const std::string& path);
// A native path as the engine's wide text.
std::u16string W(const std::string& native);
// Every file and folder under root, relative to it, sorted; folders end in "/".
std::vector<std::string> Files(const std::filesystem::path& root);

std::string U32LE(uint32_t v);
std::string U16LE(uint16_t v);
std::string U32BE(uint32_t v);
std::string U16BE(uint16_t v);
std::string U64LE(uint64_t v);
std::string U64BE(uint64_t v);

// A RIFF chunk as stored: id, little-endian size, body, and a pad byte after
// an odd-sized body unless told otherwise.
std::string Chunk(std::string_view id, std::string_view body, bool pad = true);
// An MP4 atom with a 32-bit size.
std::string Atom(std::string_view type, std::string_view body);

// One APEv2 item: size, flags, key, zero byte, value.
std::string ApeItem(std::string_view key, std::string_view value, uint32_t flags = 0);
// An APEv2 tag (items and footer, no header) holding the given items.
std::string ApeTagFromItems(const std::vector<std::string>& items, uint32_t version = 2000);
std::string ApeTag(const std::vector<std::pair<std::string, std::string>>& textItems);
// A 128-byte ID3v1 tag.
std::string Id3v1(std::string_view title, std::string_view artist, uint8_t genre = 255);
// An audio-looking file body of the given size (no tags).
std::string Filler(size_t size, char byte = '\0');

// A mount for the length of a test: a tmpfs (another file system), a file
// system made in a sparse image file and mounted through a loop device, or a
// read-only bind mount of a folder. Valid() is false where mounting is not
// allowed or the tools are missing; Why() says what the system answered.
class TMount {
 public:
  static TMount Tmpfs(const std::string& at, const std::string& size = "16m");
  // mkfsOptions are given to mkfs.TYPE; mountOptions join "loop".
  static TMount LoopImage(const std::string& image, const std::string& at, const std::string& type,
                          off_t size, const std::string& mkfsOptions = "-q -f",
                          const std::string& mountOptions = "");
  static TMount ReadOnlyBind(const std::string& from, const std::string& at);
  TMount(TMount&& other) noexcept;
  TMount& operator=(TMount&&) = delete;
  ~TMount() { Unmount(); }
  bool Valid() const { return mounted_; }
  const std::string& Why() const { return why_; }

 private:
  explicit TMount(std::string at) : at_(std::move(at)) {}
  void Unmount();
  std::string at_, why_;
  bool mounted_ = false;
};

// A job status in a few words: "listing 100", "operating 25",
// "finished 12 of 15".
std::string Describe(const TJobStatus& status);

// Records what a rename job tells its view, in order.
class TRecordingView : public IRenameView {
 public:
  void ShowStatus(const TJobStatus& status) override;
  void SetProgressMax(int max) override;
  void SetProgress(int position) override;
  void Repaint() override { ++Repaints; }

  std::vector<std::string> Statuses;  // as Describe words them
  std::vector<std::string> Events;    // "status listing 0", "max 3", "position 1"
  std::vector<int> Positions;
  int ProgressMax = -1;
  int Repaints = 0;
};

// Runs the command-line tool with arguments; returns exit status, stdout, stderr.
struct CliResult {
  int Status = -1;  // -1 when a signal ended it
  int Signal = 0;
  std::string Out;
  std::string Err;
};
// Every run keeps its journals (HOME and XDG_STATE_HOME) in a temporary folder
// of the test program, never in the real home; env sets more variables, or
// these to others.
using EnvVars = std::vector<std::pair<std::string, std::string>>;
CliResult RunCli(const std::vector<std::string>& args, const EnvVars& env = {});
// The fields `dovrename-cli tags --json` reads from one file, by name; empty
// when the command fails.
std::map<std::string, std::string> CliTagFields(const std::string& file);

}  // namespace dov::test
