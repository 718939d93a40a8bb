#include "engine/IoRing.h"

#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace dov {
namespace {

// The kernel moves the other end of each ring.
unsigned LoadAcquire(unsigned* at) {
  return std::atomic_ref<unsigned>(*at).load(std::memory_order_acquire);
}

void StoreRelease(unsigned* at, unsigned value) {
  std::atomic_ref<unsigned>(*at).store(value, std::memory_order_release);
}

int Setup(unsigned entries, io_uring_params& params) {
  // Completions are handled when this thread next enters the kernel rather
  // than by interrupting it; older kernels know neither flag.
  for (unsigned flags : {IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER, 0u}) {
    params = {};
    params.flags = flags;
    const long fd = ::syscall(__NR_io_uring_setup, entries, &params);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EINVAL) return -1;
  }
  return -1;
}

void* Map(int fd, size_t size, off_t what) {
  void* at = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, what);
  return at == MAP_FAILED ? nullptr : at;
}

template <class T>
T* At(void* map, uint32_t offset) {
  return reinterpret_cast<T*>(static_cast<char*>(map) + offset);
}

}  // namespace

TIoRing::TIoRing(unsigned entries) {
  io_uring_params params{};
  const int fd = Setup(entries, params);
  if (fd < 0) return;
  sqMapSize_ = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  cqMapSize_ = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  const bool single = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
  if (single) sqMapSize_ = cqMapSize_ = std::max(sqMapSize_, cqMapSize_);
  sqMap_ = Map(fd, sqMapSize_, IORING_OFF_SQ_RING);
  cqMap_ = single ? sqMap_ : Map(fd, cqMapSize_, IORING_OFF_CQ_RING);
  entriesSize_ = params.sq_entries * sizeof(io_uring_sqe);
  void* entriesMap = Map(fd, entriesSize_, IORING_OFF_SQES);
  fd_ = fd;
  entries_ = static_cast<io_uring_sqe*>(entriesMap);
  if (sqMap_ == nullptr || cqMap_ == nullptr || entries_ == nullptr) {
    Release();
    return;
  }
  sqHead_ = At<unsigned>(sqMap_, params.sq_off.head);
  sqTail_ = At<unsigned>(sqMap_, params.sq_off.tail);
  sqArray_ = At<unsigned>(sqMap_, params.sq_off.array);
  sqMask_ = *At<unsigned>(sqMap_, params.sq_off.ring_mask);
  sqCount_ = params.sq_entries;
  cqHead_ = At<unsigned>(cqMap_, params.cq_off.head);
  cqTail_ = At<unsigned>(cqMap_, params.cq_off.tail);
  cqes_ = At<io_uring_cqe>(cqMap_, params.cq_off.cqes);
  cqMask_ = *At<unsigned>(cqMap_, params.cq_off.ring_mask);
}

TIoRing::~TIoRing() {
  Release();
}

void TIoRing::Release() {
  if (entries_ != nullptr) ::munmap(entries_, entriesSize_);
  if (cqMap_ != nullptr && cqMap_ != sqMap_) ::munmap(cqMap_, cqMapSize_);
  if (sqMap_ != nullptr) ::munmap(sqMap_, sqMapSize_);
  if (fd_ >= 0) ::close(fd_);
  entries_ = nullptr;
  sqMap_ = cqMap_ = nullptr;
  fd_ = -1;
}

unsigned TIoRing::Room() const {
  if (!Valid()) return 0;
  const unsigned tail = *sqTail_ + queued_;  // only this thread moves the tail
  return sqCount_ - (tail - LoadAcquire(sqHead_));
}

io_uring_sqe* TIoRing::NextEntry() {
  if (Room() == 0) return nullptr;
  const unsigned index = (*sqTail_ + queued_) & sqMask_;
  sqArray_[index] = index;
  ++queued_;
  io_uring_sqe* entry = &entries_[index];
  std::memset(entry, 0, sizeof *entry);
  return entry;
}

bool TIoRing::OpenAt(const char* path, int flags, uint64_t tag) {
  io_uring_sqe* entry = NextEntry();
  if (entry == nullptr) return false;
  entry->opcode = IORING_OP_OPENAT;
  entry->fd = AT_FDCWD;
  entry->addr = reinterpret_cast<uintptr_t>(path);
  entry->open_flags = static_cast<uint32_t>(flags);
  entry->user_data = tag;
  return true;
}

bool TIoRing::ReadAt(int fd, void* buffer, unsigned count, uint64_t offset, uint64_t tag) {
  io_uring_sqe* entry = NextEntry();
  if (entry == nullptr) return false;
  entry->opcode = IORING_OP_READ;
  entry->fd = fd;
  entry->addr = reinterpret_cast<uintptr_t>(buffer);
  entry->len = count;
  entry->off = offset;
  entry->user_data = tag;
  return true;
}

bool TIoRing::Submit(bool wait) {
  if (!Valid()) return false;
  StoreRelease(sqTail_, *sqTail_ + queued_);
  queued_ = 0;
  while (true) {
    // Entries an earlier call left in the ring go with the new ones.
    const unsigned pending = *sqTail_ - LoadAcquire(sqHead_);
    const long done = ::syscall(__NR_io_uring_enter, fd_, pending, wait ? 1u : 0u,
                                wait ? IORING_ENTER_GETEVENTS : 0u, nullptr, 0);
    if (done >= 0) return true;
    if (errno == EINTR) continue;
    // Short of memory for now, or outcomes to reap first: what is left in
    // the ring goes with the next call.
    return errno == EAGAIN || errno == EBUSY;
  }
}

size_t TIoRing::Reap(const std::function<void(uint64_t tag, int result)>& reap) {
  if (!Valid()) return 0;
  unsigned head = *cqHead_;
  const unsigned tail = LoadAcquire(cqTail_);
  size_t count = 0;
  for (; head != tail; ++head, ++count) {
    const io_uring_cqe& cqe = cqes_[head & cqMask_];
    const uint64_t tag = cqe.user_data;
    const int result = cqe.res;
    StoreRelease(cqHead_, head + 1);  // the entry is copied: its place is free
    reap(tag, result);
  }
  return count;
}

}  // namespace dov
