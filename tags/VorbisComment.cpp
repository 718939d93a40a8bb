#include "tags/VorbisComment.h"

#include <cstdint>
#include <utility>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"

namespace dov {
namespace {

// More comments than this are not believed, whatever the file's size.
constexpr uint64_t kMaxComments = 65536;
// A comment longer than this that may not be wanted is passed over once its
// name is known from these first bytes.
constexpr uint32_t kNamePeek = 64;

std::string_view TrimStart(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  return s;
}

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

std::string_view NamePart(std::string_view comment, const TVorbisRules& rules, bool& hasName) {
  size_t eq = comment.find('=');
  hasName = eq != std::string_view::npos;
  if (!hasName) return {};
  std::string_view name = comment.substr(0, eq);
  return rules.TrimNameStart ? TrimStart(name) : name;
}

// The next comment's bytes into comment; false when Wanted refused it by its
// name and the rest of its bytes were passed over.
bool TakeComment(TVorbisSource& in, const TVorbisRules& rules, const TVorbisTarget& out, bool last,
                 std::string& comment) {
  const uint32_t length = in.U32LE();
  if (out.Wanted == nullptr || length <= kNamePeek) {
    comment = in.Take(length);
    return true;
  }
  comment = in.Take(kNamePeek);
  bool hasName = false;
  const std::string_view name = NamePart(comment, rules, hasName);
  if (hasName && !out.Wanted(AsciiUppered(name))) {
    if (last)
      in.SkipLast(length - kNamePeek);
    else
      in.Skip(length - kNamePeek);
    return false;
  }
  comment += in.Take(length - kNamePeek);
  return true;
}

}  // namespace

void SplitVorbisComment(std::string_view comment, const TVorbisRules& rules, std::string& name,
                        std::string& value) {
  bool hasName = false;
  name = AsciiUppered(NamePart(comment, rules, hasName));
  std::string_view rest = hasName ? comment.substr(comment.find('=') + 1) : comment;
  if (rules.TrimValueStart) rest = TrimStart(rest);
  if (rules.TrimValueEnd) rest = TrimEnd(rest);
  value = MarkUTF8(rest);
}

bool ReadVorbisComments(TVorbisSource& in, const TVorbisRules& rules, const TVorbisTarget& out) {
  const uint32_t vendorLength = in.U32LE();
  if (out.Vendor != nullptr)
    *out.Vendor = in.Take(vendorLength);
  else
    in.Skip(vendorLength);
  uint32_t count = in.U32LE();
  if (rules.SignedCount && count > static_cast<uint32_t>(INT32_MAX)) count = 0;
  if (count == 0) return true;
  // A count the data cannot hold ends the reading before anything is kept.
  if (count > kMaxComments || count > in.MaxRemaining() / kMinVorbisCommentSize) return false;
  if (rules.SizeListsFirst) {
    out.Names.resize(count);
    out.Values.resize(count);
  }
  std::string comment, name, value;
  for (uint32_t i = 0; i < count; ++i) {
    if (!TakeComment(in, rules, out, i + 1 == count, comment)) continue;
    SplitVorbisComment(comment, rules, name, value);
    if (rules.SizeListsFirst) {
      out.Names[i] = std::move(name);
      out.Values[i] = std::move(value);
    } else {
      out.Names.push_back(std::move(name));
      out.Values.push_back(std::move(value));
    }
  }
  return true;
}

uint32_t TStreamVorbisSource::U32LE() {
  return in_.U32LE();
}

std::string TStreamVorbisSource::Take(uint64_t count) {
  return in_.Take(count);
}

void TStreamVorbisSource::Skip(uint64_t count) {
  if (count > MaxRemaining()) throw ETruncated();
  in_.Skip(static_cast<int64_t>(count));
}

uint64_t TStreamVorbisSource::MaxRemaining() const {
  return static_cast<uint64_t>(in_.Remaining());
}

}  // namespace dov
