#include "tags/OggTags.h"

#include <string.h>

#include <algorithm>

#include "common/ByteReader.h"

namespace dov {
namespace {

// A page header begins with the capture pattern and stream structure version 0.
constexpr std::string_view kPageMagic("OggS\0", 5);
// A page header up to its segment table; byte 26 is the segment count.
constexpr size_t kPageHeaderSize = 27;
constexpr size_t kSegmentCountAt = 26;
// The comment packet's first bytes: the packet type 3 and "vorbis", or "OpusTags".
constexpr uint64_t kVorbisMagicSize = 7;
constexpr uint64_t kOpusMagicSize = 8;
// The bytes left in the current page's body when its end is not known.
constexpr uint64_t kPageEndUnknown = UINT64_MAX;

// text.find(part, from), by the C library's substring search, which is faster
// on a long text full of the part's first letter.
size_t Find(std::string_view text, std::string_view part, size_t from) {
  if (from > text.size()) return std::string_view::npos;
  const void* at = ::memmem(text.data() + from, text.size() - from, part.data(), part.size());
  return at == nullptr ? std::string_view::npos
                       : static_cast<size_t>(static_cast<const char*>(at) - text.data());
}

uint64_t SumOfLacing(std::string_view table) {
  uint64_t sum = 0;
  for (char c : table) sum += static_cast<unsigned char>(c);
  return sum;
}

// The comment header as one run of bytes. Where the packet continues on the
// next page, that page's header (27 bytes and its segment table) stands in
// the file between the packet's bytes and is left out. Each page's segment
// table tells where its body ends and the next header begins, so a comment
// nobody wants is passed over without reading it. Where that layout does not
// hold (no header where a page ends), a header is recognised by "OggS" and the
// version byte 0 wherever it falls, every byte looked at once.
class TPageJoiner : public TVorbisSource {
 public:
  // pageLeft: the bytes of the current page's body still to come.
  TPageJoiner(TByteReader& in, uint64_t pageLeft) : window_(in), pageLeft_(pageLeft) {}

  uint64_t MaxRemaining() const override { return window_.MaxRemaining(); }

  std::string Take(uint64_t count) override {
    if (count > MaxRemaining()) throw ETruncated();
    std::string out;
    out.reserve(static_cast<size_t>(count));
    while (count > 0) {
      const std::string_view part = NextRun(count);
      out.append(part);
      Consume(part.size());
      count -= part.size();
    }
    return out;
  }

  void Skip(uint64_t count) override {
    if (count > MaxRemaining()) throw ETruncated();
    while (count > 0) {
      EnterPage();
      uint64_t n;
      if (pageLeft_ == kPageEndUnknown) {
        n = NextRun(count).size();
        Consume(static_cast<size_t>(n));
      } else {
        n = std::min(count, pageLeft_);
        window_.Skip(n);
        pageLeft_ -= n;
      }
      count -= n;
    }
  }

  // Nothing is read after the list's last bytes: that they fit is enough.
  void SkipLast(uint64_t count) override {
    if (count > MaxRemaining()) throw ETruncated();
  }

  uint32_t U32LE() override { return LoadU32LE(Bytes(Take(4))); }

 private:
  // Where the current page's body has ended, the next page header is passed.
  void EnterPage() {
    while (pageLeft_ == 0) {
      const std::string_view head = window_.Peek(kPageHeaderSize);
      if (head.substr(0, kPageMagic.size()) != kPageMagic) {
        if (head.empty()) throw ETruncated();
        pageLeft_ = kPageEndUnknown;
        return;
      }
      PassPageHeader();
    }
  }

  // Passes the page header at the cursor and takes its body's size.
  void PassPageHeader() {
    std::string_view head = window_.Peek(kPageHeaderSize);
    if (head.size() < kPageHeaderSize) throw ETruncated();
    const size_t size = kPageHeaderSize + static_cast<unsigned char>(head[kSegmentCountAt]);
    head = window_.Peek(size);
    if (head.size() < size) throw ETruncated();
    pageLeft_ = SumOfLacing(head.substr(kPageHeaderSize, size - kPageHeaderSize));
    window_.Advance(size);
  }

  // The next bytes of the packet, at most count, not yet consumed.
  std::string_view NextRun(uint64_t count) {
    for (;;) {
      EnterPage();
      if (pageLeft_ != kPageEndUnknown) {
        const std::string_view w = window_.Peek(1);
        if (w.empty()) throw ETruncated();
        return w.substr(0, static_cast<size_t>(std::min<uint64_t>({count, pageLeft_, w.size()})));
      }
      const std::string_view run = SearchedRun(count);
      if (!run.empty()) return run;
    }
  }

  // Without a known page end: data runs up to the next place a page header
  // could begin, of which only places whose five bytes are all in the window
  // can be decided. Empty when a header was passed or more must be read.
  std::string_view SearchedRun(uint64_t count) {
    const std::string_view w = window_.Peek(kPageMagic.size());
    if (w.empty()) throw ETruncated();
    if (w.substr(0, kPageMagic.size()) == kPageMagic) {
      PassPageHeader();
      return {};
    }
    const size_t need = static_cast<size_t>(std::min<uint64_t>(count, w.size()));
    const std::string_view look = w.substr(0, std::min(w.size(), need + kPageMagic.size() - 1));
    size_t safe = Find(look, kPageMagic, 1);
    if (safe == std::string_view::npos) {
      if (look.size() == w.size() && window_.Ended())
        safe = look.size();
      else
        safe = look.size() >= kPageMagic.size() ? look.size() - (kPageMagic.size() - 1) : 0;
    }
    if (safe == 0) {
      window_.Peek(w.size() + 1);  // reads at least one byte, or finds the end
      return {};
    }
    return w.substr(0, std::min(safe, need));
  }

  void Consume(size_t n) {
    window_.Advance(n);
    if (pageLeft_ != kPageEndUnknown) pageLeft_ -= n;
  }

  TStreamWindow window_;
  uint64_t pageLeft_;
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
  const uint8_t segments = in.U8();
  const uint64_t body = SumOfLacing(in.Take(segments));
  in.Skip(1);
  std::string tagMagic = in.Take(6);
  if (tagMagic != "vorbis" && tagMagic != "pusTag") return;
  if (opus) in.Skip(1);  // the final "s" of "OpusTags"

  // The comment packet begins the page's body; a body too short to hold its
  // magic leaves the page's end unknown.
  const uint64_t magicSize = opus ? kOpusMagicSize : kVorbisMagicSize;
  TPageJoiner joiner(in, body >= magicSize ? body - magicSize : kPageEndUnknown);
  // Names trimmed at their start, values at their end; both lists sized to the
  // declared count first.
  TVorbisRules rules;
  rules.TrimNameStart = true;
  rules.SizeListsFirst = true;
  Valid = ReadVorbisComments(joiner, rules, {CommentNames, CommentValues, &Vendor, Wanted});
}

}  // namespace dov
