// Opens files and reads their heads and tails through one io_uring, ahead of
// the parse. One thread keeps many files in flight and hands their opens and
// reads to the kernel a batch at a time, at far less processor time a file
// than threads that each wait in their own reads. Each file comes out as a
// stream whose two blocks already hold what was read. Only a help: a file it
// could not open is opened again by whoever parses it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/DOVFileStream.h"
#include "engine/IoRing.h"

namespace dov {

class TRingFetcher {
 public:
  // Reports a file done: its stream, or null when it could not be opened.
  using TDone = std::function<void(int place, std::unique_ptr<TDOVFileStream> stream)>;

  // At most files files in flight at once.
  explicit TRingFetcher(unsigned files);
  ~TRingFetcher();
  TRingFetcher(const TRingFetcher&) = delete;
  TRingFetcher& operator=(const TRingFetcher&) = delete;

  // False where the kernel gives no io_uring.
  bool Valid() const { return ring_.Valid(); }
  unsigned InFlight() const { return static_cast<unsigned>(files_.size() - free_.size()); }
  size_t FreePlaces() const { return free_.size(); }
  // Starts the file in a free place, which it returns (one must be free).
  int Start(std::string nativePath);
  // Hands what is queued to the kernel and reports each file finished; then,
  // when wait and files are still in flight, waits for one more outcome.
  // False when the ring failed.
  bool Step(bool wait, const TDone& done);

 private:
  struct TFile {
    int Pending = 0;  // operations in flight
    std::string Path;
    std::unique_ptr<TDOVFileStream> Stream;
    int64_t TailStart = 0;
  };
  void Opened(int place, TFile& file, int result, const TDone& done);
  void Finish(int place, TFile& file, const TDone& done);
  void Reaped(uint64_t tag, int result, const TDone& done);

  TIoRing ring_;
  std::vector<TFile> files_;
  std::vector<int> free_;       // the places free
  std::vector<int> notQueued_;  // started, but the ring had no room
  bool draining_ = false;
};

}  // namespace dov
