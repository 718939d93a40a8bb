"""A file system whose copies can share their source's extents (XFS, Btrfs),
made in a sparse image and mounted on a loop device, and the means to tell
whether a copy shares its source's extents."""

import fcntl
import os
import shutil
import struct
import subprocess

FS_IOC_FIEMAP = 0xC020660B
FIEMAP_FLAG_SYNC = 0x1
FIEMAP_EXTENT_SHARED = 0x2000
FIEMAP_MAX_EXTENTS = 512
FIEMAP_HEAD = struct.Struct("=QQIIII")  # start, length, flags, mapped, count, reserved
FIEMAP_EXTENT_SIZE = 56  # logical, physical, length, 2 reserved; flags, 3 reserved
MKFS = {"xfs": ["mkfs.xfs", "-q", "-f"], "btrfs": ["mkfs.btrfs", "-q", "-f"]}


def extents(path):
    """The file's extents as (physical offset, length, shared), by FIEMAP: the
    first 512, more than a file of the benchmark has."""
    buf = bytearray(FIEMAP_HEAD.pack(0, 2**64 - 1, FIEMAP_FLAG_SYNC, 0, FIEMAP_MAX_EXTENTS, 0))
    buf += bytes(FIEMAP_EXTENT_SIZE * FIEMAP_MAX_EXTENTS)
    with open(path, "rb") as f:
        fcntl.ioctl(f.fileno(), FS_IOC_FIEMAP, buf)
    mapped = FIEMAP_HEAD.unpack_from(buf)[3]
    found = []
    for i in range(mapped):
        at = FIEMAP_HEAD.size + FIEMAP_EXTENT_SIZE * i
        _, physical, length = struct.unpack_from("=QQQ", buf, at)
        flags = struct.unpack_from("=I", buf, at + 40)[0]
        found.append((physical, length, bool(flags & FIEMAP_EXTENT_SHARED)))
    return found


def shares_extents(copy, source_extents):
    """True when every extent of copy is shared and is its source's, whose
    extents are given."""
    got = extents(copy)
    return bool(got) and all(shared for *_, shared in got) and \
        [e[:2] for e in got] == [e[:2] for e in source_extents]


class LoopImage:
    """`with LoopImage(folder, "xfs", size) as mounted:` a new, empty file
    system of that type in a sparse image in folder, mounted (root only);
    unmounted and removed afterwards. Raises OSError with the reason when it
    cannot be made or mounted."""

    def __init__(self, folder, fstype, size):
        self.image = os.path.join(folder, f"{fstype}.img")
        self.mount = os.path.join(folder, f"{fstype}-mount")
        self.fstype, self.size = fstype, size
        self.mounted = False

    def __enter__(self):
        if os.geteuid() != 0:
            raise OSError("mounting an image needs root")
        if shutil.which(MKFS[self.fstype][0]) is None:
            raise OSError(f"{MKFS[self.fstype][0]} is not installed")
        if os.path.ismount(self.mount):  # left by a run that was killed
            run(["umount", self.mount])
        try:
            with open(self.image, "wb") as f:
                f.truncate(self.size)
            run(MKFS[self.fstype] + [self.image])
            os.makedirs(self.mount, exist_ok=True)
            run(["mount", "-o", "loop", "-t", self.fstype, self.image, self.mount])
            self.mounted = True
        except OSError:
            self.__exit__(None, None, None)
            raise
        return self.mount

    def __exit__(self, *_):
        if self.mounted:
            subprocess.run(["umount", self.mount], check=False, capture_output=True)
            self.mounted = False
        if os.path.ismount(self.mount):  # busy: left as it is, for the next run
            return
        shutil.rmtree(self.mount, ignore_errors=True)
        if os.path.exists(self.image):
            os.remove(self.image)


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        why = (done.stderr or done.stdout).strip().splitlines()
        raise OSError(f"{cmd[0]}: {why[0] if why else f'exit status {done.returncode}'}")


def make_big_files(folder, count, seconds):
    """count tagged WAV files of `seconds` of stereo noise each (about 10.6 MB
    a minute), each with data of its own; their names, sorted."""
    os.makedirs(folder, exist_ok=True)
    first = os.path.join(folder, "take 000.wav")
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
         "-i", f"anoisesrc=d={seconds}:c=pink:r=44100:a=0.05", "-ac", "2", "-c:a", "pcm_s16le",
         "-metadata", "artist=Big Files", "-metadata", "title=Pink Noise",
         "-metadata", "genre=Noise", first])
    names = [os.path.basename(first)]
    for i in range(1, count):
        names.append(f"take {i:03}.wav")
        # Written out, not cloned: each file's data is its own.
        with open(first, "rb") as src, open(os.path.join(folder, names[-1]), "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
    os.sync()
    return names
