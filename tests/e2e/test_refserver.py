"""The reference server speaks the packet protocol exactly and injects the faults asked for."""
import socket
import struct
import time

import pytest

from servers import RefServer

HEADER = struct.Struct("<HHHH")
CONFIG = {
    "companies": {"ACME": {"serverip": "10.0.0.5", "checkerversion": "1.2"}},
    "products": {"NVPC": {"setup_url": "http://127.0.0.1:1/setup.EXE", "update_url": None, "setup_ex": 5}},
}


def request(sock, command, body=b""):
    sock.sendall(HEADER.pack(command, 1, 0, len(body)) + body)


def reply(sock, timeout=5):
    sock.settimeout(timeout)
    header = b""
    while len(header) < 8:
        chunk = sock.recv(8 - len(header))
        if not chunk:
            raise ConnectionError("closed in header")
        header += chunk
    command, sub, _reserved, length = HEADER.unpack(header)
    body = b""
    while len(body) < length:
        chunk = sock.recv(length - len(body))
        if not chunk:
            raise ConnectionError("closed in body")
        body += chunk
    return command, sub, body


def test_answers_every_command_on_one_connection():
    with RefServer(CONFIG) as server, socket.create_connection(("127.0.0.1", server.port)) as s:
        sql = b"select serverip,checkerversion from companyserverinfo where companycode='ACME'\x012\x02"
        request(s, 0x026C, sql)
        assert reply(s) == (0x026C, 2, b"10.0.0.5\x011.2\x02")
        request(s, 0x0081, b"ACME\x02")
        assert reply(s) == (0x0081, 2, b"10.0.0.5\x011.2\x02")
        request(s, 0x0081, b"NOPE\x02")
        assert reply(s)[1] == 3
        request(s, 0x07D1, b"master_1.xml\x01<files_info ver=\"1\"/>\x02")
        assert reply(s) == (0x07D1, 2, b"")
        request(s, 0x07D2, b"NVPC.xml\x01<p/>\x02")
        assert reply(s) == (0x07D2, 2, b"")
        request(s, 0x07D3)
        assert reply(s) == (0x07D3, 4, b""), "no update configured"
        request(s, 0x07D6, b"NVPC\x02")
        assert reply(s) == (0x07D6, 5, b"")
        request(s, 0x07D4, b"NVPC\x02")
        assert reply(s) == (0x07D4, 2, b"http://127.0.0.1:1/setup.EXE")
        assert (server.manifest_dir / "master_1.xml").read_bytes() == b"<files_info ver=\"1\"/>"
        commands = [r["command"] for r in server.requests()]
        assert commands == [0x026C, 0x0081, 0x0081, 0x07D1, 0x07D2, 0x07D3, 0x07D6, 0x07D4]
        assert server.requests()[0]["body"].encode("latin-1") == sql


@pytest.mark.parametrize("action", ["reset_header", "reset_body", "close_header", "close_body"])
def test_broken_replies(action):
    config = dict(CONFIG, faults=[{"command": 0x0081, "action": action}])
    with RefServer(config) as server, socket.create_connection(("127.0.0.1", server.port)) as s:
        request(s, 0x0081, b"ACME\x02")
        with pytest.raises((ConnectionError, OSError)):
            reply(s)


def test_silence_delay_refusal_oversize_and_count():
    config = dict(CONFIG, faults=[
        {"command": 0x0081, "action": "silent", "count": 1},
        {"command": 0x0081, "action": "delay", "seconds": 0.6, "count": 1},
        {"command": 0x0081, "action": "refuse", "code": 7, "count": 1},
        {"command": 0x0081, "action": "oversize", "count": 1},
    ])
    with RefServer(config) as server, socket.create_connection(("127.0.0.1", server.port)) as s:
        request(s, 0x0081, b"ACME\x02")
        with pytest.raises(socket.timeout):
            reply(s, timeout=0.5)
        start = time.time()
        request(s, 0x0081, b"ACME\x02")
        assert reply(s)[1] == 2
        assert time.time() - start >= 0.5
        request(s, 0x0081, b"ACME\x02")
        assert reply(s)[1] == 7
        request(s, 0x0081, b"ACME\x02")
        s.settimeout(5)
        header = s.recv(8)
        assert HEADER.unpack(header)[3] == 38500


def test_refused_connection():
    config = dict(CONFIG, faults=[{"action": "refuse_connection", "count": 1}])
    with RefServer(config) as server:
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            s.settimeout(5)
            with pytest.raises((ConnectionError, OSError)):
                if s.recv(1) == b"":
                    raise ConnectionError("closed")
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            request(s, 0x0081, b"ACME\x02")
            assert reply(s)[1] == 2, "only the first connection was refused"


def test_quoted_company_code_and_bad_manifest_names():
    config = dict(CONFIG, companies={"O'Neil": {"serverip": "10.0.0.9", "checkerversion": "2"}})
    with RefServer(config) as server, socket.create_connection(("127.0.0.1", server.port)) as s:
        # The client doubles a quote inside the code.
        request(s, 0x026C, b"select serverip,checkerversion from companyserverinfo "
                           b"where companycode='O''Neil'\x012\x02")
        assert reply(s) == (0x026C, 2, b"10.0.0.9\x012\x02")
        request(s, 0x026C, b"select serverip,checkerversion from companyserverinfo "
                           b"where companycode='O'\x012\x02")
        assert reply(s)[1] == 3
        # A name that is no file is refused, and the connection stays usable.
        request(s, 0x07D1, b"..\x01<m/>\x02")
        assert reply(s)[1] == 3
        request(s, 0x0081, b"O'Neil\x02")
        assert reply(s) == (0x0081, 2, b"10.0.0.9\x012\x02")
