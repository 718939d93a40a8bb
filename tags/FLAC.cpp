#include "tags/FLAC.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "common/ByteReader.h"
#include "tags/VorbisComment.h"

namespace dov {
namespace {

constexpr int64_t kID3v2FooterSize = 10;
constexpr uint8_t kID3v2FooterFlag = 0x10;

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
    // version 4 on an optional footer. The size is read as the MP3 readers
    // read it, so that every reader skips the same bytes.
    in.Seek(5);
    const uint8_t flags = in.U8();
    unsigned char size[4];
    in.ReadExact(size, sizeof size);
    int64_t end = LoadID3v2TagSize(size);
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
  // Names as stored, values trimmed at both ends; the lists grow per comment.
  TVorbisRules rules;
  rules.TrimValueStart = true;
  rules.SignedCount = true;
  TStreamVorbisSource source(in);
  dov::ReadVorbisComments(source, rules, {CommentNames, CommentValues, nullptr, Wanted});
}

}  // namespace dov
