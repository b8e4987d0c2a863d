#!/usr/bin/env python3
"""Measures three workers of the product, in one run and on the same files, against the
platform's floor of their work (nvpc_bench_floor: the bare Win32 calls, under the same
Wine) and against the native tools:

  download   CDownloaderEx (nvpc_bench_driver download) vs floor "read" (WinINet, 20480-byte
             reads, 1 ms pause after each) vs curl: one 50 MB file from a private nginx;
             then against the floor reading the sizes our run read (taken from its log)
  unpack     CPatcher (nvpc_bench_driver unzip) vs floor "write" vs Info-ZIP unzip: an
             archive of 2000 files, 50 MB unpacked
  placement  NVPCUpdater /CopyFile vs floor "place" (copy to a temporary name, swap in,
             delete the source) vs cp -r: the same 2000 unpacked files

then how unpack and placement grow with 1k, 2k, 4k and 8k entries, and the peak working
set of our programs for a 1 GB archive of four large files, a 20,000-entry archive (unpack
and placement) and the 50 MB download.

Times are each program's own (start-up not counted): the driver and the floor say how long
their work took; for the placement the span of its log lines stands for it. The machine is
shared, so the timed pairs run REPEAT times, ours and the floor in turn (the one that goes
first changes each time, and each starts once earlier writes have reached the disk), and
the least of each counts. Nothing is asserted but that the work was done: the figures are printed.

    NVPC_BUILD_DIR=build/cmake python3 bench/bench.py [--keep] [--quick]
"""
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "install"))
from nginx_fixture import Nginx, wine_path  # noqa: E402

BUILD = Path(os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake")).resolve()
BIN = BUILD / "bin"
WINE_RUN = ROOT / "scripts" / "wine-run"
MB = 1024 * 1024
FILES = 2000
FILE_BYTES = 50 * MB // FILES
PER_DIR = 100  # placed files per installation sub-folder, as the floor's "place" does
REPEAT = 3
GROWTH = (1000, 2000, 4000, 8000)
GROWTH_BYTES = 4096
BIG_FILES, BIG_BYTES = 4, 256 * MB
MANY = 20000
MANY_PER_FOLDER = 500  # archive sub-folders of the 20,000-entry case: its growth is not the point


TRASH = None  # set by main: where discarded outputs wait until the end


def discard(path):
    """Moves a previous output out of the way instead of deleting it: on ext4, creating files
    just after deleting many makes the allocator step over the recently deleted inodes, a
    cost that would land on whichever run came next."""
    path = Path(path)
    if not path.exists():
        return
    if TRASH is None:
        shutil.rmtree(path, ignore_errors=True)
        return
    TRASH.mkdir(exist_ok=True)
    path.rename(TRASH / ("%d" % len(list(TRASH.iterdir()))))


def run(cmd, env=None):
    """Runs cmd with its output in a file (a pipe can hang on Wine's desktop process)."""
    environment = dict(os.environ, **(env or {}))
    environment.setdefault("DISPLAY", ":91")
    fd, name = tempfile.mkstemp(prefix="nvpc-bench-out-")
    try:
        with os.fdopen(fd, "wb") as out:
            start = time.perf_counter()
            proc = subprocess.run(cmd, env=environment, stdout=out, stderr=subprocess.STDOUT, timeout=1800)
            elapsed = time.perf_counter() - start
        text = Path(name).read_bytes().decode("utf-8", "replace").strip()
    finally:
        os.unlink(name)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (cmd[0], proc.returncode, text))
    return elapsed, text


def wine(program, *args, env=None):
    return run([str(WINE_RUN), str(BIN / program), *[str(a) for a in args]], env)


def field(output, word, index):
    """The index-th word of the line that starts with word."""
    for line in output.splitlines():
        parts = line.split()
        if parts and parts[0] == word:
            return parts[index]
    raise RuntimeError("no '%s' line in: %s" % (word, output))


def own_seconds(output):
    # "ok <what> <milliseconds>"
    return int(field(output, "ok", -1)) / 1000.0


def peak_mb(output):
    # "peak <exit code> <milliseconds> <KB>" from nvpc_bench_floor measure
    return int(field(output, "peak", 3)) / 1024.0


def measured(program, *args, env=None):
    """program under nvpc_bench_floor measure: its output and its peak working set."""
    return wine("nvpc_bench_floor.exe", "measure", wine_path(BIN / program), *args, env=env)[1]


def log_span(path):
    """Seconds of the placement's own work in a Logger file: from the last start-up line
    before the first CUnzipMove line to the last CUnzipMove line."""
    lines = []
    for line in Path(path).read_bytes().decode("utf-8", "replace").split("\r\n"):
        try:
            lines.append((datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f"), "CUnzipMove::" in line))
        except ValueError:
            pass
    ours = [i for i, (_, mark) in enumerate(lines) if mark]
    if not ours:
        return None
    return (lines[ours[-1]][0] - lines[max(ours[0] - 1, 0)][0]).total_seconds()


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MB), b""):
            h.update(block)
    return h.hexdigest()


def file_bytes(index, size):
    # Half random, half text: an update holds both kinds of content.
    half = size // 2
    text = (("file %05d line of text for the archive\n" % index) * (size // 30 + 1))[:size - half]
    return os.urandom(half) + text.encode()


def name_of(i):
    return "f%05d.bin" % i


def folder_of(i):
    return "d%03d" % (i // PER_DIR)


def manifest(ver, rows):
    body = "".join("  <file><name>%s</name><ipath>%s</ipath></file>\n" % r for r in rows)
    return '<?xml version="1.0"?>\n<files_info ver="%s">\n%s</files_info>\n' % (ver, body)


def make_archive(path, count, size, sub=None):
    """count entries f%05d.bin (in sub-folders of sub entries when given) and the two
    manifests, which place entry i into d%03d (PER_DIR a folder). Returns the entry names."""
    names = [("s%03d/" % (i // sub) if sub else "") + name_of(i) for i in range(count)]
    # Entries in archive folders go to the same folders of the installation (which the
    # placement expects to exist), the others to PER_DIR a folder.
    rows = [(n, "" if sub else folder_of(i)) for i, n in enumerate(names)]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        for i, n in enumerate(names):
            z.writestr(n, file_bytes(i, size))
        z.writestr("master_3.xml", manifest("1.0.0.2", rows + [("master_3.xml", "config")]))
        z.writestr("BENCH.xml", manifest("1.0.0.2", [("BENCH.xml", "config")]))
    return names


def make_big_archive(path):
    chunk = os.urandom(4096) + b"big file of the archive, its text part\n" * 1575  # ~64 KB
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        names = ["big%d.bin" % i for i in range(BIG_FILES)]
        for n in names:
            with z.open(n, "w", force_zip64=True) as f:
                written = 0
                while written < BIG_BYTES:
                    part = chunk[:BIG_BYTES - written]
                    f.write(part)
                    written += len(part)
        rows = [(n, "big") for n in names]
        z.writestr("master_3.xml", manifest("1.0.0.2", rows + [("master_3.xml", "config")]))
        z.writestr("BENCH.xml", manifest("1.0.0.2", [("BENCH.xml", "config")]))


def unpack_ours(archive):
    """Our unpack of archive beside it: the driver's own seconds."""
    discard(archive.with_suffix(""))
    return own_seconds(wine("nvpc_bench_driver.exe", "unzip", wine_path(archive))[1])


def unpack_floor(folder, count, size):
    discard(folder)
    return own_seconds(wine("nvpc_bench_floor.exe", "write", wine_path(folder), count, size, 0)[1])


def copyfile_line(archive, install):
    return ['/CopyFile', '/DNP', wine_path(archive), '/MML', 'master_3', '/PML', 'BENCH', '/SEP',
            wine_path(install)]


def place_ours(archive, kept, unpacked, install, log):
    """Our placement of a fresh copy of the unpacked tree (the run moves it away), timed by
    the span of its log lines; the archive is put back from kept (the run deletes it)."""
    prepare_placement(archive, kept, unpacked, install)
    if log.exists():
        log.unlink()
    wine("NVPCUpdater.exe", *copyfile_line(archive, install), env={"NVPC_LOG_FILE": wine_path(log)})
    return log_span(log)


def prepare_placement(archive, kept, unpacked, install):
    source = archive.with_suffix("")
    discard(source)
    shutil.copytree(unpacked, source)
    if not archive.exists():
        shutil.copy(kept, archive)
    discard(install)
    (install / "config").mkdir(parents=True)


def place_floor(unpacked, work, count):
    source, dest = work / "floor-src", work / "floor-dest"
    discard(source)
    discard(dest)
    shutil.copytree(unpacked, source)
    return own_seconds(wine("nvpc_bench_floor.exe", "place", wine_path(source), wine_path(dest), count,
                            PER_DIR)[1])


def read_schedule(log):
    """The downloader's read sizes from its window lines, for the floor's "read": the first
    window spans 101 reads, the others 100; after the last one the size stays where the
    first slower window froze it, or has grown by one step."""
    windows = []
    for line in Path(log).read_bytes().decode("utf-8", "replace").splitlines():
        if "===========>" in line:
            windows.append((int(line.split("len:")[1].split()[0]), int(line.split("bps:")[1].split()[0])))
    if not windows:
        return "5120"
    steps = ["%dx%d" % (size, 101 if i == 0 else 100) for i, (size, _) in enumerate(windows)]
    last, rate = windows[-1]
    frozen = len(windows) > 1 and rate < max(r for _, r in windows[:-1])
    steps.append(str(last if frozen else min(last + 1024, 20480)))
    return ",".join(steps)


def settled(run):
    """run() after the files written so far have reached the disk: otherwise the writeback
    of earlier work lands on whichever run comes next."""
    os.sync()
    return run()


def best_pair(ours, floor):
    """REPEAT runs of each, in turn, the one that goes first changing each time; the least
    of each."""
    a, b = [], []
    for i in range(REPEAT):
        if i % 2:
            b.append(settled(floor))
            a.append(settled(ours))
        else:
            a.append(settled(ours))
            b.append(settled(floor))
    return min(a), min(b)


def case_unpack_place(work, count, size, repeat=True):
    """Unpack and placement of a flat archive of count entries: (ours, floor) for each."""
    case = work / ("case%d" % count)
    upgrade = case / "upgrade"
    upgrade.mkdir(parents=True)
    archive = upgrade / "updatefile.zip"
    names = make_archive(archive, count, size)
    kept = upgrade / "kept.zip"  # the placement deletes the archive: a copy puts it back
    shutil.copy(archive, kept)
    pair = best_pair if repeat else lambda o, f: (o(), f())
    unpack = pair(lambda: unpack_ours(archive), lambda: unpack_floor(case / "floor-write", count, size))
    unpacked = upgrade / "kept"
    shutil.copytree(archive.with_suffix(""), unpacked)
    install, log = case / "install", case / "copyfile.log"
    place = pair(lambda: place_ours(archive, kept, unpacked, install, log), lambda: place_floor(unpacked, case, count))
    placed = [install / folder_of(i) / n for i, n in enumerate(names)]
    assert all(p.exists() for p in placed[::97]), "the placement did not complete"
    assert (install / "config" / "BENCH.xml").exists()
    assert [digest(p) for p in placed[::97]] == [digest(unpacked / n) for n in names[::97]]
    return case, archive, unpacked, unpack, place


def main():
    keep = "--keep" in sys.argv
    global REPEAT, GROWTH, TRASH
    if "--quick" in sys.argv:
        REPEAT, GROWTH = 1, (1000, 2000)
    for program in ("nvpc_bench_driver.exe", "nvpc_bench_floor.exe", "NVPCUpdater.exe", "Logger.dll"):
        if not (BIN / program).exists():
            sys.exit("build first: %s is missing" % (BIN / program))
    work = Path(tempfile.mkdtemp(prefix="nvpc-bench-"))
    TRASH = work / "trash"
    # A first program brings up the wineserver and Wine's services, so no measured run
    # pays for them.
    subprocess.run([str(WINE_RUN), str(BIN / "nvpc_bench_floor.exe")], env=dict(os.environ, DISPLAY=":91"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    server = Nginx().start()
    rows, growth, memory = [], [], []
    started = time.time()
    try:
        # Download: the same 50 MB file, fetched by curl, by the floor and by CDownloaderEx.
        big = server.root / "big.bin"
        with open(big, "wb") as f:
            for _ in range(50):
                f.write(os.urandom(MB))
        t_curl, _ = run(["curl", "-s", "-f", "-o", str(work / "curl.bin"), server.url("/big.bin")])
        dl = work / "download"
        dl.mkdir()

        schedule = []  # the read sizes of our last run

        def download_ours():
            log = work / "download.log"
            if log.exists():
                log.unlink()
            out = wine("nvpc_bench_driver.exe", "download", "127.0.0.1", server.port, "/big.bin", wine_path(dl),
                       env={"NVPC_LOG_FILE": wine_path(log)})[1]
            schedule[:] = [read_schedule(log)]
            return own_seconds(out)

        def download_floor(*sizes):
            out = wine("nvpc_bench_floor.exe", "read", "127.0.0.1", server.port, "/big.bin",
                       wine_path(work / "floor.bin"), *sizes)[1]
            return own_seconds(out)

        ours, floor = best_pair(download_ours, download_floor)
        assert digest(dl / "updatefile.zip") == digest(big) == digest(work / "floor.bin")
        rows.append(("download 50 MB", ours, floor, "curl", t_curl))
        # The read size adapts by design (5120 bytes up to 20480, frozen by the first slower
        # window): the floor that reads the sizes our run read tells our own cost from that.
        ours, floor = best_pair(download_ours, lambda: download_floor(schedule[0]))
        rows.append(("  the same read sizes", ours, floor, "curl", t_curl))
        # The peak working set in a run of its own: the sampling is not timed.
        out = measured("nvpc_bench_driver.exe", "download", "127.0.0.1", server.port, "/big.bin", wine_path(dl))
        memory.append(("download 50 MB", peak_mb(out)))

        # Unpack and placement: 2000 files of 25 KB (50 MB) and the two manifests.
        case, archive, unpacked, unpack, place = case_unpack_place(work, FILES, FILE_BYTES)
        t_unzip, _ = run(["unzip", "-q", "-o", str(archive.parent / "kept.zip"), "-d", str(case / "unzip")])
        t_cp, _ = run(["cp", "-r", str(unpacked), str(case / "cp")])
        rows.append(("unpack %d files / 50 MB" % FILES, unpack[0], unpack[1], "unzip", t_unzip))
        rows.append(("place %d files" % FILES, place[0], place[1], "cp -r", t_cp))
        discard(case)

        # Growth with the number of entries (4 KB files, all in the archive's top folder).
        for count in GROWTH:
            case, _, _, unpack, place = case_unpack_place(work, count, GROWTH_BYTES, repeat=False)
            growth.append((count, unpack, place))
            discard(case)

        # Peak working set: a 1 GB archive of four files, and 20,000 entries.
        for label, build in (("1 GB, %d files" % BIG_FILES, make_big_archive),
                             ("%d entries" % MANY,
                              lambda p: make_archive(p, MANY, 1024, sub=MANY_PER_FOLDER))):
            case = work / "memory"
            upgrade = case / "upgrade"
            upgrade.mkdir(parents=True)
            archive = upgrade / "updatefile.zip"
            build(archive)
            out = measured("nvpc_bench_driver.exe", "unzip", wine_path(archive))
            memory.append(("unpack " + label, peak_mb(out)))
            install = case / "install"
            (install / "config").mkdir(parents=True)
            for i in range(0, MANY, MANY_PER_FOLDER):
                (install / ("s%03d" % (i // MANY_PER_FOLDER))).mkdir(exist_ok=True)
            out = measured("NVPCUpdater.exe", *copyfile_line(archive, install),
                           env={"NVPC_LOG_FILE": wine_path(case / "copyfile.log")})
            assert (install / "config" / "BENCH.xml").exists(), "the placement did not complete"
            memory.append(("place " + label, peak_mb(out)))
            shutil.rmtree(case, ignore_errors=True)
    finally:
        server.stop()
        if not keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept", work)

    print()
    print("%-28s %8s %8s %10s %8s %8s %10s" % ("work", "ours s", "floor s", "ours/floor", "tool", "tool s",
                                               "ours/tool"))
    for name, ours, floor, tool, theirs in rows:
        print("%-28s %8.3f %8.3f %10.2f %8s %8.3f %10.1f" % (name, ours, floor, ours / floor, tool, theirs,
                                                            ours / theirs))
    print()
    print("%8s %10s %10s %6s %10s %10s %6s" % ("entries", "unpack s", "floor s", "ratio", "place s", "floor s",
                                               "ratio"))
    for count, (u_ours, u_floor), (p_ours, p_floor) in growth:
        print("%8d %10.3f %10.3f %6.2f %10.3f %10.3f %6.2f" % (count, u_ours, u_floor, u_ours / u_floor, p_ours,
                                                               p_floor, p_ours / p_floor))
    print()
    print("%-34s %14s" % ("peak working set (ours)", "MB"))
    for label, mb in memory:
        print("%-34s %14.1f" % (label, mb))
    print("\nours: the program's own time (placement: its log span); floor: nvpc_bench_floor, the bare")
    print("system calls of the same work under the same Wine; tool: the native tool's wall-clock time.")
    print("whole run: %.0f s" % (time.time() - started))


if __name__ == "__main__":
    main()
