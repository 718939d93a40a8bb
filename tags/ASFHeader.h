// The header object of an ASF file (WMA, WMV): the GUIDs of the objects the
// readers look at, and one walk over the objects the header holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/ByteReader.h"

namespace dov {

using TASFGuid = std::array<char, 16>;

namespace asf_detail {
constexpr int HexValue(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10;
}
}  // namespace asf_detail

// A GUID from its standard text form, in the byte order ASF files store it:
// the first three groups little-endian, the last two as written.
constexpr TASFGuid ASFGuid(const char (&text)[37]) {
  auto at = [&text](size_t i) {
    return static_cast<char>(asf_detail::HexValue(text[i]) << 4 |
                             asf_detail::HexValue(text[i + 1]));
  };
  return {at(6),  at(4),  at(2),  at(0),  at(11), at(9),  at(16), at(14),
          at(19), at(21), at(24), at(26), at(28), at(30), at(32), at(34)};
}

inline constexpr TASFGuid kASFHeaderObject = ASFGuid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
inline constexpr TASFGuid kASFFileProperties = ASFGuid("8CABDCA1-A947-11CF-8EE4-00C00C205365");
inline constexpr TASFGuid kASFStreamProperties = ASFGuid("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
inline constexpr TASFGuid kASFContentDescription = ASFGuid("75B22633-668E-11CF-A6D9-00AA0062CE6C");
inline constexpr TASFGuid kASFExtendedContentDescription =
    ASFGuid("D2D0A440-E307-11D2-97F0-00A0C95EA850");

// The first count bytes of a GUID as stored.
constexpr std::string_view GuidBytes(const TASFGuid& guid, size_t count = 16) {
  return std::string_view(guid.data(), count);
}

// The header object: GUID, 64-bit size, 32-bit object count, 2 reserved
// bytes; then its objects, each starting with its GUID and 64-bit size.
inline constexpr int64_t kASFHeaderObjectSize = 30;
inline constexpr uint64_t kASFObjectHeaderSize = 24;

struct TASFHeader {
  uint32_t ObjectCount = 0;
  // Where the header's objects end: its declared size, or the end of the
  // stream when that size cannot be right.
  int64_t End = 0;
};

// Reads the header object at the start of the stream; false when the stream
// does not begin with its GUID.
bool ReadASFHeader(TByteReader& reader, TASFHeader& header);

// Calls visit(guid, object) for each counted object of the header, in file
// order; object is held to the object's declared bytes, its position after
// the size field. An object smaller than its own header or running past the
// header's end ends the walk; a read past an object's end (ETruncated) ends
// only that object. Every object moves the walk on by at least its header, so
// any count ends with the header.
template <class TVisit>
void WalkASFHeader(TByteReader& reader, const TASFHeader& header, TVisit&& visit) {
  int64_t start = kASFHeaderObjectSize;
  for (uint32_t i = 0; i < header.ObjectCount; ++i) {
    if (header.End - start < static_cast<int64_t>(kASFObjectHeaderSize)) return;
    reader.Seek(start);
    const std::string guid = reader.Take(16);
    const uint64_t size = reader.U64LE();
    if (size < kASFObjectHeaderSize || size > static_cast<uint64_t>(header.End - start)) return;
    TByteRange object(reader, start, start + static_cast<int64_t>(size));
    try {
      visit(std::string_view(guid), object);
    } catch (const ETruncated&) {
      // A length that runs past its object ends that object alone.
    }
    start += static_cast<int64_t>(size);
  }
}

}  // namespace dov
