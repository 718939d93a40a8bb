#!/bin/sh
# Makes the fixtures of the play-length readers for RIFF, AIFF, AVI, MPEG
# video, MP4/QuickTime, ASF and Ogg files: a fraction of a second to a few
# seconds of a quiet tone or a tiny test picture, by ffmpeg, sox, oggenc and
# opusenc.
# Run from anywhere; writes next to itself and prints ffprobe's durations,
# which RiffInfoTest.cpp and StreamInfoTest.cpp keep in their tables.
# Needs: ffmpeg, ffprobe, sox, oggenc, opusenc.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
sine() { echo "sine=frequency=440:duration=$1:sample_rate=$2"; }
exact() { echo -fflags +bitexact -flags:a +bitexact -flags:v +bitexact; }

# --- RIFF/WAVE ----------------------------------------------------------------
# A broadcast-wave "bext" chunk of odd size (602 fixed bytes and a 13-byte
# coding history with its 0 byte) and its pad byte between "fmt " and the
# "LIST"/"INFO" chunk, which comes before "data".
ff -f lavfi -i "$(sine 1.5 8000)" -c:a pcm_u8 $(exact) -write_bext 1 \
  -metadata coding_history="A=PCM,F=8000" -metadata title="Odd" -metadata artist="Tone maker" \
  ffmpeg-pcm-u8-8000-mono-1500ms-odd-bext-list-info.wav
# 24-bit samples: a 40-byte "fmt " chunk (extensible format, extra size 22).
ff -f lavfi -i "$(sine 0.5 8000)" -c:a pcm_s24le $(exact) \
  ffmpeg-pcm-s24-8000-mono-500ms-extensible-fmt40.wav
# Written to a pipe: ffmpeg cannot seek back, so the RIFF and "data" sizes stay
# 0xFFFFFFFF.
ff -f lavfi -i "$(sine 0.5 8000)" -c:a pcm_u8 $(exact) -f wav - \
  >ffmpeg-pcm-u8-8000-mono-500ms-to-pipe.wav

# --- AIFF and AIFF-C ------------------------------------------------------------
ff -f lavfi -i "$(sine 0.75 8000)" -c:a pcm_s16be $(exact) ffmpeg-pcm-s16be-8000-mono-750ms.aiff
# AIFF-C: the "FVER" version chunk before "COMM".
ff -f lavfi -i "$(sine 0.6 11025)" -c:a pcm_alaw $(exact) ffmpeg-alaw-11025-mono-600ms.aifc
# sox writes a "COMT" comment chunk before "COMM".
sox -n -r 8000 -c 1 -b 8 sox-s8-8000-mono-300ms-comt-first.aiff synth 0.3 sine 440

# --- AVI --------------------------------------------------------------------------
# 100,000 microseconds a frame, 10 frames.
ff -f lavfi -i "testsrc=size=16x16:rate=10:duration=1" -c:v mjpeg -q:v 31 $(exact) \
  ffmpeg-mjpeg-16x16-10fps-1s.avi

# --- MPEG-1/2 program streams ---------------------------------------------------
# A group of pictures a second (25 pictures), at a constant rate that puts more
# than 8 KB between group headers; 3.2 s, time codes 0:00:00 to 0:00:03.
ff -f lavfi -i "testsrc2=size=64x48:rate=25:duration=3.2" -c:v mpeg1video -g 25 \
  -b:v 80k -minrate 80k -maxrate 80k -bufsize 40k -f mpeg $(exact) \
  ffmpeg-mpeg1-ps-64x48-3200ms-gop-1s.mpg
# The same in MPEG-2 with a clock time code that starts at 9:59:58 and passes
# the hour.
ff -f lavfi -i "testsrc2=size=64x48:rate=25:duration=3.2" -c:v mpeg2video -g 25 \
  -b:v 80k -minrate 80k -maxrate 80k -bufsize 40k -timecode 09:59:58:00 -f vob $(exact) \
  ffmpeg-mpeg2-ps-64x48-3200ms-gop-1s-timecode-9h59m58s.mpg

# --- MP4 and QuickTime ----------------------------------------------------------
# Both: "ftyp" first, "mvhd" version 0 with time scale 1000.
ff -f lavfi -i "$(sine 1.3 8000)" -c:a aac -b:a 8k -ac 1 $(exact) ffmpeg-aac-8000-mono-1300ms.m4a
ff -f lavfi -i "testsrc2=size=32x32:rate=10:duration=1.5" -c:v mjpeg -q:v 31 $(exact) \
  ffmpeg-mjpeg-32x32-1500ms.mov

# --- ASF ------------------------------------------------------------------------
# ffmpeg writes a preroll of 3,100 ms, which the play duration includes.
ff -f lavfi -i "$(sine 1.2 8000)" -c:a wmav2 -b:a 24k -ac 1 $(exact) \
  ffmpeg-wmav2-8000-mono-1200ms-preroll-3100.wma
ff -f lavfi -i "testsrc2=size=32x32:rate=10:duration=1.5" -c:v wmv2 $(exact) \
  ffmpeg-wmv2-32x32-1500ms.wmv

# --- Ogg Vorbis and Opus --------------------------------------------------------
ff -f lavfi -i "$(sine 1.5 44100)" -c:a pcm_s16le $(exact) "$tmp/44100.wav"
ff -f lavfi -i "$(sine 1.5 8000)" -c:a libvorbis -q:a 0 -ac 1 $(exact) \
  ffmpeg-vorbis-8000-mono-1500ms.ogg
oggenc -Q -q 0 --resample 8000 -o oggenc-vorbis-8000-mono-1500ms.ogg "$tmp/44100.wav"
# opusenc keeps the input rate (44,100 Hz) in the header; the granule
# positions count 48 kHz samples all the same.
opusenc --quiet --bitrate 8 "$tmp/44100.wav" opusenc-input-44100-1500ms.opus
ff -f lavfi -i "$(sine 1.5 48000)" -c:a libopus -b:a 8k $(exact) ffmpeg-opus-48000-1500ms.opus

for f in *.wav *.aiff *.aifc *.avi *.mpg *.m4a *.mov *.wma *.wmv *.ogg *.opus; do
  case $f in ffmpeg-* | sox-* | oggenc-* | opusenc-*) ;; *) continue ;; esac
  printf '%s\t%s\n' "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")" "$f"
done
