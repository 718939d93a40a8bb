#include "tests/TestSupport.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "common/DOVTnt.h"

namespace dov {

void PrintTo(const TJobStatus& status, std::ostream* out) {
  *out << test::Describe(status);
}

}  // namespace dov

namespace dov::test {

TMount TMount::Tmpfs(const std::string& at, const std::string& size) {
  TMount m(at);
  const std::string options = "size=" + size;
  if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
    m.mounted_ = true;
  else
    m.why_ = std::strerror(errno);
  return m;
}

TMount TMount::LoopImage(const std::string& image, const std::string& at, const std::string& type,
                         off_t size, const std::string& mkfsOptions,
                         const std::string& mountOptions) {
  TMount m(at);
  const std::string mkfs = "mkfs." + type;
  if (std::system(("command -v " + mkfs + " >/dev/null").c_str()) != 0) {
    m.why_ = mkfs + " is not installed";
    return m;
  }
  WriteFile(image, "");
  if (::truncate(image.c_str(), size) != 0 ||
      std::system((mkfs + " " + mkfsOptions + " '" + image + "' >/dev/null 2>&1").c_str()) != 0) {
    m.why_ = mkfs + " failed";
    return m;
  }
  const std::string options = mountOptions.empty() ? "loop" : "loop," + mountOptions;
  const std::string command =
      "mount -o " + options + " -t " + type + " '" + image + "' '" + at + "' 2>/dev/null";
  if (std::system(command.c_str()) == 0)
    m.mounted_ = true;
  else
    m.why_ = "mount -o loop failed (no loop device, or no " + type + " in the kernel)";
  return m;
}

TMount TMount::ReadOnlyBind(const std::string& from, const std::string& at) {
  TMount m(at);
  if (::mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    m.why_ = std::strerror(errno);
    return m;
  }
  m.mounted_ = true;
  if (::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    m.why_ = std::string("remount read-only: ") + std::strerror(errno);
    m.Unmount();
  }
  return m;
}

TMount::TMount(TMount&& other) noexcept
    : at_(std::move(other.at_)), why_(std::move(other.why_)), mounted_(other.mounted_) {
  other.mounted_ = false;
}

void TMount::Unmount() {
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  mounted_ = false;
}

std::string Describe(const TJobStatus& status) {
  switch (status.Step) {
    case EJobStep::Listing:
      return "listing " + std::to_string(status.Count);
    case EJobStep::Operating:
      return "operating " + std::to_string(status.Count);
    case EJobStep::Finished:
      break;
  }
  return "finished " + std::to_string(status.Count) + " of " + std::to_string(status.Total);
}

void TRecordingView::ShowStatus(const TJobStatus& status) {
  Statuses.push_back(Describe(status));
  Events.push_back("status " + Statuses.back());
}

void TRecordingView::SetProgressMax(int max) {
  ProgressMax = max;
  Events.push_back("max " + std::to_string(max));
}

void TRecordingView::SetProgress(int position) {
  Positions.push_back(position);
  Events.push_back("position " + std::to_string(position));
}

std::vector<std::string> Files(const std::filesystem::path& root) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string name = std::filesystem::relative(entry.path(), root).string();
    names.push_back(entry.is_directory() ? name + "/" : name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir(const std::string& base) {
  std::filesystem::path root =
      base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
  std::string templ = (root / "dovtest-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed in " + root.string());
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Folders made read-only by a test must become writable to be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string DataPath(std::string_view name) {
  return std::string(DOV_TEST_DATA_DIR) + "/" + std::string(name);
}

std::string U32LE(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string U16LE(uint16_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string U32BE(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(3 - i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string U16BE(uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

std::string U64LE(uint64_t v) {
  return U32LE(static_cast<uint32_t>(v)) + U32LE(static_cast<uint32_t>(v >> 32));
}

std::string U64BE(uint64_t v) {
  return U32BE(static_cast<uint32_t>(v >> 32)) + U32BE(static_cast<uint32_t>(v));
}

std::string Chunk(std::string_view id, std::string_view body, bool pad) {
  std::string chunk =
      std::string(id) + U32LE(static_cast<uint32_t>(body.size())) + std::string(body);
  if (pad && body.size() % 2 == 1) chunk += '\0';
  return chunk;
}

std::string Atom(std::string_view type, std::string_view body) {
  return U32BE(static_cast<uint32_t>(8 + body.size())) + std::string(type) + std::string(body);
}

std::string ApeItem(std::string_view key, std::string_view value, uint32_t flags) {
  return U32LE(static_cast<uint32_t>(value.size())) + U32LE(flags) + std::string(key) +
         std::string(1, '\0') + std::string(value);
}

std::string ApeTagFromItems(const std::vector<std::string>& items, uint32_t version) {
  std::string body;
  for (const std::string& item : items) body += item;
  std::string footer = "APETAGEX" + U32LE(version) +
                       U32LE(static_cast<uint32_t>(body.size() + 32)) +
                       U32LE(static_cast<uint32_t>(items.size())) + U32LE(0) + std::string(8, '\0');
  return body + footer;
}

std::string ApeTag(const std::vector<std::pair<std::string, std::string>>& textItems) {
  std::vector<std::string> items;
  for (const auto& [key, value] : textItems) items.push_back(ApeItem(key, value));
  return ApeTagFromItems(items);
}

std::string Id3v1(std::string_view title, std::string_view artist, uint8_t genre) {
  std::string tag = "TAG";
  auto field = [&](std::string_view v, size_t width) {
    std::string f(v.substr(0, width));
    f.resize(width, '\0');
    tag += f;
  };
  field(title, 30);
  field(artist, 30);
  field("", 30);
  field("", 4);
  field("", 30);
  tag.push_back(static_cast<char>(genre));
  return tag;
}

std::string Filler(size_t size, char byte) {
  return std::string(size, byte);
}

// HOME and XDG_STATE_HOME of the command-line runs, removed at exit.
static const TempDir& CliHome() {
  static TempDir home;
  return home;
}

CliResult RunCli(const std::vector<std::string>& args, const EnvVars& env) {
  TempDir scratch;
  const std::string home = CliHome().Path().string();
  std::string outPath = scratch / "out", errPath = scratch / "err";
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    std::string program = DOV_CLI_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    FILE* out = std::freopen(outPath.c_str(), "w", stdout);
    FILE* err = std::freopen(errPath.c_str(), "w", stderr);
    if (out == nullptr || err == nullptr) ::_exit(127);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  CliResult result;
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.Out = ReadFile(outPath);
  result.Err = ReadFile(errPath);
  return result;
}

std::map<std::string, std::string> CliTagFields(const std::string& file) {
  const CliResult r = RunCli({"tags", "--json", file});
  std::map<std::string, std::string> fields;
  if (r.Status != 0) {
    ADD_FAILURE() << "tags --json " << file << ": " << r.Err;
    return fields;
  }
  const nlohmann::json listed = nlohmann::json::parse(r.Out);
  for (const auto& field : listed.at(0).at("fields")) fields[field.at("name")] = field.at("value");
  return fields;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::u16string W(const std::string& native) {
  return NativeToWide(native);
}

}  // namespace dov::test
