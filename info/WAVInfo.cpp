#include "info/WAVInfo.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/DOVCommon.h"

namespace dov {

namespace {

using TChunkId = std::array<char, 4>;

bool IdIs(const TChunkId& id, std::string_view name) {
  return std::string_view(id.data(), id.size()) == name;
}

// The next chunk id. An odd-sized chunk is followed by a pad byte, which shows
// as a first byte of 0: the id is then taken one byte further on.
TChunkId ReadChunkId(TByteReader& reader) {
  TChunkId id;
  reader.ReadExact(id.data(), id.size());
  if (id[0] == '\0') {
    std::memmove(id.data(), id.data() + 1, id.size() - 1);
    id[3] = static_cast<char>(reader.U8());
  }
  return id;
}

// True when size bytes, and then keep more, still fit after the position.
bool Fits(const TByteReader& reader, uint64_t size, int64_t keep) {
  const int64_t left = reader.Size() - reader.Position();
  return left >= keep && size <= static_cast<uint64_t>(left - keep);
}

}  // namespace

bool ReadWaveFormatChunk(TByteReader& reader, TWaveFormatChunk& chunk) {
  // Room kept after a skipped chunk for the "fmt " and "data" chunk headers.
  constexpr int64_t kRoomForChunks = 20;
  constexpr uint32_t kRecordSize = 16;
  constexpr uint32_t kWithExtraSize = 18;

  for (size_t count = 0;; ++count) {
    if (count == kMaxWaveChunks) return false;
    if (IdIs(ReadChunkId(reader), "fmt ")) break;
    const uint32_t size = reader.U32LE();
    if (!Fits(reader, size, kRoomForChunks)) return false;
    reader.Skip(size);
  }

  chunk.Size = reader.U32LE();
  if (chunk.Size < kRecordSize) return false;
  unsigned char record[kRecordSize];
  reader.ReadExact(record, sizeof record);
  TWaveFormat& f = chunk.Format;
  f.FormatTag = LoadU16LE(record);
  f.Channels = LoadU16LE(record + 2);
  f.SampleRate = LoadU32LE(record + 4);
  f.BytesPerSecond = LoadU32LE(record + 8);
  f.BlockAlign = LoadU16LE(record + 12);
  f.BitsPerSample = LoadU16LE(record + 14);
  if (f.BytesPerSecond == 0) return false;
  chunk.ExtraSize = chunk.Size >= kWithExtraSize ? reader.U16LE() : 0;
  if (chunk.Size > kWithExtraSize) reader.Skip(chunk.Size - kWithExtraSize);
  return true;
}

uint32_t WaveDataFromRiffSize(uint32_t riffSize, const TWaveFormatChunk& chunk) {
  const uint64_t taken = uint64_t{chunk.Size} + chunk.ExtraSize;
  return taken >= riffSize ? 0 : static_cast<uint32_t>(riffSize - taken);
}

void TWAVInfo::ReadFromFile(std::string_view fileName, TStream* stream) {
  Duration = 0;
  Format = {};
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Parse(s); });
}

void TWAVInfo::Parse(TStream& stream) {
  // Room a chunk must leave after itself for the walk to go on to the next.
  constexpr int64_t kRoomAfterChunk = 10;

  TByteReader reader(stream);
  if (reader.Size() < kMinFileSize) return;
  if (!reader.Consume("RIFF")) return;
  const uint32_t riffSize = reader.U32LE();
  if (!reader.Consume("WAVE")) return;

  TWaveFormatChunk fmt;
  const bool found = ReadWaveFormatChunk(reader, fmt);
  Format = fmt.Format;
  if (!found) return;

  // Sizes declared beyond the end of the file: a writer that could not seek
  // back (to a pipe) leaves 0xFFFFFFFF, and a cut file holds less than it
  // declares. Only the bytes present are audio.
  auto held = [&reader](uint32_t size) {
    return static_cast<uint32_t>(std::min<int64_t>(size, reader.Remaining()));
  };
  // Without a "data" chunk the RIFF size tells the length.
  uint32_t dataSize = held(WaveDataFromRiffSize(riffSize, fmt));
  try {
    for (size_t count = 0; count < kMaxWaveChunks; ++count) {
      if (IdIs(ReadChunkId(reader), "data")) {
        dataSize = held(reader.U32LE());
        break;
      }
      const uint32_t size = reader.U32LE();
      if (size == 0 || !Fits(reader, size, kRoomAfterChunk)) break;
      reader.Skip(size);
      if (reader.Size() - reader.Position() < kRoomAfterChunk) break;
    }
  } catch (const ETruncated&) {
    // The file ends before a "data" chunk: the RIFF size stands.
  }
  Duration = MillisecondsOf(dataSize, Format.BytesPerSecond);
}

}  // namespace dov
