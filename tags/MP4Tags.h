// The metadata items of an MP4/M4A file: the item atoms of
// moov/udta/meta/ilst, each delivered as a pair (item name, marked text) in
// file order. Names are the atom types in lower case without a leading 0xA9
// byte ("nam", "art", "trkn"), or "rgtg" for the replay-gain freeform item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/DOVFileStream.h"

namespace dov {

// Atom headers: a 4-byte big-endian size (header included) and a 4-byte type;
// a size of 1 means a 64-bit big-endian size follows the type.
//
// Searches the sibling atoms that start at position, while position is below
// limit - 8, for one of type name (4 bytes). On return position is just after
// the last atom header read and limit is that offset plus the atom's size, so
// a search of the next level runs over the found atom's body. An atom of size
// 0 extends to limit: it is found when its type matches (limit unchanged) and
// otherwise ends the search. An atom smaller than its header, a header cut by
// the end of the stream or more than kMaxAtoms siblings end the search
// without a find. Only an I/O error raises (EReadError).
inline constexpr size_t kMaxAtoms = size_t{1} << 20;
bool FindAtom(TStream& stream, std::string_view name, int64_t& position, int64_t& limit);

class TMP4Tags {
 public:
  // No item larger than this is read (1 MiB of value and the size); a larger
  // one within the item list is passed over, one that runs past it ends the
  // walk.
  static constexpr uint32_t kMaxItemSize = 1048580;
  // No item list holds more items than this; the rest are ignored.
  static constexpr size_t kMaxItems = 4096;

  std::vector<std::string> ItemNames;
  std::vector<std::string> ItemValues;
  // When set, an item whose type (the 4 bytes after its size, as stored) it
  // refuses is passed over unread; the walk ends at such an item exactly as
  // it would have ended at it otherwise. The container import sets it to the
  // types it maps, so that a cover is not read for nothing.
  bool (*Wanted)(std::string_view type) = nullptr;

  // Reads from stream (seeked to 0, left open) or, without one, from the file
  // named by the marked text fileName. Never fails: what was read stays.
  void ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Read(TStream& stream);
  // Parses one item from the bytes after its size field.
  void AddItem(std::string_view item);
};

}  // namespace dov
