#include "tags/WAVTags.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "common/ByteReader.h"
#include "common/DOVCommon.h"
#include "common/DOVTnt.h"
#include "common/RiffChunks.h"

namespace dov {
namespace {

// A file this small holds no chunk worth reading.
constexpr int64_t kMinFileSize = 44;
// Room a chunk must leave after itself for the walk to go on to the next.
constexpr int64_t kRoomAfterChunk = 10;
// A cart chunk holds at least its fixed fields; a scot chunk is no larger.
constexpr uint32_t kMinCartSize = 1024;
constexpr uint32_t kMaxScotSize = 512;

// The INFO ids looked up in a LIST body, in this order.
constexpr std::array<std::string_view, 26> kInfoIDs = {
    "ITTL", "IART", "IAAR", "IYER", "IYR ", "ICRD", "ITRK", "INAM", "IALB",
    "IPRD", "IGRE", "IGNR", "ICMT", "ISRC", "ISRF", "IMED", "ICOM", "IMUS",
    "IPUB", "ICMS", "ITCH", "IBPM", "IURL", "BCPR", "BTPO", "BFAD"};

// Text fields of the cart chunk stored as they are, in this order (the
// artist, with its fallback, comes second).
struct TCartField {
  const char* id;
  size_t offset;
  size_t width;
};
constexpr size_t kCartArtist = 68, kCartProducer = 488, kCartFieldWidth = 64;
constexpr std::array<TCartField, 10> kCartFields = {{{"ITRK", 132, 64},
                                                     {"CLNT", 196, 64},
                                                     {"ISRC", 260, 64},
                                                     {"INAM", 388, 64},
                                                     {"SDAT", 452, 10},
                                                     {"STIM", 462, 8},
                                                     {"EDAT", 470, 10},
                                                     {"ETIM", 480, 8},
                                                     {"ICMT", 616, 64},
                                                     {"IURL", 1024, 1024}}};
constexpr size_t kCartTimers = 684, kCartTimerCount = 8, kCartURL = 1024;

// The division of a post timer by a sample rate of 0.
class EZeroDivide : public std::runtime_error {
 public:
  EZeroDivide() : std::runtime_error("Division by zero") {}
};

std::string_view UpToZero(std::string_view s) {
  return s.substr(0, s.find('\0'));
}

template <size_t N>
std::string_view Field(const std::array<unsigned char, N>& data, size_t offset, size_t width) {
  return UpToZero(std::string_view(reinterpret_cast<const char*>(data.data()) + offset, width));
}

}  // namespace

void TWAVTags::AddChunk(std::string_view id, std::string_view text) {
  std::u16string wide;
  if (HasHighBytes(text) && DecodeUTF8(text, wide))
    ChunkValues.push_back(MarkUTF8(text));
  else
    ChunkValues.push_back(WideToMarked(AnsiToWide(text)));
  ChunkIDs.emplace_back(id);
}

void TWAVTags::ReadFromFile(std::string_view fileName, TStream* stream) {
  TagsRead = false;
  ChunkIDs.clear();
  ChunkValues.clear();
  CartData.fill(0);
  ScotData.fill(0);
  Format = TWaveFormat{};
  FileSize = 0;
  listRead_ = false;
  dispStored_ = false;
  // A file that cannot be opened, ends early or holds a rate of 0 keeps what
  // was read.
  ParseStreamOrFile(fileName, stream, [this](TStream& s) { Read(s); });
}

void TWAVTags::Read(TStream& stream) {
  TByteReader in(stream);
  if (!Walk(in)) return;
  // A list read without a DISP chunk: its title (INAM, or INAM stored as
  // IALB) becomes the display title.
  if (listRead_ && !dispStored_) {
    for (std::string& id : ChunkIDs)
      if (id == "INAM" || id == "IALB") {
        id = "DISP";
        break;
      }
  }
}

bool TWAVTags::Walk(TByteReader& in) {
  return ReadHead(in) && WalkChunks(in);
}

bool TWAVTags::ReadHead(TByteReader& in) {
  FileSize =
      static_cast<uint32_t>(std::min<int64_t>(in.Size(), std::numeric_limits<uint32_t>::max()));
  if (FileSize < kMinFileSize) return false;
  if (!in.Consume("RIFF")) return false;
  in.Skip(4);
  if (!in.Consume("WAVE")) return false;
  // Every chunk before "fmt " is skipped. The record stays when the file ends
  // inside the rest of the chunk.
  TWaveFormatChunk fmt;
  bool found = false;
  try {
    found = ReadWaveFormatChunk(in, fmt);
  } catch (...) {
    Format = fmt.Format;
    throw;
  }
  Format = fmt.Format;
  return found;
}

bool TWAVTags::WalkChunks(TByteReader& in) {
  bool infoSeen = false;
  do {
    switch (ReadChunk(in, ReadRiffChunkId(in), infoSeen)) {
      case TStep::Next:
        break;
      case TStep::Leave:
        return true;
      case TStep::Stop:
        return false;
    }
  } while (FileSize - in.Position() >= kRoomAfterChunk);
  return true;
}

TWAVTags::TStep TWAVTags::ReadChunk(TByteReader& in, const TRiffId& id, bool& infoSeen) {
  if (RiffIdIs(id, "DISP")) {
    const TChunkBody body = ReadBody(in);
    // The first four bytes are the clipboard format.
    if (body.size > 4) {
      AddChunk("DISP", body.View().substr(4));
      dispStored_ = true;
    }
    return MarkRead();
  }
  if (RiffIdIs(id, "INFO") && !infoSeen) {
    // Inside a list: read its "LIST" header next.
    infoSeen = true;
    in.Seek(in.Position() - 12);
    return TStep::Next;
  }
  if (RiffIdIs(id, "LIST")) {
    // Enough for an id at the last place looked at, its size and its text.
    ReadInfo(ReadBody(in, kInfoLookupBytes + 8 + kMaxCommentSize).View());
    listRead_ = true;
    return MarkRead();
  }
  const uint32_t size = in.U32LE();
  if (RiffIdIs(id, "cart")) {
    if (!Fits(in, size, kRoomAfterChunk) || size < kMinCartSize) return TStep::Leave;
    return ReadCart(in, size) ? TStep::Leave : TStep::Stop;
  }
  if (RiffIdIs(id, "scot")) {
    if (Fits(in, size, kRoomAfterChunk) && size <= kMaxScotSize) ReadScot(in);
    return TStep::Leave;
  }
  if (size == 0 || !Fits(in, size, kRoomAfterChunk)) return TStep::Leave;
  in.Skip(size);
  return TStep::Next;
}

TWAVTags::TStep TWAVTags::MarkRead() {
  if (TagsRead) return TStep::Leave;
  TagsRead = true;
  return TStep::Next;
}

bool TWAVTags::Fits(const TByteReader& in, uint32_t size, int64_t room) const {
  return int64_t{size} <= (int64_t{FileSize} - in.Position()) - room;
}

TWAVTags::TChunkBody TWAVTags::ReadBody(TByteReader& in, size_t most) {
  const uint32_t size = in.U32LE();
  // A body that runs past the end is empty.
  if (!Fits(in, size, 0)) {
    in.Seek(FileSize);
    return {};
  }
  TChunkBody body;
  body.size = std::min<size_t>(size, most);
  body.bytes = std::make_unique_for_overwrite<char[]>(body.size);
  in.ReadExact(body.bytes.get(), body.size);
  if (body.size < size) in.Skip(uint64_t{size} - body.size);
  return body;
}

namespace {

constexpr size_t kInfoCount = kInfoIDs.size();

// The four bytes of an id as one number, and of its lower-case form ("tart"
// for "IART"), which some writers use.
uint32_t IdNumber(std::string_view id) {
  return LoadU32LE(Bytes(id));
}
uint32_t LowerIdNumber(std::string_view id) {
  std::string alt = "t";
  for (char c : id.substr(1)) alt.push_back(AsciiLower(c));
  return IdNumber(alt);
}

// The sought ids of one form by their second byte (no byte is second in
// more than five), so that a place is compared with those few ids only.
constexpr size_t kMaxSameSecond = 6;
struct TIdForm {
  struct TCandidates {
    uint8_t count = 0;
    std::array<uint8_t, kMaxSameSecond> index{};
    std::array<uint32_t, kMaxSameSecond> number{};
  };
  std::array<TCandidates, 256> bySecond{};

  void Add(size_t k, uint32_t number) {
    TCandidates& c = bySecond[number >> 8 & 0xFF];
    c.index[c.count] = static_cast<uint8_t>(k);
    c.number[c.count] = number;
    ++c.count;
  }
  // Notes the place of the id whose four bytes stand there, unless one was
  // noted before; true when this is its first place.
  bool NoteFirst(uint32_t four, size_t place, std::array<size_t, kInfoCount>& found) const {
    const TCandidates& c = bySecond[four >> 8 & 0xFF];
    for (size_t n = 0; n < c.count; ++n) {
      if (four != c.number[n]) continue;
      if (found[c.index[n]] != std::string_view::npos) return false;
      found[c.index[n]] = place;
      return true;
    }
    return false;
  }
};

// The bytes a sought id begins with in either form: at most three first
// bytes and, where they are few enough, the second bytes with letters
// lower-cased, so that a place is looked at only where both stand.
constexpr size_t kMaxLeads = 3, kMaxSeconds = 4;
constexpr char kFoldCase = 0x20;
struct TLeadBytes {
  std::array<char, kMaxLeads> leads{};
  std::array<char, kMaxSeconds> seconds{};
  size_t leadCount = 0, secondCount = 0;
  bool anySecond = false;

  void Add(uint32_t number) {
    const auto first = static_cast<char>(number & 0xFF);
    const auto second = static_cast<char>(number >> 8 | kFoldCase);
    if (std::find(leads.begin(), leads.begin() + leadCount, first) == leads.begin() + leadCount)
      leads.at(leadCount++) = first;
    if (anySecond || std::find(seconds.begin(), seconds.begin() + secondCount, second) !=
                         seconds.begin() + secondCount)
      return;
    if (secondCount == kMaxSeconds)
      anySecond = true;
    else
      seconds[secondCount++] = second;
  }
  bool IsLead(char c) const {
    return std::find(leads.begin(), leads.begin() + leadCount, c) != leads.begin() + leadCount;
  }
};

typedef char TBytes16 __attribute__((vector_size(16)));
typedef char TBytes32 __attribute__((vector_size(32)));

// One bit per lane of a comparison's result (each lane 0 or all ones), the
// first lane in the lowest bit: one instruction where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::always_inline]] inline uint64_t LaneBits(const TBytes16& hits) {
  return static_cast<uint32_t>(__builtin_ia32_pmovmskb128(hits));
}
// Not forced inline: the template that calls it is built for any processor;
// SiftBy32, built for AVX2, flattens it in.
[[gnu::target("avx2")]] inline uint64_t LaneBits(const TBytes32& hits) {
  return static_cast<uint32_t>(__builtin_ia32_pmovmskb256(hits));
}
#else
template <class TVector>
[[gnu::always_inline]] inline uint64_t LaneBits(const TVector& hits) {
  // Eight lanes a word: the multiplication gathers each lane's low bit into
  // the top byte, the first lane (the lowest byte) lowest.
  constexpr size_t kWords = sizeof(TVector) / 8;
  uint64_t words[kWords];
  std::memcpy(words, &hits, sizeof words);
  uint64_t bits = 0;
  for (size_t w = 0; w < kWords; ++w) {
    if constexpr (std::endian::native == std::endian::big) words[w] = __builtin_bswap64(words[w]);
    bits |= ((words[w] & 0x0101010101010101) * 0x0102040810204080 >> 56) << (8 * w);
  }
  return bits;
}
#endif

// Sifts places many at once, from `from` while two vectors and three bytes
// remain, for those that may begin a sought id: TVector is a vector of the
// compiler's extension, in the registers the caller's target has. Returns the
// first such place (found set), or the place the sifting stopped at.
template <class TVector>
[[gnu::always_inline]] inline size_t SiftAtOnce(std::string_view body, size_t from,
                                                const TLeadBytes& b, bool& found) {
  constexpr size_t N = sizeof(TVector);
  // The leads, the second bytes and the case bit, each in every lane; the
  // sets padded with their first byte to a fixed width.
  static_assert(kMaxLeads == 3 && kMaxSeconds == 4);
  TVector splat[kMaxLeads + kMaxSeconds + 1];
  for (size_t n = 0; n < kMaxLeads; ++n)
    std::memset(&splat[n], b.leads[n < b.leadCount ? n : 0], N);
  for (size_t n = 0; n < kMaxSeconds; ++n)
    std::memset(&splat[kMaxLeads + n], b.seconds[n < b.secondCount ? n : 0], N);
  std::memset(&splat[kMaxLeads + kMaxSeconds], kFoldCase, N);
  // Two vectors a step: one test of both is cheaper than a test of each.
  size_t i = from;
  for (; i + 2 * N + 3 <= body.size(); i += 2 * N) {
    decltype(splat[0] == splat[0]) hits[2];
    for (size_t k = 0; k < 2; ++k) {
      TVector bytes, next;
      std::memcpy(&bytes, body.data() + i + k * N, N);
      std::memcpy(&next, body.data() + i + k * N + 1, N);
      hits[k] = (bytes == splat[0]) | (bytes == splat[1]) | (bytes == splat[2]);
      if (!b.anySecond) {
        next |= splat[7];
        hits[k] &=
            (next == splat[3]) | (next == splat[4]) | (next == splat[5]) | (next == splat[6]);
      }
    }
    if (LaneBits(TVector(hits[0] | hits[1])) == 0) continue;
    const uint64_t bits = LaneBits(TVector(hits[0])) | LaneBits(TVector(hits[1])) << N;
    found = true;
    return i + static_cast<size_t>(std::countr_zero(bits));
  }
  found = false;
  return i;
}

using TSift = size_t (*)(std::string_view, size_t, const TLeadBytes&, bool&);
size_t SiftBy16(std::string_view body, size_t from, const TLeadBytes& b, bool& found) {
  return SiftAtOnce<TBytes16>(body, from, b, found);
}
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2"), gnu::flatten]] size_t SiftBy32(std::string_view body, size_t from,
                                                      const TLeadBytes& b, bool& found) {
  return SiftAtOnce<TBytes32>(body, from, b, found);
}
#endif

// The widest sifting the processor has, unless narrowed.
TSift ChooseSift([[maybe_unused]] bool narrow) {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (!narrow && __builtin_cpu_supports("avx2")) return SiftBy32;
#endif
  return SiftBy16;
}

std::atomic<TSift>& ChosenSift() {
  static std::atomic<TSift> sift = ChooseSift(false);
  return sift;
}

// Calls at(i), in order, for every place i with three more bytes after it
// where a sought id may begin, until at returns false. Many places are
// sifted at once: a lead as common as a letter of the text then costs less
// than a library search per place.
template <class TAt>
void ForEachLead(std::string_view body, const TLeadBytes& bytes, TAt&& at) {
  if (body.size() < 4 || bytes.leadCount == 0) return;
  const TSift sift = ChosenSift().load(std::memory_order_relaxed);
  const size_t last = body.size() - 4;  // the last place with four bytes
  size_t i = 0;
  bool found = false;
  while (true) {
    i = sift(body, i, bytes, found);
    if (!found) break;
    if (!at(i)) return;
    ++i;
  }
  // The last places, fewer than two vectors' worth, one by one.
  for (; i <= last; ++i)
    if (bytes.IsLead(body[i]) && !at(i)) return;
}

// The ids a list is searched for, one bit each in kInfoIDs' order.
using TSoughtIds = uint32_t;
static_assert(kInfoCount <= 32);
constexpr TSoughtIds kAllIds = (TSoughtIds{1} << kInfoCount) - 1;

size_t InfoIndex(std::string_view id) {
  return static_cast<size_t>(std::find(kInfoIDs.begin(), kInfoIDs.end(), id) - kInfoIDs.begin());
}

using TWanted = bool (*)(std::string_view id);

// The ids a reader's filter asks for; every id without a filter.
TSoughtIds SoughtIds(TWanted wanted) {
  if (wanted == nullptr) return kAllIds;
  TSoughtIds sought = 0;
  for (size_t k = 0; k < kInfoCount; ++k)
    if (wanted(kInfoIDs[k])) sought |= TSoughtIds{1} << k;
  // INAM becomes the title or the album, and IALB's presence decides which.
  if (wanted("DISP") || wanted("IALB") || wanted("INAM"))
    sought |= TSoughtIds{1} << InfoIndex("INAM") | TSoughtIds{1} << InfoIndex("IALB");
  return sought;
}

// The sought ids in upper case and in their lower-case form ("tart" for
// "IART"), which some writers use, with the bytes either begins with.
struct TIdForms {
  TSoughtIds sought;
  TIdForm upper, lower;
  TLeadBytes leads;
  explicit TIdForms(TSoughtIds ids) : sought(ids) {
    for (size_t k = 0; k < kInfoCount; ++k) {
      if ((sought >> k & 1) == 0) continue;
      const uint32_t id = IdNumber(kInfoIDs[k]), lowerId = LowerIdNumber(kInfoIDs[k]);
      upper.Add(k, id);
      lower.Add(k, lowerId);
      leads.Add(id);
      leads.Add(lowerId);
    }
  }
};

// Made once for each filter and kept, so that the filter is asked once; a
// thread remembers the last it used without taking the lock.
const TIdForms& FormsFor(TWanted wanted) {
  thread_local TWanted lastWanted = nullptr;
  thread_local const TIdForms* last = nullptr;
  if (last != nullptr && lastWanted == wanted) return *last;
  static std::mutex mutex;
  static std::map<TWanted, std::unique_ptr<const TIdForms>> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto& forms = made[wanted];
  if (forms == nullptr) forms = std::make_unique<const TIdForms>(SoughtIds(wanted));
  lastWanted = wanted;
  last = forms.get();
  return *last;
}

// Where each sought id, and its lower-case form, is first found in the body:
// the same places as a search per id and form, found in one pass over a
// large list (a long comment). The lower-case form counts only where the id
// stands nowhere; the pass ends once every id is found in upper case.
struct TInfoPlaces {
  std::array<size_t, kInfoCount> upper, lower;
};
TInfoPlaces FindInfoPlaces(std::string_view body, const TIdForms& forms) {
  TInfoPlaces places;
  places.upper.fill(std::string_view::npos);
  places.lower.fill(std::string_view::npos);
  size_t open = static_cast<size_t>(std::popcount(forms.sought));
  ForEachLead(body, forms.leads, [&](size_t i) {
    const uint32_t four = LoadU32LE(Bytes(body) + i);
    if (forms.upper.NoteFirst(four, i, places.upper))
      --open;
    else
      forms.lower.NoteFirst(four, i, places.lower);
    return open > 0;
  });
  return places;
}

}  // namespace

void TWAVTags::SiftNarrowly(bool narrow) {
  ChosenSift().store(ChooseSift(narrow));
}

void TWAVTags::ReadInfo(std::string_view body) {
  // The ids are sought at places below kInfoLookupBytes, their four bytes in full.
  const TInfoPlaces places = FindInfoPlaces(body.substr(0, kInfoLookupBytes + 3), FormsFor(Wanted));
  const size_t album = InfoIndex("IALB");
  const bool hasAlbum = places.upper[album] != std::string_view::npos;
  for (size_t k = 0; k < kInfoCount; ++k) {
    const std::string_view id = kInfoIDs[k];
    const size_t at = places.upper[k] != std::string_view::npos ? places.upper[k] : places.lower[k];
    if (at == std::string_view::npos) continue;
    if (body.size() - at < 8) continue;
    const uint32_t size = LoadU32LE(Bytes(body) + at + 4);
    if (size > (id == "ICMT" ? kMaxCommentSize : kMaxInfoSize)) continue;
    // A size past the end of the list takes what the list holds.
    const std::string_view text = TrimBytes(UpToZero(body.substr(at + 8, size)));
    if (text.empty()) continue;
    AddChunk(id == "INAM" && !hasAlbum ? "IALB" : id, text);
  }
}

bool TWAVTags::ReadCart(TByteReader& in, uint32_t size) {
  in.ReadExact(CartData.data(), size >= kCartSize ? kCartSize : 1024);
  const std::string_view rawVersion(reinterpret_cast<const char*>(CartData.data()), 4);
  const std::string_view version = UpToZero(rawVersion);
  if (rawVersion != std::string_view("\0\0\0\0", 4)) {
    if (version.substr(0, 2) != "01") return true;
  } else if (size != 1024 && size != 1025 && size != 1026 && size != 2048) {
    return false;
  }
  // Version 1.00 has no URL.
  if (version == "0100") std::fill(CartData.begin() + kCartURL, CartData.end(), 0);

  auto store = [&](std::string_view id, std::string_view text) {
    if (!text.empty()) AddChunk(id, text);
  };
  store("DISP", Field(CartData, 4, kCartFieldWidth));
  std::string_view artist = Field(CartData, kCartArtist, kCartFieldWidth);
  store("IART", artist.empty() ? Field(CartData, kCartProducer, kCartFieldWidth) : artist);
  for (const TCartField& field : kCartFields)
    store(field.id, Field(CartData, field.offset, field.width));

  for (size_t i = 0; i < kCartTimerCount; ++i) {
    const size_t at = kCartTimers + 8 * i;
    const std::string_view usage(reinterpret_cast<const char*>(CartData.data()) + at, 4);
    const char* id = nullptr;
    if (usage == "AUDs")
      id = "Cue";
    else if (usage == "SEGs")
      id = "IMED";
    else if (usage == "OUTs")
      id = "Outro";
    else if (usage.substr(0, 3) == "INT")
      id = "ISRF";
    if (id == nullptr) continue;
    if (Format.SampleRate == 0) throw EZeroDivide();
    const uint64_t samples = LoadU32LE(CartData.data() + at + 4);
    AddChunk(id, std::to_string(samples * 1000 / Format.SampleRate));
  }
  TagsRead = true;
  return true;
}

void TWAVTags::ReadScot(TByteReader& in) {
  // A short file leaves the rest zero.
  in.ReadInto(ScotData.data(), ScotData.size());
  auto store = [&](std::string_view id, std::string_view text) {
    if (!text.empty()) AddChunk(id, text);
  };
  store("DISP", Field(ScotData, 4, 43));
  store("IART", Field(ScotData, 267, 34));
  store("IYER", Field(ScotData, 338, 4));
  if (std::string_view intro = Field(ScotData, 335, 2); !intro.empty())
    AddChunk("ISRF", std::to_string(int64_t{SafeStrToInt(intro)} * 1000));
  store("ICMT", Field(ScotData, 301, 34));
  TagsRead = true;
}

}  // namespace dov
