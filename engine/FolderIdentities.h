// Looks up the identities of a folder's files ahead of the journal, on a
// thread of its own: a job works through a folder's files in the order the
// folder lists them, so that while one file is renamed the next ones' look-ups
// are done already, on another core. The journal asks for each file's identity
// just before its operation; one not looked up yet it looks up itself. Either
// way the identity was taken before the operation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/Journal.h"

namespace dov {

class TFolderIdentities {
 public:
  TFolderIdentities();
  ~TFolderIdentities();
  TFolderIdentities(const TFolderIdentities&) = delete;
  TFolderIdentities& operator=(const TFolderIdentities&) = delete;

  // The journal works in another folder now, open as folderFd (O_PATH will
  // do), which it keeps open until it enters the next: its files are looked
  // up from here on.
  void Enter(int folderFd);
  // The identity of the regular file name in the folder entered last
  // (nullopt when there is none), as IdentityAt gives it.
  std::optional<TFileIdentity> Of(const char* name);

  // Files whose identity came from the look-ups ahead (for tests).
  uint64_t Hits() const { return hits_; }
  // A folder's files beyond this many are looked up only when asked for.
  static constexpr size_t kMaxAhead = 1 << 16;

 private:
  struct TFolder;
  void Work();
  static void LookUp(TFolder& folder);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<TFolder> asked_;  // the folder the thread is to look through next
  bool stop_ = false;
  std::shared_ptr<TFolder> current_;  // the folder the journal works in
  int currentFd_ = -1;
  uint64_t hits_ = 0;
  std::thread thread_;
};

}  // namespace dov
