#!/usr/bin/python3
"""A peer for the benchmark: mutagen reads Artist, Title, Genre and the play
length of every audio file under FOLDER.

    mutagen-peer.py FOLDER

Prints "PATH<TAB>ARTIST<TAB>TITLE<TAB>GENRE<TAB>MILLISECONDS" per file (-1 when
the length is not known). mutagen 1.46 reads no RIFF INFO list, so the few
lines that find it in a WAV file are here.
"""

import os
import struct
import sys

import mutagen
import mutagen.apev2

EXTENSIONS = {".mp3", ".wav", ".m4a", ".mp4", ".flac", ".ogg", ".mp2", ".mp4a", ".wma", ".ape"}
INFO_IDS = {b"IART": 0, b"INAM": 1, b"IGNR": 2}


def first(tags, *keys):
    for key in keys:
        value = tags.get(key) if tags is not None else None
        if value is None:
            continue
        if hasattr(value, "text"):  # an ID3 frame
            value = value.text
        if isinstance(value, list):
            value = value[0] if value else ""
        return str(value)
    return ""


def riff_info(path):
    fields = ["", "", ""]
    with open(path, "rb") as f:
        head = f.read(12)
        if head[:4] != b"RIFF" or head[8:12] != b"WAVE":
            return fields
        while True:
            header = f.read(8)
            if len(header) < 8:
                break
            cid, size = header[:4], struct.unpack("<I", header[4:])[0]
            if cid != b"LIST":
                f.seek(size + (size & 1), 1)
                continue
            body = f.read(size)
            if body[:4] != b"INFO":
                continue
            pos = 4
            while pos + 8 <= len(body):
                sub, n = body[pos:pos + 4], struct.unpack("<I", body[pos + 4:pos + 8])[0]
                if sub in INFO_IDS:
                    text = body[pos + 8:pos + 8 + n].split(b"\0")[0]
                    fields[INFO_IDS[sub]] = text.decode("latin-1")
                pos += 8 + n + (n & 1)
    return fields


def read(path, ext):
    f = mutagen.File(path)
    length = round(f.info.length * 1000) if f is not None and f.info else -1
    tags = f.tags if f is not None else None
    if ext == ".wav":
        return riff_info(path) + [length]
    if ext in (".mp3", ".mp2"):
        if tags:
            return [first(tags, "TPE1"), first(tags, "TIT2"), first(tags, "TCON"), length]
        try:
            ape = mutagen.apev2.APEv2(path)
        except mutagen.apev2.APENoHeaderError:
            return ["", "", "", length]
        return [first(ape, "Artist"), first(ape, "Title"), first(ape, "Genre"), length]
    if ext in (".m4a", ".mp4", ".mp4a"):
        return [first(tags, "\xa9ART"), first(tags, "\xa9nam"), first(tags, "\xa9gen"), length]
    if ext == ".wma":
        return [first(tags, "Author"), first(tags, "Title"), first(tags, "WM/Genre"), length]
    return [first(tags, "artist"), first(tags, "title"), first(tags, "genre"), length]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: mutagen-peer.py FOLDER")
    out = sys.stdout
    failed = 0
    for folder, dirs, files in os.walk(sys.argv[1]):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for name in files:
            ext = os.path.splitext(name)[1].lower()
            if name.startswith(".") or ext not in EXTENSIONS:
                continue
            path = os.path.join(folder, name)
            try:
                artist, title, genre, length = read(path, ext)
            except Exception:  # a file mutagen cannot read counts as wrong
                failed += 1
                continue
            out.write(f"{path}\t{artist}\t{title}\t{genre}\t{length}\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
