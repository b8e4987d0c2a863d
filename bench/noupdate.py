#!/usr/bin/env python3
"""The update dialog's no-update path, measured: NVPCUpdater.exe "/Loader" with run type 0
against the reference server, which reports no update, until the client stand-in has
started, against two references measured in the same run:

  waits   what the workflow itself prescribes on this path: timer 100 (500 ms), the pause
          after each of the two connections (100 ms each), timers 101, 102 and 105
          (200 ms each), and the pause before each of the four requests (company lookup,
          both manifests, update URL: 100 ms each): 1700 ms;
  floor   nvpc_bench_driver startfloor: a bare Win32 program under the same Wine that
          makes the same two connections to the same server and starts the same client.

Each run is timed from the start of the process to the client's start record (wall
clock, polled every 5 ms) and, for ours, by the span of its own log lines. Medians of
--runs runs (default 5) are printed with the ratios; nothing is asserted.

    NVPC_BUILD_DIR=build/cmake /usr/bin/python3 bench/noupdate.py [--runs N] [--keep]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "install"))
from conftest import WINE_RUN, parse_log, to_windows_path  # noqa: E402
from nginx_fixture import Nginx  # noqa: E402
from stubs import read_records  # noqa: E402
from update_fixture import ClientInstall, UpdateSite, stamp_ms, unique_product_id  # noqa: E402

PRESCRIBED_MS = 500 + 100 + 200 + 100 + 200 + 200 + 4 * 100
BIN = Path(os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake")) / "bin"


def until_started(proc, record, started, seconds=60):
    """Milliseconds from started until record holds a client start; None if it never does."""
    deadline = started + seconds
    while time.monotonic() < deadline:
        if read_records(record):
            return (time.monotonic() - started) * 1000
        if proc.poll() is not None and not read_records(record):
            time.sleep(0.2)  # the client may still be writing
            return (time.monotonic() - started) * 1000 if read_records(record) else None
        time.sleep(0.005)
    return None


def run_ours(client, log_file):
    record = client.client_record
    record.unlink(missing_ok=True)
    log_file.unlink(missing_ok=True)
    env = dict(os.environ, NVPC_LOG_FILE=to_windows_path(log_file), NVPC_CLIENT_RECORD=to_windows_path(record))
    started = time.monotonic()
    proc = subprocess.Popen([str(WINE_RUN), str(client.updater), "/Loader"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wall = until_started(proc, record, started)
    proc.wait(timeout=60)
    lines = parse_log(log_file)
    span = None
    starts = [line for line in lines if line.text.startswith("ExecuteAsync lpFilePath=")]
    if lines and starts:
        span = stamp_ms(starts[0]) - stamp_ms(lines[0])
    return wall, span


def run_floor(port, client):
    record = client.client_record
    record.unlink(missing_ok=True)
    env = dict(os.environ, NVPC_CLIENT_RECORD=to_windows_path(record))
    started = time.monotonic()
    # The answer goes to a file: a pipe could stay open in Wine's desktop process.
    with tempfile.TemporaryFile() as answer:
        proc = subprocess.Popen([str(WINE_RUN), str(BIN / "nvpc_bench_driver.exe"), "startfloor", str(port),
                                 to_windows_path(client.client), "/LID:1033"], env=env, stdout=answer,
                                stderr=subprocess.DEVNULL)
        wall = until_started(proc, record, started)
        proc.wait(timeout=60)
        answer.seek(0)
        out = answer.read().decode("utf-8", "replace").split()
    return wall, (int(out[-1]) if out and out[0] == "ok" else None)


def main():
    runs = int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 5
    for name in ("NVPCUpdater.exe", "nvpc_bench_driver.exe", "ClientStub.exe", "Logger.dll"):
        if not (BIN / name).exists():
            sys.exit(f"build first: {BIN / name} is missing")
    os.environ.setdefault("NVPC_BUILD_DIR", str(BIN.parent))
    nginx = Nginx().start()
    tmp = Path(tempfile.mkdtemp(prefix="nvpc-bench-noupdate-"))
    client = ClientInstall(tmp, BIN, unique_product_id("BN"))
    site = UpdateSite(nginx, {client.product_id: {"update_url": None}})
    try:
        client.install()
        client.write_config(site.port, nginx.port)
        run_floor(site.port, client)  # a first start brings the wineserver and its services up
        ours, spans, floor, floor_own = [], [], [], []
        for _ in range(runs):
            wall, span = run_ours(client, tmp / "nvpc.log")
            if wall is None:
                log = (tmp / "nvpc.log").read_bytes().decode("utf-8", "replace")
                sys.exit("the client was not started; the updater's log:\n" + log[-3000:])
            ours.append(wall)
            if span is not None:
                spans.append(span)
            wall, own = run_floor(site.port, client)
            if wall is not None:
                floor.append(wall)
            if own is not None:
                floor_own.append(own)
        m_ours, m_floor = statistics.median(ours), statistics.median(floor)
        m_span = statistics.median(spans) if spans else float("nan")
        print(f"no-update start, {runs} runs each (medians, milliseconds)")
        print(f"  ours   /Loader to client start   {m_ours:8.0f}   (own log span {m_span:.0f})")
        print(f"  floor  bare connects + start     {m_floor:8.0f}   (own work {statistics.median(floor_own):.0f})")
        print(f"  waits  prescribed by the steps   {PRESCRIBED_MS:8d}")
        print(f"  ours / (floor + waits)           {m_ours / (m_floor + PRESCRIBED_MS):8.2f}")
        print(f"  ours beyond floor and waits      {m_ours - m_floor - PRESCRIBED_MS:8.0f}")
        print(f"  own log span / waits             {m_span / PRESCRIBED_MS:8.2f}")
        if "--keep" in sys.argv:
            print("log of the last run:", tmp / "nvpc.log")
    finally:
        site.stop()
        nginx.stop()
        client.cleanup()
        if "--keep" not in sys.argv:
            import shutil
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
