#!/usr/bin/env python3
"""The main job: the updater against the local reference directory/upgrade server, on a
sample client installation, end to end. Prints what happened and exits non-zero when the
client was not started with the expected command line."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from servers import RefServer  # noqa: E402
from stubs import wait_for_records  # noqa: E402

BIN = Path(os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake")) / "bin"


def winpath(path):
    return "Z:" + str(path).replace("/", "\\")


def main():
    work = Path(tempfile.mkdtemp(prefix="nvpc_main_"))
    try:
        client = work / "Norvane"
        (client / "Config").mkdir(parents=True)
        for name in ("NVPCUpdater.exe", "Logger.dll"):
            shutil.copy2(BIN / name, client / name)
        shutil.copy2(BIN / "ClientStub.exe", client / "NorvaneClient.exe")
        config = {"companies": {"ACME": {"serverip": "10.20.30.40", "checkerversion": "1.0"}}}
        with RefServer(config) as server:
            nvp = ("[PRODUCT]\r\nLID=9\r\nPTP=1\r\nCAP=Norvane Meeting\r\nPID=NVPC\r\nCID=ACME\r\n"
                   "FNM=NorvaneClient.exe\r\nDIP=127.0.0.1\r\nDID=ACME\r\nMSP=%d\r\nUID=demo\r\n"
                   "ALS=Demo User\r\nMID=meeting-1\r\nRNM=Weekly\r\nRTP=2\r\n" % server.port)
            (client / "Config" / "nvpclient.nvp").write_bytes(b"\xff\xfe" + nvp.encode("utf-16-le"))
            record = work / "client_starts.txt"
            log = work / "updater.log"
            env = dict(os.environ, NVPC_CLIENT_RECORD=winpath(record), NVPC_LOG_FILE=winpath(log))
            print("main job: sample client in", client)
            print("main job: reference server on 127.0.0.1:%d" % server.port)
            started = time.time()
            proc = subprocess.run([str(ROOT / "scripts" / "wine-run"), str(client / "NVPCUpdater.exe"), "/Loader"],
                                  env=env, timeout=120, capture_output=True)
            starts = wait_for_records(record, seconds=30)
            print("main job: NVPCUpdater.exe /Loader exited with %d after %.1f s" % (proc.returncode,
                                                                                      time.time() - started))
            print("main job: requests the server received:",
                  ", ".join("0x%04X" % r["command"] for r in server.requests()) or "none")
        print("main job: updater log:")
        for line in log.read_bytes().decode("utf-8", "replace").splitlines():
            print("   ", line)
        if not starts:
            print("main job: FAILED: the client was not started")
            return 1
        print("main job: client started with:", starts[0]["args"])
        if "/SIP:10.20.30.40 " not in starts[0]["args"]:
            print("main job: FAILED: the company server address is missing")
            return 1
        print("main job: OK")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
