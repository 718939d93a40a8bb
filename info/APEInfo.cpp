#include "info/APEInfo.h"

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

// The descriptor layout: "MAC ", version, padding, descriptor size (at 8) and
// the sizes and checksum of the parts, 52 bytes in all; then the header.
constexpr size_t kDescriptorRest = 46;  // file offsets 6 to 51
constexpr uint32_t kDescriptorSize = 52;
constexpr size_t kHeaderSize = 24;

// The older layout: a 32-byte header (compression level at 6, format flags at
// 8, channels, sample rate, WAV header size at 16, terminating bytes, total
// frames, final frame blocks), the peak level and the seek element count when
// their flags are set, then the source file's WAV header unless it was left
// out.
constexpr size_t kOldHeaderRest = 34;  // file offsets 6 to 39
constexpr int64_t kOldHeaderSize = 32;
constexpr uint16_t kHasPeakLevel = 0x0004;
constexpr uint16_t kHasSeekElements = 0x0010;
constexpr uint16_t kNoWavHeader = 0x0020;

}  // namespace

void TAPEInfo::ReadFromFile(std::string_view fileName, TStream* stream) {
  Duration = 0;
  Format = {};
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Parse(s); });
}

void TAPEInfo::Parse(TStream& stream) {
  TByteReader reader(stream);
  if (reader.Size() < kMinFileSize || !reader.Consume("MAC ")) return;
  const uint16_t version = reader.U16LE();

  if (version >= kDescriptorVersion) {
    unsigned char descriptor[kDescriptorRest];
    reader.ReadExact(descriptor, sizeof descriptor);
    const uint32_t descriptorSize = LoadU32LE(descriptor + 2);
    if (descriptorSize > kDescriptorSize) reader.Skip(descriptorSize - kDescriptorSize);
    unsigned char header[kHeaderSize];
    reader.ReadExact(header, sizeof header);
    const uint32_t blocksPerFrame = LoadU32LE(header + 4);
    const uint32_t finalFrameBlocks = LoadU32LE(header + 8);
    const uint32_t totalFrames = LoadU32LE(header + 12);
    const uint32_t sampleRate = LoadU32LE(header + 20);
    if (totalFrames == 0) return;  // no audio
    const uint64_t samples = uint64_t{totalFrames - 1} * blocksPerFrame + finalFrameBlocks;
    Duration = MillisecondsOf(static_cast<long double>(samples), sampleRate);
    return;
  }

  unsigned char header[kOldHeaderRest];
  reader.ReadExact(header, sizeof header);
  const uint16_t flags = LoadU16LE(header + 2);
  if ((flags & kNoWavHeader) != 0) return;
  int64_t wavHeader = kOldHeaderSize;
  if ((flags & kHasPeakLevel) != 0) wavHeader += 4;
  if ((flags & kHasSeekElements) != 0) wavHeader += 4;
  reader.Seek(wavHeader);
  const std::optional<uint32_t> riffSize = ReadWaveFormHeader(reader);
  if (!riffSize) return;

  TWaveFormatChunk fmt;
  const bool found = ReadWaveFormatChunk(reader, fmt);
  Format = fmt.Format;
  if (!found) return;
  Duration = MillisecondsOf(WaveDataFromRiffSize(*riffSize, fmt), Format.BytesPerSecond);
}

}  // namespace dov
