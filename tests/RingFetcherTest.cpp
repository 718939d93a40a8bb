#include "engine/RingFetcher.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::TempDir;
using test::WriteFile;

std::string Bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 97) & 0xFF);
  return bytes;
}

std::string ReadThrough(TStream& stream, int64_t offset, size_t count) {
  std::string out(count, '\0');
  stream.Seek(offset);
  out.resize(stream.Read(out.data(), count));
  return out;
}

// Runs every path through a fetcher with fewer places than paths.
std::map<std::string, std::unique_ptr<TDOVFileStream>> FetchAll(
    const std::vector<std::string>& paths) {
  TRingFetcher fetcher(3);
  std::map<std::string, std::unique_ptr<TDOVFileStream>> streams;
  std::map<int, std::string> inPlace;
  size_t next = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((next < paths.size() || fetcher.InFlight() > 0) &&
         std::chrono::steady_clock::now() < deadline) {
    while (next < paths.size() && fetcher.FreePlaces() > 0) {
      inPlace[fetcher.Start(paths[next])] = paths[next];
      ++next;
    }
    EXPECT_TRUE(fetcher.Step(true, [&](int place, std::unique_ptr<TDOVFileStream> stream) {
      streams[inPlace.at(place)] = std::move(stream);
    }));
  }
  EXPECT_EQ(streams.size(), paths.size()) << "a fetch never ended";
  return streams;
}

// Sizes about the blocks' edges: empty, within the head, a head and a tail
// apart, tail pages that overlap the head, and a file far larger.
TEST(RingFetcher, GivesStreamsThatReadAsTheFileDoes) {
  TempDir dir;
  if (!TRingFetcher(1).Valid()) GTEST_SKIP() << "the kernel gives no io_uring here";
  const std::vector<size_t> sizes = {0,     1,     159,   4096,  16383, 16384,
                                     16385, 20000, 24576, 28673, 40000, 100000};
  std::vector<std::string> paths;
  for (size_t size : sizes) {
    paths.push_back(dir / ("f" + std::to_string(size)));
    WriteFile(paths.back(), Bytes(size, static_cast<unsigned>(size)));
  }
  const std::map<std::string, std::unique_ptr<TDOVFileStream>> streams = FetchAll(paths);
  for (size_t i = 0; i < sizes.size(); ++i) {
    const size_t size = sizes[i];
    const std::string bytes = Bytes(size, static_cast<unsigned>(size));
    TDOVFileStream* stream = streams.count(paths[i]) ? streams.at(paths[i]).get() : nullptr;
    ASSERT_NE(stream, nullptr) << size;
    EXPECT_EQ(stream->Size(), static_cast<int64_t>(size));
    // Small reads across the blocks and the middle, and reads larger than a
    // block from inside either one.
    for (int64_t at : {int64_t{0}, int64_t{100}, int64_t{16380}, int64_t{16384},
                       static_cast<int64_t>(size) - 9000, static_cast<int64_t>(size) - 4100,
                       static_cast<int64_t>(size) - 32, static_cast<int64_t>(size) / 2})
      for (size_t count : {size_t{8}, size_t{128}, size_t{9000}, size_t{40000}}) {
        if (at < 0 || at > static_cast<int64_t>(size)) continue;
        const std::string want = bytes.substr(static_cast<size_t>(at), count);
        EXPECT_EQ(ReadThrough(*stream, at, count), want) << size << " at " << at << " +" << count;
      }
  }
}

// What was fetched is what the stream gives, even after the file changed:
// the head and the tail are read once, not again by the parse.
TEST(RingFetcher, FillsTheBlocksOnceWithTheHeadAndTheTail) {
  TempDir dir;
  if (!TRingFetcher(1).Valid()) GTEST_SKIP() << "the kernel gives no io_uring here";
  const std::string path = dir / "song.mp3";
  const std::string bytes = Bytes(50000, 3);
  WriteFile(path, bytes);
  auto streams = FetchAll({path});
  ASSERT_NE(streams[path], nullptr);
  WriteFile(path, std::string(bytes.size(), 'z'));
  TDOVFileStream& stream = *streams[path];
  EXPECT_EQ(ReadThrough(stream, 0, 16384), bytes.substr(0, 16384));
  EXPECT_EQ(ReadThrough(stream, 50000 - 128, 128), bytes.substr(50000 - 128));
  EXPECT_EQ(ReadThrough(stream, 30000, 10), std::string(10, 'z'));
}

// What is not a regular file gives no stream, and a FIFO without a writer
// does not hold the fetcher up.
TEST(RingFetcher, GivesNoStreamForWhatIsNoRegularFile) {
  TempDir dir;
  if (!TRingFetcher(1).Valid()) GTEST_SKIP() << "the kernel gives no io_uring here";
  const std::string fifo = dir / "pipe.mp3", folder = dir / "folder.mp3";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const auto streams = FetchAll({fifo, folder, dir / "missing.mp3", "/dev/null"});
  for (const auto& [path, stream] : streams) EXPECT_EQ(stream, nullptr) << path;
}

}  // namespace
}  // namespace dov
