// Stream information of RIFF/WAVE files: the format record of the "fmt " chunk
// and the play length from the "data" chunk's size (as far as the file holds
// the data) and the byte rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/ByteReader.h"
#include "common/DOVFileStream.h"

namespace dov {

// The 16-byte format record of a "fmt " chunk, as stored (little-endian).
struct TWaveFormat {
  uint16_t FormatTag = 0;
  uint16_t Channels = 0;
  uint32_t SampleRate = 0;
  uint32_t BytesPerSecond = 0;
  uint16_t BlockAlign = 0;
  uint16_t BitsPerSample = 0;
};

// The "fmt " chunk as the walk found it.
struct TWaveFormatChunk {
  TWaveFormat Format;
  // The chunk's size and the extra size stored after the record (0 when the
  // chunk is too short to hold one).
  uint32_t Size = 0;
  uint16_t ExtraSize = 0;
};

// Chunks walked before the "fmt " chunk or the "data" chunk at most.
inline constexpr size_t kMaxWaveChunks = size_t{1} << 20;

// From just after the "WAVE" form type, walks the chunks up to "fmt " and reads
// it, leaving the reader after it (and after any bytes past the extra size).
// A pad byte after an odd-sized chunk is stepped over. False when the walk ends
// without the chunk, a chunk runs past the end of the file (20 bytes are kept
// for the chunks that must follow), the chunk is shorter than the record, or
// the byte rate is 0. A short read raises ETruncated.
bool ReadWaveFormatChunk(TByteReader& reader, TWaveFormatChunk& chunk);

// Bytes of audio a RIFF size stands for when no "data" chunk tells them: the
// RIFF size less the "fmt " chunk and its extra size (0 when they exceed it).
uint32_t WaveDataFromRiffSize(uint32_t riffSize, const TWaveFormatChunk& chunk);

class TWAVInfo {
 public:
  // Files shorter than a canonical 44-byte header are not measured.
  static constexpr int64_t kMinFileSize = 44;

  // Play length in milliseconds, 0 = unknown.
  int32_t Duration = 0;
  TWaveFormat Format;

  // Clears the fields, then reads the stream (seeked to 0, left open) or,
  // without one, the named file. Nothing raises; what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Parse(TStream& stream);
};

}  // namespace dov
