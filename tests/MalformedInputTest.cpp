// Malformed input across every reader: an I/O error on any one read, sizes
// patched to lies at every offset of the real fixtures (with the largest
// allocation watched), false MPEG sync inside a tag, text that is only a mark
// or not text at all, and hostile playlists. Each reader's own test covers
// its format's rules; this one covers what every reader owes: it returns, it
// raises nothing, it keeps only what it read and allocates no more than the
// file could hold.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/DOVTnt.h"
#include "info/AIFF.h"
#include "info/APEInfo.h"
#include "info/ASF.h"
#include "info/AVI.h"
#include "info/AudioFiles.h"
#include "info/CDA.h"
#include "info/MP4Info.h"
#include "info/MPEGAudio.h"
#include "info/MPEGVideo.h"
#include "info/OGGInfo.h"
#include "info/OTSInfo.h"
#include "info/WAVInfo.h"
#include "tags/APETag.h"
#include "tags/FLAC.h"
#include "tags/MP3Tags.h"
#include "tags/MP4Tags.h"
#include "tags/OggTags.h"
#include "tags/TagImport.h"
#include "tags/WAVTags.h"
#include "tags/WMAInfo.h"
#include "tests/TestSupport.h"

// ---- The largest single allocation -----------------------------------------
//
// Every allocation through operator new is measured while a TAllocationWatch
// is alive, so that a reader sizing a buffer or a list from a lying count is
// caught even when the allocation would succeed.

namespace {
std::atomic<bool> gWatching{false};
std::atomic<size_t> gLargest{0};

void Record(size_t size) {
  if (!gWatching.load(std::memory_order_relaxed)) return;
  size_t seen = gLargest.load(std::memory_order_relaxed);
  while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
  }
}

void* Allocate(size_t size) {
  Record(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

// Every form is replaced, so that each allocation and its release meet.
void* operator new(size_t size) {
  return Allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}
void* operator new(size_t size, std::align_val_t align) {
  Record(size);
  const size_t a = static_cast<size_t>(align);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void* operator new[](size_t size) {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}

namespace dov {
namespace {

namespace fs = std::filesystem;
using test::DataPath;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class TAllocationWatch {
 public:
  TAllocationWatch() {
    gLargest = 0;
    gWatching = true;
  }
  ~TAllocationWatch() { gWatching = false; }
  size_t Largest() const { return gLargest; }
};

// Bytes in memory whose read number failAt (1-based) raises EReadError, as a
// disk that fails once would; 0 never fails. Counts the reads.
class TFailingStream : public TStream {
 public:
  TFailingStream(std::string bytes, int failAt) : bytes_(std::move(bytes)), failAt_(failAt) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  int Reads() const { return reads_; }

 protected:
  size_t ReadAt(int64_t offset, void* buffer, size_t count) override {
    if (++reads_ == failAt_) throw EReadError("Injected read error");
    if (offset < 0 || offset >= Size()) return 0;
    const size_t n = std::min(count, bytes_.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }

 private:
  std::string bytes_;
  int failAt_;
  int reads_ = 0;
};

// What a reader delivered, in one shape for all of them.
struct TRead {
  std::vector<std::string> ids, values;
  int64_t duration = 0;
};

using TReadFn = std::function<TRead(TStream&)>;

struct TReader {
  const char* name;
  std::vector<std::string> extensions;  // the fixtures it is fed
  TReadFn read;
};

TRead WMAFields(TWMAfile& wma) {
  TRead r;
  const std::pair<const char*, const std::u16string*> fields[] = {
      {"Title", &wma.Title},      {"Artist", &wma.Artist},   {"Album", &wma.Album},
      {"Genre", &wma.Genre},      {"Comment", &wma.Comment}, {"Year", &wma.Year},
      {"Composer", &wma.Composer}};
  for (const auto& [id, value] : fields) {
    if (value->empty()) continue;
    r.ids.emplace_back(id);
    r.values.push_back(WideToMarked(*value));
  }
  r.duration = static_cast<int64_t>(wma.Duration * 1000);
  return r;
}

template <class TInfo>
TRead Duration(TStream& s) {
  TInfo r;
  r.ReadFromFile("x", &s);
  return TRead{{}, {}, r.Duration};
}

const std::vector<TReader>& Readers() {
  static const std::vector<TReader> readers = {
      {"MP3Tags",
       {".mp3", ".mp2"},
       [](TStream& s) {
         TMP3Tags r;
         r.ReadFromFile("x.mp3", &s);
         return TRead{r.FrameIDs, r.FrameValues, 0};
       }},
      {"WAVTags",
       {".wav"},
       [](TStream& s) {
         TWAVTags r;
         r.ReadFromFile("x.wav", &s);
         return TRead{r.ChunkIDs, r.ChunkValues, 0};
       }},
      {"OggTags",
       {".ogg", ".opus"},
       [](TStream& s) {
         TOggTags r;
         r.ReadFromFile("x.ogg", &s);
         return TRead{r.CommentNames, r.CommentValues, 0};
       }},
      {"FLAC",
       {".flac"},
       [](TStream& s) {
         TFLAC r(true);
         r.ReadFromFile("x.flac", &s);
         return TRead{r.CommentNames, r.CommentValues, r.Duration};
       }},
      {"MP4Tags",
       {".m4a", ".mp4"},
       [](TStream& s) {
         TMP4Tags r;
         r.ReadFromFile("x.m4a", &s);
         return TRead{r.ItemNames, r.ItemValues, 0};
       }},
      {"WMAInfo",
       {".wma"},
       [](TStream& s) {
         TWMAfile r;
         r.ReadFromFile("x.wma", &s);
         return WMAFields(r);
       }},
      {"MPEGAudio", {".mp3", ".mp2"}, Duration<TMPEGInfo>},
      {"WAVInfo", {".wav"}, Duration<TWAVInfo>},
      {"AIFF", {".aif", ".aiff", ".aifc"}, Duration<TAIFFInfo>},
      {"CDA", {".cda"}, Duration<TCDAInfo>},
      {"AVI", {".avi"}, Duration<TAVIInfo>},
      {"APEInfo", {".ape", ".mac"}, Duration<TAPEInfo>},
      {"OGGInfo", {".ogg", ".opus"}, Duration<TOggInfo>},
      {"MP4Info", {".m4a", ".mp4", ".mov"}, Duration<TMP4Info>},
      {"ASF", {".wma", ".wmv", ".asf"}, Duration<TASFInfo>},
      {"MPEGVideo", {".mpg", ".mpeg"}, Duration<TMPEGVideo>},
      {"OTSInfo", {".ots"}, Duration<TOTSInfo>},
  };
  return readers;
}

// The audio fixtures of a reader.
std::vector<std::string> Fixtures(const TReader& reader) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(DataPath(""))) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (std::find(reader.extensions.begin(), reader.extensions.end(), ext) !=
        reader.extensions.end())
      names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Every value of part is the value the whole read had at that place, or
// empty (a list sized before its entries were read); part has no more.
void ExpectPartOf(const TRead& part, const TRead& whole, const std::string& where) {
  ASSERT_EQ(part.ids.size(), part.values.size()) << where;
  ASSERT_LE(part.values.size(), whole.values.size()) << where;
  for (size_t i = 0; i < part.values.size(); ++i) {
    if (part.values[i].empty()) continue;
    EXPECT_EQ(part.values[i], whole.values[i]) << where << ", value " << i;
  }
}

// ---- An I/O error on the Nth read ----------------------------------------------

TEST(MalformedInput, AReadErrorAtAnyReadKeepsWhatWasReadAndRaisesNothing) {
  for (const TReader& reader : Readers()) {
    // (Readers without fixtures, such as the CD-audio one, are left to their
    // own tests and the fuzzers.)
    for (const std::string& name : Fixtures(reader)) {
      const std::string bytes = ReadFile(DataPath(name));
      TFailingStream clean(bytes, 0);
      const TRead whole = reader.read(clean);
      ASSERT_GT(clean.Reads(), 0) << reader.name << " " << name;
      for (int n = 1; n <= clean.Reads(); ++n) {
        const std::string where =
            std::string(reader.name) + " " + name + ", read " + std::to_string(n) + " fails";
        TFailingStream failing(bytes, n);
        TRead part;
        ASSERT_NO_THROW(part = reader.read(failing)) << where;
        EXPECT_GE(failing.Reads(), n) << where;
        ExpectPartOf(part, whole, where);
        // A length is the whole file's or none; a frame header that was
        // never confirmed gives none.
        if (part.duration != 0) {
          EXPECT_EQ(part.duration, whole.duration) << where;
        }
      }
    }
  }
}

// The whole path of a file: the store, the dispatcher and the import share the
// one stream, and a read error anywhere leaves a store whose values are values
// of the file, nothing raised.
TEST(MalformedInput, AReadErrorAnywhereOnTheWholePathMakesUpNoValue) {
  SetImportDurationSource(nullptr);
  SetImportReaderSource(nullptr);
  for (const auto& entry : fs::directory_iterator(DataPath(""))) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".sh") || name.ends_with(".m3u") || name.ends_with(".pls")) continue;
    const std::string bytes = ReadFile(entry.path().string());
    auto load = [&](int failAt, int* reads) {
      auto stream = std::make_unique<TFailingStream>(bytes, failAt);
      TFailingStream* raw = stream.get();
      auto tags = std::make_unique<TAPETags>(name, std::move(stream));
      if (tags->NeedsContainerTags()) tags->ImportContainerTags();
      if (reads != nullptr) *reads = raw->Reads();
      return tags;
    };
    int total = 0;
    const auto whole = load(0, &total);
    for (int n = 1; n <= total; ++n) {
      SCOPED_TRACE(name + ", read " + std::to_string(n) + " fails");
      std::unique_ptr<TAPETags> part;
      ASSERT_NO_THROW(part = load(n, nullptr));
      // A footer that could not be read is no APE tag: the container's tags
      // are imported instead.
      if (part->HasAPETag() != whole->HasAPETag()) continue;
      std::set<std::string> wholeValues;
      for (const TAPEItem& item : whole->Items()) wholeValues.insert(item.Value);
      // No value is made up. (One may stand under another name: the WAV
      // reader turns the title it stored as the album into the display title
      // only when its walk ends normally.)
      for (const TAPEItem& item : part->Items()) {
        if (item.Value.empty() || item.Name == "Duration") continue;
        EXPECT_TRUE(wholeValues.count(item.Value)) << item.Name << " = " << item.Value;
      }
    }
  }
}

// ---- Lying sizes and counts at every offset ---------------------------------------

// Each fixture with 4 bytes at each offset of its head and tail replaced by a
// size that cannot be right, in either byte order and as a sync-safe number.
// Every reader must end, and its largest allocation must stay within what the
// file could hold (plus the fixed buffers a reader may have).
TEST(MalformedInput, PatchedSizesNeverAllocateMoreThanTheFileHolds) {
  const std::string lies[] = {std::string("\xFF\xFF\xFF\xFF"), std::string("\x7F\xFF\xFF\xF0"),
                              std::string("\x7F\x7F\x7F\x7F"), std::string("\x00\x00\x00\x01", 4)};
  constexpr size_t kHead = 512, kTail = 128;
  constexpr size_t kFixedBuffers = 128 * 1024;
  const auto start = std::chrono::steady_clock::now();
  for (const TReader& reader : Readers()) {
    for (const std::string& name : Fixtures(reader)) {
      const std::string bytes = ReadFile(DataPath(name));
      const size_t limit = 2 * bytes.size() + kFixedBuffers;
      std::vector<size_t> offsets;
      for (size_t p = 0; p + 4 <= bytes.size(); ++p)
        if (p < kHead || p + kTail >= bytes.size()) offsets.push_back(p);
      for (size_t p : offsets) {
        for (const std::string& lie : lies) {
          std::string patched = bytes;
          patched.replace(p, 4, lie);
          TMemoryStream stream(patched);
          size_t largest = 0;
          {
            TAllocationWatch watch;
            reader.read(stream);
            largest = watch.Largest();
          }
          ASSERT_LE(largest, limit) << reader.name << " " << name << ", offset " << p;
        }
      }
    }
  }
  RecordProperty("seconds", static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count()));
}

// ---- False MPEG sync inside a tag ----------------------------------------------------

// Frame header of MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, no padding: 417 bytes.
constexpr char kHeader128k[] = "\xFF\xFB\x90\x44";
constexpr size_t kFrame128k = 417;
// MPEG-1 Layer III, 32 kbit/s, 32 kHz: 144 bytes.
constexpr char kHeader32k[] = "\xFF\xFB\x18\xC4";
constexpr size_t kFrame32k = 144;

std::string Frames(const char* header, size_t frameSize, int count) {
  std::string frame(frameSize, '\x55');
  frame.replace(0, 4, header, 4);
  std::string all;
  for (int i = 0; i < count; ++i) all += frame;
  return all;
}

std::string Id3v2(const std::string& body) {
  const uint32_t size = static_cast<uint32_t>(body.size());
  std::string h = "ID3\x03";
  h.push_back('\0');
  h.push_back('\0');
  for (int shift : {21, 14, 7, 0}) h.push_back(static_cast<char>((size >> shift) & 0x7F));
  return h + body;
}

// A text frame of ID3v2.3 whose value holds the bytes as they are.
std::string RawTextFrame(const char* id, const std::string& value) {
  return std::string(id, 4) + test::U32BE(static_cast<uint32_t>(value.size() + 1)) +
         std::string(2, '\0') + std::string(1, '\0') + value;
}

int32_t MpegDuration(const std::string& bytes) {
  TMemoryStream stream(bytes);
  TMPEGInfo info;
  info.ReadFromFile("x.mp3", &stream);
  return info.Duration;
}

TEST(MalformedInput, FalseMpegSyncInsideAnId3v2TagIsNotTakenForAudio) {
  // Inside the tag: a pair of 128 kbit/s headers one frame apart, which would
  // confirm each other. After it: real 32 kbit/s frames.
  const std::string decoy = Frames(kHeader128k, kFrame128k, 2);
  const std::string audio = Frames(kHeader32k, kFrame32k, 40);
  const std::string tag = Id3v2(RawTextFrame("TIT2", decoy) + std::string(64, '\0'));
  const int32_t expected = MpegDuration(audio);
  ASSERT_GT(expected, 0);
  // The duration counts only the audio: the bytes after the tag at 32 kbit/s.
  EXPECT_EQ(MpegDuration(tag + audio), expected);

  // The tag reader sees one frame, decoy and all.
  TMP3Tags tags;
  TMemoryStream stream(tag + audio);
  tags.ReadFromFile("x.mp3", &stream);
  ASSERT_EQ(tags.FrameIDs.size(), 1u);
  EXPECT_EQ(tags.FrameIDs[0], "TIT2");
}

TEST(MalformedInput, AnId3v2TagOfLyingSizeOrOnlySyncBytesEndsTheSearch) {
  const std::string audio = Frames(kHeader32k, kFrame32k, 40);
  // A tag size past the end: no audio is left to find, and nothing is made up.
  std::string lying = Id3v2(std::string(100, '\xFF'));
  lying[6] = lying[7] = lying[8] = lying[9] = '\x7F';
  EXPECT_EQ(MpegDuration(lying + audio), 0);
  // A file of 0xFF bytes: every position looks like the start of a sync word.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MpegDuration(std::string(2 * 1024 * 1024, '\xFF')), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// ---- Text that is only a mark, empty, or not text ---------------------------------------

TEST(MalformedInput, Id3TextThatIsOnlyAMarkEmptyOrInvalidStoresNothingHarmful) {
  const std::string audio = Frames(kHeader32k, kFrame32k, 4);
  struct Case {
    const char* what;
    uint8_t encoding;
    std::string data;
  };
  const Case cases[] = {
      {"a lone mark", 1, "\xFF\xFE"},
      {"a lone big-endian mark", 2, "\xFE\xFF"},
      {"empty UTF-16", 1, ""},
      {"one byte of UTF-16", 1, "A"},
      {"a mark and one byte", 1,
       "\xFF\xFE"
       "A"},
      {"a lone high surrogate", 1, std::string("\xFF\xFE\x00\xD8", 4)},
      {"a lone low surrogate, big-endian", 2, std::string("\xFE\xFF\xDC\x00", 4)},
      {"invalid UTF-8", 3, "\xC3\x28\xA0\xA1\xF0\x28\x8C\x28\xFF"},
      {"overlong UTF-8 of a slash", 3,
       "\xC0\xAF"
       "etc"},
      {"encoding 200", 200, "Text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string frame =
        std::string("TIT2") + test::U32BE(static_cast<uint32_t>(c.data.size() + 1)) +
        std::string(2, '\0') + std::string(1, static_cast<char>(c.encoding)) + c.data;
    TMemoryStream stream(Id3v2(frame + std::string(32, '\0')) + audio);
    TMP3Tags tags;
    tags.ReadFromFile("x.mp3", &stream);
    ASSERT_EQ(tags.FrameIDs.size(), tags.FrameValues.size());
    for (const std::string& value : tags.FrameValues) {
      EXPECT_FALSE(value.empty());
      // Whatever was stored converts, holds no NUL and no path separator
      // that was not in the text.
      const std::u16string wide = MarkedToWide(value);
      EXPECT_EQ(wide.find(u'\0'), std::u16string::npos);
      EXPECT_EQ(wide.find(u'/'), std::u16string::npos);
    }
  }
}

// ---- Many sibling atoms --------------------------------------------------------------------

TEST(MalformedInput, AHundredThousandEmptyAtomsBeforeTheTagsAreWalkedQuickly) {
  auto atom = [](const char* type, const std::string& body) {
    return test::U32BE(static_cast<uint32_t>(body.size() + 8)) + type + body;
  };
  std::string filler;
  for (int i = 0; i < 100000; ++i) filler += atom("free", "");
  const std::string item = atom("\xA9nam", atom("data", std::string(8, '\0') + "Title"));
  const std::string meta = atom("meta", std::string(4, '\0') + filler + atom("ilst", item));
  const std::string file = atom("ftyp", std::string("M4A \0\0\0\0", 8)) + filler +
                           atom("moov", filler + atom("udta", meta));
  TMemoryStream stream(file);
  TMP4Tags tags;
  const auto start = std::chrono::steady_clock::now();
  tags.ReadFromFile("x.m4a", &stream);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(tags.ItemNames, std::vector<std::string>{"nam"});
}

// ---- Hostile playlists ------------------------------------------------------------------------

class HostilePlaylist : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "a/b");
    fs::copy_file(DataPath("lame-cbr-8k-8000-mono-info.mp3"), dir_ / "a/tone.mp3");
    tone_ = GetFileDuration(dir_ / "a/tone.mp3", nullptr);
    ASSERT_GT(tone_, 0);
  }
  int32_t M3U(const std::string& text) {
    WriteFile(dir_ / "a/b/list.m3u", text);
    return GetFileDuration(dir_ / "a/b/list.m3u", nullptr);
  }
  int32_t PLS(const std::string& text) {
    WriteFile(dir_ / "a/b/list.pls", text);
    return GetFileDuration(dir_ / "a/b/list.pls", nullptr);
  }

  TempDir dir_;
  int32_t tone_ = 0;
};

TEST_F(HostilePlaylist, ParentFolderEntriesClimbOneLevelAndNoFurther) {
  EXPECT_EQ(M3U("../tone.mp3\n"), tone_);
  EXPECT_EQ(M3U("..\\tone.mp3\r\n"), tone_);
  // Climbing far beyond the root, or into nowhere, measures nothing.
  EXPECT_EQ(M3U(std::string(200, '.') + "/tone.mp3\n../../../../../../../../../../tone.mp3\n"), -1);
  EXPECT_EQ(PLS("[playlist]\nFile1=../tone.mp3\nFile2=../../a/tone.mp3\n"), 2 * tone_);
}

TEST_F(HostilePlaylist, AddressesAbsolutePathsAndDevicesAreNotMeasuredAsFiles) {
  const std::string tone = dir_ / "a/tone.mp3";
  EXPECT_EQ(M3U("ftp://" + tone + "\nhttp://" + tone + "\n" + tone + "\n"), tone_);
  // A device, a folder, a FIFO with an audio name: nothing, and no hang.
  ASSERT_EQ(::mkfifo((dir_ / "a/fifo.mp3").c_str(), 0644), 0);
  EXPECT_EQ(M3U("/dev/zero\n/dev/urandom\n" + (dir_ / "a") + "\n../fifo.mp3\n/proc/self/mem\n"),
            -1);
}

TEST_F(HostilePlaylist, NulBytesAndControlCharactersEndNoEntryEarly) {
  // "tone.mp3" followed by a NUL and more: no file has that name, and it is
  // not cut to "tone.mp3" either.
  EXPECT_EQ(M3U(std::string("../tone.mp3\0.wav\n", 17)), -1);
  EXPECT_EQ(PLS(std::string("[playlist]\nFile1=../tone.mp3\0x\n", 31)), -1);
  EXPECT_NE(M3U("\x01\x02\x03\n\x7F\n\t../tone.mp3\n"), 0);
  EXPECT_EQ(M3U("\r\r\n\n\r../tone.mp3\r"), tone_);
}

TEST_F(HostilePlaylist, VeryLongLinesAndMillionsOfEmptyLinesEnd) {
  // One line of 8 MB, without a line end, then the same as a PLS value.
  const std::string longLine(8 * 1024 * 1024, 'x');
  EXPECT_EQ(M3U(longLine), -1);
  EXPECT_EQ(PLS("[playlist]\nFile1=" + longLine + "\n"), -1);
  EXPECT_EQ(M3U("#EXTINF:" + std::string(1000000, '9') + ",x\nmissing.mp3\n"), -1);
  // Near the largest playlist read: millions of empty lines.
  EXPECT_EQ(M3U(std::string(8 * 1024 * 1024, '\n') + "../tone.mp3\n"), tone_);
}

// Each entry is looked at once, and a length line is found without reading
// the whole list again for every entry: four times the entries take about
// four times as long, not sixteen. Both sizes run here, on the same machine
// at the same load, so only their ratio is judged.
TEST_F(HostilePlaylist, ManyEntriesTakeTimeInProportion) {
  auto lists = [](int entries) {
    std::string m3u, pls = "[playlist]\n";
    for (int i = 1; i <= entries; ++i) {
      m3u += "missing" + std::to_string(i) + ".mp3\n";
      pls += "File" + std::to_string(i) + "=missing.mp3\nLength" + std::to_string(i) + "=1\n";
    }
    return std::pair{m3u, pls};
  };
  auto seconds = [](auto&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  constexpr int kEntries = 12500;
  const auto [smallM3U, smallPLS] = lists(kEntries);
  const auto [bigM3U, bigPLS] = lists(4 * kEntries);
  const double m3uSmall = seconds([&] { EXPECT_EQ(M3U(smallM3U), -1); });
  const double m3uBig = seconds([&] { EXPECT_EQ(M3U(bigM3U), -1); });
  const double plsSmall = seconds([&] { EXPECT_EQ(PLS(smallPLS), kEntries * 1000); });
  const double plsBig = seconds([&] { EXPECT_EQ(PLS(bigPLS), 4 * kEntries * 1000); });
  EXPECT_LT(m3uBig, 10 * m3uSmall + 0.5) << m3uSmall << " s, then " << m3uBig << " s";
  EXPECT_LT(plsBig, 10 * plsSmall + 0.5) << plsSmall << " s, then " << plsBig << " s";
}

TEST_F(HostilePlaylist, APlaylistNamingItselfInEveryFormEnds) {
  EXPECT_EQ(
      M3U("list.m3u\n./list.m3u\n../b/list.m3u\n" + (dir_ / "a/b/list.m3u") + "\n../tone.mp3\n"),
      tone_);
  EXPECT_EQ(PLS("[playlist]\nFile1=list.pls\nFile2=.\\list.pls\nFile3=../tone.mp3\n"), tone_);
  // Through a link and through a second name of the same file.
  fs::create_symlink(dir_ / "a/b/list.m3u", dir_ / "a/link.m3u");
  EXPECT_EQ(M3U("../link.m3u\n../tone.mp3\n"), tone_);
}

}  // namespace
}  // namespace dov
