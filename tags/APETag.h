// The tag store of one audio file: an ordered list of name/value fields, read
// from an APEv2 tag at the end of the file or imported from the file's own
// container tags. The store owns the open file and lends it to the readers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

class TByteRange;
class TByteReader;
enum class TTagMapping : uint8_t;
struct TContainerTags;

struct TAPEItem {
  std::string Name;
  std::string Value;
  uint32_t ValuePos = 0;   // 1-based position of the key's zero byte in the item area
  uint32_t ValueSize = 0;  // declared size (raw items) or stored length (text items)
  uint8_t FlagsLow = 0;
  uint8_t FlagsHigh = 0;
  // Within the store only: Value still holds the stored bytes of a raw item
  // (a cover, say) that become marked text when first asked for.
  bool MarkPending = false;
  // Within the store only: a large raw value not read yet (Value is empty).
  bool ValueUnread = false;
};

// Whether an item read from an APE tag holds bytes rather than text: its type
// is binary or link, its high flag byte is unknown, or its name begins with X.
bool IsRawItem(const TAPEItem& item);

// The only error the store raises.
class ETagError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TAPETags {
 public:
  static constexpr int kMaxItems = 127;
  static constexpr int64_t kMinFileSize = 160;
  static constexpr size_t kFooterSize = 32;
  static constexpr size_t kID3v1Size = 128;
  // No more of an item area than this is read, whatever the footer claims.
  static constexpr uint64_t kMaxTagBytes = 64 << 20;

  // Opens the file read-only (the given number of attempts) and reads its APE
  // tag. Never fails: an unreadable file gives an empty store.
  explicit TAPETags(std::string fileName, int8_t openAttempts = 3);
  // The same over a stream the caller already has (memory, tests).
  TAPETags(std::string fileName, std::unique_ptr<TStream> stream);

  bool HasAPETag() const { return hasAPETag_; }
  bool HasID3v1() const { return hasID3v1_; }
  bool Opened() const { return opened_; }
  // Why an existing file could not be opened (an errno value, such as
  // EACCES); 0 when it was opened or there is no file of that name.
  int OpenError() const { return openError_; }
  int Count() const { return count_; }
  int64_t FileSize() const { return fileSize_; }
  const std::string& FileName() const { return fileName_; }
  // The open file, lent to the readers; null when not opened.
  TStream* Stream() const { return opened_ ? stream_.get() : nullptr; }
  const std::array<unsigned char, 125>& ID3v1Body() const { return id3v1Body_; }
  // The valid items, in order.
  std::vector<TAPEItem> Items() const;

  int FindField(std::string_view name) const;
  std::string GetValue(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);
  void SetInteger(std::string_view name, int32_t value);

  // What an import fills: every field, or only those a file's name is made
  // of, the readers passing over the rest unread or unconverted (the play
  // length, which feeds only "Segue", is not worked out either).
  enum class TImportScope { AllFields, NameFields };
  // Fills the store from the file's own tags; defined with the mapping.
  void ImportContainerTags(TImportScope scope = TImportScope::AllFields);
  // Whether the file's own tags are to be imported: only when there is no APE
  // tag. An APE tag is the only source of fields, even one that holds no
  // usable item (as the tags of replay-gain tools that hold only their own).
  bool NeedsContainerTags() const;

  // The setters of the import (tags/TagImport.cpp); each ends in SetValue.
  // Trimmed, cleaned and cut to kMaxTextSize bytes; the text "0" stores nothing.
  void SetText(std::string_view name, std::string_view text);
  // "Year" from a number; two-digit years are completed against CurrentYear().
  void SetYear(std::string_view text);
  // A yyyy?mm?dd date stored as its day number, when valid.
  void SetDate(std::string_view name, std::string_view text);
  // "Tempo" 1..5 from a tempo word.
  void SetTempo(std::string_view text);
  // A whole beats-per-minute number 1..255 as text, else the empty text.
  static std::string NormalizeBPM(std::string_view text);
  // Days from 1899-12-30 to a yyyy?mm?dd date; 1 for an invalid date.
  static int32_t DateToDays(std::string_view text);
  // Maps what a reader delivered onto the field names; duration (ms, or 0 or
  // less when unknown) serves the WAV segue rule.
  void MapContainerTags(TTagMapping mapping, const TContainerTags& tags, int32_t duration);
  // The longest text SetText stores, in bytes.
  static constexpr size_t kMaxTextSize = 255;

  // A value as one line: it ends at a zero byte after text, line breaks
  // become 0x02 (LF) and 0x01 (CR), '"' becomes "'" and '|' becomes '-', and
  // other control bytes but 0x0C are dropped.
  static std::string CleanValue(std::string_view text);
  // The zero bytes between the values of a list item become commas; those at
  // its end stay.
  static std::string JoinListValues(std::string_view text);

 private:
  void AfterOpen();
  void ReadTag();
  bool ReadFooterAt(TByteReader& in, int64_t position);
  // Parses the item area; returns the number of well-formed items.
  int ParseItems(TByteRange& area, int declared);
  static void SettleValue(TAPEItem& item);
  void ReadNow(TAPEItem& item) const;

  std::string fileName_;
  std::unique_ptr<TStream> stream_;
  std::vector<TAPEItem> items_;
  std::array<unsigned char, 32> footer_{};
  std::array<unsigned char, 125> id3v1Body_{};
  int count_ = 0;
  int64_t fileSize_ = 0;
  int64_t areaStart_ = 0;
  bool opened_ = false;
  int openError_ = 0;
  bool hasAPETag_ = false;
  bool hasID3v1_ = false;
};

}  // namespace dov
