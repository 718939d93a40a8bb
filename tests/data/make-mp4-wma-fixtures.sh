#!/bin/sh
# Makes the MP4/M4A and WMA fixtures: audio by ffmpeg, tags by mutagen.
# Run from anywhere; writes next to this script. Needs ffmpeg and python3 with
# mutagen. The files are a few KB each: 8-22 kHz, a fraction of a second.
set -eu
cd "$(dirname "$0")"
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
sine() { echo "sine=frequency=440:duration=$1:sample_rate=$2"; }

# --- AAC in MP4 ------------------------------------------------------------
# moov before the audio (faststart) and moov after it (ffmpeg's default).
ff -f lavfi -i "$(sine 0.1 8000)" -c:a aac -b:a 8k -ac 1 -map_metadata -1 \
  -fflags +bitexact -movflags +faststart "$tmp/first.m4a"
ff -f lavfi -i "$(sine 0.1 8000)" -c:a aac -b:a 8k -ac 1 -map_metadata -1 \
  -fflags +bitexact "$tmp/last.m4a"
ff -f lavfi -i "$(sine 0.1 8000)" -c:a aac -b:a 8k -ac 1 -map_metadata -1 \
  -fflags +bitexact -movflags +faststart "$tmp/cover.mp4"
# A 2x2 PNG for the cover.
ff -f lavfi -i color=c=red:s=2x2 -frames:v 1 "$tmp/cover.png"

cp "$tmp/first.m4a" aac-moov-first-gnre-trkn-tmpo-replaygain.m4a
cp "$tmp/last.m4a" aac-moov-last-textgenre.m4a
cp "$tmp/cover.mp4" aac-cover-png-utf8.mp4

"$PY" - "$tmp/cover.png" <<'EOF'
import struct, sys
from mutagen.mp4 import MP4, MP4Cover, MP4FreeForm
from mutagen.mp4 import Atom

f = MP4("aac-moov-first-gnre-trkn-tmpo-replaygain.m4a")
f.add_tags() if f.tags is None else None
t = f.tags
t["\xa9nam"] = "Faststart Song"
t["\xa9ART"] = "M4A Artist"
t["\xa9alb"] = "M4A Album"
t["aART"] = "M4A Album Artist"
t["\xa9day"] = "2015"
t["\xa9wrt"] = "M4A Composer"
t["\xa9cmt"] = "M4A comment"
t["trkn"] = [(3, 12)]
t["tmpo"] = [120]
t["----:com.apple.iTunes:replaygain_track_gain"] = [MP4FreeForm(b"-6.54 dB")]
# mutagen reads the numeric ID3 genre "gnre" but will not write it; hand it
# one as an atom it could not parse, which it writes back as it is: a "data"
# atom (type 0, locale 0) holding the big-endian genre number 18 (Rock).
t._failed_atoms["gnre"] = [Atom.render(b"data", struct.pack(">2I", 0, 0) + struct.pack(">H", 18))]
f.save()

f = MP4("aac-moov-last-textgenre.m4a")
f.add_tags() if f.tags is None else None
t = f.tags
t["\xa9nam"] = "Moov Last Song"
t["\xa9ART"] = "Late Artist"
t["\xa9gen"] = "Jazz"
t["trkn"] = [(5, 0)]
f.save()

f = MP4("aac-cover-png-utf8.mp4")
f.add_tags() if f.tags is None else None
t = f.tags
t["\xa9nam"] = "Caf\u00e9 \u00dcber"
t["\xa9ART"] = "\u00c5sa \u30c6\u30b9\u30c8"
t["\xa9gen"] = "Electronic"
t["covr"] = [MP4Cover(open(sys.argv[1], "rb").read(), imageformat=MP4Cover.FORMAT_PNG)]
f.save()
EOF

# --- WMA (ASF) -------------------------------------------------------------
ff -f lavfi -i "$(sine 0.2 22050)" -c:a wmav2 -b:a 32k -ac 1 -map_metadata -1 \
  -fflags +bitexact wmav2-mono-22k-tags.wma
ff -f lavfi -i "$(sine 0.2 44100)" -c:a wmav2 -b:a 48k -ac 2 -map_metadata -1 \
  -fflags +bitexact wmav2-stereo-44k-lowercase-names-long-title.wma

"$PY" - <<'EOF'
from mutagen.asf import ASF, ASFDWordAttribute

f = ASF("wmav2-mono-22k-tags.wma")
t = f.tags
t["Title"] = "WMA Mono Song"
t["Author"] = "WMA Artist"
t["Description"] = "WMA description"
t["WM/AlbumTitle"] = "WMA Album"
t["WM/AlbumArtist"] = "WMA Album Artist"
t["WM/Year"] = "2009"
t["WM/Genre"] = "Blues"
t["WM/TrackNumber"] = "7"
t["WM/Composer"] = "WMA Composer"
t["WM/BeatsPerMinute"] = "128"
t["WM/Mood"] = "Calm"
t["REPLAYGAIN_TRACK_GAIN"] = "-3.21 dB"
f.save()

f = ASF("wmav2-stereo-44k-lowercase-names-long-title.wma")
t = f.tags
# 1500 characters: more than the 1024 the reader keeps.
t["Title"] = ("Long title " * 137)[:1497] + "END"
t["Author"] = "Stereo Artist"
t["wm/genre"] = "Lowercase Genre"
t["wm/albumtitle"] = "Lowercase Album"
# A number stored as a DWORD is not text and is not seen; the zero-based
# "WM/Track" text gives the track instead.
t["WM/TrackNumber"] = [ASFDWordAttribute(9)]
t["wm/track"] = "5"
f.save()
EOF

ls -l ./*.m4a ./*.mp4 ./*.wma
