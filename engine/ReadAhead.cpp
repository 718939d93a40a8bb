#include "engine/ReadAhead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include "common/ByteReader.h"

namespace dov {
namespace {

// The stream's first block at the head; at the tail, the footer block the tag
// store reads (from a 4 KiB boundary to the end) with room to spare.
constexpr size_t kHeadBytes = 16 * 1024;
constexpr size_t kTailBytes = 8 * 1024;

// The end of an ID3v2 tag that begins the file (its ten-byte header read),
// or 0 when there is none or its size bytes are not sync-safe (a hint only: the
// readers decide); a footer adds ten bytes.
off_t ID3v2End(const unsigned char* header) {
  if (header[0] != 'I' || header[1] != 'D' || header[2] != '3') return 0;
  if (((header[6] | header[7] | header[8] | header[9]) & 0x80) != 0) return 0;
  return LoadID3v2TagSize(header + 6) + ((header[5] & 0x10) != 0 ? 10 : 0);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool TReadAhead::Enabled() {
  const char* value = std::getenv("DOV_READ_AHEAD");
  return value == nullptr || std::strcmp(value, "0") != 0;
}

unsigned TReadAhead::ReaderCount() {
  // A disk and a network share serve several reads at once, more than there
  // are cores; the threads mostly wait.
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return std::clamp(8 * cores, 16u, 32u);
}

TReadAhead::TReadAhead(std::string root, bool subfolders, const std::string& skip, TWanted wanted)
    : subfolders_(subfolders), wanted_(std::move(wanted)) {
  if (!Enabled()) return;
  struct stat st {};
  if (!skip.empty() && ::stat(skip.c_str(), &st) == 0) {
    hasSkip_ = true;
    skipDevice_ = st.st_dev;
    skipInode_ = st.st_ino;
  }
  maxReaders_ = ReaderCount();
  if (root.empty() || root.back() != '/') root.push_back('/');
  try {
    walker_ = std::thread([this, root] {
      try {
        Walk(root);
      } catch (const std::exception&) {
        // Only a help: the walk ends, the engine goes on alone.
      }
      std::lock_guard<std::mutex> lock(mutex_);
      walkEnded_ = true;
      readerWake_.notify_all();
    });
  } catch (const std::system_error&) {
    // No thread to be had: no read-ahead.
  }
}

TReadAhead::~TReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  walkerWake_.notify_all();
  readerWake_.notify_all();
  if (walker_.joinable()) walker_.join();
  // The walker started the readers; none starts after it ended.
  for (std::thread& reader : readers_) reader.join();
}

void TReadAhead::Passed() {
  if (!walker_.joinable()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ++passed_;
  if (listed_ >= passed_ + kWindow - 1) walkerWake_.notify_one();
}

bool TReadAhead::Offer(std::string path) {
  std::unique_lock<std::mutex> lock(mutex_);
  walkerWake_.wait(lock, [this] { return stop_ || listed_ < passed_ + kWindow; });
  if (stop_) return false;
  ++listed_;
  // On a warm cache reading ahead only costs time: while the files read were
  // all in the cache already, only every sixteenth is tried, to see whether
  // that still holds.
  if (cachedInARow_ >= kCachedToPause && listed_ % 16 != 0) return true;
  queue_.push_back(std::move(path));
  // One more reader while more is queued than there are readers: few on a
  // warm cache, where the reads keep up, up to the most on a cold one.
  if (readers_.size() < maxReaders_ && queue_.size() > readers_.size()) {
    try {
      readers_.emplace_back([this] { ReadLoop(); });
    } catch (const std::system_error&) {
      maxReaders_ = static_cast<unsigned>(readers_.size());  // no more threads to be had
    }
  }
  readerWake_.notify_one();
  return true;
}

void TReadAhead::Walk(const std::string& folder) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  while (dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
    std::string path = folder + entry->d_name;
    unsigned char type = entry->d_type;
    struct stat st {};
    if (type == DT_UNKNOWN && ::lstat(path.c_str(), &st) == 0)
      type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    if (type == DT_DIR) {
      if (!subfolders_) continue;
      if (hasSkip_ && ::stat(path.c_str(), &st) == 0 && st.st_dev == skipDevice_ &&
          st.st_ino == skipInode_)
        continue;
      Walk(path + "/");
    } else if ((type == DT_REG || type == DT_LNK) && wanted_(entry->d_name)) {
      if (!Offer(std::move(path))) return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
  }
}

void TReadAhead::ReadLoop() {
  for (;;) {
    std::string path;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      readerWake_.wait(lock, [this] { return stop_ || walkEnded_ || !queue_.empty(); });
      if (stop_ || queue_.empty()) return;
      path = std::move(queue_.front());
      queue_.pop_front();
    }
    if (ReadHeadAndTail(path)) {
      ++cachedInARow_;
    } else {
      cachedInARow_ = 0;
    }
  }
}

bool TReadAhead::ReadHeadAndTail(const std::string& path) {
  // Non-blocking, so that a FIFO among the files cannot hold a reader; only a
  // regular file is read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool cached = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    thread_local std::array<unsigned char, kHeadBytes> buffer;
    // First from the page cache alone: whether the head was there tells a
    // warm scan from a cold one.
    const size_t want = static_cast<size_t>(std::min<off_t>(st.st_size, kHeadBytes));
    iovec part{buffer.data(), want};
    ssize_t head = ::preadv2(fd, &part, 1, 0, RWF_NOWAIT);
    cached = head == static_cast<ssize_t>(want);
    if (!cached) head = ::pread(fd, buffer.data(), kHeadBytes, 0);
    // Behind an ID3v2 tag larger than the head (a cover) the audio's first
    // frame is read too, for its play length.
    const off_t audio = head >= 10 ? ID3v2End(buffer.data()) : 0;
    ssize_t ignored = 0;
    if (audio > static_cast<off_t>(kHeadBytes) && audio < st.st_size)
      ignored = ::pread(fd, buffer.data(), kHeadBytes, audio - audio % 4096);
    if (st.st_size > static_cast<off_t>(kHeadBytes)) {
      const off_t tail = std::max<off_t>(kHeadBytes, st.st_size - kTailBytes);
      ignored = ::pread(fd, buffer.data(), kTailBytes, tail);
    }
    (void)ignored;  // only a help: a failed read is the engine's to meet
  }
  ::close(fd);
  return cached;
}

}  // namespace dov
