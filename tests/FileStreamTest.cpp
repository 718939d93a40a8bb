#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "common/ByteReader.h"
#include "common/DOVFileStream.h"
#include "common/DOVTnt.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::TempDir;
using test::WriteFile;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(FileStream, CachedReadsMatchTheFileAnywhere) {
  TempDir dir;
  const std::string content = RandomBytes(100000, 1);
  WriteFile(dir / "f.bin", content);
  TDOVFileStream stream(dir / "f.bin", fmShareDenyNone);
  ASSERT_EQ(stream.Size(), 100000);
  std::mt19937 random(2);
  for (int i = 0; i < 5000; ++i) {
    int64_t at = random() % 100100;
    size_t count = random() % (i % 10 == 0 ? 20000 : 600);
    std::string got(count, '\0');
    stream.Seek(at);
    size_t n = stream.Read(got.data(), count);
    size_t expected = at >= 100000 ? 0 : std::min<size_t>(count, 100000 - static_cast<size_t>(at));
    ASSERT_EQ(n, expected) << "at " << at << " count " << count;
    ASSERT_EQ(got.substr(0, n), content.substr(std::min<size_t>(at, 100000), n));
    ASSERT_EQ(stream.Position(), at + static_cast<int64_t>(n));
  }
}

TEST(FileStream, SeekPastTheEndIsAllowedBeforeTheStartIsNot) {
  TMemoryStream stream("abc");
  EXPECT_EQ(stream.Seek(10), 10);
  char c;
  EXPECT_EQ(stream.Read(&c, 1), 0u);
  EXPECT_EQ(stream.Seek(-1, SeekOrigin::End), 2);
  EXPECT_THROW(stream.Seek(-4, SeekOrigin::End), EReadError);
  EXPECT_THROW(stream.ReadBuffer(&c, 2), EReadError);
}

TEST(FileStream, OpenErrorsNameTheFileAndTheReason) {
  TempDir dir;
  try {
    TDOVFileStream stream(dir / "missing.mp3", fmShareDenyNone);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + (dir / "missing.mp3") + "\". No such file or directory");
  }
  EXPECT_THROW(TDOVFileStream(dir.Path().string(), fmShareDenyNone), EFOpenError);
}

TEST(FileStream, FifoIsRefusedWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
  EXPECT_THROW(TDOVFileStream(dir / "pipe.mp3", fmShareDenyNone), EFOpenError);
  EXPECT_EQ(OpenWithRetry(dir / "pipe.mp3", 3, fmShareDenyNone), nullptr);
}

TEST(FileStream, OpensNamesWhoseBytesAreNotUtf8) {
  TempDir dir;
  const std::string native = dir / "\xE9t\xE9.mp3";
  WriteFile(native, "content");
  std::string marked = WideToMarked(NativeToWide(native));
  EXPECT_TRUE(MarkedFileExists(marked));
  TDOVFileStream stream(marked, fmShareDenyNone);
  EXPECT_EQ(stream.Size(), 7);
  EXPECT_FALSE(MarkedFileExists(WideToMarked(NativeToWide(dir.Path().string()))));
}

TEST(OpenWithRetry, MissingFileFailsAtOnceAndKeepsTheMessage) {
  TempDir dir;
  SetOpenRetryPauseMs(500);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenWithRetry(dir / "gone.mp3", 3, fmShareDenyNone), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_NE(LastOpenError().find("gone.mp3"), std::string::npos);
  EXPECT_EQ(OpenWithRetry(dir / "gone.mp3", 0, fmShareDenyNone), nullptr);
}

TEST(OpenWithRetry, ErrorsThatCanPassAreRetriedWithPauses) {
  TempDir dir;
  WriteFile(dir / "f.mp3", "x");
  const std::string path = dir / "f.mp3";
  // In a child without free descriptors every open fails with EMFILE.
  pid_t pid = ::fork();
  if (pid == 0) {
    SetOpenRetryPauseMs(100);
    // One open and one failed open beforehand: the sanitizers' type checks
    // need descriptors the first time they meet a type.
    TDOVFileStream(path, fmShareDenyNone);
    OpenWithRetry(path + ".missing", 1, fmShareDenyNone);
    rlimit limit{0, 0};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    auto start = std::chrono::steady_clock::now();
    bool opened = OpenWithRetry(path, 3, fmShareDenyNone) != nullptr;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    ::_exit(opened ? 1 : ms >= 200 && ms < 1000 ? 0 : 2);  // two pauses, no third
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ByteReader, RefusesLengthsTheStreamCannotHoldBeforeAllocating) {
  TMemoryStream stream(
      std::string("\x04\x00\x00\x00"
                  "abcd"
                  "\xFF\xFF\xFF\xFF",
                  12));
  TByteReader in(stream);
  EXPECT_EQ(in.Take(in.U32LE()), "abcd");
  uint32_t lying = in.U32LE();
  EXPECT_THROW(in.Take(lying), ETruncated);
  EXPECT_THROW(in.Take(uint64_t{1} << 62), ETruncated);
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_THROW(in.U8(), ETruncated);
  in.Seek(100);
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_EQ(in.TakeUpTo(5), "");
}

TEST(ByteReader, EndiannessAndShortReads) {
  TMemoryStream stream(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  TByteReader in(stream);
  EXPECT_EQ(in.U32BE(), 0x01020304u);
  EXPECT_EQ(in.U16LE(), 0x0605u);
  EXPECT_FALSE(in.Consume("xy"));
  EXPECT_EQ(in.Position(), 6);
  EXPECT_TRUE(in.Consume("\x07"));
  char buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(in.ReadInto(buffer, 4), 1u);
  EXPECT_EQ(std::string(buffer, 4),
            "\x08"
            "bcd");  // the rest keeps what it held
  in.Seek(0);
  EXPECT_EQ(in.U64LE(), 0x0807060504030201ull);
}

TEST(ByteView, NeverReadsPastItsBytes) {
  TByteView view(std::string_view("\x00\x00\x00\x10xyz", 7));
  EXPECT_EQ(view.U32BE(), 16u);
  EXPECT_THROW(view.Take(16), ETruncated);
  EXPECT_EQ(view.Take(3), "xyz");
  EXPECT_THROW(view.Skip(1), ETruncated);
  EXPECT_THROW(view.Seek(8), ETruncated);
  const unsigned char syncSafe[4] = {0x7F, 0x7F, 0x7F, 0x7F};
  EXPECT_EQ(LoadSyncSafe(syncSafe), 0x0FFFFFFFu);
}

}  // namespace
}  // namespace dov
