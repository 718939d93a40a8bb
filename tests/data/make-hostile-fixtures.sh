#!/bin/sh
# Makes the hand-built hostile files that seed the fuzzers and the tests over
# every fixture: each shows one fault that was mended. Run from anywhere;
# writes next to this script. Needs: python3.
set -eu
cd "$(dirname "$0")"
/usr/bin/python3 - <<'PY'
import struct

def ape_item(key, value, flags=0):
    return struct.pack("<II", len(value), flags) + key + b"\0" + value

def ape_footer(size, count):
    return b"APETAGEX" + struct.pack("<IIII", 2000, size, count, 0) + bytes(8)

def ape_tag(items):
    body = b"".join(items)
    return body + ape_footer(len(body) + 32, len(items))

def id3v23(frames):
    body = b"".join(fid + struct.pack(">I", len(v) + 1) + b"\0\0\0" + v for fid, v in frames)
    n = len(body)
    size = bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])
    return b"ID3\x03\x00\x00" + size + body

filler = bytes(1000)

# Code-page bytes (Hebrew letters of Windows-1255) in APE values.
open("cp1255-ape-title-letters.mp3", "wb").write(
    filler + ape_tag([ape_item(b"Title", b"\xe0\xe1\xe2"), ape_item(b"Artist", b"\xf9\xf8")]))

# An APE tag of a replay-gain tool only, over an ID3v2.3 tag that names the
# file: the APE tag is the only source of fields.
open("replaygain-ape-over-id3v23.mp3", "wb").write(
    id3v23([(b"TIT2", b"Song"), (b"TPE1", b"Band"), (b"TCON", b"Jazz")]) + filler +
    ape_tag([ape_item(b"REPLAYGAIN_TRACK_GAIN", b"+0.69 dB"),
             ape_item(b"MP3GAIN_MINMAX", b"123,212")]))

# Read-only text items (flag bit 0) are text; binary and link items are raw.
open("readonly-ape-text-items.mp3", "wb").write(
    filler + ape_tag([ape_item(b"Artist", b"A\0B", 1), ape_item(b"Title", b"x\x01\ny", 1),
                      ape_item(b"Cover", b"\x89PNG\0\x01", 2),
                      ape_item(b"Related", b"http://example.org/", 4)]))

# A footer that claims a tag of almost 4 GiB: only a bounded part is read.
lying = bytearray(2000)
item = ape_item(b"Artist", b"A")
lying[128:128 + len(item)] = item
open("lying-ape-footer-size.mp3", "wb").write(bytes(lying) + ape_footer(0xFFFFFFF0, 3))

# Control characters in the values that make a new name.
open("control-chars-ape-names.mp3", "wb").write(
    filler + ape_tag([ape_item(b"Artist", b"\x7fDEL\tTab"),
                      ape_item(b"Title", b"two\r\nlines\x1b[2J"),
                      ape_item(b"Genre", b"Rock\nPop")]))

# An Ogg stream followed by a long tail of zeros: the backward search for the
# last page is bounded.
ogg = open("ffmpeg-vorbis-8000-mono-1500ms.ogg", "rb").read()
open("junk-tail-ogg-length.ogg", "wb").write(ogg + bytes(70000))

# Entries with a colon: only a letter, ':' and a separator start a drive path.
open("colon-entries.m3u", "wb").write(
    b"a:b.mp3\r\nC:\\Music\\x.mp3\r\nc:/x.mp3\r\n1:lame-cbr-8k-8000-mono-info.mp3\r\n"
    b"lame-cbr-8k-8000-mono-info.mp3\r\n")
PY
