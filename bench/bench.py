#!/usr/bin/env python3
"""Measures, in one run and on the same files, three workers of the product against the
standard tools:

  download   CDownloaderEx (nvpc_bench_driver download) vs curl: one 50 MB file from a
             private nginx on 127.0.0.1
  unpack     CPatcher (nvpc_bench_driver unzip) vs Info-ZIP unzip: an archive of 2000
             files, 50 MB unpacked
  placement  NVPCUpdater /CopyFile vs cp -r: the same 2000 unpacked files into an
             installation folder

Our programs run under Wine: their wall-clock times include Wine's start of the process
(about 0.1 s with a running wineserver); the driver reports its own time for the work
alone, and for the placement the span of its log lines stands for it. Nothing here is asserted: the figures are printed.

    NVPC_BUILD_DIR=build/hC python3 bench/bench.py [--keep]
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

BUILD = Path(os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake"))
BIN = BUILD / "bin"
WINE_RUN = ROOT / "scripts" / "wine-run"
MB = 1024 * 1024
FILES = 2000
FILE_BYTES = 50 * MB // FILES


def timed(cmd, env=None):
    environment = dict(os.environ, **(env or {}))
    environment.setdefault("DISPLAY", ":91")
    start = time.perf_counter()
    proc = subprocess.run(cmd, env=environment, capture_output=True, text=True, timeout=1800)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s %s" % (cmd[0], proc.returncode, proc.stdout, proc.stderr))
    return elapsed, proc.stdout.strip()


def warm():
    """Starts a trivial program first, so that a wineserver (and Wine's services) are up
    and their start is not counted against the measured run."""
    environment = dict(os.environ)
    environment.setdefault("DISPLAY", ":91")
    subprocess.run([str(WINE_RUN), str(BIN / "nvpc_bench_driver.exe")], env=environment, capture_output=True,
                   timeout=300)


def wine(program, *args, env=None):
    warm()
    return timed([str(WINE_RUN), str(BIN / program), *[str(a) for a in args]], env)


def driver_ms(output):
    # "ok <what> <milliseconds>"
    return int(output.split()[-1]) / 1000.0


def log_span(path):
    """Seconds between the first and the last line of a Logger file (the run's own work)."""
    stamps = []
    for line in Path(path).read_bytes().decode("utf-8", "replace").split("\r\n"):
        try:
            stamps.append(datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f"))
        except ValueError:
            pass
    return (stamps[-1] - stamps[0]).total_seconds() if len(stamps) > 1 else None


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MB), b""):
            h.update(block)
    return h.hexdigest()


def tree_digest(folder, names):
    return [digest(Path(folder) / n) for n in names]


def file_bytes(index):
    # Half random, half text: an update holds both kinds of content.
    half = FILE_BYTES // 2
    text = (("file %05d line of text for the archive\n" % index) * (half // 30 + 1))[:FILE_BYTES - half]
    return os.urandom(half) + text.encode()


def manifest(ver, rows):
    body = "".join("  <file><name>%s</name><ipath>%s</ipath></file>\n" % r for r in rows)
    return '<?xml version="1.0"?>\n<files_info ver="%s">\n%s</files_info>\n' % (ver, body)


def main():
    keep = "--keep" in sys.argv
    for program in ("nvpc_bench_driver.exe", "NVPCUpdater.exe", "Logger.dll"):
        if not (BIN / program).exists():
            sys.exit("build first: %s is missing" % (BIN / program))
    work = Path(tempfile.mkdtemp(prefix="nvpc-bench-"))
    server = Nginx().start()
    results = []
    try:
        # Download: the same 50 MB file, fetched by curl and by CDownloaderEx.
        big = server.root / "big.bin"
        with open(big, "wb") as f:
            for _ in range(50):
                f.write(os.urandom(MB))
        curl_out = work / "curl.bin"
        t_curl, _ = timed(["curl", "-s", "-f", "-o", str(curl_out), server.url("/big.bin")])
        dl = work / "download"
        dl.mkdir()
        t_ours, out = wine("nvpc_bench_driver.exe", "download", "127.0.0.1", server.port, "/big.bin", wine_path(dl))
        assert digest(dl / "updatefile.zip") == digest(big) == digest(curl_out)
        results.append(("download 50 MB", t_ours, driver_ms(out), "curl", t_curl))

        # Unpack: 2000 files of 25 KB (50 MB), deflated, plus the two manifests.
        upgrade = work / "upgrade"
        upgrade.mkdir()
        archive = upgrade / "updatefile.zip"
        names = ["f%04d.bin" % i for i in range(FILES)]
        rows = [(n, "d%02d" % (i // 100)) for i, n in enumerate(names)]
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            for i, n in enumerate(names):
                z.writestr(n, file_bytes(i))
            z.writestr("master_3.xml", manifest("1.0.0.2", rows + [("master_3.xml", "config")]))
            z.writestr("BENCH.xml", manifest("1.0.0.2", [("BENCH.xml", "config")]))
        unzip_out = work / "unzip"
        t_unzip, _ = timed(["unzip", "-q", "-o", str(archive), "-d", str(unzip_out)])
        t_ours, out = wine("nvpc_bench_driver.exe", "unzip", wine_path(archive))
        unpack = upgrade / "updatefile"
        sample = names[::97]
        assert tree_digest(unpack, sample) == tree_digest(unzip_out, sample)
        results.append(("unpack 2000 files / 50 MB", t_ours, driver_ms(out), "unzip", t_unzip))

        # Placement: the unpacked files into an installation folder.
        cp_dest = work / "cp-install"
        t_cp, _ = timed(["cp", "-r", str(unzip_out), str(cp_dest)])
        install = work / "install"
        (install / "config").mkdir(parents=True)
        line = ('/CopyFile /DNP "%s" /MML "master_3" /PML "BENCH"  /SEP "%s" '
                % (wine_path(archive), wine_path(install)))
        script = work / "copyfile.cmd"
        script.write_bytes(('@"%s" %s\r\n' % (wine_path(BIN / "NVPCUpdater.exe"), line)).encode())
        log = work / "copyfile.log"
        warm()
        t_ours, _ = timed([str(WINE_RUN), "cmd", "/c", wine_path(script)], env={"NVPC_LOG_FILE": wine_path(log)})
        placed = [Path("d%02d" % (i // 100)) / n for i, n in enumerate(names)]
        assert all((install / p).exists() for p in placed[::97]), "the placement did not complete"
        assert (install / "config" / "BENCH.xml").exists()
        assert tree_digest(install, [str(p) for p in placed[::97]]) == tree_digest(cp_dest, sample)
        results.append(("place 2000 files (/CopyFile)", t_ours, log_span(log), "cp -r", t_cp))
    finally:
        server.stop()
        if not keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept", work)

    print()
    print("%-30s %10s %10s %10s %10s %8s %8s" % ("work", "ours s", "work s", "tool", "tool s", "ratio", "work r"))
    for name, ours, inner, tool, theirs in results:
        print("%-30s %10.3f %10s %10s %10.3f %8.1f %8s" % (
            name, ours, "%.3f" % inner if inner is not None else "-", tool, theirs, ours / theirs,
            "%.1f" % (inner / theirs) if inner is not None else "-"))
    print("\nratio: our wall-clock time / the tool's; work r: the driver's own time / the tool's")


if __name__ == "__main__":
    main()
