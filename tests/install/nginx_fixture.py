#!/usr/bin/env python3
"""A private nginx on 127.0.0.1 for the download tests, the end-to-end tests and bench/.

Everything it needs (configuration, pid file, logs, temporary folders, document root)
lives in one fresh temporary folder; it listens on a free port of 127.0.0.1 only.

Locations:
  /<path>              files under the document root, with their length
  /nolength/<path>     the same files sent chunked, without a length (SSI filter)
  /slow/<path>         the same files at 256 KB/s
  /stall/<path>        the first 64 KB quickly, then next to nothing
  /cut/<path>          /stall/ through a proxy that gives up after 0.5 s: the length of the
                       file is announced, the body ends early
  /auth/<path>         basic authentication (user "nvpc", password "secret")
  /evil/<anything>     a fixed body of 200, whatever the name asked for

Command line (for ctest fixtures):
  nginx_fixture.py start STATEFILE   start, and write "port=", "root=", "log=" lines
  nginx_fixture.py stop STATEFILE    stop the server of STATEFILE and remove its folder
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from loopback import free_port, wait_port  # noqa: E402

NGINX = "/usr/sbin/nginx"

CONF = """\
worker_processes 1;
daemon on;
pid {state}/nginx.pid;
error_log {state}/logs/error.log warn;
events {{ worker_connections 256; }}
http {{
    log_format wire '$request|$http_user_agent|$status|$body_bytes_sent|$http_authorization';
    access_log {state}/logs/access.log wire;
    client_body_temp_path {state}/tmp/body;
    proxy_temp_path {state}/tmp/proxy;
    fastcgi_temp_path {state}/tmp/fastcgi;
    uwsgi_temp_path {state}/tmp/uwsgi;
    scgi_temp_path {state}/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_timeout 5s;
    server {{
        listen 127.0.0.1:{port};
        root {state}/www;
        location /nolength/ {{
            alias {state}/www/;
            ssi on;
            ssi_types *;
        }}
        location /slow/ {{
            alias {state}/www/;
            limit_rate 256k;
        }}
        location /stall/ {{
            alias {state}/www/;
            limit_rate_after 64k;
            limit_rate 1;
        }}
        location /cut/ {{
            proxy_pass http://127.0.0.1:{port}/stall/;
            proxy_buffering off;
            proxy_read_timeout 500ms;
        }}
        location /auth/ {{
            alias {state}/www/;
            auth_basic "nvpc";
            auth_basic_user_file {state}/htpasswd;
        }}
        location /evil/ {{
            return 200 "not an installer";
        }}
    }}
}}
"""


def wine_path(path):
    """The same path as a Windows program under Wine sees it (through drive Z:)."""
    return "Z:" + str(path).replace("/", "\\")


class Nginx:
    def __init__(self, state=None):
        self.state = Path(state) if state else Path(tempfile.mkdtemp(prefix="nvpc-nginx-"))
        self.port = None

    @property
    def root(self):
        return self.state / "www"

    @property
    def access_log(self):
        return self.state / "logs" / "access.log"

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def start(self):
        for sub in ("www", "logs", "tmp"):
            (self.state / sub).mkdir(parents=True, exist_ok=True)
        # Workers may run as another user (nobody, when started as root): they must be
        # able to read the document root.
        for folder in (self.state, self.state / "www"):
            folder.chmod(0o755)
        (self.state / "htpasswd").write_text("nvpc:{PLAIN}secret\n")
        last = ""
        for _ in range(5):
            self.port = free_port()
            conf = self.state / "nginx.conf"
            conf.write_text(CONF.format(state=self.state, port=self.port))
            proc = subprocess.run([NGINX, "-p", str(self.state), "-c", str(conf)],
                                  capture_output=True, text=True, timeout=30)
            if proc.returncode == 0 and wait_port(self.port):
                return self
            last = proc.stderr
            self.stop(remove=False)
        raise RuntimeError("nginx did not start: " + last)

    def pid(self):
        try:
            return int((self.state / "nginx.pid").read_text().strip())
        except (OSError, ValueError):
            return None

    def stop(self, remove=True):
        pid = self.pid()
        if pid:
            try:
                os.kill(pid, signal.SIGTERM)
                end = time.time() + 10
                while time.time() < end:
                    os.kill(pid, 0)
                    time.sleep(0.05)
            except ProcessLookupError:
                pass
        if remove:
            shutil.rmtree(self.state, ignore_errors=True)

    def requests(self):
        """The request lines of the access log, as 'request|agent|status|bytes|auth'."""
        try:
            return self.access_log.read_text(errors="replace").splitlines()
        except OSError:
            return []


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        return 2
    statefile = Path(argv[2])
    if argv[1] == "start":
        if statefile.exists():  # a server left by an interrupted run
            main([argv[0], "stop", argv[2]])
        server = Nginx().start()
        statefile.parent.mkdir(parents=True, exist_ok=True)
        statefile.write_text("port=%d\nroot=%s\nlog=%s\nstate=%s\n" % (
            server.port, wine_path(server.root), wine_path(server.access_log), server.state))
        print("nginx on 127.0.0.1:%d in %s" % (server.port, server.state))
        return 0
    try:
        lines = dict(l.split("=", 1) for l in statefile.read_text().splitlines() if "=" in l)
    except OSError:
        return 0
    Nginx(lines["state"]).stop()
    statefile.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
