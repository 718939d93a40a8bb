#include "engine/CopyAhead.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace dov {

TCopyAhead::TCopyAhead(TNextCopy next, TPrepare prepare, IPosixCalls& calls, size_t workers)
    : next_(std::move(next)), prepare_(std::move(prepare)), calls_(calls), window_(2 * workers) {
  for (size_t i = 0; i < workers; ++i) {
    std::thread thread;
    if (!calls_.StartThread(thread, [this] { Work(); })) break;
    threads_.push_back(std::move(thread));
  }
  if (Started()) TopUp();
}

TCopyAhead::~TCopyAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  for (auto& slot : slots_) Drop(slot->Copy);
}

void TCopyAhead::Drop(TPreparedCopy& copy) {
  if (copy.Fd < 0) return;
  calls_.Close(copy.Fd);
  copy.Fd = -1;
}

void TCopyAhead::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    TSlot* slot = nullptr;
    work_.wait(lock, [&] {
      if (stop_) return true;
      if (held_) return false;
      auto queued = std::find_if(slots_.begin(), slots_.end(),
                                 [](const auto& s) { return s->State == EState::Queued; });
      slot = queued == slots_.end() ? nullptr : queued->get();
      return slot != nullptr;
    });
    if (stop_) return;
    slot->State = EState::Writing;
    lock.unlock();
    Write(slot->Copy);
    lock.lock();
    slot->State = EState::Written;
    written_.notify_all();
  }
}

// A copy that cannot be written ahead (not even for want of memory) is made
// at its turn.
void TCopyAhead::Write(TPreparedCopy& copy) {
  try {
    prepare_(copy);
  } catch (const std::exception&) {
    Drop(copy);
    copy.ShortOfRoom = true;
  }
}

// Asks the plan for its next copies until the window is full. Called on the
// job's thread only, as next_ must be.
void TCopyAhead::TopUp() {
  std::vector<std::unique_ptr<TSlot>> more;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (planEnded_ || slots_.size() >= window_) return;
    more.resize(window_ - slots_.size());
  }
  size_t got = 0;
  for (; got < more.size(); ++got) {
    more[got] = std::make_unique<TSlot>();
    if (!next_(more[got]->Copy.From, more[got]->Copy.To)) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    planEnded_ = got < more.size();
    for (size_t i = 0; i < got; ++i) slots_.push_back(std::move(more[i]));
  }
  work_.notify_all();
}

void TCopyAhead::WaitWhileWriting(std::unique_lock<std::mutex>& lock, TSlot& slot) {
  written_.wait(lock, [&] { return slot.State != EState::Writing; });
}

// The copies after one that could not be written ahead for want of room are
// dropped and will be written again, and the pool waits, so that they hold no
// space (or memory, or descriptors) while the job's thread makes that copy
// itself: on a file system about to fill up, the copy fails or succeeds as it
// would without the pool.
void TCopyAhead::Rewind(std::unique_lock<std::mutex>& lock) {
  held_ = true;
  for (auto& slot : slots_) {
    WaitWhileWriting(lock, *slot);
    Drop(slot->Copy);
    slot->State = EState::Queued;
  }
}

bool TCopyAhead::Take(const std::u16string& from, const std::u16string& to, TPreparedCopy& copy) {
  TopUp();
  std::unique_lock<std::mutex> lock(mutex_);
  held_ = false;
  auto match = std::find_if(slots_.begin(), slots_.end(), [&](const auto& slot) {
    return slot->Copy.From == from && slot->Copy.To == to;
  });
  if (match == slots_.end()) {
    work_.notify_all();
    return false;
  }
  for (auto slot = slots_.begin(); slot != match; ++slot) {
    WaitWhileWriting(lock, **slot);
    Drop((*slot)->Copy);
  }
  slots_.erase(slots_.begin(), match);
  TSlot& slot = *slots_.front();
  if (slot.State == EState::Queued) {
    // Not begun yet: the job's thread writes it itself rather than wait.
    slot.State = EState::Writing;
    lock.unlock();
    Write(slot.Copy);
    lock.lock();
    slot.State = EState::Written;
  }
  WaitWhileWriting(lock, slot);
  copy = std::move(slot.Copy);
  slot.Copy.Fd = -1;
  slots_.pop_front();
  if (copy.Fd < 0 && copy.ShortOfRoom) Rewind(lock);
  lock.unlock();
  work_.notify_all();
  return true;
}

}  // namespace dov
