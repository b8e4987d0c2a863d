#!/usr/bin/env python3
"""Starts and stops the real proxies the transport tests go through, on loopback.

  proxy_fixture.py start DIR   tinyproxy (plain and with Basic authentication) and microsocks
                               (plain and with user/password); writes DIR/ports.ini
  proxy_fixture.py stop DIR    stops what start started
"""
import os
import signal
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from loopback import free_port, wait_port  # noqa: E402

USER, PASSWORD = "nvpc", "s3cret"


def tinyproxy_conf(folder, name, port, auth):
    conf = folder / (name + ".conf")
    lines = [
        "User nobody", "Group nogroup", "Port %d" % port, "Listen 127.0.0.1", "Timeout 60",
        "MaxClients 50", "Allow 127.0.0.1", "LogLevel Critical",
        'PidFile "%s"' % (folder / (name + ".pid")),
    ]
    if auth:
        lines.append("BasicAuth %s %s" % (USER, PASSWORD))
    conf.write_text("\n".join(lines) + "\n")
    return conf


def start(folder):
    folder.mkdir(parents=True, exist_ok=True)
    stop(folder)
    os.chmod(folder, 0o755)
    ports = {name: free_port() for name in ("tinyproxy", "tinyproxy_auth", "microsocks", "microsocks_auth")}
    commands = {
        "tinyproxy": ["tinyproxy", "-d", "-c", str(tinyproxy_conf(folder, "tinyproxy", ports["tinyproxy"], False))],
        "tinyproxy_auth": ["tinyproxy", "-d", "-c",
                           str(tinyproxy_conf(folder, "tinyproxy_auth", ports["tinyproxy_auth"], True))],
        "microsocks": ["microsocks", "-i", "127.0.0.1", "-p", str(ports["microsocks"])],
        "microsocks_auth": ["microsocks", "-i", "127.0.0.1", "-p", str(ports["microsocks_auth"]),
                            "-u", USER, "-P", PASSWORD],
    }
    pids = []
    for name, cmd in commands.items():
        log = open(folder / (name + ".log"), "wb")
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        pids.append(proc.pid)
    (folder / "pids").write_text("\n".join(map(str, pids)) + "\n")
    for name, port in ports.items():
        if not wait_port(port):
            sys.stderr.write("%s did not start; see %s\n" % (name, folder / (name + ".log")))
            stop(folder)
            return 1
    ini = ["[proxies]"] + ["%s=%d" % kv for kv in ports.items()] + ["user=" + USER, "password=" + PASSWORD]
    (folder / "ports.ini").write_text("\r\n".join(ini) + "\r\n")
    return 0


def stop(folder):
    pids = folder / "pids"
    if pids.exists():
        for line in pids.read_text().split():
            try:
                os.killpg(int(line), signal.SIGTERM)
            except (ProcessLookupError, PermissionError, ValueError):
                pass
        pids.unlink()
    ini = folder / "ports.ini"
    if ini.exists():
        ini.unlink()
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    sys.exit({"start": start, "stop": stop}[sys.argv[1]](Path(sys.argv[2])))
