#include "common/ByteReader.h"

#include <cstring>

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
    std::string more = in_.TakeUpTo(request);
    ended_ = more.size() < request;
    held_ += more;
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

}  // namespace dov
