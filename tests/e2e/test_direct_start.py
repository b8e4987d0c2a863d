"""'/Loader' with run type 2: the updater asks the directory server (the reference server) for
the company server and starts the client with the product command line, without any update
check. Every failure ends the run silently with exit code 0."""
import shutil
import time

import pytest

from conftest import to_windows_path
from servers import RefServer
from stubs import read_records, wait_for_records

COMPANIES = {"ACME": {"serverip": "10.20.30.40", "checkerversion": "1.0"}}
SQL = "select serverip,checkerversion from companyserverinfo where companycode='ACME'\x012\x02"


def install(tmp_path, bin_dir, config: str):
    """The updater and a client stand-in in one folder, with Config\\nvpclient.nvp."""
    folder = tmp_path / "client"
    (folder / "Config").mkdir(parents=True)
    for name in ("NVPCUpdater.exe", "Logger.dll"):
        shutil.copy2(bin_dir / name, folder / name)
    shutil.copy2(bin_dir / "ClientStub.exe", folder / "client.exe")
    (folder / "Config" / "nvpclient.nvp").write_bytes(b"\xff\xfe" + config.encode("utf-16-le"))
    return folder


def config_for(port, **overrides):
    keys = {"LID": "17", "PTP": "1", "CAP": "Norvane Meeting", "PID": "NVPC", "CID": "ACME", "FNM": "client.exe",
            "DIP": "127.0.0.1", "DID": "ACME", "MSP": str(port), "UID": "user01", "RNM": "Room \ud68c\uc758",
            "RTP": "2", "OPT": '/X:1 /Y:"a b"', "QTO": "5000"}
    keys.update(overrides)
    return "[PRODUCT]\r\n" + "".join(f"{k}={v}\r\n" for k, v in keys.items() if v is not None)


def run_loader(wine, folder, tmp_path, log_file):
    record = tmp_path / "client_starts.txt"
    result = wine.run(folder / "NVPCUpdater.exe", "/Loader", log_file=log_file,
                      env={"NVPC_CLIENT_RECORD": to_windows_path(record)})
    return result, record


def test_lookup_then_client_start_with_the_product_command_line(wine, bin_dir, tmp_path, log_file):
    with RefServer({"companies": COMPANIES}) as server:
        folder = install(tmp_path, bin_dir, config_for(server.port))
        result, record = run_loader(wine, folder, tmp_path, log_file)
        assert result.returncode == 0, result.stderr
        starts = wait_for_records(record)
        assert len(starts) == 1
        expected = (f'/LID:1041 /PID:"NVPC" /CID:"ACME" /PTP:1 /CAP:"Norvane Meeting" /MSP:{server.port} '
                    f'/FSP:7085 /UID:"user01" /RNM:"Room \ud68c\uc758" /MAX:2 /SIP:10.20.30.40 /X:1 /Y:"a b" ')
        assert starts[0]["args"] == expected
        assert [(r["command"], r["body"]) for r in server.requests()] == [(0x026C, SQL)]
    texts = result.texts
    assert f"Connect() : 127.0.0.1:{server.port}" in texts
    assert "GetCompanyServerInfo SendPacket : 0=10.20.30.40" in texts
    assert texts[0].startswith("hBitmap=") and texts[1].startswith("hBitmap="), "the skin loads first"
    assert texts[2] == "CMngrSocket::InitNetwork" and texts[-1] == "CMngrSocket::ReleaseNetwork"


def test_query_type_2_takes_the_directory_host_without_asking(wine, bin_dir, tmp_path, log_file):
    with RefServer({"companies": COMPANIES}) as server:
        folder = install(tmp_path, bin_dir, config_for(server.port, QTP="2", OPT=None, RNM=None, UID=None))
        result, record = run_loader(wine, folder, tmp_path, log_file)
        assert result.returncode == 0
        starts = wait_for_records(record)
        assert len(starts) == 1
        assert starts[0]["args"].endswith("/SIP:127.0.0.1 ")
        assert server.requests() == [], "nothing is sent for query type 2"


def test_second_directory_host_answers_when_the_first_refuses(wine, bin_dir, tmp_path, log_file):
    with RefServer({"companies": COMPANIES}) as server:
        folder = install(tmp_path, bin_dir, config_for(server.port, DIP="127.0.0.2 127.0.0.1"))
        result, record = run_loader(wine, folder, tmp_path, log_file)
        assert len(wait_for_records(record)) == 1
    connects = [t for t in result.texts if t.startswith("Connect() : ")]
    assert connects == [f"Connect() : 127.0.0.2:{server.port}", f"Connect() : 127.0.0.1:{server.port}"]


@pytest.mark.parametrize("case", ["unknown company", "silent server", "reset", "no server", "not an exe"])
def test_failures_end_silently_without_a_client(wine, bin_dir, tmp_path, log_file, case):
    faults = {"silent server": [{"action": "silent"}], "reset": [{"action": "reset_body"}]}.get(case, [])
    companies = {} if case == "unknown company" else COMPANIES
    with RefServer({"companies": companies, "faults": faults}) as server:
        port = server.port
        overrides = {"QTO": "1500"}
        if case == "no server":
            server.stop()
        if case == "not an exe":
            overrides["FNM"] = "client.bat"
        folder = install(tmp_path, bin_dir, config_for(port, **overrides))
        start = time.time()
        result, record = run_loader(wine, folder, tmp_path, log_file)
        assert result.returncode == 0
        assert time.time() - start < 60
    time.sleep(1)
    assert read_records(record) == [], "no client was started"
    assert result.texts[-1] == "CMngrSocket::ReleaseNetwork"
