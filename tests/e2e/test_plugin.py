"""The browser plug-in as a browser loads it: tools/nphost (NpHost.exe) loads
NPNVPCUpdater.dll, starts an instance in a window and calls it as page script would, while
the real updater serves the loader control the plug-in creates through COM."""
import json
import os
import subprocess
import time

import pytest

from conftest import WINE_RUN, parse_log, run_captured, to_windows_path
from update_fixture import IDOK, load_strings
from winprobe import WinProbe
from test_loader_control import CLSID, MACHINE, reg_tree, registered, server, server_running, wait_until  # noqa: F401

EVENT_LOAD = "try{eventLoad()} catch(e) {} void(0);"


def nphost(bin_dir, tmp_path, lines, background=False):
    """Runs NpHost with a script of lines; its JSON answers (or the running process)."""
    script = tmp_path / f"nphost_{time.monotonic_ns()}.txt"
    script.write_text("\n".join(lines) + "\n", encoding="utf-8")
    command = [str(WINE_RUN), str(bin_dir / "NpHost.exe"), to_windows_path(bin_dir / "NPNVPCUpdater.dll"),
               to_windows_path(script)]
    if background:
        # Answers go to a file: a pipe would stay open in Wine's desktop process (run_captured).
        with open(script.with_suffix(".out"), "wb") as out:
            host = subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL, env=dict(os.environ))
        host.answers = script.with_suffix(".out")
        return host
    proc = run_captured(command, timeout=180, env=dict(os.environ))
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.decode().splitlines() if line.startswith("{")]


def answers(results, cmd, name=None):
    return [r for r in results if r["cmd"] == cmd and (name is None or r.get("name") == name)]


def test_pages_with_and_without_eventload_load_the_plugin(bin_dir, tmp_path):
    for page, calls in (("eventload", 1), ("plain", 0)):
        results = nphost(bin_dir, tmp_path, [f"page {page}", "start", "new", "window", "value 1", "value 2",
                                             "destroy", "shutdown"])
        start, = answers(results, "start")
        assert start["err"] == 0 and start["version"] == 22
        new, = answers(results, "new")
        assert new["err"] == 0 and new["script_errors"] == 0, page
        assert new["scripts"] == [EVENT_LOAD]
        assert new["eventLoad"] == calls
        if calls:
            assert new["getvalue_during_eventload"] == 1, "no scripting object while eventLoad runs"
        assert answers(results, "window")[0]["err"] == 0
        assert [r.get("text") for r in answers(results, "value")] == [
            "NPNVPCUpdater", "NPNVPCUpdater web infterface plugin"]
        destroy, = answers(results, "destroy")
        assert (destroy["err"], destroy["window_refs"], destroy["live"], destroy["allocations"]) == (0, 1, 0, 0)


def test_without_the_server_methods_are_absent_but_properties_work(bin_dir, tmp_path):
    if reg_tree(f"{MACHINE}\\CLSID\\{CLSID}") is not None:
        pytest.skip("the loader control is registered in this prefix by another run")
    results = nphost(bin_dir, tmp_path, [
        "page eventload", "start", "new", "window", "object", "hasmethod RunEx", "hasmethod SetTitle",
        "hasproperty Initial", "get Initial", "set Initial i:5", "get Initial", "default",
        "destroy", "release", "shutdown"])
    assert answers(results, "object")[0]["err"] == 0, "the scripting object exists without the control"
    assert [r["answer"] for r in answers(results, "hasmethod")] == [False, False]
    assert answers(results, "hasproperty")[0]["answer"] is True
    assert [r["result"] for r in answers(results, "get")] == [{"type": "int32", "value": 17}] * 2
    assert answers(results, "set")[0]["answer"] is True
    assert answers(results, "default")[0]["result"] == {"type": "string", "value": "default method return val"}
    release, = answers(results, "release")
    assert (release["window_refs"], release["live"], release["allocations"]) == (1, 0, 0)


def test_an_update_started_from_the_plugin_reaches_the_control_in_the_server(registered, bin_dir, tmp_path):
    assert wait_until(lambda: not server_running(registered), 15)
    caption = load_strings()[1033][200].replace("%s", "Plugin Test")
    probe = WinProbe(bin_dir)
    go = tmp_path / "go"
    host = nphost(bin_dir, tmp_path, [
        "page eventload", "start", "new", "window", "object", "object", "hasmethod RunEx",
        "call SetMSPort s:7084", "call SetTitle i:1", "call SetTitle s:a s:b", "call GetCurVer i:1 i:2 i:3",
        "call SetTitle s:Plugin%20Test", "call SetDNSHost s:127.0.0.1", "call SetMSPort d:7084.9",
        "call SetTimeOut d:3000.7", "call SetRunType i:0", "call RunEx s:", f"waitfile 120000 {to_windows_path(go)}",
        "destroy", "release", "shutdown"], background=True)
    try:
        dialog = probe.find(title=caption, wait=60000)
        assert dialog is not None, "the update dialog opens in the server"
        assert dialog["pid"] != host.pid
        go.write_text("")
        # The workflow finds no directory server here: its failure box shares the caption and
        # is answered until the host has ended.
        assert wait_until(lambda: probe.click(id=IDOK, title=caption, wait=500) and False or host.poll() is not None,
                          120)
        assert host.wait(timeout=60) == 0
    finally:
        if host.poll() is None:
            host.kill()
    results = [json.loads(line) for line in host.answers.read_text().splitlines() if line.startswith("{")]
    objects = answers(results, "object")
    assert [o["err"] for o in objects] == [0, 0] and [o["refs"] for o in objects] == [2, 3]
    assert answers(results, "hasmethod")[0]["answer"] is True
    calls = [(r["name"], r["answer"]) for r in answers(results, "call")]
    assert calls == [("SetMSPort", False), ("SetTitle", False), ("SetTitle", False), ("GetCurVer", True),
                     ("SetTitle", True), ("SetDNSHost", True), ("SetMSPort", True), ("SetTimeOut", True),
                     ("SetRunType", True), ("RunEx", True)]
    destroy, = answers(results, "destroy")
    assert destroy["err"] == 0 and destroy["window_refs"] == 1 and destroy["live"] == 1, "the host still holds it"
    release, = answers(results, "release")
    assert (release["live"], release["allocations"]) == (0, 0)
    # (Never kill a server: it ends by itself once the plug-in's object has released the control.)
    assert wait_until(lambda: not server_running(registered), 20), "the server ends after the last release"
    assert probe.wait_gone(title=caption, wait=15000)
    texts = [line.text for line in parse_log(registered.with_suffix(".log"))]
    for line in ("SetTitle : title=Plugin Test", "SetDNSHost : host=127.0.0.1", "SetMSPort : port=7084",
                 "SetTimeOut : time=3000", "SetRunType : type=0", ">>>>>> RunEx : option="):
        assert line in texts, line
    assert not any(t.startswith("SetMSPort : port=") and t != "SetMSPort : port=7084" for t in texts), \
        "the refused calls forwarded nothing"
    assert "FinalRelease" in texts
