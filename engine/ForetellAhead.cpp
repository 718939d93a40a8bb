#include "engine/ForetellAhead.h"

#include <string_view>
#include <system_error>
#include <utility>

namespace dov {

TForetellAhead::TForetellAhead(TForetell foretell) : foretell_(std::move(foretell)) {
  batch_.reserve(kBatch);
}

TForetellAhead::~TForetellAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  toldWake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint32_t TForetellAhead::DigestOf(const TPlannedOperation& operation) {
  const std::hash<std::u16string_view> hash;
  const size_t digest = hash(operation.From) * 31 + hash(operation.To) +
                        (operation.Copy ? 2u : 0u) + (operation.AllowCopy ? 1u : 0u);
  return static_cast<uint32_t>(digest ^ (digest >> 32));
}

void TForetellAhead::Tell(const TPlannedOperation& operation) {
  batch_.push_back(
      {operation.From, operation.To, operation.Copy, operation.AllowCopy, operation.Source});
  if (batch_.size() >= kBatch) Flush();
}

// Hands the batch over to the thread, started with the first one. Without a
// thread to be had nothing is foretold ahead.
void TForetellAhead::Flush() {
  if (batch_.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!failed_ && !thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      failed_ = true;
    }
  }
  if (failed_) {
    batch_.clear();
    return;
  }
  roomWake_.wait(lock, [this] { return waiting_.size() < kMostWaiting; });
  for (TTold& told : batch_) waiting_.push_back(std::move(told));
  told_ += batch_.size();
  batch_.clear();
  toldWake_.notify_one();
}

void TForetellAhead::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    toldWake_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (stop_) return;
    TTold told = std::move(waiting_.front());
    waiting_.pop_front();
    if (waiting_.size() == kMostWaiting - 1) roomWake_.notify_one();
    lock.unlock();
    const TPlannedOperation operation{told.From, told.To, told.Copy, told.AllowCopy, told.Source};
    std::optional<TForetold> foretold;
    try {
      foretold = foretell_(operation);
    } catch (...) {
      foretold.reset();  // the asker foretells it itself, and meets the failure there
    }
    const uint32_t digest = DigestOf(operation);
    lock.lock();
    outcomes_.push_back(
        {digest, foretold ? foretold->Error : 0, foretold && foretold->Ok, foretold.has_value()});
    outcomeWake_.notify_one();
  }
}

std::optional<TForetold> TForetellAhead::Take(const TPlannedOperation& operation) {
  Flush();
  const uint32_t digest = DigestOf(operation);
  std::unique_lock<std::mutex> lock(mutex_);
  if (taken_ == told_) return std::nullopt;
  outcomeWake_.wait(lock, [this] { return !outcomes_.empty(); });
  const TOutcome outcome = outcomes_.front();
  if (outcome.Digest != digest) {
    // Asked out of the told order: every told operation is foretold first,
    // so that they all count as planned, whatever the thread's pace.
    outcomeWake_.wait(lock, [this] { return outcomes_.size() == told_ - taken_; });
    return std::nullopt;
  }
  outcomes_.pop_front();
  ++taken_;
  if (!outcome.Foretold) return std::nullopt;
  return TForetold{outcome.Ok, outcome.Error};
}

}  // namespace dov
