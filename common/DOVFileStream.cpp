#include "common/DOVFileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/DOVTnt.h"

namespace dov {

int64_t TStream::Seek(int64_t offset, SeekOrigin origin) {
  int64_t base = origin == SeekOrigin::Begin     ? 0
                 : origin == SeekOrigin::Current ? position_
                                                 : Size();
  if (offset < 0 ? base < -offset : false) throw EReadError("Seek before the start of the stream");
  if (offset > 0 && base > INT64_MAX - offset) throw EReadError("Seek past the largest position");
  position_ = base + offset;
  return position_;
}

size_t TStream::Read(void* buffer, size_t count) {
  if (count == 0 || position_ >= Size()) return 0;
  size_t available = static_cast<size_t>(Size() - position_);
  size_t n = ReadAt(position_, buffer, count < available ? count : available);
  position_ += static_cast<int64_t>(n);
  return n;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (Read(buffer, count) != count) throw EReadError("Stream read error");
}

namespace {

std::string OpenErrorText(std::string_view markedName, const char* reason) {
  std::string path;
  EncodeUTF8(MarkedToWide(markedName), path);
  return "Cannot open file \"" + path + "\". " + reason;
}

int AccessFlags(uint16_t mode) {
  switch (mode & 3) {
    case 1:
      return O_WRONLY;
    case 2:
      return O_RDWR;
    default:
      return O_RDONLY;
  }
}

// The memory of freed streams, for the next ones.
class TStreamMemory {
 public:
  void* Take(size_t size) {
    if (size == sizeof(TDOVFileStream)) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!kept_.empty()) {
        void* memory = kept_.back();
        kept_.pop_back();
        return memory;
      }
    }
    return ::operator new(size);
  }
  void Give(void* memory, size_t size) {
    if (size == sizeof(TDOVFileStream)) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kept_.size() < kMostKept) {
        kept_.push_back(memory);
        return;
      }
    }
    ::operator delete(memory);
  }

 private:
  // Enough to even out a scan's making and freeing them on other threads.
  static constexpr size_t kMostKept = 64;
  std::mutex mutex_;
  std::vector<void*> kept_;
};

// Never destroyed: a stream may be freed as the program ends.
TStreamMemory& StreamMemory() {
  static auto* memory = new TStreamMemory;
  return *memory;
}

}  // namespace

void* TDOVFileStream::operator new(size_t size) {
  return StreamMemory().Take(size);
}

void TDOVFileStream::operator delete(void* memory, size_t size) {
  StreamMemory().Give(memory, size);
}

int TDOVFileStream::OpenFile(std::string_view markedName, uint16_t mode, struct stat& st,
                             int& error, const char*& reason) {
  std::string native = MarkedToNative(markedName);
  // O_NONBLOCK keeps a FIFO from blocking the open; such files are refused
  // below. On the regular files that stay open it changes nothing, so it is
  // left set.
  int fd = ::open(native.c_str(), AccessFlags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    reason = std::strerror(error);
    return -1;
  }
  if (IsRegularFile(fd, st, error, reason)) return fd;
  ::close(fd);
  return -1;
}

bool TDOVFileStream::IsRegularFile(int fd, struct stat& st, int& error, const char*& reason) {
  if (::fstat(fd, &st) != 0) {
    error = errno;
    reason = std::strerror(error);
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
    reason = std::strerror(error);
  } else if (!S_ISREG(st.st_mode)) {
    error = ENXIO;
    reason = "Not a regular file";
  } else {
    return true;
  }
  return false;
}

std::unique_ptr<TDOVFileStream> TDOVFileStream::Adopt(int fd, int& error) {
  struct stat st {};
  const char* reason = nullptr;
  if (IsRegularFile(fd, st, error, reason))
    return std::unique_ptr<TDOVFileStream>(new TDOVFileStream(TOpened{}, fd, st));
  ::close(fd);
  return nullptr;
}

void TDOVFileStream::Preloaded(int block, int64_t start, size_t length) {
  Block& loaded = blocks_[static_cast<size_t>(block)];
  loaded.start = start;
  loaded.length = std::min(length, kBlockSize);
  // The head counts as read before the tail, in whatever order they came,
  // as the stream itself reads them.
  loaded.lastUse = static_cast<uint64_t>(block) + 1;
  useCounter_ = std::max<uint64_t>(useCounter_, 2);
}

TDOVFileStream::TDOVFileStream(std::string_view markedName, uint16_t mode) {
  int error = 0;
  const char* reason = nullptr;
  struct stat st {};
  fd_ = OpenFile(markedName, mode, st, error, reason);
  if (fd_ < 0) throw EFOpenError(OpenErrorText(markedName, reason), error);
  TakeFacts(st);
}

void TDOVFileStream::TakeFacts(const struct stat& st) {
  size_ = st.st_size;
  facts_ = {true, static_cast<uint64_t>(st.st_dev), static_cast<uint32_t>(st.st_mode)};
}

std::unique_ptr<TDOVFileStream> TDOVFileStream::TryOpen(std::string_view markedName, uint16_t mode,
                                                        int& error) {
  struct stat st {};
  const char* reason = nullptr;
  int fd = OpenFile(markedName, mode, st, error, reason);
  if (fd < 0) return nullptr;
  return std::unique_ptr<TDOVFileStream>(new TDOVFileStream(TOpened{}, fd, st));
}

TDOVFileStream::~TDOVFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

size_t TDOVFileStream::ReadDirect(int64_t offset, void* buffer, size_t count) {
  // Nothing is read past the size taken at the open (reads are bounded by it
  // anyway), so a read up to the end needs no second call to find the end.
  if (offset >= size_) return 0;
  if (static_cast<uint64_t>(size_ - offset) < count) count = static_cast<size_t>(size_ - offset);
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < count) {
    ssize_t n = ::pread(fd_, out + done, count - done, offset + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EReadError(std::string("Read error: ") + std::strerror(errno));
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

TDOVFileStream::Block& TDOVFileStream::LoadBlock(int64_t offset, size_t count) {
  Block& victim = blocks_[0].lastUse <= blocks_[1].lastUse ? blocks_[0] : blocks_[1];
  // Start at a 4 KiB boundary when the read still fits in the block from there.
  int64_t start = offset - offset % 4096;
  if (offset + static_cast<int64_t>(count) > start + static_cast<int64_t>(kBlockSize))
    start = offset;
  victim.start = -1;  // stays invalid if the read below raises
  victim.length = ReadDirect(start, victim.bytes.data(), kBlockSize);
  victim.start = start;
  return victim;
}

bool TDOVFileStream::Block::Holds(int64_t offset, size_t count) const {
  return start >= 0 && offset >= start &&
         offset + static_cast<int64_t>(count) <= start + static_cast<int64_t>(length);
}

size_t TDOVFileStream::ReadLarge(int64_t offset, void* buffer, size_t count) {
  // A block that holds the start of the range serves that part: a chunk's
  // header was often just read through it.
  size_t served = 0;
  for (const Block& b : blocks_) {
    if (!b.Holds(offset, 1)) continue;
    const auto from = static_cast<size_t>(offset - b.start);
    served = std::min(count, b.length - from);
    std::memcpy(buffer, b.bytes.data() + from, served);
    // A block shorter than its size ends at the end of the file.
    if (served == count || b.length < kBlockSize) return served;
    break;
  }
  return served + ReadDirect(offset + static_cast<int64_t>(served),
                             static_cast<unsigned char*>(buffer) + served, count - served);
}

size_t TDOVFileStream::ReadAt(int64_t offset, void* buffer, size_t count) {
  if (count > kBlockSize / 2) return ReadLarge(offset, buffer, count);
  Block* hit = nullptr;
  for (Block& b : blocks_)
    if (b.Holds(offset, count)) {
      hit = &b;
      break;
    }
  if (hit == nullptr && blocks_[0].start < 0 && blocks_[1].start < 0 && offset > 0) {
    // The first read of a file: its head is read first, in the order a disk
    // reads well, as every reader but the APE store's wants it; a small file
    // is then read whole at once. Only a help: an error there is the error of
    // a later read of the head, if any.
    try {
      Block& head = LoadBlock(0, 1);
      head.lastUse = ++useCounter_;
      if (head.Holds(offset, count)) hit = &head;
    } catch (const EReadError&) {
    }
  }
  if (hit == nullptr) hit = &LoadBlock(offset, count);
  hit->lastUse = ++useCounter_;
  if (offset < hit->start) return 0;
  size_t from = static_cast<size_t>(offset - hit->start);
  size_t n = from >= hit->length ? 0 : std::min(count, hit->length - from);
  std::memcpy(buffer, hit->bytes.data() + from, n);
  return n;
}

size_t TMemoryStream::ReadAt(int64_t offset, void* buffer, size_t count) {
  if (offset < 0 || offset >= Size()) return 0;
  size_t from = static_cast<size_t>(offset);
  size_t n = std::min(count, bytes_.size() - from);
  std::memcpy(buffer, bytes_.data() + from, n);
  return n;
}

}  // namespace dov
