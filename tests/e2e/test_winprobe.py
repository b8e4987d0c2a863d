"""The window probe finds, reads, captures and clicks the windows of another process: a
message box, then a borderless dialog with owner-drawn controls (tools/winprobe/ProbeTarget)."""
import subprocess
import time

import pytest

from conftest import WINE_RUN, run_captured, to_windows_path
from winprobe import WinProbe, read_bmp

BUTTON_FILL = (0xC0, 0x60, 0x20)  # the target's owner-drawn button, as (b, g, r)


def wait_for_line(path, line, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if path.exists() and line in path.read_text().splitlines():
            return True
        time.sleep(0.05)
    return False


def test_probe_reads_captures_and_clicks_another_process(bin_dir, tmp_path):
    probe = WinProbe(bin_dir)
    record = tmp_path / "record.txt"
    target = subprocess.Popen([str(WINE_RUN), str(bin_dir / "ProbeTarget.exe"), to_windows_path(record)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for_line(record, "started"), "the target did not start"

        # The message box: found by caption, then addressed by class and process.
        box = probe.find(title="Probe Question", wait=15000)
        assert box is not None
        assert box["class"] == "#32770" and box["title"] == "Probe Question"
        by_class = {"cls": "#32770", "pid": box["pid"]}
        ids = {c["id"]: c for c in probe.controls(**by_class)}
        assert ids[6]["text"] == "&Yes" and ids[7]["text"] == "&No"
        assert probe.find(cls="#32770", pid=box["pid"] + 1, wait=0) is None
        assert probe.click(id=6, **by_class)
        assert probe.wait_gone(title="Probe Question", wait=10000)
        assert wait_for_line(record, "msgbox 6")

        dialog = probe.find(title="Probe Target", wait=15000)
        assert dialog is not None and dialog["pid"] == box["pid"]
        controls = {c["id"]: c for c in probe.controls(title="Probe Target")}
        assert {1001, 1002, 1003, 1004, 202} <= set(controls)
        assert (controls[1004]["visible"], controls[1004]["enabled"]) == (True, False)
        go, status, hidden, progress = controls[1001], controls[1002], controls[1003], controls[202]
        assert (go["class"], go["text"], go["visible"], go["enabled"]) == ("Button", "Go", True, True)
        assert (status["text"], status["visible"]) == ("Status text", True)
        assert (hidden["text"], hidden["visible"]) == ("Hidden text", False)
        assert (progress["class"], progress["pos"], progress["min"], progress["max"]) == \
            ("msctls_progress32", 40, 0, 100)
        # Client coordinates: inside the dialog, not on the screen.
        left, top, right, bottom = dialog["rect"]
        assert 0 <= go["rect"][0] < go["rect"][2] <= right - left
        assert 0 <= go["rect"][1] < go["rect"][3] <= bottom - top

        shot = probe.capture(tmp_path / "dialog.bmp", title="Probe Target")
        assert shot is not None
        width, height, rows = read_bmp(tmp_path / "dialog.bmp")
        assert (width, height) == (shot["width"], shot["height"]) == (right - left, bottom - top)
        colours = {pixel for row in rows for pixel in row}
        assert len(colours) > 1
        assert BUTTON_FILL in colours, f"no button pixels in the capture ({shot['method']})"

        # Hidden and disabled controls are not clicked; the owner-drawn button is, and the target ends.
        assert not probe.click(id=1003, title="Probe Target")
        assert not probe.click(id=1004, title="Probe Target")
        assert not probe.click(id=4242, title="Probe Target")
        assert probe.click(id=1001, title="Probe Target")
        assert probe.wait_gone(title="Probe Target", wait=10000)
        assert target.wait(timeout=30) == 0
        assert record.read_text().splitlines() == ["started", "msgbox 6", "clicked 1001", "dialog 1001"]
        assert probe.find(title="Probe Target", wait=0) is None
        assert probe.controls(title="Probe Target", wait=0) is None
    finally:
        if target.poll() is None:
            target.kill()
            target.wait(timeout=30)


@pytest.mark.parametrize("args", [
    [],                                      # no command
    ["find"],                                # no selector
    ["jump", "--title", "x"],                # unknown command
    ["click", "--title", "x"],               # click without an id
    ["capture", "--title", "x"],             # capture without a file
    ["find", "--title", "x", "--wait", "-5"],
    ["find", "--title", "x", "--pid", "12ab"],
    ["click", "--title", "x", "--id", "70000"],
    ["find", "--title"],                     # option without its value
])
def test_bad_arguments_exit_2(bin_dir, args):
    proc = run_captured([WINE_RUN, bin_dir / "WinProbe.exe", *args], timeout=60)
    assert proc.returncode == 2, proc.stdout
    assert b'"error"' in proc.stdout
