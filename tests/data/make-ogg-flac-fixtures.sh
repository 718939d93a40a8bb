#!/bin/sh
# Makes the Ogg Vorbis, Ogg Opus and FLAC fixtures: audio by oggenc, opusenc
# and flac from an ffmpeg tone, tags by mutagen, metaflac and id3v2. Run from
# anywhere; writes next to this script. The files are a few KB each: 8 kHz,
# a quarter of a second.
set -eu
cd "$(dirname "$0")"
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

tone() {  # tone CHANNELS FILE: 0.25 s of 440 Hz at 8 kHz, 16-bit PCM
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "sine=frequency=440:duration=0.25:sample_rate=8000" \
    -ac "$1" -c:a pcm_s16le -bitexact -map_metadata -1 "$2"
}
tone 1 "$tmp/mono.wav"
tone 2 "$tmp/stereo.wav"
tone 3 "$tmp/three.wav"

# --- Ogg Vorbis --------------------------------------------------------------
# The first page is the 30-byte identification packet alone (58 bytes).
oggenc -Q -q -1 -s 4711 -o "$tmp/tags.ogg" "$tmp/mono.wav"
oggenc -Q -q -1 -s 4712 -o "$tmp/spans.ogg" "$tmp/mono.wav"
cp "$tmp/tags.ogg" vorbis-8k-mono-lowercase-name-utf8-empty-name.ogg
cp "$tmp/spans.ogg" vorbis-8k-mono-comment-spans-two-pages.ogg

# --- Ogg Opus ----------------------------------------------------------------
# Mono and stereo: mapping family 0, a 19-byte identification packet. Three
# channels: mapping family 1, the packet carries a channel mapping table and
# the first page is longer.
opusenc --quiet --serial 4713 --bitrate 6 "$tmp/mono.wav" opus-mono-19-byte-head.opus
opusenc --quiet --serial 4714 --bitrate 6 "$tmp/stereo.wav" opus-stereo-19-byte-head-lowercase-name.opus
opusenc --quiet --serial 4715 --bitrate 96 "$tmp/three.wav" opus-3ch-mapping-table.opus 2>/dev/null

"$PY" - <<'PYEOF'
from mutagen.oggvorbis import OggVorbis
from mutagen.oggopus import OggOpus

def tag(cls, path, pairs, check=True):
    f = cls(path)
    f.tags.clear()
    for name, value in pairs:
        f.tags.append((name, value))
    if not check:
        # A comment with an empty name ("=x") is refused by the validation.
        f.tags.validate = lambda: True
    f.save()

tag(OggVorbis, "vorbis-8k-mono-lowercase-name-utf8-empty-name.ogg", [
    ("TITLE", "Song"),
    ("artist", "Band"),
    ("GENRE", "Rock"),
    ("ALBUM", "Caf\u00e9 \u00dcbersee"),
    ("TRACKNUMBER", "3"),
    ("DESCRIPTION", "ends with spaces   "),
    ("", "x"),
], check=False)

# mutagen cuts pages at about 4 KB (up to 6 KB for a packet that then fits),
# so a 6.7 KB comment carries the comment packet over onto the third page; the
# page break falls inside the comment.
tag(OggVorbis, "vorbis-8k-mono-comment-spans-two-pages.ogg", [
    ("TITLE", "Long Note"),
    ("COMMENT", "".join("line %04d of a long comment\n" % i for i in range(240))),
    ("ARTIST", "Spanning Band"),
    ("GENRE", "Ambient"),
])

tag(OggOpus, "opus-mono-19-byte-head.opus", [
    ("TITLE", "Opus Song"),
    ("ARTIST", "Opus Band"),
    ("GENRE", "Speech"),
])
tag(OggOpus, "opus-stereo-19-byte-head-lowercase-name.opus", [
    ("title", "Stereo Song"),
    ("ARTIST", "Duo"),
    ("GENRE", "Pop"),
])
tag(OggOpus, "opus-3ch-mapping-table.opus", [
    ("TITLE", "Surround Song"),
    ("ARTIST", "Trio"),
])
PYEOF

# --- FLAC --------------------------------------------------------------------
# STREAMINFO, SEEKTABLE, PADDING, then the VORBIS_COMMENT block: flac writes
# the comments before the padding, so they are removed and written again
# without using the padding, which appends them as the last block.
flac -s -f -8 --padding=128 -S 1x -o "$tmp/blocks.flac" "$tmp/mono.wav"
metaflac --remove --block-type=VORBIS_COMMENT --dont-use-padding "$tmp/blocks.flac"
metaflac --dont-use-padding \
  --set-tag=TITLE=Song --set-tag=artist=Band --set-tag=GENRE=Jazz \
  --set-tag="ALBUM=  Spaced Album  " --set-tag="COMPOSER=$(printf 'Dvo\305\231\303\241k')" \
  --set-tag==x "$tmp/blocks.flac"
cp "$tmp/blocks.flac" flac-8k-mono-seektable-padding-before-comments.flac

# An ID3v2.3 tag (written by id3v2, version 2 tags only) in front of "fLaC".
flac -s -f -8 --padding=64 -o "$tmp/id3.flac" "$tmp/mono.wav"
metaflac --remove-all-tags \
  --set-tag="TITLE=Flac Title" --set-tag="ARTIST=Flac Artist" --set-tag=GENRE=Blues \
  "$tmp/id3.flac"
id3v2 -2 -t "Id3 Title" -a "Id3 Artist" -g 17 "$tmp/id3.flac"
cp "$tmp/id3.flac" flac-8k-mono-id3v23-in-front.flac
