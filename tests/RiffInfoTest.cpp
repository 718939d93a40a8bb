// Play lengths of RIFF/WAVE, AIFF, CD-audio track and AVI files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "common/DOVFileStream.h"
#include "info/AIFF.h"
#include "info/AVI.h"
#include "info/AudioFiles.h"
#include "info/CDA.h"
#include "info/WAVInfo.h"
#include "tests/DurationFixtures.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::DataPath;
using test::ReadFile;
using test::U16BE;
using test::U16LE;
using test::U32BE;
using test::U32LE;

template <class TReader>
TReader Measure(std::string bytes) {
  TMemoryStream stream(std::move(bytes));
  TReader reader;
  reader.ReadFromFile("", &stream);
  return reader;
}

// ---- RIFF/WAVE builders -----------------------------------------------------

using test::Chunk;

// The 16-byte record of 16-bit PCM.
std::string PcmRecord(uint16_t channels, uint32_t rate, uint16_t bits = 16) {
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return U16LE(1) + U16LE(channels) + U32LE(rate) + U32LE(rate * align) + U16LE(align) +
         U16LE(bits);
}

// A "fmt " chunk of 16 bytes, or of 18 + extra.size() bytes with the extra size.
std::string Fmt(std::string_view record, bool withExtraSize = false, std::string_view extra = {}) {
  std::string body(record);
  if (withExtraSize) body += U16LE(static_cast<uint16_t>(extra.size())) + std::string(extra);
  return Chunk("fmt ", body);
}

// "RIFF", the size (what follows it, unless given), "WAVE", the chunks.
std::string Wave(const std::vector<std::string>& chunks, int64_t riffSize = -1) {
  std::string body = "WAVE";
  for (const std::string& c : chunks) body += c;
  const auto size =
      static_cast<uint32_t>(riffSize < 0 ? static_cast<int64_t>(body.size()) : riffSize);
  return "RIFF" + U32LE(size) + body;
}

// A "data" chunk of size bytes.
std::string Data(uint32_t size) {
  return Chunk("data", std::string(size, '\x80'));
}

const std::string kStereo44100 = PcmRecord(2, 44100);  // 176,400 bytes a second

// ---- WAV ----------------------------------------------------------------------

TEST(WAVInfo, FixturesAgreeWithFfprobe) {
  // The length is the "data" size over the byte rate: exact to the
  // millisecond. ffprobe: 1.500000 and 0.500000.
  struct Row {
    const char* name;
    int32_t ms;
    uint16_t formatTag, channels;
    uint32_t rate, bytesPerSecond;
    uint16_t blockAlign, bits;
  };
  const Row rows[] = {
      {"ffmpeg-pcm-u8-8000-mono-1500ms-odd-bext-list-info.wav", 1500, 1, 1, 8000, 8000, 1, 8},
      {"ffmpeg-pcm-s24-8000-mono-500ms-extensible-fmt40.wav", 500, 0xFFFE, 1, 8000, 24000, 3, 24},
  };
  for (const Row& row : rows) {
    TWAVInfo info;
    info.ReadFromFile(DataPath(row.name), nullptr);
    EXPECT_EQ(info.Duration, row.ms) << row.name;
    EXPECT_EQ(info.Format.FormatTag, row.formatTag) << row.name;
    EXPECT_EQ(info.Format.Channels, row.channels) << row.name;
    EXPECT_EQ(info.Format.SampleRate, row.rate) << row.name;
    EXPECT_EQ(info.Format.BytesPerSecond, row.bytesPerSecond) << row.name;
    EXPECT_EQ(info.Format.BlockAlign, row.blockAlign) << row.name;
    EXPECT_EQ(info.Format.BitsPerSample, row.bits) << row.name;
  }
}

TEST(WAVInfo, FmtChunkSizesDecideWhetherTheExtraSizeIsReadAndSkipped) {
  // A 16-bit stereo 44,100 Hz file with 1,764,000 bytes of data: 10 s. The
  // data chunk is found only when the fmt chunk was read to its end.
  struct Row {
    const char* what;
    std::string fmt;
  };
  const Row rows[] = {
      {"16: no extra size", Fmt(kStereo44100)},
      {"18: extra size 0", Fmt(kStereo44100, true)},
      {"20: extra size 2", Fmt(kStereo44100, true, std::string(2, '\x07'))},
      {"40: extra size 22", Fmt(kStereo44100, true, std::string(22, '\x07'))},
      // A 0 extra-size field in a 40-byte chunk: the 22 bytes are skipped all
      // the same.
      {"40: extra size field 0", Chunk("fmt ", kStereo44100 + U16LE(0) + std::string(22, '\x07'))},
  };
  for (const Row& row : rows) {
    TWAVInfo info = Measure<TWAVInfo>(Wave({row.fmt, Data(1764000)}));
    EXPECT_EQ(info.Duration, 10000) << row.what;
    EXPECT_EQ(info.Format.BytesPerSecond, 176400u) << row.what;
  }
}

TEST(WAVInfo, PadBytesAfterOddSizedChunksAreSteppedOver) {
  const std::string list = Chunk("LIST", "INFOINAM\x05\0\0\0Title");  // 17 bytes, padded
  ASSERT_EQ(list.size() % 2, 0u);
  // Before "data", and before "fmt " (the id after the pad is realigned in both
  // walks; a walk that skips the pad without reading the id again misses fmt).
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100), list, Data(176400)})).Duration, 1000);
  EXPECT_EQ(Measure<TWAVInfo>(Wave({list, Fmt(kStereo44100), Data(176400)})).Duration, 1000);
  // Two odd chunks in a row, and an odd "fmt " chunk (19 bytes).
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100), list, Chunk("junk", "abc"), Data(88200)}))
                .Duration,
            500);
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100, true, "x"), Data(88200)})).Duration, 500);
}

TEST(WAVInfo, WithoutDataChunkTheRiffSizeLessTheFmtChunkIsTheData) {
  // After fmt, a chunk that runs past the end of the file ends the walk; its
  // header and the 176,392 bytes after it are what the file holds.
  const std::string cut = "LIST" + U32LE(0x7FFFFFF0) + std::string(176392, '\x80');
  // RIFF size 176,400 + 16: 1 s; a 20-byte fmt chunk with a 2-byte extra
  // size takes 22 from the RIFF size.
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100), cut}, 176400 + 16)).Duration, 1000);
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100, true, "ab"), cut}, 176400 + 22)).Duration,
            1000);
  // A RIFF size beyond the file counts only the bytes after the fmt chunk:
  // half of them here, and none in a file that ends right after its fmt chunk.
  EXPECT_EQ(
      Measure<TWAVInfo>(Wave({Fmt(kStereo44100), cut.substr(0, 88200)}, 176400 + 16)).Duration,
      500);
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100, true, std::string(22, '\0'))}, 176400 + 62))
                .Duration,
            0);
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100), cut}, 0xFFFFFFFF)).Duration, 1000);
  // A RIFF size smaller than the fmt chunk leaves no data, not 4 GB of it.
  EXPECT_EQ(Measure<TWAVInfo>(Wave({Fmt(kStereo44100), cut}, 10)).Duration, 0);
}

TEST(WAVInfo, DataSizesBeyondTheEndOfTheFileCountTheBytesThere) {
  // ffmpeg writing to a pipe leaves the RIFF and "data" sizes at 0xFFFFFFFF.
  // ffprobe: 0.500000.
  const std::string pipe = ReadFile(DataPath("ffmpeg-pcm-u8-8000-mono-500ms-to-pipe.wav"));
  ASSERT_EQ(pipe.substr(36, 8), "data" + U32LE(0xFFFFFFFF));
  EXPECT_EQ(Measure<TWAVInfo>(pipe).Duration, 500);
  // Cut short: the length of what is left (8 bytes a millisecond).
  EXPECT_EQ(Measure<TWAVInfo>(pipe.substr(0, 44 + 1000)).Duration, 125);
  EXPECT_EQ(Measure<TWAVInfo>(pipe.substr(0, 44)).Duration, 0);
  // A file cut inside its data, with a chunk after it lost too.
  const std::string whole = Wave({Fmt(kStereo44100), Data(176400), Chunk("LIST", "INFO")});
  EXPECT_EQ(Measure<TWAVInfo>(whole).Duration, 1000);
  EXPECT_EQ(Measure<TWAVInfo>(whole.substr(0, 44 + 44100)).Duration, 250);
}

TEST(WAVInfo, RoundsHalfToEvenAndGivesNoLengthBeyondTheRange) {
  // 2,048 bytes a second, so that the quotients are exact: 128 bytes are
  // 62.5 ms.
  const std::string fmt =
      Fmt(U16LE(1) + U16LE(1) + U32LE(2048) + U32LE(2048) + U16LE(1) + U16LE(8));
  const std::pair<uint32_t, int32_t> rows[] = {{128, 62},  {384, 188}, {640, 312},
                                               {896, 438}, {129, 63},  {127, 62}};
  for (const auto& [bytes, ms] : rows)
    EXPECT_EQ(Measure<TWAVInfo>(Wave({fmt, Data(bytes)})).Duration, ms) << bytes;
  // At one byte a second, 2,147,484 bytes are beyond a signed 32-bit count
  // of milliseconds; one byte less is the longest length.
  const std::string slow = Fmt(U16LE(1) + U16LE(1) + U32LE(1) + U32LE(1) + U16LE(1) + U16LE(8));
  EXPECT_EQ(Measure<TWAVInfo>(Wave({slow, Data(2147484)})).Duration, 0);
  EXPECT_EQ(Measure<TWAVInfo>(Wave({slow, Data(2147483)})).Duration, 2147483000);
}

TEST(WAVInfo, DamagedHeadersGiveNoLength) {
  const std::string good = Wave({Fmt(kStereo44100), Data(176400)});
  ASSERT_EQ(Measure<TWAVInfo>(good).Duration, 1000);
  auto patched = [&good](size_t at, std::string_view bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  const std::pair<const char*, std::string> rows[] = {
      {"43 bytes", good.substr(0, 43)},
      {"not RIFF", patched(0, "RIFX")},
      {"not WAVE", patched(8, "AVI ")},
      {"byte rate 0", patched(28, U32LE(0))},
      {"fmt of 14 bytes",
       Wave({Chunk("fmt ", kStereo44100.substr(0, 14)), Data(176400), std::string(16, '\0')})},
      {"no fmt chunk", Wave({Chunk("LIST", std::string(20, 'x')), Data(176400)})},
      // A chunk before fmt that claims more than the file holds.
      {"chunk past the end", Wave({"JUNK" + U32LE(0x7FFFFFF0), Fmt(kStereo44100), Data(1)})},
  };
  for (const auto& [what, bytes] : rows) EXPECT_EQ(Measure<TWAVInfo>(bytes).Duration, 0) << what;
}

// ---- AIFF ---------------------------------------------------------------------

// The 80-bit extended value of a positive whole number, big-endian.
std::string Extended80(uint64_t value) {
  int exponent = 63;
  while (exponent > 0 && (value >> 63) == 0) {
    value <<= 1;
    --exponent;
  }
  return U16BE(static_cast<uint16_t>(value == 0 ? 0 : 16383 + exponent)) +
         U32BE(static_cast<uint32_t>(value >> 32)) + U32BE(static_cast<uint32_t>(value));
}

std::string Comm(uint32_t frames, std::string_view rate, uint16_t channels = 2) {
  return "COMM" + U32BE(18) + U16BE(channels) + U32BE(frames) + U16BE(16) + std::string(rate);
}

std::string Aiff(std::string_view chunks, bool aifc = false) {
  std::string body = aifc ? "AIFC" : "AIFF";
  if (aifc) body += "FVER" + U32BE(4) + U32BE(0xA2805140);
  body += chunks;
  return "FORM" + U32BE(static_cast<uint32_t>(body.size())) + body;
}

TEST(AIFFInfo, FixturesAgreeWithFfprobe) {
  // Sample frames over the rate: exact. ffprobe: 0.750000, 0.600000 and
  // 0.300000 (sox: a "COMT" chunk before "COMM").
  TAIFFInfo info;
  info.ReadFromFile(DataPath("ffmpeg-pcm-s16be-8000-mono-750ms.aiff"), nullptr);
  EXPECT_EQ(info.Duration, 750);
  info.ReadFromFile(DataPath("ffmpeg-alaw-11025-mono-600ms.aifc"), nullptr);
  EXPECT_EQ(info.Duration, 600);
  info.ReadFromFile(DataPath("sox-s8-8000-mono-300ms-comt-first.aiff"), nullptr);
  EXPECT_EQ(info.Duration, 300);
}

TEST(AIFFInfo, TheCommonChunkIsFoundAfterOtherChunks) {
  const std::string rate = Extended80(44100);
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(Comm(441000, rate))).Duration, 10000);
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(Comm(441000, rate), true)).Duration, 10000);
  // 22,050 frames at 48,000 Hz: 459.375 ms.
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(Comm(22050, Extended80(48000)))).Duration, 459);
  // After a name, and after an odd-sized comment and its pad byte (also in
  // AIFF-C, after the version chunk).
  const std::string name = "NAME" + U32BE(4) + "Song";
  const std::string comment = "COMT" + U32BE(5) + "abcde" + '\0';
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(name + Comm(441000, rate))).Duration, 10000);
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(comment + name + Comm(441000, rate), true)).Duration, 10000);
  // No COMM, or one behind a chunk that claims more than the file holds.
  const std::string sound = "SSND" + U32BE(12) + std::string(12, '\0');
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(name + sound)).Duration, 0);
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff("NAME" + U32BE(0xFFFFFFFF) + Comm(441000, rate))).Duration, 0);
  // An AIFF-C file without its version chunk, and a form of another type.
  EXPECT_EQ(Measure<TAIFFInfo>(
                Aiff(Comm(441000, rate) + std::string(12, '\0'), false).replace(8, 4, "AIFC"))
                .Duration,
            0);
  EXPECT_EQ(Measure<TAIFFInfo>("RIFF" + Aiff(Comm(441000, rate)).substr(4)).Duration, 0);
  EXPECT_EQ(Measure<TAIFFInfo>(Aiff(Comm(441000, rate)).substr(0, 37)).Duration, 0);
}

TEST(AIFFInfo, RatesThatAreNoRateGiveNoLength) {
  const std::pair<const char*, std::string> rows[] = {
      {"zero", std::string(10, '\0')},
      {"infinity", "\x7F\xFF\x80" + std::string(7, '\0')},
      {"NaN", "\x7F\xFF\xC0" + std::string(7, '\0')},
      {"negative", "\xC0\x0E\xAC\x44" + std::string(6, '\0')},  // -44,100
      {"too small for a double", std::string(9, '\0') + "\x01"},
      {"2^-40: a length beyond the range", "\x3F\xD7\x80" + std::string(7, '\0')},
      {"beyond a double", "\x7F\xFE\x80" + std::string(7, '\0')},
  };
  for (const auto& [what, rate] : rows)
    EXPECT_EQ(Measure<TAIFFInfo>(Aiff(Comm(441000, rate))).Duration, 0) << what;
  // The rate as the negative row spells it, with the sign cleared.
  EXPECT_EQ(
      Measure<TAIFFInfo>(Aiff(Comm(441000, "\x40\x0E\xAC\x44" + std::string(6, '\0')))).Duration,
      10000);
}

// ---- CD-audio tracks --------------------------------------------------------------

std::string CdaTrack(uint8_t minutes, uint8_t seconds, uint8_t frames) {
  std::string body = "CDDAfmt " + U32LE(24) + U16LE(1) + U16LE(3) + U32LE(0x12345678) +
                     U32LE(20000) + U32LE(15375);
  body += std::string("\x00\x02\x00\x00", 4);  // start 0:02:00
  body += std::string{static_cast<char>(frames), static_cast<char>(seconds),
                      static_cast<char>(minutes), '\0'};
  return "RIFF" + U32LE(static_cast<uint32_t>(body.size())) + body;
}

TEST(CDAInfo, TrackLengthInWholeSeconds) {
  ASSERT_EQ(CdaTrack(3, 25, 0).size(), 44u);
  EXPECT_EQ(Measure<TCDAInfo>(CdaTrack(3, 25, 0)).Duration, 205000);
  EXPECT_EQ(Measure<TCDAInfo>(CdaTrack(3, 25, 74)).Duration, 205000);  // frames not counted
  EXPECT_EQ(Measure<TCDAInfo>(CdaTrack(255, 255, 0)).Duration, 15555000);
  EXPECT_EQ(Measure<TCDAInfo>(CdaTrack(3, 25, 0).substr(0, 43)).Duration, 0);
  EXPECT_EQ(Measure<TCDAInfo>(CdaTrack(3, 25, 0).replace(8, 4, "WAVE")).Duration, 0);
}

// ---- AVI -------------------------------------------------------------------------

std::string AviHead(uint32_t microSecondsPerFrame, uint32_t frames) {
  std::string avih = U32LE(microSecondsPerFrame) + U32LE(0) + U32LE(0) + U32LE(0x10) +
                     U32LE(frames) + std::string(36, '\0');
  std::string hdrl = "hdrl" + ("avih" + U32LE(56) + avih);
  return "RIFF" + U32LE(4000) + "AVI " + "LIST" + U32LE(static_cast<uint32_t>(hdrl.size())) + hdrl;
}

TEST(AVIInfo, FrameTimeTimesFrameCount) {
  // 100,000 us a frame, 10 frames: exact. ffprobe: 1.000000.
  TAVIInfo info;
  info.ReadFromFile(DataPath("ffmpeg-mjpeg-16x16-10fps-1s.avi"), nullptr);
  EXPECT_EQ(info.Duration, 1000);

  EXPECT_EQ(Measure<TAVIInfo>(AviHead(40000, 250)).Duration, 10000);
  // 29.97 frames a second (33,367 us), 899 frames: 29,996.933 ms.
  EXPECT_EQ(Measure<TAVIInfo>(AviHead(33367, 899)).Duration, 29997);
  EXPECT_EQ(Measure<TAVIInfo>(AviHead(0xFFFFFFFF, 0xFFFFFFFF)).Duration, 0);  // beyond the range
  EXPECT_EQ(Measure<TAVIInfo>(AviHead(40000, 250).substr(0, 51)).Duration, 0);
  EXPECT_EQ(Measure<TAVIInfo>(AviHead(40000, 250).replace(24, 4, "strh")).Duration, 0);
}

// ---- All readers, all fixtures ----------------------------------------------------

TEST(RiffInfo, EveryPrefixOfEveryFixtureIsReadSafely) {
  // Under the sanitizers: no fault, no hang. A header that is read whole gives
  // the file's length; a cut one gives none (or, for WAV, that of the data
  // left).
  std::map<std::string_view, int32_t> whole;
  for (std::string_view name : test::kDurationFixtures) {
    TMemoryStream s(ReadFile(DataPath(name)));
    whole[name] = GetFileDuration(std::string(name), &s);
  }
  test::ForEveryPrefix([&](std::string_view name, TStream& prefix) {
    TWAVInfo wav;
    wav.ReadFromFile("", &prefix);
    TAIFFInfo aiff;
    aiff.ReadFromFile("", &prefix);
    TCDAInfo cda;
    cda.ReadFromFile("", &prefix);
    TAVIInfo avi;
    avi.ReadFromFile("", &prefix);
    EXPECT_GE(wav.Duration, 0) << name;
    EXPECT_EQ(cda.Duration, 0) << name;
    EXPECT_TRUE(aiff.Duration == 0 || aiff.Duration == whole[name]) << name;
    EXPECT_TRUE(avi.Duration == 0 || avi.Duration == whole[name]) << name;
  });
}

// ---- Through the dispatcher and the command line ---------------------------------------

TEST(RiffInfo, DispatcherAndCommandLineAnswerForTheFixtures) {
  test::TempDir dir;
  const std::pair<const char*, const char*> rows[] = {
      {"ffmpeg-pcm-u8-8000-mono-1500ms-odd-bext-list-info.wav", "1500"},
      {"ffmpeg-alaw-11025-mono-600ms.aifc", "600"},
      {"ffmpeg-mjpeg-16x16-10fps-1s.avi", "1000"},
  };
  std::vector<std::string> args{"duration"};
  for (const auto& [name, ms] : rows) {
    EXPECT_EQ(std::to_string(GetFileDuration(DataPath(name), nullptr)), ms) << name;
    args.push_back(DataPath(name));
  }
  // A CD track file and an AIFF under a longer extension.
  const std::string cda = dir / "Track01.CDA";
  test::WriteFile(cda, CdaTrack(0, 42, 0));
  const std::string aiffx = dir / "take.aiffx";
  test::WriteFile(aiffx, Aiff(Comm(441000, Extended80(44100))));
  args.push_back(cda);
  args.push_back(aiffx);

  test::CliResult r = test::RunCli(args);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "1500\t" + DataPath(rows[0].first) + "\n600\t" + DataPath(rows[1].first) +
                       "\n1000\t" + DataPath(rows[2].first) + "\n42000\t" + cda + "\n10000\t" +
                       aiffx + "\n");
}

}  // namespace
}  // namespace dov
