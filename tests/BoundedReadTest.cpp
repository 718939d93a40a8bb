// The bounded reads the parsers share: a part of a stream, a window over a
// stream, and the walk over an ASF header built on them.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/ByteReader.h"
#include "tags/ASFHeader.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::U16LE;
using test::U32LE;

std::string U64LE(uint64_t v) {
  return U32LE(static_cast<uint32_t>(v)) + U32LE(static_cast<uint32_t>(v >> 32));
}

std::string Digits(size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) s += static_cast<char>('0' + i % 10);
  return s;
}

// ---- TByteRange ---------------------------------------------------------------------

TEST(ByteRange, ReadsStayInsideThePart) {
  TMemoryStream stream(Digits(40));
  TByteReader reader(stream);
  TByteRange part(reader, 10, 20);
  part.Seek(10);
  EXPECT_EQ(part.Remaining(), 10u);
  EXPECT_EQ(part.Take(4), "0123");
  EXPECT_TRUE(part.Holds(6));
  EXPECT_FALSE(part.Holds(7));
  EXPECT_THROW(part.Take(7), ETruncated);
  EXPECT_EQ(part.Position(), 14);  // a refused read moves nothing
  EXPECT_EQ(part.TakeUpTo(100), "456789");
  EXPECT_EQ(part.Remaining(), 0u);
  EXPECT_THROW(part.U8(), ETruncated);
  EXPECT_THROW(part.Skip(1), ETruncated);
  part.Seek(20);  // the end itself is a place
  EXPECT_THROW(part.Seek(21), ETruncated);
  EXPECT_THROW(part.Seek(9), ETruncated);
  // Outside the part nothing remains.
  reader.Seek(30);
  EXPECT_EQ(part.Remaining(), 0u);
  reader.Seek(5);
  EXPECT_EQ(part.Remaining(), 0u);
}

TEST(ByteRange, LengthsThatCannotFitAreRefusedBeforeAnythingIsAllocated) {
  TMemoryStream stream(Digits(64));
  TByteReader reader(stream);
  TByteRange part(reader, 0, 64);
  for (uint64_t huge : {uint64_t{65}, uint64_t{1} << 40, ~uint64_t{0}}) {
    part.Seek(0);
    EXPECT_THROW(part.Take(huge), ETruncated) << huge;
    EXPECT_THROW(part.Skip(huge), ETruncated) << huge;
  }
  // A part larger than the stream: the stream's end still holds.
  TByteRange beyond(reader, 60, 1000);
  beyond.Seek(60);
  EXPECT_THROW(beyond.U64LE(), ETruncated);
  EXPECT_EQ(TByteRange(reader, 50, 40).End(), 50);  // an end before the start: empty
}

TEST(ByteRange, FindsAByteAcrossPiecesOrGivesTheEnd) {
  std::string bytes(1000, 'a');
  bytes[700] = '\0';
  TMemoryStream stream(bytes);
  TByteReader reader(stream);
  TByteRange whole(reader, 0, 1000);
  whole.Seek(3);
  EXPECT_EQ(whole.Find('\0'), 700);
  TByteRange before(reader, 0, 700);
  before.Seek(0);
  EXPECT_EQ(before.Find('\0'), 700);  // none inside: the end
  TByteRange past(reader, 900, 5000);
  past.Seek(900);
  EXPECT_EQ(past.Find('\0'), 5000);  // the stream ends first
}

// ---- TByteWindow --------------------------------------------------------------------

TEST(ByteWindow, ReadsLikeTheStreamItself) {
  const std::string bytes = Digits(100);
  TMemoryStream stream(bytes);
  TByteWindow window(stream, 8, 32);
  unsigned char out[20];
  std::fill(std::begin(out), std::end(out), 'x');
  window.Seek(90);
  EXPECT_EQ(window.Read(out, 20), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 11), "0123456789x");
  EXPECT_EQ(window.Position(), 100);
  unsigned char byte = 0;
  EXPECT_FALSE(window.Next(byte));
  window.Seek(-4);
  EXPECT_EQ(window.Read(out, 4), 0u);
  window.Seek(5);
  EXPECT_EQ(window.Read(out, 20), 20u);  // across several windows
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 20), bytes.substr(5, 20));
  std::string walked;
  window.Seek(0);
  while (window.Next(byte)) walked += static_cast<char>(byte);
  EXPECT_EQ(walked, bytes);
}

TEST(ByteWindow, FindsANeedleWhollyInsideTheBytesSearched) {
  // The needle at every place around the windows' seams and the limit.
  const std::string needle = "ABCDEFGH";
  for (size_t at = 0; at + needle.size() <= 120; ++at) {
    std::string bytes(120, '.');
    bytes.replace(at, needle.size(), needle);
    bytes.replace(0, std::min<size_t>(at, 7), needle.substr(0, std::min<size_t>(at, 7)));
    TMemoryStream stream(bytes);
    for (uint64_t count : {uint64_t{200}, uint64_t{at + 8}, uint64_t{at + 7}}) {
      TByteWindow window(stream, 16, 24);
      window.Seek(0);
      const int64_t expected = at + needle.size() <= count ? static_cast<int64_t>(at) : -1;
      EXPECT_EQ(window.Find(needle, count), expected) << "at " << at << ", count " << count;
    }
  }
  TMemoryStream stream(std::string(50, 'x'));
  TByteWindow window(stream, 16, 16);
  window.Seek(10);
  EXPECT_EQ(window.Find("xx", ~uint64_t{0}), 10);
  EXPECT_EQ(window.Find("y", ~uint64_t{0}), -1);
}

TEST(ID3v2TagSize, KeepsTheTopBitsOfTheSizeBytes) {
  const unsigned char plain[] = {0x00, 0x00, 0x02, 0x01};
  EXPECT_EQ(LoadID3v2TagSize(plain), 257 + 10);
  // Each byte weighs 2^21, 2^14, 2^7 and 1, its top bit too: the bytes add up
  // rather than overlap.
  const unsigned char top[] = {0x80, 0x80, 0x80, 0x80};
  EXPECT_EQ(LoadID3v2TagSize(top), (int64_t{128} << 21) + (128 << 14) + (128 << 7) + 128 + 10);
}

// ---- The ASF header walk ------------------------------------------------------------------

// An object of the given body; declared, when not 0, stands for its size.
std::string Object(char tag, std::string_view body, uint64_t declared = 0) {
  std::string guid(16, tag);
  const uint64_t size = declared == 0 ? 24 + body.size() : declared;
  return guid + U64LE(size) + std::string(body);
}

std::string Header(const std::string& objects, uint32_t count, int64_t declared = -1) {
  const uint64_t size = declared < 0 ? 30 + objects.size() : static_cast<uint64_t>(declared);
  return std::string(GuidBytes(kASFHeaderObject)) + U64LE(size) + U32LE(count) + "\x01\x02" +
         objects;
}

// The objects visited: their first GUID byte, and what each read before it
// stopped (a 16-bit length, then that many bytes).
std::vector<std::string> Walk(const std::string& bytes) {
  TMemoryStream stream(bytes);
  TByteReader reader(stream);
  TASFHeader header;
  std::vector<std::string> seen;
  if (!ReadASFHeader(reader, header)) return {"not ASF"};
  WalkASFHeader(reader, header, [&seen](std::string_view guid, TByteRange& object) {
    seen.push_back(std::string(1, guid[0]));
    const uint16_t length = object.U16LE();
    seen.back() += ":" + object.Take(length);
  });
  return seen;
}

using Seen = std::vector<std::string>;

TEST(ASFHeaderWalk, VisitsTheCountedObjectsInOrder) {
  const std::string a = Object('a', U16LE(2) + "hi"), b = Object('b', U16LE(3) + "you");
  EXPECT_EQ(Walk(Header(a + b, 2) + "data"), (Seen{"a:hi", "b:you"}));
  EXPECT_EQ(Walk(Header(a + b, 1)), (Seen{"a:hi"}));
  // A count far above the objects ends with the header.
  EXPECT_EQ(Walk(Header(a + b, 0xFFFFFFFF)), (Seen{"a:hi", "b:you"}));
  EXPECT_EQ(Walk("\x31" + Header(a, 1).substr(1)), (Seen{"not ASF"}));
}

TEST(ASFHeaderWalk, LyingSizesEndTheObjectOrTheWalk) {
  const std::string b = Object('b', U16LE(1) + "z");
  const struct {
    const char* what;
    std::string bytes;
    Seen seen;
  } rows[] = {
      // A length inside the object running past its end: that object ends,
      // the next is still read.
      {"length past the object", Header(Object('a', U16LE(50) + "short") + b, 2), {"a", "b:z"}},
      // An object smaller than its own header, or beyond the header: the walk ends.
      {"object below its header", Header(Object('a', "", 23) + b, 2), {}},
      {"object past the header", Header(Object('a', U16LE(1) + "x", 200) + b, 2), {}},
      {"object of 2^64 - 1 bytes", Header(Object('a', "", ~uint64_t{0}) + b, 2), {}},
      // A header size that cannot be right: the file's end bounds the objects.
      {"header size beyond the file",
       Header(Object('a', U16LE(1) + "x") + b, 2, 1 << 30),
       {"a:x", "b:z"}},
      {"header size below its own", Header(Object('a', U16LE(1) + "x"), 1, 3), {"a:x"}},
      // The stream ends inside the next object's header.
      {"cut inside an object header", Header(b, 2) + std::string(10, 'c'), {"b:z"}},
  };
  for (const auto& row : rows) EXPECT_EQ(Walk(row.bytes), row.seen) << row.what;
}

}  // namespace
}  // namespace dov
