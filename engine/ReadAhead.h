// Reads the tags of the rename engine's next files on a pool of threads, so
// that a scan keeps several reads in flight and parses on every core: a walker
// thread lists the same folders in the same order a little ahead of the
// engine, and reader threads run the engine's own tag read on each wanted file
// it finds. Where the kernel allows, a fetcher thread first opens each file
// and reads its head and tail through one io_uring, many files at a time,
// and the readers parse only files it is done with, through what it read: on
// a cold cache they seldom wait, and the disk has many reads queued at little
// processor cost. The results wait in a bounded window in walk order. The engine,
// at each file, takes the result read for exactly its path, or reads the file
// itself when the pool has none (the walks disagree, a folder changed, the
// read failed, the pool is off or has no threads): what it reports is the
// same whatever the pool does.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

class TRingFetcher;

// What the engine's tag read gives for one file.
struct TNameTags {
  std::u16string Artist;
  std::u16string Title;
  std::u16string Genre;
  int OpenError = 0;  // why an existing file could not be opened; 0 when it was
  TFileFacts Facts;   // what its open found, for the dry run's forecast
};

// The kind of a directory entry, following a symbolic link to a file but never
// one to a folder. Both walks sort their entries with it.
enum class EEntryKind { File, Folder, Other };
EEntryKind EntryKindOf(const std::string& nativeFolder, const char* nativeName, unsigned char type);

// How many readers a pool wants: its first ones, and one more for each
// watched read that waited for the disk, up to the most. Each
// kFastReadsPerRest watched reads in a row that did not wait give one back:
// once the files are cached, the readers grown by rest rather than take turns
// on the cores. Only a watched read tells: a read from a disk that caches
// (a virtual one) can be quick and still have waited.
class TReaderDemand {
 public:
  static constexpr unsigned kFastReadsPerRest = 16;

  TReaderDemand(unsigned first, unsigned most) : first_(std::min(first, most)), most_(most) {}
  unsigned Wanted() const { return first_ + waited_; }
  unsigned Most() const { return most_; }
  // Whether a read waited lately.
  bool Waiting() const { return waited_ > 0; }
  // A watched read done, and whether it waited for the disk.
  void Count(bool waited);
  // No more threads than this many to be had.
  void Cap(unsigned most);

 private:
  unsigned first_;
  unsigned most_;
  unsigned waited_ = 0;
  unsigned fastInARow_ = 0;
};

class TReadAhead {
 public:
  // The engine's walk, for the walker to repeat.
  struct TRules {
    std::u16string Root;
    bool Subfolders = false;
    // Whether a file name is one the engine reads.
    std::function<bool(const std::u16string& name)> Wanted;
    // Whether the engine passes over a folder (a path without its last slash).
    std::function<bool(const std::u16string& folder)> Skipped;
    // The engine's tag read, through the file when the pool opened it (else
    // null); it may raise, and runs on several threads at once.
    std::function<void(const std::u16string& path, std::unique_ptr<TDOVFileStream> opened,
                       TNameTags& tags)>
        Read;
  };

  // Starts walking and reading. Does nothing when read-ahead is off.
  explicit TReadAhead(TRules rules);
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // The tags of path, the engine's next wanted file, waiting while they are
  // read; false when the pool has none for it and the engine reads it itself.
  // The results the pool holds for files before path in its walk are dropped.
  bool Take(const std::u16string& path, TNameTags& tags);

  // Off when the environment sets DOV_READ_AHEAD=0 (for tests that compare
  // the engine's output with and without it).
  static bool Enabled();
  // The most reader threads, reads in flight. A pool starts with one reader
  // per core but one (the engine reads too) and grows only while reads wait
  // for the disk (TReaderDemand).
  static unsigned ReaderCount();
  // How many wanted files the walk may be ahead of the engine: enough that
  // every reader has a file to wait for while the engine waits for the first.
  static constexpr size_t kWindow = 512;
  // How many listed files join the window at once.
  static constexpr size_t kBatch = 16;
  // The most files the fetcher may be ahead of the readers: each holds a
  // descriptor and two blocks of its head and tail.
  static constexpr size_t kFetchAhead = 128;
  // Batches of the fetcher in a row that found everything in the page cache
  // before it leaves the reading to the readers again.
  static constexpr unsigned kFastSteps = 4;

  // Tests: at most this many reader threads (0: as if none could be started);
  // nullopt gives ReaderCount() again.
  static void LimitReaders(std::optional<unsigned> limit);
  // Tests: whether the fetcher is used never, while reads wait for the disk
  // (the default, where the kernel allows), or always.
  enum class EFetcherUse { Never, WhenReadsWait, Always };
  static void UseFetcher(EFetcherUse use);
  // Tests: runs with each path whose tags the pool read, after the read and
  // before the engine takes them; null removes it.
  static void SetBeforeTake(std::function<void(const std::u16string& path)> hook);
  // Tests: the reader threads started, and how many of them read now.
  unsigned ReadersStarted();
  unsigned ReadersWanted();

 private:
  enum class EState { Queued, Reading, Read, Failed };
  struct TSlot {
    std::u16string Path;
    std::string NativePath;  // as listed, for the fetcher
    EState State = EState::Queued;
    bool Fetched = false;                    // the fetcher is done with it, or there is none
    bool Held = false;                       // the fetcher took it, and no reader has yet
    std::unique_ptr<TDOVFileStream> Opened;  // what the fetcher opened and read of it
    TNameTags Tags;
  };

  void Walk(std::u16string folder);
  // Both false once stopped.
  bool Offer(std::u16string path, std::string nativePath);
  bool Publish();
  void StartReaderIfNeeded();
  std::shared_ptr<TSlot> NextToRead();
  std::shared_ptr<TSlot> HandOut(size_t at);
  size_t FirstReadable() const;
  // Whether a reader may take a slot now.
  bool Readable() const;
  // How many more files the fetcher may hold, and how many listed ones it
  // may take now.
  size_t FetchLimitRoom() const;
  size_t FetchRoom() const;
  // The room the waiting fetcher is woken for: a quarter of its files.
  size_t FetcherWakeRoom() const;
  void Unhold(TSlot& slot);
  void FetchLoop();
  using TFetchedFiles = std::vector<std::pair<int, std::unique_ptr<TDOVFileStream>>>;
  void TakeForFetcher(size_t places, std::vector<std::shared_ptr<TSlot>>& taken);
  void MarkFetched(TFetchedFiles& done);
  bool StartFetching(std::unique_lock<std::mutex>& lock, std::unique_ptr<TRingFetcher>& fetcher);
  void StopFetching();
  void WaitForFilesToFetch(std::unique_lock<std::mutex>& lock);
  void ReadUnlocked(std::unique_lock<std::mutex>& lock, TSlot& slot, bool watch);
  void ReadLoop(unsigned index);
  // Whether the slot's tags were read in full, the file opened.
  bool ReadSlot(TSlot& slot) const;
  // Removes the first count slots of the window.
  void DropFront(size_t count);

  TRules rules_;

  std::mutex mutex_;
  std::condition_variable walkerWake_;  // room in the window, or stop
  std::condition_variable readerWake_;  // a slot queued, the walk ended, or stop
  std::condition_variable engineWake_;  // a slot read, a slot listed, or the walk ended
  std::condition_variable restWake_;    // more readers wanted, the walk ended, or stop
  // The wanted files listed and not taken yet, in walk order. Readers take
  // them in order, or while fetching in the order the fetcher is done with
  // them; the first handedOut_ are being read or done.
  std::deque<std::shared_ptr<TSlot>> window_;
  size_t handedOut_ = 0;
  // The first fetchedOut_ were taken by the fetcher; at most fetchAhead_ of
  // them it holds (in flight, or done and not taken by a reader).
  size_t fetchedOut_ = 0;
  size_t fetchAhead_ = 0;
  size_t fetchHeld_ = 0;
  bool fetcherUsable_ = false;  // its thread runs, and its ring is not known to fail
  bool fetchWanted_ = false;    // reads waited for the disk
  unsigned waitsInARow_ = 0;    // watched reads that waited
  bool fetchAlways_ = false;
  bool fetching_ = false;                // the readers take only what the fetcher is done with
  bool fetcherWaits_ = false;            // for files to fetch
  std::condition_variable fetcherWake_;  // a slot listed, the walk ended, or stop
  std::vector<std::shared_ptr<TSlot>> inFetcher_;  // by the fetcher's place
  unsigned idleReaders_ = 0;
  bool walkerWaits_ = false;
  bool engineWaits_ = false;
  bool stop_ = false;
  std::atomic<bool> stopping_{false};          // stop_, read by the walk without the lock
  std::vector<std::shared_ptr<TSlot>> batch_;  // the walker's, not in the window yet
  bool walkEnded_ = false;
  TReaderDemand demand_{0, 0};
  std::vector<std::thread> readers_;  // started by the walker as work queues up
  std::thread walker_;
  std::thread fetcher_;
};

}  // namespace dov
