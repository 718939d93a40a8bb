// Play lengths of Monkey's Audio, Ogg, MP4, ASF, MPEG video and OTS files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/DOVFileStream.h"
#include "info/APEInfo.h"
#include "info/ASF.h"
#include "info/AudioFiles.h"
#include "info/MP4Info.h"
#include "info/MPEGVideo.h"
#include "info/OGGInfo.h"
#include "info/OTSInfo.h"
#include "tests/DurationFixtures.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::DataPath;
using test::ReadFile;
using test::U16LE;
using test::U32BE;
using test::U32LE;

using test::U64BE;
using test::U64LE;

template <class TReader>
int32_t Measure(std::string bytes) {
  TMemoryStream stream(std::move(bytes));
  TReader reader;
  reader.ReadFromFile("", &stream);
  return reader.Duration;
}

template <class TReader>
int32_t MeasureFile(std::string_view name) {
  TReader reader;
  reader.ReadFromFile(DataPath(name), nullptr);
  return reader.Duration;
}

// A large stream of one filler byte with a few parts laid over it, counting
// the bytes read from it.
class TSparseStream : public TStream {
 public:
  explicit TSparseStream(int64_t size, char filler = '\x55') : size_(size), filler_(filler) {}
  void Put(int64_t at, std::string bytes) { parts_.emplace_back(at, std::move(bytes)); }
  int64_t Size() const override { return size_; }
  int64_t BytesRead = 0;

 protected:
  size_t ReadAt(int64_t offset, void* buffer, size_t count) override {
    auto* out = static_cast<char*>(buffer);
    std::memset(out, filler_, count);
    const int64_t end = offset + static_cast<int64_t>(count);
    for (const auto& [at, bytes] : parts_) {
      const int64_t from = std::max(at, offset);
      const int64_t to = std::min(at + static_cast<int64_t>(bytes.size()), end);
      if (from < to)
        std::memcpy(out + (from - offset), bytes.data() + (from - at),
                    static_cast<size_t>(to - from));
    }
    BytesRead += static_cast<int64_t>(count);
    return count;
  }

 private:
  int64_t size_;
  char filler_;
  std::vector<std::pair<int64_t, std::string>> parts_;
};

// ---- Monkey's Audio ---------------------------------------------------------------

// The descriptor layout: a descriptor of descriptorSize bytes (52 are the known
// fields), then the 24-byte header.
std::string ApeNew(uint32_t blocksPerFrame, uint32_t finalBlocks, uint32_t frames, uint32_t rate,
                   uint16_t version = 3990, uint32_t descriptorSize = 52, bool writeAll = true) {
  std::string s = "MAC " + U16LE(version) + U16LE(0) + U32LE(descriptorSize) + U32LE(24) +
                  U32LE(400) + U32LE(44) + U32LE(100000) + U32LE(0) + U32LE(0) +
                  std::string(16, '\x11');
  if (writeAll) s += std::string(descriptorSize > 52 ? descriptorSize - 52 : 0, '\x22');
  s += U16LE(2000) + U16LE(0) + U32LE(blocksPerFrame) + U32LE(finalBlocks) + U32LE(frames) +
       U16LE(16) + U16LE(2) + U32LE(rate);
  return s + std::string(64, '\x33');
}

// A canonical 44-byte WAV header for dataSize bytes.
std::string WavHeader(const std::string& record, uint32_t dataSize) {
  return "RIFF" + U32LE(36 + dataSize) + "WAVE" + "fmt " + U32LE(16) + record + "data" +
         U32LE(dataSize);
}

const std::string kStereo44100 =
    U16LE(1) + U16LE(2) + U32LE(44100) + U32LE(176400) + U16LE(4) + U16LE(16);

// The older layout: the 32-byte header, the peak level and seek element
// count when flagged, then the stored WAV header.
std::string ApeOld(uint16_t flags, const std::string& wavHeader, uint16_t version = 3970) {
  std::string s = "MAC " + U16LE(version) + U16LE(2000) + U16LE(flags) + U16LE(2) + U32LE(44100) +
                  U32LE(static_cast<uint32_t>(wavHeader.size())) + U32LE(0) + U32LE(10) +
                  U32LE(5000);
  if (flags & 0x0004) s += U32LE(32767);
  if (flags & 0x0010) s += U32LE(10);
  return s + wavHeader + std::string(64, '\x33');
}

TEST(APEInfo, DescriptorLayoutCountsTheBlocksOfAllFrames) {
  // (100 - 1) x 73,728 + 10,000 = 7,309,072 samples at 44,100 Hz:
  // 165,738.59 ms.
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 100, 44100)), 165739);
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 100, 44100, 3980)), 165739);
  // A longer descriptor is skipped.
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 100, 44100, 3990, 64)), 165739);
  // One frame: its final blocks alone.
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 22050, 1, 44100)), 500);
  // The format record belongs to the older layout only.
  TMemoryStream s(ApeNew(73728, 10000, 100, 44100));
  TAPEInfo info;
  info.ReadFromFile("", &s);
  EXPECT_EQ(info.Format.BytesPerSecond, 0u);
}

TEST(APEInfo, DescriptorLayoutWithoutFramesOrRateGivesNoLength) {
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 0, 44100)), 0);
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 100, 0)), 0);
  // 2^64 samples at 1 Hz: beyond the range.
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 1)), 0);
  // A descriptor that claims to run past the end.
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 100, 44100, 3990, 0x7FFFFFFF, false)), 0);
  EXPECT_EQ(Measure<TAPEInfo>(ApeNew(73728, 10000, 100, 44100).substr(0, 75)), 0);
}

TEST(APEInfo, OlderLayoutMeasuresTheStoredWavHeader) {
  // 1,764,000 bytes of data at 176,400 bytes a second. The length comes from
  // the RIFF size less the fmt chunk: 20 bytes more than the data.
  const std::string wav = WavHeader(kStereo44100, 1764000);
  for (int flags : {0x0000, 0x0004, 0x0010, 0x0014, 0x0002}) {
    TMemoryStream s(ApeOld(static_cast<uint16_t>(flags), wav));
    TAPEInfo info;
    info.ReadFromFile("", &s);
    EXPECT_EQ(info.Duration, 10000) << flags;
    EXPECT_EQ(info.Format.Channels, 2) << flags;
    EXPECT_EQ(info.Format.SampleRate, 44100u) << flags;
    EXPECT_EQ(info.Format.BytesPerSecond, 176400u) << flags;
  }
  // A stored header longer than 44 bytes (a chunk before fmt) is walked.
  const std::string withList = "RIFF" + U32LE(1764000 + 20 + 14) + "WAVE" + "LIST" + U32LE(6) +
                               "INFOab" + "fmt " + U32LE(16) + kStereo44100 + "data" +
                               U32LE(1764000);
  EXPECT_EQ(Measure<TAPEInfo>(ApeOld(0, withList)), 10000);
  // No stored header, no RIFF form, a byte rate of 0.
  EXPECT_EQ(Measure<TAPEInfo>(ApeOld(0x0020, wav)), 0);
  EXPECT_EQ(Measure<TAPEInfo>(ApeOld(0, "RIFX" + wav.substr(4))), 0);
  std::string silent = wav;
  silent.replace(28, 4, U32LE(0));
  EXPECT_EQ(Measure<TAPEInfo>(ApeOld(0, silent)), 0);
}

TEST(APEInfo, ShortOrForeignFilesGiveNoLength) {
  EXPECT_EQ(Measure<TAPEInfo>(ApeOld(0, WavHeader(kStereo44100, 100)).substr(0, 43)), 0);
  EXPECT_EQ(Measure<TAPEInfo>("MACX" + ApeNew(73728, 10000, 100, 44100).substr(4)), 0);
}

// ---- Ogg ----------------------------------------------------------------------

std::string OggPage(int64_t granule, std::string_view packet, uint8_t type = 0) {
  return "OggS" + std::string(1, '\0') + std::string(1, static_cast<char>(type)) +
         U64LE(static_cast<uint64_t>(granule)) + U32LE(0x1234) + U32LE(1) + U32LE(0) + "\x01" +
         std::string(1, static_cast<char>(packet.size())) + std::string(packet);
}

std::string VorbisFirstPage(uint8_t channels, uint32_t rate) {
  return OggPage(0,
                 "\x01vorbis" + U32LE(0) + std::string(1, static_cast<char>(channels)) +
                     U32LE(rate) + U32LE(0) + U32LE(32000) + U32LE(0) + "\xB8\x01",
                 2);
}

std::string OpusFirstPage(uint8_t channels, uint16_t preSkip, uint32_t inputRate) {
  return OggPage(0,
                 "OpusHead\x01" + std::string(1, static_cast<char>(channels)) + U16LE(preSkip) +
                     U32LE(inputRate) + U16LE(0) + std::string(1, '\0'),
                 2);
}

// The first page, filler to `size` bytes, and the last page at `lastAt` with
// its granule position.
std::string OggFile(const std::string& first, size_t size, size_t lastAt, int64_t granule) {
  std::string f = first;
  f.resize(size, '\x5A');
  const std::string last = OggPage(granule, "\x03\x04\x05", 4);
  f.replace(lastAt, std::min(last.size(), size - lastAt), last.substr(0, size - lastAt));
  return f;
}

TEST(OggInfo, FixturesAgreeWithFfprobe) {
  // Vorbis: the last granule position counts the samples, exact.
  // Opus: it counts 48 kHz samples including the 312-sample pre-skip, which is
  // not subtracted (6.5 ms); ffprobe counts it too (1.506500), and 72,312 /
  // 48 = 1,506.5 rounds to even. opusenc keeps the 44,100 Hz input rate in the
  // header, which must not be taken for the granule rate (that gives 1,640).
  const std::pair<const char*, int32_t> rows[] = {
      {"ffmpeg-vorbis-8000-mono-1500ms.ogg", 1500},
      {"oggenc-vorbis-8000-mono-1500ms.ogg", 1500},
      {"ffmpeg-opus-48000-1500ms.opus", 1506},
      {"opusenc-input-44100-1500ms.opus", 1506},
  };
  for (const auto& [name, ms] : rows) EXPECT_EQ(MeasureFile<TOggInfo>(name), ms) << name;
}

TEST(OggInfo, TheLastPageMarkIsFoundWhereverTheBlocksCutIt) {
  // 44,100 Hz, granule 441,000: 10 s. Blocks of 258 bytes step back 255 from
  // the end, so marks are cut at size - 255, size - 510, ...; every place near
  // the end and near those cuts is tried.
  const std::string first = VorbisFirstPage(2, 44100);
  const size_t size = 3000;
  for (size_t fromEnd = 27; fromEnd <= 800; ++fromEnd)
    EXPECT_EQ(Measure<TOggInfo>(OggFile(first, size, size - fromEnd, 441000)), 10000) << fromEnd;
  // A mark whose granule position the file cuts: the page before it counts.
  std::string cut = OggFile(first, size, size - 100, 44100);
  cut.replace(size - 10, 10, "OggS\0\0\x01\x02\x03\x04", 10);
  EXPECT_EQ(Measure<TOggInfo>(cut), 1000);
}

TEST(OggInfo, OfTwoPagesInTheLastBlockTheLaterCounts) {
  // Short pages at the end: both marks lie in the last 258 bytes.
  std::string f = OggFile(VorbisFirstPage(1, 8000), 2000, 1800, 8000);
  f += OggPage(12000, "\x03\x04\x05", 4);
  EXPECT_EQ(Measure<TOggInfo>(f), 1500);
}

TEST(OggInfo, IdentificationHeaders) {
  // Opus granule positions count 48 kHz samples whatever the input rate, and
  // a pre-skip below 256 or an unknown (0) input rate is no reason to stop.
  const std::pair<std::string, int32_t> rows[] = {
      {OpusFirstPage(2, 312, 48000), 10000},
      {OpusFirstPage(2, 312, 44100), 10000},
      {OpusFirstPage(1, 120, 0), 10000},
      {OpusFirstPage(0, 312, 48000), 0},
      {VorbisFirstPage(2, 48000), 10000},
      {VorbisFirstPage(0, 48000), 0},
      {VorbisFirstPage(2, 0), 0},
      {VorbisFirstPage(2, 96000), 5000},
      {OggPage(0, "\x01theora" + std::string(40, '\0'), 2), 0},
  };
  for (const auto& [first, ms] : rows)
    EXPECT_EQ(Measure<TOggInfo>(OggFile(first, 4000, 3000, 480000)), ms);
}

TEST(OggInfo, TheSearchForTheLastPageEndsAtItsBound) {
  const std::string first = VorbisFirstPage(1, 8000);
  const auto bound = static_cast<size_t>(TOggInfo::kMaxSearchBytes);
  const size_t size = bound + 4000;
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, size, size - bound + 300, 8000)), 1000);
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, size, size - bound - 600, 8000)), 0);
}

TEST(OggInfo, FileSizesAndGranulesThatTellNothing) {
  const std::string first = VorbisFirstPage(1, 8000);
  // 257 bytes or less: nothing; 258: the mark at 200 is found.
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, 257, 200, 8000)), 0);
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, 258, 200, 8000)), 1000);
  // -1: no packet ends on the page; other negative values are damage.
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, 4000, 3000, -1)), 0);
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, 4000, 3000, INT64_MIN)), 0);
  // Beyond the range: 2^40 samples at 8,000 Hz.
  EXPECT_EQ(Measure<TOggInfo>(OggFile(first, 4000, 3000, int64_t{1} << 40)), 0);
}

TEST(OggInfo, ReadsOnlyTheEndOfALongFile) {
  // 4 GiB, the last page 1,000 bytes before the end.
  TSparseStream s(int64_t{4} << 30);
  s.Put(0, VorbisFirstPage(2, 44100));
  s.Put(s.Size() - 1000, OggPage(int64_t{44100} * 3600, "\x03", 4));
  TOggInfo info;
  info.ReadFromFile("", &s);
  EXPECT_EQ(info.Duration, 3600000);
  EXPECT_LT(s.BytesRead, 4096);
}

// ---- MP4 ----------------------------------------------------------------------------

using test::Atom;

std::string MvhdV0(uint32_t timeScale, uint32_t duration) {
  return Atom("mvhd", std::string(4, '\0') + U32BE(100) + U32BE(200) + U32BE(timeScale) +
                          U32BE(duration) + std::string(80, '\0'));
}

std::string MvhdV1(uint32_t timeScale, uint64_t duration) {
  return Atom("mvhd", "\x01" + std::string(3, '\0') + U64BE(100) + U64BE(200) + U32BE(timeScale) +
                          U64BE(duration) + std::string(80, '\0'));
}

std::string Mp4(std::string_view mvhd, bool withFileType = true) {
  std::string f = withFileType ? Atom("ftyp", "isom" + U32BE(512) + "isomiso2mp41") : "";
  f += Atom("free", "");
  f += Atom("moov", Atom("udta", std::string(10, '\0')) + std::string(mvhd) +
                        Atom("trak", std::string(20, '\0')));
  return f + Atom("mdat", std::string(50, '\x77'));
}

TEST(MP4Info, FixturesAgreeWithFfprobe) {
  // The movie header's duration over its time scale (1,000 here): exact.
  // ffprobe: 1.300000 and 1.500000.
  EXPECT_EQ(MeasureFile<TMP4Info>("ffmpeg-aac-8000-mono-1300ms.m4a"), 1300);
  EXPECT_EQ(MeasureFile<TMP4Info>("ffmpeg-mjpeg-32x32-1500ms.mov"), 1500);
}

TEST(MP4Info, MovieHeaderVersions) {
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV0(600, 6000))), 10000);
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV1(600, 6000))), 10000);
  // Version 1 reads all 64 bits: 2^32 + 600 units of 2^-20 s, 4,096.00057 s.
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV1(1 << 20, (uint64_t{1} << 32) + 600))), 4096001);
  // 22,050 at 44,100: 500 ms. 128 and 384 at 2,048: 62.5 and 187.5 ms,
  // rounded to even.
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV0(44100, 22050))), 500);
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV0(2048, 128))), 62);
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV0(2048, 384))), 188);
  // A QuickTime file that starts with its movie atom.
  EXPECT_EQ(Measure<TMP4Info>(Mp4(MvhdV0(600, 6000), false)), 10000);
}

TEST(MP4Info, HeadersThatTellNoLength) {
  const std::pair<const char*, std::string> rows[] = {
      {"time scale 0", Mp4(MvhdV0(0, 6000))},
      {"duration unknown (v0)", Mp4(MvhdV0(600, 0xFFFFFFFF))},
      {"duration unknown (v1)", Mp4(MvhdV1(600, UINT64_MAX))},
      {"beyond the range", Mp4(MvhdV1(1, uint64_t{1} << 40))},
      {"no movie header", Mp4(Atom("mvhx", std::string(100, '\0')))},
      {"movie header too short", Mp4(Atom("mvhd", std::string(12, '\0') + U32BE(600)))},
      {"no movie atom", Atom("ftyp", "M4A ") + Atom("mdat", MvhdV0(600, 6000))},
      {"an atom smaller than its header",
       Atom("ftyp", "M4A ") + U32BE(4) + "free" + Mp4(MvhdV0(600, 6000))},
  };
  for (const auto& [what, bytes] : rows) EXPECT_EQ(Measure<TMP4Info>(bytes), 0) << what;
}

// ---- ASF --------------------------------------------------------------------------

const std::string kHeaderGuid("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C",
                              16);
const std::string kFilePropertiesGuid(
    "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);

std::string FileProperties(uint64_t playDuration, uint64_t preroll) {
  return kFilePropertiesGuid + U64LE(104) + std::string(16, '\x44') + U64LE(5000) + U64LE(0) +
         U64LE(3) + U64LE(playDuration) + U64LE(playDuration) + U64LE(preroll) + U32LE(2) +
         U32LE(3200) + U32LE(3200) + U32LE(32000);
}

// The header object around its child objects, then a data object.
std::string Asf(const std::string& objects, int64_t headerSize = -1) {
  const uint64_t size = headerSize < 0 ? 30 + objects.size() : static_cast<uint64_t>(headerSize);
  return kHeaderGuid + U64LE(size) + U32LE(2) + "\x01\x02" + objects + std::string(50, '\x66');
}

const std::string kStreamProperties =
    std::string("\x91\x07\xDC\xB7\xB7\xA9\xCF\x11\x8E\xE6\x00\xC0\x0C\x20\x53\x65", 16) +
    U64LE(40) + std::string(16, '\x00');

TEST(ASFInfo, FixturesAgreeWithFfprobe) {
  // The play duration less the preroll (3,100 ms from ffmpeg): exact to the
  // millisecond. ffprobe: 1.216000 (whole packets of audio) and 1.500000.
  EXPECT_EQ(MeasureFile<TASFInfo>("ffmpeg-wmav2-8000-mono-1200ms-preroll-3100.wma"), 1216);
  EXPECT_EQ(MeasureFile<TASFInfo>("ffmpeg-wmv2-32x32-1500ms.wmv"), 1500);
}

TEST(ASFInfo, PlayDurationLessPreroll) {
  EXPECT_EQ(Measure<TASFInfo>(Asf(kStreamProperties + FileProperties(100000000, 3000))), 7000);
  // 10,000 units are 1 ms; the rest of a millisecond is dropped.
  EXPECT_EQ(Measure<TASFInfo>(Asf(FileProperties(19999, 0))), 1);
  // A preroll longer than the play duration gives a negative length.
  EXPECT_EQ(Measure<TASFInfo>(Asf(FileProperties(10000000, 3000))), -2000);
  // A header size beyond the file: the part there is searched.
  EXPECT_EQ(Measure<TASFInfo>(Asf(FileProperties(100000000, 0), 0xFFFFFFF0)), 10000);
}

TEST(ASFInfo, HeadersThatTellNoLength) {
  const std::pair<const char*, std::string> rows[] = {
      {"no file properties", Asf(kStreamProperties)},
      {"not ASF", "\x31" + Asf(FileProperties(100000000, 0)).substr(1)},
      {"header size 0", Asf(FileProperties(100000000, 0), 0)},
      {"beyond the range", Asf(FileProperties(UINT64_MAX, 0))},
      {"preroll beyond the range", Asf(FileProperties(100000000, UINT64_MAX))},
      {"object cut", Asf(FileProperties(100000000, 0)).substr(0, 30 + 85)},
  };
  for (const auto& [what, bytes] : rows) EXPECT_EQ(Measure<TASFInfo>(bytes), 0) << what;
}

// ---- MPEG video -----------------------------------------------------------------------

// A group-of-pictures header: start code and time code, with the picture count,
// the drop-frame flag and the closed-group flag set so that they show if they
// are counted.
std::string Group(uint32_t hours, uint32_t minutes, uint32_t seconds) {
  const uint32_t v =
      1u << 31 | hours << 26 | minutes << 20 | 1u << 19 | seconds << 13 | 24u << 7 | 1u << 6;
  return std::string("\0\0\x01\xB8", 4) + U32BE(v);
}

// size bytes of filler with the groups laid at their offsets.
std::string Video(size_t size, const std::vector<std::pair<size_t, std::string>>& groups) {
  std::string f(size, '\x55');
  for (const auto& [at, g] : groups)
    f.replace(at, std::min(g.size(), size - at), g.substr(0, size - at));
  return f;
}

TEST(MPEGVideo, FixturesAgreeWithFfprobe) {
  // The length is the whole-second time code of a group near the end: short
  // of the real length by up to a group (one second here) and the fraction.
  // Both files hold 3.2 s; ffprobe says 3.080000 for both.
  EXPECT_EQ(MeasureFile<TMPEGVideo>("ffmpeg-mpeg1-ps-64x48-3200ms-gop-1s.mpg"), 3000);
  // Time codes from 9:59:58 to 10:00:01: the first is subtracted.
  EXPECT_EQ(MeasureFile<TMPEGVideo>("ffmpeg-mpeg2-ps-64x48-3200ms-gop-1s-timecode-9h59m58s.mpg"),
            3000);
}

TEST(MPEGVideo, TwoTimeCodesOneSecondApartGiveTheLength) {
  // In one block, read forwards: the earlier one.
  EXPECT_EQ(Measure<TMPEGVideo>(Video(20000, {{18000, Group(0, 10, 5)}, {19000, Group(0, 10, 6)}})),
            605000);
  // In two blocks, read backwards: the later one, read first.
  EXPECT_EQ(Measure<TMPEGVideo>(Video(40000, {{15000, Group(0, 10, 5)}, {35000, Group(0, 10, 6)}})),
            606000);
  // Time codes that are not one second apart are passed over.
  EXPECT_EQ(
      Measure<TMPEGVideo>(Video(
          40000, {{10000, Group(0, 0, 8)}, {20000, Group(0, 0, 10)}, {30000, Group(0, 0, 12)}})),
      0);
  EXPECT_EQ(
      Measure<TMPEGVideo>(Video(
          40000, {{10000, Group(0, 0, 9)}, {20000, Group(0, 0, 10)}, {30000, Group(0, 0, 12)}})),
      10000);
}

TEST(MPEGVideo, GroupsAreFoundWhereverTheBlocksCutThem) {
  // Blocks of 8,192 bytes step back 8,188 from the end. Two groups 9,000
  // bytes apart (never in one block) are moved across every place of the last
  // three blocks; the later one is read first and gives the length.
  const size_t size = 30000;
  for (size_t at = 14440; at + 8 <= size; ++at) {
    ASSERT_EQ(Measure<TMPEGVideo>(Video(size, {{at - 9000, Group(0, 2, 2)}, {at, Group(0, 2, 3)}})),
              123000)
        << at;
  }
  // A group whose time code the end of the file cuts is not read.
  EXPECT_EQ(
      Measure<TMPEGVideo>(Video(size, {{size - 9000, Group(0, 0, 7)}, {size - 7, Group(0, 0, 8)}})),
      0);
}

TEST(MPEGVideo, ClockTimeCodesCountFromTheFirstGroup) {
  // Over an hour: the first group's time code (found reading forwards from the
  // start) is subtracted.
  EXPECT_EQ(
      Measure<TMPEGVideo>(Video(
          40000, {{5000, Group(10, 0, 0)}, {20000, Group(10, 30, 0)}, {30000, Group(10, 30, 1)}})),
      1801000);
  // The first group far into the file, cut by the 2,048-byte blocks.
  EXPECT_EQ(Measure<TMPEGVideo>(Video(40000, {{2045 * 3 - 2, Group(10, 0, 0)},
                                              {20000, Group(10, 30, 0)},
                                              {30000, Group(10, 30, 1)}})),
            1801000);
  // One hour or less: nothing is subtracted.
  EXPECT_EQ(
      Measure<TMPEGVideo>(Video(
          40000, {{5000, Group(0, 30, 0)}, {20000, Group(0, 59, 59)}, {30000, Group(1, 0, 0)}})),
      3600000);
  // A first time code later than the last: no length.
  EXPECT_EQ(
      Measure<TMPEGVideo>(Video(
          40000, {{5000, Group(20, 0, 0)}, {20000, Group(10, 30, 0)}, {30000, Group(10, 30, 1)}})),
      0);
}

TEST(MPEGVideo, ShortFilesAndLongFiles) {
  // The first block is read 8,191 bytes before the end, at 7 or later.
  EXPECT_EQ(Measure<TMPEGVideo>(Video(8197, {{100, Group(0, 0, 2)}, {4000, Group(0, 0, 3)}})), 0);
  EXPECT_EQ(Measure<TMPEGVideo>(Video(8198, {{100, Group(0, 0, 2)}, {4000, Group(0, 0, 3)}})),
            2000);
  // 4 GiB: a few blocks from the end are read.
  TSparseStream s(int64_t{4} << 30);
  s.Put(s.Size() - 30000, Group(0, 20, 0));
  s.Put(s.Size() - 1000, Group(0, 20, 1));
  TMPEGVideo info;
  info.ReadFromFile("", &s);
  EXPECT_EQ(info.Duration, 1201000);
  EXPECT_LT(s.BytesRead, 5 * 8192);
}

// ---- OTS ----------------------------------------------------------------------------

std::string Ots(uint32_t rate, uint32_t length) {
  std::string h = "Ots^Media!" + std::string(30, '\x20') + "Ots!" + std::string(26, '\0');
  return h + U32LE(rate) + U32LE(length);
}

TEST(OTSInfo, LengthOverRate) {
  ASSERT_EQ(Ots(1, 1).size(), 78u);
  EXPECT_EQ(Measure<TOTSInfo>(Ots(44100, 441000)), 10000);
  EXPECT_EQ(Measure<TOTSInfo>(Ots(1000, 2500) + "tail"), 2500);
  EXPECT_EQ(Measure<TOTSInfo>(Ots(0, 441000)), 0);
  EXPECT_EQ(Measure<TOTSInfo>(Ots(1, 0xFFFFFFFF)), 0);  // beyond the range
  EXPECT_EQ(Measure<TOTSInfo>(Ots(44100, 441000).substr(0, 77)), 0);
  EXPECT_EQ(Measure<TOTSInfo>(Ots(44100, 441000).replace(40, 4, "OTS!")), 0);
  EXPECT_EQ(Measure<TOTSInfo>(Ots(44100, 441000).replace(0, 3, "OTS")), 0);
}

// ---- All readers ---------------------------------------------------------------------

TEST(StreamInfo, AReaderUsedAgainForgetsTheLastFile) {
  // A good file, then one that gives nothing, then a missing file by name.
  auto check = [](auto reader, std::string good) {
    TMemoryStream goodStream(good), badStream(std::string(100, '\0'));
    reader.ReadFromFile("", &goodStream);
    EXPECT_NE(reader.Duration, 0);
    reader.ReadFromFile("", &badStream);
    EXPECT_EQ(reader.Duration, 0);
    reader.ReadFromFile(good, &goodStream);
    reader.ReadFromFile("/nonexistent/file", nullptr);
    EXPECT_EQ(reader.Duration, 0);
  };
  check(TAPEInfo{}, ApeNew(73728, 10000, 100, 44100));
  check(TOggInfo{}, OggFile(VorbisFirstPage(1, 8000), 4000, 3000, 8000));
  check(TMP4Info{}, Mp4(MvhdV0(600, 6000)));
  check(TASFInfo{}, Asf(FileProperties(100000000, 0)));
  check(TMPEGVideo{}, Video(20000, {{18000, Group(0, 0, 5)}, {19000, Group(0, 0, 6)}}));
  check(TOTSInfo{}, Ots(44100, 441000));
}

TEST(StreamInfo, EveryPrefixOfEveryFixtureIsReadSafely) {
  // Under the sanitizers: no fault, no hang. A cut header gives no length; the
  // readers that search from the end find an earlier time, never a later one.
  std::map<std::string_view, int32_t> whole;
  for (std::string_view name : test::kDurationFixtures) {
    TMemoryStream s(ReadFile(DataPath(name)));
    whole[name] = GetFileDuration(std::string(name), &s);
  }
  auto is = [](std::string_view name, std::string_view a, std::string_view b = "?") {
    return name.ends_with(a) || name.ends_with(b);
  };
  test::ForEveryPrefix([&](std::string_view name, TStream& prefix) {
    TAPEInfo ape;
    ape.ReadFromFile("", &prefix);
    TOggInfo ogg;
    ogg.ReadFromFile("", &prefix);
    TMP4Info mp4;
    mp4.ReadFromFile("", &prefix);
    TASFInfo asf;
    asf.ReadFromFile("", &prefix);
    TMPEGVideo video;
    video.ReadFromFile("", &prefix);
    TOTSInfo ots;
    ots.ReadFromFile("", &prefix);
    const int32_t all = whole[name];
    EXPECT_EQ(ape.Duration, 0) << name;
    EXPECT_EQ(ots.Duration, 0) << name;
    EXPECT_TRUE(!is(name, ".ogg", ".opus") || (ogg.Duration >= 0 && ogg.Duration <= all)) << name;
    EXPECT_TRUE(!is(name, ".m4a", ".mov") || mp4.Duration == 0 || mp4.Duration == all) << name;
    EXPECT_TRUE(!is(name, ".wma", ".wmv") || asf.Duration == 0 || asf.Duration == all) << name;
    EXPECT_TRUE(!is(name, ".mpg") || (video.Duration >= 0 && video.Duration <= all)) << name;
  });
}

// ---- Through the dispatcher and the command line ---------------------------------------

TEST(StreamInfo, DispatcherAndCommandLineAnswerForTheFixtures) {
  const std::pair<const char*, int32_t> rows[] = {
      {"opusenc-input-44100-1500ms.opus", 1506},
      {"ffmpeg-aac-8000-mono-1300ms.m4a", 1300},
      {"ffmpeg-wmav2-8000-mono-1200ms-preroll-3100.wma", 1216},
      {"ffmpeg-mpeg1-ps-64x48-3200ms-gop-1s.mpg", 3000},
  };
  std::vector<std::string> args{"duration"};
  std::string expected;
  for (const auto& [name, ms] : rows) {
    EXPECT_EQ(GetFileDuration(DataPath(name), nullptr), ms) << name;
    args.push_back(DataPath(name));
    expected += std::to_string(ms) + "\t" + DataPath(name) + "\n";
  }
  test::TempDir dir;
  const std::string ape = dir / "Song.MAC";
  test::WriteFile(ape, ApeNew(73728, 10000, 100, 44100));
  const std::string ots = dir / "show.ots";
  test::WriteFile(ots, Ots(1000, 2500));
  // A length the reader cannot find is unknown: -1, not 0.
  const std::string empty = dir / "empty.ots";
  test::WriteFile(empty, Ots(0, 2500));
  args.insert(args.end(), {ape, ots, empty});
  expected += "165739\t" + ape + "\n2500\t" + ots + "\n-1\t" + empty + "\n";

  test::CliResult r = test::RunCli(args);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, expected);
}

}  // namespace
}  // namespace dov
