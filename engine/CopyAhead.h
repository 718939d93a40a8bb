// The copies of a job written ahead of their turn by a small pool of threads,
// while the job's own thread gives them their names in the job's order. A
// copy written ahead is an unnamed file: nothing of it can be seen before it
// is named, and nothing is left behind however the process ends.
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FileOps.h"

namespace dov {

// One copy of the plan and, once written, what its turn needs.
struct TPreparedCopy {
  std::u16string From, To;
  std::string Source, Target;  // native; set with Fd
  int Fd = -1;                 // the whole copy, unnamed, with its mode and times; -1: not written
  struct stat SourceState {};  // the source as it was copied
  bool ShortOfRoom = false;    // not written for want of space, memory or descriptors
};

class TCopyAhead {
 public:
  // Writes one copy ahead, on any thread; leaves Fd at -1 when it cannot.
  using TPrepare = std::function<void(TPreparedCopy&)>;

  // next is asked, on the caller's thread only, for the copies to come.
  TCopyAhead(TNextCopy next, TPrepare prepare, IPosixCalls& calls, size_t workers);
  ~TCopyAhead();
  TCopyAhead(const TCopyAhead&) = delete;
  TCopyAhead& operator=(const TCopyAhead&) = delete;

  // At least one thread of the pool runs.
  bool Started() const { return !threads_.empty(); }
  // The copy from to to, written ahead: true with copy filled (its Fd -1 when
  // it could not be written; the caller then makes it itself, and where it
  // was short of room the copies after it wait meanwhile with nothing
  // written). False when from and to are not the plan's copy to come. Copies
  // of the plan passed over are dropped.
  bool Take(const std::u16string& from, const std::u16string& to, TPreparedCopy& copy);
  // Closes a copy that will not be named: it vanishes.
  void Drop(TPreparedCopy& copy);

 private:
  enum class EState { Queued, Writing, Written };
  struct TSlot {
    TPreparedCopy Copy;
    EState State = EState::Queued;
  };
  TSlot* FirstQueued() const;
  void WriteSlot(std::unique_lock<std::mutex>& lock, TSlot& slot);
  void Work();
  void HelpUntilWritten(std::unique_lock<std::mutex>& lock, TSlot& slot);
  void Write(TPreparedCopy& copy);
  void TopUp();
  void WaitWhileWriting(std::unique_lock<std::mutex>& lock, TSlot& slot);
  void Rewind(std::unique_lock<std::mutex>& lock);

  TNextCopy next_;
  TPrepare prepare_;
  IPosixCalls& calls_;
  size_t window_;  // copies of the plan in flight at most
  std::mutex mutex_;
  std::condition_variable work_;     // a slot to write, or the end
  std::condition_variable written_;  // a slot was written
  std::deque<std::unique_ptr<TSlot>> slots_;
  bool held_ = false;  // the pool waits while the job's thread makes a copy itself
  bool stop_ = false;
  bool planEnded_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace dov
