#include "info/ASF.h"

#include <algorithm>
#include <limits>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "tags/ASFHeader.h"

namespace dov {

namespace {

// GUIDs are compared on their first 8 bytes as stored.
constexpr size_t kGuidPrefix = 8;

// The header object: GUID, 64-bit size (its low half read at 16), then its
// fields and child objects, taken from offset 20.
constexpr int64_t kHeaderSizeAt = 16;
constexpr int64_t kHeaderBodyAt = 20;
// The search reads the header a small window at a time, so that a large
// header (a picture in it) is read only as far as the object.
constexpr size_t kFirstWindow = 4096;
constexpr size_t kNextWindow = 16 * 1024;
// In the file properties object: the play duration (100 ns units) and the
// preroll (ms).
constexpr int64_t kPlayDurationAt = 64;
constexpr int64_t kPrerollAt = 80;

}  // namespace

void TASFInfo::ReadFromFile(std::string_view fileName, TStream* stream) {
  Duration = 0;
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Parse(s); });
}

// The file properties object is searched for in the header's bytes rather
// than walked to, so that a header whose objects do not add up still gives
// the length.
void TASFInfo::Parse(TStream& stream) {
  TByteReader reader(stream);
  if (!reader.Consume(GuidBytes(kASFHeaderObject, kGuidPrefix))) return;
  reader.Seek(kHeaderSizeAt);
  const uint32_t headerSize = reader.U32LE();
  TByteWindow window(stream, kFirstWindow, kNextWindow);
  window.Seek(kHeaderBodyAt);
  const int64_t object = window.Find(GuidBytes(kASFFileProperties, kGuidPrefix),
                                     std::min(headerSize, kMaxHeaderBytes));
  if (object < 0) return;

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
