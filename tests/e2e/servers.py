"""Servers the end-to-end tests start on loopback, and stop again."""
import json
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
REFSERVER = ROOT / "tools" / "refserver" / "refserver.py"


class RefServer:
    """The reference directory/upgrade server, configured from a dict (see refserver.py), on
    a port of its choosing or on port (for a server that comes up where a client found none
    before)."""

    def __init__(self, config, port=None):
        self.tmp = tempfile.TemporaryDirectory(prefix="refserver_")
        folder = Path(self.tmp.name)
        self.config_path = folder / "config.json"
        self.journal = folder / "journal.jsonl"
        self.manifest_dir = folder / "manifests"
        self.config_path.write_text(json.dumps(config))
        self.proc = subprocess.Popen(
            [sys.executable, str(REFSERVER), "--config", str(self.config_path), "--journal", str(self.journal),
             "--manifest-dir", str(self.manifest_dir)] + (["--port", str(port)] if port else []),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("READY "):
            self.stop()
            raise RuntimeError("reference server did not start: " + line + self.proc.stderr.read())
        self.port = int(line.split()[1])

    def requests(self):
        if not self.journal.exists():
            return []
        return [json.loads(line) for line in self.journal.read_text().splitlines() if line.strip()]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        self.tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
