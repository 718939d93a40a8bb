#include "tags/MP4Tags.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"

namespace dov {

namespace {

// An item atom after its size field: the type (4), then the inner data atom's
// size (4), type (4), version and flags (4) and locale (4); the value follows.
constexpr size_t kItemValueOffset = 20;
// The replay-gain freeform value is taken from the last bytes of the item.
constexpr size_t kReplayGainTail = 10;

// position + size, held at the largest offset instead of overflowing.
int64_t AddClamped(int64_t position, uint64_t size) {
  const uint64_t room = static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - position);
  return size > room ? std::numeric_limits<int64_t>::max() : position + static_cast<int64_t>(size);
}

// The signed big-endian 16-bit number at offset, 0 when the value is shorter.
int16_t SignedU16BE(std::string_view value, size_t offset) {
  if (value.size() < offset + 2) return 0;
  return static_cast<int16_t>(LoadU16BE(Bytes(value) + offset));
}

}  // namespace

bool FindAtom(TStream& stream, std::string_view name, int64_t& position, int64_t& limit) {
  TByteReader reader(stream);
  for (size_t count = 0;
       count < kMaxAtoms && position >= 0 && position < limit && limit - position > 8; ++count) {
    reader.Seek(position);
    unsigned char header[8];
    if (reader.ReadInto(header, sizeof header) != sizeof header) return false;
    uint64_t size = LoadU32BE(header);
    uint64_t headerSize = 8;
    if (size == 1) {
      unsigned char large[8];
      if (reader.ReadInto(large, sizeof large) != sizeof large) return false;
      size = LoadU64BE(large);
      headerSize = 16;
    }
    const bool match = std::string_view(reinterpret_cast<const char*>(header) + 4, 4) == name;
    const int64_t body = reader.Position();
    if (size == 0) {
      // The last atom: it runs to the end of its parent.
      if (!match) return false;
      position = body;
      return true;
    }
    // An atom smaller than its own header would not move the search on.
    if (size < headerSize) return false;
    if (match) {
      position = body;
      limit = AddClamped(body, size);
      return true;
    }
    position = AddClamped(position, size);
  }
  return false;
}

void TMP4Tags::ReadFromFile(std::string_view fileName, TStream* stream) {
  ItemNames.clear();
  ItemValues.clear();
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Read(s); });
}

void TMP4Tags::Read(TStream& stream) {
  TByteReader reader(stream);
  unsigned char header[8];
  reader.ReadExact(header, sizeof header);
  if (std::string_view(reinterpret_cast<const char*>(header) + 4, 4) != "ftyp") return;
  uint64_t firstSize = LoadU32BE(header);
  uint64_t headerSize = 8;
  if (firstSize == 1) {
    firstSize = reader.U64BE();
    headerSize = 16;
  }
  if (firstSize < headerSize) return;

  int64_t position = AddClamped(0, firstSize);
  int64_t limit = reader.Size();
  if (!FindAtom(stream, "moov", position, limit) || !FindAtom(stream, "udta", position, limit) ||
      !FindAtom(stream, "meta", position, limit))
    return;
  position += 4;  // the meta atom's version and flags
  if (!FindAtom(stream, "ilst", position, limit)) return;

  for (size_t count = 0; count < kMaxItems && position < limit && limit - position > 8; ++count) {
    reader.Seek(position);
    const uint32_t size = reader.U32BE();
    if (size == 0 || size < 8) break;
    if (size > kMaxItemSize) {
      // Too large to be read (a cover of some megabytes): passed over unread
      // when it lies within the list and the file, so the items after it
      // still count; otherwise the list is damaged and the walk ends here.
      if (size > limit - position || size - 4 > static_cast<uint64_t>(reader.Remaining())) break;
      position += size;
      continue;
    }
    // An item that fits is passed over when it is not wanted; one that does
    // not fit goes on to Take, which ends the walk.
    if (Wanted != nullptr && size - 4 <= static_cast<uint64_t>(reader.Remaining())) {
      char type[4];
      reader.ReadExact(type, sizeof type);
      if (!Wanted(std::string_view(type, sizeof type))) {
        position += size;
        continue;
      }
      reader.Seek(position + 4);
    }
    const std::string item = reader.Take(size - 4);
    try {
      AddItem(item);
    } catch (const std::exception&) {
      // A malformed item is lost alone.
    }
    position += size;
  }
}

void TMP4Tags::AddItem(std::string_view item) {
  TByteView view(item);
  std::string name = AsciiLowered(view.Take(4));
  view.Skip(kItemValueOffset - 4);
  const std::string_view raw = view.Rest();
  if (static_cast<unsigned char>(name[0]) == 0xA9) name.erase(0, 1);

  std::string value;
  if (name == "trkn") {
    if (raw.size() < 4) {
      value = raw;
    } else if (const int16_t track = SignedU16BE(raw, 2); track > 0) {
      value = std::to_string(track);
      if (const int16_t total = SignedU16BE(raw, 4); total > 0) {
        value += '/';  // not "/" + to_string(): GCC 12 warns falsely of overlap there
        value += std::to_string(total);
      }
    }
  } else if (name == "tmpo" || name == "gnre") {
    if (const int16_t number = SignedU16BE(raw, 0); number > 0) value = std::to_string(number);
  } else if (name == "----") {
    // Freeform items: only the track replay gain is kept. Its mean and name
    // atoms are part of the raw value, so the name is found in it.
    if (AsciiLowered(raw).find("replaygain_track_gain") == std::string::npos) return;
    name = "rgtg";
    value = TrimBytes(raw.substr(raw.size() - std::min(raw.size(), kReplayGainTail)));
  } else {
    value = raw;
  }
  // Binary values such as a cover that begins with a zero byte are not text.
  if (value.empty() || value[0] == '\0') return;
  ItemNames.push_back(std::move(name));
  ItemValues.push_back(MarkUTF8(value));
}

}  // namespace dov
