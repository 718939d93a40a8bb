// Reads ahead of the rename engine's walk, so that a scan keeps several reads
// in flight: a walker thread lists the same folders in the same order a little
// ahead of the engine, and a small pool of threads reads the head and the
// tail of each audio file it finds (the ranges the tag store and the readers
// read first), bringing them into the page cache. The engine reads every file
// itself as before and finds its pages there: nothing it reports depends on
// what was read ahead, or whether, or when. A file that changes or vanishes
// in between is only a wasted read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dov {

class TReadAhead {
 public:
  // Whether a native file name is one the engine reads.
  using TWanted = std::function<bool(const char* nativeName)>;

  // Starts reading ahead under root (a native path), into subfolders when
  // asked, never into skip (a native folder path, or empty). Does nothing
  // when read-ahead is off.
  TReadAhead(std::string root, bool subfolders, const std::string& skip, TWanted wanted);
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // The engine came to its next wanted file: the walk may go one further.
  void Passed();

  // Off when the environment sets DOV_READ_AHEAD=0 (for tests that compare
  // the engine's output with and without it).
  static bool Enabled();
  // Reader threads: reads in flight, from the number of cores.
  static unsigned ReaderCount();
  // How many wanted files the walk may be ahead of the engine.
  static constexpr uint64_t kWindow = 128;

 private:
  void Walk(const std::string& folder);
  bool Offer(std::string path);  // false once stopped
  void ReadLoop();
  // True when the head was in the page cache already.
  static bool ReadHeadAndTail(const std::string& path);
  // Files found in the cache in a row after which most are passed over.
  static constexpr int kCachedToPause = 32;

  bool subfolders_ = false;
  TWanted wanted_;
  uint64_t skipDevice_ = 0, skipInode_ = 0;
  bool hasSkip_ = false;

  std::mutex mutex_;
  std::condition_variable walkerWake_;  // the engine passed a file, or stop
  std::condition_variable readerWake_;  // a path queued, the walk ended, or stop
  std::deque<std::string> queue_;
  uint64_t listed_ = 0;
  uint64_t passed_ = 0;
  bool stop_ = false;
  bool walkEnded_ = false;
  unsigned maxReaders_ = 0;
  std::atomic<int> cachedInARow_{0};
  std::vector<std::thread> readers_;  // started by the walker as work queues up
  std::thread walker_;
};

}  // namespace dov
