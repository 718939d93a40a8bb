// Shared by the fuzz targets: a scratch folder of this process for the
// readers that open files by name, and helpers that use what a reader
// delivered the way the program does, so that the values are converted too.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVTnt.h"

namespace dov::fuzz {

inline std::string_view AsBytes(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// A folder of this process under $TMPDIR (or /tmp), removed at exit.
inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dovfuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    static std::string removeAtExit;
    removeAtExit = templ;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    return templ;
  }();
  return folder;
}

// Writes bytes to path, replacing what was there.
inline void PutFile(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) {
      std::perror(path.c_str());
      std::abort();
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  ::close(fd);
}

// A marked name for a native path.
inline std::string Marked(const std::string& native) {
  return WideToMarked(NativeToWide(native));
}

// Converts every value as the engine and the command-line tool would.
inline size_t UseValues(const std::vector<std::string>& values) {
  size_t total = 0;
  for (const std::string& v : values) total += MarkedToWide(v).size();
  return total;
}

}  // namespace dov::fuzz
