// A FLAC file's stream information and, when asked, its Vorbis comments. An
// ID3v2 tag placed before the "fLaC" marker is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"
#include "tags/VorbisComment.h"

namespace dov {

class TByteReader;

class TFLAC {
 public:
  static constexpr size_t kStreamInfoSize = 34;
  static constexpr uint8_t kVorbisCommentType = 4;
  static constexpr uint64_t kMinCommentSize = kMinVorbisCommentSize;

  explicit TFLAC(bool readComments) : ReadComments(readComments) {}

  void ReadFromFile(std::string_view fileName, TStream* stream);

  // When false, only the stream information is read.
  bool ReadComments;
  uint32_t SampleRate = 0;
  uint8_t Channels = 0;
  uint8_t BitsPerSample = 0;
  uint64_t TotalSamples = 0;
  // Play time in milliseconds; 0 when unknown.
  uint32_t Duration = 0;
  // Names upper-cased (ASCII letters); values trimmed, marked text (MarkUTF8).
  std::vector<std::string> CommentNames;
  std::vector<std::string> CommentValues;
  // When set, a comment whose (upper-cased) name it refuses is passed over
  // unconverted, its entry left empty.
  bool (*Wanted)(std::string_view name) = nullptr;

 private:
  void Read(TStream& stream);
  void ReadVorbisComments(TByteReader& in);
};

}  // namespace dov
