// The I/O floor of a tag scan: the walk of the folder tree and, per audio
// file, open, fstat, a 16 KiB read at the start and a 4 KiB read at the end,
// close. With --rename it then renames every file it read in its folder, like
// a rename job without the tags: the cost below which no tag reader can go.
//
//   dovbench-floor [--rename] FOLDER
//
// Prints "N files" (and "N renamed"); exit status 1 when something failed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kExtensions[] = {".mp3", ".wav", ".m4a",  ".mp4", ".flac",
                                            ".ogg", ".mp2", ".mp4a", ".wma", ".ape"};
constexpr size_t kHead = 16 * 1024;
constexpr size_t kTail = 4 * 1024;

bool IsAudio(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string ext(name.substr(dot));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  for (std::string_view e : kExtensions)
    if (ext == e) return true;
  return false;
}

struct Scan {
  std::array<unsigned char, kHead> head{};
  std::array<unsigned char, kTail> tail{};
  unsigned long files = 0;
  unsigned long failed = 0;
  unsigned checksum = 0;
  bool keep = false;
  std::vector<std::string> folders;  // with --rename: folder and name of each file
  std::vector<std::string> names;

  void ReadFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      ++failed;
      return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      ssize_t n = ::pread(fd, head.data(), head.size(), 0);
      off_t tailAt = st.st_size > static_cast<off_t>(kTail) ? st.st_size - kTail : 0;
      ssize_t m = ::pread(fd, tail.data(), tail.size(), tailAt);
      if (n > 0) checksum += head[0];
      if (m > 0) checksum += tail[static_cast<size_t>(m) - 1];
      ++files;
    } else {
      ++failed;
    }
    ::close(fd);
  }

  void Walk(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::string path = folder + entry->d_name;
      unsigned char type = entry->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type == DT_DIR) {
        Walk(path + "/");
      } else if (type == DT_REG && IsAudio(entry->d_name)) {
        ReadFile(path);
        if (keep) {
          folders.push_back(folder);
          names.emplace_back(entry->d_name);
        }
      }
    }
    ::closedir(dir);
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool rename = argc == 3 && std::strcmp(argv[1], "--rename") == 0;
  if (argc != 2 && !rename) {
    std::fprintf(stderr, "usage: dovbench-floor [--rename] FOLDER\n");
    return 2;
  }
  std::string root = argv[argc - 1];
  if (root.empty() || root.back() != '/') root.push_back('/');
  static Scan scan;
  scan.keep = rename;
  scan.Walk(root);
  std::printf("%lu files (checksum %u)\n", scan.files, scan.checksum);
  if (rename) {
    unsigned long renamed = 0;
    for (size_t i = 0; i < scan.names.size(); ++i) {
      std::string from = scan.folders[i] + scan.names[i];
      std::string to = scan.folders[i] + "r " + scan.names[i];
      // The same call as a rename that never replaces an existing file.
      if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1u) == 0)
        ++renamed;
      else
        ++scan.failed;
    }
    std::printf("%lu renamed\n", renamed);
  }
  return scan.failed == 0 ? 0 : 1;
}
