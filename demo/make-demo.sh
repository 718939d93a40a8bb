#!/usr/bin/env bash
# Makes the demo library: short quiet tones in several formats, each carrying
# an APEv2 tag with Artist, Title and (mostly) Genre. The files are committed;
# run this again only to change them. Needs ffmpeg and python3-mutagen.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf library
mkdir -p library/Live

# One second of a quiet 440 Hz tone, mono, 8 kHz: a few KB in any format.
# No metadata of the encoder's own, so the APEv2 tag is the only tag.
tone() {
  local out=$1
  shift
  ffmpeg -loglevel error -nostdin -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=1" \
    -af "volume=0.1" -ac 1 -map_metadata -1 -fflags +bitexact -flags +bitexact "$@" "$out"
}

tone library/track01.mp3 -c:a libmp3lame -b:a 8k -id3v2_version 0
tone library/track02.flac -c:a flac -compression_level 12
tone "library/Live/take 3.ogg" -c:a libvorbis -q:a 0
tone library/Live/demo.wav -c:a pcm_u8
tone library/05.mp3 -c:a libmp3lame -b:a 8k -id3v2_version 0

# APEv2 tags: the one with the non-ASCII artist, a title with a slash (not
# allowed in a file name), one without a genre (goes to "Unknown").
/usr/bin/python3 - <<'PY'
from mutagen.apev2 import APEv2

tags = {
    "library/track01.mp3": {"Artist": "The Quiet Tones", "Title": "Morning Hum", "Genre": "Ambient"},
    "library/track02.flac": {"Artist": "Björk", "Title": "Glacier Song", "Genre": "Electronic"},
    "library/Live/take 3.ogg": {"Artist": "Nina Park", "Title": "Rain/Shine", "Genre": "Jazz"},
    "library/Live/demo.wav": {"Artist": "The Quiet Tones", "Title": "Evening Drone"},
    "library/05.mp3": {"Artist": "Nina Park", "Title": "Blue Hour", "Genre": "Jazz"},
}
for name, fields in tags.items():
    tag = APEv2()
    for key, value in fields.items():
        tag[key] = value
    tag.save(name)
PY
ls -l library library/Live
