// The chunks of a RIFF/WAVE file as the WAV readers walk them: chunk ids with
// the pad byte after an odd-sized chunk stepped over, and the "fmt " chunk
// with its format record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/ByteReader.h"

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

using TRiffId = std::array<char, 4>;

inline bool RiffIdIs(const TRiffId& id, std::string_view name) {
  return std::string_view(id.data(), id.size()) == name;
}

// The next chunk id. An odd-sized chunk is followed by a pad byte, which shows
// as a first byte of 0: the id is then taken one byte further on.
TRiffId ReadRiffChunkId(TByteReader& reader);

// True when size bytes, and then keep more, still fit after the position.
bool RiffChunkFits(const TByteReader& reader, uint64_t size, int64_t keep);

// "RIFF", the RIFF size and "WAVE" at the position: the RIFF size, or nothing
// (the reader somewhere in those 12 bytes) when the file is not a WAVE file.
// A short read raises ETruncated.
std::optional<uint32_t> ReadWaveFormHeader(TByteReader& reader);

// From just after the "WAVE" form type, walks the chunks up to "fmt " and reads
// it into chunk as it goes, leaving the reader after it (and after any bytes
// past the extra size). False when the walk ends without the chunk, a chunk
// runs past the end of the file (20 bytes are kept for the chunks that must
// follow), the chunk is shorter than the record, or the byte rate is 0. A
// short read raises ETruncated.
bool ReadWaveFormatChunk(TByteReader& reader, TWaveFormatChunk& chunk);

// Bytes of audio a RIFF size stands for when no "data" chunk tells them: the
// RIFF size less the "fmt " chunk and its extra size (0 when they exceed it).
uint32_t WaveDataFromRiffSize(uint32_t riffSize, const TWaveFormatChunk& chunk);

}  // namespace dov
