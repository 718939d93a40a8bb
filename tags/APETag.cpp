#include "tags/APETag.h"

#include <algorithm>
#include <cerrno>

#include "common/ByteReader.h"
#include "common/DOVTnt.h"

namespace dov {
namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

// Bits 1-2 of the flags give the item type (text, binary, link); bit 0 only
// marks the item read-only and leaves a text item text.
bool IsRawItem(const TAPEItem& item) {
  constexpr uint8_t kItemTypeBits = 0x06;
  return (item.FlagsLow & kItemTypeBits) != 0 || (item.FlagsHigh != 0 && item.FlagsHigh != 0x80) ||
         (!item.Name.empty() && (item.Name[0] == 'X' || item.Name[0] == 'x'));
}

namespace {

// Values with bytes of 0x80 or above become marked text: UTF-8 stays UTF-8,
// anything else is taken as code-page text.
std::string MarkValue(std::string_view value) {
  std::string_view t = IsUTF8Marked(value) ? value.substr(1) : value;
  std::string ansi = WideToAnsi(UTF8OrAnsiToWide(t));
  if (!ansi.empty() && ansi != t) return kUTF8Marker + std::string(t);
  return WideToMarked(AnsiToWide(t));
}

// Errors of an open that say there is no file of that name (or a folder):
// the existence test gives false for them too.
bool IsNoFileError(int error) {
  return error == ENOENT || error == ENOTDIR || error == EISDIR || error == ELOOP ||
         error == ENAMETOOLONG;
}

}  // namespace

TAPETags::TAPETags(std::string fileName, int8_t openAttempts) : fileName_(std::move(fileName)) {
  // Only an existing file is opened, with the given attempts. One plain open
  // answers both questions for almost every file; a name that is missing or a
  // folder leaves the store empty as the existence test did, and any other
  // failure takes the way of the test and the attempts (pauses, error text).
  if (openAttempts > 0) {
    int error = 0;
    stream_ = TDOVFileStream::TryOpen(fileName_, fmShareDenyNone, error);
    if (!stream_ && !IsNoFileError(error) && MarkedFileExists(fileName_))
      stream_ = OpenWithRetry(fileName_, openAttempts, fmShareDenyNone);
    if (!stream_ && !IsNoFileError(error)) openError_ = error;
  }
  AfterOpen();
}

TAPETags::TAPETags(std::string fileName, std::unique_ptr<TStream> stream)
    : fileName_(std::move(fileName)), stream_(std::move(stream)) {
  AfterOpen();
}

void TAPETags::AfterOpen() {
  opened_ = stream_ != nullptr;
  if (opened_) {
    fileSize_ = stream_->Size();
    if (fileSize_ < kMinFileSize) {
      stream_.reset();
      opened_ = false;
    }
  }
  try {
    ReadTag();
  } catch (const std::exception&) {
    // What was read until then stays.
  }
  if (!hasAPETag_) {
    items_.clear();
    count_ = 0;
  }
}

bool TAPETags::ReadFooterAt(TByteReader& in, int64_t position) {
  if (position < 0) return false;
  in.Seek(position);
  if (in.ReadInto(footer_.data(), footer_.size()) != footer_.size()) return false;
  return std::string_view(reinterpret_cast<const char*>(footer_.data()), 8) == "APETAGEX";
}

void TAPETags::ReadTag() {
  hasAPETag_ = false;
  if (!opened_) return;
  TByteReader in(*stream_);
  in.Seek(fileSize_ - static_cast<int64_t>(kID3v1Size));
  int64_t footerPos = fileSize_ - static_cast<int64_t>(kFooterSize);
  if (in.Consume("TAG")) {
    hasID3v1_ = in.ReadInto(id3v1Body_.data(), id3v1Body_.size()) == id3v1Body_.size();
    footerPos -= static_cast<int64_t>(kID3v1Size);
  }
  if (!ReadFooterAt(in, footerPos)) {
    // "TAG" may be the middle of an APE header's "APETAGEX" that happens to
    // start 131 bytes before the end: then the footer is at the very end.
    if (!hasID3v1_ || !ReadFooterAt(in, fileSize_ - static_cast<int64_t>(kFooterSize))) return;
    in.Seek(fileSize_ - static_cast<int64_t>(kID3v1Size) - 3);
    if (!in.Consume("APE")) return;
    hasID3v1_ = false;
  }

  uint32_t itemCount = std::min<uint32_t>(LoadU32LE(&footer_[16]), kMaxItems);
  int64_t tagSize = LoadU32LE(&footer_[12]);
  tagSize = std::min<int64_t>(tagSize, fileSize_ - static_cast<int64_t>(kID3v1Size));
  hasAPETag_ = true;

  int64_t areaStart = fileSize_ - tagSize - (hasID3v1_ ? static_cast<int64_t>(kID3v1Size) : 0);
  std::string area;
  if (tagSize > static_cast<int64_t>(kFooterSize)) {
    // Only the start of a huge area is read; the items that lie in it count.
    in.Seek(areaStart);
    area =
        in.TakeUpTo(std::min<uint64_t>(static_cast<uint64_t>(tagSize) - kFooterSize, kMaxTagBytes));
  }
  items_.assign(itemCount, TAPEItem{});
  count_ = ParseItems(area, static_cast<int>(itemCount));
  items_.resize(static_cast<size_t>(count_));
}

int TAPETags::ParseItems(std::string_view area, int declared) {
  const uint64_t len = area.size();
  uint64_t p = 1;  // 1-based cursor into the area
  for (int i = 0; i < declared; ++i) {
    if (len < p + 8) return i;
    const unsigned char* header = Bytes(area) + (p - 1);
    uint64_t size = LoadU32LE(header);
    if (p + size + 8 > len) return i;
    TAPEItem& item = items_[static_cast<size_t>(i)];
    item.FlagsLow = header[4];
    item.FlagsHigh = header[7];
    // The key runs from p + 8 to its zero byte at z; the value must fit after it.
    size_t keyStart = static_cast<size_t>(p + 7);  // 0-based
    size_t zero = area.find('\0', keyStart);
    if (zero == std::string_view::npos) return i;
    uint64_t z = zero + 1;  // 1-based
    if (z + size > len) return i;
    std::string_view name = area.substr(keyStart, zero - keyStart);
    p = z + size + 1;
    if (name.empty()) continue;  // an empty entry that still counts as an item
    item.Name = std::string(name);
    item.Value = std::string(area.substr(zero + 1, static_cast<size_t>(size)));
    item.ValuePos = static_cast<uint32_t>(z);
    if (IsRawItem(item)) {
      item.ValueSize = static_cast<uint32_t>(size);
    } else {
      if (item.Name == "Comment")
        std::replace(item.Value.begin(), item.Value.end(), '\0', '\n');
      else
        item.Value = CleanValue(JoinListValues(item.Value));
      item.ValueSize = static_cast<uint32_t>(item.Value.size());
    }
    if (item.FlagsHigh != 2 && HasHighBytes(item.Value)) {
      item.Value = MarkValue(item.Value);
      item.ValueSize = static_cast<uint32_t>(item.Value.size());
    }
  }
  return declared;
}

std::string TAPETags::JoinListValues(std::string_view text) {
  std::string result(text);
  size_t last = result.find_last_not_of('\0');
  if (last == std::string::npos) return result;
  std::replace(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(last), '\0', ',');
  return result;
}

std::string TAPETags::CleanValue(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\0':
        if (!result.empty()) return result;
        break;
      case '\n':
        result.push_back('\x02');
        break;
      case '\r':
        result.push_back('\x01');
        break;
      case '"':
        result.push_back('\'');
        break;
      case '|':
        result.push_back('-');
        break;
      case '\x0C':
        result.push_back(c);
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) result.push_back(c);
        break;  // other control bytes are dropped
    }
  }
  return result;
}

int TAPETags::FindField(std::string_view name) const {
  for (int i = 0; i < count_; ++i)
    if (EqualsIgnoringAsciiCase(items_[static_cast<size_t>(i)].Name, name)) return i;
  return -1;
}

std::string TAPETags::GetValue(std::string_view name) const {
  int i = FindField(name);
  if (i < 0 || i > kMaxItems) return std::string();
  return items_[static_cast<size_t>(i)].Value;
}

bool TAPETags::NeedsContainerTags() const {
  return !hasAPETag_;
}

void TAPETags::SetValue(std::string_view name, std::string_view value) {
  int i = FindField(name);
  if (i < 0) {
    if (value.empty() && !EqualsIgnoringAsciiCase(name, "title") &&
        !EqualsIgnoringAsciiCase(name, "artist"))
      return;
    if (name.size() < 2) throw ETagError("Tag Name must be 2 or more characters in length");
    items_.resize(static_cast<size_t>(count_));
    items_.emplace_back();
    i = count_++;
  } else {
    const std::string& current = items_[static_cast<size_t>(i)].Value;
    if (current == value || current == CleanValue(value)) return;
  }
  TAPEItem& item = items_[static_cast<size_t>(i)];
  item.Name = std::string(name);
  item.Value = std::string(value);
}

void TAPETags::SetInteger(std::string_view name, int32_t value) {
  SetValue(name, std::to_string(value));
}

}  // namespace dov
