#!/usr/bin/python3
"""Fault matrix: the real programs against every network and file fault we can inject.

    NVPC_BUILD_DIR=build/x tools/fuzz/faults.py [--only name,name] [--list]

Drives NVPCUpdater.exe "/Loader" (update runs of an installed client and setup runs of a
client that is not installed) against the reference server (tools/refserver), a private
nginx and the HTTP stand-in below; the downloader alone through nvpc_bench_driver; and
NVPCUpdater.exe "/CopyFile" against locked, read-only and hostile placements and a killed
placement run. Failure boxes are answered through the window probe.

Prints one table: fault, outcome (the box and its code, or what the program did), files
lost (installation folder compared before/after by digest: a file that is missing or whose
bytes are neither the old nor the update's). Exits 1 when a fault lost files or did not end
in a clear failure (or, for the faults a working run survives, in success).
"""
import argparse
import hashlib
import os
import re
import shutil
import signal
import socket
import socketserver
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "install"))

from conftest import WINE_RUN, parse_log, run_captured, to_windows_path  # noqa: E402
from update_fixture import (CLIENT, IDCANCEL, IDOK, UPDATE_VERSION, ClientInstall, DialogView, UpdateSite,  # noqa: E402
                            box_lines, buttons, closed_port, load_strings, master_name, manifest, unique_product_id,
                            write_update_archive)
from winprobe import WinProbe  # noqa: E402

CMD_QUERY_SQL, CMD_UPDATE_URL, CMD_SETUP_URL = 0x026C, 0x07D3, 0x07D4


# ---------------------------------------------------------------- an HTTP server that misbehaves


class FaultyHttp:
    """Serves bytes put under a path, misbehaving as the path's first part says:
    /ok/ plain, /reset-header/ RST inside the status line, /reset-body/ RST after half the
    body, /short/ half the body then an orderly close, /silent/ reads the request and says
    nothing, /stall/ headers and then nothing, /trickle/ 256 bytes every 50 ms, /oversize/ a
    header block of 1 MB."""

    def __init__(self):
        self.files: Dict[str, bytes] = {}
        self.hold = threading.Event()
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.serve(self.request)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def put(self, name: str, data: bytes):
        self.files[name] = data

    @staticmethod
    def reset(sock):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()

    def serve(self, sock):
        request = b""
        sock.settimeout(60)
        try:
            while b"\r\n\r\n" not in request:
                chunk = sock.recv(4096)
                if not chunk:
                    return
                request += chunk
            path = urllib.parse.unquote(request.split(b" ")[1].decode("latin-1"))
            mode, _, name = path.lstrip("/").partition("/")
            body = self.files.get(name)
            if body is None:
                sock.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            head = (f"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                    f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
            if mode == "reset-header":
                sock.sendall(head[:10])
                time.sleep(0.2)
                return self.reset(sock)
            if mode == "silent":
                self.hold.wait(45)
                return
            if mode == "oversize":
                sock.sendall(b"HTTP/1.1 200 OK\r\nX-Filler: " + b"a" * (1 << 20) + b"\r\n" + head[17:] + body)
                return
            sock.sendall(head)
            if mode == "stall":
                self.hold.wait(45)
                return
            if mode in ("reset-body", "short"):
                sock.sendall(body[:len(body) // 2])
                time.sleep(0.2)
                return self.reset(sock) if mode == "reset-body" else sock.close()
            if mode == "trickle":
                for i in range(0, len(body), 256):
                    sock.sendall(body[i:i + 256])
                    time.sleep(0.05)
                return
            sock.sendall(body)
        except OSError:
            return
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def stop(self):
        self.hold.set()
        self.server.shutdown()
        self.server.server_close()


# ---------------------------------------------------------------- small file systems


def small_mount(folder: Path, size_kb: int, read_only=False) -> Callable[[], None]:
    """Puts folder (its files kept) on a tmpfs of size_kb, read-only when asked: a full or a
    read-only target that holds for every user, root included. Gives the undo."""
    folder.mkdir(parents=True, exist_ok=True)
    keep = Path(tempfile.mkdtemp(prefix="nvpc_mount_"))
    shutil.copytree(folder, keep / "c")
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kb}k", "tmpfs", str(folder)], check=True)
    shutil.copytree(keep / "c", folder, dirs_exist_ok=True)
    if read_only:
        subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True)

    def undo():
        for _ in range(50):
            if subprocess.run(["umount", str(folder)], capture_output=True).returncode == 0:
                break
            time.sleep(0.2)
        shutil.copytree(keep / "c", folder, dirs_exist_ok=True) if not any(folder.iterdir()) else None
        shutil.rmtree(keep, ignore_errors=True)
    return undo


# ---------------------------------------------------------------- installations and digests


def digests(folder: Path) -> Dict[str, str]:
    out = {}
    if folder.exists():
        for path in sorted(folder.rglob("*")):
            if path.is_file():
                out[str(path.relative_to(folder))] = hashlib.sha256(path.read_bytes()).hexdigest()
    return out


def files_lost(before: Dict[str, str], after: Dict[str, str], update: Dict[str, bytes]) -> List[str]:
    """Files of before that are gone, or hold neither their old bytes nor the update's."""
    lost = []
    for name, digest in before.items():
        now = after.get(name)
        allowed = {digest}
        if name.replace(os.sep, "/") in update:
            allowed.add(hashlib.sha256(update[name.replace(os.sep, "/")]).hexdigest())
        if now not in allowed:
            lost.append(name)
    return lost


@dataclass
class Result:
    fault: str
    outcome: str
    lost: List[str]
    expected: str  # "failure" or "success"
    ok: bool


class Matrix:
    """What the cases share: the programs, one nginx, one HTTP stand-in, the probe."""

    def __init__(self, build: Path, tmp: Path):
        self.build = build
        self.bin = build / "bin"
        self.tmp = tmp
        self.strings = load_strings()[1033]
        from nginx_fixture import Nginx
        self.nginx = Nginx().start()
        self.http = FaultyHttp()
        self.probe = WinProbe(self.bin)
        self.counter = 0

    def close(self):
        self.http.stop()
        self.nginx.stop()

    def folder(self, tag: str) -> Path:
        self.counter += 1
        path = self.tmp / f"{self.counter:02d}-{tag}"
        path.mkdir()
        return path

    def update_files(self) -> Dict[str, bytes]:
        return {CLIENT: (self.bin / "ClientStub.exe").read_bytes() + b"\0update", "core.dll": b"core 1.0.0.2"}

    # -------------------------------------------------------- "/Loader" runs

    def loader(self, tag: str, *, installed=True, faults=(), web="nginx", url_prefix="", archive=None,
               product=None, ports=None, during: Optional[Callable] = None, prepare: Optional[Callable] = None,
               big=0) -> (str, List[str]):
        """One "/Loader" run; gives (outcome, files lost)."""
        tmp = self.folder(tag)
        client = ClientInstall(tmp, self.bin, unique_product_id("FM" + tag[:4]))
        update = self.update_files()
        if big:
            update["big.bin"] = os.urandom(1024) * (big // 1024)
        name = f"{client.product_id}_{UPDATE_VERSION}.zip"
        if archive is None:
            archive = write_update_archive(tmp / "update.zip", client.product_id, update).read_bytes()
        elif callable(archive):
            archive = archive(tmp, client, update)
        web_port = self.nginx.port
        if web == "nginx":
            self.nginx.root.joinpath("fm").mkdir(exist_ok=True)
            (self.nginx.root / "fm" / name).write_bytes(archive)
            url = f"{url_prefix}/fm/{name}"
        else:
            self.http.put(name, archive)
            self.http.put(name.replace(".zip", ".exe"), archive)
            web_port = self.http.port
            url = f"/{web}/{name}"
        if product is None:
            product = {"update_url": url, "setup_url": f"/fm/{client.product_id}-missing.exe"}
        elif callable(product):
            product = product(url, client)
        update = dict(update, **archive_entries(archive))
        site = UpdateSite(self.nginx, {client.product_id: product}, faults=list(faults))
        run, undo = None, None
        try:
            if installed:
                client.install()
                (client.install_folder / "core.dll").write_bytes(b"core 1.0.0.1")
            ports = dict(ports or {})
            client.write_config(site.port, ports.pop("web_port", web_port), **ports)
            if prepare:
                undo = prepare(client)
            before = digests(client.install_folder)
            log = tmp / "nvpc.log"
            run = client.start_loader(log)
            view = DialogView(self.probe, client.title, self.strings)
            if during:
                during(run, client)
            outcome = self.answer(run, view, client)
            after = digests(client.install_folder)
            return outcome, files_lost(before, after, update)
        finally:
            if run:
                run.stop()
            if undo:
                undo()
            site.stop()
            for path in client.install_folder.rglob("*") if client.install_folder.exists() else []:
                try:
                    path.chmod(0o755 if path.is_dir() else 0o644)
                except OSError:
                    pass
            client.cleanup()

    def answer(self, run, view, client) -> str:
        """Waits for the failure box (answered with OK) or the program's end; says which."""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            box = view.controls(wait=500)
            if box is not None and 0xFFFF in box and 4242 not in box:
                first, rest = box_lines(box)
                if IDOK in buttons(box):
                    view.click(IDOK)
                    known = "string 210" if first == self.strings[210] else repr(first)
                    outcome = f"box {known}:{rest.strip()!s}"
                else:
                    # The retry box (Try Again, Continue, Cancel): Cancel ends the run.
                    view.click(IDCANCEL)
                    if first == self.strings[210]:
                        # The directory failure box with the proxy settings button.
                        outcome = f"box string 210:{rest.strip()} with proxy settings, Cancel"
                    elif first == self.strings[214].split("\n")[0]:
                        outcome = "retry box string 214, Cancel"
                    else:
                        outcome = f"box {first[:40]!r}, Cancel"
                code = run.wait_exit(60)
                return outcome + ("" if code == 0 else f" exit {code}")
            if run.proc.poll() is not None:
                # The client stand-in may write its record after the updater has ended: the
                # updater's own log line says whether it started the client.
                started = any(t.startswith("ExecuteAsync lpFilePath=") for t in run.texts())
                if os.environ.get("NVPC_FAULTS_DEBUG"):
                    print("\n".join(run.texts()[-25:]), file=sys.stderr)
                return "no box, client started" if started else f"no box, ended {run.proc.returncode}"
        run.stop()
        return "HANG (no box, no end in 120 s)"

    # -------------------------------------------------------- the downloader alone

    def download(self, tag: str, url_path: str, port: int) -> (str, List[str]):
        folder = self.folder(tag)
        proc = run_captured([WINE_RUN, self.bin / "nvpc_bench_driver.exe", "download", "127.0.0.1", str(port),
                             url_path, to_windows_path(folder)], timeout=120)
        out = proc.stdout.decode("utf-8", "replace").strip()
        return (out.split(" ")[0] + " " + " ".join(out.split(" ")[1:-1]) if out.startswith("ok") else out), []

    # -------------------------------------------------------- "/CopyFile" runs

    def copyfile(self, tag: str, *, manifest_files=None, prepare: Optional[Callable] = None,
                 kill_after: Optional[float] = None, big: int = 0) -> (str, List[str]):
        tmp = self.folder(tag)
        product, master = "NVPCFM", master_name()
        upgrade = tmp / "upgrade"
        install = tmp / "install"
        unpack = upgrade / "updatefile"
        (install / "config").mkdir(parents=True)
        unpack.mkdir(parents=True)
        update = self.update_files()
        if big:  # listed first, so a kill finds its copy under way
            update = dict({"big.bin": os.urandom(1024) * (big // 1024)}, **update)
        for name, data in {CLIENT: b"old client", "core.dll": b"core 1.0.0.1", "big.bin": b"old big"}.items():
            (install / name).write_bytes(data)
        (install / "config" / f"{master}.xml").write_text(manifest("1.0.0.1", []))
        (install / "config" / f"{product}.xml").write_text(manifest("1.0.0.1", []))
        for name, data in update.items():
            (unpack / name).write_bytes(data)
        files = manifest_files if manifest_files is not None else [(n, "") for n in update]
        (unpack / f"{master}.xml").write_text(manifest(UPDATE_VERSION, files + [(f"{master}.xml", "config")]))
        (unpack / f"{product}.xml").write_text(manifest(UPDATE_VERSION, [(f"{product}.xml", "config")]))
        (upgrade / "updatefile.zip").write_bytes(b"PK archive")
        for name in (f"{master}.xml", f"{product}.xml"):
            update["config/" + name] = (unpack / name).read_bytes()
        cleanup = prepare(install) if prepare else None
        before = digests(install)
        log = tmp / "nvpc.log"
        script = tmp / "copyfile.cmd"
        script.write_bytes((f'@"{to_windows_path(self.bin / "NVPCUpdater.exe")}" /CopyFile /DNP '
                            f'"{to_windows_path(upgrade / "updatefile.zip")}" /MML "{master}" /PML "{product}"  '
                            f'/SEP "{to_windows_path(install)}" \r\n').encode())
        env = dict(os.environ, NVPC_LOG_FILE=to_windows_path(log))
        try:
            if kill_after is None:
                proc = run_captured([WINE_RUN, "cmd", "/c", to_windows_path(script)], env=env, timeout=120)
                outcome = f"exit {proc.returncode}"
            else:
                outcome = self.kill_placement(script, env, log, kill_after)
        finally:
            if cleanup:
                cleanup()
        texts = [line.text for line in parse_log(log)]
        placed = sum(1 for t in texts if t.startswith("CUnzipMove::MovefileCust : szSrcFile="))
        refused = [t for t in texts if "refused" in t or "failed" in t.lower()]
        manifests_placed = f'ver="{UPDATE_VERSION}"' in (install / "config" / f"{master}.xml").read_text()
        outcome += f", manifests {'placed' if manifests_placed else 'kept'}"
        if refused:
            outcome += f", {len(refused)} refusal/failure lines"
        elif placed:
            outcome += f", {placed} moves"
        lost = files_lost(before, digests(install), update)
        if lost and os.environ.get("NVPC_FAULTS_DEBUG"):
            print("before", before, "after", digests(install), "\n".join(texts))
        return outcome, lost

    def kill_placement(self, script: Path, env: dict, log: Path, after: float) -> str:
        """Starts the placement and kills it (the placement process this run started, found
        by its switch and its own folder) once it has begun moving files."""
        proc = subprocess.Popen([str(WINE_RUN), "cmd", "/c", to_windows_path(script)], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            if any(line.text.startswith("CUnzipMove::MovefileCust") for line in parse_log(log)):
                break
            time.sleep(0.01)
        time.sleep(after)
        if proc.poll() is not None:
            return f"ended before the kill (exit {proc.returncode})"
        # The Windows process itself: wine-run's child whose command line names /CopyFile.
        killed = self.kill_windows_process("/CopyFile", script.parent.name)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        return "killed mid-placement" if killed else "could not find the placement to kill"

    @staticmethod
    def kill_windows_process(*markers: str) -> bool:
        mine = os.getuid()
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                if entry.stat().st_uid != mine:
                    continue
                cmd = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
            except OSError:
                continue
            if "NVPCUpdater.exe" in cmd and all(m in cmd for m in markers) and "cmd" not in cmd.split()[0]:
                os.kill(int(entry.name), signal.SIGKILL)
                return True
        return False

    # -------------------------------------------------------- helpers for the cases

    def hold(self, path: Path, seconds: int):
        """Holds path open without sharing in a Windows process; gives the stopper."""
        out = tempfile.NamedTemporaryFile(delete=False)
        proc = subprocess.Popen([str(WINE_RUN), str(self.bin / "nvpc_fuzz.exe"), "hold", to_windows_path(path),
                                 str(seconds)], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and b"held" not in Path(out.name).read_bytes():
            if proc.poll() is not None:
                raise RuntimeError("could not lock " + str(path))
            time.sleep(0.05)

        def stop():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            os.unlink(out.name)
        return stop


def archive_entries(data: bytes) -> Dict[str, bytes]:
    """The entries of an update archive (manifests also under config/, where they are
    placed): bytes a placed file may rightly hold."""
    import io
    out = {}
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            for info in z.infolist():
                body = z.read(info)
                out[info.filename] = body
                if info.filename.endswith(".xml"):
                    out["config/" + info.filename] = body
    except (zipfile.BadZipFile, OSError, EOFError, ValueError):
        pass
    return out


def corrupt_archive(tmp, client, update):
    return b"PK\x03\x04 this is not a zip archive" * 100


def truncated_archive(tmp, client, update):
    data = write_update_archive(tmp / "update.zip", client.product_id,
                                dict(update, **{"pad.bin": os.urandom(64 * 1024)})).read_bytes()
    return data[:len(data) * 2 // 3]


def hostile_archive(tmp, client, update):
    path = tmp / "hostile.zip"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(CLIENT, b"hostile client")
        z.writestr(f"../{client.product_id}.txt", b"outside")
        z.writestr(f"..\\..\\{client.product_id}.txt", b"further outside")
    return path.read_bytes()


def hostile_manifest_archive(tmp, client, update):
    """A well-formed archive whose manifest sends a file out of the installation folder."""
    path = tmp / "hostile-manifest.zip"
    master = master_name()
    with zipfile.ZipFile(path, "w") as z:
        for name, data in update.items():
            z.writestr(name, data)
        z.writestr(f"{master}.xml", manifest(UPDATE_VERSION, [(CLIENT, "..\\..\\.."), ("core.dll", ""),
                                                               (f"{master}.xml", "config")]))
        z.writestr(f"{client.product_id}.xml", manifest(UPDATE_VERSION, [(f"{client.product_id}.xml", "config")]))
    return path.read_bytes()


def bomb_archive(tmp, client, update):
    """A well-formed update with one entry that inflates from 200 KB to 200 MB."""
    files = dict(update, **{"filler.bin": b"\0" * (200 << 20)})
    return write_update_archive(tmp / "bomb.zip", client.product_id, files).read_bytes()


def read_only_install(client):
    return small_mount(client.install_folder, 8192, read_only=True)


def full_install(client):
    # Room for what is there and a little more, not for the update's 4 MB file.
    return small_mount(client.install_folder, 2048)


def full_download_folder(client):
    return small_mount(client.upgrade_folder, 16)


def full_unpack_folder(client):
    # The archive (about 200 KB) fits; what it inflates to does not.
    return small_mount(client.upgrade_folder, 4096)


# ---------------------------------------------------------------- the cases

@dataclass
class Case:
    name: str
    run: Callable[[Matrix], tuple]
    # failure: a box with a code (or a refused placement); success; silent: the run ends
    # without a box or a client; killed: the placement was killed mid-way
    expected: str = "failure"
    cheap: bool = False


def U(name, expected="failure", cheap=False, **kw):
    return Case(name, lambda m: m.loader(name, **kw), expected, cheap)


def S(name, expected="failure", **kw):
    return Case(name, lambda m: m.loader(name, installed=False, **kw), expected)


def D(name, mode, expected="failure", cheap=False):
    def run(m):
        if mode == "refused":
            return m.download(name, "/ok/x.bin", closed_port())
        m.http.put("x.bin", os.urandom(200 * 1024))
        if mode == "404":
            return m.download(name, "/ok/missing.bin", m.http.port)
        return m.download(name, f"/{mode}/x.bin", m.http.port)
    return Case(name, run, expected, cheap)


def locked_client(m):
    stops = []

    def prepare(client):
        stops.append(m.hold(client.client, 120))
    try:
        return m.loader("locked-target", prepare=prepare)
    finally:
        for stop in stops:
            stop()


def locked_copyfile(m):
    stops = []

    def prepare(install):
        stops.append(m.hold(install / CLIENT, 120))
        return stops[-1]
    return m.copyfile("copyfile-locked", prepare=prepare)


def read_only_file_copyfile(m):
    def prepare(install):
        (install / CLIENT).chmod(stat.S_IREAD)  # the read-only attribute for Windows
    return m.copyfile("copyfile-read-only-file", prepare=prepare)


CASES = [
    # directory server (reference server faults on the company-server query)
    Case("dir-refused", lambda m: m.loader("dir-refused", ports={"directory_port": closed_port()})),
    U("dir-reset-mid-header", faults=[{"command": CMD_QUERY_SQL, "action": "reset_header"}]),
    U("dir-reset-mid-body", faults=[{"command": CMD_QUERY_SQL, "action": "reset_body"}]),
    U("dir-close-mid-body", faults=[{"command": CMD_QUERY_SQL, "action": "close_body"}]),
    U("dir-silent", faults=[{"command": CMD_QUERY_SQL, "action": "silent"}]),
    U("dir-oversize-reply", faults=[{"command": CMD_QUERY_SQL, "action": "oversize"}]),
    U("dir-refuse-connection", faults=[{"action": "refuse_connection"}]),
    # upgrade server
    Case("up-refused", lambda m: m.loader("up-refused", ports={"upgrade_port": closed_port()})),
    U("up-refuse-code-3", faults=[{"command": CMD_UPDATE_URL, "action": "refuse", "code": 3}]),
    U("up-reset-mid-header", faults=[{"command": CMD_UPDATE_URL, "action": "reset_header"}]),
    U("up-reset-mid-body", faults=[{"command": CMD_UPDATE_URL, "action": "reset_body"}]),
    U("up-silent", faults=[{"command": CMD_UPDATE_URL, "action": "silent"}]),
    U("up-slow-reply-2s", "success", faults=[{"command": CMD_UPDATE_URL, "action": "delay", "seconds": 2}]),
    U("up-oversize-reply", faults=[{"command": CMD_UPDATE_URL, "action": "oversize"}]),
    # web server (update archive download)
    Case("http-refused", lambda m: m.loader("http-refused", ports={"web_port": closed_port()})),
    U("http-404", product=lambda url, c: {"update_url": url.replace("/fm/", "/fm/missing-")}),
    U("http-reset-mid-header", web="reset-header", cheap=True),
    U("http-reset-mid-body", web="reset-body"),
    U("http-short-body", web="short"),
    U("http-silent", web="silent"),
    U("http-stall-after-headers", web="stall"),
    U("http-slow-trickle", "success", web="trickle"),
    U("http-oversize-header", "success", web="oversize"),
    U("http-nginx-cut", url_prefix="/cut"),
    # archives
    U("archive-corrupt", archive=corrupt_archive, cheap=True),
    U("archive-truncated", archive=truncated_archive),
    U("archive-hostile-names", archive=hostile_archive),
    U("archive-hostile-manifest", archive=hostile_manifest_archive),
    U("archive-bomb-full-unpack", archive=bomb_archive, prepare=full_unpack_folder),
    # files of the installation
    Case("locked-target", locked_client),
    U("read-only-install-fs", prepare=read_only_install),
    U("full-install-fs", prepare=full_install, big=4 << 20),
    U("full-download-folder", prepare=full_download_folder, big=1 << 20),
    # setup runs (client not installed)
    S("setup-refuse-code", faults=[{"command": CMD_SETUP_URL, "action": "refuse", "code": 3}]),
    S("setup-404", product=lambda url, c: {"setup_url": f"/fm/{c.product_id}-missing.exe"}),
    # An installer that does not start ends the dialog without a message, as a failed
    # installer run does (the workflow's documented behaviour).
    S("setup-not-a-program", "silent", product=lambda url, c: {"setup_url": f"/evil/{c.product_id}.exe"}),
    S("setup-reset-mid-body", web="reset-body",
      product=lambda url, c: {"setup_url": url.replace(".zip", ".exe")}),
    # the downloader alone
    D("dl-refused", "refused", cheap=True),
    D("dl-404", "404"),
    D("dl-reset-mid-header", "reset-header"),
    D("dl-reset-mid-body", "reset-body", cheap=True),
    D("dl-short-body", "short"),
    D("dl-silent", "silent"),
    D("dl-stall-after-headers", "stall"),
    D("dl-slow-trickle", "trickle", "success"),
    # WinINet takes a 1 MB header block; the file is still the right one.
    D("dl-oversize-header", "oversize", "success"),
    # the placement run
    Case("copyfile-locked-target", locked_copyfile, cheap=True),
    # The read-only attribute alone does not stop a placement (it replaces such files).
    Case("copyfile-read-only-file", read_only_file_copyfile, "success"),
    Case("copyfile-read-only-fs", lambda m: m.copyfile(
        "copyfile-ro-fs", prepare=lambda install: small_mount(install, 4096, read_only=True))),
    Case("copyfile-full-fs", lambda m: m.copyfile(
        "copyfile-full-fs", big=4 << 20, prepare=lambda install: small_mount(install, 1024))),
    Case("copyfile-hostile-manifest",
         lambda m: m.copyfile("copyfile-hostile", manifest_files=[(CLIENT, "..\\.."), ("core.dll", "..")]),
         cheap=True),
    Case("copyfile-killed", lambda m: m.copyfile("copyfile-killed", kill_after=0.0, big=256 << 20),
         expected="killed"),
]


def judge(case: Case, outcome: str, lost: List[str]) -> bool:
    if lost or outcome.startswith("HANG"):
        return False
    if case.expected == "success":
        return outcome.startswith(("no box, client started", "ok")) or "manifests placed" in outcome
    if case.expected == "silent":
        return outcome.startswith("no box, ended")
    if case.expected == "killed":
        return "killed" in outcome
    if case.name.startswith("copyfile"):
        return "manifests kept" in outcome
    if case.name.startswith("dl-"):
        return outcome.startswith("error")
    if outcome == "retry box string 214, Cancel":
        return True  # the upgrade server's retry box: Cancel ends the run
    # The failure box with its code (and, for the directory, the proxy settings button).
    return re.match(r"^box string 210:.*\([\w-]+\)( with proxy settings, Cancel)?$", outcome) is not None


def run_cases(build: Path, names: Optional[List[str]] = None, log=print) -> List[Result]:
    cases = [c for c in CASES if names is None or c.name in names]
    results = []
    with tempfile.TemporaryDirectory(prefix="nvpc_faults_") as tmp:
        matrix = Matrix(build, Path(tmp))
        try:
            for case in cases:
                start = time.monotonic()
                try:
                    outcome, lost = case.run(matrix)
                except Exception as e:  # one case's trouble must not hide the others
                    outcome, lost = f"RUNNER ERROR {type(e).__name__}: {e}", []
                result = Result(case.name, outcome, lost, case.expected, False)
                result.ok = judge(case, outcome, lost) and not outcome.startswith("RUNNER")
                log(f"  {case.name}: {outcome} lost={len(lost)} ({time.monotonic() - start:.0f} s)")
                results.append(result)
        finally:
            matrix.close()
    return results


def table(results: List[Result]) -> str:
    width = max(len(r.fault) for r in results)
    lines = [f"{'fault':{width}}  {'outcome':70}  lost  verdict"]
    for r in results:
        lines.append(f"{r.fault:{width}}  {r.outcome[:70]:70}  {len(r.lost):4}  {'ok' if r.ok else 'FAULT'}")
    return "\n".join(lines)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", help="comma-separated case names")
    ap.add_argument("--cheap", action="store_true", help="only the cheap slice")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--build", default=os.environ.get("NVPC_BUILD_DIR", str(ROOT / "build" / "cmake")))
    args = ap.parse_args(argv)
    if args.list:
        print("\n".join(c.name + (" (cheap)" if c.cheap else "") for c in CASES))
        return 0
    names = args.only.split(",") if args.only else None
    if args.cheap:
        names = [c.name for c in CASES if c.cheap]
    results = run_cases(Path(args.build), names, log=lambda s: print(s, flush=True))
    print(table(results))
    return 0 if all(r.ok for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
