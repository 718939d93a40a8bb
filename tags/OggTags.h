// The comment header of an Ogg Vorbis or Ogg Opus file: the vendor string and
// the NAME=value comments. The reader does not walk the Ogg pages in general:
// it expects the identification header to fill the first page alone and the
// comment header to begin the second page, and finds both at fixed offsets.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"
#include "tags/VorbisComment.h"

namespace dov {

class TOggTags {
 public:
  // A file of this size or smaller holds no comments worth reading.
  static constexpr int64_t kMinFileSize = 258;
  // Offset of the identification packet's magic (after its first byte).
  static constexpr int64_t kMagicOffset = 29;
  // Offsets of the second page's segment count for the two first-page sizes
  // (Vorbis 58 bytes, Opus 47 bytes).
  static constexpr int64_t kVorbisSegmentCountOffset = 84;
  static constexpr int64_t kOpusSegmentCountOffset = 73;
  static constexpr uint64_t kMinCommentSize = kMinVorbisCommentSize;

  void ReadFromFile(std::string_view fileName, TStream* stream);
  int CommentCount() const { return static_cast<int>(CommentNames.size()); }

  // The 23 bytes at offset 29: for Vorbis "vorbis", version, channels, sample
  // rate and bit rates of the identification header.
  std::array<unsigned char, 23> Header{};
  int64_t FileSize = 0;
  std::string Vendor;
  // Names upper-cased (ASCII letters); values marked text (MarkUTF8).
  std::vector<std::string> CommentNames;
  std::vector<std::string> CommentValues;
  // Set when the comment list was read to its end. A last comment passed over
  // for Wanted counts as read when the file can hold its bytes.
  bool Valid = false;
  // When set, a comment whose name (as it would be delivered) it refuses is
  // passed over without reading its bytes: its name and value stay empty.
  // The container import sets it to the names it maps, so that a picture in
  // the comments is neither read nor copied for nothing.
  bool (*Wanted)(std::string_view name) = nullptr;

 private:
  void Read(TStream& stream);
};

}  // namespace dov
