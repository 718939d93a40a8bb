#include "engine/ReadAhead.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "common/DOVTnt.h"
#include "engine/RingFetcher.h"

namespace dov {
namespace {

// A read of a file's tags from the page cache takes tens of microseconds; one
// that took this long may have waited for the disk or a share.
constexpr std::chrono::microseconds kSlowRead{250};
// A reader watches one read in this many whatever their speed, so that the
// pool learns when the reads no longer wait.
constexpr unsigned kWatchEvery = 16;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::optional<unsigned>& ReaderLimit() {
  static std::optional<unsigned> limit;
  return limit;
}

TReadAhead::EFetcherUse& FetcherUse() {
  static TReadAhead::EFetcherUse use = TReadAhead::EFetcherUse::WhenReadsWait;
  return use;
}

// At most an eighth of the descriptors the process may have, and at most
// most: the fetcher's files and the readers each hold one, and the engine's
// own opens must never run short because of them.
size_t WithinDescriptors(size_t most) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return most;
  return static_cast<size_t>(std::clamp<rlim_t>(limit.rlim_cur / 8, 1, most));
}

constexpr unsigned kReadersWithFetcher = 8;

// Whether this kernel gives an io_uring at all; asked once.
bool IoRingWorks() {
  static const bool works = TIoRing(1).Valid();
  return works;
}

std::function<void(const std::u16string&)>& BeforeTake() {
  static std::function<void(const std::u16string&)> hook;
  return hook;
}

}  // namespace

EEntryKind EntryKindOf(const std::string& nativeFolder, const char* nativeName,
                       unsigned char type) {
  if (type == DT_REG) return EEntryKind::File;
  if (type == DT_DIR) return EEntryKind::Folder;
  if (type != DT_LNK && type != DT_UNKNOWN) return EEntryKind::Other;
  const std::string nativePath = nativeFolder + nativeName;
  struct stat st {};
  if (::lstat(nativePath.c_str(), &st) != 0) return EEntryKind::Other;
  if (S_ISDIR(st.st_mode)) return EEntryKind::Folder;
  if (S_ISLNK(st.st_mode) && ::stat(nativePath.c_str(), &st) != 0) return EEntryKind::Other;
  return S_ISREG(st.st_mode) ? EEntryKind::File : EEntryKind::Other;
}

bool TReadAhead::Enabled() {
  const char* value = std::getenv("DOV_READ_AHEAD");
  return value == nullptr || std::strcmp(value, "0") != 0;
}

unsigned TReadAhead::ReaderCount() {
  // A disk and a network share serve many reads at once, far more than a
  // small machine has cores; the threads mostly wait. A cold scan on two
  // cores was fastest with 32 reads in flight (16 and 64 were slower).
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return std::max(32u, 2 * cores);
}

void TReadAhead::LimitReaders(std::optional<unsigned> limit) {
  ReaderLimit() = limit;
}

void TReadAhead::UseFetcher(EFetcherUse use) {
  FetcherUse() = use;
}

void TReadAhead::SetBeforeTake(std::function<void(const std::u16string& path)> hook) {
  BeforeTake() = std::move(hook);
}

TReadAhead::TReadAhead(TRules rules) : rules_(std::move(rules)) {
  if (!Enabled()) return;
  fetcherUsable_ = FetcherUse() != EFetcherUse::Never && IoRingWorks();
  fetchAlways_ = fetchWanted_ = fetcherUsable_ && FetcherUse() == EFetcherUse::Always;
  fetchAhead_ = WithinDescriptors(kFetchAhead);
  // With the fetcher the readers parse, and read only what lies beyond a
  // file's head and tail: a few in flight are enough, and fewer threads
  // take turns on the cores.
  const auto most = static_cast<unsigned>(WithinDescriptors(
      fetcherUsable_ ? std::min(ReaderCount(), kReadersWithFetcher) : ReaderCount()));
  demand_ = TReaderDemand(std::max(2u, std::thread::hardware_concurrency()) - 1,
                          ReaderLimit().value_or(most));
  try {
    if (fetcherUsable_) fetcher_ = std::thread([this] { FetchLoop(); });
  } catch (const std::system_error&) {
    fetcherUsable_ = false;  // the readers read the files from the disk themselves
  }
  try {
    walker_ = std::thread([this] {
      try {
        Walk(rules_.Root);
      } catch (const std::exception&) {
        // Only a help: the walk ends, the engine reads the rest itself.
      }
      std::lock_guard<std::mutex> lock(mutex_);
      walkEnded_ = true;
      readerWake_.notify_all();
      fetcherWake_.notify_all();
      restWake_.notify_all();
      engineWake_.notify_all();
    });
  } catch (const std::system_error&) {
    // No thread to be had: the engine reads every file itself.
  }
}

TReadAhead::~TReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopping_ = true;
  }
  walkerWake_.notify_all();
  readerWake_.notify_all();
  restWake_.notify_all();
  fetcherWake_.notify_all();
  if (walker_.joinable()) walker_.join();
  if (fetcher_.joinable()) fetcher_.join();
  // The walker started the readers; none starts after it ended. A reader
  // finishes the file it reads.
  for (std::thread& reader : readers_) reader.join();
}

// The engine's walk: the same order, the same folders passed over, the same
// files wanted, and the same wide paths.
void TReadAhead::Walk(std::u16string folder) {
  if (folder.empty() || folder.back() != u'/') folder.push_back(u'/');
  const std::string nativeFolder = WideToNative(folder);
  std::unique_ptr<DIR, DirCloser> dir(::opendir(nativeFolder.c_str()));
  if (!dir) return;
  while (dirent* entry = ::readdir(dir.get())) {
    if (stopping_) return;
    const char* nativeName = entry->d_name;
    if (nativeName[0] == '\0' || nativeName[0] == '.') continue;
    const EEntryKind kind = EntryKindOf(nativeFolder, nativeName, entry->d_type);
    if (kind == EEntryKind::Folder) {
      if (!rules_.Subfolders) continue;
      std::u16string subfolder = folder + NativeToWide(nativeName);
      if (rules_.Skipped(subfolder)) continue;
      // The files before it are read while the walk goes into it.
      if (!Publish()) return;
      Walk(std::move(subfolder));
    } else if (kind == EEntryKind::File) {
      std::u16string name = NativeToWide(nativeName);
      if (rules_.Wanted(name) && !Offer(folder + name, nativeFolder + nativeName)) return;
    }
  }
  Publish();
}

bool TReadAhead::Offer(std::u16string path, std::string nativePath) {
  auto slot = std::make_shared<TSlot>();
  slot->Path = std::move(path);
  slot->NativePath = std::move(nativePath);
  batch_.push_back(std::move(slot));
  return batch_.size() < kBatch || Publish();
}

// The listed files join the window a batch at a time, so that the walker and
// the readers wake each other once a batch.
bool TReadAhead::Publish() {
  if (batch_.empty()) return !stopping_;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!stop_ && window_.size() >= kWindow) {
    walkerWaits_ = true;
    walkerWake_.wait(lock, [this] { return stop_ || window_.size() <= kWindow / 2; });
    walkerWaits_ = false;
  }
  if (stop_) return false;
  for (std::shared_ptr<TSlot>& slot : batch_) window_.push_back(std::move(slot));
  batch_.clear();
  StartReaderIfNeeded();
  if (idleReaders_ > 0 && !fetching_) readerWake_.notify_all();
  if (fetcherWaits_) fetcherWake_.notify_one();
  if (engineWaits_) engineWake_.notify_one();
  return true;
}

void TReaderDemand::Count(bool waited) {
  if (waited) {
    waited_ = std::min(waited_ + 1, most_ - first_);
    fastInARow_ = 0;
  } else if (waited_ > 0 && ++fastInARow_ == kFastReadsPerRest) {
    fastInARow_ = 0;
    --waited_;
  }
}

void TReaderDemand::Cap(unsigned most) {
  most_ = most;
  first_ = std::min(first_, most);
  waited_ = std::min(waited_, most_ - first_);
}

// Readers start with one per core besides the engine's own: on a warm cache
// the reads are parsing, and more threads than cores only take turns. A reader
// whose read had to wait (a cold cache, a slow share) asks for one more, so
// that many reads are in flight.
void TReadAhead::StartReaderIfNeeded() {
  const size_t queued = window_.size() - handedOut_;
  if (readers_.size() >= demand_.Wanted() || queued <= idleReaders_ || stop_) return;
  try {
    const auto index = static_cast<unsigned>(readers_.size());
    readers_.emplace_back([this, index] { ReadLoop(index); });
  } catch (const std::exception&) {
    demand_.Cap(static_cast<unsigned>(readers_.size()));  // no more threads to be had
  }
}

// The first slot a reader may take: a queued one and, while fetching, one
// the fetcher is done with, whichever came first, so that a file whose open
// waits long holds up no other; the window's size when there is none.
size_t TReadAhead::FirstReadable() const {
  if (!fetching_) return handedOut_;
  const size_t end = std::min(fetchedOut_, window_.size());
  for (size_t at = handedOut_; at < end; ++at)
    if (window_[at]->State == EState::Queued && window_[at]->Fetched) return at;
  return window_.size();
}

bool TReadAhead::Readable() const {
  return FirstReadable() < window_.size();
}

// The first slot a reader may take, marked as being read; null when none.
std::shared_ptr<TReadAhead::TSlot> TReadAhead::NextToRead() {
  const size_t at = FirstReadable();
  if (at >= window_.size()) return nullptr;
  return HandOut(at);
}

std::shared_ptr<TReadAhead::TSlot> TReadAhead::HandOut(size_t at) {
  std::shared_ptr<TSlot> slot = window_[at];
  slot->State = EState::Reading;
  while (handedOut_ < window_.size() && window_[handedOut_]->State != EState::Queued) ++handedOut_;
  Unhold(*slot);
  return slot;
}

// Reads the slot without the lock, which it holds before and after.
void TReadAhead::ReadUnlocked(std::unique_lock<std::mutex>& lock, TSlot& slot, bool watch) {
  lock.unlock();
  // A read that gave the processor up waited for the disk: voluntary context
  // switches tell it from one the scheduler interrupted.
  rusage before{}, after{};
  if (watch) ::getrusage(RUSAGE_THREAD, &before);
  const bool read = ReadSlot(slot);
  if (watch) ::getrusage(RUSAGE_THREAD, &after);
  lock.lock();
  slot.State = read ? EState::Read : EState::Failed;
  const bool waited = watch && after.ru_nvcsw > before.ru_nvcsw;
  if (watch) {
    demand_.Count(waited);
    // Two in a row: a single watched read may have waited for a lock.
    waitsInARow_ = waited ? waitsInARow_ + 1 : 0;
  }
  if (waitsInARow_ >= 2 && fetcherUsable_ && !fetchWanted_) {
    fetchWanted_ = true;
    fetcherWake_.notify_one();
  }
  if (waited) {
    restWake_.notify_all();
    StartReaderIfNeeded();
  }
  // The engine waits for the first slot of the window only.
  if (engineWaits_ && !window_.empty() && window_.front().get() == &slot) engineWake_.notify_one();
}

void TReadAhead::ReadLoop(unsigned index) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool lastWasSlow = false;
  for (unsigned count = 0;; ++count) {
    // A reader not wanted now rests apart, where new files do not wake it.
    while (!stop_ && !walkEnded_ && index >= demand_.Wanted()) restWake_.wait(lock);
    while (!stop_ && !Readable() && !(walkEnded_ && handedOut_ == window_.size())) {
      ++idleReaders_;
      readerWake_.wait(lock);
      --idleReaders_;
    }
    if (stop_) return;
    std::shared_ptr<TSlot> slot = NextToRead();
    if (slot == nullptr) return;  // the walk ended and every file is read
    // While more readers may be wanted a read after a slow one is watched
    // too: the watch costs two system calls, the clock none.
    const bool watch =
        count % kWatchEvery == 0 || (lastWasSlow && demand_.Wanted() < demand_.Most());
    const auto start = std::chrono::steady_clock::now();
    ReadUnlocked(lock, *slot, watch);
    lastWasSlow = std::chrono::steady_clock::now() - start >= kSlowRead;
  }
}

// A failure is the engine's to meet: it reads such a file again itself, so a
// file that could not be opened is reported as the engine found it (not, say,
// short of descriptors because of the pool's own).
bool TReadAhead::ReadSlot(TSlot& slot) const {
  try {
    rules_.Read(slot.Path, std::move(slot.Opened), slot.Tags);
    return slot.Tags.OpenError == 0;
  } catch (...) {
    return false;
  }
}

size_t TReadAhead::FetchLimitRoom() const {
  return fetchAhead_ > fetchHeld_ ? fetchAhead_ - fetchHeld_ : 0;
}

// A file the fetcher took is handed out or dropped: room for one more, and
// the fetcher is woken once a quarter of its files is free.
void TReadAhead::Unhold(TSlot& slot) {
  if (!slot.Held) return;
  slot.Held = false;
  --fetchHeld_;
  if (fetcherWaits_ && FetchLimitRoom() == FetcherWakeRoom() && FetchRoom() > 0)
    fetcherWake_.notify_one();
}

size_t TReadAhead::FetcherWakeRoom() const {
  return std::max<size_t>(1, fetchAhead_ / 4);
}

size_t TReadAhead::FetchRoom() const {
  return std::min(FetchLimitRoom(), window_.size() - fetchedOut_);
}

// Under the lock: the next listed files, as many as the fetcher takes.
void TReadAhead::TakeForFetcher(size_t places, std::vector<std::shared_ptr<TSlot>>& taken) {
  while (taken.size() < places && FetchRoom() > 0) {
    taken.push_back(window_[fetchedOut_++]);
    taken.back()->Held = true;
    ++fetchHeld_;
  }
}

// Under the lock: the files the fetcher is done with, for the readers.
void TReadAhead::MarkFetched(TFetchedFiles& done) {
  for (auto& [place, stream] : done) {
    std::shared_ptr<TSlot>& slot = inFetcher_[static_cast<size_t>(place)];
    if (slot->State == EState::Queued) slot->Opened = std::move(stream);
    slot->Fetched = true;
    slot.reset();
  }
  if (!done.empty() && idleReaders_ > 0) readerWake_.notify_all();
  if (!done.empty() && engineWaits_) engineWake_.notify_one();
  done.clear();
}

// From now on the readers take every file as it comes.
void TReadAhead::StopFetching() {
  fetching_ = false;
  readerWake_.notify_all();
  engineWake_.notify_all();
}

// Under the lock, with the fetcher idle: waits until reads wait for the disk
// and starts fetching (making the ring the first time); false when the
// fetcher is not needed or cannot be used.
bool TReadAhead::StartFetching(std::unique_lock<std::mutex>& lock,
                               std::unique_ptr<TRingFetcher>& fetcher) {
  fetcherWake_.wait(lock, [this] { return stop_ || walkEnded_ || fetchWanted_; });
  if (stop_ || !fetchWanted_) return false;
  if (fetcher == nullptr) {
    lock.unlock();
    fetcher = std::make_unique<TRingFetcher>(static_cast<unsigned>(fetchAhead_));
    lock.lock();
    if (!fetcher->Valid()) {
      fetcherUsable_ = false;
      return false;
    }
    inFetcher_.resize(fetchAhead_);
  }
  fetchedOut_ = std::max(fetchedOut_, handedOut_);
  fetching_ = true;
  return true;
}

// Fetches while reads wait for the disk. Off at first, since on a warm cache
// the readers read sooner themselves than through another thread; a read
// that waited turns it on, and kFastSteps batches in a row that all came
// from the page cache turn it off again. The lock is released before the
// fetcher goes, which waits for its last operations.
void TReadAhead::FetchLoop() {
  std::unique_ptr<TRingFetcher> fetcher;
  std::vector<std::shared_ptr<TSlot>> taken;
  TFetchedFiles done;
  unsigned fastSteps = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    MarkFetched(done);
    if (!fetching_ && !StartFetching(lock, fetcher)) return;
    if (fetcher->InFlight() == 0 && fastSteps >= kFastSteps && !fetchAlways_) {
      fetchWanted_ = false;
      fastSteps = 0;
      StopFetching();
      continue;
    }
    TakeForFetcher(fetcher->FreePlaces(), taken);
    if (fetcher->InFlight() == 0 && taken.empty()) {
      // Every file is fetched: the readers' gate stays, all pass it.
      if (walkEnded_ && fetchedOut_ == window_.size()) return;
      WaitForFilesToFetch(lock);
      continue;
    }
    const bool wasIdle = fetcher->InFlight() == 0 && !taken.empty();
    // A slot's paths stay as listed: they are read without the lock.
    lock.unlock();
    for (std::shared_ptr<TSlot>& slot : taken)
      inFetcher_[static_cast<size_t>(fetcher->Start(slot->NativePath))] = std::move(slot);
    taken.clear();
    const auto collect = [&done](int place, std::unique_ptr<TDOVFileStream> stream) {
      done.emplace_back(place, std::move(stream));
    };
    bool stepped = fetcher->Step(false, collect);
    const bool fast = wasIdle && fetcher->InFlight() == 0;
    if (stepped && fetcher->InFlight() > 0) stepped = fetcher->Step(true, collect);
    lock.lock();
    fastSteps = fast ? fastSteps + 1 : 0;
    if (!stepped) break;
  }
  MarkFetched(done);
  fetcherUsable_ = false;
  StopFetching();
}

// Woken for a quarter of its files at a time, not for each one the readers
// take.
void TReadAhead::WaitForFilesToFetch(std::unique_lock<std::mutex>& lock) {
  fetcherWaits_ = true;
  fetcherWake_.wait(lock, [this] {
    return stop_ || (FetchRoom() > 0 && FetchLimitRoom() >= FetcherWakeRoom()) ||
           (walkEnded_ && (fetchedOut_ == window_.size() || FetchRoom() > 0));
  });
  fetcherWaits_ = false;
}

unsigned TReadAhead::ReadersStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<unsigned>(readers_.size());
}

unsigned TReadAhead::ReadersWanted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return demand_.Wanted();
}

void TReadAhead::DropFront(size_t count) {
  for (size_t at = 0; at < count; ++at) Unhold(*window_[at]);
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(count));
  handedOut_ = handedOut_ > count ? handedOut_ - count : 0;
  fetchedOut_ = fetchedOut_ > count ? fetchedOut_ - count : 0;
  // The walk goes on when half the window is free: one wake-up a half window.
  if (walkerWaits_ && window_.size() <= kWindow / 2) walkerWake_.notify_one();
}

bool TReadAhead::Take(const std::u16string& path, TNameTags& tags) {
  if (!walker_.joinable()) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  auto wait = [&](auto ready) {
    if (ready()) return;
    engineWaits_ = true;
    engineWake_.wait(lock, ready);
    engineWaits_ = false;
  };
  wait([this] { return !window_.empty() || walkEnded_; });
  // Almost always the first; a walk that saw other files than the engine's
  // finds it further on, or not at all.
  size_t at = 0;
  while (at < window_.size() && window_[at]->Path != path) ++at;
  if (at == window_.size()) return false;
  DropFront(at);
  std::shared_ptr<TSlot> slot = window_.front();
  // The fetcher is opening it and reading its head and tail: reading it now
  // would only wait for the same disk. Once fetched, the engine parses it
  // itself through what was read, rather than open it once more.
  wait([&] { return !fetching_ || slot->Fetched || slot->State != EState::Queued; });
  if (slot->State == EState::Queued && fetching_ && slot->Fetched)
    ReadUnlocked(lock, *HandOut(0), false);
  // Not begun yet: the engine reads it sooner itself than it would wait.
  // While it is being read, the engine reads the next files for the pool, as
  // long as no read waited for the disk: then a read of its own would hold up
  // the files the pool has read meanwhile.
  while (slot->State == EState::Reading) {
    std::shared_ptr<TSlot> next = !demand_.Waiting() ? NextToRead() : nullptr;
    if (next != nullptr) {
      ReadUnlocked(lock, *next, false);
    } else {
      wait([&] { return slot->State != EState::Reading || (!demand_.Waiting() && Readable()); });
    }
  }
  DropFront(1);
  if (slot->State != EState::Read) return false;
  lock.unlock();
  if (const auto& hook = BeforeTake()) hook(path);
  tags = std::move(slot->Tags);
  return true;
}

}  // namespace dov
