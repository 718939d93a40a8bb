// The play length of a file, chosen by its extension, and the total length of
// M3U and PLS playlists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

// Playlists inside playlists are read this many levels deep; a deeper one, or
// one already being read further up (a playlist naming itself), is unknown.
inline constexpr int kMaxPlaylistDepth = 8;

// Milliseconds, or -1 when unknown (never 0). The stream, when given, must be
// the open file of that name; it is read and its position moved, never closed.
// Nothing raises.
int32_t GetFileDuration(std::string_view fileName, TStream* stream);

// An M3U playlist (fileName: marked text). A playlist of files totals the
// lengths of its "#EXTINF:" lines and, for entries without one, of the files
// themselves; entries that cannot be measured add nothing. Comment lines ("#")
// are no entries; local "file://" URLs are entries like paths. A playlist
// naming a single stream gives its address, title and kind "Stream" and the
// declared length. length is written only when the total is not 0. False when
// the file cannot be read or has not the shape of a playlist.
bool ReadM3U(std::string_view fileName, std::string& address, std::string& title, int32_t& length,
             std::string& kind);

// A PLS playlist. A playlist of files totals its "LengthN" values (in seconds)
// and, for entries without one, the lengths of the files (local "file://" URLs
// count as paths); a playlist whose "File1" is a stream gives its address,
// title parts (divided at " - "), preload and web-file values and the declared
// length. A file without "File1" is read as an M3U playlist. length is written
// only when the total is not 0.
bool ReadPLS(std::string_view fileName, std::string& address, std::string& part1, int32_t& webFile,
             int32_t& preload, int32_t& length, std::string& part3, std::string& part2);

}  // namespace dov
