"""Every way into both programs, NVPCUpdater and NorvaneLauncher, end to end: the mode the
command line selects, what each mode shows or starts, the log lines that open and close
every run, and exit code 0 whatever happened.

Where the two programs differ (an empty command line, a command line naming both a link
and a link file, a link file past its validity window), one table row per program shows
the difference side by side. Workflows that would run are detectable from outside: the
links use run type 2 (directory lookup at the reference server, then the client stand-in
is started), so "no workflow ran" means no request reached the server and no client start
was recorded. The box texts and captions come from the string table, the own versions
from the programs' version resources."""
import base64
import os
import re
import shutil
import subprocess
import time
import uuid
import zipfile
from pathlib import Path
from typing import List
from urllib.parse import quote

import pytest

from conftest import ROOT, WINE_RUN, LogLine, to_windows_path
from servers import RefServer
from stubs import read_records, wait_for_records
from update_fixture import (BOX_TEXT, LOCALES, LoaderRun, buttons, client_in_program_files,
                            write_update_archive)

UPDATER = "NVPCUpdater.exe"
LAUNCHER = "NorvaneLauncher.exe"
IDYES, IDNO = 6, 7
LIDS = {1033: 9, 1041: 17, 1042: 18}  # the link's LID: the language without its sublanguage
COMPANIES = {"ACME": {"serverip": "10.20.30.40", "checkerversion": "1.0"}}
SQL_COMMAND = 0x026C
SKIN_LINES = [r"hBitmap=[0-9a-f]+ resource_id=205", r"hBitmap=[0-9a-f]+ resource_id=204"]
QUICK = 45  # seconds; a run that waits at a window instead of ending runs into it


def own_version(program: str) -> str:
    """FileVersion of the program's version resource, which a link's VER is compared with."""
    rc = {UPDATER: ROOT / "updater" / "NVPCUpdater.rc", LAUNCHER: ROOT / "launcher" / "NorvaneLauncher.rc"}[program]
    return re.search(r'VALUE "FileVersion", "([^"]+)"', rc.read_text(encoding="utf-8")).group(1)


def now_ms() -> int:
    return int(time.time() * 1000)


def link_for(keys: dict) -> str:
    """A link whose query is the Base64 text of the percent-encoded keys (ENC=1 first)."""
    query = "&".join(["ENC=1"] + [f"{k}={quote(str(v), safe='')}" for k, v in keys.items()])
    return "norvane:?" + base64.b64encode(query.encode("utf-8")).decode("ascii")




@pytest.fixture
def ref_server():
    with RefServer({"companies": COMPANIES}) as server:
        yield server


@pytest.fixture
def client_group(bin_dir):
    with client_in_program_files(bin_dir / UPDATER, "NvpcEntry") as group:
        yield group


def meeting(program, port, group, title="Norvane Meeting", language=1033, **overrides) -> dict:
    """The keys of a link that runs the direct start (lookup, then the client) when the
    program accepts it."""
    now = now_ms()
    keys = {"VER": own_version(program), "LID": LIDS[language], "GRP": group, "PID": "NVPC",
            "CID": "ACME", "CAP": title, "FNM": "client.exe", "DIP": "127.0.0.1", "MSP": port, "DID": "ACME",
            "RTP": 2, "QTP": 0, "QTO": 5000, "LAT": now, "SAT": now, "EAT": 10}
    keys.update(overrides)
    return {k: v for k, v in keys.items() if v is not None}


class ProgramRun(LoaderRun):
    """Either program with any command line, started and not awaited (LoaderRun's waits)."""

    def __init__(self, program: Path, args: List[str], log_file: Path, language=1033, env=None):
        self.log_file = log_file
        locale = LOCALES[language]
        environment = dict(os.environ, LC_ALL=locale, LANG=locale, NVPC_LOG_FILE=to_windows_path(log_file))
        environment.update(env or {})
        self.started = time.monotonic()
        self.proc = subprocess.Popen([str(WINE_RUN), str(program), *args], env=environment,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.fixture
def runs():
    """Starts programs in the background; whatever still runs at the end is stopped."""
    started = []

    def start(program, args, log_file, **kwargs) -> ProgramRun:
        run = ProgramRun(program, args, log_file, **kwargs)
        started.append(run)
        return run

    yield start
    for run in started:
        run.stop()


def run_to_end(runs, bin_dir, program, args, log_file, **kwargs) -> List[LogLine]:
    """Runs the program and waits for it: it must end by itself, with exit code 0 (a
    program that showed a box or a dialog would wait for an answer instead)."""
    run = runs(bin_dir / program, args, log_file, **kwargs)
    assert run.wait_exit(QUICK) == 0, f"{program} {args} did not end by itself with 0"
    return run.log()


def run_body(log: List[LogLine], program: str, command_line: str) -> List[str]:
    """Checks the lines that open and close every run, in order, and returns what the
    selected mode logged between them. The skin loads first, then the sockets; the
    launcher then logs its command line; the sockets go last."""
    texts = [line.text for line in log]
    assert len(texts) >= 4, texts
    assert all(re.fullmatch(p, t) for p, t in zip(SKIN_LINES, texts)), texts[:2]
    assert [line.level for line in log[:2]] == [1, 1]
    assert texts[2] == "CMngrSocket::InitNetwork", texts
    assert texts[-1] == "CMngrSocket::ReleaseNetwork", texts
    body = texts[3:-1]
    if program == LAUNCHER:
        assert body[:1] == [f"_tWinMain : param={command_line}"], texts
        body = body[1:]
    assert not any(t.startswith("_tWinMain") for t in body), "the updater does not log its command line"
    for once in ["CMngrSocket::InitNetwork", "CMngrSocket::ReleaseNetwork"]:
        assert once not in body, f"{once} once per run"
    assert not [t for t in body if t.startswith("hBitmap=")], "the skin loads once per run"
    return body


def workflow_traces(body: List[str]) -> List[str]:
    """Lines that only a running workflow writes: server connections and lookups."""
    return [t for t in body if t.startswith(("Connect() : ", "CMngrSocket::Connect", "GetCompanyServerInfo"))]


# ---------------------------------------------------------------- an empty command line


def test_empty_command_line_runs_nothing_in_the_updater_and_asks_in_the_launcher(
        runs, bin_dir, tmp_path, probe, strings):
    body = run_body(run_to_end(runs, bin_dir, UPDATER, [], tmp_path / "updater.log"), UPDATER, "")
    assert body == []

    # The launcher takes the empty command line for an empty link: no version in it, so the
    # launcher's version question comes up, with the caption of an empty title (none).
    run = runs(bin_dir / LAUNCHER, [], tmp_path / "launcher.log")
    box = probe.find(cls="#32770", title="", wait=20000)
    assert box is not None, "no question box"
    controls = {c["id"]: c for c in probe.controls(hwnd=box["hwnd"])}
    assert controls[BOX_TEXT]["text"] == strings[1033][219]
    assert buttons(controls) == {IDYES: "&Yes", IDNO: "&No"}
    assert run.proc.poll() is None, "the launcher waits for the answer"
    assert probe.click(id=IDNO, hwnd=box["hwnd"])
    assert run.wait_exit(QUICK) == 0
    assert run_body(run.log(), LAUNCHER, "") == []
    assert probe.wait_gone(hwnd=box["hwnd"], wait=5000)


# ---------------------------------------------------------------- switches in lower case


@pytest.mark.parametrize("program", [UPDATER, LAUNCHER])
def test_switches_in_lower_case_select_their_modes(runs, bin_dir, tmp_path, program):
    folder = tmp_path / "installed"
    (folder / "Config").mkdir(parents=True)
    for name in (program, "Logger.dll"):
        shutil.copy2(bin_dir / name, folder / name)
    # Run type 9 runs no workflow: the loader mode ends once the configuration is read.
    config = "[PRODUCT]\r\nPID=P7\r\nCAP=Lower Case\r\nRTP=9\r\n"
    (folder / "Config" / "nvpclient.nvp").write_bytes(b"\xff\xfe" + config.encode("utf-16-le"))
    body = run_body(run_to_end(runs, bin_dir, folder / program, ["/loader"], tmp_path / "loader.log"), program,
                    "/loader")
    assert "SetProductID()=P7" in body and "SetTitle()=Lower Case" in body and "SetRunType()=9" in body
    assert workflow_traces(body) == []

    # "/copyfile": the placement of an unpacked update, from the upgrade folder into the
    # installation folder the switches name.
    upgrade, target = tmp_path / "upgrade", tmp_path / "target"
    (target / "config").mkdir(parents=True)
    archive = write_update_archive(upgrade / "update.zip", "P7", {"hello.txt": b"placed"})
    with zipfile.ZipFile(archive) as z:
        z.extractall(upgrade / "update")
        master = z.read("master_1.xml")
    args = ["/copyfile", "/DNP", to_windows_path(archive), "/MML", "master_1", "/PML", "P7", "/SEP",
            to_windows_path(target)]
    body = run_body(run_to_end(runs, bin_dir, folder / program, args, tmp_path / "copyfile.log"), program,
                    " ".join(args))
    assert (target / "hello.txt").read_bytes() == b"placed"
    assert (target / "config" / "master_1.xml").read_bytes() == master
    assert not archive.exists(), "the placed archive is removed"
    assert not [t for t in body if " : refused " in t], body


# ---------------------------------------------------------------- links that run nothing


def test_command_lines_that_run_no_workflow(runs, bin_dir, tmp_path, ref_server, client_group):
    """A table of command lines, each run by the program named; none may reach the server or
    start the client, and each ends by itself (no box, no dialog)."""
    port = ref_server.port
    record = tmp_path / "client_starts.txt"
    cases = [
        # A command line with both markers: the launcher, which leaves the prefix to the
        # parser, takes the whole line for a link file's path, which does not open (the
        # updater takes such a line for the link: test_updater_links).
        (LAUNCHER, ["Z:\\nowhere\\missing.nvpc", link_for(meeting(LAUNCHER, port, client_group))], []),
        # A path where a name belongs refuses the whole link, silently (the updater's
        # refusals: test_updater_links).
        (LAUNCHER, [link_for(meeting(LAUNCHER, port, client_group, PID="..\\..\\..\\secret"))],
         ["CUriParser::Parse : link refused"]),
        # A direct link without issue time: the updater refuses it; the launcher does not
        # look at the times (that case runs the workflow: see the expired link file below).
        (UPDATER, [link_for(meeting(UPDATER, port, client_group, LAT=None))], ["SetServerAuthTime : "]),
    ]
    for number, (program, args, expected) in enumerate(cases):
        log = run_to_end(runs, bin_dir, program, args, tmp_path / f"case{number}.log",
                         env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
        body = run_body(log, program, " ".join(args))
        for prefix in expected:
            assert [t for t in body if t.startswith(prefix)], f"case {number}: no {prefix!r} in {body}"
        if not expected:
            assert not [t for t in body if t.startswith("Set")], f"case {number}: nothing is decoded: {body}"
        assert workflow_traces(body) == [], f"case {number}"
    time.sleep(1)  # a started client would have written its record by now
    assert ref_server.requests() == [], "no request reaches the server"
    assert read_records(record) == [], "no client is started"


# ---------------------------------------------------------------- another launcher version


@pytest.mark.parametrize("program,language,answer", [
    (UPDATER, 1033, IDNO), (UPDATER, 1042, IDYES), (LAUNCHER, 1041, IDNO), (LAUNCHER, 1033, IDYES)])
def test_another_launcher_version_asks_and_never_runs_the_workflow(
        runs, bin_dir, tmp_path, probe, strings, ref_server, client_group, program, language, answer):
    record = tmp_path / "client_starts.txt"
    title = f"Entry {uuid.uuid4().hex[:8]}"
    caption = strings[language][200].replace("%s", title)
    # An address the web popup refuses to open: were the popup asked for it, it would say
    # so in the log, and no browser is left running in the shared prefix.
    update_url = "file:///C:/windows/system32/winver.exe"
    link = link_for(meeting(program, ref_server.port, client_group, title=title, language=language,
                            VER="9.9.9.9", UDU=update_url))
    run = runs(bin_dir / program, [link], tmp_path / "run.log", language=language,
               env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
    box = probe.find(title=caption, wait=20000)
    assert box is not None, f"no box captioned {caption!r}"
    controls = {c["id"]: c for c in probe.controls(hwnd=box["hwnd"])}
    assert controls[BOX_TEXT]["text"] == strings[language][219]
    assert set(buttons(controls)) == {IDYES, IDNO}
    assert probe.click(id=answer, hwnd=box["hwnd"])
    assert run.wait_exit(QUICK) == 0
    body = run_body(run.log(), program, link)
    assert "SetVersion : 9.9.9.9" in body and f"SetUpdateURL : {update_url}" in body
    assert workflow_traces(body) == []
    popup = [t for t in body if t.startswith("CWebPopupBrowser::")]
    if answer == IDNO:
        assert popup == [], "No opens nothing"
    else:
        # Until the popup is wired in, Yes ends the run like No.
        assert popup in ([], [f"CWebPopupBrowser::Open : refused {update_url}"]), popup
    time.sleep(1)
    assert ref_server.requests() == [], "the workflow did not run"
    assert read_records(record) == [], "no client is started"
    assert probe.wait_gone(hwnd=box["hwnd"], wait=5000)


# ---------------------------------------------------------------- the validity window


@pytest.mark.parametrize("program", [UPDATER, LAUNCHER])
def test_an_expired_link_file_runs_in_the_launcher_only(runs, bin_dir, tmp_path, ref_server, client_group, program):
    """Issued a day ago, ten minutes of validity, written half a minute after issue: the
    updater refuses the link file silently, the launcher does not look at the times and
    runs the direct start."""
    record = tmp_path / "client_starts.txt"
    issued = now_ms() - 24 * 3600 * 1000
    keys = meeting(program, ref_server.port, client_group, LAT=issued, SAT=issued, EAT=10)
    path = tmp_path / "meeting.nvpc"
    path.write_bytes(link_for(keys).encode("ascii") + b"\r\n")
    os.utime(path, (issued / 1000 + 30, issued / 1000 + 30))
    log = run_to_end(runs, bin_dir, program, [to_windows_path(path)], tmp_path / "run.log",
                     env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
    body = run_body(log, program, to_windows_path(path))
    assert f"SetLocalAuthTime : {issued}" in body and "SetExpireAuthTime : 10" in body
    if program == UPDATER:
        assert workflow_traces(body) == []
        time.sleep(1)
        assert ref_server.requests() == [] and read_records(record) == []
        return
    assert f"Connect() : 127.0.0.1:{ref_server.port}" in body
    assert "GetCompanyServerInfo SendPacket : 0=10.20.30.40" in body
    starts = wait_for_records(record)
    assert [r["command"] for r in ref_server.requests()] == [SQL_COMMAND]
    assert len(starts) == 1
    assert starts[0]["args"].startswith('/LID:1033 /PID:"NVPC" /CID:"ACME" /PTP:0 /CAP:"Norvane Meeting" ')
    assert starts[0]["args"].endswith("/SIP:10.20.30.40 ")
