#include "tags/OggTags.h"

#include <string.h>

#include <algorithm>
#include <exception>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"

namespace dov {
namespace {

// A page header begins with the capture pattern and stream structure version 0.
constexpr std::string_view kPageMagic("OggS\0", 5);
// A page header up to its segment table; byte 26 is the segment count.
constexpr size_t kPageHeaderSize = 27;
constexpr size_t kSegmentCountAt = 26;
constexpr size_t kChunkSize = 4096;
// More comments than this are not believed, whatever the file's size.
constexpr uint64_t kMaxComments = 65536;
// A comment longer than this that is not wanted is passed over once its name
// is known from these first bytes.
constexpr uint32_t kNamePeek = 64;

// text.find(part, from), by the C library's substring search, which is faster
// on a long text full of the part's first letter (a picture in base64).
size_t Find(std::string_view text, std::string_view part, size_t from) {
  if (from > text.size()) return std::string_view::npos;
  const void* at = ::memmem(text.data() + from, text.size() - from, part.data(), part.size());
  return at == nullptr ? std::string_view::npos
                       : static_cast<size_t>(static_cast<const char*>(at) - text.data());
}

// The comment header as one run of bytes. Where the packet continues on the
// next page, that page's header (27 bytes and its segment table) stands in
// the file between the packet's bytes; it is recognised by "OggS" and the
// version byte 0 and left out, wherever it falls: inside a comment, a length
// field or the vendor string. Every byte of the stream is looked at once, so
// the work is bounded by the size of the file.
class TPageJoiner {
 public:
  explicit TPageJoiner(TByteReader& in) : in_(in) {}

  // The bytes still to come can be no more than this.
  uint64_t MaxRemaining() const {
    return (window_.size() - pos_) + static_cast<uint64_t>(in_.Remaining());
  }

  std::string Take(uint64_t count) {
    if (count > MaxRemaining()) throw ETruncated();
    std::string out;
    out.reserve(static_cast<size_t>(count));
    Pass(count, [&out](std::string_view part) { out.append(part); });
    return out;
  }

  // As Take, keeping nothing.
  void Skip(uint64_t count) {
    if (count > MaxRemaining()) throw ETruncated();
    Pass(count, [](std::string_view) {});
  }

  uint32_t U32LE() { return LoadU32LE(Bytes(Take(4))); }

 private:
  // Makes at least want bytes available at pos_ (fewer only at the end of
  // the stream) and returns how many are.
  size_t Fill(size_t want) {
    size_t available = window_.size() - pos_;
    if (available >= want || ended_) return available;
    window_.erase(0, pos_);
    pos_ = 0;
    size_t request = std::max(want - available, kChunkSize);
    std::string more = in_.TakeUpTo(request);
    ended_ = more.size() < request;
    window_ += more;
    return window_.size();
  }

  void SkipPageHeader() {
    if (Fill(kPageHeaderSize) < kPageHeaderSize) throw ETruncated();
    size_t size = kPageHeaderSize + static_cast<unsigned char>(window_[pos_ + kSegmentCountAt]);
    if (Fill(size) < size) throw ETruncated();
    pos_ += size;
  }

  // Hands the next count bytes of the packet to sink, part by part.
  template <class TSink>
  void Pass(uint64_t count, TSink&& sink) {
    uint64_t done = 0;
    while (done < count) {
      size_t need = static_cast<size_t>(count - done);
      if (Fill(kPageMagic.size()) == 0) throw ETruncated();
      std::string_view w = std::string_view(window_).substr(pos_);
      if (w.substr(0, kPageMagic.size()) == kPageMagic) {
        SkipPageHeader();
        continue;
      }
      // Data runs up to the next place a page header could begin. Only places
      // whose five bytes are all in the window can be decided.
      std::string_view look = w.substr(0, std::min(w.size(), need + kPageMagic.size() - 1));
      size_t safe = Find(look, kPageMagic, 1);
      if (safe == std::string_view::npos) {
        if (look.size() == w.size() && ended_)
          safe = look.size();
        else
          safe = look.size() >= kPageMagic.size() ? look.size() - (kPageMagic.size() - 1) : 0;
      }
      if (safe == 0) {
        Fill(w.size() + 1);  // reads at least one byte, or finds the end
        continue;
      }
      size_t n = std::min(safe, need);
      sink(w.substr(0, n));
      done += n;
      pos_ += n;
    }
  }

  TByteReader& in_;
  std::string window_;
  size_t pos_ = 0;
  bool ended_ = false;  // a read came up short: nothing more will come
};

}  // namespace

void TOggTags::ReadFromFile(std::string_view fileName, TStream* stream) {
  Valid = false;
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Read(s); });
}

void TOggTags::Read(TStream& stream) {
  TByteReader in(stream);
  FileSize = in.Size();
  if (FileSize < kMinFileSize) return;

  // The identification packet's magic, minus its first byte: the packet type
  // 1 of Vorbis or the "O" of "OpusHead".
  in.Seek(kMagicOffset);
  in.ReadExact(Header.data(), Header.size());
  std::string_view magic(reinterpret_cast<const char*>(Header.data()), 6);
  const bool opus = magic == "pusHea";
  if (!opus && magic != "vorbis") return;

  // The second page: its segment count, the segment table, then the comment
  // packet's first byte (packet type 3, or the "O" of "OpusTags").
  in.Seek(opus ? kOpusSegmentCountOffset : kVorbisSegmentCountOffset);
  uint8_t segments = in.U8();
  in.Skip(int64_t{segments} + 1);
  std::string tagMagic = in.Take(6);
  if (tagMagic != "vorbis" && tagMagic != "pusTag") return;
  if (opus) in.Skip(1);  // the final "s" of "OpusTags"

  TPageJoiner body(in);
  Vendor = body.Take(body.U32LE());
  uint32_t count = body.U32LE();
  if (count > 0) {
    // Sized to the declared count, but only for a count the file can hold.
    if (count > kMaxComments || count > body.MaxRemaining() / kMinCommentSize) return;
    CommentNames.resize(count);
    CommentValues.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t length = body.U32LE();
      std::string comment;
      if (Wanted != nullptr && length > kNamePeek) {
        // Its name decides, when the first bytes hold it.
        comment = body.Take(kNamePeek);
        size_t eq = comment.find('=');
        if (eq != std::string::npos) {
          std::string_view name = std::string_view(comment).substr(0, eq);
          while (!name.empty() && static_cast<unsigned char>(name.front()) <= 0x20)
            name.remove_prefix(1);
          std::string upper(name);
          upper = AsciiUppered(upper);
          if (!Wanted(upper)) {
            body.Skip(length - kNamePeek);
            continue;
          }
        }
        comment += body.Take(length - kNamePeek);
      } else {
        comment = body.Take(length);
      }
      std::string_view text(comment), name, value = text;
      size_t eq = text.find('=');
      if (eq != std::string_view::npos) {
        name = text.substr(0, eq);
        value = text.substr(eq + 1);
      }
      while (!name.empty() && static_cast<unsigned char>(name.front()) <= 0x20)
        name.remove_prefix(1);
      while (!value.empty() && static_cast<unsigned char>(value.back()) <= 0x20)
        value.remove_suffix(1);
      CommentNames[i] = std::string(name);
      CommentNames[i] = AsciiUppered(CommentNames[i]);
      CommentValues[i] = MarkUTF8(value);
    }
  }
  Valid = true;
}

}  // namespace dov
