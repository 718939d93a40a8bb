// A minimal io_uring: one thread queues operations and reaps their outcomes,
// and many operations are handed to the kernel with one system call. Made
// through the system calls themselves, so the program needs no library for
// it; where the kernel has no io_uring, or refuses it (a container's filter,
// a sysctl), Valid() is false and the caller does without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

struct io_uring_sqe;
struct io_uring_cqe;

namespace dov {

class TIoRing {
 public:
  // A ring with room for entries operations queued at once.
  explicit TIoRing(unsigned entries);
  ~TIoRing();
  TIoRing(const TIoRing&) = delete;
  TIoRing& operator=(const TIoRing&) = delete;

  bool Valid() const { return fd_ >= 0; }

  // Each queues one operation and returns false when the ring is full. The
  // memory named must stay valid until the operation's outcome is reaped.
  bool OpenAt(const char* path, int flags, uint64_t tag);
  bool ReadAt(int fd, void* buffer, unsigned count, uint64_t offset, uint64_t tag);

  // Operations queued and not yet handed to the kernel.
  unsigned Queued() const { return queued_; }
  // Hands the queued operations to the kernel and, when wait, blocks until
  // at least one outcome is there. False when the kernel refused.
  bool Submit(bool wait);
  // Calls reap(tag, result) for every outcome there now; the count.
  size_t Reap(const std::function<void(uint64_t tag, int result)>& reap);

 private:
  // Free places to queue operations in.
  unsigned Room() const;
  io_uring_sqe* NextEntry();
  void Release();

  int fd_ = -1;
  void* sqMap_ = nullptr;
  size_t sqMapSize_ = 0;
  void* cqMap_ = nullptr;  // the same as sqMap_ where the kernel maps both at once
  size_t cqMapSize_ = 0;
  io_uring_sqe* entries_ = nullptr;
  size_t entriesSize_ = 0;
  unsigned* sqHead_ = nullptr;
  unsigned* sqTail_ = nullptr;
  unsigned* sqArray_ = nullptr;
  unsigned sqMask_ = 0;
  unsigned sqCount_ = 0;
  unsigned* cqHead_ = nullptr;
  unsigned* cqTail_ = nullptr;
  io_uring_cqe* cqes_ = nullptr;
  unsigned cqMask_ = 0;
  unsigned queued_ = 0;  // queued here, not yet handed to the kernel
};

}  // namespace dov
