"""Looks at and drives the windows of programs under test through tools/winprobe
(WinProbe.exe), which runs under Wine beside them and answers in JSON.

    probe = WinProbe(bin_dir)
    window = probe.find(title="Norvane Update", wait=5000)   # None when it never shows
    controls = probe.controls(title="Norvane Update")         # list of dicts
    probe.click(cls="#32770", pid=window["pid"], id=1)        # True when a control was clicked
    probe.capture(title="Norvane Update", path=tmp_path / "shot.bmp")
    assert probe.wait_gone(title="Norvane Update", wait=5000)

Selectors: title (caption equals), cls (window class), hwnd, each optionally with pid.
"""
import json
import os
from pathlib import Path
from typing import List, Optional

from conftest import WINE_RUN, run_captured, to_windows_path

NOT_FOUND = 1
BAD_ARGUMENTS = 2


class WinProbeError(RuntimeError):
    pass


class WinProbe:
    def __init__(self, bin_dir: Path):
        self.program = Path(bin_dir) / "WinProbe.exe"
        assert self.program.exists(), f"{self.program} is not built"

    def _run(self, command, title=None, cls=None, hwnd=None, pid=None, wait=None, extra=()):
        args = [command]
        if title is not None:
            args += ["--title", title]
        if cls is not None:
            args += ["--class", cls]
        if hwnd is not None:
            args += ["--hwnd", str(hwnd)]
        if pid is not None:
            args += ["--pid", str(pid)]
        if wait is not None:
            args += ["--wait", str(int(wait))]
        args += [str(a) for a in extra]
        # The probe bounds its own waits; the margin covers Wine's start-up.
        timeout = (wait if wait is not None else 10000) / 1000 + 60
        proc = run_captured([WINE_RUN, self.program, *args], env=dict(os.environ), timeout=timeout)
        out = proc.stdout.decode("utf-8", errors="replace").strip()
        if proc.returncode not in (0, NOT_FOUND):
            raise WinProbeError(f"WinProbe {args} exited {proc.returncode}: {out} "
                                f"{proc.stderr.decode('utf-8', errors='replace').strip()}")
        answer = json.loads(out.splitlines()[-1]) if out else {}
        return proc.returncode, answer

    def find(self, **selector) -> Optional[dict]:
        """The window as {"hwnd","pid","title","class","rect"}, or None when it did not show."""
        code, answer = self._run("find", **selector)
        return answer if code == 0 else None

    def controls(self, **selector) -> Optional[List[dict]]:
        """Every child control of the window, or None when the window did not show."""
        code, answer = self._run("controls", **selector)
        return answer["controls"] if code == 0 else None

    def control(self, id, **selector) -> Optional[dict]:
        """The first control with this id, or None."""
        for item in self.controls(**selector) or []:
            if item["id"] == id:
                return item
        return None

    def click(self, id, **selector) -> bool:
        """Clicks the visible, enabled control with this id; False when there is none."""
        code, _ = self._run("click", extra=("--id", id), **selector)
        return code == 0

    def capture(self, path, **selector) -> Optional[dict]:
        """Writes the window's pixels to path (a 24-bit BMP); {"file","width","height",
        "method"}, or None when the window did not show."""
        code, answer = self._run("capture", extra=("--out", to_windows_path(Path(path).resolve())), **selector)
        return answer if code == 0 else None

    def wait_gone(self, **selector) -> bool:
        """True once no such window exists, False when it was still there at the end of the wait."""
        code, _ = self._run("wait-gone", **selector)
        return code == 0


def read_bmp(path):
    """(width, height, rows) of a 24-bit bottom-up BMP; rows top first, each a list of
    (b, g, r) tuples."""
    data = Path(path).read_bytes()
    assert data[:2] == b"BM", "not a BMP file"
    offset = int.from_bytes(data[10:14], "little")
    width = int.from_bytes(data[18:22], "little", signed=True)
    height = int.from_bytes(data[22:26], "little", signed=True)
    bits = int.from_bytes(data[28:30], "little")
    assert bits == 24, f"{bits} bits per pixel"
    stride = (width * 3 + 3) & ~3
    assert len(data) >= offset + stride * abs(height), "BMP pixel data is cut short"
    rows = []
    for y in range(abs(height)):
        start = offset + stride * y
        rows.append([tuple(data[start + 3 * x:start + 3 * x + 3]) for x in range(width)])
    if height > 0:
        rows.reverse()
    return width, abs(height), rows
