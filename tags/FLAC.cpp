#include "tags/FLAC.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "common/ByteReader.h"
#include "common/DOVTnt.h"

namespace dov {
namespace {

constexpr int64_t kID3v2HeaderSize = 10;
constexpr int64_t kID3v2FooterSize = 10;
constexpr uint8_t kID3v2FooterFlag = 0x10;
// More comments than this are not believed, whatever the file's size.
constexpr uint32_t kMaxComments = 65536;

}  // namespace

void TFLAC::ReadFromFile(std::string_view fileName, TStream* stream) {
  Duration = 0;
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Read(s); });
}

void TFLAC::Read(TStream& stream) {
  TByteReader in(stream);
  unsigned char marker[4];
  in.ReadExact(marker, sizeof marker);
  if (std::memcmp(marker, "ID3", 3) == 0 && marker[3] > 1 && marker[3] < 9) {
    // An ID3v2 tag comes first: header, body of the declared size, and from
    // version 4 on an optional footer. The size bytes are used as they are.
    in.Seek(5);
    uint8_t flags = in.U8();
    unsigned char size[4];
    in.ReadExact(size, sizeof size);
    int64_t end = (int64_t{size[0]} << 21) + (int64_t{size[1]} << 14) + (int64_t{size[2]} << 7) +
                  size[3] + kID3v2HeaderSize;
    if (marker[3] >= 4 && (flags & kID3v2FooterFlag) != 0) end += kID3v2FooterSize;
    in.Seek(end);
    in.ReadExact(marker, sizeof marker);
  }
  if (std::memcmp(marker, "fLaC", 4) != 0) return;

  // The first block is the stream information; of its header only the
  // last-block flag is looked at, not its type or length.
  unsigned char header[4];
  in.ReadExact(header, sizeof header);
  bool last = (header[0] & 0x80) != 0;
  unsigned char info[kStreamInfoSize];
  in.ReadExact(info, sizeof info);
  SampleRate = uint32_t{info[10]} << 12 | uint32_t{info[11]} << 4 | uint32_t{info[12]} >> 4;
  Channels = static_cast<uint8_t>(((info[12] >> 1) & 7) + 1);
  BitsPerSample = static_cast<uint8_t>(((info[12] & 1) << 4 | info[13] >> 4) + 1);
  TotalSamples = uint64_t{info[13] & 0x0Fu} << 32 | uint64_t{LoadU32BE(&info[14])};
  if (SampleRate == 0) return;
  // Rounded to the nearest, halves to even. A play time that does not fit in
  // 32 bits of milliseconds (over 49 days) is not believed and stays 0.
  long double ms = std::nearbyint(static_cast<long double>(TotalSamples) / SampleRate * 1000.0L);
  if (ms <= static_cast<long double>(std::numeric_limits<uint32_t>::max()))
    Duration = static_cast<uint32_t>(ms);

  // The block walk: every step moves at least past a 4-byte header, and a
  // header past the end of the file ends it.
  if (!ReadComments) return;
  while (!last) {
    in.ReadExact(header, sizeof header);
    last = (header[0] & 0x80) != 0;
    if ((header[0] & 0x7F) == kVorbisCommentType) {
      ReadVorbisComments(in);
      return;
    }
    in.Skip(int64_t{header[1]} << 16 | int64_t{header[2]} << 8 | int64_t{header[3]});
  }
}

void TFLAC::ReadVorbisComments(TByteReader& in) {
  uint32_t vendorLength = in.U32LE();
  if (vendorLength > static_cast<uint64_t>(in.Remaining())) throw ETruncated();
  in.Skip(vendorLength);
  int32_t count = static_cast<int32_t>(in.U32LE());
  if (count <= 0) return;
  // A count the file cannot hold ends the reading before anything is kept.
  if (static_cast<uint32_t>(count) > kMaxComments ||
      static_cast<uint64_t>(count) > static_cast<uint64_t>(in.Remaining()) / kMinCommentSize)
    return;
  for (int32_t i = 0; i < count; ++i) {
    std::string comment = in.Take(in.U32LE());
    std::string_view text(comment), name, value = text;
    size_t eq = text.find('=');
    if (eq != std::string_view::npos) {
      name = text.substr(0, eq);
      value = text.substr(eq + 1);
    }
    std::string upper(name);
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    CommentNames.push_back(std::move(upper));
    CommentValues.push_back(MarkUTF8(TrimBytes(value)));
  }
}

}  // namespace dov
