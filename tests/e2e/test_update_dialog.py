"""The updater's update dialog ("/Loader" with run type 0) end to end: a fresh install through
the downloaded installer, an update through an archive and the "/CopyFile" run, a run
without update, every failure box, the proxy settings box, the retry box and Cancel, in
English, Japanese and Korean. Each scenario is one run of the real programs under Wine
against the reference server and a private nginx; the test follows the run through its
log and looks at the windows with the window probe.

Screenshots of the states are kept under $NVPC_ARTIFACT_DIR (build/artifacts/screenshots).
"""
import os
import sys
import time
import zipfile

import pytest

from conftest import ROOT, WINE_RUN, run_captured, to_windows_path
from servers import RefServer
from stubs import read_records
from update_fixture import (BOX_TEXT, CANCEL, CLIENT, IDCANCEL, IDCONTINUE, IDOK, IDRETRY, IDTRYAGAIN,
                            INSTALLED_VERSION, UPDATE_VERSION, ClientInstall, DialogView, UpdateSite,
                            box_lines, buttons, closed_port, master_name, stamp_ms,
                            unique_product_id, write_update_archive)
from winprobe import read_bmp

CMD_QUERY_SQL, CMD_MASTER_XML, CMD_PRODUCT_XML, CMD_UPDATE_URL, CMD_SETUP_URL = 0x026C, 0x07D1, 0x07D2, 0x07D3, 0x07D4
LANGUAGES = {1033: "en", 1041: "ja", 1042: "ko"}
PROXY_WINDOW = "Proxy Connection Settings"


def object_name(url: str) -> str:
    """The downloader's request object: '/', '_', digits and ASCII letters stay."""
    keep = set("/_0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
    return "".join(c if c in keep else "%%%02X" % ord(c) for c in url)




class World:
    """What one scenario starts, stopped again whatever happens."""

    def __init__(self, tmp_path, bin_dir, nginx):
        self.tmp_path, self.bin_dir, self.nginx = tmp_path, bin_dir, nginx
        self.sites, self.clients, self.runs, self.gates = [], [], [], []

    def site(self, products, **kwargs) -> UpdateSite:
        site = UpdateSite(self.nginx, products, **kwargs)
        self.sites.append(site)
        return site

    def client(self, tag, language=1033, title=None) -> ClientInstall:
        client = ClientInstall(self.tmp_path, self.bin_dir, unique_product_id(tag), title, language)
        self.clients.append(client)
        return client

    def start(self, client, log_file, env=None):
        run = client.start_loader(log_file, env)
        self.runs.append(run)
        return run

    def close(self):
        for gate in self.gates:
            gate.touch()
        for run in self.runs:
            run.stop()
        for site in self.sites:
            site.stop()
        for client in self.clients:
            client.cleanup()


@pytest.fixture(scope="module")
def web():
    """One private nginx for the module: each scenario serves and fetches paths of its own
    product, and starting and stopping a server per scenario costs more than the scenario."""
    sys.path.insert(0, str(ROOT / "tests" / "install"))
    from nginx_fixture import Nginx
    server = Nginx().start()
    yield server
    server.stop()


@pytest.fixture
def world(tmp_path, bin_dir, web):
    w = World(tmp_path, bin_dir, web)
    yield w
    w.close()


def finished(run, view, seconds=30):
    """The dialog has gone and the program ended with 0."""
    assert view.gone(seconds), "the dialog is still there"
    assert run.wait_exit(seconds) == 0


def assert_state(state, strings, status_id, bar202, bar203):
    """The dialog shows string status_id (none of these carries the title), these bars
    and its Cancel button."""
    assert state is not None, "no dialog"
    assert state["status"] == strings[status_id]
    assert (state["bar202"], state["bar203"]) == (bar202, bar203)
    # The window is as high as its visible bars need: 185 with both, 30 less per hidden bar.
    assert state["size"] == (400, 185 - 30 * [bar202, bar203].count(False))
    assert state["cancel"] == strings[212]


def shot(view, name):
    """A screenshot, taken again (bounded) while the window has not painted yet."""
    deadline = time.monotonic() + 5
    while True:
        path = view.capture(name)
        assert path is not None, f"no screenshot {name}"
        _, _, rows = read_bmp(path)
        if len({pixel for row in rows for pixel in row}) > 4:
            return
        assert time.monotonic() < deadline, f"screenshot {name} is blank"
        time.sleep(0.2)


def order_of(texts, *expected):
    """Asserts the expected texts (each a prefix) appear in this order; returns their indices."""
    indices, start = [], 0
    for want in expected:
        for i in range(start, len(texts)):
            if texts[i].startswith(want):
                indices.append(i)
                start = i + 1
                break
        else:
            raise AssertionError(f"{want!r} not found after line {start}: {texts[start:start + 40]}")
    return indices


# ---------------------------------------------------------------------------- fresh install


@pytest.mark.parametrize("language", [1033, 1041, 1042])
def test_fresh_install_runs_the_installer_then_the_update_path_then_the_client(world, probe, strings, language,
                                                                                log_file):
    lang = strings[language]
    client = world.client("FI", language)
    setup_url = f"/slow/setup/{client.product_id}/NvpcSetup.exe"
    site = world.site({client.product_id: {"setup_url": setup_url, "update_url": None}})
    # A bigger installer, so the download takes a moment at the slow location's rate.
    installer = (world.bin_dir / "InstallerStub.exe").read_bytes()
    site.put(setup_url.replace("/slow", ""), installer + b"\0" * (640 * 1024 - len(installer) % 1024))
    client.write_config(site.port, world.nginx.port)
    gate = world.tmp_path / "installer.gate"
    world.gates.append(gate)
    payload = client.installer_payload()
    assert not client.client.exists()

    run = world.start(client, log_file, {"NVPC_INSTALLER_GATE": to_windows_path(gate),
                                         "NVPC_INSTALLER_PAYLOAD": to_windows_path(payload),
                                         "NVPC_INSTALLER_TARGET": to_windows_path(client.install_folder)})
    view = DialogView(probe, client.title, lang)

    # Downloading the installer: string 204, the overall bar only.
    assert run.wait_log("CDownloaderEx::Download : ", 40), run.texts()
    state = view.state()
    assert_state(state, lang, 204, True, False)
    assert 0 <= state["pos202"] <= 100 and state["max202"] == 100
    shot(view, f"update_{LANGUAGES[language]}_download_installer")

    # The installer runs (and waits at its gate): string 206, the overall bar only.
    assert run.wait_log("ExecuteSync: start setup", 40), run.texts()
    assert_state(view.wait_status(206, 10), lang, 206, True, False)
    shot(view, f"update_{LANGUAGES[language]}_installing")
    assert not client.client.exists(), "the installer has not placed anything yet"
    gate.touch()

    finished(run, view)
    texts = run.texts()
    order_of(texts, "CNVPCUpdaterDlg::initInfo",
             "CNVPCUpdaterDlg::getUpgradeInfo : bExist=0 GetFilePath()=" + to_windows_path(client.client),
             "CNVPCUpdaterDlg::getUpgradeInfo : GetSetupURL", "startDownload GetInstallType()=0",
             "callbackDownComplete : lpDownPath=" + client.upgrade_windows + "\\NvpcSetup.exe",
             "CNVPCUpdaterDlg::completeDownload", "ExecuteSync: start setup", "ExecuteSync:0",
             "CNVPCUpdaterDlg::getUpgradeInfo : bExist=1 GetFilePath()=" + to_windows_path(client.client),
             "CNVPCUpdaterDlg::getUpgradeInfo : GetUpdateURL", "startDownload GetInstallType()=1",
             "checkCompleteVersion master : szUpdVer=", "ExecuteAsync lpFilePath=", "OnDestroy")
    assert texts.count("CNVPCUpdaterDlg::initInfo") == 1
    assert f"checkCompleteVersion master : szNewVer={INSTALLED_VERSION}" in texts
    assert "checkCompleteVersion master : szUpdVer=" in texts, "no update: the update's versions stay empty"
    assert "checkCompleteVersion product : szUpdVer=" in texts

    # The installer ran once, without parameters; the client once, with the product command line.
    installs = read_records(client.installer_record)
    assert len(installs) == 1 and installs[0]["args"] == ""
    starts = client.client_starts()
    assert len(starts) == 1
    assert starts[0]["args"] == client.expected_client_args()
    assert f"ExecuteAsync lpFilePath={to_windows_path(client.client)} lpParam={client.expected_client_args()}" in texts

    # The directory once; the upgrade server for the installer, then for the update with
    # the manifests the installer placed.
    requests = site.requests()
    assert [r["command"] for r in requests] == [CMD_QUERY_SQL, CMD_SETUP_URL, CMD_MASTER_XML, CMD_PRODUCT_XML,
                                               CMD_UPDATE_URL]
    assert requests[1]["body"] == client.product_id + "\x02"
    assert requests[2]["body"].startswith(f"{master_name()}.xml\x01")
    assert f'ver="{INSTALLED_VERSION}"' in requests[2]["body"]
    downloads = site.downloads(client.product_id)
    assert len(downloads) == 1 and downloads[0].startswith(
        f"GET {object_name(setup_url)} HTTP/1.1|HTTP DWONLOADER|200|")


def test_a_failed_installer_ends_the_dialog_without_a_box(world, probe, strings, log_file):
    lang = strings[1033]
    client = world.client("FX")
    setup_url = f"/setup/{client.product_id}/NvpcSetup.exe"
    site = world.site({client.product_id: {"setup_url": setup_url, "update_url": None}})
    site.put(setup_url, (world.bin_dir / "InstallerStub.exe").read_bytes())
    client.write_config(site.port, world.nginx.port)
    gate = world.tmp_path / "installer.gate"
    world.gates.append(gate)
    run = world.start(client, log_file, {"NVPC_INSTALLER_GATE": to_windows_path(gate), "NVPC_INSTALLER_EXIT": "3"})
    view = DialogView(probe, client.title, lang)
    assert view.attach(), run.texts()
    assert run.wait_log("ExecuteSync: start setup", 40), run.texts()
    assert_state(view.wait_status(206, 10), lang, 206, True, False)
    gate.touch()

    # No box: the dialog ends by itself half a second after the installer's exit.
    finished(run, view)
    log = run.log()
    texts = [line.text for line in log]
    failed = next(line for line in log if line.text == "ExecuteSync:3")
    destroyed = next(line for line in log if line.text == "OnDestroy")
    assert 400 <= stamp_ms(destroyed) - stamp_ms(failed) <= 2000
    assert texts.count("CNVPCUpdaterDlg::getUpgradeInfo") == 1, "no update path after a failed installer"
    assert not any(t.startswith("ExecuteAsync") for t in texts)
    assert client.client_starts() == [] and len(read_records(client.installer_record)) == 1
    assert site.commands() == [CMD_QUERY_SQL, CMD_SETUP_URL]


# ---------------------------------------------------------------------------- update and no update


def test_update_downloads_unpacks_places_and_starts_the_client(world, probe, strings, log_file):
    lang = strings[1033]
    client = world.client("UP")
    url = f"/slow/patch/{client.product_id}_{UPDATE_VERSION}.zip"
    site = world.site({client.product_id: {"update_url": url}})
    new_client = (world.bin_dir / "ClientStub.exe").read_bytes() + b"\0new build" + os.urandom(600 * 1024)
    archive = write_update_archive(world.tmp_path / "update.zip", client.product_id,
                                   {CLIENT: new_client, "core.dll": b"core 1.0.0.2"})
    site.put(url.replace("/slow", ""), archive.read_bytes())
    client.install()
    client.write_config(site.port, world.nginx.port)

    run = world.start(client, log_file)
    view = DialogView(probe, client.title, lang)
    assert run.wait_log("CDownloaderEx::Download : ", 40), run.texts()
    state = view.state()
    assert_state(state, lang, 205, True, True)
    shot(view, "update_en_download_update")

    finished(run, view)
    texts = run.texts()
    upgrade = client.upgrade_windows
    down_path = upgrade + "\\updatefile.zip"
    copy_line = (f'/CopyFile /DNP "{down_path}" /MML "{master_name()}" /PML "{client.product_id}"  '
                 f'/SEP "{to_windows_path(client.install_folder)}" ')
    order_of(texts, "CNVPCUpdaterDlg::getUpgradeInfo : bExist=1", "CNVPCUpdaterDlg::getUpgradeInfo : GetUpdateURL",
             "startDownload GetInstallType()=1", f"CDownloaderEx::Download : lpURL={url} lpPath={upgrade}",
             f"callbackDownComplete : lpDownPath={down_path}", "CNVPCUpdaterDlg::completeDownload",
             f"CPatcher::Patch : lpFilePath={down_path}",
             f"CNVPCUpdaterDlg::startPatch() param.c_str()={copy_line}", "CUnzipMove::MovefileCust : ",
             f"checkCompleteVersion master : szUpdVer={UPDATE_VERSION}", "ExecuteAsync lpFilePath=", "OnDestroy")
    assert f"CNVPCUpdaterDlg::startPatch() param.c_str()={copy_line}" in texts, "the line is exact"
    for line in (f"checkCompleteVersion product : szUpdVer={UPDATE_VERSION}",
                 f"checkCompleteVersion master : szNewVer={UPDATE_VERSION}",
                 f"checkCompleteVersion product : szNewVer={UPDATE_VERSION}"):
        assert line in texts

    # Placed: the new client, the new file, both manifests; the archive and its folder gone.
    assert client.client.read_bytes() == new_client
    assert (client.install_folder / "core.dll").read_bytes() == b"core 1.0.0.2"
    assert f'ver="{UPDATE_VERSION}"' in client.master_manifest.read_text()
    assert f'ver="{UPDATE_VERSION}"' in client.product_manifest.read_text()
    assert not (client.upgrade_folder / "updatefile.zip").exists()
    assert not (client.upgrade_folder / "updatefile").exists()

    starts = client.client_starts()
    assert len(starts) == 1 and starts[0]["args"] == client.expected_client_args()
    requests = site.requests()
    assert [r["command"] for r in requests] == [CMD_QUERY_SQL, CMD_MASTER_XML, CMD_PRODUCT_XML, CMD_UPDATE_URL]
    assert f'ver="{INSTALLED_VERSION}"' in requests[1]["body"], "the installed manifest went up"
    assert requests[2]["body"].startswith(f"{client.product_id}.xml\x01")
    assert [r.split("|")[:3] for r in site.downloads(client.product_id)] == [
        [f"GET {object_name(url)} HTTP/1.1", "HTTP DWONLOADER", "200"]]


def test_no_update_goes_straight_to_the_version_check_and_the_client(world, probe, strings, log_file):
    client = world.client("NU", 1042)
    site = world.site({client.product_id: {"update_url": None}})
    client.install()
    client.write_config(site.port, world.nginx.port)
    run = world.start(client, log_file)
    assert run.wait_exit(60) == 0
    texts = run.texts()
    order_of(texts, "CNVPCUpdaterDlg::getUpgradeInfo : bExist=1",
             "CServerHandler::GetUpdateURL : ucCmdSub=4 SetPatchURL=", "startDownload GetInstallType()=1",
             "checkCompleteVersion master : szUpdVer=", "checkCompleteVersion product : szUpdVer=",
             f"checkCompleteVersion master : szNewVer={INSTALLED_VERSION}",
             f"checkCompleteVersion product : szNewVer={INSTALLED_VERSION}", "ExecuteAsync lpFilePath=")
    assert "checkCompleteVersion master : szUpdVer=" in texts and "checkCompleteVersion product : szUpdVer=" in texts
    assert not any(t.startswith(("CDownloaderEx::Download", "CPatcher::Patch", "CNVPCUpdaterDlg::startPatch"))
                   for t in texts)
    assert site.downloads(client.product_id) == []
    starts = client.client_starts()
    assert len(starts) == 1 and starts[0]["args"] == client.expected_client_args()
    assert starts[0]["args"].startswith("/LID:1042 ")
    assert DialogView(probe, client.title, strings[1042]).gone(1)


# ---------------------------------------------------------------------------- failure boxes


def _archive_case(world, client, url, **archive_options):
    """(url, an update archive with the client) to serve."""
    archive = write_update_archive(world.tmp_path / "update.zip", client.product_id,
                                   {CLIENT: (world.bin_dir / "ClientStub.exe").read_bytes()}, **archive_options)
    return url, archive.read_bytes()


# code, language, installed, status behind the box (id, bar 202, bar 203), failure log line
FAILURES = [
    ("1", 1033, False, (201, False, False), "DNS 서버 연결 실패"),
    ("2", 1041, True, (201, False, False), "DNS 서버 연결 실패"),
    ("3", 1042, True, (203, False, False), "GetUpdateURL SendPacket(3) receive failed ="),
    ("4", 1033, False, (202, False, False), "GetSetupURL SendPacket(3) receive failed ="),
    # The client without its product manifest is no installation: the installer is asked for.
    ("4-partial", 1042, False, (202, False, False), "CNVPCUpdaterDlg::getUpgradeInfo : bExist=0 "),
    ("5", 1041, False, (201, False, False), "업그레이드 서버 연결 실패"),
    ("6", 1042, True, (208, True, True), "CNVPCUpdaterDlg::RunEx failed"),
    ("7-1", 1033, True, (208, True, True), "checkCompleteVersion master : szNewVer=" + INSTALLED_VERSION),
    ("7-2", 1041, True, (208, True, True), "checkCompleteVersion product : szNewVer=" + INSTALLED_VERSION),
    ("8", 1042, True, (205, True, True), "callballDownError : error=HTTP status 404 "),
    ("8-refused", 1033, True, (205, True, True), "callballDownError : error=Can't HttpSendRequest "),
    ("9", 1041, True, (208, True, True), "CPatcher::Patch : "),
    # An archive entry that climbs out of the unpack folder is written nowhere.
    ("9-escape", 1033, True, (208, True, True), "CPatcher::Patch : "),
    # The installer's name comes from the server: one that climbs out of the download
    # folder is neither written nor run.
    ("8-hostile-name", 1042, False, (204, True, False), "callballDownError : error=Can't save file"),
]


@pytest.mark.parametrize("code,language,installed,behind,log_line", FAILURES, ids=[f[0] for f in FAILURES])
def test_every_failure_shows_one_box_with_its_code_and_ends(world, probe, strings, log_file, code, language,
                                                            installed, behind, log_line):
    lang = strings[language]
    tag = "F" + code.split("-")[0]
    # One case with a title too long for the record: the caption shows it shortened.
    client = world.client(tag, language, f"Norvane {tag} " + "Long" * 30 if code == "5" else None)
    url = f"/patch/{client.product_id}_{UPDATE_VERSION}.zip"
    product = {"setup_url": f"/setup/{client.product_id}/NvpcSetup.exe", "update_url": url}
    companies, faults, ports = None, [], {}
    served = None
    if code == "1":
        companies = {}
    elif code == "2":
        ports["directory_port"] = closed_port()
    elif code == "3":
        faults = [{"command": CMD_UPDATE_URL, "action": "refuse", "code": 3}]
    elif code in ("4", "4-partial"):
        product = {"update_url": url}
    elif code == "5":
        ports["upgrade_port"] = closed_port()
    elif code == "6":
        # Slowly: the program is moved away while the archive downloads.
        product["update_url"] = "/slow" + url
        served = _archive_case(world, client, url)
    elif code == "7-1":
        served = _archive_case(world, client, url, place_master=False)
    elif code == "7-2":
        served = _archive_case(world, client, url, place_product=False)
    elif code == "8-refused":
        ports["web_port"] = closed_port()
    elif code == "8-hostile-name":
        # The web server answers 200 for anything under /evil/.
        product = {"setup_url": f"/evil/..\\..\\..\\{client.product_id}.exe"}
    elif code == "9":
        served = (url, b"PK\x03\x04 this is not a zip archive" * 100)
    elif code == "9-escape":
        archive = world.tmp_path / "escape.zip"
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr(CLIENT, b"new client")
            z.writestr(f"../{client.product_id}.txt", b"outside")
            z.writestr(f"..\\..\\{client.product_id}.txt", b"further outside")
        served = (url, archive.read_bytes())
    site = world.site({client.product_id: product}, companies=companies, faults=faults)
    if served:
        site.put(*served)
    if installed or code == "4-partial":
        client.install()
    if code == "4-partial":
        client.product_manifest.unlink()
    client.write_config(site.port, ports.pop("web_port", world.nginx.port), **ports)

    run = world.start(client, log_file)
    view = DialogView(probe, client.shown_title, lang)
    assert view.attach(), run.texts()
    if code == "6":
        # The program moves away while it downloads: the "/CopyFile" run cannot start.
        assert run.wait_log("CDownloaderEx::Download : ", 40), run.texts()
        client.updater.rename(client.updater.with_name("NVPCUpdater.moved"))

    # Found by its caption: string 200 with the title, as the dialog's.
    box = view.wait_box(45)
    assert box is not None, run.texts()
    suffix = {"8": f" HTTP status 404  {object_name(url)} (8)",
              "8-refused": f" Can't HttpSendRequest  {object_name(url)} (8)",
              "8-hostile-name": " Can't save file (8)",
              "4-partial": " (4)", "9-escape": " (9)"}.get(code, f" ({code})")
    first, rest = box_lines(box)
    assert (first, rest) == (lang[210], suffix)
    assert set(buttons(box)) == {IDOK}, f"a plain box, OK only: {box}"
    shot(view, f"update_{LANGUAGES[language]}_failure_{code}")
    # Behind the box the dialog shows the state of the step that failed.
    assert_state(view.state(), lang, *behind)

    assert view.click(IDOK)
    finished(run, view)
    texts = run.texts()
    assert log_line in texts or any(t.startswith(log_line) for t in texts), texts
    assert client.client_starts() == [], "no client after a failure"
    assert texts.count("OnDestroy") == 1
    if code in ("1", "2"):
        assert CMD_UPDATE_URL not in site.commands() and CMD_SETUP_URL not in site.commands()
    if code == "9-escape":
        for folder in (client.upgrade_folder, client.upgrade_folder.parent, client.upgrade_folder.parents[1]):
            assert not (folder / f"{client.product_id}.txt").exists()
        assert client.client.read_bytes() == (world.bin_dir / "ClientStub.exe").read_bytes()
    if code == "8":
        assert [r.split("|")[2] for r in site.downloads(client.product_id)] == ["404"]
    if code == "8-hostile-name":
        drive_c = client.upgrade_folder.parents[2]
        assert not (drive_c / f"{client.product_id}.exe").exists()
        assert not client.upgrade_folder.exists() or list(client.upgrade_folder.iterdir()) == []
        assert read_records(client.installer_record) == []
        assert [r.split("|")[2] for r in site.downloads(client.product_id)] == ["200"], "refused after the answer"


# ---------------------------------------------------------------------------- the proxy settings box


@pytest.fixture
def proxy_component(bin_dir):
    """The proxy settings component registered in the prefix for the test, then removed."""
    dll = to_windows_path(bin_dir / "NvpcProxySettings.dll")
    assert run_captured([WINE_RUN, "regsvr32", "/s", dll]).returncode == 0
    yield
    run_captured([WINE_RUN, "regsvr32", "/s", "/u", dll])


@pytest.mark.parametrize("code,language", [("1", 1041), ("2", 1033)])
def test_directory_failures_offer_the_proxy_settings(world, probe, strings, log_file, proxy_component, code,
                                                     language):
    lang = strings[language]
    client = world.client("PX" + code, language)
    site = world.site({client.product_id: {"setup_url": f"/setup/{client.product_id}/NvpcSetup.exe"}},
                      companies={} if code == "1" else None)
    client.write_config(site.port, world.nginx.port, **({"directory_port": closed_port()} if code == "2" else {}))
    run = world.start(client, log_file, {"NVPC_PROXY_SETTINGS_FILE": to_windows_path(world.tmp_path / "proxy.ini")})
    view = DialogView(probe, client.title, lang)
    assert view.attach(), run.texts()

    box = view.wait_box(45)
    assert box is not None, run.texts()
    assert box_lines(box) == (lang[210], f" ({code})")
    assert set(buttons(box)) == {IDRETRY, IDCANCEL}
    assert box[IDRETRY]["text"] == lang[218]

    def widths(controls):
        return [c["rect"][2] - c["rect"][0] for c in (controls[IDRETRY], controls[IDCANCEL])]

    # The box may be widened from its own loop just after it shows: look again, bounded.
    deadline = time.monotonic() + 5
    while widths(box)[0] != widths(box)[1] + 20 and time.monotonic() < deadline:
        time.sleep(0.1)
        box = view.wait_box(5) or box
    assert widths(box)[0] == widths(box)[1] + 20, f"the relabelled button is widened by 20: {box}"
    assert_state(view.state(), lang, 201, False, False)
    shot(view, f"update_{LANGUAGES[language]}_proxy_box_{code}")

    assert view.click(IDRETRY)
    settings = probe.find(title=PROXY_WINDOW, pid=view.pid, wait=20000)
    assert settings is not None, "the proxy settings did not open"
    assert probe.click(id=IDCANCEL, hwnd=settings["hwnd"])
    finished(run, view)
    assert client.client_starts() == []
    assert run.texts().count("DNS 서버 연결 실패") == 1


# ---------------------------------------------------------------------------- the retry box


def _retry_case(world, tag, language):
    """An installed client whose upgrade server does not answer: the retry box."""
    client = world.client(tag, language)
    site = world.site({client.product_id: {"update_url": None}})
    client.install()
    upgrade_port = closed_port()
    client.write_config(site.port, world.nginx.port, upgrade_port=upgrade_port)
    return client, site, upgrade_port


def _retry_box(run, view, lang):
    box = view.wait_box(45)
    assert box is not None, run.texts()
    assert box[BOX_TEXT]["text"] == lang[214], "string 214 and the (empty) error suffix"
    assert set(buttons(box)) == {IDCANCEL, IDTRYAGAIN, IDCONTINUE}
    return box


def test_retry_box_try_again_repeats_only_the_upgrade_query(world, probe, strings, log_file):
    lang = strings[1042]
    client, site, upgrade_port = _retry_case(world, "RT", 1042)
    run = world.start(client, log_file)
    view = DialogView(probe, client.title, lang)
    assert view.attach(), run.texts()
    _retry_box(run, view, lang)
    assert_state(view.state(), lang, 201, False, False)
    shot(view, "update_ko_retry_box")

    # Still nobody there: the box again.
    seen = len(run.log())
    assert view.click(IDTRYAGAIN)
    assert run.wait_log("CNVPCUpdaterDlg::getUpgradeInfo : bExist=1 ", 30, after=seen), run.texts()
    _retry_box(run, view, lang)

    # The upgrade server is back: the update check goes on, the client starts.
    upgrade = RefServer({"products": {client.product_id: {"update_url": None}}}, port=upgrade_port)
    world.sites.append(upgrade)
    assert view.click(IDTRYAGAIN)
    finished(run, view)

    texts = run.texts()
    assert texts.count("CNVPCUpdaterDlg::initInfo") == 1, "the directory lookup is not repeated"
    assert texts.count("CNVPCUpdaterDlg::getUpgradeInfo") == 3
    assert texts.count(f"Connect() : 127.0.0.1:{site.port}") == 1
    assert site.commands() == [CMD_QUERY_SQL]
    assert [r["command"] for r in upgrade.requests()] == [CMD_MASTER_XML, CMD_PRODUCT_XML, CMD_UPDATE_URL]
    starts = client.client_starts()
    assert len(starts) == 1 and starts[0]["args"] == client.expected_client_args()


@pytest.mark.parametrize("answer,language", [("cancel", 1041), ("continue", 1033)])
def test_retry_box_cancel_ends_and_continue_starts_the_installed_client(world, probe, strings, log_file, answer,
                                                                        language):
    lang = strings[language]
    client, site, _ = _retry_case(world, "RA", language)
    run = world.start(client, log_file)
    view = DialogView(probe, client.title, lang)
    assert view.attach(), run.texts()
    _retry_box(run, view, lang)
    shot(view, f"update_{LANGUAGES[language]}_retry_box")
    assert view.click(IDCANCEL if answer == "cancel" else IDCONTINUE)
    finished(run, view)

    texts = run.texts()
    assert texts.count("CNVPCUpdaterDlg::getUpgradeInfo") == 1
    assert not any(t.startswith("checkCompleteVersion") for t in texts), "no version check without an update"
    starts = client.client_starts()
    if answer == "cancel":
        assert starts == [] and not any(t.startswith("ExecuteAsync") for t in texts)
    else:
        assert len(starts) == 1 and starts[0]["args"] == client.expected_client_args()
    assert site.commands() == [CMD_QUERY_SQL]


# ---------------------------------------------------------------------------- Cancel


def _cancel_and_measure(run, view, stop_line):
    assert view.click_dialog(CANCEL)
    clicked = time.monotonic()
    assert view.gone(10), "the dialog did not end"
    assert time.monotonic() - clicked < 5
    assert run.wait_exit(30) == 0
    log = run.log()
    stop = next(line for line in log if line.text == stop_line)
    destroyed = next(line for line in log if line.text == "OnDestroy")
    assert 400 <= stamp_ms(destroyed) - stamp_ms(stop) <= 2000, "the dialog ends about 500 ms after Cancel"
    return [line.text for line in log]


def test_cancel_during_a_download_ends_the_dialog_without_a_box(world, probe, strings, log_file):
    lang = strings[1042]
    client = world.client("CD", 1042)
    url = f"/slow/patch/{client.product_id}_big.zip"
    site = world.site({client.product_id: {"update_url": url}})
    site.put(url.replace("/slow", ""), os.urandom(3 * 1024 * 1024))  # 12 s at the slow rate
    client.install()
    client.write_config(site.port, world.nginx.port)
    run = world.start(client, log_file)
    view = DialogView(probe, client.title, lang)
    assert view.attach(), run.texts()
    assert run.wait_log("CDownloaderEx::Download : ", 40), run.texts()

    state = view.wait_progress()
    assert_state(state, lang, 205, True, True)
    assert 0 < state["pos202"] < 100, "bar 202 shows the percentage received"
    shot(view, "update_ko_downloading")

    texts = _cancel_and_measure(run, view, "SetDownStop")
    assert not any(t.startswith(("CNVPCUpdaterDlg::completeDownload", "ExecuteAsync")) for t in texts)
    assert client.client_starts() == []
    assert client.client.read_bytes() == (world.bin_dir / "ClientStub.exe").read_bytes()


@pytest.mark.parametrize("language", [1041, 1033, 1042])
def test_cancel_during_an_unpack_ends_the_dialog_without_a_box(world, probe, strings, log_file, language):
    lang = strings[language]
    client = world.client("CU", language)
    url = f"/patch/{client.product_id}_big.zip"
    site = world.site({client.product_id: {"update_url": url}})
    # Many entries: creating each file costs time that grows with the folder.
    entries = {f"f{i:05d}.dat": b"x" * 100 for i in range(4000)}
    archive = write_update_archive(world.tmp_path / "update.zip", client.product_id, entries)
    site.put(url, archive.read_bytes())
    archive.unlink()
    client.install()
    client.write_config(site.port, world.nginx.port)
    run = world.start(client, log_file)
    view = DialogView(probe, client.title, lang)
    assert view.attach(), run.texts()
    assert run.wait_log("CPatcher::Patch : ", 40), run.texts()

    state = view.wait_status(208, 10)
    assert_state(state, lang, 208, True, True)
    # The worker posts the bar's range once it has opened the archive, just after the
    # dialog changed the status text.
    deadline = time.monotonic() + 10
    while state["max202"] != len(entries) + 2 and time.monotonic() < deadline:
        state = view.state() or state
    assert state["max202"] == len(entries) + 2, "bar 202 counts the archive's entries"
    shot(view, f"update_{LANGUAGES[language]}_unpacking")

    texts = _cancel_and_measure(run, view, "SetPatchStop")
    assert not any(t.startswith(("CNVPCUpdaterDlg::startPatch", "ExecuteAsync")) for t in texts)
    assert client.client_starts() == []
    assert f'ver="{INSTALLED_VERSION}"' in client.master_manifest.read_text()
