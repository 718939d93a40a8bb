#!/usr/bin/python3
"""Makes the benchmark corpus: N real audio files in nested folders.

A handful of short base files are encoded once with ffmpeg; every corpus file
is a copy of one of them, tagged with mutagen (RIFF INFO for WAV, which mutagen
does not write, is appended here) with an Artist, Title and Genre of its own.
The same N and seed give the same files.

    make-corpus.py OUT [-n 20000] [--seed 1] [--jobs 2]

OUT/library holds the files, OUT/manifest.tsv one line per file:
relative path, artist, title, genre, nominal length in ms, kind.
OUT/base holds the base files.
"""

import argparse
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import unicodedata
from multiprocessing import Pool

import mutagen.apev2
import mutagen.asf
import mutagen.flac
import mutagen.id3
import mutagen.mp4
import mutagen.oggopus
import mutagen.oggvorbis

# Share of the files per kind, in hundredths of a per cent.
MIX = [
    ("mp3-vbr", 1200),  # ID3v2, Xing header
    ("mp3-cbr", 1200),  # ID3v2, Info header
    ("mp3-plain", 1200),  # ID3v2, no Xing/Info header
    ("mp3-ape", 400),  # APEv2 (half of them with an ID3v1 tag behind it)
    ("mp3-ape-cover", 200),  # APEv2 with a binary "Cover Art (Front)" of 50 KB-1 MB
    ("ape", 200),  # Monkey's Audio (made here), APEv2 with a binary cover
    ("mp3-big-apic", 50),  # ID3v2 with an APIC of 1-1.5 MB
    ("mp3-many-frames", 200),  # ID3v2 with 300 frames before the names
    ("flac", 1200),
    ("flac-big-picture", 100),  # a PICTURE of 0.5-1 MB and 64 KiB of padding
    ("m4a-front", 650),  # the movie box before the audio
    ("m4a-end", 650),  # the movie box after the audio
    ("m4a-covr-first", 200),  # `covr` before the names in the item list
    ("ogg", 800),  # Vorbis
    ("opus", 300),  # Opus in an .ogg file
    ("wav", 800),  # LIST/INFO
    ("wav-big-list", 150),  # LIST/INFO with a comment of 64-256 KB
    ("wma", 500),
]
# Files with 50-200 KB of cover art, among the kinds that may have it.
ART_SHARE = 0.20
NO_RANDOM_ART = {"wav", "wav-big-list", "mp3-ape", "mp3-ape-cover", "ape", "mp3-big-apic",
                 "mp3-many-frames", "flac-big-picture", "m4a-covr-first"}
CORPUS_VERSION = 2  # a corpus of another version is made anew
LENGTHS_MS = [2000, 3000, 4000]  # one base file per kind and length
FILES_PER_FOLDER = 100
FOLDERS_PER_SHELF = 10

EXT = {
    "mp3-vbr": "mp3",
    "mp3-cbr": "mp3",
    "mp3-plain": "mp3",
    "mp3-ape": "mp3",
    "mp3-ape-cover": "mp3",
    "ape": "ape",
    "mp3-big-apic": "mp3",
    "mp3-many-frames": "mp3",
    "flac": "flac",
    "flac-big-picture": "flac",
    "m4a-front": "m4a",
    "m4a-end": "m4a",
    "m4a-covr-first": "m4a",
    "ogg": "ogg",
    "opus": "ogg",
    "wav": "wav",
    "wav-big-list": "wav",
    "wma": "wma",
}
# Kinds tagged on another kind's base file.
BASE_OF = {"flac-big-picture": "flac", "m4a-covr-first": "m4a-front", "wav-big-list": "wav"}
MP3_BASED = {"mp3-ape", "mp3-ape-cover", "mp3-big-apic", "mp3-many-frames"}

FFMPEG_ARGS = {
    "mp3-vbr": ["-ac", "2", "-c:a", "libmp3lame", "-q:a", "4", "-id3v2_version", "0",
                "-write_id3v1", "0"],
    "mp3-cbr": ["-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0",
                "-write_id3v1", "0"],
    "mp3-plain": ["-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0",
                  "-write_id3v1", "0", "-write_xing", "0"],
    "flac": ["-ac", "2", "-c:a", "flac"],
    "m4a-front": ["-ac", "2", "-c:a", "aac", "-b:a", "96k", "-movflags", "+faststart"],
    "m4a-end": ["-ac", "2", "-c:a", "aac", "-b:a", "96k"],
    "ogg": ["-ac", "2", "-c:a", "libvorbis", "-q:a", "3"],
    "opus": ["-ac", "2", "-c:a", "libopus", "-b:a", "64k"],
    "wav": ["-ac", "1", "-ar", "22050", "-c:a", "pcm_s16le"],
    "wma": ["-ac", "2", "-c:a", "wmav2", "-b:a", "128k"],
}

GENRES = [
    "Rock", "Pop", "Jazz", "Blues", "Classical", "Hip-Hop", "R&B", "Country", "Folk",
    "Electronic", "Ambient", "Metal", "Punk", "Reggae", "Soul", "Funk", "Disco", "House",
    "Techno", "Trance", "Drum & Bass", "Dubstep", "Gospel", "Latin", "Ska", "Swing",
    "Bossa Nova", "Chanson", "Opera", "Soundtrack", "Singer-Songwriter", "World",
    "Música Popular", "Électro", "Schlager", "Indie Rock", "Post-Rock", "Shoegaze",
    "Grunge", "New Wave",
]
SYLLABLES = ["ka", "lo", "mi", "ra", "ne", "to", "su", "vi", "da", "mo", "re", "li",
             "an", "el", "or", "un", "ba", "ce", "fi", "go"]
# Some artists and titles carry letters beyond ASCII (not in WAV files).
LATIN1_WORDS = ["Björk", "Zoë", "Señor", "Café", "Ångström", "Müller", "Façade", "Noël"]
WIDE_WORDS = ["Кино", "Ωμέγα", "東京", "Łódź", "Dvořák", "Ærø"]


def word(rng):
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 3))).capitalize()


def tags_for(index, kind):
    rng = random.Random(index * 7919 + 17)
    artist_no = rng.randrange(2000)
    arng = random.Random(artist_no)
    artist = word(arng) + " " + word(arng)
    if artist_no % 10 == 0:
        artist += " " + arng.choice(LATIN1_WORDS)
    title = word(rng) + " " + word(rng) + " " + str(index)
    extra = rng.random()
    if extra < 0.05:
        title = rng.choice(LATIN1_WORDS) + " " + title
    elif extra < 0.10:
        title = rng.choice(WIDE_WORDS) + " " + title
    genre = GENRES[rng.randrange(len(GENRES))]
    if kind.startswith("wav"):
        # RIFF INFO text has no stated encoding (code page or UTF-8, by reader):
        # WAV files get the same names in plain ASCII.
        artist, title, genre = (ascii_letters(t) for t in (artist, title, genre))
    return artist, title, genre


def ascii_letters(text):
    decomposed = unicodedata.normalize("NFKD", text)
    return " ".join("".join(c for c in decomposed if ord(c) < 128).split())


def make_bases(base_dir):
    os.makedirs(base_dir, exist_ok=True)
    for kind, args in FFMPEG_ARGS.items():
        for n, length in enumerate(LENGTHS_MS):
            out = os.path.join(base_dir, f"{kind}-{length}.{EXT[kind]}")
            if os.path.exists(out):
                continue
            tone = f"sine=frequency={330 + 110 * n}:duration={length / 1000}:sample_rate=44100"
            cmd = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", tone,
                   "-map_metadata", "-1", "-fflags", "+bitexact", "-flags:a", "+bitexact"]
            cmd += args + [out + ".tmp." + EXT[kind]]
            subprocess.run(cmd, check=True)
            os.replace(out + ".tmp." + EXT[kind], out)
    # The MP3-based kinds use the three MP3 bases in turn; Monkey's Audio
    # files are made per file (make_ape_file).


def art_blob(index, low=50 * 1024, high=200 * 1024, log_uniform=False):
    rng = random.Random(index * 104729 + 3)
    if log_uniform:  # most near the low end, a few near the high one
        size = int(low * (high / low) ** rng.random())
    else:
        size = rng.randint(low, high)
    # A JPEG start of image, then noise of the chosen size.
    return b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + rng.randbytes(size - 11)


def make_ape_file(path, length_ms, index):
    """A Monkey's Audio file of the given length: no encoder for it is packaged
    in Debian, so this writes a valid descriptor (version 3990) and header and
    noise for the frames. The tag readers and the play-length reader look at
    nothing else; no decoder would play it."""
    rate, blocks_per_frame = 44100, 73728
    samples = rate * length_ms // 1000
    frames = (samples + blocks_per_frame - 1) // blocks_per_frame
    final_blocks = samples - (frames - 1) * blocks_per_frame
    frame_bytes = random.Random(index).randbytes(4096 * frames)
    descriptor = b"MAC " + struct.pack("<HH", 3990, 0) + struct.pack(
        "<IIIIIII", 52, 24, 4 * frames, 0, len(frame_bytes), 0, 0) + bytes(16)
    header = struct.pack("<HHIIIHHI", 2000, 0, blocks_per_frame, final_blocks, frames, 16, 2,
                         rate)
    seek_table = b"".join(struct.pack("<I", 76 + 4 * frames + 4096 * i) for i in range(frames))
    with open(path, "wb") as f:
        f.write(descriptor + header + seek_table + frame_bytes)


def write_ape_cover(path, artist, title, genre, cover):
    tag = mutagen.apev2.APEv2()
    tag["Artist"] = artist
    tag["Title"] = title
    tag["Genre"] = genre
    tag["Album"] = "Bench Album"
    # A binary item: the file name, a zero byte, the picture.
    tag["Cover Art (Front)"] = mutagen.apev2.APEValue(b"cover.jpg\0" + cover,
                                                      mutagen.apev2.BINARY)
    tag.save(path)


def write_id3_many(path, artist, title, genre, index):
    """ID3v2.4 with 300 frames besides the names (comments, user texts, lyrics)."""
    tag = mutagen.id3.ID3()
    rng = random.Random(index)
    for i in range(150):
        tag.add(mutagen.id3.TXXX(encoding=3, desc=f"Field {i}", text=word(rng) * 4))
        tag.add(mutagen.id3.COMM(encoding=1, lang="eng", desc=f"Note {i}", text=word(rng) * 8))
    tag.add(mutagen.id3.TIT2(encoding=3, text=title))
    tag.add(mutagen.id3.TPE1(encoding=3, text=artist))
    tag.add(mutagen.id3.TCON(encoding=3, text=genre))
    tag.save(path, v2_version=4)


def covr_first(path):
    """Moves the cover item to the front of the MP4 item list, in place."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())

        def children(start, end):
            pos = start
            while pos + 8 <= end:
                size = struct.unpack(">I", data[pos:pos + 4])[0]
                if size < 8 or pos + size > end:
                    return
                yield bytes(data[pos + 4:pos + 8]), pos, size
                pos += size

        def find(start, end, path_types):
            for kind, pos, size in children(start, end):
                if kind == path_types[0]:
                    body = pos + 8 + (4 if kind == b"meta" else 0)
                    if len(path_types) == 1:
                        return body, pos + size
                    return find(body, pos + size, path_types[1:])
            return None

        ilst = find(0, len(data), [b"moov", b"udta", b"meta", b"ilst"])
        assert ilst, path
        items = [(kind, bytes(data[pos:pos + size])) for kind, pos, size in children(*ilst)]
        items.sort(key=lambda item: item[0] != b"covr")
        data[ilst[0]:ilst[1]] = b"".join(body for _, body in items)
        f.seek(0)
        f.write(data)


def write_id3(path, artist, title, genre, art, version):
    tag = mutagen.id3.ID3()
    enc = 3 if version == 4 else 1
    tag.add(mutagen.id3.TIT2(encoding=enc, text=title))
    tag.add(mutagen.id3.TPE1(encoding=enc, text=artist))
    tag.add(mutagen.id3.TCON(encoding=enc, text=genre))
    tag.add(mutagen.id3.TALB(encoding=enc, text="Bench Album"))
    tag.add(mutagen.id3.TRCK(encoding=enc, text="1"))
    if art is not None:
        tag.add(mutagen.id3.APIC(encoding=0, mime="image/jpeg", type=3, desc="", data=art))
    tag.save(path, v2_version=version)


def id3v1(artist, title, genre):
    def field(text, width):
        return text.encode("latin-1", "replace")[:width].ljust(width, b"\0")
    return b"TAG" + field(title, 30) + field(artist, 30) + field("Bench Album", 30) + \
        b"2024" + field("", 28) + b"\0\x01" + bytes([12])


def write_ape(path, artist, title, genre, with_id3v1):
    if with_id3v1:
        with open(path, "ab") as f:
            f.write(id3v1(artist, title, genre))
    tag = mutagen.apev2.APEv2()
    tag["Artist"] = artist
    tag["Title"] = title
    tag["Genre"] = genre
    tag["Album"] = "Bench Album"
    tag.save(path)  # before the ID3v1 tag when there is one


def write_flac(path, artist, title, genre, art, padding=None):
    f = mutagen.flac.FLAC(path)
    f.delete()
    f["ARTIST"] = artist
    f["TITLE"] = title
    f["GENRE"] = genre
    f["ALBUM"] = "Bench Album"
    if art is not None:
        pic = mutagen.flac.Picture()
        pic.type = 3
        pic.mime = "image/jpeg"
        pic.data = art
        f.add_picture(pic)
    f.save(padding=None if padding is None else lambda info: padding)


def write_mp4(path, artist, title, genre, art):
    f = mutagen.mp4.MP4(path)
    if f.tags is None:
        f.add_tags()
    f.tags.clear()
    f.tags["\xa9ART"] = [artist]
    f.tags["\xa9nam"] = [title]
    f.tags["\xa9gen"] = [genre]
    f.tags["\xa9alb"] = ["Bench Album"]
    if art is not None:
        f.tags["covr"] = [mutagen.mp4.MP4Cover(art, imageformat=mutagen.mp4.MP4Cover.FORMAT_JPEG)]
    f.save()


def write_ogg(path, artist, title, genre, art, opus=False):
    f = (mutagen.oggopus.OggOpus if opus else mutagen.oggvorbis.OggVorbis)(path)
    f.tags.clear()
    f["ARTIST"] = artist
    f["TITLE"] = title
    f["GENRE"] = genre
    f["ALBUM"] = "Bench Album"
    if art is not None:
        import base64
        pic = mutagen.flac.Picture()
        pic.type = 3
        pic.mime = "image/jpeg"
        pic.data = art
        f["METADATA_BLOCK_PICTURE"] = [base64.b64encode(pic.write()).decode("ascii")]
    f.save()


def write_wma(path, artist, title, genre, art):
    f = mutagen.asf.ASF(path)
    f.tags.clear()
    f["Title"] = [title]
    f["Author"] = [artist]
    f["WM/Genre"] = [genre]
    f["WM/AlbumTitle"] = ["Bench Album"]
    if art is not None:
        mime = "image/jpeg".encode("utf-16-le") + b"\0\0"
        value = struct.pack("<BI", 3, len(art)) + mime + b"\0\0" + art
        f["WM/Picture"] = [mutagen.asf.ASFByteArrayAttribute(value)]
    f.save()


def write_wav(path, artist, title, genre, comment=None):
    """Replaces the base file's chunks after the data chunk by a LIST/INFO."""
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(wav_with_info(data, artist, title, genre, comment))


def wav_with_info(data, artist, title, genre, comment=None):
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    pos, chunks = 12, []
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        if cid != b"LIST":
            chunks.append(data[pos:pos + 8 + size + (size & 1)])
        pos += 8 + size + (size & 1)

    def info(cid, text):
        body = text.encode("latin-1") + b"\0"
        return cid + struct.pack("<I", len(body)) + body + (b"\0" if len(body) & 1 else b"")
    body = b"INFO" + info(b"INAM", title) + info(b"IART", artist) + info(b"IGNR", genre) + \
        info(b"IPRD", "Bench Album")
    if comment:
        body += info(b"ICMT", comment)
    chunks.append(b"LIST" + struct.pack("<I", len(body)) + body)
    payload = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(payload)) + payload


# ---- The small corpus (-n 100000 and more, or --small) ----------------------
# Files of a few KB, tagged here without mutagen (building the bytes is some
# fifty times faster than opening and saving each file with it).

SMALL_MIX = [("small-mp3", 4000), ("small-mp3-ape", 1000), ("small-flac", 3000),
             ("small-wav", 2000)]
SMALL_LENGTHS_MS = [400, 500, 600]
SMALL_FFMPEG_ARGS = {
    "small-mp3": ("mp3", ["-ac", "1", "-c:a", "libmp3lame", "-b:a", "32k", "-id3v2_version",
                          "0", "-write_id3v1", "0"]),
    "small-flac": ("flac", ["-ac", "1", "-ar", "8000", "-c:a", "flac"]),
    "small-wav": ("wav", ["-ac", "1", "-ar", "8000", "-c:a", "pcm_u8"]),
}
_small_bases = {}


def small_base(base_dir, kind, length):
    key = ("small-mp3" if kind == "small-mp3-ape" else kind, length)
    if key not in _small_bases:
        ext = SMALL_FFMPEG_ARGS[key[0]][0]
        with open(os.path.join(base_dir, f"{key[0]}-{length}.{ext}"), "rb") as f:
            _small_bases[key] = f.read()
    return _small_bases[key]


def make_small_bases(base_dir):
    os.makedirs(base_dir, exist_ok=True)
    for kind, (ext, args) in SMALL_FFMPEG_ARGS.items():
        for n, length in enumerate(SMALL_LENGTHS_MS):
            out = os.path.join(base_dir, f"{kind}-{length}.{ext}")
            if os.path.exists(out):
                continue
            tone = f"sine=frequency={330 + 110 * n}:duration={length / 1000}:sample_rate=44100"
            subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", tone,
                            "-map_metadata", "-1", "-fflags", "+bitexact", "-flags:a",
                            "+bitexact"] + args + [out + ".tmp." + ext], check=True)
            os.replace(out + ".tmp." + ext, out)


def id3v23(artist, title, genre):
    def frame(fid, text):
        body = b"\x01" + text.encode("utf-16")  # UTF-16 with its byte order mark
        return fid + struct.pack(">IH", len(body), 0) + body
    frames = frame(b"TIT2", title) + frame(b"TPE1", artist) + frame(b"TCON", genre)
    size = len(frames)
    syncsafe = bytes([(size >> 21) & 127, (size >> 14) & 127, (size >> 7) & 127, size & 127])
    return b"ID3\x03\x00\x00" + syncsafe + frames


def apev2(artist, title, genre):
    items = b""
    for key, text in (("Artist", artist), ("Title", title), ("Genre", genre)):
        value = text.encode("utf-8")
        items += struct.pack("<II", len(value), 0) + key.encode("ascii") + b"\0" + value
    return items + b"APETAGEX" + struct.pack("<IIII", 2000, len(items) + 32, 3, 0) + bytes(8)


def flac_with_comments(data, artist, title, genre):
    """The STREAMINFO block, a VORBIS_COMMENT of our own, then the frames."""
    assert data[:4] == b"fLaC"
    pos, streaminfo = 4, None
    while True:
        header = data[pos]
        size = int.from_bytes(data[pos + 1:pos + 4], "big")
        if header & 0x7F == 0:
            streaminfo = bytes([0]) + data[pos + 1:pos + 4 + size]
        pos += 4 + size
        if header & 0x80:
            break
    vendor = b"bench"
    comments = [f"{k}={v}".encode("utf-8") for k, v in
                (("ARTIST", artist), ("TITLE", title), ("GENRE", genre))]
    body = struct.pack("<I", len(vendor)) + vendor + struct.pack("<I", len(comments)) + \
        b"".join(struct.pack("<I", len(c)) + c for c in comments)
    return b"fLaC" + streaminfo + bytes([0x84]) + len(body).to_bytes(3, "big") + body + data[pos:]


def make_small_one(job):
    index, kind, out, base_dir = job
    artist, title, genre = tags_for(index, "wav" if kind == "small-wav" else kind)
    length = SMALL_LENGTHS_MS[index % len(SMALL_LENGTHS_MS)]
    base = small_base(base_dir, kind, length)
    if kind == "small-mp3":
        data = id3v23(artist, title, genre) + base
    elif kind == "small-mp3-ape":
        data = base + apev2(artist, title, genre)
    elif kind == "small-flac":
        data = flac_with_comments(base, artist, title, genre)
    else:
        data = wav_with_info(base, artist, title, genre)
    rel = relpath_of(index) + SMALL_FFMPEG_ARGS.get(kind, ("mp3",))[0]
    with open(os.path.join(out, "library", rel), "wb") as f:
        f.write(data)
    return "\t".join([rel, artist, title, genre, str(length), kind])


def plan(n, seed, mix=MIX):
    """The kind of every file: exact counts, in a seeded order."""
    kinds = []
    for kind, share in mix:
        kinds += [kind] * (n * share // 10000)
    while len(kinds) < n:
        kinds.append(mix[len(kinds) % len(mix)][0])
    random.Random(seed).shuffle(kinds)
    return kinds


def relpath_of(index):
    folder = index // FILES_PER_FOLDER
    shelf = folder // FOLDERS_PER_SHELF
    return os.path.join(f"Shelf {shelf:02d}", f"Box {folder:04d}", f"{index:05d} track.")


SMALL_FROM = 100000  # this many files and more make the small corpus


def base_file(base_dir, kind, index, length):
    base_kind = BASE_OF.get(kind, kind)
    if kind == "mp3-ape-cover":
        # Not the base without a Xing/Info header: the play length of such a
        # file is estimated from its size, which a large APE tag throws off.
        base_kind = ["mp3-vbr", "mp3-cbr"][index % 2]
    elif kind in MP3_BASED:
        base_kind = ["mp3-vbr", "mp3-cbr", "mp3-plain"][index % 3]
    return os.path.join(base_dir, f"{base_kind}-{length}.{EXT[kind]}")


def tag_file(path, kind, index, artist, title, genre, art):
    if kind == "mp3-ape":
        write_ape(path, artist, title, genre, index % 2 == 0)
    elif kind in ("mp3-ape-cover", "ape"):
        write_ape_cover(path, artist, title, genre,
                        art_blob(index, 50 * 1024, 1024 * 1024, log_uniform=True))
    elif kind == "mp3-big-apic":
        write_id3(path, artist, title, genre, art_blob(index, 1024 * 1024, 1536 * 1024),
                  3 if index % 2 else 4)
    elif kind == "mp3-many-frames":
        write_id3_many(path, artist, title, genre, index)
    elif kind.startswith("mp3-"):
        write_id3(path, artist, title, genre, art, 3 if index % 2 else 4)
    elif kind == "flac":
        write_flac(path, artist, title, genre, art)
    elif kind == "flac-big-picture":
        write_flac(path, artist, title, genre, art_blob(index, 512 * 1024, 1024 * 1024),
                   padding=65536)
    elif kind.startswith("m4a"):
        cover_first = kind == "m4a-covr-first"
        write_mp4(path, artist, title, genre, art_blob(index) if cover_first else art)
        if cover_first:
            covr_first(path)
    elif kind in ("ogg", "opus"):
        write_ogg(path, artist, title, genre, art, opus=kind == "opus")
    elif kind == "wma":
        write_wma(path, artist, title, genre, art)
    elif kind == "wav":
        write_wav(path, artist, title, genre)
    elif kind == "wav-big-list":
        rng = random.Random(index)
        comment = " ".join(word(rng) for _ in range(rng.randint(64, 256) * 1024 // 6))
        write_wav(path, artist, title, genre, comment)


def make_one(job):
    index, kind, out, base_dir = job
    artist, title, genre = tags_for(index, kind)
    length = LENGTHS_MS[index % len(LENGTHS_MS)]
    rel = relpath_of(index) + EXT[kind]
    path = os.path.join(out, "library", rel)
    h = int(hashlib.sha1(f"art{index}".encode()).hexdigest()[:8], 16) / 2**32
    art = art_blob(index) if kind not in NO_RANDOM_ART and h < ART_SHARE / 0.85 else None
    if kind == "ape":
        make_ape_file(path + ".tmp", length, index)
    else:
        shutil.copyfile(base_file(base_dir, kind, index, length), path + ".tmp")
    tag_file(path + ".tmp", kind, index, artist, title, genre, art)
    os.replace(path + ".tmp", path)
    return "\t".join([rel, artist, title, genre, str(length), kind + ("+art" if art else "")])


def stamp_line(args, small):
    return f"# n={args.n} seed={args.seed} version={CORPUS_VERSION}" + (" small" if small else "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out")
    ap.add_argument("-n", type=int, default=20000, help="number of files (default 20000)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--small", action="store_true",
                    help=f"files of a few KB (the default from {SMALL_FROM:,} files)")
    args = ap.parse_args()
    small = args.small or args.n >= SMALL_FROM

    out = os.path.abspath(args.out)
    stamp = os.path.join(out, "manifest.tsv")
    if os.path.exists(stamp):
        with open(stamp, encoding="utf-8") as f:
            first = f.readline()
        if first.strip() == stamp_line(args, small):
            print(f"make-corpus: {out} already holds that corpus")
            return
    if os.path.exists(os.path.join(out, "library")):
        shutil.rmtree(os.path.join(out, "library"))
    if os.path.exists(stamp):
        os.remove(stamp)
    base_dir = os.path.join(out, "base")
    (make_small_bases if small else make_bases)(base_dir)
    kinds = plan(args.n, args.seed, SMALL_MIX if small else MIX)
    for folder in sorted({os.path.dirname(relpath_of(i)) for i in range(args.n)}):
        os.makedirs(os.path.join(out, "library", folder), exist_ok=True)
    jobs = [(i, kinds[i], out, base_dir) for i in range(args.n)]
    with Pool(args.jobs) as pool:
        lines = pool.map(make_small_one if small else make_one, jobs, chunksize=256)
    with open(stamp + ".tmp", "w", encoding="utf-8") as f:
        f.write(stamp_line(args, small) + "\n")
        f.write("\n".join(lines) + "\n")
    os.replace(stamp + ".tmp", stamp)
    print(f"make-corpus: {args.n} files in {out}/library")


if __name__ == "__main__":
    sys.exit(main())
