// Streams the readers parse: a file opened by its marked-text name, or bytes
// held in memory (tests and fuzzing). Reading never trusts the caller: a read
// past the end is short, never out of bounds.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dov {

// Open modes: the low two bits select the access, bits 4-7 the sharing.
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

// Raised when a file cannot be opened: "Cannot open file "%s". %s".
class EFOpenError : public std::runtime_error {
 public:
  EFOpenError(const std::string& message, int error) : std::runtime_error(message), error_(error) {}
  int Error() const { return error_; }

 private:
  int error_;
};

// Raised by a read that must be whole but came up short, or by an I/O error.
class EReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SeekOrigin { Begin, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual int64_t Size() const = 0;
  int64_t Position() const { return position_; }
  // Any position at or after 0 may be set, also past the end (reads there are
  // empty); a negative one raises EReadError.
  int64_t Seek(int64_t offset, SeekOrigin origin = SeekOrigin::Begin);
  // Reads up to count bytes at the position and moves past them; fewer at the
  // end of the stream. An I/O error raises EReadError.
  size_t Read(void* buffer, size_t count);
  // As Read, but raises EReadError unless all count bytes were read.
  void ReadBuffer(void* buffer, size_t count);

 protected:
  virtual size_t ReadAt(int64_t offset, void* buffer, size_t count) = 0;

 private:
  int64_t position_ = 0;
};

// What the open of a file found of it: its device and type. Known only for
// a file that was opened.
struct TFileFacts {
  bool Known = false;
  uint64_t Device = 0;
  uint32_t Mode = 0;
};

// A file opened by its marked-text name through the native (byte) name.
// Small reads are served from two cached blocks, so the many small reads of
// the store, the dispatcher and one reader cost a few system calls per file.
class TDOVFileStream : public TStream {
 public:
  TDOVFileStream(std::string_view markedName, uint16_t mode);
  ~TDOVFileStream() override;
  // A scan makes a stream of two blocks for each file, often on one thread
  // and frees it on another: the memory of the last ones is kept for the
  // next, rather than grown anew from the heap and faulted in each time.
  static void* operator new(size_t size);
  static void operator delete(void* memory, size_t size);

  // The same open without raising: null, with the errno value in error, when
  // the file cannot be opened (EISDIR for a folder, ENXIO for anything else
  // that is not a regular file).
  static std::unique_ptr<TDOVFileStream> TryOpen(std::string_view markedName, uint16_t mode,
                                                 int& error);

  // Takes a descriptor opened for reading: the stream closes it. Null, with
  // the errno value in error, when it is no regular file (closed at once).
  static std::unique_ptr<TDOVFileStream> Adopt(int fd, int& error);

  // Bytes read ahead of the parse go straight into the stream's two blocks
  // (0: the head, 1: the tail): Preload gives where, Preloaded tells what
  // came. A block read to the end of the file may be shorter than its size.
  static constexpr size_t kBlockSize = 16 * 1024;
  unsigned char* Preload(int block) { return blocks_[static_cast<size_t>(block)].bytes.data(); }
  void Preloaded(int block, int64_t start, size_t length);

  int64_t Size() const override { return size_; }
  int Handle() const { return fd_; }
  const TFileFacts& Facts() const { return facts_; }

 protected:
  size_t ReadAt(int64_t offset, void* buffer, size_t count) override;

 private:
  struct Block {
    int64_t start = -1;
    size_t length = 0;
    uint64_t lastUse = 0;
    std::array<unsigned char, kBlockSize> bytes;
    // Whether the block holds the whole range.
    bool Holds(int64_t offset, size_t count) const;
  };
  struct TOpened {};  // the descriptor is open and checked
  TDOVFileStream(TOpened, int fd, const struct stat& st) : fd_(fd) { TakeFacts(st); }
  void TakeFacts(const struct stat& st);
  // Opens a regular file: its descriptor and size, or -1 with error (and the
  // reason for the message) set.
  static int OpenFile(std::string_view markedName, uint16_t mode, struct stat& st, int& error,
                      const char*& reason);
  // Whether the open descriptor is a regular file; otherwise error and reason.
  static bool IsRegularFile(int fd, struct stat& st, int& error, const char*& reason);
  size_t ReadDirect(int64_t offset, void* buffer, size_t count);
  // A read too large for a block, served from one where it begins in one.
  size_t ReadLarge(int64_t offset, void* buffer, size_t count);
  Block& LoadBlock(int64_t offset, size_t count);

  int fd_ = -1;
  int64_t size_ = 0;
  TFileFacts facts_;
  uint64_t useCounter_ = 0;
  std::array<Block, 2> blocks_;
};

// Runs parse over the stream (seeked to 0, left open) or, without one, over the
// named file opened for shared reading and closed afterwards. Nothing raises:
// the result is false when the file could not be opened or parse failed, and
// whatever parse set before the failure stays.
template <class TParse>
bool ParseStreamOrFile(std::string_view fileName, TStream* stream, TParse&& parse) {
  try {
    if (stream != nullptr) {
      stream->Seek(0);
      parse(*stream);
    } else {
      TDOVFileStream file(fileName, fmShareDenyNone);
      parse(file);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Bytes held in memory, read like a file.
class TMemoryStream : public TStream {
 public:
  explicit TMemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  const std::string& Bytes() const { return bytes_; }

 protected:
  size_t ReadAt(int64_t offset, void* buffer, size_t count) override;

 private:
  std::string bytes_;
};

}  // namespace dov
