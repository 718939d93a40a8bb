// The descriptive chunks of a RIFF/WAVE file: the LIST/INFO list, the DISP
// chunk, the broadcast cart chunk with its post timers, and the scot chunk.
// Delivered as pairs (id, marked text) in the order found; the ids are the
// INFO ids plus "CLNT", "SDAT", "STIM", "EDAT", "ETIM", "Cue" and "Outro".
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"
#include "common/RiffChunks.h"

namespace dov {

class TWAVTags {
 public:
  static constexpr size_t kCartSize = 2048;
  static constexpr size_t kScotSize = 350;
  // Longest INFO text taken: comments, and every other id.
  static constexpr uint32_t kMaxCommentSize = 2047;
  static constexpr uint32_t kMaxInfoSize = 255;
  // An INFO id is looked up in the first 64 KiB of a list body only (its
  // place is a 16-bit number); the rest of the body is not read.
  static constexpr size_t kInfoLookupBytes = 65536;

  std::array<unsigned char, kCartSize> CartData{};
  std::array<unsigned char, kScotSize> ScotData{};
  uint32_t FileSize = 0;
  bool TagsRead = false;
  // The format record of the "fmt " chunk.
  TWaveFormat Format;
  std::vector<std::string> ChunkIDs;
  std::vector<std::string> ChunkValues;
  // When set, a list is searched only for the INFO ids it admits, and for
  // INAM and IALB together when it admits "DISP", "IALB" or "INAM" (either
  // may become the title or the album). Other chunks are read as they are.
  bool (*Wanted)(std::string_view id) = nullptr;

  // Reads from stream (seeked to 0, left open) or, without one, from the file
  // named by the marked text fileName. Never fails: what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);
  // A list is searched many places at once, as many as the processor's
  // widest registers hold; narrowly, sixteen at once on every processor
  // (for tests of that way).
  static void SiftNarrowly(bool narrow);
  // Appends one pair. Text that is valid UTF-8 with bytes of 0x80 or above is
  // taken as UTF-8; any other text is code-page text.
  void AddChunk(std::string_view id, std::string_view text);

 private:
  // What the walk does after a chunk: go on, leave the loop (the renaming
  // step still runs), or stop reading altogether.
  enum class TStep { Next, Leave, Stop };

  void Read(TStream& stream);
  // False when the reading stopped altogether (no renaming step).
  bool Walk(TByteReader& in);
  // The RIFF/WAVE form and the "fmt " chunk; false when the reading stops.
  bool ReadHead(TByteReader& in);
  bool WalkChunks(TByteReader& in);
  TStep ReadChunk(TByteReader& in, const TRiffId& id, bool& infoSeen);
  // A DISP or LIST chunk was handled: the second one leaves the loop.
  TStep MarkRead();
  // True when size bytes and room more lie between the position and FileSize.
  bool Fits(const TByteReader& in, uint32_t size, int64_t room) const;
  // A chunk's body as read, without the zeroing a string would cost a large
  // list before it is read over.
  struct TChunkBody {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    std::string_view View() const { return {bytes.get(), size}; }
  };
  // The body of a chunk, up to most bytes of it; the rest is passed over.
  TChunkBody ReadBody(TByteReader& in, size_t most = SIZE_MAX);
  void ReadInfo(std::string_view body);
  // Returns false when the walk is to stop altogether.
  bool ReadCart(TByteReader& in, uint32_t size);
  void ReadScot(TByteReader& in);

  bool listRead_ = false;
  bool dispStored_ = false;
};

}  // namespace dov
