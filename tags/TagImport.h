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
#include "tags/APETag.h"

namespace dov {

class TWMAfile;

// The mapping table a reader's fields go through.
enum class TTagMapping : uint8_t { None, ID3, MP4, WAV, Vorbis, WMA };

// One value a reader delivered: the reader's id for it and the value as
// marked text.
struct TTagField {
  std::string Id;
  std::string Value;
};

// What one reader delivered, in file order.
struct TContainerTags {
  std::vector<TTagField> Fields;
};

// The pairs of a reader's two parallel lists (ids and values); an id without
// a value, or a value without an id, is left out.
TContainerTags ZipFields(std::vector<std::string>&& ids, std::vector<std::string>&& values);

// The WMA reader's named values that are set, each under the name of its
// member ("AlbumArtist"), in the order the import stores them; texts the way
// their field keeps them, numbers in decimal.
TContainerTags WMAFields(const TWMAfile& wma);

// Wide text as marked text: UTF-8 (a lone surrogate becomes U+FFFD), marked
// when it holds a byte of 0x80 or above.
std::string MarkedWideText(std::u16string_view text);
// Wide text as UTF-8, marked when that differs from its code-page form.
std::string MarkedWideValue(std::u16string_view text);

// Reads the file through stream (the store's open file) and hands over what
// was read; fields the mapping has no row for may be left out (or left empty),
// and for the NameFields scope all but those that fill a field a name is made
// of. Never raises.
using TTagReadFn = TContainerTags (*)(std::string_view fileName, TStream* stream,
                                      TAPETags::TImportScope scope);

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
