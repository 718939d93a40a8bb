#!/bin/sh
# Makes the MP3, MP2 and WAV fixtures of the ID3 and WAV chunk readers: 0.2 s
# (WAV 0.05 s) of a quiet tone encoded by ffmpeg, tagged by mutagen (its
# Python API and mid3v2) and id3v2. Run from anywhere; writes next to itself.
# Needs: ffmpeg, python3 with mutagen, mid3v2, id3v2.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

tone() {  # tone RATE CODEC BITRATE OUT [ffmpeg options...]
  rate=$1 codec=$2 bitrate=$3 out=$4
  shift 4
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=0.2" \
    -af volume=0.1 -ar "$rate" -ac 1 -c:a "$codec" -b:a "$bitrate" \
    -fflags +bitexact -flags:a +bitexact "$@" "$out"
}

# Untagged audio. 8 kHz MP3 is MPEG-2.5 (FF E3), 16 kHz MPEG-2 (FF F3, the
# frame the mp3PRO flag looks for), 32 kHz MPEG-1 (FF FB).
tone 8000 libmp3lame 8k "$tmp/mpeg25.mp3" -id3v2_version 0 -write_xing 0
tone 16000 libmp3lame 8k "$tmp/mpeg2.mp3" -id3v2_version 0 -write_xing 0
tone 32000 libmp3lame 32k "$tmp/mpeg1.mp3" -id3v2_version 0 -write_xing 0
tone 16000 mp2 8k "$tmp/layer2.mp2"

for f in id3v23-latin1 id3v23-utf16le-bom id3v23-utf16be-bom id3v24-utf16le-bom \
  id3v24-utf16be id3v24-utf8 id3v1-only id3v1-and-id3v23 apev2-over-id3v23-and-id3v1; do
  cp "$tmp/mpeg25.mp3" "$f.mp3"
done
cp "$tmp/mpeg2.mp3" mpeg2-layer3-untagged.mp3
cp "$tmp/mpeg2.mp3" mpeg2-layer3-id3v23.mp3
cp "$tmp/mpeg1.mp3" mpeg1-layer3-id3v24.mp3
cp "$tmp/layer2.mp2" id3v23-layer2.mp2

# ID3v1 tags by id3v2 (genre 17 is Rock, 7 the track byte).
id3v2 -1 -t "V1 Title" -a "V1 Artist" -A "V1 Album" -y 1999 -c "Hello" -T 7 -g 17 id3v1-only.mp3
id3v2 -1 -t "V1 Title" -a "V1 Artist" -g 17 id3v1-and-id3v23.mp3

# A v2.4 tag by mid3v2 (it writes UTF-8 where Latin-1 is not enough).
mid3v2 -a "Сергей Прокофьев" -t "Петя и волк" -g "Classical" -A "Ελληνικά" mpeg1-layer3-id3v24.mp3

/usr/bin/python3 - <<'EOF'
import codecs
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TCON, COMM, TRCK, TDRC, TXXX, APIC, Encoding
from mutagen.id3 import _specs

# mutagen writes encoding 1 in the machine's byte order. For the big-endian
# fixture its encoder gets a codec that writes the mark FE FF and big-endian.
def utf16_be_bom(name):
    if name != "utf16bebom":
        return None
    be = codecs.lookup("utf_16_be")
    return codecs.CodecInfo(lambda s, e="strict": (b"\xfe\xff" + be.encode(s, e)[0], len(s)),
                            codecs.lookup("utf16").decode, name=name)
codecs.register(utf16_be_bom)

LONG = "A comment long enough that its frame needs more than 127 bytes, " * 3

def tag(path, version, frames, padding=32):
    tags = ID3()
    for frame in frames:
        tags.add(frame)
    tags.save(path, v2_version=version, v1=0, padding=lambda info: padding)

def text(cls, enc, value):
    return cls(encoding=enc, text=[value])

def comment(enc, value, desc=""):
    return COMM(encoding=enc, lang="eng", desc=desc, text=[value])

tag("id3v23-latin1.mp3", 3, [
    text(TIT2, 0, "Café del Mar"), text(TPE1, 0, "Señor Latin"), text(TALB, 0, "Àlbum"),
    text(TCON, 0, "(17)"), text(TRCK, 0, "3/9"), comment(0, "Latin comment")])

tag("id3v23-utf16le-bom.mp3", 3, [
    text(TIT2, 1, "Jazz Ünïcode"), text(TPE1, 1, "Björk Guðmundsdóttir"),
    text(TCON, 1, "(8)"), comment(1, "UTF-16 comment"),
    TXXX(encoding=1, desc="skipped", text=["not a text frame"]),
    APIC(encoding=0, mime="image/png", type=3, desc="", data=b"\x89PNG" + bytes(200))])

enc = _specs.EncodedTextSpec._encodings
saved = enc[Encoding.UTF16]
enc[Encoding.UTF16] = ("utf16bebom", saved[1])
tag("id3v23-utf16be-bom.mp3", 3, [
    text(TIT2, 1, "Zoë's Song"), text(TPE1, 1, "Mötley Crüe"), text(TCON, 1, "Hard Rock"),
    comment(1, "Big-endian comment")])
enc[Encoding.UTF16] = saved

tag("id3v24-utf16le-bom.mp3", 4, [
    text(TIT2, 1, "Ærø Ballad"), text(TPE1, 1, "Sigur Rós"), text(TCON, 1, "Ballad"),
    comment(1, LONG)])

# Encoding 2: UTF-16 big-endian without a byte-order mark (ID3v2.4 only).
tag("id3v24-utf16be.mp3", 4, [
    text(TIT2, 2, "Jazz"), text(TPE1, 2, "Ørjan Big Endian"), text(TCON, 2, "Jazz"),
    comment(2, "No mark at all")])

tag("id3v24-utf8.mp3", 4, [
    text(TIT2, 3, "Ελληνικά τραγούδια"), text(TPE1, 3, "Łukasz Żółć"), text(TALB, 0, "Plain Album"),
    text(TCON, 3, "(13)Pop"), TDRC(encoding=3, text=["2015-06-30"]), comment(3, LONG + "ünï")])

# Beside an ID3v1 tag written by id3v2 (different values).
tag("id3v1-and-id3v23.mp3", 3, [
    text(TIT2, 0, "V2 Title"), text(TPE1, 0, "V2 Artist"), text(TCON, 0, "Pop")])

tag("mpeg2-layer3-id3v23.mp3", 3, [text(TIT2, 0, "Pro Title"), text(TPE1, 0, "Pro Artist")])
tag("id3v23-layer2.mp2", 3, [
    text(TIT2, 0, "Layer Two"), text(TPE1, 1, "Mp2 Ärtist"), text(TCON, 0, "(32)")])

tag("apev2-over-id3v23-and-id3v1.mp3", 3, [
    text(TIT2, 0, "ID3 Title"), text(TPE1, 0, "ID3 Artist"), text(TCON, 0, "(17)")])
EOF

# ID3v1 tags by id3v2 (genre 17 is Rock, 7 the track byte); beside an ID3v2
# tag they hold other values than it.
id3v2 -1 -t "V1 Title" -a "V1 Artist" -A "V1 Album" -y 1999 -c "Hello" -T 7 -g 17 id3v1-only.mp3
id3v2 -1 -t "V1 Title" -a "V1 Artist" -g 17 id3v1-and-id3v23.mp3

# An APEv2 tag over ID3v2.3, then an ID3v1 tag after it: the APE tag wins.
/usr/bin/python3 - <<'EOF'
from mutagen.apev2 import APEv2
ape = APEv2()
ape["Title"] = "APE Title"
ape["Artist"] = "APE Ärtist"
ape["Genre"] = "Acid Jazz"
ape.save("apev2-over-id3v23-and-id3v1.mp3")
EOF
id3v2 -1 -t "V1 Title" -a "V1 Artist" -g 17 apev2-over-id3v23-and-id3v1.mp3

# WAV with LIST/INFO written by ffmpeg: title (INAM), artist (IART, UTF-8),
# genre (IGNR), album (IPRD), comment (ICMT), date (ICRD), track (IPRT).
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=0.05" \
  -ar 8000 -ac 1 -c:a pcm_u8 -fflags +bitexact -flags:a +bitexact \
  -metadata title="Hello" -metadata artist="Björk" -metadata genre="Rock" \
  -metadata album="Homogenic" -metadata comment="Made by ffmpeg" -metadata date=1997 \
  -metadata track=3 list-info-utf8.wav
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=0.05" \
  -ar 8000 -ac 1 -c:a pcm_u8 -fflags +bitexact -flags:a +bitexact \
  -metadata title="Plain Title" -metadata artist="Plain Artist" list-info-ascii.wav
ls -l ./*.mp3 ./*.mp2 ./*.wav
