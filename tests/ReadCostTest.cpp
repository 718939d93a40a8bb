// What reading a file's tags costs: the system calls of the store and the
// import, the open that replaces the existence test, and the readers passing
// over what the import does not map, which must not change what it maps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/DOVTnt.h"
#include "info/ASF.h"
#include "tags/APETag.h"
#include "tags/MP3Tags.h"
#include "tags/MP4Tags.h"
#include "tags/OggTags.h"
#include "tags/TagImport.h"
#include "tags/WAVTags.h"
#include "tests/TestSupport.h"

namespace dov {
namespace {

using test::DataPath;
using test::ReadFile;
using test::TempDir;
using test::U32LE;
using test::WriteFile;

// A count /proc/self/io keeps for this process; -1 when the kernel does not
// tell.
long ProcessIo(const std::string& wanted) {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value)
    if (key == wanted) return value;
  return -1;
}

// Read system calls (read, pread, ...) this process made so far.
long ReadCalls() {
  return ProcessIo("syscr:");
}

TEST(ReadCost, TheStoreAndTheImportReadASmallFileOnceWhole) {
  if (ReadCalls() < 0) GTEST_SKIP() << "no /proc/self/io";
  SetImportDurationSource(nullptr);
  // Files smaller than the stream's block: the head is read first, whatever
  // the store looks at first, and holds all that the store, the duration
  // reader and the tag reader look at.
  for (const char* name :
       {"ffmpeg-cbr-64k-44100-mono-id3v24-info.mp3", "lame-vbr-44100-stereo-xing-at-36.mp3",
        "apev2-over-id3v23-and-id3v1.mp3", "flac-8k-mono-seektable-padding-before-comments.flac",
        "aac-moov-last-textgenre.m4a", "aac-moov-first-gnre-trkn-tmpo-replaygain.m4a",
        "vorbis-8k-mono-comment-spans-two-pages.ogg", "list-info-ascii.wav",
        "wmav2-mono-22k-tags.wma"}) {
    const std::string path = DataPath(name);
    const long before = ReadCalls();
    {
      TAPETags tags(path, 3);
      ASSERT_TRUE(tags.Opened()) << name;
      if (tags.NeedsContainerTags()) tags.ImportContainerTags();
      EXPECT_GT(tags.Count(), 0) << name;
    }
    // The reading of /proc/self/io itself is one more.
    EXPECT_EQ(ReadCalls() - before, 1 + 1) << name;
  }
}

// What a file's name is made of is the same in a read for its name as in the
// whole import.
void ExpectTheSameNames(const TAPETags& named, const TAPETags& whole, const std::string& what) {
  for (const char* field : {"Artist", "Title", "Genre"})
    EXPECT_EQ(named.GetValue(field), whole.GetValue(field)) << what << ' ' << field;
}

// The play length only feeds "Segue": a read for a file's name never asks for
// it, and its readers pass over all that no name is made of.
TEST(ReadCost, TheNameReadLeavesThePlayLengthUnaskedAndTheNamesAsTheyWere) {
  static int asked = 0;
  SetImportDurationSource([](std::string_view, TStream*) { return ++asked, 1500; });
  int read = 0;
  for (const auto& entry : std::filesystem::directory_iterator(DataPath(""))) {
    const std::string path = entry.path().string();
    if (FindTagReader(path) == nullptr) continue;
    ++read;
    TAPETags whole(path, 3), named(path, 3);
    named.ImportContainerTags(TAPETags::TImportScope::NameFields);
    EXPECT_EQ(asked, 0) << path;
    whole.ImportContainerTags();
    asked = 0;
    ExpectTheSameNames(named, whole, path);
  }
  EXPECT_GT(read, 40);
  SetImportDurationSource(nullptr);
}

TEST(ReadCost, TryOpenTellsWhyWithoutRaising) {
  TempDir dir;
  WriteFile(dir / "f.mp3", "content");
  ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
  int error = 0;
  EXPECT_EQ(TDOVFileStream::TryOpen(dir / "missing.mp3", fmShareDenyNone, error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(TDOVFileStream::TryOpen(dir.Path().string(), fmShareDenyNone, error), nullptr);
  EXPECT_EQ(error, EISDIR);
  EXPECT_EQ(TDOVFileStream::TryOpen(dir / "pipe.mp3", fmShareDenyNone, error), nullptr);
  EXPECT_EQ(error, ENXIO);
  auto stream = TDOVFileStream::TryOpen(dir / "f.mp3", fmShareDenyNone, error);
  ASSERT_NE(stream, nullptr);
  std::string got(7, '\0');
  EXPECT_EQ(stream->Read(got.data(), 100), 7u);
  EXPECT_EQ(got, "content");
}

TEST(ReadCost, TheStoreOpensOnlyAFileAsTheExistenceTestDid) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
  ::mkdir((dir / "folder.mp3").c_str(), 0700);
  WriteFile(dir / "short.mp3", "too short for tags");
  // A missing name and a folder fail the existence test: no open is tried,
  // so the last open error stays what it was.
  OpenWithRetry(dir / "before.mp3", 1, fmShareDenyNone);
  const std::string earlier = LastOpenError();
  for (const char* name : {"missing.mp3", "folder.mp3", "missing/x.mp3"}) {
    TAPETags tags(dir / name, 3);
    EXPECT_FALSE(tags.Opened()) << name;
    EXPECT_EQ(tags.Count(), 0) << name;
    EXPECT_EQ(LastOpenError(), earlier) << name;
  }
  // A FIFO exists: it is tried and refused, and the reason is kept.
  TAPETags fifo(dir / "pipe.mp3", 3);
  EXPECT_FALSE(fifo.Opened());
  EXPECT_NE(LastOpenError().find("pipe.mp3"), std::string::npos);
  // No attempts, no open.
  TAPETags none(DataPath("id3v24-utf8.mp3"), 0);
  EXPECT_FALSE(none.Opened());
  TAPETags small(dir / "short.mp3", 3);
  EXPECT_FALSE(small.Opened());
}

// An ASF header whose file properties object stands at offset `at` of its
// body, after bytes that begin like the object's GUID without being it.
std::string AsfHeader(size_t at, uint64_t playDuration, uint64_t prerollMs) {
  const std::string properties("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11", 8);
  std::string body(at, 'x');
  for (size_t i = 0; i + 8 <= at; i += 1000) body.replace(i, 7, properties.substr(0, 7));
  std::string object = properties + std::string(56, '\0');
  for (int i = 0; i < 8; ++i) object += static_cast<char>(playDuration >> (8 * i));
  object += std::string(8, '\0');
  for (int i = 0; i < 8; ++i) object += static_cast<char>(prerollMs >> (8 * i));
  body += object + std::string(300, 'y');
  std::string header("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
  header += U32LE(static_cast<uint32_t>(20 + body.size())) + U32LE(0);
  return header + body;
}

TEST(ReadCost, TheAsfHeaderIsSearchedOnlyAsFarAsTheFileProperties) {
  // At the start, in the first piece, across the pieces' seams, far behind.
  for (size_t at : {0, 100, 4086, 4089, 4092, 4096, 8185, 8190, 20000, 250000}) {
    const std::string bytes = AsfHeader(at, 123450000, 3100);
    TMemoryStream stream(bytes);
    TASFInfo info;
    info.ReadFromFile("x.wma", &stream);
    EXPECT_EQ(info.Duration, 12345 - 3100) << "object at " << at;
    // Cut before the object's GUID ends: no length.
    TMemoryStream cut(bytes.substr(0, 20 + at + 7));
    TASFInfo none;
    none.ReadFromFile("x.wma", &cut);
    EXPECT_EQ(none.Duration, 0) << "object at " << at;
  }
}

// ---- Passing over what is not mapped ------------------------------------------

// An Ogg page: the reader needs only the segment count to know its length.
std::string OggPage(uint8_t type, uint32_t sequence, std::string_view body) {
  const size_t segments = (body.size() + 254) / 255;
  std::string page = "OggS";
  page += '\0';
  page += static_cast<char>(type);
  page += std::string(8, '\0');  // granule position
  page += U32LE(0x1234) + U32LE(sequence) + U32LE(0);
  page += static_cast<char>(segments);
  for (size_t i = 0; i < segments; ++i)
    page += static_cast<char>(i + 1 < segments ? 255 : body.size() - 255 * i);
  return page + std::string(body);
}

std::string VorbisComment(std::string_view text) {
  return U32LE(static_cast<uint32_t>(text.size())) + std::string(text);
}

// An Ogg Vorbis file whose comment packet, spread over pages of 300 bytes,
// holds a picture and long comments among the ones the import maps.
std::string OggWithPicture() {
  std::string id = "\x01vorbis" + U32LE(0) + std::string(1, '\x01') + U32LE(8000) + U32LE(0) +
                   U32LE(16000) + U32LE(0) + std::string("\xB8\x01", 2);
  std::string picture = "METADATA_BLOCK_PICTURE=";
  for (int i = 0; picture.size() < 1500; ++i) picture += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldY"[i % 32];
  std::string longName(80, 'N');
  const std::vector<std::string> comments = {
      "TITLE=Picture Song",
      picture,
      longName + "=an unmapped comment whose name the first bytes do not hold",
      "  artist=Band",
      "COMMENT=" + std::string(200, 'c'),
      "MOOD=" + std::string(100, 'm') + "=still the value",
      "GENRE=Rock"};
  std::string packet =
      "\x03vorbis" + VorbisComment("vendor") + U32LE(static_cast<uint32_t>(comments.size()));
  for (const std::string& c : comments) packet += VorbisComment(c);
  packet += '\x01';
  std::string file = OggPage(2, 0, id);
  for (size_t at = 0, seq = 1; at < packet.size(); at += 300, ++seq)
    file += OggPage(at == 0 ? 0 : 1, static_cast<uint32_t>(seq), packet.substr(at, 300));
  return file + OggPage(4, 99, std::string(400, '\x55'));
}

std::vector<std::pair<std::string, std::string>> Fields(const TAPETags& tags) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (const TAPEItem& item : tags.Items()) fields.emplace_back(item.Name, item.Value);
  return fields;
}

// The import of every prefix of a file (its readers passing over items) maps
// exactly what the same reader gives when it keeps everything, and a read for
// the name gives the same name fields.
template <class TReader>
void ExpectTheSameMapping(const std::string& name, const std::string& bytes, TTagMapping mapping,
                          std::vector<std::string> TReader::*ids,
                          std::vector<std::string> TReader::*values) {
  SetImportDurationSource([](std::string_view, TStream*) { return 1500; });
  const size_t step = bytes.size() > 4000 ? 7 : 1;
  for (size_t size = TAPETags::kMinFileSize; size <= bytes.size(); size += step) {
    const std::string prefix = bytes.substr(0, size);
    TAPETags imported(name, std::make_unique<TMemoryStream>(prefix));
    imported.ImportContainerTags();

    TMemoryStream stream(prefix);
    TReader reader;
    reader.ReadFromFile(name, &stream);
    TContainerTags all = ZipFields(std::move(reader.*ids), std::move(reader.*values));
    TAPETags expected(name, std::make_unique<TMemoryStream>(prefix));
    expected.SetInteger("Duration", 1500);
    expected.MapContainerTags(mapping, all, 1500);
    ASSERT_EQ(Fields(imported), Fields(expected)) << name << " cut to " << size << " bytes";
    TAPETags named(name, std::make_unique<TMemoryStream>(prefix));
    named.ImportContainerTags(TAPETags::TImportScope::NameFields);
    ExpectTheSameNames(named, imported, name + " cut to " + std::to_string(size));
  }
  SetImportDurationSource(nullptr);
}

TEST(PassingOver, OggCommentsTheImportDoesNotMapLeaveItsFieldsAsTheyWere) {
  const std::string ogg = OggWithPicture();
  ExpectTheSameMapping<TOggTags>("x.ogg", ogg, TTagMapping::Vorbis, &TOggTags::CommentNames,
                                 &TOggTags::CommentValues);
  for (const char* name : {"vorbis-8k-mono-comment-spans-two-pages.ogg",
                           "vorbis-8k-mono-lowercase-name-utf8-empty-name.ogg",
                           "opus-stereo-19-byte-head-lowercase-name.opus"})
    ExpectTheSameMapping<TOggTags>(name, ReadFile(DataPath(name)), TTagMapping::Vorbis,
                                   &TOggTags::CommentNames, &TOggTags::CommentValues);

  // What the reader gives with a filter: the passed-over comments stay empty.
  TMemoryStream stream(ogg);
  TOggTags reader;
  reader.Wanted = [](std::string_view name) { return name != "METADATA_BLOCK_PICTURE"; };
  reader.ReadFromFile("x.ogg", &stream);
  ASSERT_TRUE(reader.Valid);
  ASSERT_EQ(reader.CommentNames.size(), 7u);
  EXPECT_EQ(reader.CommentNames[0], "TITLE");
  EXPECT_EQ(reader.CommentNames[1], "");
  EXPECT_EQ(reader.CommentValues[1], "");
  EXPECT_EQ(reader.CommentNames[2], std::string(80, 'N'));
  EXPECT_EQ(reader.CommentNames[3], "ARTIST");
  EXPECT_EQ(reader.CommentValues[4], std::string(200, 'c'));
  EXPECT_EQ(reader.CommentValues[5], std::string(100, 'm') + "=still the value");
  EXPECT_EQ(reader.CommentValues[6], "Rock");
}

TEST(PassingOver, MP4ItemsTheImportDoesNotMapLeaveItsFieldsAsTheyWere) {
  for (const char* name : {"aac-cover-png-utf8.mp4", "aac-moov-first-gnre-trkn-tmpo-replaygain.m4a",
                           "aac-moov-last-textgenre.m4a"})
    ExpectTheSameMapping<TMP4Tags>(name, ReadFile(DataPath(name)), TTagMapping::MP4,
                                   &TMP4Tags::ItemNames, &TMP4Tags::ItemValues);

  // A cover passed over, the items after it read.
  TMemoryStream stream(ReadFile(DataPath("aac-cover-png-utf8.mp4")));
  TMP4Tags all, some;
  all.ReadFromFile("", &stream);
  some.Wanted = [](std::string_view type) { return type != "covr"; };
  some.ReadFromFile("", &stream);
  std::vector<std::string> expected;
  for (const std::string& n : all.ItemNames)
    if (n != "covr") expected.push_back(n);
  EXPECT_LT(expected.size(), all.ItemNames.size());
  EXPECT_EQ(some.ItemNames, expected);
}

std::string ID3Frame(std::string_view id, std::string_view text) {
  const std::string data = std::string(1, '\0') + std::string(text);
  return std::string(id) + test::U32BE(static_cast<uint32_t>(data.size())) + std::string(2, '\0') +
         data;
}

// An ID3v2.3 tag of the frames and padding bytes, then the audio.
std::string Mp3WithTag(const std::string& frames, size_t padding, std::string_view audio) {
  const std::string body = frames + std::string(padding, '\0');
  const auto size = static_cast<uint32_t>(body.size());
  const std::string sizeBytes = {
      static_cast<char>(size >> 21 & 0x7F), static_cast<char>(size >> 14 & 0x7F),
      static_cast<char>(size >> 7 & 0x7F), static_cast<char>(size & 0x7F)};
  return std::string("ID3\x03\0\0", 6) + sizeBytes + body + std::string(audio);
}

// An ID3v2.3 tag of mapped frames between many the import does not map
// (encoder settings, private data, a second comment), then audio.
std::string Mp3WithManyFrames() {
  const auto frame = ID3Frame;
  std::string frames = frame("TSSE", "enc") + frame("TIT2", "Title");
  for (int i = 0; i < 40; ++i) frames += frame(i % 2 ? "PRIV" : "TENC", "x" + std::to_string(i));
  // A comment without text is no comment: the next one is the first.
  frames += frame("COMM", "eng") + frame("COMM", std::string("eng\0first", 9)) +
            frame("TPE1", "Artist") + frame("TLEN", "12345") +
            frame("COMM", std::string("eng\0second", 10)) + frame("TCON", "(17)");
  return Mp3WithTag(frames, 32, "\xFF\xFB\x90\x00" + std::string(400, '\x55'));
}

// The audio after the tag only tells an MPEG-2 Layer III stream ("MP3PRO"):
// a read for the name leaves it unread, which after a tag with a picture is
// one read fewer.
TEST(PassingOver, TheNameReadLeavesTheAudioAfterTheTagUnread) {
  if (ReadCalls() < 0) GTEST_SKIP() << "no /proc/self/io";
  TempDir dir;
  const std::string path = dir / "x.mp3";
  WriteFile(path, Mp3WithTag(ID3Frame("TIT2", "Title") + ID3Frame("TPE1", "Artist") +
                                 ID3Frame("APIC", std::string(60000, 'p')),
                             40000, "\xFF\xF3\x90\x00" + std::string(60000, '\x55')));
  TAPETags whole(path, 3);
  whole.ImportContainerTags();
  EXPECT_EQ(whole.GetValue("MP3PRO"), "1");
  // The head, the tail (the store's), and the block where the padding begins.
  const long before = ReadCalls();
  TAPETags named(path, 3);
  named.ImportContainerTags(TAPETags::TImportScope::NameFields);
  EXPECT_LE(ReadCalls() - before, 3 + 1);
  EXPECT_EQ(named.GetValue("Artist"), "Artist");
  ExpectTheSameNames(named, whole, path);
}

// A list far longer than the 64 KiB its ids are looked for in is read only
// that far, and its first bytes, which the block read for its header holds,
// are not read again.
TEST(PassingOver, AWavListIsReadOnceAndOnlyAsFarAsItsIdsAreLookedFor) {
  if (ReadCalls() < 0) GTEST_SKIP() << "no /proc/self/io";
  TempDir dir;
  const std::string path = dir / "x.wav";
  const std::string fmt = test::Chunk("fmt ", test::U16LE(1) + test::U16LE(1) + U32LE(22050) +
                                                  U32LE(44100) + test::U16LE(2) + test::U16LE(16));
  const std::string data = test::Chunk("data", test::Filler(100000, '\x55'));
  const std::string list =
      test::Chunk("LIST", "INFO" + test::Chunk("INAM", std::string("Song\0", 5)) +
                              test::Chunk("IART", std::string("Band\0", 5)) +
                              test::Chunk("ICMT", std::string(200000, 'c') + '\0'));
  const std::string body = "WAVE" + fmt + data + list;
  WriteFile(path, "RIFF" + U32LE(static_cast<uint32_t>(body.size())) + body);
  TAPETags whole(path, 3);
  whole.ImportContainerTags();

  const long bytesBefore = ProcessIo("rchar:"), callsBefore = ReadCalls();
  TAPETags named(path, 3);
  named.ImportContainerTags(TAPETags::TImportScope::NameFields);
  const long calls = ReadCalls() - callsBefore, bytes = ProcessIo("rchar:") - bytesBefore;
  ExpectTheSameNames(named, whole, path);
  EXPECT_EQ(named.GetValue("Artist"), "Band");
  // The head, the tail, the block at the list's header and the rest of the
  // bytes looked at; the reads of /proc/self/io add a call and some bytes.
  EXPECT_LE(calls, 4 + 1);
  const size_t listBody = 12 + fmt.size() + data.size() + 8;
  const size_t headerBlock = (listBody - 8) / 4096 * 4096;
  const size_t lookedAt = TWAVTags::kInfoLookupBytes + 8 + TWAVTags::kMaxCommentSize;
  EXPECT_LE(static_cast<size_t>(bytes), 16384 + 4096 + (listBody + lookedAt - headerBlock) + 1024);
}

TEST(PassingOver, MP3FramesTheImportDoesNotMapLeaveItsFieldsAsTheyWere) {
  const std::string mp3 = Mp3WithManyFrames();
  ExpectTheSameMapping<TMP3Tags>("x.mp3", mp3, TTagMapping::ID3, &TMP3Tags::FrameIDs,
                                 &TMP3Tags::FrameValues);
  for (const char* name : {"id3v23-utf16le-bom.mp3", "id3v24-utf8.mp3", "id3v1-and-id3v23.mp3"})
    ExpectTheSameMapping<TMP3Tags>(name, ReadFile(DataPath(name)), TTagMapping::ID3,
                                   &TMP3Tags::FrameIDs, &TMP3Tags::FrameValues);

  // What the reader gives with a filter: the refused frames are left out.
  TMemoryStream stream(mp3);
  TMP3Tags all, some;
  all.ReadFromFile("", &stream);
  some.Wanted = [](std::string_view id) { return id != "PRIV" && id != "TENC"; };
  some.ReadFromFile("", &stream);
  EXPECT_EQ(all.FrameIDs.size(), 47u);
  EXPECT_EQ(some.FrameIDs,
            (std::vector<std::string>{"TSSE", "TIT2", "COMM", "TPE1", "TLEN", "COMM", "TCON"}));
  EXPECT_EQ(some.FrameValues[6], "Rock");
  TMP3Tags first;
  first.Wanted = some.Wanted;
  first.FirstCommentOnly = true;
  first.ReadFromFile("", &stream);
  EXPECT_EQ(first.FrameIDs,
            (std::vector<std::string>{"TSSE", "TIT2", "COMM", "TPE1", "TLEN", "TCON"}));
  EXPECT_EQ(first.FrameValues[2], "first");
}

}  // namespace
}  // namespace dov
