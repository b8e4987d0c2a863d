"""The two setup dialogs end to end: "/Loader" with run type 1 (CNVPCSetupDlg) and run type 3
(CNVPCSetupExDlg). An installed client is started without any setup (the extended dialog still
asks the upgrade server and runs the installer it names); a missing client is installed
through the downloaded installer and started; an unreachable upgrade server starts the client
instead of failing; the failure boxes put the code right after the text (the directory
failures after a line break); a failed installer and Cancel end the dialog quietly; the
credentials prompt of the download has the dialog as owner, so its retry works.

Scenarios that need no hand run side by side, each with its own installation and servers, to
keep the module short. Screenshots go to update_fixture.artifact_dir() as setup_*.
"""
import os
import re
import subprocess
import time

from conftest import WINE_RUN, to_windows_path
from stubs import read_records, wait_for_records
# web and world are fixtures.
from test_update_dialog import (CMD_QUERY_SQL, CMD_MASTER_XML, CMD_PRODUCT_XML, CMD_SETUP_URL,  # noqa: F401
                                World, _cancel_and_measure, assert_state, object_name, order_of, shot, web, world)
from update_fixture import (BOX_TEXT, IDCANCEL, IDOK, IDRETRY, LOCALES, ClientInstall, DialogView, LoaderRun,
                            artifact_dir, bmp_to_png, box_lines, buttons, closed_port, stamp_ms, unique_product_id)

CMD_SETUP_EX_URL = 0x07D6
SUB_REFUSED, SUB_USE_SETUP = 3, 5
SETUP, SETUP_EX = "1", "3"  # run types
CLASS = {SETUP: "CNVPCSetupDlg", SETUP_EX: "CNVPCSetupExDlg"}
AUTH_PROMPT = "Authentication Required"  # Wine's credentials dialog


class SetupView(DialogView):
    """A setup dialog: captioned with string 217 and the title. Its boxes keep CaptionText
    (string 200 with the title): see boxes()."""

    def __init__(self, probe, title, strings):
        super().__init__(probe, title, strings)
        self.caption = strings[217].replace("%s", title)
        self.title = title

    def boxes(self) -> DialogView:
        return DialogView(self.probe, self.title, self.strings)


class TracedRun(LoaderRun):
    """A "/Loader" run whose window texts Wine traces (its "win" channel, on standard error),
    for states too short to be looked at: the setup dialogs show string 216 only for the
    moment between the client's start and their end. Not for runs the window probe looks
    at: a probe started beside a traced run that brought up the session's desktop process
    hung until the run ended."""

    TEXT = re.compile(r':trace:win:set_window_text L"(.*)"$')

    def __init__(self, client: ClientInstall, log_file, env=None):
        self.log_file = log_file
        self.trace_file = log_file.with_suffix(".trace")
        locale = LOCALES[client.language]
        environment = dict(os.environ, LC_ALL=locale, LANG=locale, NVPC_LOG_FILE=to_windows_path(log_file),
                           WINEDEBUG="trace+win", NVPC_CLIENT_RECORD=to_windows_path(client.client_record),
                           NVPC_INSTALLER_RECORD=to_windows_path(client.installer_record))
        environment.update(env or {})
        self.started = time.monotonic()
        with open(self.trace_file, "wb") as trace:
            self.proc = subprocess.Popen([str(WINE_RUN), str(client.updater), "/Loader"], env=environment,
                                         stdout=subprocess.DEVNULL, stderr=trace)

    def window_texts(self):
        """Every text a window of the run was given, in order (Wine's escapes undone)."""
        escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
        texts = []
        for line in self.trace_file.read_bytes().decode("utf-8", errors="replace").splitlines():
            match = self.TEXT.search(line)
            if match:
                texts.append(re.sub(r"\\([0-9a-f]{4}|.)",
                                    lambda m: chr(int(m.group(1), 16)) if len(m.group(1)) == 4 else
                                    escapes.get(m.group(1), m.group(1)), match.group(1)))
        return texts

    def statuses(self, lang, title):
        """The status strings (ids 201 to 209 and 216) the dialog showed, repeats merged."""
        known = {lang[i]: i for i in range(201, 209)}
        known[lang[209].replace("%s", title)] = 209
        known[lang[216].replace("%s", title)] = 216
        shown = [known[t] for t in self.window_texts() if t in known]
        return [s for i, s in enumerate(shown) if i == 0 or shown[i - 1] != s]


def traced(world: World, client: ClientInstall, log_file, env=None) -> TracedRun:
    run = TracedRun(client, log_file, env)
    world.runs.append(run)
    return run


def setup_client(world: World, tag: str, language=1033) -> ClientInstall:
    """An installation in a folder of its own, so that scenarios can run side by side."""
    folder = world.tmp_path / tag
    folder.mkdir()
    client = ClientInstall(folder, world.bin_dir, unique_product_id(tag), None, language)
    world.clients.append(client)
    return client


def serve_installer(world, site, client, url, padded_to=0, data=None):
    """The installer stand-in (or data) at url (without /slow/), padded to a size."""
    body = data if data is not None else (world.bin_dir / "InstallerStub.exe").read_bytes()
    if padded_to > len(body):
        body += b"\0" * (padded_to - len(body))
    site.put(url.replace("/slow", "", 1), body)


def installer_env(world, client, gate=None, exit_code=None):
    env = {"NVPC_INSTALLER_PAYLOAD": to_windows_path(client.installer_payload()),
           "NVPC_INSTALLER_TARGET": to_windows_path(client.install_folder)}
    if gate is not None:
        world.gates.append(gate)
        env["NVPC_INSTALLER_GATE"] = to_windows_path(gate)
    if exit_code is not None:
        env["NVPC_INSTALLER_EXIT"] = str(exit_code)
    return env


def attach(view: "SetupView", run, class_name: str) -> bool:
    """Finds the dialog once its workflow has begun: a probe started at the same moment as a
    (traced) program that brought up the session's desktop process was seen to hang."""
    return run.wait_log(f"{class_name}::initInfo", 45) is not None and view.attach(30)


def client_started_once(client):
    starts = client.client_starts()
    assert len(starts) == 1, starts
    assert starts[0]["args"] == client.expected_client_args()


# ---------------------------------------------------------------------------- no setup needed


def test_installed_client_or_silent_upgrade_server_starts_the_client(world, strings, tmp_path):
    """Four runs side by side, none of which may show a box (nobody would answer it):
    installed + CNVPCSetupDlg, installed + CNVPCSetupExDlg (installer anyway), and an
    upgrade server that does not answer for each dialog."""
    cases = {}

    # CNVPCSetupDlg, installed: straight to the client; the setup URL is there but not asked.
    c = setup_client(world, "SI")
    site = world.site({c.product_id: {"setup_url": f"/setup/{c.product_id}/NvpcSetup.exe"}})
    serve_installer(world, site, c, f"/setup/{c.product_id}/NvpcSetup.exe")
    c.install()
    c.write_config(site.port, world.nginx.port, RTP=SETUP)
    cases["installed"] = (c, site, traced(world, c, tmp_path / "installed.log"))

    # CNVPCSetupExDlg, installed: the server names the extended setup's installer.
    c = setup_client(world, "SX", 1042)
    url = f"/setup/{c.product_id}/NvpcSetupEx.exe"
    site = world.site({c.product_id: {"setup_url": url, "setup_ex": SUB_USE_SETUP}})
    serve_installer(world, site, c, url)
    c.install()
    c.write_config(site.port, world.nginx.port, RTP=SETUP_EX)
    cases["ex_installed"] = (c, site, traced(world, c, tmp_path / "ex_installed.log", installer_env(world, c)))

    # No upgrade server: CNVPCSetupDlg with a client whose product manifest is missing (so
    # not installed; it would ask for the installer) and CNVPCSetupExDlg with an installed one.
    for key, run_type, tag in (("silent", SETUP, "SU"), ("ex_silent", SETUP_EX, "XU")):
        c = setup_client(world, tag)
        site = world.site({c.product_id: {"setup_url": f"/setup/{c.product_id}/NvpcSetup.exe",
                                          "setup_ex": SUB_USE_SETUP}})
        c.install()
        if run_type == SETUP:
            c.product_manifest.unlink()
        c.write_config(site.port, world.nginx.port, upgrade_port=closed_port(), RTP=run_type)
        cases[key] = (c, site, traced(world, c, tmp_path / f"{key}.log"))

    for key, (c, site, run) in cases.items():
        assert run.wait_exit(60) == 0, f"{key}: still running (a box?) {run.texts()}"
        # The window's caption is string 217 with the title; the first status string 202.
        lang = strings[c.language]
        shown = run.window_texts()
        assert lang[217].replace("%s", c.title) in shown, (key, shown)
        assert lang[200].replace("%s", c.title) not in shown, (key, shown)
        expected = [202, 204, 206, 216] if key == "ex_installed" else [202, 216]
        assert run.statuses(lang, c.title) == expected, (key, shown)

    # CNVPCSetupDlg with the client installed: directory lookup, then the client.
    c, site, run = cases["installed"]
    texts = run.texts()
    client_path = to_windows_path(c.client)
    order_of(texts, "CNVPCSetupDlg::initInfo", f"CNVPCSetupDlg::getUpgradeInfo : bExist=1 GetFilePath()={client_path}",
             f"ExecuteAsync lpFilePath={client_path} lpParam={c.expected_client_args()}", "OnDestroy",
             "~CNVPCSetupDlg")
    level = {line.text: line.level for line in run.log()}
    assert level["CNVPCSetupDlg::initInfo"] == 1 and level["CNVPCSetupDlg::getUpgradeInfo"] == 1
    assert not any(t.startswith(("CNVPCSetupDlg::getUpgradeInfo : GetSetupURL", "startDownload", "CDownloaderEx",
                                 "ExecuteSync", "SetPatchStop")) for t in texts), texts
    assert site.commands() == [CMD_QUERY_SQL], "no setup URL asked, no manifest sent"
    assert site.downloads(c.product_id) == []
    assert read_records(c.installer_record) == []
    client_started_once(c)

    # CNVPCSetupExDlg with the client installed: manifests, the extended setup query (which
    # hands over to the setup URL), the download, the installer, then the client.
    c, site, run = cases["ex_installed"]
    texts = run.texts()
    order_of(texts, "CNVPCSetupExDlg::initInfo",
             f"CNVPCSetupExDlg::getUpgradeInfo : bExist=1 GetFilePath()={to_windows_path(c.client)}",
             "CNVPCSetupExDlg::getUpgradeInfo : GetSetupURL", "startDownload GetInstallType()=0",
             f"callbackDownComplete : lpDownPath={c.upgrade_windows}\\NvpcSetupEx.exe",
             "CNVPCSetupExDlg::completeDownload", "ExecuteSync: start setup", "ExecuteSync:0",
             f"ExecuteAsync lpFilePath={to_windows_path(c.client)}", "OnDestroy", "~CNVPCSetupExDlg")
    assert texts.count("CNVPCSetupExDlg::getUpgradeInfo") == 1, "no second upgrade query after the installer"
    requests = site.requests()
    assert [r["command"] for r in requests] == [CMD_QUERY_SQL, CMD_MASTER_XML, CMD_PRODUCT_XML, CMD_SETUP_EX_URL,
                                               CMD_SETUP_URL]
    assert requests[3]["body"] == c.product_id + "\x02"
    assert [r.split("|")[:3] for r in site.downloads(c.product_id)] == [
        [f"GET {object_name(url)} HTTP/1.1", "HTTP DWONLOADER", "200"]]
    installs = read_records(c.installer_record)
    assert len(installs) == 1 and installs[0]["args"] == ""
    client_started_once(c)
    assert c.client_starts()[0]["args"].startswith("/LID:1042 ")

    # No upgrade server: the client is started all the same, without setup and without a box.
    for key, run_type in (("silent", SETUP), ("ex_silent", SETUP_EX)):
        c, site, run = cases[key]
        texts = run.texts()
        name = CLASS[run_type]
        exist = 0 if run_type == SETUP else 1
        order_of(texts, f"{name}::initInfo",
                 f"{name}::getUpgradeInfo : bExist={exist} GetFilePath()={to_windows_path(c.client)}",
                 f"ExecuteAsync lpFilePath={to_windows_path(c.client)}", "OnDestroy")
        assert not any(t.startswith(("startDownload", ">>>>>> RunEx", f"{name}::getUpgradeInfo : GetSetupURL"))
                       for t in texts), (key, texts)
        assert site.commands() == [CMD_QUERY_SQL], key
        assert site.downloads(c.product_id) == []
        client_started_once(c)


# ---------------------------------------------------------------------------- fresh install


def test_fresh_install_downloads_and_runs_the_installer_then_starts_the_client(world, probe, strings, tmp_path):
    lang = strings[1033]
    client = setup_client(world, "FI")
    url = f"/slow/setup/{client.product_id}/NvpcSetup.exe"
    # The answer to the setup query comes late, so the dialog is seen asking; the installer
    # is big enough to be seen downloading at the slow location's rate.
    site = world.site({client.product_id: {"setup_url": url}},
                      faults=[{"command": CMD_SETUP_URL, "action": "delay", "seconds": 1.5}])
    serve_installer(world, site, client, url, padded_to=640 * 1024)
    client.write_config(site.port, world.nginx.port, RTP=SETUP)
    gate = tmp_path / "installer.gate"
    run = world.start(client, tmp_path / "fresh.log", installer_env(world, client, gate))
    view = SetupView(probe, client.title, lang)
    # Found by its caption: string 217 with the title.
    assert attach(view, run, "CNVPCSetupDlg"), run.texts()
    assert probe.find(title=lang[200].replace("%s", client.title), wait=0) is None

    # Follow the status texts until the installer waits at its gate. A step sets the bars
    # before the text and the probe reads them one after the other, so a look that mixes
    # two states counts only when the next look agrees with it. The window's size comes from
    # a later look of its own: it is checked only on the long states (202 behind the boxes).
    seen, shots = [], {204: "setup_en_download_installer", 206: "setup_en_installing"}
    ids = {lang[i]: i for i in (202, 204, 206, 216)}
    deadline, last = time.monotonic() + 40, None
    while time.monotonic() < deadline and run.proc.poll() is None:
        state = view.state(wait=2000)
        if state is None or not state["status"]:
            continue  # not answered in time: the dialog waits for the server's answer
        status = ids.get(state["status"], state["status"])
        look = (status, state["bar202"], state["bar203"])
        settled = look == last or look[1:] == (status in (204, 206), False)
        last = look
        if not settled:
            continue
        if not seen or seen[-1][0] != status:
            seen.append((status, state))
            if status in shots:
                assert_state(state, lang, status, True, False)
                shot(view, shots.pop(status))
        if status == 206 and run.wait_log("ExecuteSync: start setup", 0):
            break
        time.sleep(0.05)
    assert [s for s, _ in seen] == [202, 204, 206], [s for s, _ in seen]
    assert not client.client.exists(), "the installer has not placed anything yet"
    assert len(wait_for_records(client.installer_record, 1, 10)) == 1
    gate.touch()

    assert view.gone(30)
    assert run.wait_exit(30) == 0
    texts = run.texts()
    client_path = to_windows_path(client.client)
    order_of(texts, "CNVPCSetupDlg::initInfo", f"CNVPCSetupDlg::getUpgradeInfo : bExist=0 GetFilePath()={client_path}",
             "CNVPCSetupDlg::getUpgradeInfo : GetSetupURL", "startDownload GetInstallType()=0",
             f"CDownloaderEx::Download : lpURL={url} lpPath={client.upgrade_windows}",
             f"callbackDownComplete : lpDownPath={client.upgrade_windows}\\NvpcSetup.exe",
             "CNVPCSetupDlg::completeDownload", "ExecuteSync: start setup", "ExecuteSync:0",
             f"ExecuteAsync lpFilePath={client_path} lpParam={client.expected_client_args()}", "OnDestroy",
             "~CNVPCSetupDlg")
    assert texts.count("CNVPCSetupDlg::getUpgradeInfo") == 1, "the setup dialog does not look again after the installer"
    assert not any(t.startswith(("checkCompleteVersion", "CPatcher", "SetPatchStop")) for t in texts)
    client_started_once(client)
    assert client.client.exists() and client.product_manifest.exists()
    requests = site.requests()
    assert [r["command"] for r in requests] == [CMD_QUERY_SQL, CMD_SETUP_URL]
    assert requests[1]["body"] == client.product_id + "\x02"
    assert [r.split("|")[:3] for r in site.downloads(client.product_id)] == [
        [f"GET {object_name(url)} HTTP/1.1", "HTTP DWONLOADER", "200"]]


# ---------------------------------------------------------------------------- failures


def test_failures_show_their_box_or_end_quietly(world, probe, strings, tmp_path):
    """A refused setup query for each dialog (plain box, the code on the text's line) and no
    directory server (the proxy-option box, the code after a line break), one after the
    other; then side by side an installer that exits with 3 and one that cannot be started
    (no box, no client)."""
    runs = {}

    def start(key, tag, language, run_type, product, installed=False, faults=(), env=None, **ports):
        c = setup_client(world, tag, language)
        site = world.site({c.product_id: product}, faults=list(faults))
        if installed:
            c.install()
        c.write_config(site.port, world.nginx.port, RTP=run_type, **ports)
        run = world.start(c, tmp_path / f"{key}.log", env(c) if env else None)
        runs[key] = (c, site, run, SetupView(probe, c.title, strings[language]), strings[language], run_type)
        return c, site

    def box_of(key, picture):
        """The failure box of a run, checked to be captioned CaptionText over a dialog that
        shows string 202 with both bars hidden; screenshot, then OK (or Cancel)."""
        c, site, run, view, lang, run_type = runs[key]
        assert attach(view, run, CLASS[run_type]), (key, run.texts())
        boxes = view.boxes()
        box = boxes.wait_box(45)
        assert box is not None, (key, run.texts())
        assert_state(view.state(), lang, 202, False, False)
        shot(boxes, picture)
        return box, boxes

    # Boxes are looked at one at a time: a window shown later would cover the screenshot.
    # The refused setup queries: string 210 and " (4)" on one line, in a plain box.
    start("refused", "RS", 1041, SETUP, {"setup_url": "/setup/x/NvpcSetup.exe"},
          faults=[{"command": CMD_SETUP_URL, "action": "refuse", "code": SUB_REFUSED}])
    box, boxes = box_of("refused", "setup_ja_box_4")
    assert box[BOX_TEXT]["text"] == strings[1041][210] + " (4)"
    assert set(buttons(box)) == {IDOK}
    assert boxes.click(IDOK)
    start("ex_refused", "RX", 1033, SETUP_EX, {"setup_ex": SUB_REFUSED}, installed=True)
    box, boxes = box_of("ex_refused", "setup_ex_en_box_4")
    assert box[BOX_TEXT]["text"] == strings[1033][210] + " (4)"
    assert set(buttons(box)) == {IDOK}
    assert boxes.click(IDOK)

    # No directory server: the box with the proxy option, the code after a line break; the
    # dialog behind it still shows its first status text.
    start("directory", "DU", 1042, SETUP, {"setup_url": "/setup/x/NvpcSetup.exe"}, directory_port=closed_port())
    box, boxes = box_of("directory", "setup_ko_box_2")
    assert box_lines(box) == (strings[1042][210], " (2)")
    # A plain box unless the proxy settings component is registered (other tests do so).
    assert set(buttons(box)) in ({IDOK}, {IDRETRY, IDCANCEL}), box
    if IDRETRY in box:
        assert box[IDRETRY]["text"] == strings[1042][218]
    assert boxes.click(IDCANCEL if IDCANCEL in buttons(box) else IDOK)

    gate = tmp_path / "exit3.gate"
    c, site = start("exit3", "IX", 1033, SETUP, {"setup_url": "/setup/ix/NvpcSetup.exe"},
                    env=lambda c: installer_env(world, c, gate, exit_code=3))
    serve_installer(world, site, c, "/setup/ix/NvpcSetup.exe")
    # Not a program: the installer cannot be started; the installed client is not started either.
    c, site = start("bad_exe", "BX", 1041, SETUP_EX, {"setup_url": "/setup/bx/NvpcSetup.exe",
                                                       "setup_ex": SUB_USE_SETUP}, installed=True)
    serve_installer(world, site, c, "/setup/bx/NvpcSetup.exe", data=b"MZ not really a program" * 100)

    # The installer that exits with 3: no box, the dialog ends by itself half a second later.
    c, site, run, view, lang, _ = runs["exit3"]
    assert attach(view, run, "CNVPCSetupDlg"), run.texts()
    assert run.wait_log("ExecuteSync: start setup", 40), run.texts()
    assert_state(view.wait_status(206, 10), lang, 206, True, False)
    gate.touch()

    for key, (c, site, run, view, lang, run_type) in runs.items():
        assert view.gone(30), key
        assert run.wait_exit(30) == 0, key
        texts = run.texts()
        name = CLASS[run_type]
        assert texts.count("OnDestroy") == 1, key
        assert c.client_starts() == [] and not any(t.startswith("ExecuteAsync") for t in texts), key
        if key in ("refused", "ex_refused"):
            failure = "GetSetupURL SendPacket(3) receive failed =" if key == "refused" else \
                "GetSetupExURL SendPacket(3) receive failed ="
            order_of(texts, f"{name}::getUpgradeInfo : bExist=", failure, ">>>>>> RunEx : error_timer1=0", "OnDestroy")
            assert f"{name}::getUpgradeInfo : GetSetupURL" not in texts
            assert site.commands() == ([CMD_QUERY_SQL, CMD_SETUP_URL] if key == "refused" else
                                       [CMD_QUERY_SQL, CMD_MASTER_XML, CMD_PRODUCT_XML, CMD_SETUP_EX_URL]), key
        elif key == "directory":
            order_of(texts, f"{name}::initInfo", "DNS 서버 연결 실패", "OnDestroy")
            assert not any(t.startswith((">>>>>> RunEx", f"{name}::getUpgradeInfo")) for t in texts)
            assert site.commands() == []
        else:
            # The installer failed (exit code 3) or did not start at all: the workflow stops
            # and the dialog ends half a second later, without a box.
            ran = ["ExecuteSync: start setup", "ExecuteSync:3"] if key == "exit3" else []
            first = order_of(texts, f"{name}::completeDownload", *ran, "SetDownStop", "OnDestroy")
            log = run.log()
            assert 400 <= stamp_ms(log[first[-1]]) - stamp_ms(log[first[-2]]) <= 2000, key
            assert not any(t.startswith(">>>>>> RunEx") for t in texts), "no failure box"
            installs = read_records(c.installer_record)
            if key == "exit3":
                assert len(installs) == 1
            else:
                assert "ExecuteSync: start setup" not in texts and installs == []
                assert c.client.exists(), "the installed client stays, not started"
            assert texts.count(f"{name}::getUpgradeInfo") == 1


# ---------------------------------------------------------------------------- Cancel and the credentials prompt


def test_cancel_during_the_download_and_the_credentials_prompt(world, probe, strings, tmp_path):
    """Cancel while the installer downloads ends the dialog 500 ms later without a box. Then
    an installer behind authentication: the prompt shows (the dialog is its owner; without
    one the download would just fail); its OK retries from the upgrade query, its Cancel
    fails the download with the plain box."""
    lang = strings[1033]
    slow = setup_client(world, "CD")
    url = f"/slow/setup/{slow.product_id}/NvpcSetup.exe"
    site = world.site({slow.product_id: {"setup_url": url}})
    serve_installer(world, site, slow, url, padded_to=3 * 1024 * 1024)  # 12 s at the slow rate
    slow.write_config(site.port, world.nginx.port, RTP=SETUP)
    cancelled = world.start(slow, tmp_path / "cancel.log")

    view = SetupView(probe, slow.title, lang)
    assert attach(view, cancelled, "CNVPCSetupDlg"), cancelled.texts()
    assert cancelled.wait_log("CDownloaderEx::Download : ", 40), cancelled.texts()
    state = view.wait_progress()
    assert_state(state, lang, 204, True, False)
    assert 0 < state["pos202"] < 100 and state["max202"] == 100, "bar 202 shows the percentage received"
    shot(view, "setup_en_downloading")
    texts = _cancel_and_measure(cancelled, view, "SetDownStop")
    assert not any(t.startswith(("CNVPCSetupDlg::completeDownload", "ExecuteSync", "ExecuteAsync", ">>>>>> RunEx"))
                   for t in texts)
    assert slow.client_starts() == [] and read_records(slow.installer_record) == []

    # Then, alone on the screen, the prompt.
    guarded = setup_client(world, "AU")
    auth_url = f"/auth/setup/{guarded.product_id}/NvpcSetup.exe"
    auth_site = world.site({guarded.product_id: {"setup_url": auth_url}})
    serve_installer(world, auth_site, guarded, auth_url.replace("/auth", "", 1))
    guarded.write_config(auth_site.port, world.nginx.port, RTP=SETUP)
    prompted = world.start(guarded, tmp_path / "auth.log")

    auth_view = SetupView(probe, guarded.title, lang)
    assert attach(auth_view, prompted, "CNVPCSetupDlg"), prompted.texts()
    for attempt, button in enumerate((IDOK, IDCANCEL), 1):
        prompt = probe.find(title=AUTH_PROMPT, pid=auth_view.pid, wait=30000)
        assert prompt is not None, f"no credentials prompt (attempt {attempt}): {prompted.texts()}"
        if attempt == 1:
            picture = artifact_dir() / "setup_en_credentials_prompt.bmp"
            assert probe.capture(picture, hwnd=prompt["hwnd"], wait=5000) is not None
            bmp_to_png(picture, picture.with_suffix(".png"))
        assert probe.click(id=button, hwnd=prompt["hwnd"], wait=5000)
        assert probe.wait_gone(hwnd=prompt["hwnd"], wait=10000)
    boxes = auth_view.boxes()
    box = boxes.wait_box(30)
    assert box is not None, prompted.texts()
    # The suffix " %s (8)" with the downloader's text (which starts with a blank), right after string 210.
    assert box[BOX_TEXT]["text"] == lang[210] + "  Canceled by the user. (8)"
    shot(boxes, "setup_en_box_8_credentials")
    assert boxes.click(IDOK)
    assert auth_view.gone(30) and prompted.wait_exit(30) == 0
    texts = prompted.texts()
    # OK on the prompt: back to the upgrade query, a second download, the prompt again.
    assert texts.count("CNVPCSetupDlg::getUpgradeInfo") == 2
    assert texts.count("CNVPCSetupDlg::initInfo") == 1
    order_of(texts, "CNVPCSetupDlg::getUpgradeInfo : GetSetupURL", "callballDownError : error= pParam=",
             "CNVPCSetupDlg::getUpgradeInfo : GetSetupURL", "callballDownError : error= Canceled by the user. ",
             ">>>>>> RunEx : error_timer1=0", "OnDestroy")
    assert [r.split("|")[2] for r in auth_site.downloads(guarded.product_id)] == ["401", "401"]
    assert guarded.client_starts() == [] and read_records(guarded.installer_record) == []
