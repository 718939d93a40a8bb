#include "engine/FolderIdentities.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <unordered_map>
#include <vector>

namespace dov {

// One folder's look-ups. The names and their index are written before Listed
// is set and never after; each identity before Done counts past it.
struct TFolderIdentities::TFolder {
  int Fd = -1;  // the thread's own descriptor of the folder
  std::atomic<bool> Cancelled{false};
  std::atomic<bool> Listed{false};
  std::vector<std::string> Names;
  std::unordered_map<std::string, size_t> Index;
  std::vector<std::optional<TFileIdentity>> Identities;
  std::atomic<size_t> Done{0};

  ~TFolder() {
    if (Fd >= 0) ::close(Fd);
  }
};

TFolderIdentities::TFolderIdentities() = default;

TFolderIdentities::~TFolderIdentities() {
  if (!thread_.joinable()) return;
  if (current_) current_->Cancelled = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TFolderIdentities::Enter(int folderFd) {
  if (current_) current_->Cancelled = true;
  current_.reset();
  currentFd_ = folderFd;
  auto folder = std::make_shared<TFolder>();
  // Its own descriptor: the journal closes its one when it moves on.
  folder->Fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (folder->Fd < 0) return;  // then each file is looked up when asked for
  current_ = folder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    asked_ = std::move(folder);
  }
  wake_.notify_one();
  if (!thread_.joinable()) thread_ = std::thread(&TFolderIdentities::Work, this);
}

std::optional<TFileIdentity> TFolderIdentities::Of(const char* name) {
  if (current_ && current_->Listed.load(std::memory_order_acquire)) {
    const auto found = current_->Index.find(name);
    if (found != current_->Index.end() &&
        found->second < current_->Done.load(std::memory_order_acquire) &&
        current_->Identities[found->second]) {
      ++hits_;
      return current_->Identities[found->second];
    }
  }
  return IdentityAt(currentFd_, name);
}

void TFolderIdentities::Work() {
  for (;;) {
    std::shared_ptr<TFolder> folder;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || asked_; });
      if (stop_) return;
      folder = std::move(asked_);
    }
    LookUp(*folder);
  }
}

// The names first, in the folder's order, which is the order the job works
// through them in; then their identities one by one.
void TFolderIdentities::LookUp(TFolder& folder) {
  const int listFd = ::openat(folder.Fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listFd), ::closedir);
  if (!dir) {
    ::close(listFd);
    return;
  }
  while (dirent* entry = ::readdir(dir.get())) {
    if (folder.Cancelled.load(std::memory_order_relaxed)) return;
    const unsigned char type = entry->d_type;
    if (entry->d_name[0] == '.' || (type != DT_REG && type != DT_UNKNOWN)) continue;
    if (folder.Names.size() >= kMaxAhead) break;
    folder.Index.emplace(entry->d_name, folder.Names.size());
    folder.Names.emplace_back(entry->d_name);
  }
  dir.reset();
  folder.Identities.resize(folder.Names.size());
  folder.Listed.store(true, std::memory_order_release);
  for (size_t i = 0; i < folder.Names.size(); ++i) {
    if (folder.Cancelled.load(std::memory_order_relaxed)) return;
    folder.Identities[i] = IdentityAt(folder.Fd, folder.Names[i].c_str());
    folder.Done.store(i + 1, std::memory_order_release);
  }
}

}  // namespace dov
