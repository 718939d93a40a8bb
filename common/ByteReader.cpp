#include "common/ByteReader.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace dov {

const unsigned char* TByteView::Need(size_t count) {
  if (count > Remaining()) throw ETruncated();
  const unsigned char* p = Bytes(data_) + pos_;
  pos_ += count;
  return p;
}

void TByteView::Seek(size_t pos) {
  if (pos > data_.size()) throw ETruncated();
  pos_ = pos;
}

void TByteView::Skip(size_t count) {
  Need(count);
}
uint8_t TByteView::U8() {
  return *Need(1);
}
uint16_t TByteView::U16LE() {
  return LoadU16LE(Need(2));
}
uint16_t TByteView::U16BE() {
  return LoadU16BE(Need(2));
}
uint32_t TByteView::U32LE() {
  return LoadU32LE(Need(4));
}
uint32_t TByteView::U32BE() {
  return LoadU32BE(Need(4));
}
uint64_t TByteView::U64LE() {
  return LoadU64LE(Need(8));
}
uint64_t TByteView::U64BE() {
  return LoadU64BE(Need(8));
}

std::string_view TByteView::Take(size_t count) {
  const unsigned char* p = Need(count);
  return std::string_view(reinterpret_cast<const char*>(p), count);
}

bool TByteView::Consume(std::string_view magic) {
  if (Rest().substr(0, magic.size()) != magic) return false;
  pos_ += magic.size();
  return true;
}

std::string_view TStreamWindow::Peek(size_t want) {
  size_t available = held_.size() - pos_;
  if (available < want && !ended_) {
    held_.erase(0, pos_);
    pos_ = 0;
    size_t request = want - available > chunk_ ? want - available : chunk_;
    // Read in place: the window's buffer is kept from one chunk to the next.
    const uint64_t remaining = static_cast<uint64_t>(in_.Remaining());
    const size_t asked = request < remaining ? request : static_cast<size_t>(remaining);
    held_.resize(available + asked);
    size_t got = 0;
    try {
      got = in_.ReadInto(held_.data() + available, asked);
    } catch (...) {
      held_.resize(available);  // a failed read adds nothing, as before
      throw;
    }
    held_.resize(available + got);
    ended_ = got < request;
  }
  return std::string_view(held_).substr(pos_);
}

void TStreamWindow::Advance(size_t count) {
  if (count > held_.size() - pos_) throw ETruncated();
  pos_ += count;
}

void TStreamWindow::Skip(uint64_t count) {
  size_t available = held_.size() - pos_;
  if (count <= available) {
    pos_ += static_cast<size_t>(count);
    return;
  }
  uint64_t beyond = count - available;
  if (beyond > static_cast<uint64_t>(in_.Remaining())) throw ETruncated();
  in_.Skip(static_cast<int64_t>(beyond));
  held_.clear();
  pos_ = 0;
}

uint64_t TStreamWindow::MaxRemaining() const {
  return (held_.size() - pos_) + static_cast<uint64_t>(in_.Remaining());
}

int64_t TByteReader::Remaining() const {
  int64_t size = stream_.Size(), pos = stream_.Position();
  return pos >= size ? 0 : size - pos;
}

void TByteReader::ReadExact(void* buffer, size_t count) {
  if (stream_.Read(buffer, count) != count) throw ETruncated();
}

uint8_t TByteReader::U8() {
  unsigned char b[1];
  ReadExact(b, 1);
  return b[0];
}

uint16_t TByteReader::U16LE() {
  unsigned char b[2];
  ReadExact(b, 2);
  return LoadU16LE(b);
}

uint16_t TByteReader::U16BE() {
  unsigned char b[2];
  ReadExact(b, 2);
  return LoadU16BE(b);
}

uint32_t TByteReader::U32LE() {
  unsigned char b[4];
  ReadExact(b, 4);
  return LoadU32LE(b);
}

uint32_t TByteReader::U32BE() {
  unsigned char b[4];
  ReadExact(b, 4);
  return LoadU32BE(b);
}

uint64_t TByteReader::U64LE() {
  unsigned char b[8];
  ReadExact(b, 8);
  return LoadU64LE(b);
}

uint64_t TByteReader::U64BE() {
  unsigned char b[8];
  ReadExact(b, 8);
  return LoadU64BE(b);
}

std::string TByteReader::Take(uint64_t count) {
  if (count > static_cast<uint64_t>(Remaining())) throw ETruncated();
  std::string bytes(static_cast<size_t>(count), '\0');
  ReadExact(bytes.data(), bytes.size());
  return bytes;
}

std::string TByteReader::TakeUpTo(uint64_t count) {
  uint64_t remaining = static_cast<uint64_t>(Remaining());
  std::string bytes(static_cast<size_t>(count < remaining ? count : remaining), '\0');
  bytes.resize(stream_.Read(bytes.data(), bytes.size()));
  return bytes;
}

bool TByteReader::Consume(std::string_view magic) {
  int64_t start = Position();
  std::string got = TakeUpTo(magic.size());
  if (got == magic) return true;
  Seek(start);
  return false;
}

uint64_t TByteRange::Remaining() const {
  const int64_t pos = Position();
  return pos < begin_ || pos >= end_ ? 0 : static_cast<uint64_t>(end_ - pos);
}

void TByteRange::Seek(int64_t pos) {
  if (pos < begin_ || pos > end_) throw ETruncated();
  reader_.Seek(pos);
}

void TByteRange::Skip(uint64_t count) {
  Need(count);
  reader_.Skip(static_cast<int64_t>(count));
}

uint8_t TByteRange::U8() {
  Need(1);
  return reader_.U8();
}

uint16_t TByteRange::U16LE() {
  Need(2);
  return reader_.U16LE();
}

uint32_t TByteRange::U32LE() {
  Need(4);
  return reader_.U32LE();
}

uint64_t TByteRange::U64LE() {
  Need(8);
  return reader_.U64LE();
}

std::string TByteRange::Take(uint64_t count) {
  Need(count);
  return reader_.Take(count);
}

std::string TByteRange::TakeUpTo(uint64_t count) {
  const uint64_t remaining = Remaining();
  return reader_.TakeUpTo(count < remaining ? count : remaining);
}

void TByteRange::ReadExact(void* buffer, size_t count) {
  Need(count);
  reader_.ReadExact(buffer, count);
}

int64_t TByteRange::Find(char value) {
  constexpr uint64_t kPiece = 256;
  while (Remaining() > 0) {
    const int64_t at = Position();
    const std::string piece = TakeUpTo(kPiece);
    if (piece.empty()) break;  // the stream ends inside the part
    const size_t hit = piece.find(value);
    if (hit != std::string::npos) return at + static_cast<int64_t>(hit);
  }
  return end_;
}

std::string_view TByteWindow::Held(bool sequential) {
  if (start_ >= 0 && pos_ >= start_ && pos_ - start_ < static_cast<int64_t>(length_))
    return std::string_view(bytes_).substr(static_cast<size_t>(pos_ - start_),
                                           length_ - static_cast<size_t>(pos_ - start_));
  const int64_t size = stream_.Size();
  if (pos_ < 0 || pos_ >= size) return {};
  const bool continues =
      sequential && start_ >= 0 && pos_ - start_ == static_cast<int64_t>(length_);
  const size_t want = continues ? nextSize_ : firstSize_;
  // No window larger than the stream.
  const size_t fill = static_cast<uint64_t>(size) < want ? static_cast<size_t>(size) : want;
  if (bytes_.size() < fill) bytes_.resize(fill);
  start_ = -1;
  stream_.Seek(pos_);
  length_ = stream_.Read(bytes_.data(), fill);
  start_ = pos_;
  return std::string_view(bytes_.data(), length_);
}

size_t TByteWindow::Read(unsigned char* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    const std::string_view held = Held(false);
    if (held.empty()) break;
    const size_t n = std::min(count - done, held.size());
    std::memcpy(out + done, held.data(), n);
    done += n;
    pos_ += static_cast<int64_t>(n);
  }
  return done;
}

bool TByteWindow::Next(unsigned char& byte) {
  const std::string_view held = Held(true);
  if (held.empty()) return false;
  byte = static_cast<unsigned char>(held[0]);
  ++pos_;
  return true;
}

int64_t TByteWindow::Find(std::string_view needle, uint64_t count) {
  if (needle.empty()) return pos_;
  const int64_t end = count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - pos_)
                          ? std::numeric_limits<int64_t>::max()
                          : pos_ + static_cast<int64_t>(count);
  // The last bytes before the held ones, for a needle across two windows.
  std::string seam;
  while (pos_ < end) {
    std::string_view held = Held(true);
    if (held.empty()) break;
    if (static_cast<uint64_t>(end - pos_) < held.size())
      held = held.substr(0, static_cast<size_t>(end - pos_));
    if (!seam.empty()) {
      const std::string joined = seam + std::string(held.substr(0, needle.size() - 1));
      if (const size_t hit = joined.find(needle); hit != std::string::npos)
        return pos_ - static_cast<int64_t>(seam.size()) + static_cast<int64_t>(hit);
    }
    if (const size_t hit = held.find(needle); hit != std::string_view::npos)
      return pos_ + static_cast<int64_t>(hit);
    seam += held.substr(held.size() - std::min(held.size(), needle.size() - 1));
    seam.erase(0, seam.size() - std::min(seam.size(), needle.size() - 1));
    pos_ += static_cast<int64_t>(held.size());
  }
  return -1;
}

}  // namespace dov
