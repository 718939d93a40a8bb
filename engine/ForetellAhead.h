// The operations of a dry run foretold on a thread of their own while the job
// is still listing them, in the order they were told, so that the job's own
// thread finds each outcome ready when it asks for it after the listing.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

// One operation of a job: CopyFile when Copy, else MoveFile with AllowCopy.
struct TPlannedOperation {
  const std::u16string& From;
  const std::u16string& To;
  bool Copy = false;
  bool AllowCopy = false;
  TFileFacts Source{};  // known when told with the operation
};

// What an operation was foretold to give: its result and errno.
struct TForetold {
  bool Ok = false;
  int Error = 0;
};

class TForetellAhead {
 public:
  // Foretells one operation against the forecast so far, on the thread. When
  // it throws, the asker foretells that operation itself.
  using TForetell = std::function<TForetold(const TPlannedOperation&)>;

  explicit TForetellAhead(TForetell foretell);
  ~TForetellAhead();
  TForetellAhead(const TForetellAhead&) = delete;
  TForetellAhead& operator=(const TForetellAhead&) = delete;

  // The next operation the job will ask for. Waits while kMostWaiting
  // operations are waiting for the thread, so that the list stays short.
  void Tell(const TPlannedOperation& operation);
  // The outcome foretold for the operation told next, when it is this one.
  // nullopt when it could not be foretold ahead, when nothing told waits, or
  // when it is not the next told one: then once every told operation is
  // foretold, so that the caller foretells it against all of them.
  std::optional<TForetold> Take(const TPlannedOperation& operation);

  static constexpr size_t kBatch = 32;
  static constexpr size_t kMostWaiting = 4096;

 private:
  struct TTold {
    std::u16string From, To;
    bool Copy, AllowCopy;
    TFileFacts Source;
  };
  // An outcome in the order told, with a digest of its operation to match
  // the one asked for.
  struct TOutcome {
    uint32_t Digest;
    int32_t Error;
    bool Ok;
    bool Foretold;
  };
  static uint32_t DigestOf(const TPlannedOperation& operation);
  void Flush();
  void Work();

  TForetell foretell_;
  std::vector<TTold> batch_;  // told on the job's thread, not yet handed over
  std::mutex mutex_;
  std::condition_variable toldWake_, roomWake_, outcomeWake_;
  std::deque<TTold> waiting_;
  std::deque<TOutcome> outcomes_;
  size_t told_ = 0, taken_ = 0;  // counts since the start; outcomes_ begins at taken_
  bool stop_ = false, failed_ = false;
  std::thread thread_;
};

}  // namespace dov
