#include "info/MPEGAudio.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

// Bytes read at once by the frame search where it continues the bytes it had:
// the whole bounded search over a file without frames takes a handful of reads.
constexpr size_t kWindowSize = 64 * 1024;
// Bytes read at a new place (the start, the end of a tag, the next frame).
// The file stream serves reads this small from the blocks it caches, which
// the tag readers use too, so the head of a file is read from the disk once.
constexpr size_t kFirstWindowSize = 4 * 1024;

// Sample rates by version (1 = MPEG-1, 2 = MPEG-2, 3 = MPEG-2.5) and rate index.
constexpr std::array<std::array<int32_t, 4>, 4> kSampleRates{{
    {0, 0, 0, 0},
    {44100, 48000, 32000, 0},
    {22050, 24000, 16000, 0},
    {11025, 12000, 8000, 0},
}};

// kbit/s by bit-rate index. Index 0 (free format) and 15 (forbidden) give 0.
using TBitRateRow = std::array<int16_t, 16>;
constexpr TBitRateRow kMpeg1Layer1{0,   32,  64,  96,  128, 160, 192, 224,
                                   256, 288, 320, 352, 384, 416, 448, 0};
constexpr TBitRateRow kMpeg1Layer2{0,   32,  48,  56,  64,  80,  96,  112,
                                   128, 160, 192, 224, 256, 320, 384, 0};
constexpr TBitRateRow kMpeg1Layer3{0,   32,  40,  48,  56,  64,  80,  96,
                                   112, 128, 160, 192, 224, 256, 320, 0};
constexpr TBitRateRow kMpeg2Layer1{0,   32,  48,  56,  64,  80,  96,  112,
                                   128, 144, 160, 176, 192, 224, 256, 0};
constexpr TBitRateRow kMpeg2Layer23{0,  8,  16, 24,  32,  40,  48,  56,
                                    64, 80, 96, 112, 128, 144, 160, 0};

const TBitRateRow& BitRateRow(uint8_t version, uint8_t layer) {
  if (version == 1) return layer == 1 ? kMpeg1Layer1 : layer == 2 ? kMpeg1Layer2 : kMpeg1Layer3;
  return layer == 1 ? kMpeg2Layer1 : kMpeg2Layer23;
}

constexpr uint8_t kSingleChannel = 3;

// Offset of a "Xing" or "Info" mark from the start of the frame.
int XingOffset(uint8_t version, uint8_t channelMode) {
  if (version == 1) return channelMode == kSingleChannel ? 21 : 36;
  return channelMode == kSingleChannel ? 13 : 21;
}

int32_t ClampToInt32(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return 0;
  return static_cast<int32_t>(value);
}

}  // namespace

void TMPEGInfo::Clear() {
  *this = TMPEGInfo{};
}

bool TMPEGInfo::IsValid() const {
  return Version > 0 && Layer > 0 && BitRate > 0 && SampleRate > 0;
}

uint16_t TMPEGInfo::GetFrameLength() const {
  if (SampleRate <= 0 || BitRate <= 0) return 0;
  const int64_t b = int64_t{BitRate} * 1000;
  const int64_t f = SampleRate;
  int64_t length = 0;
  if (Layer == 1)
    length = 4 * (12 * b / f + Padding);
  else if (Layer == 2 || (Layer == 3 && Version == 1))
    length = 144 * b / f + Padding;
  else if (Layer == 3)
    length = 72 * b / f + Padding;
  return static_cast<uint16_t>(length);
}

bool TMPEGInfo::DecodeHeader(uint32_t header) {
  Version = 0;
  if ((header & 0xFFE00000u) != 0xFFE00000u) return false;
  switch ((header >> 19) & 3) {
    case 0:
      Version = 3;
      break;
    case 1:
      return false;  // reserved
    case 2:
      Version = 2;
      break;
    default:
      Version = 1;
      break;
  }
  Layer = static_cast<uint8_t>(4 - ((header >> 17) & 3));
  if (Layer == 4) Layer = 0;
  SampleRate = kSampleRates[Version][(header >> 10) & 3];
  if (Layer >= 1 && Layer <= 3) BitRate = BitRateRow(Version, Layer)[(header >> 12) & 15];
  ChannelMode = static_cast<uint8_t>((header >> 6) & 3);
  Padding = static_cast<uint8_t>((header >> 9) & 1);
  // Bytes × 8 / (kbit/s) gives milliseconds.
  Duration = BitRate != 0 ? RoundMilliseconds(static_cast<long double>(FileSize) * 8 / BitRate) : 0;
  FrameLength = GetFrameLength();
  return IsValid();
}

void TMPEGInfo::ReadVBRHeader(const unsigned char* buffer, int bytesOffset, int framesOffset) {
  const uint32_t frames = LoadU32BE(buffer + framesOffset);
  if (frames == 0) {
    Duration = 0;
    return;
  }
  if (bytesOffset >= 0) FileSize = LoadU32BE(buffer + bytesOffset);
  if (SampleRate <= 0) {
    Duration = 0;
    return;
  }
  const int64_t samplesPerFrame = SampleRate >= 32000 ? 1152 : 576;
  Duration =
      RoundMilliseconds(static_cast<long double>(samplesPerFrame * frames) / SampleRate * 1000);
  FrameLength = static_cast<uint16_t>(FileSize / frames);
  BitRate = Duration != 0 ? ClampToInt32(FileSize * 8 / Duration) : 0;
}

namespace {

// The bytes of the ID3v1 and APEv2 tags at the end of the file, which are no
// audio: a cover in an APEv2 tag would otherwise lengthen a constant bit rate
// file by seconds.
int64_t TrailingTagBytes(TStream& stream, int64_t size) {
  int64_t tags = 0;
  unsigned char tail[128] = {};
  if (size >= 128) {
    stream.Seek(size - 128);
    if (stream.Read(tail, 3) == 3 && std::memcmp(tail, "TAG", 3) == 0) tags = 128;
  }
  constexpr int64_t kFooter = 32;
  if (size - tags < kFooter) return tags;
  stream.Seek(size - tags - kFooter);
  if (stream.Read(tail, kFooter) != static_cast<size_t>(kFooter) ||
      std::memcmp(tail, "APETAGEX", 8) != 0)
    return tags;
  int64_t ape = LoadU32LE(tail + 12);                      // the items and the footer
  if (LoadU32LE(tail + 20) & 0x80000000u) ape += kFooter;  // a header too
  return ape >= kFooter && ape <= size - tags ? tags + ape : tags;
}

}  // namespace

void TMPEGInfo::Parse(TStream& stream) {
  const int64_t size = stream.Size();
  if (size <= 5) return;
  FileSize = size - TrailingTagBytes(stream, size);
  TByteWindow in(stream, kFirstWindowSize, kWindowSize);
  unsigned char b[4] = {};
  int32_t steps = 0;
  int32_t passes = 0;
  int64_t frameStart = 0;
  for (;;) {
    ++passes;
    in.Read(b, 4);
    // An ID3v2 tag (major version 2 to 8).
    if (b[0] == 'I' && b[1] == 'D' && b[2] == '3' && b[3] > 1 && b[3] < 9) {
      in.Seek(6);
      in.Read(b, 4);
      const int64_t tagSize = LoadID3v2TagSize(b);
      FileSize -= tagSize;
      in.Seek(tagSize);
      in.Read(b, 4);
    }
    // A window sliding one byte at a time over the file.
    uint32_t header = LoadU32BE(b);
    while (!DecodeHeader(header)) {
      unsigned char next = 0;
      if (in.Position() >= size || steps >= kMaxSearchSteps || !in.Next(next)) break;
      header = header << 8 | next;
      ++steps;
    }
    frameStart = in.Position() - 4;
    if (!IsValid() || frameStart + FrameLength + 4 >= size) {
      Clear();
      FileSize = size;
      return;
    }
    // The header counts when the frame after it starts with a header too.
    in.Seek(frameStart + FrameLength);
    in.Read(b, 4);
    if (DecodeHeader(LoadU32BE(b))) break;
    // Rejected: the search goes on after the rejected header's four bytes.
    in.Seek(frameStart + 4);
    if (in.Position() + 4 >= size || steps >= kMaxSearchSteps || passes >= kMaxSearchPasses) {
      Clear();
      FileSize = size;
      return;
    }
  }

  if (in.Position() + 4 >= size) return;
  unsigned char vbr[18] = {};
  in.Seek(frameStart + 36);
  in.Read(vbr, sizeof vbr);
  if (std::memcmp(vbr, "VBRI", 4) == 0) {
    ReadVBRHeader(vbr, 10, 14);
    return;
  }
  const int offset = XingOffset(Version, ChannelMode);
  if (offset != 36) {
    in.Seek(frameStart + offset);
    in.Read(vbr, 12);
  }
  // The flag word is not consulted: the frame count always follows it.
  if (std::memcmp(vbr, "Xing", 4) == 0 || std::memcmp(vbr, "Info", 4) == 0)
    ReadVBRHeader(vbr, -1, 8);
}

void TMPEGInfo::ReadFromFile(std::string_view fileName, TStream* stream) {
  Clear();
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Parse(s); });
}

std::string_view MPEGVersionName(uint8_t version) {
  static constexpr std::array<std::string_view, 4> kNames{"Unknown", "1.0", "2.0", "2.5"};
  return version < kNames.size() ? kNames[version] : kNames[0];
}

std::string_view MPEGLayerName(uint8_t layer) {
  static constexpr std::array<std::string_view, 4> kNames{"Unknown", "I", "II", "III"};
  return layer < kNames.size() ? kNames[layer] : kNames[0];
}

std::string_view MPEGChannelModeName(uint8_t mode) {
  static constexpr std::array<std::string_view, 4> kNames{"Stereo", "Joint-Stereo", "Dual-Channel",
                                                          "Single-Channel"};
  return mode < kNames.size() ? kNames[mode] : kNames[0];
}

}  // namespace dov
