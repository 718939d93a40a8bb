#include "tags/APETag.h"

#include <algorithm>
#include <cerrno>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"

namespace dov {

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

// A raw item's value as marked text, made when it is first asked for.
void MarkNow(TAPEItem& item) {
  if (!item.MarkPending) return;
  item.Value = MarkValue(item.Value);
  item.ValueSize = static_cast<uint32_t>(item.Value.size());
  item.MarkPending = false;
}

// Raw values larger than this are read only when asked for.
constexpr uint64_t kLargeRawValue = 4096;

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

  areaStart_ = fileSize_ - tagSize - (hasID3v1_ ? static_cast<int64_t>(kID3v1Size) : 0);
  // Only the start of a huge area is looked at; the items that lie in it count.
  const uint64_t areaSize =
      tagSize > static_cast<int64_t>(kFooterSize)
          ? std::min<uint64_t>(static_cast<uint64_t>(tagSize) - kFooterSize, kMaxTagBytes)
          : 0;
  items_.assign(itemCount, TAPEItem{});
  // The area is read a part at a time: the parse never needs all of it at
  // once, and a large value it passes over is not read.
  TByteRange area(in, areaStart_, areaStart_ + static_cast<int64_t>(areaSize));
  count_ = ParseItems(area, static_cast<int>(itemCount));
  items_.resize(static_cast<size_t>(count_));
}

// Each item: value size (32-bit), flags (32-bit), the key up to its zero
// byte, then the value. Reads that come up short (the file shrank) end the
// parse as a damaged item does.
int TAPETags::ParseItems(TByteRange& area, int declared) {
  constexpr uint64_t kItemHeaderSize = 8;
  int64_t at = area.Begin();  // the next item's header
  for (int i = 0; i < declared; ++i) {
    area.Seek(at);
    // The header and at least one byte of key.
    if (!area.Holds(kItemHeaderSize + 1)) return i;
    const std::string header = area.TakeUpTo(kItemHeaderSize);
    if (header.size() < kItemHeaderSize) return i;
    const uint64_t size = LoadU32LE(Bytes(header));
    if (!area.Holds(size + 1)) return i;  // the value after a zero byte at the least
    TAPEItem& item = items_[static_cast<size_t>(i)];
    item.FlagsLow = static_cast<uint8_t>(header[4]);
    item.FlagsHigh = static_cast<uint8_t>(header[7]);
    const int64_t keyStart = area.Position();
    const int64_t zero = area.Find('\0');
    if (zero >= area.End()) return i;
    area.Seek(zero + 1);
    if (!area.Holds(size)) return i;  // the value must fit after the key
    at = zero + 1 + static_cast<int64_t>(size);
    area.Seek(keyStart);
    std::string name = area.TakeUpTo(static_cast<uint64_t>(zero - keyStart));
    if (name.empty()) continue;  // an empty entry that still counts as an item
    item.Name = std::move(name);
    item.ValuePos = static_cast<uint32_t>(zero + 1 - area.Begin());  // 1-based: the zero byte
    item.ValueSize = static_cast<uint32_t>(size);
    if (IsRawItem(item) && size > kLargeRawValue) {
      item.ValueUnread = true;  // read and marked when asked for
      continue;
    }
    area.Seek(zero + 1);
    item.Value = area.TakeUpTo(size);
    SettleValue(item);
  }
  return declared;
}

// What the store holds of a value read from the file: text items cleaned,
// and either kind, unless flagged as not to be converted, marked text.
void TAPETags::SettleValue(TAPEItem& item) {
  if (!IsRawItem(item)) {
    if (item.Name == "Comment")
      std::replace(item.Value.begin(), item.Value.end(), '\0', '\n');
    else
      item.Value = CleanValue(JoinListValues(item.Value));
    item.ValueSize = static_cast<uint32_t>(item.Value.size());
  }
  if (item.FlagsHigh != 2 && HasHighBytes(item.Value)) {
    item.MarkPending = true;
    if (!IsRawItem(item)) MarkNow(item);
  }
}

// A large raw value is read from the file (at the position the parse found)
// and marked only when asked for: most (pictures of a megabyte) never are.
void TAPETags::ReadNow(TAPEItem& item) const {
  if (!item.ValueUnread) return;
  item.ValueUnread = false;
  const uint32_t declared = item.ValueSize;
  try {
    TByteReader in(*stream_);
    const int64_t value = areaStart_ + item.ValuePos;
    TByteRange area(in, value, value + declared);
    area.Seek(value);
    item.Value = area.TakeUpTo(declared);
  } catch (const std::exception&) {
    item.Value.clear();  // the file went away meanwhile
  }
  SettleValue(item);
  MarkNow(item);
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

std::vector<TAPEItem> TAPETags::Items() const {
  std::vector<TAPEItem> items(items_.begin(), items_.begin() + count_);
  for (TAPEItem& item : items) {
    ReadNow(item);
    MarkNow(item);
  }
  return items;
}

std::string TAPETags::GetValue(std::string_view name) const {
  int i = FindField(name);
  if (i < 0 || i > kMaxItems) return std::string();
  TAPEItem item = items_[static_cast<size_t>(i)];
  ReadNow(item);
  MarkNow(item);
  return item.Value;
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
    ReadNow(items_[static_cast<size_t>(i)]);
    MarkNow(items_[static_cast<size_t>(i)]);
    const std::string& current = items_[static_cast<size_t>(i)].Value;
    if (current == value || current == CleanValue(value)) return;
  }
  TAPEItem& item = items_[static_cast<size_t>(i)];
  item.Name = std::string(name);
  item.Value = std::string(value);
  item.MarkPending = false;
  item.ValueUnread = false;
}

void TAPETags::SetInteger(std::string_view name, int32_t value) {
  SetValue(name, std::to_string(value));
}

}  // namespace dov
