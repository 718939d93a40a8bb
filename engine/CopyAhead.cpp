#include "engine/CopyAhead.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace dov {

TCopyAhead::TCopyAhead(TNextCopy next, TPrepare prepare, IPosixCalls& calls, size_t workers)
    : next_(std::move(next)), prepare_(std::move(prepare)), calls_(calls), window_(4 * workers) {
  threads_.reserve(workers);  // nothing can throw once a thread runs
  for (size_t i = 0; i < workers; ++i) {
    std::thread thread;
    if (!calls_.StartThread(thread, [this] { Work(); })) break;
    threads_.push_back(std::move(thread));
  }
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

TCopyAhead::TSlot* TCopyAhead::FirstQueued() const {
  auto queued = std::find_if(slots_.begin(), slots_.end(),
                             [](const auto& slot) { return slot->State == EState::Queued; });
  return queued == slots_.end() ? nullptr : queued->get();
}

// Writes a queued slot with the lock let go meanwhile.
void TCopyAhead::WriteSlot(std::unique_lock<std::mutex>& lock, TSlot& slot) {
  slot.State = EState::Writing;
  lock.unlock();
  Write(slot.Copy);
  lock.lock();
  slot.State = EState::Written;
  written_.notify_all();
}

void TCopyAhead::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    TSlot* slot = nullptr;
    work_.wait(lock, [&] { return stop_ || (!held_ && (slot = FirstQueued()) != nullptr); });
    if (stop_) return;
    WriteSlot(lock, *slot);
  }
}

// Rather than wait for the slot, the job's thread writes it itself when it is
// not begun yet, and otherwise the copies still queued after it.
void TCopyAhead::HelpUntilWritten(std::unique_lock<std::mutex>& lock, TSlot& slot) {
  while (slot.State != EState::Written) {
    TSlot* next = slot.State == EState::Queued ? &slot : FirstQueued();
    if (next != nullptr)
      WriteSlot(lock, *next);
    else
      written_.wait(lock);
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

// Asks the plan for its next copies until the window is full, once half of
// it is taken: the threads then wake once for several copies rather than
// once for each. Called on the job's thread only, as next_ must be.
void TCopyAhead::TopUp() {
  std::vector<std::unique_ptr<TSlot>> more;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (planEnded_ || slots_.size() > window_ / 2) return;
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
  HelpUntilWritten(lock, slot);
  copy = std::move(slot.Copy);
  slot.Copy.Fd = -1;
  slots_.pop_front();
  if (copy.Fd < 0 && copy.ShortOfRoom) Rewind(lock);
  lock.unlock();
  work_.notify_all();
  return true;
}

}  // namespace dov
