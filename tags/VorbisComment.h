// The Vorbis comment list (vendor string, count, then NAME=value comments with
// 32-bit little-endian lengths), as FLAC and Ogg files carry it. The two
// containers differ in how names and values are trimmed, how the count is
// taken and how the lists grow; the rules say which.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dov {

// Each comment takes at least its 4-byte length.
inline constexpr uint64_t kMinVorbisCommentSize = 4;

// Where the comment bytes come from: a stream, or an Ogg packet spread over
// pages. Take and Skip raise ETruncated when count exceeds MaxRemaining.
class TVorbisSource {
 public:
  virtual ~TVorbisSource() = default;
  virtual uint32_t U32LE() = 0;
  virtual std::string Take(uint64_t count) = 0;
  virtual void Skip(uint64_t count) = 0;
  // Passes over the list's final bytes: nothing is read after them, so a
  // source may check only that the data can hold them.
  virtual void SkipLast(uint64_t count) { Skip(count); }
  // The bytes still to come can be no more than this.
  virtual uint64_t MaxRemaining() const = 0;
};

class TByteReader;

// Comment bytes read straight from a stream (FLAC).
class TStreamVorbisSource : public TVorbisSource {
 public:
  explicit TStreamVorbisSource(TByteReader& in) : in_(in) {}
  uint32_t U32LE() override;
  std::string Take(uint64_t count) override;
  void Skip(uint64_t count) override;
  uint64_t MaxRemaining() const override;

 private:
  TByteReader& in_;
};

struct TVorbisRules {
  // Bytes of 0x20 or less removed at these ends.
  bool TrimNameStart = false;
  bool TrimValueStart = false;
  bool TrimValueEnd = true;
  // A count of 2^31 or more is read as negative: no comments, read to its end.
  bool SignedCount = false;
  // Both lists are sized to the count before the comments are read, so after
  // an interrupted read the remaining entries are empty; otherwise the lists
  // grow by one entry per comment read.
  bool SizeListsFirst = false;
};

// Where the list goes: the reader's own fields, so that what was read before
// an interruption stays.
struct TVorbisTarget {
  // Names upper-cased (ASCII letters); values marked text (MarkUTF8).
  std::vector<std::string>& Names;
  std::vector<std::string>& Values;
  // The vendor string is kept here when set, else passed over.
  std::string* Vendor = nullptr;
  // When set, a comment whose name (as it would be delivered) it refuses is
  // passed over, its bytes not kept: its entry stays empty, or is not added.
  bool (*Wanted)(std::string_view name) = nullptr;
};

// The splitting of one comment: the name before the first "=", the value
// after it; a comment without "=" is all value. Names are upper-cased.
void SplitVorbisComment(std::string_view comment, const TVorbisRules& rules, std::string& name,
                        std::string& value);

// Reads the list into out. True when it was read to its end; false when the
// count cannot be believed (nothing is kept then). A short read raises
// ETruncated, leaving what was read in out.
bool ReadVorbisComments(TVorbisSource& in, const TVorbisRules& rules, const TVorbisTarget& out);

}  // namespace dov
