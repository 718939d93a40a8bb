// One tag reader over bytes in memory, chosen when the target is built
// (DOV_FUZZ_READER_*): what it delivers must be whole pairs, and every value
// is converted as the program converts it.
#include <cstdlib>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "tags/FLAC.h"
#include "tags/MP3Tags.h"
#include "tags/MP4Tags.h"
#include "tags/OggTags.h"
#include "tags/WAVTags.h"
#include "tags/WMAInfo.h"

namespace {

using namespace dov;

[[maybe_unused]] void Pairs(const std::vector<std::string>& ids,
                            const std::vector<std::string>& values) {
  if (ids.size() != values.size()) std::abort();
  fuzz::UseValues(ids);
  fuzz::UseValues(values);
}

#if defined(DOV_FUZZ_READER_WAV)
// The ids a name is made of, and those that become the title.
bool NameId(std::string_view id) {
  return id == "DISP" || id == "ITTL" || id == "IART" || id == "IGRE" || id == "IGNR";
}
bool Kept(std::string_view id) {
  return NameId(id) || id == "INAM" || id == "IALB";
}

// A read for the ids a name is made of gives each as the whole read does,
// sifting the list at the widest width the processor has or at sixteen.
void CheckNameRead(std::string_view bytes, const TWAVTags& whole, bool narrow) {
  TWAVTags::SiftNarrowly(narrow);
  TMemoryStream stream{std::string(bytes)};
  TWAVTags named;
  named.Wanted = NameId;
  named.ReadFromFile("fuzz.wav", &stream);
  TWAVTags::SiftNarrowly(false);
  size_t n = 0;
  for (size_t i = 0; i < whole.ChunkIDs.size(); ++i) {
    if (!Kept(whole.ChunkIDs[i])) continue;
    while (n < named.ChunkIDs.size() && !Kept(named.ChunkIDs[n])) ++n;
    if (n == named.ChunkIDs.size() || named.ChunkIDs[n] != whole.ChunkIDs[i] ||
        named.ChunkValues[n] != whole.ChunkValues[i])
      std::abort();
    ++n;
  }
  while (n < named.ChunkIDs.size())
    if (Kept(named.ChunkIDs[n++])) std::abort();
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream{std::string(fuzz::AsBytes(data, size))};
#if defined(DOV_FUZZ_READER_MP3)
  TMP3Tags reader;
  reader.ReadFromFile("fuzz.mp3", &stream);
  Pairs(reader.FrameIDs, reader.FrameValues);
  if (reader.TagSize < 0 || static_cast<size_t>(reader.TagSize) > size) std::abort();
#elif defined(DOV_FUZZ_READER_WAV)
  TWAVTags reader;
  reader.ReadFromFile("fuzz.wav", &stream);
  Pairs(reader.ChunkIDs, reader.ChunkValues);
  CheckNameRead(fuzz::AsBytes(data, size), reader, false);
  CheckNameRead(fuzz::AsBytes(data, size), reader, true);
#elif defined(DOV_FUZZ_READER_OGG)
  TOggTags reader;
  reader.ReadFromFile("fuzz.ogg", &stream);
  Pairs(reader.CommentNames, reader.CommentValues);
  fuzz::UseValues({reader.Vendor});
  // No comment is longer than the file that holds it.
  for (const std::string& v : reader.CommentValues)
    if (v.size() > size + 1) std::abort();
#elif defined(DOV_FUZZ_READER_FLAC)
  TFLAC reader(true);
  reader.ReadFromFile("fuzz.flac", &stream);
  Pairs(reader.CommentNames, reader.CommentValues);
  if (reader.CommentNames.size() > size / TFLAC::kMinCommentSize) std::abort();
#elif defined(DOV_FUZZ_READER_MP4)
  TMP4Tags reader;
  reader.ReadFromFile("fuzz.m4a", &stream);
  Pairs(reader.ItemNames, reader.ItemValues);
  if (reader.ItemNames.size() > TMP4Tags::kMaxItems) std::abort();
#elif defined(DOV_FUZZ_READER_WMA)
  TWMAfile reader;
  reader.ReadFromFile("fuzz.wma", &stream);
  for (const std::u16string* s : {&reader.Title, &reader.Artist, &reader.Album, &reader.Genre,
                                  &reader.Comment, &reader.Year, &reader.ReplayGainTrackGain}) {
    if (s->size() > TWMAfile::kMaxStringUnits) std::abort();
    WideToMarked(*s);
  }
  if (!reader.Valid && !reader.Title.empty()) std::abort();
#else
#error "choose a reader with DOV_FUZZ_READER_MP3, _WAV, _OGG, _FLAC, _MP4 or _WMA"
#endif
  return 0;
}
