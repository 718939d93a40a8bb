#include "info/WAVInfo.h"

#include <algorithm>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

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
  const std::optional<uint32_t> riffSize = ReadWaveFormHeader(reader);
  if (!riffSize) return;

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
  uint32_t dataSize = held(WaveDataFromRiffSize(*riffSize, fmt));
  try {
    for (size_t count = 0; count < kMaxWaveChunks; ++count) {
      if (RiffIdIs(ReadRiffChunkId(reader), "data")) {
        dataSize = held(reader.U32LE());
        break;
      }
      const uint32_t size = reader.U32LE();
      if (size == 0 || !RiffChunkFits(reader, size, kRoomAfterChunk)) break;
      reader.Skip(size);
      if (reader.Size() - reader.Position() < kRoomAfterChunk) break;
    }
  } catch (const ETruncated&) {
    // The file ends before a "data" chunk: the RIFF size stands.
  }
  Duration = MillisecondsOf(dataSize, Format.BytesPerSecond);
}

}  // namespace dov
