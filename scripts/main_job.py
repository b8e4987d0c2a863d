#!/usr/bin/env python3
"""The main job: the product as a user meets it, end to end on this machine.

A private nginx serves a sample product (its installer, an update archive with both
manifests) and the reference server answers as directory and upgrade server. Then:

  1. setup   NVPCUpdater.exe /Loader with run type 1: the setup dialog downloads the
             installer, runs it (it installs the client stand-in and the manifests) and
             starts the client;
  2. update  NVPCUpdater.exe /Loader with run type 0: the update dialog downloads the
             update archive, unpacks it, places its files through the elevated
             "/CopyFile" copy, checks the versions and starts the client;
  3. link    NorvaneLauncher.exe with a norvane: link (run type 0) for a second product
             that is not installed yet: installer, then the update path, then the client.

Every dialog is visible (scripts/wine-run starts Xvfb when there is no display) and each
state it shows is saved as a screenshot (PNG) into the folder given by --shots. The texts
follow the user's language (--lang en|ja|ko sets it for the programs; the configuration's
LID only goes to the client). Prints a plain summary and exits non-zero when a client was
not started.

    /usr/bin/python3 scripts/main_job.py [--lang en|ja|ko] [--shots FOLDER]
"""
import argparse
import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from urllib.parse import quote

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "install"))
from conftest import WINE_RUN, parse_log, to_windows_path  # noqa: E402
from nginx_fixture import Nginx  # noqa: E402
from stubs import read_records  # noqa: E402
from update_fixture import (CLIENT, GROUP, LOCALES, STATUS, ClientInstall, UpdateSite, bmp_to_png,  # noqa: E402
                            load_strings, manifest, master_name, write_update_archive)
from winprobe import WinProbe  # noqa: E402

BIN = Path(os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake")) / "bin"
LANGS = {"en": 1033, "ja": 1041, "ko": 1042}
TITLE = "Norvane Meeting"
INSTALLED = "1.0.0.1"
UPDATED = "1.0.0.2"


def own_version() -> str:
    text = (ROOT / "updater" / "NVPCUpdater.rc").read_text(encoding="utf-8")
    return re.search(r'VALUE "FileVersion", "([^"]+)"', text).group(1)


class Watcher:
    """Follows one program's dialog through the window probe: captures the dialog at
    every new status text, and calls on_status for each."""

    def __init__(self, probe, caption, shots: Path, prefix: str):
        self.probe, self.caption, self.shots, self.prefix = probe, caption, shots, prefix
        self.seen = []

    def follow(self, proc, on_status=None, seconds=90):
        deadline = time.monotonic() + seconds
        while proc.poll() is None and time.monotonic() < deadline:
            items = self.probe.controls(title=self.caption, wait=0)
            status = next((c["text"] for c in items or [] if c["id"] == STATUS), None)
            if status and status not in self.seen:
                self.seen.append(status)
                bmp = self.shots / f"{self.prefix}_{len(self.seen)}.bmp"
                if self.probe.capture(bmp, title=self.caption, wait=0):
                    bmp_to_png(bmp, bmp.with_suffix(".png"))
                    bmp.unlink()
                if on_status:
                    on_status(status)
            time.sleep(0.05)
        try:
            return proc.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            proc.kill()
            return None


def run_program(program, args, env, log_file):
    environment = dict(os.environ, **env, NVPC_LOG_FILE=to_windows_path(log_file))
    return subprocess.Popen([str(WINE_RUN), str(program), *args], env=environment, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def summary(name, log_file, client_record, installer_record, nginx, marker, install_folder):
    texts = [line.text for line in parse_log(log_file)]
    print(f"\n== {name}")
    downloads = [r.split("|")[0] for r in nginx.requests() if marker in r.split("|")[0]]
    for request in downloads:
        print(f"  downloaded     {request}")
    for text in texts:
        if text.startswith("callbackDownComplete : lpDownPath="):
            print(f"  saved as       {text.split('=', 1)[1].split(' pParam')[0]}")
    if read_records(installer_record):
        print(f"  installer ran  {len(read_records(installer_record))} time(s)")
    placed = [t for t in texts if t.startswith("CNVPCUpdaterDlg::startPatch()")]
    if placed:
        print(f"  placement      {placed[0].split('=', 1)[1]}")
    if install_folder.exists():
        files = sorted(str(p.relative_to(install_folder)) for p in install_folder.rglob("*") if p.is_file())
        print(f"  installed      {', '.join(files)}")
    for text in texts:
        if text.startswith("checkCompleteVersion "):
            print(f"  version check  {text[len('checkCompleteVersion '):]}")
    starts = read_records(client_record)
    if starts:
        print(f"  client started {starts[-1]['args']}")
    else:
        print("  client started NOT STARTED")
    return bool(starts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lang", choices=sorted(LANGS), default="en")
    parser.add_argument("--shots", default=str(ROOT / "build" / "artifacts" / "main-job"))
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs) for a look")
    options = parser.parse_args()
    language = LANGS[options.lang]
    strings = load_strings()[language]
    shots = Path(options.shots).resolve()
    shutil.rmtree(shots, ignore_errors=True)
    shots.mkdir(parents=True)
    for name in ("NVPCUpdater.exe", "Logger.dll", "ClientStub.exe", "InstallerStub.exe", "WinProbe.exe"):
        if not (BIN / name).exists():
            sys.exit(f"main job: build first, {BIN / name} is missing")
    probe = WinProbe(BIN)
    locale_env = {"LC_ALL": LOCALES[language], "LANG": LOCALES[language]}
    work = Path(tempfile.mkdtemp(prefix="nvpc_main_"))
    nginx = Nginx().start()
    site = None
    ok = True
    first = ClientInstall(work / "one", BIN, "NVPCDEMO", TITLE, language)
    started = time.monotonic()
    try:
        second_id = "NVPCLINK"
        products = {pid: {"setup_url": f"/slow/setup/{pid}/NvpcSetup.exe",
                          "update_url": f"/slow/update/{pid}/update.zip"} for pid in (first.product_id, second_id)}
        site = UpdateSite(nginx, products)
        installer = (BIN / "InstallerStub.exe").read_bytes()
        for pid in products:
            site.put(f"/setup/{pid}/NvpcSetup.exe", installer)
            archive = write_update_archive(work / pid / "update.zip", pid, {
                CLIENT: (BIN / "ClientStub.exe").read_bytes(),
                "ReleaseNotes.txt": f"Norvane Meeting {UPDATED}\r\n".encode()}, UPDATED, UPDATED)
            site.put(f"/update/{pid}/update.zip", archive.read_bytes())
        print(f"main job: nginx on 127.0.0.1:{nginx.port}, reference server on 127.0.0.1:{site.port}")
        print(f"main job: screenshots in {shots}")

        # 1. The setup dialog installs the client and starts it.
        first.write_config(site.port, nginx.port, RTP="1")
        gate = work / "installer.gate"
        env = dict(locale_env, NVPC_CLIENT_RECORD=to_windows_path(first.client_record),
                   NVPC_INSTALLER_RECORD=to_windows_path(first.installer_record),
                   NVPC_INSTALLER_PAYLOAD=to_windows_path(payload_for(first, INSTALLED)),
                   NVPC_INSTALLER_TARGET=to_windows_path(first.install_folder),
                   NVPC_INSTALLER_GATE=to_windows_path(gate))
        log = work / "setup.log"
        proc = run_program(first.updater, ["/Loader"], env, log)
        watcher = Watcher(probe, strings[217].replace("%s", TITLE), shots, "1_setup")
        # The installer waits at its gate until the dialog was seen installing.
        watcher.follow(proc, lambda status: status == strings[206] and gate.touch())
        gate.touch()
        ok &= summary("1. first install (setup dialog, run type 1)", log, first.client_record,
                      first.installer_record, nginx, f"/setup/{first.product_id}/", first.install_folder)

        # 2. The update dialog brings it up to date.
        first.client_record.unlink(missing_ok=True)
        first.installer_record.unlink(missing_ok=True)
        first.write_config(site.port, nginx.port, RTP="0")
        log = work / "update.log"
        proc = run_program(first.updater, ["/Loader"], env, log)
        Watcher(probe, strings[200].replace("%s", TITLE), shots, "2_update").follow(proc)
        ok &= summary('2. update ("/Loader", run type 0)', log, first.client_record, first.installer_record, nginx,
                      f"/update/{first.product_id}/", first.install_folder)

        # 3. A link through the launcher, for a product that is not installed yet.
        launcher = BIN / "NorvaneLauncher.exe"
        if launcher.exists():
            ok &= run_link(launcher, site, nginx, work, probe, strings, locale_env, shots, second_id)
        else:
            print("\n== 3. link through the launcher: NorvaneLauncher.exe is not built")
            ok = False
    finally:
        if site:
            site.stop()
        nginx.stop()
        first.cleanup()
        if options.keep:
            print(f"main job: work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    pictures = sorted(p.name for p in shots.glob("*.png"))
    print(f"\nmain job: {len(pictures)} screenshots: {', '.join(pictures)}")
    print(f"main job: {'OK' if ok else 'FAILED'} after {time.monotonic() - started:.1f} s")
    return 0 if ok else 1


def payload_for(client, version):
    """What the installer stand-in places: the client and both manifests at version."""
    payload = client.tmp / f"payload_{client.product_id}"
    (payload / "config").mkdir(parents=True, exist_ok=True)
    shutil.copy2(BIN / "ClientStub.exe", payload / CLIENT)
    (payload / "config" / f"{master_name(client.product_type)}.xml").write_text(manifest(version, []))
    (payload / "config" / f"{client.product_id}.xml").write_text(manifest(version, []))
    return payload


def run_link(launcher, site, nginx, work, probe, strings, locale_env, shots, pid):
    """The launcher with a norvane: link for product pid, installed into the Program Files
    folder of the Wine prefix under a group of its own."""
    from update_fixture import prefix_for
    group = f"{GROUP}Link"
    program_files = prefix_for(launcher) / "drive_c" / "Program Files" / group
    shutil.rmtree(program_files, ignore_errors=True)
    install_folder = program_files / pid
    keys = {"VER": own_version(), "LID": str(LANGS["en"]), "PTP": "1", "CAP": TITLE, "GRP": group, "PID": pid,
            "CID": "ACME", "FNM": CLIENT, "UIP": "127.0.0.1", "UPP": str(site.port), "DIP": "127.0.0.1",
            "MSP": str(site.port), "DID": "ACME", "WSP": str(nginx.port), "UID": "demo", "RNM": "Weekly",
            "QTO": "5000", "RTP": "0"}
    query = "ENC=1&" + "&".join(f"{k}={quote(v, safe='')}" for k, v in keys.items())
    link = "norvane:?" + base64.b64encode(query.encode()).decode()
    record, installer_record = work / "link_client.txt", work / "link_installer.txt"
    stub = ClientInstall(work / "link", BIN, pid, TITLE)
    env = dict(locale_env, NVPC_CLIENT_RECORD=to_windows_path(record),
               NVPC_INSTALLER_RECORD=to_windows_path(installer_record),
               NVPC_INSTALLER_PAYLOAD=to_windows_path(payload_for(stub, INSTALLED)),
               NVPC_INSTALLER_TARGET="C:\\Program Files\\" + group + "\\" + pid)
    log = work / "link.log"
    proc = run_program(launcher, [link], env, log)
    Watcher(probe, strings[200].replace("%s", TITLE), shots, "3_link").follow(proc)
    try:
        return summary("3. norvane: link through the launcher (run type 0, not installed yet)", log, record,
                       installer_record, nginx, f"/{pid}/", install_folder)
    finally:
        shutil.rmtree(program_files, ignore_errors=True)
        stub.cleanup()


if __name__ == "__main__":
    sys.exit(main())
