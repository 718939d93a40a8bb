// Stream information of MPEG audio (Layers I to III of MPEG-1, MPEG-2 and
// MPEG-2.5): the first frame header confirmed by the one after it, and the
// Xing, Info or VBRI header a variable bit rate file carries in its first frame.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TMPEGInfo {
 public:
  // Single-byte steps the frame search may take over the whole file.
  static constexpr int32_t kMaxSearchSteps = 263190;
  // Search passes (one per rejected header) over the whole file, so that a file
  // full of headers that are never confirmed cannot keep the search going.
  static constexpr int32_t kMaxSearchPasses = 65536;

  // Play length in milliseconds, 0 = unknown.
  int32_t Duration = 0;
  // Bytes of audio: the file size less the ID3v2 tag(s) skipped, or the byte
  // count of a VBRI header.
  int64_t FileSize = 0;
  // 1 = MPEG-1, 2 = MPEG-2, 3 = MPEG-2.5, 0 = none.
  uint8_t Version = 0;
  // 1, 2, 3 = Layer I, II, III; 0 = none.
  uint8_t Layer = 0;
  int32_t SampleRate = 0;
  // kbit/s; the average for a variable bit rate file.
  int32_t BitRate = 0;
  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel.
  uint8_t ChannelMode = 0;
  uint8_t Padding = 0;
  // Bytes of one frame; the average for a variable bit rate file.
  uint16_t FrameLength = 0;

  // Clears every field, then measures the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises; what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);

  // Fills the fields from one frame header (read big-endian) and tells whether
  // they form a valid header. Without the 11 sync bits only Version changes.
  bool DecodeHeader(uint32_t header);
  bool IsValid() const;
  // Bytes of one frame for the current fields; 0 without bit rate or sample rate.
  uint16_t GetFrameLength() const;
  // Takes the frame count at framesOffset (and, when bytesOffset is not
  // negative, the byte count there) of a VBR header held in buffer, which must
  // hold at least four bytes past each offset given.
  void ReadVBRHeader(const unsigned char* buffer, int bytesOffset, int framesOffset);

 private:
  void Clear();
  void Parse(TStream& stream);
};

// "Unknown", "1.0", "2.0", "2.5".
std::string_view MPEGVersionName(uint8_t version);
// "Unknown", "I", "II", "III".
std::string_view MPEGLayerName(uint8_t layer);
// "Stereo", "Joint-Stereo", "Dual-Channel", "Single-Channel".
std::string_view MPEGChannelModeName(uint8_t mode);

}  // namespace dov
