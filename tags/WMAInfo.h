// The header of an ASF (WMA) file: the stream properties that decide whether
// the file is plausible audio, and the text attributes of the content
// description and extended content description objects. Unlike the other
// readers it fills named fields rather than a list of pairs; the import
// reads them through its table of this class's members.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/DOVFileStream.h"

namespace dov {

class TWMAfile {
 public:
  // Strings are cut to this many UTF-16 code units.
  static constexpr size_t kMaxStringUnits = 1024;

  bool Valid = false;  // the stream properties passed the plausibility test
  int64_t FileSize = 0;
  uint8_t Channels = 0;
  int32_t SampleRate = 0;
  double Duration = 0;  // seconds, from the file size and the maximum bit rate
  int32_t BitRate = 0;  // kbit/s
  std::u16string Title;
  std::u16string Artist;
  std::u16string Album;
  std::u16string AlbumArtist;
  int32_t Track = 0;
  std::u16string Year;
  std::u16string Genre;
  std::u16string Comment;
  std::u16string Composer;
  std::u16string Publisher;
  std::u16string Conductor;
  std::u16string Category;
  uint8_t BeatsPerMinute = 0;
  std::u16string ISRC;
  std::u16string Mood;
  std::u16string Text;
  std::u16string AlbumCoverURL;
  std::u16string UserWebURL;
  std::u16string ReplayGainTrackGain;

  // Resets the reader and reads from stream (seeked to 0, left open) or,
  // without one, from the file named by the marked text fileName. False when
  // the file cannot be opened or ends inside the first 30 bytes; true
  // otherwise, also for a file that is not ASF or not plausible audio (then
  // Valid is false and no field is filled). Header objects and attributes
  // whose declared sizes do not fit end the walk with what was read so far.
  bool ReadFromFile(std::string_view fileName, TStream* stream);

 private:
  void Read(TStream& stream);
};

}  // namespace dov
