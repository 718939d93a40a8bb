// The fixtures of tests/data/make-duration-fixtures.sh and a walk over every
// truncated prefix of them, shared by the RIFF and stream information tests.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "common/DOVFileStream.h"
#include "tests/TestSupport.h"

namespace dov::test {

inline constexpr std::array<std::string_view, 15> kDurationFixtures{
    "ffmpeg-pcm-u8-8000-mono-1500ms-odd-bext-list-info.wav",
    "ffmpeg-pcm-s24-8000-mono-500ms-extensible-fmt40.wav",
    "ffmpeg-pcm-s16be-8000-mono-750ms.aiff",
    "ffmpeg-alaw-11025-mono-600ms.aifc",
    "ffmpeg-mjpeg-16x16-10fps-1s.avi",
    "ffmpeg-mpeg1-ps-64x48-3200ms-gop-1s.mpg",
    "ffmpeg-mpeg2-ps-64x48-3200ms-gop-1s-timecode-9h59m58s.mpg",
    "ffmpeg-aac-8000-mono-1300ms.m4a",
    "ffmpeg-mjpeg-32x32-1500ms.mov",
    "ffmpeg-wmav2-8000-mono-1200ms-preroll-3100.wma",
    "ffmpeg-wmv2-32x32-1500ms.wmv",
    "ffmpeg-vorbis-8000-mono-1500ms.ogg",
    "oggenc-vorbis-8000-mono-1500ms.ogg",
    "opusenc-input-44100-1500ms.opus",
    "ffmpeg-opus-48000-1500ms.opus",
};

// Calls visit(fixture name, prefix stream) for every prefix of every fixture,
// the empty one included and the whole file excluded. One stream serves all
// the readers visit runs (each seeks to 0 itself).
inline void ForEveryPrefix(const std::function<void(std::string_view, TStream&)>& visit) {
  for (std::string_view name : kDurationFixtures) {
    const std::string bytes = ReadFile(DataPath(name));
    for (size_t size = 0; size < bytes.size(); ++size) {
      TMemoryStream prefix(bytes.substr(0, size));
      visit(name, prefix);
    }
  }
}

}  // namespace dov::test
