#!/usr/bin/python3
"""Times dovrename-cli against the I/O floor, TagLib and mutagen on one corpus.

Run by bench/run, which builds the programs and makes the corpus first. Every
tool is run in turn (A B C D, A B C D, ...), so that a machine whose speed
drifts treats them alike; each run's output is checked against the corpus's
manifest before its time counts. Times are wall-clock times of the whole
process, peak memory its maximum resident set (as /usr/bin/time reports it).
"""

import argparse
import itertools
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import reflink

LENGTH_TOLERANCE_MS = 200  # encoder padding and size estimates stay within this


class Corpus:
    def __init__(self, root):
        self.root = root
        self.library = os.path.join(root, "library")
        self.entries = []  # (relative path, artist, title, genre, length ms, kind)
        with open(os.path.join(root, "manifest.tsv"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("#"):
                    continue
                rel, artist, title, genre, length, kind = line.rstrip("\n").split("\t")
                self.entries.append((rel, artist, title, genre, int(length), kind))

    def new_name(self, rel, artist, title):
        folder, name = os.path.split(rel)
        ext = os.path.splitext(name)[1].lower()
        return os.path.join(folder, (f"{artist} - {title}" if artist else title) + ext)


# ---- Correctness ------------------------------------------------------------


class Check:
    """Counts the files read wrong and keeps a few examples."""

    def __init__(self, what):
        self.what = what
        self.wrong = 0
        self.examples = []

    def fail(self, text):
        self.wrong += 1
        if len(self.examples) < 5:
            self.examples.append(text)

    def report(self):
        if self.wrong == 0:
            return None
        return f"{self.what}: {self.wrong} wrong, e.g. " + "; ".join(self.examples)


def length_ok(got, want):
    return got >= 0 and abs(got - want) <= LENGTH_TOLERANCE_MS


def check_fields(corpus, text, what):
    """PATH, ARTIST, TITLE, GENRE, MILLISECONDS lines against the manifest."""
    check = Check(what)
    seen = {}
    prefix = corpus.library.rstrip("/") + "/"
    for line in text.splitlines():
        parts = line.split("\t")
        if len(parts) != 5 or not parts[0].startswith(prefix):
            check.fail(f"bad line {line[:80]!r}")
            continue
        seen[parts[0][len(prefix):]] = parts[1:]
    for rel, artist, title, genre, length, kind in corpus.entries:
        got = seen.pop(rel, None)
        if got is None:
            check.fail(f"{rel} missing")
        elif got[:3] != [artist, title, genre]:
            check.fail(f"{rel} ({kind}) read {got[:3]}, expected {[artist, title, genre]}")
        elif not length_ok(int(got[3]), length):
            check.fail(f"{rel} ({kind}) length {got[3]}, expected {length}")
    for rel in list(seen)[:3]:
        check.fail(f"{rel} not in the corpus")
    return check.report()


def check_plan(corpus, text, root, dest=None):
    """dovrename-cli's dry-run lines OLD -> NEW: every file, with its new name."""
    check = Check("planned list")
    plan = {}
    prefix = root.rstrip("/") + "/"
    lines = text.splitlines()
    for line in lines[:-1]:
        old, sep, new = line.partition(" -> ")
        if not sep or not old.startswith(prefix):
            check.fail(f"bad line {line[:80]!r}")
            continue
        plan[old[len(prefix):]] = new
    count = len(corpus.entries)
    if not lines or lines[-1] != f"Dry run: {count} files would be moved and/or renamed, " \
                                  "and 0 would stay unchanged; nothing was changed.":
        check.fail(f"last line {lines[-1] if lines else ''!r}")
    for rel, artist, title, genre, length, kind in corpus.entries:
        if dest is None:
            want = prefix + corpus.new_name(rel, artist, title)
        else:
            name = os.path.basename(corpus.new_name(rel, artist, title))
            want = os.path.join(dest, genre, name)
        got = plan.get(rel)
        if got != want:
            check.fail(f"{rel} ({kind}) -> {got!r}, expected {want!r}")
    return check.report()


def check_renamed(corpus, tree, text):
    """The tree after the real rename holds exactly the new names."""
    check = Check("renamed tree")
    want = {corpus.new_name(rel, artist, title)
            for rel, artist, title, genre, length, kind in corpus.entries}
    have = set()
    for folder, dirs, files in os.walk(tree):
        for name in files:
            have.add(os.path.relpath(os.path.join(folder, name), tree))
    for rel in sorted(want - have)[:5]:
        check.fail(f"{rel} missing")
    for rel in sorted(have - want)[:5]:
        check.fail(f"{rel} left")
    if len(want) != len(have):
        check.fail(f"{len(have)} files, expected {len(want)}")
    last = text.splitlines()[-1] if text else ""
    if last != f"{len(want)} files moved and/or renamed":
        check.fail(f"summary {last!r}")
    return check.report()


def check_floor(corpus, text, renamed):
    count = len(corpus.entries)
    lines = text.splitlines()
    if not lines or not lines[0].startswith(f"{count} files "):
        return f"floor: {lines[:1]}, expected {count} files"
    if renamed and lines[-1] != f"{count} renamed":
        return f"rename floor: {lines[-1]!r}, expected {count} renamed"
    return None


def check_dovrename_fields(corpus, cli):
    """What the dry run does not print: the genre (through a planned move) and
    the play length (the duration command, the same readers)."""
    problems = []
    with tempfile.TemporaryDirectory() as dest:
        out = subprocess.run([cli, "rename", "--subfolders", "--rename", "--move", "--dest", dest,
                              "--dry-run", corpus.library], capture_output=True, check=False)
        problem = check_plan(corpus, out.stdout.decode("utf-8", "surrogateescape"),
                             corpus.library, dest)
        if problem:
            problems.append("genres " + problem)
    check = Check("play lengths")
    paths = [os.path.join(corpus.library, e[0]) for e in corpus.entries]
    got = {}
    for i in range(0, len(paths), 2000):
        out = subprocess.run([cli, "duration"] + paths[i:i + 2000], capture_output=True,
                             check=False)
        for line in out.stdout.decode("utf-8", "surrogateescape").splitlines():
            ms, _, path = line.partition("\t")
            got[path] = int(ms)
    for (rel, artist, title, genre, length, kind), path in zip(corpus.entries, paths):
        if not length_ok(got.get(path, -1), length):
            check.fail(f"{rel} ({kind}) length {got.get(path)}, expected {length}")
    if check.report():
        problems.append(check.report())
    return "; ".join(problems) or None


# ---- Timing -----------------------------------------------------------------


def timed(cmd, out_path):
    """Runs cmd with stdout to out_path; returns (seconds, peak KiB, exit code).

    /usr/bin/time starts the command, so the peak memory is the command's own
    and not that of a copy of this Python process before it became the command.
    """
    rss_path = out_path + ".rss"
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        rc = subprocess.run(["/usr/bin/time", "-q", "-f", "%M %x", "-o", rss_path] + cmd,
                            stdout=out, stderr=subprocess.DEVNULL, check=False).returncode
        seconds = time.perf_counter() - start
    with open(rss_path) as f:
        fields = f.read().split()
    rss, rc = (int(fields[-2]), int(fields[-1])) if len(fields) >= 2 else (0, rc)
    return seconds, rss, rc


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def can_drop_caches():
    try:
        drop_caches()
        return True
    except OSError:
        return False


class Tool:
    def __init__(self, name, cmd, check, prepare=None, expect_rc=0):
        self.name = name
        self.cmd = cmd  # a list, or a function of the prepared folder
        self.check = check  # function(text, prepared folder) -> problem or None
        self.prepare = prepare  # function() -> folder, or None
        self.expect_rc = expect_rc
        self.seconds = []
        self.rss = []
        self.problem = None


def run_rounds(tools, runs, count, scratch, cold=False, label=""):
    out_path = os.path.join(scratch, "out.txt")
    for r in range(runs):
        for tool in tools:
            if tool.problem:
                continue
            folder = tool.prepare() if tool.prepare else None
            cmd = tool.cmd(folder) if callable(tool.cmd) else tool.cmd
            if cold:
                drop_caches()
            seconds, rss, rc = timed(cmd, out_path)
            with open(out_path, "rb") as f:
                text = f.read().decode("utf-8", "surrogateescape")
            problem = tool.check(text, folder)
            if rc != tool.expect_rc:
                problem = (problem + "; " if problem else "") + f"exit status {rc}"
            if problem:
                tool.problem = problem
                print(f"  {label}{tool.name}: WRONG OUTPUT, its time does not count: {problem}",
                      file=sys.stderr)
                continue
            tool.seconds.append(seconds)
            tool.rss.append(rss)
            print(f"  {label}run {r + 1}/{runs} {tool.name}: {count / seconds:,.0f} files/s, "
                  f"{rss / 1024:.1f} MiB", file=sys.stderr)


def warm_up(tools, count, scratch, label="warm-up "):
    """One untimed round of each tool, which warms the cache: its times are
    forgotten."""
    run_rounds(tools, 1, count, scratch, label=label)
    for tool in tools:
        tool.seconds, tool.rss = [], []


def rate(tool, count):
    return [count / s for s in tool.seconds]


def table(title, tools, floor, count):
    floor_rate = statistics.median(rate(floor, count)) if floor.seconds else None
    lines = [f"**{title}**", "",
             "| reader | files/s (median) | min–max | time per file vs floor | peak RSS |",
             "|---|---:|---:|---:|---:|"]
    for tool in tools:
        if tool.problem or not tool.seconds:
            lines.append(f"| {tool.name} | wrong output: not timed | | | |")
            continue
        rates = rate(tool, count)
        median = statistics.median(rates)
        ratio = f"{floor_rate / median:.2f}" if floor_rate else "–"
        lines.append(f"| {tool.name} | {median:,.0f} | {min(rates):,.0f}–{max(rates):,.0f} | "
                     f"{ratio} | {max(tool.rss) / 1024:.1f} MiB |")
    return lines


def median_rate(tool, count):
    return statistics.median(rate(tool, count)) if tool.seconds and not tool.problem else None


# ---- One row per kind of file -----------------------------------------------

KIND_MIN_FILES = 2000  # a kind's folder repeats its files up to this many


def kind_folders(corpus, scratch):
    """A folder of hard links per kind (the manifest's kind, "+art" apart):
    the kind's files (the first KIND_MIN_FILES), repeated in numbered
    subfolders until there are at least KIND_MIN_FILES, so that a run's time is
    mostly reading and little start-up."""
    root = os.path.join(scratch, "kinds")
    shutil.rmtree(root, ignore_errors=True)
    by_kind = {}
    for entry in corpus.entries:
        rels = by_kind.setdefault(entry[5], [])
        if len(rels) < KIND_MIN_FILES:
            rels.append(entry[0])
    folders = []
    for kind in sorted(by_kind):
        rels = by_kind[kind]
        rounds = max(1, -(-KIND_MIN_FILES // len(rels)))
        for r in range(rounds):
            sub = os.path.join(root, kind, f"{r:03d}")
            os.makedirs(sub)
            for rel in rels:
                os.link(os.path.join(corpus.library, rel), os.path.join(sub, os.path.basename(rel)))
        folders.append((kind, os.path.join(root, kind), len(rels) * rounds))
    empty = os.path.join(root, "empty")
    os.makedirs(empty)
    return folders, empty


def per_kind_rows(corpus, scratch, floor_bin, cli, runs):
    """Time per file of the floor and of the dry run on each kind's folder,
    less the time of the same program on an empty folder (its start-up)."""
    folders, empty = kind_folders(corpus, scratch)
    out_path = os.path.join(scratch, "out.txt")

    def dry(folder):
        return [cli, "rename", "--subfolders", "--rename", "--dry-run", folder]

    def last_line():
        with open(out_path, encoding="utf-8", errors="surrogateescape") as f:
            return (f.read().splitlines() or [""])[-1]

    def median_times(floor_cmd, dry_cmd, expect=None):
        """The floor and the dry run in turn, so that a drift of the machine's
        speed weighs on both alike; None for the dry run when its output is
        not the one expected."""
        floor_times, dry_times, right = [], [], True
        for _ in range(runs):
            floor_times.append(timed(floor_cmd, out_path)[0])
            dry_times.append(timed(dry_cmd, out_path)[0])
            right = right and (expect is None or last_line().startswith(expect))
        dry_median = statistics.median(dry_times) if right else None
        return statistics.median(floor_times), dry_median

    start_floor, start_dov = median_times([floor_bin, empty], dry(empty))
    rows = []
    for kind, folder, count in folders:
        timed([floor_bin, folder], out_path)  # warm-up
        timed(dry(folder), out_path)
        f, d = median_times([floor_bin, folder], dry(folder), f"Dry run: {count} files would be")
        if d is None:
            rows.append((kind, count, None, None))
            continue
        rows.append((kind, count, max(f - start_floor, 1e-9) / count,
                     max(d - start_dov, 1e-9) / count))
        print(f"  kind {kind}: {count} files, floor {rows[-1][2] * 1e6:.1f} µs, "
              f"DOVRename {rows[-1][3] * 1e6:.1f} µs per file", file=sys.stderr)
    shutil.rmtree(os.path.join(scratch, "kinds"), ignore_errors=True)
    return rows


def kind_table(rows):
    lines = ["**Warm cache, per kind: time per file of the dry run against the floor's on the "
             "same files**", "",
             "| kind | files | floor µs/file | DOVRename µs/file | vs floor |",
             "|---|---:|---:|---:|---:|"]
    for kind, count, f, d in rows:
        if d is None:
            lines.append(f"| {kind} | {count:,} | | wrong output | |")
        else:
            lines.append(f"| {kind} | {count:,} | {f * 1e6:.1f} | {d * 1e6:.1f} | {d / f:.2f} |")
    return lines


# ---- A copy job into genre folders ------------------------------------------


def numbered_folders(parent, prefix):
    """A function that makes a new folder in parent at each call and returns it."""
    numbers = itertools.count(1)

    def new_folder():
        folder = os.path.join(parent, f"{prefix}{next(numbers)}")
        os.makedirs(folder)
        return folder
    return new_folder


def check_copy_summary(problem, text, count):
    last = text.splitlines()[-1] if text else ""
    if last != f"{count} files moved and/or renamed":
        problem.fail(f"summary {last!r}")


def copy_tools(corpus, scratch, cli):
    """`cp -r` of one shelf of the library (a box where the shelf is all of it)
    against DOVRename's job that copies the same files into genre folders;
    each run into a new, empty folder.

    The runs' copies are removed only after the last run. ext4 without a
    journal passes over every inode freed in the last seconds (up to minutes
    while its inode table is unwritten) when it allocates one, so a run
    right after the last run's copies were removed spends most of its time
    on the inodes they freed, far more than any copy into a folder of a
    library does."""
    part = os.path.join(corpus.library, sorted(os.listdir(corpus.library))[0])
    if len(os.listdir(corpus.library)) == 1:
        part = os.path.join(part, sorted(os.listdir(part))[0])
    rel_part = os.path.relpath(part, corpus.library) + os.sep
    want = sorted((os.path.basename(rel), os.path.getsize(os.path.join(corpus.library, rel)))
                  for rel, *_ in corpus.entries if rel.startswith(rel_part))
    dest = os.path.join(scratch, "copies")
    shutil.rmtree(dest, ignore_errors=True)
    fresh_dest = numbered_folders(dest, "run-")

    def check(text, folder, summary):
        problem = Check("copied tree")
        have = sorted((name, os.path.getsize(os.path.join(d, name)))
                      for d, _, names in os.walk(folder) for name in names)
        if have != want:
            problem.fail(f"{len(have)} files, expected {len(want)} of the same names and sizes")
        if summary:
            check_copy_summary(problem, text, len(want))
        return problem.report()

    cp = Tool("`cp -r` of the same files", lambda folder: ["cp", "-r", part, folder],
              lambda text, folder: check(text, folder, False), fresh_dest)
    dov = Tool("DOVRename `rename --subfolders --copy --dest`",
               lambda folder: [cli, "rename", "--subfolders", "--copy", "--dest", folder, part],
               lambda text, folder: check(text, folder, True), fresh_dest)
    return [cp, dov], len(want), dest


# ---- A copy on a file system whose copies share extents ----------------------

REFLINK_BYTES = 1 << 30  # at least this much, in files of a minute each
REFLINK_SECONDS = 60
REFLINK_FILE_BYTES = REFLINK_SECONDS * 44100 * 4  # of stereo 16-bit audio, 44.1 kHz
REFLINK_NAMES = {"xfs": "XFS", "btrfs": "Btrfs"}


def reflink_rounds(scratch, cli, runs):
    """`cp -r` and the copy job of 1 GiB of files on XFS (or else Btrfs) in an
    image mounted on a loop device, each run into a new folder; every copy
    must share its source's extents. Returns (tools, file system, file count,
    bytes), or (None, reason) where no such file system can be mounted."""
    why = []
    for fstype in ("xfs", "btrfs"):
        try:
            with reflink.LoopImage(scratch, fstype, 2 * REFLINK_BYTES) as mount:
                tools = reflink_timed(mount, cli, runs, scratch)
                return (tools, REFLINK_NAMES[fstype]) + \
                    reflink_size(os.path.join(mount, "library"))
        except OSError as e:
            why.append(f"{REFLINK_NAMES[fstype]}: {e}")
    return None, "; ".join(why)


def reflink_size(folder):
    names = os.listdir(folder)
    return len(names), sum(os.path.getsize(os.path.join(folder, n)) for n in names)


def reflink_timed(mount, cli, runs, scratch):
    src = os.path.join(mount, "library")
    count = -(-REFLINK_BYTES // REFLINK_FILE_BYTES)  # rounded up
    names = reflink.make_big_files(src, count, REFLINK_SECONDS)
    # The sources' own extents, looked up once: no run changes them.
    sources = {name: reflink.extents(os.path.join(src, name)) for name in names}
    new_folder = numbered_folders(mount, "copies-")

    def check(text, folder, summary):
        problem = Check("copies that share extents")
        copies = sorted((name, os.path.join(d, name)) for d, _, found in os.walk(folder)
                        for name in found)
        if [name for name, _ in copies] != names:
            problem.fail(f"{len(copies)} files, expected {len(names)} of the same names")
        not_shared = [name for name, path in copies
                      if not reflink.shares_extents(path, sources.get(name, []))]
        if not_shared:
            problem.fail(f"{len(not_shared)} copies do not share their source's extents "
                         f"({not_shared[0]} first)")
        if summary:
            check_copy_summary(problem, text, len(names))
        return problem.report()

    tools = [Tool("`cp -r` of the same files", lambda folder: ["cp", "-r", src, folder],
                  lambda text, folder: check(text, folder, False), new_folder),
             Tool("DOVRename `rename --subfolders --copy --dest`",
                  lambda folder: [cli, "rename", "--subfolders", "--copy", "--dest", folder, src],
                  lambda text, folder: check(text, folder, True), new_folder)]
    warm_up(tools, len(names), scratch, label="shared extents warm-up ")
    run_rounds(tools, runs, len(names), scratch, label="shared extents ")
    return tools


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--build", required=True, help="build folder of the Release programs")
    ap.add_argument("--runs", type=int, default=5, help="warm runs of each tool")
    ap.add_argument("--cold-runs", type=int, default=3, help="cold-cache runs (0: none)")
    ap.add_argument("--no-mutagen", action="store_true")
    ap.add_argument("--no-kinds", action="store_true", help="no per-kind rows")
    ap.add_argument("--threads", type=int, default=32, help="reads in flight of the parallel floor")
    args = ap.parse_args()

    corpus = Corpus(args.corpus)
    count = len(corpus.entries)
    lib = corpus.library
    cli = os.path.join(args.build, "cli", "dovrename-cli")
    floor_bin = os.path.join(args.build, "bench", "dovbench-floor")
    taglib_bin = os.path.join(args.build, "bench", "dovbench-taglib")
    here = os.path.dirname(os.path.abspath(__file__))
    scratch = os.path.join(args.corpus, "scratch")
    os.makedirs(scratch, exist_ok=True)
    # The rename jobs keep their journals here, not in the user's home.
    state = os.path.join(scratch, "state")
    os.environ["XDG_STATE_HOME"] = state

    print(f"Checking dovrename-cli's genres and play lengths on {count} files ...",
          file=sys.stderr)
    dov_problem = check_dovrename_fields(corpus, cli)
    if dov_problem:
        print(f"  dovrename-cli: WRONG: {dov_problem}", file=sys.stderr)

    def fields_check(what):
        return lambda text, folder: check_fields(corpus, text, what)

    floor = Tool("I/O floor (open, fstat, 16 KiB + 4 KiB pread, close)", [floor_bin, lib],
                 lambda text, folder: check_floor(corpus, text, False))
    dov = Tool("DOVRename `rename --subfolders --rename --dry-run`",
               [cli, "rename", "--subfolders", "--rename", "--dry-run", lib],
               lambda text, folder: dov_problem or check_plan(corpus, text, lib))
    scan_tools = [floor, dov]
    taglib = None
    if os.path.exists(taglib_bin):
        taglib = Tool("TagLib (C++), audio properties on", [taglib_bin, lib],
                      fields_check("TagLib"))
        scan_tools.append(taglib)
    mutagen = None
    if not args.no_mutagen:
        mutagen = Tool("mutagen (Python)", ["/usr/bin/python3", os.path.join(here, "mutagen-peer.py"),
                                            lib], fields_check("mutagen"))
        scan_tools.append(mutagen)

    # Fresh copies of the corpus for the real renames: hard links, so the copy
    # costs no data and the files' pages stay in the cache.
    copy = os.path.join(scratch, "copy")

    def fresh_copy():
        if os.path.exists(copy):
            shutil.rmtree(copy)
        shutil.rmtree(state, ignore_errors=True)
        subprocess.run(["cp", "-al", lib, copy], check=True)
        return copy

    rename_floor = Tool("rename floor (the floor's I/O + one rename each)",
                        lambda folder: [floor_bin, "--rename", folder],
                        lambda text, folder: check_floor(corpus, text, True), fresh_copy)
    dov_rename = Tool("DOVRename `rename --subfolders --rename`",
                      lambda folder: [cli, "rename", "--subfolders", "--rename", folder],
                      lambda text, folder: check_renamed(corpus, folder, text), fresh_copy)
    dov_rename_nj = Tool("DOVRename `rename --subfolders --rename --no-journal`",
                         lambda folder: [cli, "rename", "--subfolders", "--rename", "--no-journal",
                                         folder],
                         lambda text, folder: check_renamed(corpus, folder, text), fresh_copy)
    rename_tools = [rename_floor, dov_rename, dov_rename_nj]

    print(f"Warm cache, {args.runs} runs each (one untimed run first) ...", file=sys.stderr)
    warm_up(scan_tools + rename_tools, count, scratch)
    run_rounds(scan_tools, args.runs, count, scratch)
    run_rounds(rename_tools, args.runs, count, scratch)

    copy_job, copy_count, copy_dest = copy_tools(corpus, scratch, cli)
    print(f"Warm cache, copying {copy_count} files, {args.runs} runs each ...", file=sys.stderr)
    warm_up(copy_job, copy_count, scratch)
    run_rounds(copy_job, args.runs, copy_count, scratch)
    shutil.rmtree(copy_dest, ignore_errors=True)

    print(f"Copying {REFLINK_BYTES >> 30} GiB where copies share extents, {args.runs} runs "
          "each ...", file=sys.stderr)
    reflinked = reflink_rounds(scratch, cli, args.runs)

    kind_rows = []
    if not args.no_kinds:
        print("Warm cache, per kind ...", file=sys.stderr)
        kind_rows = per_kind_rows(corpus, scratch, floor_bin, cli, max(args.runs, 5))

    cold_tools = []
    cold_note = ""
    if args.cold_runs > 0:
        if can_drop_caches():
            parallel_floor = Tool(f"parallel floor (the floor's reads from {args.threads} threads)",
                                  [floor_bin, "--threads", str(args.threads), lib],
                                  lambda text, folder: check_floor(corpus, text, False))
            cold_tools = [Tool(t.name, t.cmd, t.check) for t in (floor, dov, taglib) if t]
            cold_tools.insert(1, parallel_floor)
            print(f"Cold cache, {args.cold_runs} runs each ...", file=sys.stderr)
            run_rounds(cold_tools, args.cold_runs, count, scratch, cold=True, label="cold ")
        else:
            cold_note = "Cold cache not measured: /proc/sys/vm/drop_caches is not writable here."

    # Memory with the list: a part of the corpus against the whole of it.
    # The part: the first shelf, or its first box when the shelf is the whole.
    part = os.path.join(lib, sorted(os.listdir(lib))[0])
    if len(os.listdir(lib)) == 1:
        part = os.path.join(part, sorted(os.listdir(part))[0])
    part_count = sum(1 for e in corpus.entries if os.path.join(lib, e[0]).startswith(part + "/"))
    part_rss = []
    for _ in range(3):
        part_rss.append(timed([cli, "rename", "--subfolders", "--rename", "--dry-run", part],
                              os.path.join(scratch, "out.txt"))[1])
    shutil.rmtree(copy, ignore_errors=True)
    shutil.rmtree(state, ignore_errors=True)

    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    print()
    print(f"{count:,} files, {os.cpu_count()} cores ({cpu}), {time.strftime('%Y-%m-%d')}; "
          f"{args.runs} warm runs, {args.cold_runs if cold_tools else 0} cold runs each.")
    print()
    print("\n".join(table("Warm cache: reading Artist, Title and Genre (the peers: and the "
                          "play length)",
                          scan_tools, floor, count)))
    print()
    print("\n".join(table("Warm cache: renaming every file in place (fresh copy each run)",
                          rename_tools, rename_floor, count)))
    print()
    print("\n".join(table(f"Warm cache: copying {copy_count:,} files (one shelf), into genre "
                          "folders and by `cp -r` (a new destination each run)",
                          copy_job, copy_job[0], copy_count)))
    print()
    if reflinked[0]:
        tools, fstype, files, size = reflinked
        print("\n".join(table(f"Warm cache: copying {files} files ({size / 2**30:.2f} GiB) on "
                              f"{fstype}, whose copies share their source's extents (a new "
                              "destination each run)", tools, tools[0], files)))
    else:
        print(f"Copies on XFS or Btrfs not measured: {reflinked[1]}.")
    if kind_rows:
        print()
        print("\n".join(kind_table(kind_rows)))
    if cold_tools:
        print()
        print("\n".join(table("Cold cache (caches dropped before each run)", cold_tools,
                              cold_tools[0], count)))
    if cold_note:
        print()
        print(cold_note)

    # The targets.
    print()
    results = []
    f, d, t = median_rate(floor, count), median_rate(dov, count), \
        median_rate(taglib, count) if taglib else None
    if f and d:
        results.append((f"dry run within 1.5x the floor's time per file: {f / d:.2f}x",
                        f / d <= 1.5))
    if kind_rows:
        worst = max(kind_rows, key=lambda row: row[3] / row[2] if row[3] else float("inf"))
        ratio = worst[3] / worst[2] if worst[3] else float("inf")
        results.append((f"every kind within 2x the floor's time per file: the slowest, "
                        f"{worst[0]}, {ratio:.2f}x", ratio <= 2))
    if d and t:
        results.append((f"dry run at least 4x TagLib's files/s: {d / t:.1f}x", d / t >= 4))
    rf, rd = median_rate(rename_floor, count), median_rate(dov_rename, count)
    if rf and rd:
        results.append((f"rename within 1.5x the rename floor: {rf / rd:.2f}x", rf / rd <= 1.5))
    rn = median_rate(dov_rename_nj, count)
    if rd and rn:
        results.append((f"the journal costs the rename {100 * (rn / rd - 1):+.1f} % of its time "
                        "(at most +10 %)", rn / rd <= 1.10))
    cc, cd = median_rate(copy_job[0], copy_count), median_rate(copy_job[1], copy_count)
    if cc and cd:
        results.append((f"the copy job no slower than `cp -r` of the same files: {cc / cd:.2f}x "
                        "its time", cd >= cc))
    if reflinked[0]:
        tools, fstype, files, size = reflinked
        job = tools[1]
        if job.seconds and not job.problem:
            took = statistics.median(job.seconds)
            results.append((f"a copy of {size / 2**30:.2f} GiB on {fstype} in under a second, "
                            f"sharing its extents: {took:.2f} s", took < 1))
    if cold_tools:
        cf, cp, cd = (median_rate(cold_tools[i], count) for i in range(3))
        if cf and cd:
            results.append((f"cold dry run at most 0.6x the sequential floor's time: "
                            f"{cf / cd:.2f}x", cf / cd <= 0.6))
        if cp and cd:
            results.append((f"cold dry run within 1.3x the parallel floor's time: {cp / cd:.2f}x",
                            cp / cd <= 1.3))
    if dov.rss and not dov.problem and part_count < count:
        whole = statistics.median(dov.rss) * 1024
        per_file = (whole - statistics.median(part_rss) * 1024) / max(1, count - part_count)
        peak = max(dov.rss + dov_rename.rss) / 1024
        results.append((f"peak RSS {peak:.1f} MiB under 16 MiB; {per_file:,.0f} bytes per listed "
                        f"file ({part_count:,} files: {statistics.median(part_rss) / 1024:.1f} "
                        f"MiB, {count:,}: {whole / 2**20:.1f} MiB)", peak < 16))
    for text, ok in results:
        print(f"- {'met' if ok else 'NOT MET'}: {text}")
    reflink_job = reflinked[0] or []
    timed_tools = scan_tools + rename_tools + copy_job + reflink_job + cold_tools
    wrong = [t for t in timed_tools if t.problem]
    dov_wrong = any(t.problem for t in
                    [dov, dov_rename, dov_rename_nj, copy_job[1]] + reflink_job[1:])
    for tool in wrong:
        print(f"- wrong output, not timed: {tool.name}: {tool.problem}")
    return 1 if dov_wrong or not all(ok for _, ok in results) else 0


if __name__ == "__main__":
    sys.exit(main())
