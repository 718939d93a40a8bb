// The tags of an MP3 or MP2 file: the ID3v2.3/2.4 tag at the start of the
// file, or the 128-byte ID3v1 tag at its end when there is no ID3v2 tag.
// Every text frame is delivered as a pair (frame id, marked text) in file
// order; "3PRO" = "1" marks a stream whose first frame is MPEG-2 Layer III.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

class TByteReader;

// The ID3v1 genre names with the common extensions (0..125); slot 126 is empty.
extern const std::array<std::string_view, 127> ID3Genres;

class TMP3Tags {
 public:
  // No real tag holds more frames than this; the frame loop ends there.
  // Frames passed over unwanted count too.
  static constexpr size_t kMaxFrames = 65536;

  bool HasID3v2 = false;
  uint8_t MajorVersion = 0;
  // Whole ID3v2 tag with its header; 0 when it would not fit in the file.
  int32_t TagSize = 0;
  std::vector<std::string> FrameIDs;
  std::vector<std::string> FrameValues;
  // When set, an ID3v2 frame whose id it refuses is passed over unread and
  // unconverted; it still counts towards kMaxFrames. The container import sets
  // it to the ids it maps, so that a tag of hundreds of frames costs only
  // their headers.
  bool (*Wanted)(std::string_view id) = nullptr;
  // When set, the "COMM" frames after the first one delivered are passed over
  // the same way: the import keeps only the first comment.
  bool FirstCommentOnly = false;
  // When clear, the audio after an ID3v2 tag is not looked at: it gives only
  // the "3PRO" mark, and lies beyond the blocks read for a tag with a picture.
  bool MarkMP3Pro = true;

  // Reads from stream (seeked to 0, left open) or, without one, from the file
  // named by the marked text fileName. Never fails: what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);
  // Appends one pair after resolving genre references such as "(17)" or a
  // plain "17"; an empty value is dropped.
  void AddFrame(std::string_view id, std::string value);
  // Removes a short comment description and its terminator.
  static std::string StripDescription(std::string_view text);

 private:
  void Read(TStream& stream);
  void ReadFrames(TByteReader& in, int64_t fileSize);
  // The value of one text frame (its data after the encoding byte).
  static std::string FrameText(std::string_view id, uint8_t encoding, std::string_view data);
  void ReadID3v1(std::string_view body);
};

}  // namespace dov
