// The container tag import: which reader serves which extension, what a reader
// delivers, and the seams through which tests replace the readers, the
// duration dispatcher and the clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

// The mapping table a reader's pairs go through.
enum class TTagMapping : uint8_t { None, ID3, MP4, WAV, Vorbis, WMA };

// The WMA reader delivers named values instead of pairs.
struct TWMAFields {
  bool Read = false;  // the reader's ReadFromFile succeeded
  std::u16string Title, Artist, Album, AlbumArtist, Year, Genre, Comment, Composer, Publisher,
      Conductor, Category, ISRC, Mood, Text, AlbumCoverURL, UserWebURL, ReplayGainTrackGain;
  int32_t Track = 0;
  uint8_t BeatsPerMinute = 0;
};

// What one reader delivered: parallel ids and values (marked text) in file
// order, or, for WMA, the named values.
struct TContainerTags {
  std::vector<std::string> Ids;
  std::vector<std::string> Values;
  TWMAFields WMA;
};

// Reads the file through stream (the store's open file) and hands over what
// was read; pairs the mapping has no row for may be left out (or left empty).
// Never raises.
using TTagReadFn = TContainerTags (*)(std::string_view fileName, TStream* stream);

struct TTagReaderRow {
  std::string_view Extension;  // lower case, with the dot
  TTagMapping Mapping;
  TTagReadFn Read;
};

// The row for the extension of fileName (from its last "." on, any letter
// case); null when no reader serves it.
const TTagReaderRow* FindTagReader(std::string_view fileName);

// ---- Seams (tests) ------------------------------------------------------

// Replaces the duration dispatcher; an empty function restores it.
using TDurationSource = std::function<int32_t(std::string_view fileName, TStream* stream)>;
void SetImportDurationSource(TDurationSource source);
// Replaces every reader; the mapping is still chosen by the extension. An
// empty function restores the readers of the table.
using TTagReaderSource =
    std::function<TContainerTags(const TTagReaderRow& row, std::string_view fileName, TStream*)>;
void SetImportReaderSource(TTagReaderSource source);
// The calendar year two-digit years are completed against: the system clock's
// (local time), or the given year when it is above 0.
int CurrentYear();
void SetCurrentYearSource(int year);

}  // namespace dov
