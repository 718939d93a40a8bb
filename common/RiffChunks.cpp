#include "common/RiffChunks.h"

#include <cstring>

namespace dov {

TRiffId ReadRiffChunkId(TByteReader& reader) {
  TRiffId id;
  reader.ReadExact(id.data(), id.size());
  if (id[0] == '\0') {
    std::memmove(id.data(), id.data() + 1, id.size() - 1);
    id[3] = static_cast<char>(reader.U8());
  }
  return id;
}

bool RiffChunkFits(const TByteReader& reader, uint64_t size, int64_t keep) {
  const int64_t left = reader.Size() - reader.Position();
  return left >= keep && size <= static_cast<uint64_t>(left - keep);
}

std::optional<uint32_t> ReadWaveFormHeader(TByteReader& reader) {
  if (!reader.Consume("RIFF")) return std::nullopt;
  const uint32_t riffSize = reader.U32LE();
  if (!reader.Consume("WAVE")) return std::nullopt;
  return riffSize;
}

bool ReadWaveFormatChunk(TByteReader& reader, TWaveFormatChunk& chunk) {
  // Room kept after a skipped chunk for the "fmt " and "data" chunk headers.
  constexpr int64_t kRoomForChunks = 20;
  constexpr uint32_t kRecordSize = 16;
  constexpr uint32_t kWithExtraSize = 18;

  for (size_t count = 0;; ++count) {
    if (count == kMaxWaveChunks) return false;
    if (RiffIdIs(ReadRiffChunkId(reader), "fmt ")) break;
    const uint32_t size = reader.U32LE();
    if (!RiffChunkFits(reader, size, kRoomForChunks)) return false;
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

}  // namespace dov
