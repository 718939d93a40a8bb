#!/bin/sh
# Makes the MPEG audio and playlist fixtures of the play-length readers: about
# 1 s of a quiet tone encoded by lame and ffmpeg at low bit rates, and M3U and
# PLS playlists naming them. Run from anywhere; writes next to itself and
# prints ffprobe's durations, which MPEGAudioTest.cpp keeps in its table.
# Needs: ffmpeg, ffprobe, lame.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

tone() {  # tone RATE CHANNELS OUT.wav
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=1" \
    -af volume=0.1 -ar "$1" -ac "$2" -fflags +bitexact -flags:a +bitexact "$3"
}
tone 44100 2 "$tmp/44100-2.wav"
tone 44100 1 "$tmp/44100-1.wav"
tone 32000 1 "$tmp/32000-1.wav"
tone 24000 1 "$tmp/24000-1.wav"
tone 22050 2 "$tmp/22050-2.wav"
tone 16000 1 "$tmp/16000-1.wav"
tone 11025 1 "$tmp/11025-1.wav"
tone 8000 1 "$tmp/8000-1.wav"

# --resample keeps lame from choosing a lower rate for a low bit rate.
lame_() { lame --quiet --noreplaygain "$@"; }

# MPEG-1 Layer III. lame writes an "Info" frame in a constant bit rate file and
# a "Xing" frame in a variable one; -t writes neither.
lame_ --resample 44.1 --cbr -b 128 "$tmp/44100-2.wav" lame-cbr-128k-44100-stereo-info.mp3
lame_ --resample 32 -t --cbr -b 32 "$tmp/32000-1.wav" lame-cbr-32k-32000-mono-no-info.mp3
lame_ --resample 44.1 -V 6 "$tmp/44100-2.wav" lame-vbr-44100-stereo-xing-at-36.mp3
lame_ --resample 44.1 -V 6 -m m "$tmp/44100-1.wav" lame-vbr-44100-mono-xing-at-21.mp3

# MPEG-2 (22050, 24000, 16000 Hz) and MPEG-2.5 (11025, 8000 Hz) Layer III.
lame_ --resample 22.05 -V 7 -m j "$tmp/22050-2.wav" lame-vbr-22050-stereo-xing-at-21.mp3
lame_ --resample 16 -V 7 -m m "$tmp/16000-1.wav" lame-vbr-16000-mono-xing-at-13.mp3
lame_ --resample 24 -t --cbr -b 24 "$tmp/24000-1.wav" lame-cbr-24k-24000-mono-no-info.mp3
lame_ --resample 11.025 -t --cbr -b 16 "$tmp/11025-1.wav" lame-cbr-16k-11025-mono-no-info.mp3
lame_ --resample 8 --cbr -b 8 "$tmp/8000-1.wav" lame-cbr-8k-8000-mono-info.mp3

# ffmpeg's muxer: an ID3v2.4 tag in front of an "Info" frame.
ffmpeg -hide_banner -loglevel error -y -i "$tmp/44100-1.wav" -c:a libmp3lame -b:a 64k \
  -metadata title="Tone" -fflags +bitexact -flags:a +bitexact \
  ffmpeg-cbr-64k-44100-mono-id3v24-info.mp3

# Layer II by ffmpeg's mp2 encoder: MPEG-1 at 32000 Hz, MPEG-2 at 24000 Hz.
ffmpeg -hide_banner -loglevel error -y -i "$tmp/32000-1.wav" -c:a mp2 -b:a 64k \
  -fflags +bitexact -flags:a +bitexact ffmpeg-layer2-64k-32000-mono.mp2
ffmpeg -hide_banner -loglevel error -y -i "$tmp/24000-1.wav" -c:a mp2 -b:a 32k \
  -fflags +bitexact -flags:a +bitexact ffmpeg-layer2-32k-24000-mono.mp2

# Playlists. Entries are relative to tests/data unless said otherwise.
printf '#EXTM3U\n#EXTINF:180,Artist - First\nlame-cbr-128k-44100-stereo-info.mp3\n#EXTINF:200,Artist - Second\nffmpeg-layer2-64k-32000-mono.mp2\n' \
  >extended-180s-200s.m3u
printf 'lame-cbr-128k-44100-stereo-info.mp3\nffmpeg-layer2-64k-32000-mono.mp2\nlame-vbr-44100-stereo-xing-at-36.mp3' \
  >plain-three-files-no-final-line-end.m3u
printf '#EXTM3U\n#EXTINF:-1,Unknown length\nlame-cbr-8k-8000-mono-info.mp3\n#EXTINF:-1,Missing file\nno-such-file.mp3\n#EXTINF:10,Ten seconds\nno-such-file.mp3\n' \
  >extinf-unknown-measured.m3u
printf '#EXTM3U\nlame-cbr-8k-8000-mono-info.mp3\n' >extended-two-lines.m3u
printf '#EXTM3U\r\n#EXTINF:-1,Station - Live\r\nhttp://radio.example/stream\r\n' >stream-extended.m3u
printf 'http://radio.example/stream\n' >"stream-plain - radio.m3u"
printf '.\\lame-cbr-8k-8000-mono-info.mp3\r\n..\\data\\ffmpeg-layer2-32k-24000-mono.mp2\r\nlame-cbr-16k-11025-mono-no-info.mp3\r\n' \
  >windows-separators-crlf.m3u
printf '[playlist]\nFile1=lame-cbr-128k-44100-stereo-info.mp3\nLength1=100\nFile2=ffmpeg-layer2-64k-32000-mono.mp2\nLength2=200\nFile3=lame-cbr-8k-8000-mono-info.mp3\nLength3=-1\nNumberOfEntries=3\nVersion=2\n' \
  >lengths-100-200-unknown.pls
printf '[playlist]\r\nfile1=lame-cbr-8k-8000-mono-info.mp3\r\nFILE2=.\\ffmpeg-layer2-32k-24000-mono.mp2\r\nFile3=no-such-file.mp3\r\nNumberOfEntries=3\r\n' \
  >files-without-lengths-crlf.pls
printf '[playlist]\nNumberOfEntries=1\nFile1=http://radio.example/stream\nTitle1=Artist - Song\nLength1=-1\nPreload1=2.5\nWebFile1=1\nVersion=2\n' \
  >stream-artist-song.pls
printf '#EXTM3U\n#EXTINF:42,Artist - Song\nlame-cbr-8k-8000-mono-info.mp3\n' >m3u-text-in.pls
printf 'self-reference.m3u\nlame-cbr-8k-8000-mono-info.mp3\nself-reference.m3u\n' >self-reference.m3u
printf '[playlist]\nFile1=mutual-b.m3u\nFile2=lame-cbr-8k-8000-mono-info.mp3\n' >mutual-a.pls
printf 'mutual-a.pls\nmutual-a.pls\nlame-cbr-16k-11025-mono-no-info.mp3\n' >mutual-b.m3u

for f in *.mp3 *.mp2; do
  case $f in lame-* | ffmpeg-*) ;; *) continue ;; esac
  printf '%s\t%s\n' "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")" "$f"
done
