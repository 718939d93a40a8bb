#include "info/ASF.h"

#include <algorithm>
#include <limits>
#include <string>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"

namespace dov {

namespace {

// GUIDs are compared on their first 8 bytes as stored.
constexpr std::string_view kHeaderObject("\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8);
constexpr std::string_view kFilePropertiesObject("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11", 8);

// The header object: GUID, 64-bit size (its low half read at 16), then its
// fields and child objects, taken from offset 20.
constexpr int64_t kHeaderSizeAt = 16;
constexpr int64_t kHeaderBodyAt = 20;
// Bytes of the header searched at once.
constexpr uint64_t kHeaderPiece = 4096;
// In the file properties object: the play duration (100 ns units) and the
// preroll (ms).
constexpr int64_t kPlayDurationAt = 64;
constexpr int64_t kPrerollAt = 80;

}  // namespace

void TASFInfo::ReadFromFile(std::string_view fileName, TStream* stream) {
  Duration = 0;
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Parse(s); });
}

void TASFInfo::Parse(TStream& stream) {
  TByteReader reader(stream);
  if (!reader.Consume(kHeaderObject)) return;
  reader.Seek(kHeaderSizeAt);
  const uint32_t headerSize = reader.U32LE();
  reader.Seek(kHeaderBodyAt);
  // The header is searched piece by piece, each piece with the last bytes of
  // the one before, so that a large header (a picture in it) is read only as
  // far as the object; the first place found is the same.
  const uint64_t headerBytes = std::min(headerSize, kMaxHeaderBytes);
  const size_t overlap = kFilePropertiesObject.size() - 1;
  std::string window;
  uint64_t windowStart = 0;  // where window begins, counted from kHeaderBodyAt
  size_t found = std::string::npos;
  for (uint64_t at = 0; at < headerBytes;) {
    const uint64_t want = std::min<uint64_t>(kHeaderPiece, headerBytes - at);
    const std::string piece = reader.TakeUpTo(want);
    window += piece;
    if (const size_t hit = window.find(kFilePropertiesObject); hit != std::string::npos) {
      found = static_cast<size_t>(windowStart) + hit;
      break;
    }
    at += piece.size();
    if (piece.size() < want) break;  // the end of the stream
    if (window.size() > overlap) {
      windowStart += window.size() - overlap;
      window.erase(0, window.size() - overlap);
    }
  }
  if (found == std::string::npos) return;

  const int64_t object = kHeaderBodyAt + static_cast<int64_t>(found);
  reader.Seek(object + kPlayDurationAt);
  const uint64_t playDuration = reader.U64LE();
  reader.Seek(object + kPrerollAt);
  const uint64_t preroll = reader.U64LE();
  // The play duration includes the preroll.
  const auto playMs = static_cast<int64_t>(playDuration / 10000);
  if (preroll > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return;
  const int64_t ms = playMs - static_cast<int64_t>(preroll);
  if (ms < std::numeric_limits<int32_t>::min() || ms > std::numeric_limits<int32_t>::max()) return;
  Duration = static_cast<int32_t>(ms);
}

}  // namespace dov
