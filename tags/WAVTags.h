// The descriptive chunks of a RIFF/WAVE file: the LIST/INFO list, the DISP
// chunk, the broadcast cart chunk with its post timers, and the scot chunk.
// Delivered as pairs (id, marked text) in the order found; the ids are the
// INFO ids plus "CLNT", "SDAT", "STIM", "EDAT", "ETIM", "Cue" and "Outro".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

class TByteReader;

// The first 16 bytes of the "fmt " chunk.
struct TWAVFormat {
  uint16_t FormatTag = 0;
  uint16_t Channels = 0;
  uint32_t SampleRate = 0;
  uint32_t BytesPerSec = 0;
  uint16_t BlockAlign = 0;
  uint16_t BitsPerSample = 0;
};

class TWAVTags {
 public:
  static constexpr size_t kCartSize = 2048;
  static constexpr size_t kScotSize = 350;
  // Longest INFO text taken: comments, and every other id.
  static constexpr uint32_t kMaxCommentSize = 2047;
  static constexpr uint32_t kMaxInfoSize = 255;

  std::array<unsigned char, kCartSize> CartData{};
  std::array<unsigned char, kScotSize> ScotData{};
  uint32_t FileSize = 0;
  bool TagsRead = false;
  TWAVFormat Format;
  std::vector<std::string> ChunkIDs;
  std::vector<std::string> ChunkValues;

  // Reads from stream (seeked to 0, left open) or, without one, from the file
  // named by the marked text fileName. Never fails: what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);
  // Appends one pair. Text that is valid UTF-8 with bytes of 0x80 or above is
  // taken as UTF-8; any other text is code-page text.
  void AddChunk(std::string_view id, std::string_view text);

 private:
  // False when the reading stopped altogether (no renaming step).
  void Read(TStream& stream);
  bool Walk(TByteReader& in);
  void ReadInfo(std::string_view body);
  // Returns false when the walk is to stop altogether.
  bool ReadCart(TByteReader& in, uint32_t size);
  void ReadScot(TByteReader& in);

  bool listRead_ = false;
  bool dispStored_ = false;
};

}  // namespace dov
