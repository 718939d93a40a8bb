#include "info/ASF.h"

#include <algorithm>
#include <limits>
#include <string>

#include "common/ByteReader.h"
#include "info/StreamInfo.h"

namespace dov {

namespace {

// GUIDs are compared on their first 8 bytes as stored.
constexpr std::string_view kHeaderObject("\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8);
constexpr std::string_view kFilePropertiesObject("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11", 8);

// The header object: GUID, 64-bit size (its low half read at 16), then its
// fields and child objects, taken from offset 20.
constexpr int64_t kHeaderSizeAt = 16;
constexpr int64_t kHeaderBodyAt = 20;
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
  const std::string header = reader.TakeUpTo(std::min(headerSize, kMaxHeaderBytes));
  const size_t found = header.find(kFilePropertiesObject);
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
