// The I/O floor of a tag scan: the walk of the folder tree and, per audio
// file, open, fstat, a 16 KiB read at the start and a 4 KiB read at the end,
// close. With --rename it then renames every file it read in its folder, like
// a rename job without the tags: the cost below which no tag reader can go.
// With --threads N the walk lists the files first and N threads do the reads,
// so that N reads are in flight: the floor of a scan that reads ahead.
//
//   dovbench-floor [--rename | --threads N] FOLDER
//
// Prints "N files" (and "N renamed"); exit status 1 when something failed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
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

// The reads of one file; false when it could not be read.
struct Reader {
  std::array<unsigned char, kHead> head{};
  std::array<unsigned char, kTail> tail{};
  unsigned checksum = 0;

  bool ReadFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
      ssize_t n = ::pread(fd, head.data(), head.size(), 0);
      off_t tailAt = st.st_size > static_cast<off_t>(kTail) ? st.st_size - kTail : 0;
      ssize_t m = ::pread(fd, tail.data(), tail.size(), tailAt);
      if (n > 0) checksum += head[0];
      if (m > 0) checksum += tail[static_cast<size_t>(m) - 1];
    }
    ::close(fd);
    return ok;
  }
};

struct Scan {
  Reader reader;
  unsigned long files = 0;
  unsigned long failed = 0;
  bool keep = false;
  bool listOnly = false;             // with --threads: the reads come later
  std::vector<std::string> folders;  // with --rename: folder and name of each file
  std::vector<std::string> names;
  std::vector<std::string> paths;  // with --threads: every file, in walk order

  void ReadFile(const std::string& path) {
    if (listOnly) {
      paths.push_back(path);
    } else if (reader.ReadFile(path)) {
      ++files;
    } else {
      ++failed;
    }
  }

  // The listed files read by the given number of threads, each taking the
  // next unread one.
  void ReadListed(unsigned threads) {
    std::atomic<size_t> next{0};
    std::atomic<unsigned long> read{0}, bad{0};
    std::atomic<unsigned> sum{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        static thread_local Reader local;
        for (size_t i; (i = next.fetch_add(1)) < paths.size();)
          ++(local.ReadFile(paths[i]) ? read : bad);
        sum += local.checksum;
      });
    }
    for (std::thread& thread : pool) thread.join();
    files = read;
    failed += bad;
    reader.checksum = sum;
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
  unsigned threads = 0;
  if (argc == 4 && std::strcmp(argv[1], "--threads") == 0)
    threads = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  if ((argc != 2 && !rename && threads == 0) || threads > 1024) {
    std::fprintf(stderr, "usage: dovbench-floor [--rename | --threads N] FOLDER\n");
    return 2;
  }
  std::string root = argv[argc - 1];
  if (root.empty() || root.back() != '/') root.push_back('/');
  static Scan scan;
  scan.keep = rename;
  scan.listOnly = threads > 0;
  scan.Walk(root);
  if (threads > 0) scan.ReadListed(threads);
  std::printf("%lu files (checksum %u)\n", scan.files, scan.reader.checksum);
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
