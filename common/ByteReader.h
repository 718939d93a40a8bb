// The one bounded reader every parser goes through. Lengths taken from a file
// are checked against what is left before anything is read or allocated;
// checks are written as subtractions so a hostile offset cannot overflow.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

// A read that needed more bytes than the data holds.
class ETruncated : public EReadError {
 public:
  ETruncated() : EReadError("Unexpected end of data") {}
};

// Byte-order helpers over raw bytes; p must hold the bytes read.
inline uint16_t LoadU16LE(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint16_t LoadU16BE(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t LoadU32LE(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint32_t LoadU32BE(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint64_t LoadU64LE(const unsigned char* p) {
  return uint64_t{LoadU32LE(p)} | uint64_t{LoadU32LE(p + 4)} << 32;
}
inline uint64_t LoadU64BE(const unsigned char* p) {
  return uint64_t{LoadU32BE(p)} << 32 | uint64_t{LoadU32BE(p + 4)};
}
// The ID3v2 sync-safe integer: 7 bits per byte, most significant first.
inline uint32_t LoadSyncSafe(const unsigned char* p) {
  return uint32_t{p[0] & 0x7Fu} << 21 | uint32_t{p[1] & 0x7Fu} << 14 | uint32_t{p[2] & 0x7Fu} << 7 |
         uint32_t{p[3] & 0x7Fu};
}
inline const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Fields read one after another from bytes in memory.
class TByteView {
 public:
  explicit TByteView(std::string_view data) : data_(data) {}

  size_t Size() const { return data_.size(); }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return data_.size() - pos_; }
  std::string_view Rest() const { return data_.substr(pos_); }
  // Moves to pos; past the end raises ETruncated.
  void Seek(size_t pos);
  void Skip(size_t count);

  uint8_t U8();
  uint16_t U16LE();
  uint16_t U16BE();
  uint32_t U32LE();
  uint32_t U32BE();
  uint64_t U64LE();
  uint64_t U64BE();
  // The next count bytes; raises ETruncated when fewer remain.
  std::string_view Take(size_t count);
  // True (and moves past them) when the next bytes are magic.
  bool Consume(std::string_view magic);

 private:
  const unsigned char* Need(size_t count);
  std::string_view data_;
  size_t pos_ = 0;
};

class TByteReader;

// Bytes of a stream read ahead in chunks and looked at in place before they
// are consumed, for parsers that must see what comes before deciding how much
// of it to take. Every count is checked against what the window and the
// stream still hold.
class TStreamWindow {
 public:
  static constexpr size_t kDefaultChunk = 4096;
  explicit TStreamWindow(TByteReader& in, size_t chunk = kDefaultChunk) : in_(in), chunk_(chunk) {}

  // The bytes at the cursor: at least want of them, fewer only where the
  // stream ends. Nothing is consumed.
  std::string_view Peek(size_t want);
  // Moves the cursor past count bytes that Peek showed; more raises ETruncated.
  void Advance(size_t count);
  // Moves past count bytes without reading those the window does not hold
  // yet; raises ETruncated, before moving, when the stream cannot hold them.
  void Skip(uint64_t count);
  // The bytes still to come: those held and those the stream has left.
  uint64_t MaxRemaining() const;
  // True once a read came up short: Peek returns all there is.
  bool Ended() const { return ended_; }

 private:
  TByteReader& in_;
  size_t chunk_;
  std::string held_;
  size_t pos_ = 0;
  bool ended_ = false;
};

// Fields read one after another from a stream, bounded by its size.
class TByteReader {
 public:
  explicit TByteReader(TStream& stream) : stream_(stream) {}

  int64_t Size() const { return stream_.Size(); }
  int64_t Position() const { return stream_.Position(); }
  // Bytes from the position to the end; 0 when the position is past the end.
  int64_t Remaining() const;
  // Any position at or after 0; reads past the end come up short.
  void Seek(int64_t pos) { stream_.Seek(pos); }
  void Skip(int64_t count) { stream_.Seek(count, SeekOrigin::Current); }

  uint8_t U8();
  uint16_t U16LE();
  uint16_t U16BE();
  uint32_t U32LE();
  uint32_t U32BE();
  uint64_t U64LE();
  uint64_t U64BE();
  // Exactly count bytes; raises ETruncated, before allocating, when the
  // stream cannot hold them.
  std::string Take(uint64_t count);
  // Up to count bytes: fewer at the end of the stream.
  std::string TakeUpTo(uint64_t count);
  // Reads up to count bytes into buffer and returns how many came; the rest of
  // the buffer keeps what it held.
  size_t ReadInto(void* buffer, size_t count) { return stream_.Read(buffer, count); }
  // Exactly count bytes into buffer, or ETruncated.
  void ReadExact(void* buffer, size_t count);
  // True (and moves past them) when the next bytes are magic; otherwise the
  // position is where it was.
  bool Consume(std::string_view magic);

  TStream& Stream() { return stream_; }

 private:
  TStream& stream_;
};

// The size of a whole ID3v2 tag, its 10-byte header included, from the four
// size bytes of the header: b0·2^21 + b1·2^14 + b2·2^7 + b3 + 10, the bytes
// taken as they are, top bits included, so that every reader of the tag skips
// the same bytes.
inline int64_t LoadID3v2TagSize(const unsigned char* p) {
  return (int64_t{p[0]} << 21) + (int64_t{p[1]} << 14) + (int64_t{p[2]} << 7) + int64_t{p[3]} + 10;
}

// Reads of a stream held to the part [begin, end) of it, such as one object
// of a container: a read, skip or seek that would leave the part raises
// ETruncated before anything is read or allocated. A stream shorter than the
// part raises it too, as TByteReader does.
class TByteRange {
 public:
  // end below begin is taken as begin (an empty part).
  TByteRange(TByteReader& reader, int64_t begin, int64_t end)
      : reader_(reader), begin_(begin), end_(end < begin ? begin : end) {}

  int64_t Begin() const { return begin_; }
  int64_t End() const { return end_; }
  int64_t Position() const { return reader_.Position(); }
  // Bytes from the position to the end of the part; 0 outside it.
  uint64_t Remaining() const;
  // Whether count bytes lie between the position and the end of the part.
  bool Holds(uint64_t count) const { return count <= Remaining(); }
  void Seek(int64_t pos);
  void Skip(uint64_t count);

  uint8_t U8();
  uint16_t U16LE();
  uint32_t U32LE();
  uint64_t U64LE();
  std::string Take(uint64_t count);
  // Up to count bytes, fewer at the end of the part or of the stream.
  std::string TakeUpTo(uint64_t count);
  void ReadExact(void* buffer, size_t count);
  // The offset of the first byte at or after the position that equals value,
  // or End() when the part (or the stream) holds none; reads in small pieces,
  // and leaves the position unspecified.
  int64_t Find(char value);

 private:
  void Need(uint64_t count) const {
    if (!Holds(count)) throw ETruncated();
  }
  TByteReader& reader_;
  int64_t begin_;
  int64_t end_;
};

// A stream read through a buffer of its bytes, with the stream's own rules: a
// read at the end comes up short and leaves the rest of the destination as it
// was, and the position may lie past the end. A read at a new place fills a
// small window; running off the end of one by single bytes or by a search
// fills a large one.
class TByteWindow {
 public:
  TByteWindow(TStream& stream, size_t firstSize, size_t nextSize)
      : stream_(stream), firstSize_(firstSize), nextSize_(nextSize) {}

  int64_t Position() const { return pos_; }
  void Seek(int64_t pos) { pos_ = pos; }
  // Up to count bytes into out; how many came.
  size_t Read(unsigned char* out, size_t count);
  // The next byte, or false at the end of the stream.
  bool Next(unsigned char& byte);
  // The position of the first place at or after the position where needle
  // lies wholly within the next count bytes; -1 when there is none. The
  // position is then past the bytes searched.
  int64_t Find(std::string_view needle, uint64_t count);

 private:
  // Bytes held from the position on; loads a window when there are none.
  std::string_view Held(bool sequential);
  TStream& stream_;
  size_t firstSize_;
  size_t nextSize_;
  std::string bytes_;
  int64_t start_ = -1;  // where the held bytes begin; -1 when none are held
  size_t length_ = 0;
  int64_t pos_ = 0;
};

}  // namespace dov
