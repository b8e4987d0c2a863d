"""The updater program decodes launch links, link files and its configuration file into the
parameter record, logs every key with its exact format, applies the link's validity window,
and ends with exit code 0.

The links use run type 9, which runs no workflow, so each run ends right after decoding.
Links that must be refused name another launcher version: were one accepted, the program
would stop at the version question and the run would time out."""
import base64
import os
import time

import pytest

from conftest import to_windows_path

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


def assert_clean_run(result):
    assert result.returncode == 0, result.stderr
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

