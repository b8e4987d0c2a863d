"""The updater program decodes launch links, link files and its configuration file into the
parameter record, logs every key with its exact format, applies the link's validity window,
and ends with exit code 0.

The links use run type 9, which runs no workflow, so each run ends right after decoding.
Links that must be refused name another launcher version: were one accepted, the program
would stop at the version question and the run would time out. The links with hostile
values at the end use run type 2 (lookup and start), against the reference server."""
import base64
import os
import re
import time
from urllib.parse import quote

import pytest

from conftest import to_windows_path
from servers import RefServer
from stubs import read_records, wait_for_records
from update_fixture import client_in_program_files

UPDATER = "NVPCUpdater.exe"
OWN_VERSION = "1.0.2.9"
ROOM = "\ud68c\uc758\uc2e4 1"
ROOM_PERCENT = "".join("%%%02X" % b for b in ROOM.encode("utf-8"))
QUICK = 60  # seconds; a run that shows a window instead of ending takes longer


def link_for(query: str) -> str:
    return "norvane:?" + base64.b64encode(query.encode("utf-8")).decode("ascii")


def now_ms() -> int:
    return int(time.time() * 1000)


def meeting_query(version=OWN_VERSION, lat=None, sat=None, eat=10):
    lat = now_ms() if lat is None else lat
    sat = lat if sat is None else sat
    parts = [f"ENC=1", f"VER={version}", "LID=17", "PID=P1", "CID=ACME", "CAP=Norvane%20Meeting",
             f"RNM={ROOM_PERCENT}", "XYZ=5", "RTP=9"]
    if lat:
        parts.append(f"LAT={lat}")
    if sat:
        parts.append(f"SAT={sat}")
    parts.append(f"EAT={eat}")
    return "&".join(parts), lat, sat


def expected_keys(lat, sat, version=OWN_VERSION):
    return ["Encoded : 1", f"SetVersion : {version}", "SetLangID : 17", "SetProductID : P1",
            "SetCompanyCode : ACME", "SetTitle : Norvane Meeting", f"SetRoomName : {ROOM}", "SetRunType : 9",
            f"SetLocalAuthTime : {lat}", f"SetServerAuthTime : {sat}", "SetExpireAuthTime : 10"]


SKIN_LINES = [r"hBitmap=[0-9a-f]+ resource_id=205", r"hBitmap=[0-9a-f]+ resource_id=204"]


def assert_clean_run(result):
    assert result.returncode == 0, result.stderr
    # The skin loads first (level 1); the checks below look at what follows it.
    skin = result.log[:len(SKIN_LINES)]
    assert [line.level for line in skin] == [1] * len(SKIN_LINES)
    assert all(re.fullmatch(p, line.text) for p, line in zip(SKIN_LINES, skin)), [line.text for line in skin]
    del result.log[:len(SKIN_LINES)]
    assert result.texts[0] == "CMngrSocket::InitNetwork"
    assert result.texts[-1] == "CMngrSocket::ReleaseNetwork"
    assert len({line.thread for line in result.log}) == 1
    assert all(line.level == 0 for line in result.log)


def assert_decoded_meeting(result, lat, sat):
    """A clean run that logged exactly the keys of meeting_query, in order."""
    assert_clean_run(result)
    assert result.texts[1:-1] == expected_keys(lat, sat)


def assert_ran_nothing(result):
    """A clean run that logged nothing between the start and the end of the services."""
    assert_clean_run(result)
    assert result.texts == ["CMngrSocket::InitNetwork", "CMngrSocket::ReleaseNetwork"]


def write_link_file(path, text: bytes, mtime=None):
    path.write_bytes(text)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def test_direct_link_logs_every_decoded_key(wine, log_file):
    query, lat, sat = meeting_query()
    result = wine.run(UPDATER, link_for(query), log_file=log_file, timeout=QUICK)
    assert_decoded_meeting(result, lat, sat)


def test_link_file_decodes_like_the_direct_link(wine, log_file, tmp_path):
    query, lat, sat = meeting_query()
    path = write_link_file(tmp_path / "meeting.nvpc", link_for(query).encode() + b"\r\nsecond line\r\n")
    result = wine.run(UPDATER, to_windows_path(path), log_file=log_file, timeout=QUICK)
    assert_decoded_meeting(result, lat, sat)


def test_link_file_path_in_quotes_as_the_shell_passes_it(wine, log_file, tmp_path):
    folder = tmp_path / "Downloads folder"
    folder.mkdir()
    query, lat, sat = meeting_query()
    path = write_link_file(folder / "meeting.nvpc", link_for(query).encode() + b"\n")
    # Wine quotes an argument with a blank: the program sees "Z:\...\meeting.nvpc".
    result = wine.run(UPDATER, to_windows_path(path), log_file=log_file, timeout=QUICK)
    assert_decoded_meeting(result, lat, sat)


def test_a_command_line_with_both_markers_is_a_direct_link(wine, log_file):
    query, lat, sat = meeting_query()
    result = wine.run(UPDATER, "Z:\\nowhere\\missing.nvpc", link_for(query), log_file=log_file, timeout=QUICK)
    assert_decoded_meeting(result, lat, sat)


@pytest.mark.parametrize("case", ["written 61 s after issue", "written 61 s before issue", "validity ran out",
                                  "no server time", "no issue time"])
def test_link_file_outside_its_validity_window_is_refused_silently(wine, log_file, tmp_path, case):
    lat = now_ms()
    mtime = lat / 1000 + 30
    sat = None
    if case == "written 61 s after issue":
        mtime = lat / 1000 + 61
    elif case == "written 61 s before issue":
        mtime = lat / 1000 - 61
    elif case == "validity ran out":
        lat -= 11 * 60 * 1000  # ten minutes of validity, issued eleven minutes ago
        mtime = lat / 1000 + 30
    elif case == "no server time":
        sat = 0
    elif case == "no issue time":
        lat = 0
        sat = now_ms()
    query, _, _ = meeting_query(version="9.9.9.9", lat=lat, sat=sat)
    path = write_link_file(tmp_path / "meeting.nvpc", link_for(query).encode(), mtime=mtime)
    result = wine.run(UPDATER, to_windows_path(path), log_file=log_file, timeout=QUICK)
    assert_clean_run(result)
    assert "SetVersion : 9.9.9.9" in result.texts


def test_direct_link_without_authorisation_times_is_refused(wine, log_file):
    query = "VER=9.9.9.9&PID=P1&RTP=9"
    result = wine.run(UPDATER, link_for(query), log_file=log_file, timeout=QUICK)
    assert_clean_run(result)
    assert result.texts[1:-1] == ["SetVersion : 9.9.9.9", "SetProductID : P1", "SetRunType : 9"]


@pytest.mark.parametrize("content", [b"", b"\r\n", b"\x00\xff\xfe binary \x01\x02" * 500, b"Q" * 300000],
                         ids=["empty", "empty line", "binary", "huge"])
def test_link_files_without_a_link_run_nothing(wine, log_file, tmp_path, content):
    path = write_link_file(tmp_path / "odd.nvpc", content)
    result = wine.run(UPDATER, to_windows_path(path), log_file=log_file, timeout=QUICK)
    assert_ran_nothing(result)


def test_missing_link_file_runs_nothing(wine, log_file, tmp_path):
    result = wine.run(UPDATER, to_windows_path(tmp_path / "gone.nvpc"), log_file=log_file, timeout=QUICK)
    assert_ran_nothing(result)


def test_empty_command_line_ends_at_once(wine, log_file):
    result = wine.run(UPDATER, log_file=log_file, timeout=QUICK)
    assert_ran_nothing(result)


CONFIG_KEYS = ["LID", "PTP", "CAP", "GRP", "CID", "PID", "FNM", "URL", "UIP", "DIP", "DID", "MSP", "FSP", "WSP",
               "UPP", "UID", "ALS", "MID", "RNM", "MAX", "UTP", "OPT", "QTO", "RTP", "QTP"]
CONFIG_SETTERS = ["SetLangID", "SetProductType", "SetTitle", "SetGroup", "SetCompanyCode", "SetProductID",
                  "SetFileName", "SetRegistURL", "SetUpgradeHost", "SetDNSHost", "SetDNSCode", "SetMSPort",
                  "SetFSPort", "SetWSPort", "SetUpPort", "SetUserID", "SetAlias", "SetMeeterID", "SetRoomName",
                  "SetMaxUser", "SetUserType", "SetOption", "SetTimeOut", "SetRunType", "SetQueryType"]


@pytest.mark.parametrize("switch", ["/Loader", "/loader"])
def test_loader_mode_reads_the_configuration_file_beside_the_program(wine, log_file, program_copy, switch):
    exe = program_copy(UPDATER)
    config = exe.parent / "Config"
    config.mkdir()
    values = {"LID": "18", "PTP": "1", "CAP": "Norvane", "PID": "P9", "FNM": "client.exe", "DIP": "d1 d2",
              "OPT": "/A:1", "QTO": "0", "RTP": "9"}
    text = "[PRODUCT]\r\n" + "".join(f"{k}={v}\r\n" for k, v in values.items())
    (config / "nvpclient.nvp").write_bytes(text.encode("ascii"))
    result = wine.run(exe, switch, log_file=log_file, timeout=QUICK)
    assert_clean_run(result)
    expected = [f"{setter}()={values.get(key, '')}" for key, setter in zip(CONFIG_KEYS, CONFIG_SETTERS)]
    assert result.texts[1:-1] == expected



# ---- Links must not choose what runs ----
# A link that carries a path where a name belongs, or a double quote in a value the client's
# command line quotes, is refused whole: the run neither connects, nor asks a server, nor
# starts anything. Each link would otherwise run to the end: a directory lookup at the
# reference server (query type 0 asks it, 2 takes the host as it is) and a start of
# FNM. The client stand-in lies where such a link looks for it: the program-files folder
# of the Wine prefix, GRP\PID\client.exe.

COMPANIES = {"ACME": {"serverip": "10.20.30.40", "checkerversion": "1.0"}}


@pytest.fixture
def program_files_client(bin_dir):
    with client_in_program_files(bin_dir / UPDATER, "NvpcLinkTest") as group:
        yield group


def hostile_link(port, group, pwned, case):
    now = now_ms()
    keys = {"ENC": "1", "VER": OWN_VERSION, "LID": "17", "GRP": group, "PID": "NVPC", "CID": "ACME",
            "FNM": "client.exe", "DIP": "127.0.0.1", "MSP": str(port), "DID": "ACME", "RTP": "2", "QTP": "0",
            "QTO": "5000", "LAT": str(now), "SAT": str(now), "EAT": "10"}
    if case == "cmd.exe as FNM":
        # From <Program Files>\NVPC two levels up reach the Windows folder; the unquoted
        # pass-through switch would give the started cmd a command of its own.
        keys.update({"GRP": "", "FNM": "..\\..\\windows\\system32\\cmd.exe", "QTP": "2",
                     "XYZ": f"& echo pwned> {pwned}"})
    elif case == "quote in CID":
        keys["CID"] = f'x" & echo pwned> {pwned} & rem "'
    elif case == "path as PID":
        keys["PID"] = "..\\..\\..\\secret"
    query = "&".join(f"{k}={quote(v, safe='')}" if k != "ENC" else f"{k}={v}" for k, v in keys.items())
    return link_for(query)


@pytest.mark.parametrize("case", ["cmd.exe as FNM", "quote in CID", "path as PID"])
def test_a_link_with_a_hostile_value_starts_nothing_and_sends_nothing(wine, log_file, tmp_path,
                                                                     program_files_client, case):
    pwned = tmp_path / "pwned.txt"
    record = tmp_path / "client_starts.txt"
    with RefServer({"companies": COMPANIES}) as server:
        link = hostile_link(server.port, program_files_client, to_windows_path(pwned), case)
        result = wine.run(UPDATER, link, log_file=log_file, timeout=QUICK,
                          env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
        time.sleep(2)  # a started program would have written by now
        requests = server.requests()
    assert result.returncode == 0, result.stderr
    assert requests == [], "nothing is sent"
    assert not [t for t in result.texts if t.startswith("Connect() : ")], "no server is dialled"
    assert read_records(record) == [], "the client is not started"
    assert not pwned.exists(), "no command ran"
    refusals = [line for line in result.log if " : refused " in line.text]
    assert len(refusals) == 1 and refusals[0].level == 1
    assert "CUriParser::Parse : link refused" in result.texts
    assert result.texts[-1] == "CMngrSocket::ReleaseNetwork"


def test_the_same_link_with_plain_names_starts_the_client(wine, log_file, tmp_path, program_files_client):
    """The counterpart of the refusals above: the stand-in is where the link looks, and the
    lookup and the start do happen for a link without hostile values."""
    record = tmp_path / "client_starts.txt"
    with RefServer({"companies": COMPANIES}) as server:
        link = hostile_link(server.port, program_files_client, "", "plain")
        result = wine.run(UPDATER, link, log_file=log_file, timeout=QUICK,
                          env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
        starts = wait_for_records(record)
        assert len(server.requests()) == 1
    assert result.returncode == 0, result.stderr
    assert len(starts) == 1
    assert starts[0]["args"].startswith('/LID:1041 /PID:"NVPC" /CID:"ACME" /PTP:0 ')
    assert starts[0]["args"].endswith("/SIP:10.20.30.40 ")


@pytest.mark.parametrize("serverip", ['10.20.30.40 /URL:"http://evil/"', '10.20.30.40"'])
def test_a_company_server_address_that_would_break_the_command_line_starts_nothing(
        wine, log_file, tmp_path, program_files_client, serverip):
    """A server is no more trusted than a link: its reply goes through the same setter."""
    record = tmp_path / "client_starts.txt"
    companies = {"ACME": {"serverip": serverip, "checkerversion": "1.0"}}
    with RefServer({"companies": companies}) as server:
        link = hostile_link(server.port, program_files_client, "", "plain")
        result = wine.run(UPDATER, link, log_file=log_file, timeout=QUICK,
                          env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
        time.sleep(2)
        assert len(server.requests()) == 1
    assert result.returncode == 0, result.stderr
    assert read_records(record) == [], "the client is not started"
    assert any(t.startswith("CParam::SetServerIP : refused ") for t in result.texts)
