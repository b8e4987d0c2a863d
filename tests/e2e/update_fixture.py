"""A client installation for the updater's update dialog ("/Loader" with run type 0), the
servers it talks to, update archives, and a "/Loader" run in the background that a test
watches through its log and drives through the window probe.

    site = UpdateSite(nginx, products={pid: {"setup_url": f"/setup/{pid}/NvpcSetup.exe"}})
    client = ClientInstall(tmp_path, bin_dir, pid)
    client.write_config(site.port, nginx.port) # Config\\nvpclient.nvp with RTP=0
    run = client.start_loader(log_file)        # NVPCUpdater.exe /Loader, not awaited
    run.wait_log("CDownloaderEx::Download : ", seconds=30)
    view = DialogView(probe, client.title, strings[1033])
    state = view.state()                       # status text, bars, Cancel caption

Folders of one installation (the updater reads its configuration beside itself and, run
with "/Loader", serves the program's own folder plus the group folder):

    <tmp>/Norvane Client/NVPCUpdater.exe, Logger.dll, Config/nvpclient.nvp
    <tmp>/Norvane Client/<GRP>/client.exe                  the client (ClientStub.exe)
    <tmp>/Norvane Client/<GRP>/config/master_<PTP>.xml     the installed manifests
    <tmp>/Norvane Client/<GRP>/config/<PID>.xml
    C:\\ProgramData\\<PID>\\upgrade                           downloads (in the Wine prefix)

The texts the dialog shows are read from ui/Strings.rc, per language, so the tests follow
the string table rather than copies of it.
"""
import contextlib
import os
import re
import shutil
import socket
import struct
import subprocess
import time
import uuid
import zipfile
import zlib
from pathlib import Path
from typing import Callable, Dict, List, Optional

from conftest import ROOT, WINE_RUN, LogLine, parse_log, to_windows_path
from servers import RefServer
from stubs import read_records
from winprobe import read_bmp

COMPANY = "ACME"
SERVER_IP = "10.20.30.40"
GROUP = "Calderix"
CLIENT = "client.exe"
PRODUCT_TYPE = 1
INSTALLED_VERSION = "1.0.0.1"
UPDATE_VERSION = "1.0.0.2"

# The dialog's controls.
STATUS = 4242
CANCEL = 4245
BAR_ALL = 202
BAR_ENTRY = 203
# Message box controls (Wine's message box template: the text is the static without id).
BOX_TEXT = 0xFFFF
IDOK, IDCANCEL, IDRETRY, IDTRYAGAIN, IDCONTINUE = 1, 2, 4, 10, 11

LOCALES = {1033: "en_US.UTF-8", 1041: "ja_JP.UTF-8", 1042: "ko_KR.UTF-8"}
RC_LANGUAGES = {"LANG_ENGLISH": 1033, "LANG_JAPANESE": 1041, "LANG_KOREAN": 1042}


# ---------------------------------------------------------------- the string table


def _rc_text(literal: str) -> str:
    """A resource-compiler string literal's text (without its quotes)."""
    out, i = [], 0
    escapes = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "0": "\0"}
    while i < len(literal):
        c = literal[i]
        if c == "\\" and i + 1 < len(literal) and literal[i + 1] in escapes:
            out.append(escapes[literal[i + 1]])
            i += 2
        elif c == '"' and literal[i + 1:i + 2] == '"':  # "" stands for one quote
            out.append('"')
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def load_strings() -> Dict[int, Dict[int, str]]:
    """{language id: {string id: text}} from ui/Strings.rc and ui/resource.h."""
    ids = {}
    for match in re.finditer(r"^#define\s+(IDS_\w+)\s+(\d+)", (ROOT / "ui" / "resource.h").read_text(), re.M):
        ids[match.group(1)] = int(match.group(2))
    tables: Dict[int, Dict[int, str]] = {}
    language = None
    for line in (ROOT / "ui" / "Strings.rc").read_text(encoding="utf-8").splitlines():
        head = re.match(r"\s*LANGUAGE\s+(\w+)\s*,", line)
        if head:
            language = RC_LANGUAGES.get(head.group(1))
            continue
        entry = re.match(r'\s*(IDS_\w+)\s+"(.*)"\s*$', line)
        if entry and language is not None and entry.group(1) in ids:
            tables.setdefault(language, {})[ids[entry.group(1)]] = _rc_text(entry.group(2))
    return tables


# ---------------------------------------------------------------- manifests and archives


def manifest(ver: Optional[str], files=()) -> str:
    """A files_info manifest; files: (name, ipath) pairs. ver None leaves the attribute out."""
    rows = "".join(f"  <file><name>{name}</name><ipath>{ipath}</ipath></file>\n" for name, ipath in files)
    attribute = f' ver="{ver}"' if ver is not None else ""
    return f'<?xml version="1.0"?>\n<files_info{attribute}>\n{rows}</files_info>\n'


def master_name(product_type=PRODUCT_TYPE) -> str:
    return f"master_{product_type}"


def write_update_archive(path: Path, product_id: str, files: Dict[str, bytes], master_ver=UPDATE_VERSION,
                         product_ver=UPDATE_VERSION, place_master=True, place_product=True,
                         product_type=PRODUCT_TYPE, compression=zipfile.ZIP_DEFLATED) -> Path:
    """An update archive as the file placement expects it: the files (placed into the
    installation folder) and both manifests, each of which lists itself for the config
    folder unless told not to (then the installed one stays as it was)."""
    master = master_name(product_type)
    master_files = [(name, "") for name in files]
    if place_master:
        master_files.append((f"{master}.xml", "config"))
    product_files = [(f"{product_id}.xml", "config")] if place_product else []
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, data in files.items():
            archive.writestr(name, data)
        archive.writestr(f"{master}.xml", manifest(master_ver, master_files))
        archive.writestr(f"{product_id}.xml", manifest(product_ver, product_files))
    return path


# ---------------------------------------------------------------- servers


class UpdateSite:
    """The reference server as directory and upgrade server (one port), and the web server
    (a private nginx, see tests/install/nginx_fixture.py) the dialog downloads from."""

    def __init__(self, nginx, products: dict, companies: Optional[dict] = None, faults=()):
        self.nginx = nginx
        if companies is None:
            companies = {COMPANY: {"serverip": SERVER_IP, "checkerversion": "1.0"}}
        self.ref = RefServer({"companies": companies, "products": products, "faults": list(faults)})

    @property
    def port(self) -> int:
        return self.ref.port

    def put(self, url_path: str, data: bytes) -> str:
        """Serves data at url_path (also under /slow/ and the other locations)."""
        target = self.nginx.root / url_path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        target.chmod(0o644)
        return url_path

    def requests(self) -> List[dict]:
        return self.ref.requests()

    def commands(self) -> List[int]:
        return [r["command"] for r in self.ref.requests()]

    def downloads(self, marker: str) -> List[str]:
        """The web server's request lines ('request|agent|status|bytes|auth') that name
        marker (the web server serves several scenarios)."""
        return [r for r in self.nginx.requests() if marker in r.split("|")[0]]

    def stop(self):
        self.ref.stop()


def closed_port() -> int:
    """A loopback port nothing listens on (bound once, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------- the Wine prefix


def _pe_bits(path: Path) -> int:
    data = path.read_bytes()[:4096]
    offset = int.from_bytes(data[60:64], "little")
    machine = int.from_bytes(data[offset + 4:offset + 6], "little")
    return 64 if machine == 0x8664 else 32


def prefix_for(program: Path) -> Path:
    """The Wine prefix scripts/wine-run runs program in."""
    if _pe_bits(program) == 64:
        return Path(os.environ.get("NVPC_WINEPREFIX64", ROOT / "build" / "wineprefix64"))
    return Path(os.environ.get("NVPC_WINEPREFIX", ROOT / "build" / "wineprefix"))


@contextlib.contextmanager
def client_in_program_files(program: Path, tag: str):
    """ClientStub.exe as <Program Files>\\<fresh group>\\NVPC\\client.exe in the prefix program
    runs in, where a link with GRP, PID NVPC and FNM client.exe looks for the client; gives
    the group, and removes it afterwards."""
    group = f"{tag}{os.getpid()}_{uuid.uuid4().hex[:8]}"
    folder = prefix_for(program) / "drive_c" / "Program Files" / group
    (folder / "NVPC").mkdir(parents=True)
    shutil.copy2(program.parent / "ClientStub.exe", folder / "NVPC" / "client.exe")
    try:
        yield group
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def artifact_dir() -> Path:
    folder = Path(os.environ.get("NVPC_ARTIFACT_DIR", ROOT / "build" / "artifacts" / "screenshots"))
    folder.mkdir(parents=True, exist_ok=True)
    return folder


# ---------------------------------------------------------------- the installation


def unique_product_id(tag: str) -> str:
    """A product id of its own per test: it names the upgrade folder in the shared prefix."""
    return f"NVPC{tag}{uuid.uuid4().hex[:8]}".upper()


class ClientInstall:
    """An updater with its configuration and, when installed, the client and its manifests."""

    def __init__(self, tmp: Path, bin_dir: Path, product_id: str, title: Optional[str] = None,
                 language: int = 1033, group: str = GROUP, product_type: int = PRODUCT_TYPE):
        self.tmp = tmp
        self.bin_dir = bin_dir
        self.product_id = product_id
        self.language = language
        self.group = group
        self.product_type = product_type
        self.title = title or f"Norvane {product_id[-8:]}"
        self.folder = tmp / "Norvane Client"
        (self.folder / "Config").mkdir(parents=True)
        for name in ("NVPCUpdater.exe", "Logger.dll"):
            shutil.copy2(bin_dir / name, self.folder / name)
        self.install_folder = self.folder / group if group else self.folder
        self.config_folder = self.install_folder / "config"
        self.client_record = tmp / "client_starts.txt"
        self.installer_record = tmp / "installer_starts.txt"
        self.config: Dict[str, str] = {}
        # Downloads go to the common application data folder of the prefix the updater runs in.
        self.upgrade_windows = f"C:\\ProgramData\\{product_id}\\upgrade"
        self.upgrade_folder = prefix_for(self.updater) / "drive_c" / "ProgramData" / product_id / "upgrade"

    @property
    def shown_title(self) -> str:
        """The title as the record keeps it: a longer one than 99 characters is cut to 96
        and three full stops."""
        return self.title if len(self.title) <= 99 else self.title[:96] + "..."

    @property
    def updater(self) -> Path:
        return self.folder / "NVPCUpdater.exe"

    @property
    def client(self) -> Path:
        return self.install_folder / CLIENT

    @property
    def master_manifest(self) -> Path:
        return self.config_folder / f"{master_name(self.product_type)}.xml"

    @property
    def product_manifest(self) -> Path:
        return self.config_folder / f"{self.product_id}.xml"

    def cleanup(self):
        shutil.rmtree(self.upgrade_folder.parent, ignore_errors=True)

    def write_config(self, site_port: int, web_port: int, upgrade_port: Optional[int] = None,
                     directory_port: Optional[int] = None, **overrides):
        """Config\\nvpclient.nvp (UTF-16) for run type 0; None in overrides drops a key."""
        keys = {"LID": str(self.language), "PTP": str(self.product_type), "CAP": self.title, "GRP": self.group,
                "CID": COMPANY, "PID": self.product_id, "FNM": CLIENT, "UIP": "127.0.0.1", "DIP": "127.0.0.1",
                "DID": COMPANY, "MSP": str(directory_port or site_port), "WSP": str(web_port),
                "UPP": str(upgrade_port or site_port), "UID": "user01", "RNM": "Room \ud68c\uc758",
                "OPT": '/X:1 /Y:"a b"', "QTO": "5000", "RTP": "0"}
        keys.update(overrides)
        self.config = {k: v for k, v in keys.items() if v is not None}
        text = "[PRODUCT]\r\n" + "".join(f"{k}={v}\r\n" for k, v in self.config.items())
        (self.folder / "Config" / "nvpclient.nvp").write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))

    def install(self):
        """The client stand-in and both manifests, as an earlier installation left them."""
        self.config_folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.bin_dir / "ClientStub.exe", self.client)
        self.master_manifest.write_text(manifest(INSTALLED_VERSION, []))
        self.product_manifest.write_text(manifest(INSTALLED_VERSION, []))

    def installer_payload(self) -> Path:
        """What the installer stand-in copies into the installation folder: the client and
        both manifests."""
        payload = self.tmp / "payload"
        (payload / "config").mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.bin_dir / "ClientStub.exe", payload / CLIENT)
        (payload / "config" / f"{master_name(self.product_type)}.xml").write_text(manifest(INSTALLED_VERSION, []))
        (payload / "config" / f"{self.product_id}.xml").write_text(manifest(INSTALLED_VERSION, []))
        return payload

    def expected_client_args(self) -> str:
        """The product command line the client must receive for this configuration."""
        c = self.config
        parts = [f"/LID:{int(c['LID']) | 0x400}", f'/PID:"{c["PID"]}"', f'/CID:"{c["CID"]}"',
                 f"/PTP:{c['PTP']}", f'/CAP:"{c["CAP"]}"', f'/GRP:"{c["GRP"]}"', f"/MSP:{c['MSP']}", "/FSP:7085",
                 f'/UID:"{c["UID"]}"', f'/RNM:"{c["RNM"]}"', "/MAX:2", f"/SIP:{SERVER_IP}", c["OPT"]]
        return " ".join(parts) + " "

    def client_starts(self) -> List[dict]:
        return read_records(self.client_record)

    def start_loader(self, log_file: Path, env: Optional[dict] = None) -> "LoaderRun":
        environment = {"NVPC_CLIENT_RECORD": to_windows_path(self.client_record),
                       "NVPC_INSTALLER_RECORD": to_windows_path(self.installer_record)}
        environment.update(env or {})
        return LoaderRun(self.updater, log_file, LOCALES[self.language], environment)


# ---------------------------------------------------------------- a run in the background


class LoaderRun:
    """NVPCUpdater.exe /Loader started through scripts/wine-run, not awaited."""

    def __init__(self, program: Path, log_file: Path, locale: str, env: dict):
        self.log_file = log_file
        environment = dict(os.environ, LC_ALL=locale, LANG=locale, NVPC_LOG_FILE=to_windows_path(log_file))
        environment.update(env)
        self.started = time.monotonic()
        self.proc = subprocess.Popen([str(WINE_RUN), str(program), "/Loader"], env=environment,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def log(self) -> List[LogLine]:
        return parse_log(self.log_file)

    def texts(self) -> List[str]:
        return [line.text for line in self.log()]

    def wait_log(self, match, seconds: float = 30, after: int = 0) -> Optional[LogLine]:
        """The first log line (from index after on) that equals match, starts with it (a
        text ending in a blank or colon is taken as a prefix), or satisfies it (callable);
        None when none came in time or the program ended without it."""
        test: Callable[[str], bool]
        if callable(match):
            test = match
        else:
            test = (lambda t: t.startswith(match)) if match.endswith((" ", ":", "=")) else (lambda t: t == match)
        deadline = time.monotonic() + seconds
        while True:
            ended = self.proc.poll() is not None
            for line in self.log()[after:]:
                if test(line.text):
                    return line
            if ended or time.monotonic() > deadline:
                return None
            time.sleep(0.05)

    def wait_exit(self, seconds: float = 60) -> Optional[int]:
        try:
            return self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)


def stamp_ms(line: LogLine) -> float:
    """A log line's time of day in milliseconds."""
    hms, ms = line.stamp.split(" ")[1].split(".")
    h, m, s = (int(x) for x in hms.split(":"))
    return ((h * 60 + m) * 60 + s) * 1000 + int(ms)


# ---------------------------------------------------------------- the dialog as a user sees it


class DialogView:
    """The update dialog and its message boxes, found by their caption (the title formatted
    into string 200 of the current language)."""

    def __init__(self, probe, title: str, strings: Dict[int, str]):
        self.probe = probe
        self.strings = strings
        self.caption = strings[200].replace("%s", title)

        self.hwnd = None
        self.pid = None

    def attach(self, seconds: float = 30) -> bool:
        """Finds the dialog itself: the first window with its caption (the boxes that share
        the caption come later), so that later looks reach it behind a box."""
        window = self.probe.find(title=self.caption, wait=int(seconds * 1000))
        if window is None:
            return False
        self.hwnd, self.pid = window["hwnd"], window["pid"]
        return True

    def controls(self, wait=10000) -> Optional[Dict[int, dict]]:
        """The controls of the first window with the caption (a box while one shows)."""
        items = self.probe.controls(title=self.caption, wait=wait)
        return None if items is None else {c["id"]: c for c in items}

    def state(self, wait=10000) -> Optional[dict]:
        """{size, status, bar202, bar203, cancel, pos202, max202} of the dialog (the attached one,
        else the first window with the caption), or None when no dialog shows."""
        if self.hwnd is not None:
            items = self.probe.controls(hwnd=self.hwnd, wait=wait)
            controls = None if items is None else {c["id"]: c for c in items}
        else:
            controls = self.controls(wait)
        if controls is None or STATUS not in controls:
            return None
        window = self.probe.find(hwnd=self.hwnd, wait=0) if self.hwnd else self.probe.find(title=self.caption)
        left, top, right, bottom = window["rect"] if window else (0, 0, 0, 0)
        return {"size": (right - left, bottom - top), "status": controls[STATUS]["text"],
                "bar202": controls[BAR_ALL]["visible"], "bar203": controls[BAR_ENTRY]["visible"],
                "cancel": controls[CANCEL]["text"],
                "pos202": controls[BAR_ALL].get("pos"), "max202": controls[BAR_ALL].get("max")}

    def wait_status(self, string_id: int, seconds: float = 30) -> Optional[dict]:
        """Polls until the status text is string_id's text."""
        want = self.strings[string_id]
        deadline = time.monotonic() + seconds
        state = None
        while time.monotonic() < deadline:
            state = self.state(wait=int(max(0, deadline - time.monotonic()) * 1000))
            if state is not None and state["status"] == want:
                return state
            time.sleep(0.1)
        return None

    def wait_progress(self, seconds: float = 10) -> Optional[dict]:
        """Polls until bar 202 has moved; the last state seen either way."""
        deadline, state = time.monotonic() + seconds, None
        while time.monotonic() < deadline:
            state = self.state()
            if state and state["pos202"]:
                break
        return state

    def wait_box(self, seconds: float = 30) -> Optional[Dict[int, dict]]:
        """The controls of the message box captioned like the dialog, once it shows."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            controls = self.controls(wait=int(max(0, deadline - time.monotonic()) * 1000))
            if controls is not None and BOX_TEXT in controls and STATUS not in controls:
                return controls
            time.sleep(0.1)
        return None

    def click(self, control_id: int) -> bool:
        """Clicks a control of the first window with the caption (a box while one shows)."""
        return self.probe.click(id=control_id, title=self.caption, wait=5000)

    def click_dialog(self, control_id: int) -> bool:
        """Clicks a control of the attached dialog."""
        return self.probe.click(id=control_id, hwnd=self.hwnd, wait=5000)

    def capture(self, name: str) -> Optional[Path]:
        """A screenshot of the first window with the caption, as BMP and PNG artefacts."""
        path = artifact_dir() / f"{name}.bmp"
        shot = self.probe.capture(path, title=self.caption, wait=5000)
        if shot is None:
            return None
        bmp_to_png(path, path.with_suffix(".png"))
        return path

    def gone(self, seconds: float = 15) -> bool:
        return self.probe.wait_gone(title=self.caption, wait=int(seconds * 1000))


def bmp_to_png(source: Path, target: Path):
    """Writes a 24-bit BMP (as the probe captures) as PNG, for viewers that show only PNG."""
    width, height, rows = read_bmp(source)
    raw = b"".join(b"\0" + bytes(v for (b, g, r) in row for v in (r, g, b)) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    target.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) +
                       chunk(b"IEND", b""))


def box_lines(controls: Dict[int, dict]):
    """The message box text as (first line, the rest after the line break)."""
    first, _, rest = controls[BOX_TEXT]["text"].partition("\n")
    return first.rstrip("\r"), rest


def buttons(controls: Dict[int, dict]) -> Dict[int, str]:
    """The visible buttons of a message box: {id: text}."""
    return {i: c["text"] for i, c in controls.items()
            if c["class"].lower() == "button" and c["visible"]}
