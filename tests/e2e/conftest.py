"""Shared fixtures of the end-to-end tests: the build folder, running Windows programs
under Wine with a log file of their own, and reading the Logger library's lines back.

    def test_x(wine, log_file):
        result = wine.run("NVPCUpdater.exe", "/Loader", log_file=log_file)
        assert result.returncode == 0
        assert "CMngrSocket::InitNetwork" in result.texts
"""
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import List, Optional

import pytest

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "scripts" / "wine-run"
DEFAULT_BUILD = Path("/work/main/build/cmake")

# "YYYY-MM-DD hh:mm:ss.mmm T<tid> L<level> <text>"
LOG_LINE = re.compile(r"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) T(\d+) L(-?\d+) (.*)$")


@dataclass
class LogLine:
    stamp: str
    thread: int
    level: int
    text: str


def parse_log(path) -> List[LogLine]:
    """The lines of a Logger file, in order; an absent file gives no lines."""
    path = Path(path)
    if not path.exists():
        return []
    lines = []
    for raw in path.read_bytes().decode("utf-8", errors="replace").split("\r\n"):
        match = LOG_LINE.match(raw)
        if match:
            lines.append(LogLine(match.group(1), int(match.group(2)), int(match.group(3)), match.group(4)))
    return lines


def to_windows_path(path) -> str:
    """A Unix path as Wine's Z: drive shows it."""
    return "Z:" + str(PurePath(path)).replace("/", "\\")


def run_captured(command, env=None, cwd=None, timeout=120) -> subprocess.CompletedProcess:
    """subprocess.run with stdout and stderr captured through files, not pipes. The first
    Wine program to need a desktop starts Wine's desktop process, which inherits that
    program's standard handles and lives as long as any window does: reading a pipe to
    its end would wait for every other program's windows to close."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run([str(c) for c in command], env=env, cwd=cwd, timeout=timeout,
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(proc.args, proc.returncode, out.read(), err.read())


@dataclass
class RunResult:
    returncode: int
    stdout: str
    stderr: str
    log: List[LogLine] = field(default_factory=list)

    @property
    def texts(self) -> List[str]:
        return [line.text for line in self.log]


class WineRunner:
    """Runs Windows programs of the build (or any path) through scripts/wine-run."""

    def __init__(self, bin_dir: Path):
        self.bin_dir = bin_dir

    def program(self, name) -> Path:
        path = Path(name)
        if not path.is_absolute():
            path = self.bin_dir / name
        assert path.exists(), f"{path} is not built"
        return path

    def run(self, program, *args, log_file: Optional[Path] = None, env=None, cwd=None, timeout=120) -> RunResult:
        """Runs program with args and waits (bounded). With log_file, the Logger library writes
        there (NVPC_LOG_FILE) and the result carries the parsed lines."""
        environment = dict(os.environ)  # scripts/wine-run provides a display when none is set
        if env:
            environment.update(env)
        if log_file is not None:
            environment["NVPC_LOG_FILE"] = to_windows_path(log_file)
        proc = run_captured([WINE_RUN, self.program(program), *args], env=environment, cwd=cwd, timeout=timeout)
        return RunResult(proc.returncode, proc.stdout.decode("utf-8", errors="replace"),
                         proc.stderr.decode("utf-8", errors="replace"),
                         parse_log(log_file) if log_file is not None else [])


@pytest.fixture(scope="session")
def build_dir() -> Path:
    """The build folder: NVPC_BUILD_DIR, else the lead's build."""
    path = Path(os.environ.get("NVPC_BUILD_DIR", DEFAULT_BUILD))
    if not (path / "bin").is_dir():
        pytest.skip(f"no build in {path}")
    return path


@pytest.fixture(scope="session")
def bin_dir(build_dir) -> Path:
    return build_dir / "bin"


@pytest.fixture
def wine(bin_dir) -> WineRunner:
    return WineRunner(bin_dir)


@pytest.fixture(scope="session")
def strings():
    """{language id: {string id: text}}: the programs' string table."""
    from update_fixture import load_strings
    return load_strings()


@pytest.fixture
def probe(bin_dir):
    """The window probe (tests/e2e/winprobe.py)."""
    from winprobe import WinProbe
    return WinProbe(bin_dir)


@pytest.fixture
def log_file(tmp_path) -> Path:
    """A fresh log file path for one run (the Logger library creates it)."""
    return tmp_path / "nvpc.log"


@pytest.fixture
def program_copy(bin_dir, tmp_path):
    """Copies a program and the Logger library into a fresh folder, for programs that read
    files beside themselves. Returns the copied program's path; extra names are copied too."""
    counter = [0]

    def copy(name, *extra) -> Path:
        counter[0] += 1
        folder = tmp_path / f"prog{counter[0]}"
        folder.mkdir()
        for item in (name, "Logger.dll", *extra):
            shutil.copy2(bin_dir / item, folder / item)
        return folder / name

    return copy


@pytest.fixture
def nginx():
    """A private nginx on 127.0.0.1 (see tests/install/nginx_fixture.py), stopped afterwards."""
    import sys
    sys.path.insert(0, str(ROOT / "tests" / "install"))
    from nginx_fixture import Nginx
    server = Nginx().start()
    yield server
    server.stop()
