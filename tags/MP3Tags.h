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
  static constexpr size_t kMaxFrames = 65536;

  bool HasID3v2 = false;
  uint8_t MajorVersion = 0;
  // Whole ID3v2 tag with its header; 0 when it would not fit in the file.
  int32_t TagSize = 0;
  std::vector<std::string> FrameIDs;
  std::vector<std::string> FrameValues;

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
  void ReadID3v1(std::string_view body);
};

}  // namespace dov
