"""The loader control as pages meet it: NVPCUpdater.exe registered as its COM server, driven
from another process by tools/axhost (AxHost.exe) as a page's script would, and watched
through the registry, the server's log and the window probe."""
import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import WINE_RUN, parse_log, run_captured, to_windows_path
from update_fixture import (BOX_TEXT, CLIENT, GROUP, IDOK, ClientInstall, UpdateSite, load_strings,
                            manifest, master_name, prefix_for, unique_product_id, write_update_archive)
from stubs import read_records
from winprobe import WinProbe

CLSID = "{CD557F65-9851-450C-AFF2-5082E41A5C82}"
LIBID = "{763B5762-15B6-4106-95B7-EF60176E4356}"
IID_LOADER = "{052457A4-9AE5-45DD-BDBA-455616B40E7F}"
MACHINE = "HKLM\\Software\\Classes"
USER = "HKCU\\Software\\Classes"
PROGIDS = ("NVPCUpdater.NVPCLoader", "NVPCUpdater.NVPCLoader.16")


def wine(*args, env=None, timeout=120):
    environment = dict(os.environ, **(env or {}))
    return run_captured([WINE_RUN, *args], env=environment, timeout=timeout)


def reg_tree(key):
    """Every key and value under key as 'relative path|name|data' ('relative path' alone for
    a key); None when the key does not exist."""
    proc = wine("reg", "query", key, "/s")
    if proc.returncode != 0:
        return None
    out, current = set(), None
    for line in proc.stdout.decode("utf-8", "replace").splitlines():
        line = line.rstrip("\r")
        if line.upper().startswith("HKEY_"):
            full = line.split("\\", 1)[1] if "\\" in line else ""
            base = key.split("\\", 1)[1]
            current = full[len(base):].lstrip("\\") if full.lower().startswith(base.lower()) else full
            if current:
                out.add(current)
        elif line.strip() and current is not None:
            match = re.match(r"^\s{4}(.*?)\s{4}(REG_\w+)\s{4}(.*)$", line) or re.match(r"^\s{4}(.*?)\s{4}(REG_\w+)$", line)
            if match:
                name = "" if match.group(1) == "(Default)" else match.group(1)
                data = match.group(3) if match.lastindex >= 3 else ""
                out.add(f"{current}|{name}|{data}")
    return out


@pytest.fixture
def server(tmp_path, bin_dir):
    """A copy of the updater (with the Logger library) as the control's server; it writes
    its log beside itself, since COM starts it without the test's environment."""
    folder = tmp_path / "server"
    folder.mkdir()
    for name in ("NVPCUpdater.exe", "Logger.dll"):
        shutil.copy2(bin_dir / name, folder / name)
    return folder / "NVPCUpdater.exe"


def register(program, switch="/RegServer"):
    return wine(program, switch).returncode


@pytest.fixture
def registered(server):
    assert register(server) == 0
    yield server
    register(server, "/UnregServer")


def axhost(bin_dir, tmp_path, lines, background=False, env=None):
    """Runs AxHost with a script of lines; its JSON answers (or the running process). COM
    starts the server from AxHost's process, so the server sees env too."""
    script = tmp_path / f"axhost_{time.monotonic_ns()}.txt"
    script.write_text("\n".join(lines) + "\n", encoding="utf-8")
    command = [str(WINE_RUN), str(bin_dir / "AxHost.exe"), to_windows_path(script)]
    environment = dict(os.environ, **(env or {}))
    if background:
        # Answers go to a file: a pipe would stay open in Wine's desktop process (run_captured).
        with open(script.with_suffix(".out"), "wb") as out:
            host = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL, env=environment)
        host.answers = script.with_suffix(".out")
        return host
    proc = run_captured(command, timeout=180, env=environment)
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.decode().splitlines() if line.startswith("{")]


def server_running(program) -> bool:
    """Whether COM's copy of program runs: the process list shows the command line COM
    started it with, the Windows path of the registered module."""
    out = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
    path = to_windows_path(program).lower()
    return any(line.lower().startswith(path) for line in out.splitlines())


def wait_until(test, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if test():
            return True
        time.sleep(0.05)
    return test()


def test_registration_switches_write_and_remove_exactly_the_control_keys(server):
    module = to_windows_path(server)
    expected_class = {
        "||NVPCLoader Class", "ProgID", "ProgID||NVPCUpdater.NVPCLoader.16", "VersionIndependentProgID",
        "VersionIndependentProgID||NVPCUpdater.NVPCLoader", "Programmable", "LocalServer32",
        f'LocalServer32||"{module}"', f"LocalServer32|ServerExecutable|{module}", "Control", "ToolboxBitmap32",
        f'ToolboxBitmap32||"{module}", 106', "MiscStatus", "MiscStatus||0", "MiscStatus\\1", "MiscStatus\\1||131473",
        "TypeLib", f"TypeLib||{LIBID}", "Version", "Version||1.0.2.9"}
    for switch in ("/RegServer", "/regserver"):
        assert register(server, switch) == 0, switch
        assert reg_tree(f"{MACHINE}\\CLSID\\{CLSID}") == expected_class
        assert reg_tree(f"{MACHINE}\\NVPCUpdater.NVPCLoader") == {
            "||NVPCLoader Class", "CurVer", "CurVer||NVPCUpdater.NVPCLoader.16"}
        typelib = reg_tree(f"{MACHINE}\\TypeLib\\{LIBID}\\1.0")
        assert typelib is not None and any(k.startswith("409\\win") for k in typelib)
        assert any(k.startswith("0\\win") for k in typelib), "found for the neutral locale too"
        assert reg_tree(f"{USER}\\CLSID\\{CLSID}") is None, "per machine only"

    assert register(server, "/UnregServer") == 0
    assert reg_tree(f"{MACHINE}\\CLSID\\{CLSID}") is None
    assert all(reg_tree(f"{MACHINE}\\{p}") is None for p in PROGIDS)
    assert reg_tree(f"{MACHINE}\\CLSID") is not None, "the CLSID root stays"
    assert reg_tree(f"{MACHINE}\\TypeLib\\{LIBID}") is None

    try:
        assert register(server, "-RegServerPerUser") == 0
        assert reg_tree(f"{USER}\\CLSID\\{CLSID}") == expected_class
        assert reg_tree(f"{MACHINE}\\CLSID\\{CLSID}") is None, "nothing per machine"
    finally:
        assert register(server, "-UnregServerPerUser") == 0
    assert reg_tree(f"{USER}\\CLSID\\{CLSID}") is None
    assert all(reg_tree(f"{USER}\\{p}") is None for p in PROGIDS)


def test_a_page_drives_the_control_in_the_server_process(registered, bin_dir, tmp_path):
    before = reg_tree(f"{MACHINE}\\CLSID\\{CLSID}")
    results = axhost(bin_dir, tmp_path, [
        "create", f"qi {IID_LOADER}", "sink", "sink",
        "call SetTitle bstr:Norvane Meeting", "call SetMSPort ui2:7001", "call SetTimeOut ui4:0",
        "call SetPrimaryLangID i2:17", "call GetCurVer", "events",
        "call SetRunType ui4:7", "call RunEx bstr:/X:1", "call GetValidObject", "release"])
    by = {(r["cmd"], r.get("name")): r for r in results}
    assert by[("create", None)]["hr"] == "0x00000000"
    assert by[("qi", None)]["hr"] == "0x00000000", "the dual interface across processes"
    assert [r["hr"] for r in results if r["cmd"] == "sink"] == ["0x00000000"] * 2
    version = by[("call", "GetCurVer")]
    assert version["hr"] == "0x00000000" and version["result"]["vt"] == 19  # VT_UI4
    assert by[("events", None)]["calls"] == [1, 1], "OnFinalUpdater on both sinks before GetCurVer returned"
    assert by[("call", "SetTitle")]["dispid"] == 3 and by[("call", "RunEx")]["dispid"] == 25
    assert by[("call", "GetValidObject")]["result"] == {"vt": 0}
    # Run type 7 runs nothing and answers the proxy step's status: the component is not
    # registered here, so its creation failure comes back (through IDispatch, as the
    # method's exception code).
    assert by[("call", "RunEx")]["scode"] == "0x80040154"
    released = time.monotonic()
    assert wait_until(lambda: not server_running(registered), 10), "the server ends after the last release"
    assert time.monotonic() - released < 5
    texts = [line.text for line in parse_log(registered.with_suffix(".log"))]
    for line in ("SetTitle : title=Norvane Meeting", "SetMSPort : port=7001", "SetTimeOut : time=0",
                 "SetPrimaryLangID : primary=17", ">>>>>> RunEx : option=/X:1"):
        assert line in texts, line
    assert reg_tree(f"{MACHINE}\\CLSID\\{CLSID}") == before, "serving leaves the registry alone"


def test_run_modes_open_one_modeless_dialog_and_refuse_the_rest(registered, bin_dir, tmp_path):
    strings = load_strings()[1033]
    probe = WinProbe(bin_dir)
    caption = strings[200].replace("%s", "Ctl Test")
    host = axhost(bin_dir, tmp_path, [
        "create", "call SetTitle bstr:Ctl Test", "call SetDNSHost bstr:127.0.0.1", "call SetMSPort ui2:9",
        "call SetRunType ui4:0", "call RunEx bstr:", "call RunEx bstr:", "pump 500", "release"], background=True)
    try:
        dialog = probe.find(title=caption, wait=30000)
        assert dialog is not None, "the update dialog opens modeless in the server"
        # The second RunEx is refused with string 211 in a box captioned CaptionText.
        deadline = time.monotonic() + 30
        box = None
        while time.monotonic() < deadline and box is None:
            for item in probe.controls(cls="#32770", pid=dialog["pid"], wait=0) or []:
                if item["id"] == BOX_TEXT and item["text"] == strings[211]:
                    box = item
            time.sleep(0.1)
        assert box is not None, "message 211"
        # The boxes share the dialog's caption: this one, and the dialog's own failure box
        # (no directory server here). Both are answered until the page's calls return.
        assert wait_until(lambda: probe.click(id=IDOK, title=caption, wait=500) and False or host.poll() is not None,
                          120)
        host.wait(timeout=120)
        out = host.answers.read_text()
        # Both calls succeed as far as a script sees (the refusal's S_FALSE is a success
        # code, which IDispatch does not pass on); the refusal is the box above.
        assert out.count('"name":"RunEx","dispid":25,"hr":"0x00000000"') == 2
        assert probe.wait_gone(title=caption, wait=15000), "released: the dialog goes with the control"
    finally:
        # A failed check must not leave the host behind: answer whatever box is still up so the
        # page's calls return and the host releases the control on its own. Killing the host
        # would leave a server holding the class registration, and every later activation in
        # this session would fail (the same holds for killing a server).
        wait_until(lambda: probe.click(id=IDOK, title=caption, wait=500) and False or host.poll() is not None, 120)
        if host.poll() is None:
            host.kill()
    assert wait_until(lambda: not server_running(registered), 15)


def test_a_whole_update_through_the_control(registered, bin_dir, tmp_path, nginx):
    """A page sets everything, RunEx with run type 0: installer, update path, client."""
    pid = unique_product_id("CT")
    stub = ClientInstall(tmp_path / "c", bin_dir, pid, "Ctl Update")
    site = UpdateSite(nginx, {pid: {"setup_url": f"/setup/{pid}/NvpcSetup.exe",
                                    "update_url": f"/update/{pid}/update.zip"}})
    group = f"{GROUP}Ctl"
    assert wait_until(lambda: not server_running(registered), 15)
    program_files = prefix_for(registered) / "drive_c" / "Program Files" / group
    try:
        site.put(f"/setup/{pid}/NvpcSetup.exe", (bin_dir / "InstallerStub.exe").read_bytes())
        archive = write_update_archive(tmp_path / "update.zip", pid, {CLIENT: (bin_dir / "ClientStub.exe").read_bytes()})
        site.put(f"/update/{pid}/update.zip", archive.read_bytes())
        payload = tmp_path / "payload"
        (payload / "config").mkdir(parents=True)
        shutil.copy2(bin_dir / "ClientStub.exe", payload / CLIENT)
        (payload / "config" / f"{master_name()}.xml").write_text(manifest("1.0.0.1"))
        (payload / "config" / f"{pid}.xml").write_text(manifest("1.0.0.1"))
        record = tmp_path / "client.txt"
        env = {"NVPC_CLIENT_RECORD": to_windows_path(record), "NVPC_INSTALLER_PAYLOAD": to_windows_path(payload),
               "NVPC_INSTALLER_TARGET": f"C:\\Program Files\\{group}\\{pid}"}
        caption = load_strings()[1033][200].replace("%s", "Ctl Update")
        results = axhost(bin_dir, tmp_path, [
            "create", "call SetTitle bstr:Ctl Update", f"call SetGroup bstr:{group}", "call SetCompanyCode bstr:ACME",
            f"call SetProductID bstr:{pid}", f"call SetFileName bstr:{CLIENT}", "call SetProductType ui2:1",
            "call SetUpgradeHost bstr:127.0.0.1", "call SetDNSHost bstr:127.0.0.1", "call SetDNSCode bstr:ACME",
            f"call SetMSPort ui2:{site.port}", f"call SetUpPort ui2:{site.port}", f"call SetWSPort ui2:{nginx.port}",
            "call SetTimeOut ui4:5000", "call SetRunType ui4:0", "call RunEx bstr:/Z:1",
            f"waitwindow 90000 {caption}", "release"], env=env)
        assert {"cmd": "waitwindow", "seen": True, "gone": True} in results
        starts = read_records(record)
        assert len(starts) == 1, "the client was started once"
        assert f' /PID:"{pid}" /CID:"ACME" /PTP:1 /CAP:"Ctl Update" /GRP:"{group}" ' in starts[0]["args"]
        assert starts[0]["args"].endswith("/SIP:10.20.30.40 /Z:1 ")
        installed = program_files / pid
        assert (installed / CLIENT).exists() and (installed / "config" / f"{pid}.xml").exists()
        texts = [line.text for line in parse_log(registered.with_suffix(".log"))]
        assert ">>>>>> RunEx : Setup_Update_Run" in texts
        assert "checkCompleteVersion product : szNewVer=1.0.0.2" in texts
    finally:
        site.stop()
        stub.cleanup()
        shutil.rmtree(program_files, ignore_errors=True)


def test_released_mid_step_and_fifty_cycles_leave_the_server_clean(registered, bin_dir, tmp_path):
    """A page that goes away while its dialog waits in a box, then fifty pages that open a
    dialog and go away: the server keeps running (one control is kept alive throughout),
    holds no more handles, threads or window objects than after the first, and ends."""
    page = ["call SetTitle bstr:Ctl Cycle", "call SetDNSHost bstr:127.0.0.1", "call SetMSPort ui2:9",
            "call SetRunType ui4:0", "call RunEx bstr:"]
    lines = ["create", "keep",
             # No directory server: the dialog's failure box is open when the page goes.
             "create", *page, "pump 2500", "release", "pump 500", "stats NVPCUpdater.exe"]
    for cycle in range(50):
        lines += ["create", *page, "release"]
        if cycle == 0:
            lines.append("stats NVPCUpdater.exe")
    lines += ["pump 500", "stats NVPCUpdater.exe"]
    # RunEx asks the proxy settings component first. This platform's COM keeps a few
    # handles on every failed activation of an unregistered class (measured: the same
    # growth with run type 7, which only asks the component), so the component is
    # registered here to measure the server's own work.
    component = to_windows_path(bin_dir / "NvpcProxySettings.dll")
    assert wine("regsvr32", "/s", component).returncode == 0
    try:
        results = axhost(bin_dir, tmp_path, lines, env={"NVPC_PROXY_SETTINGS_FILE": to_windows_path(
            tmp_path / "proxy.ini")})
    finally:
        wine("regsvr32", "/s", "/u", component)
    stats = [r for r in results if r["cmd"] == "stats"]
    assert len(stats) == 3 and all(s["pid"] for s in stats), stats
    after_step, first, last = stats
    figures = (f"server after a release mid-step: {after_step}\n"
               f"after the first create-run-release: {first}\nafter the fiftieth: {last}\n")
    out = Path(os.environ.get("NVPC_ARTIFACT_DIR", Path(__file__).resolve().parents[2] / "build" / "artifacts"))
    out.mkdir(parents=True, exist_ok=True)
    (out / "control_cycles.txt").write_text(figures)
    # This platform's process list gives the size of the handle table (it grows in steps,
    # so fifty leaked handles would show) and the thread count; GDI objects are the used
    # entries of the server's GDI handle table, USER objects its windows.
    assert all(first[k] > 0 for k in ("handles", "threads", "gdi", "user")), figures
    assert last["handles"] <= first["handles"] and last["threads"] <= first["threads"] + 1, figures
    assert last["gdi"] <= first["gdi"] and last["user"] <= first["user"], figures
    assert [r["hr"] for r in results if r.get("name") == "RunEx"] == ["0x00000000"] * 51
    assert wait_until(lambda: not server_running(registered), 15), "the server ends with the last control"
    texts = [line.text for line in parse_log(registered.with_suffix(".log"))]
    assert texts.count("FinalRelease") == 52
    assert texts.count("CLoaderRunModes : a dialog still in a step is left to the process") == 1, "the box one"
    assert texts[-1] == "CMngrSocket::ReleaseNetwork", "a clean end, no crash"


@pytest.mark.parametrize("run_type,language,held,expect", [
    # (run type, SetPrimaryLangID, client mutex held, what the page's user meets)
    (1, 17, False, {"window": (1041, 217), "box": (1041, 210), "log": ">>>>>> RunEx : Once_Setup_Run"}),
    (3, 18, False, {"window": (1042, 217), "box": (1042, 210), "log": ">>>>>> RunEx : Setup_Ex_Run"}),
    (4, 9, False, {"window": (1033, 200), "box": (1033, 210), "log": ">>>>>> RunEx : Just_Update"}),
    (0, 9, True, {"box": (1033, 213), "log": ">>>>>> RunEx : Setup_Update_Run"}),
    (2, 17, False, {"box": (1041, 215), "log": "CNVPCLoader::Only_Run"}),
])
def test_each_run_type_through_the_host(registered, bin_dir, tmp_path, run_type, language, held, expect):
    """Each run type opens its own dialog in the language set before it (or refuses with its
    box); the option is kept even when the run is refused. No server answers, so every
    dialog ends in its failure box, which the test answers."""
    strings = load_strings()
    title = f"Rt{run_type} {time.monotonic_ns() % 100000}"
    holder = None
    if held:
        record = tmp_path / "holder.txt"
        holder = subprocess.Popen([str(WINE_RUN), str(bin_dir / "ClientStub.exe")], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=dict(os.environ, NVPC_CLIENT_HOLD_MS="60000",
                                                                      NVPC_CLIENT_RECORD=to_windows_path(record)))
        assert wait_until(lambda: bool(read_records(record)), 60), "the client holds its mutex"
    probe = WinProbe(bin_dir)
    dialog = strings[expect["window"][0]][expect["window"][1]].replace("%s", title) if "window" in expect else None
    # A dialog runs on the host's calls until it has gone; a refusal's box shows inside RunEx.
    host = axhost(bin_dir, tmp_path, [
        "create", f"call SetPrimaryLangID i2:{language}", f"call SetTitle bstr:{title}",
        f"call SetGroup bstr:{GROUP}Missing{run_type}", f"call SetFileName bstr:{CLIENT}",
        "call SetDNSHost bstr:127.0.0.1", "call SetMSPort ui2:9", "call SetTimeOut ui4:3000",
        f"call SetRunType ui4:{run_type}", f"call RunEx bstr:/Opt:{run_type}",
        f"waitwindow 60000 {dialog}" if dialog else "pump 300", "release"], background=True)
    try:
        box_caption = strings[expect["box"][0]][200].replace("%s", title)
        if dialog:
            assert probe.find(title=dialog, wait=30000) is not None, "the run type's dialog, in its language"
        box_text = strings[expect["box"][0]][expect["box"][1]].replace("%s", title)
        seen = None
        deadline = time.monotonic() + 60
        while seen is None and time.monotonic() < deadline:
            box = probe.find(title=box_caption, cls="#32770", wait=2000)
            for item in (probe.controls(hwnd=box["hwnd"], wait=0) or []) if box else []:
                if item["id"] == BOX_TEXT and item["text"].startswith(box_text):
                    seen = item["text"]
        assert seen is not None, f"the box {expect['box']}"
        assert wait_until(lambda: probe.click(id=IDOK, title=box_caption, wait=500) and False or host.poll() is not None,
                          120)
        assert host.wait(timeout=60) == 0
    finally:
        if host.poll() is None:
            host.kill()
        if holder is not None:
            holder.kill()
    assert wait_until(lambda: not server_running(registered), 15), "the server ends with the control"
    texts = [line.text for line in parse_log(registered.with_suffix(".log"))]
    assert f">>>>>> RunEx : option=/Opt:{run_type}" in texts
    assert expect["log"] in texts
    assert ("CreateSetupDlg" in texts) == (run_type in (1, 3))
    assert texts[-1] == "CMngrSocket::ReleaseNetwork"


def test_a_page_embeds_the_control_in_its_window_across_processes(registered, bin_dir, tmp_path):
    """The host embeds the control in a window of its own as a page does: the control's
    window is a visible child of it, owned by the server, where the host put it; taking it
    out (unembed, or release alone) leaves no window behind, and the server ends."""
    from winprobe import read_bmp
    S_OK = "0x00000000"
    host_colour, black, white = (0xA0, 0x60, 0x20), (0, 0, 0), (255, 255, 255)  # (b, g, r)
    first, second = (20, 30, 160, 90), (8, 12, 40, 24)
    cue = tmp_path / "captured"
    host = axhost(bin_dir, tmp_path, [
        "create", "embed {} {} {} {}".format(*first), f"waitfile 60000 {to_windows_path(cue)}", "unembed",
        # UI activation this time, and no unembed: release takes it out.
        "embed {} {} {} {} ui".format(*second), "release"], background=True)
    probe = WinProbe(bin_dir)
    try:
        assert wait_until(lambda: '"cmd":"embed"' in host.answers.read_text(), 60), host.answers.read_text()
        embed = next(json.loads(line) for line in host.answers.read_text().splitlines() if '"cmd":"embed"' in line)
        assert embed["hr"] == S_OK and set(embed["steps"].values()) <= {S_OK, "0x00000001"}, embed
        assert embed["window_from"] == "IOleInPlaceObject", "the in-place object crosses"
        # The control asked its site for its window and context across the boundary.
        called = ("CanInPlaceActivate", "OnInPlaceActivate", "GetWindowContext", "GetWindow")
        assert [name for name in called if not embed["site"].get(name)] == [], embed["site"]
        x, y, w, h = first
        assert embed["parent"] == embed["host"] and embed["visible"], embed
        assert embed["rect"] == [x, y, x + w, y + h], embed
        assert embed["pid"] != embed["host_pid"] and embed["module"].lower() == to_windows_path(registered).lower()
        # Seen from a third process: a visible window of the server's, where the host put it.
        seen = probe.find(hwnd=embed["window"], wait=5000)
        assert seen is not None and seen["pid"] == embed["pid"] and seen["class"] == "NVPCLoaderWindow", seen
        left, top = embed["host_rect"][:2]
        assert seen["rect"] == [left + x, top + y, left + x + w, top + y + h], seen
        shot = probe.capture(tmp_path / "embedded.bmp", hwnd=embed["host"])
        assert shot is not None
        width, height, rows = read_bmp(tmp_path / "embedded.bmp")
        cue.write_text("go")
        assert host.wait(timeout=120) == 0
    finally:
        if host.poll() is None:
            cue.write_text("go")
            host.wait(timeout=120)
    answers = [json.loads(line) for line in host.answers.read_text().splitlines() if line.startswith("{")]
    by = {r["cmd"]: r for r in answers}
    unembed, again, release = by["unembed"], [r for r in answers if r["cmd"] == "embed"][1], by["release"]
    assert unembed["steps"] == {"inplacedeactivate": S_OK, "close": S_OK, "setclientsite": S_OK}, unembed
    assert unembed["window_gone"] and unembed["site"].get("OnInPlaceDeactivate") == 1, unembed
    x2, y2, w2, h2 = second
    assert again["hr"] == S_OK and again["rect"] == [x2, y2, x2 + w2, y2 + h2] and again["window"] != embed["window"]
    assert again["active_object"] and again["site"].get("OnUIActivate") == 1, "the frame got the active object"
    undone = release.get("unembed")
    assert undone and undone["window_gone"] and set(undone["steps"].values()) == {S_OK}, release
    assert undone["site"].get("SetActiveObject") == 2 and undone["site"].get("OnUIDeactivate") == 1, undone
    for window in (embed["window"], again["window"], embed["host"], again["host"]):
        assert probe.wait_gone(hwnd=window, wait=5000), window
    assert wait_until(lambda: not server_running(registered), 15), "the server ends with the control"
    texts = [line.text for line in parse_log(registered.with_suffix(".log"))]
    assert texts.count("FinalRelease") == 1 and texts[-1] == "CMngrSocket::ReleaseNetwork"

    # The pixels: the host's colour around the control, and in its rectangle what its
    # WM_PAINT draws (one rectangle with the default black pen and white brush).
    assert (width, height) == (embed["host_rect"][2] - left, embed["host_rect"][3] - top)
    outside = [rows[1][1], rows[height - 2][width - 2], rows[y + h // 2][x - 2], rows[y - 2][x + w // 2],
               rows[y + h + 1][x + w // 2], rows[y + h // 2][x + w + 1]]
    assert outside == [host_colour] * len(outside), outside
    inside = {"edges": [rows[y][x + w // 2], rows[y + h - 1][x + w // 2], rows[y + h // 2][x], rows[y + h // 2][x + w - 1]],
              "middle": [rows[y + h // 2][x + w // 2], rows[y + 2][x + 2], rows[y + h - 3][x + w - 3]]}
    if inside == {"edges": [host_colour] * 4, "middle": [host_colour] * 3}:
        # Wine 8 gives the server's paint DC for a child of another process's window no
        # X drawable, so its drawing never reaches the screen; everything else above holds.
        pytest.xfail("this platform does not show what another process paints in a child window")
    assert inside == {"edges": [black] * 4, "middle": [white] * 3}, inside
