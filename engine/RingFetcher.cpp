#include "engine/RingFetcher.h"

#include <fcntl.h>

#include <algorithm>
#include <utility>

namespace dov {
namespace {

constexpr uint64_t kPage = 4096;
// The tail read ahead starts at the page of the last 128 bytes (an ID3v1 tag
// there, an APEv2 footer before it), as the stream itself reads it: the disk
// reads no page more than before.
constexpr uint64_t kTailBytes = 128;

enum EKind : int { kOpen = 1, kHead, kTail };

uint64_t Tag(int place, int kind) {
  return static_cast<uint64_t>(place) << 2 | static_cast<uint64_t>(kind);
}

// The bytes a block read from start wants: to the end of the file, at most a
// block.
size_t Wanted(const TDOVFileStream& stream, int64_t start) {
  return static_cast<size_t>(std::min<int64_t>(stream.Size() - start, TDOVFileStream::kBlockSize));
}

}  // namespace

TRingFetcher::TRingFetcher(unsigned files) : ring_(2 * files), files_(files) {
  for (int place = static_cast<int>(files); place-- > 0;) free_.push_back(place);
}

TRingFetcher::~TRingFetcher() {
  draining_ = true;
  // The kernel writes into the streams' blocks until every read is done.
  while (InFlight() > 0)
    if (!Step(true, [](int, std::unique_ptr<TDOVFileStream>) {})) {
      // Never seen: a ring that fails with reads in flight. Their memory is
      // left to them rather than freed under them.
      (void)new std::vector<TFile>(std::move(files_));
      return;
    }
}

int TRingFetcher::Start(std::string nativePath) {
  const int place = free_.back();
  free_.pop_back();
  TFile& file = files_[static_cast<size_t>(place)];
  file.Path = std::move(nativePath);
  file.Pending = 1;
  // As the parse opens: a FIFO must not block, a terminal must not be taken.
  // The ring has room for two operations a file, so it is never full; were
  // it, the file would be reported at the next step, not opened.
  if (!ring_.OpenAt(file.Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                    Tag(place, kOpen)))
    notQueued_.push_back(place);
  return place;
}

// The head block from the start, and the tail block over the last page.
void TRingFetcher::Opened(int place, TFile& file, int result, const TDone& done) {
  int error = 0;
  if (result >= 0) file.Stream = TDOVFileStream::Adopt(result, error);
  if (file.Stream == nullptr || draining_) return Finish(place, file, done);
  const auto size = static_cast<uint64_t>(file.Stream->Size());
  constexpr uint64_t kBlock = TDOVFileStream::kBlockSize;
  file.Pending = 0;
  if (size == 0) return Finish(place, file, done);
  file.Pending +=
      ring_.ReadAt(file.Stream->Handle(), file.Stream->Preload(0),
                   static_cast<unsigned>(Wanted(*file.Stream, 0)), 0, Tag(place, kHead));
  if (size > kBlock) {
    file.TailStart = static_cast<int64_t>(std::max(kBlock, (size - kTailBytes) / kPage * kPage));
    file.Pending += ring_.ReadAt(file.Stream->Handle(), file.Stream->Preload(1),
                                 static_cast<unsigned>(Wanted(*file.Stream, file.TailStart)),
                                 static_cast<uint64_t>(file.TailStart), Tag(place, kTail));
  }
  if (file.Pending == 0) Finish(place, file, done);
}

void TRingFetcher::Finish(int place, TFile& file, const TDone& done) {
  free_.push_back(place);
  done(place, std::move(file.Stream));
}

bool TRingFetcher::Step(bool wait, const TDone& done) {
  for (int place : std::exchange(notQueued_, {}))
    Finish(place, files_[static_cast<size_t>(place)], done);
  const auto reap = [&](uint64_t tag, int result) { Reaped(tag, result, done); };
  // What the kernel does at once (an open or a read from the page cache) is
  // reaped at once, and the reads it queues go in the same step.
  do {
    if (!ring_.Submit(false)) return false;
  } while (ring_.Reap(reap) > 0 && ring_.Queued() > 0);
  if (!wait || InFlight() == 0) return true;
  if (!ring_.Submit(true)) return false;
  ring_.Reap(reap);
  return true;
}

void TRingFetcher::Reaped(uint64_t tag, int result, const TDone& done) {
  const auto place = static_cast<int>(tag >> 2);
  TFile& file = files_[static_cast<size_t>(place)];
  const auto kind = static_cast<int>(tag & 3);
  if (kind == kOpen) return Opened(place, file, result, done);
  // Only a whole read fills its block: a short one would pass for the end
  // of the file. A block left empty is read again by the parse.
  const int block = kind == kHead ? 0 : 1;
  const int64_t start = kind == kHead ? 0 : file.TailStart;
  if (result >= 0 && static_cast<size_t>(result) == Wanted(*file.Stream, start))
    file.Stream->Preloaded(block, start, static_cast<size_t>(result));
  if (--file.Pending == 0) Finish(place, file, done);
}

}  // namespace dov
