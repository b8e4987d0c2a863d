"""A small seeded slice of the fuzz runner (tools/fuzz/fuzz.py) over every parser, the
runner's own detection of crashes, hangs and guard damage, and a handful of the fault
matrix (tools/fuzz/faults.py) covering network, archive and file faults."""
import sys
from pathlib import Path

import pytest

from conftest import ROOT

sys.path.insert(0, str(ROOT / "tools" / "fuzz"))
import faults  # noqa: E402
import fuzz  # noqa: E402

SEED = 20261209
SLICE = 2000


@pytest.fixture(scope="module")
def driver(build_dir) -> Path:
    path = build_dir / "bin" / "nvpc_fuzz.exe"
    if not path.exists():
        pytest.skip("nvpc_fuzz is not built")
    return path


@pytest.mark.parametrize("target", sorted(fuzz.TARGETS))
def test_seeded_slice_finds_no_crash_hang_or_guard_damage(driver, build_dir, target):
    [summary] = fuzz.run([target], SEED, SLICE, build=str(build_dir), log=lambda s: None)
    assert summary.inputs == SLICE
    assert (summary.crashes, summary.hangs, summary.guards, summary.invariants) == (0, 0, 0, 0), summary.saved


def test_same_seed_same_inputs_other_seed_other_inputs():
    target = fuzz.TARGETS["link"]
    first = fuzz.batch_inputs(target, SEED, 0, 50)
    assert first == fuzz.batch_inputs(target, SEED, 0, 50)
    assert first != fuzz.batch_inputs(target, SEED + 1, 0, 50)
    assert len(set(first)) > 40, "the mutations vary"


# inputs of the driver's self check, what the runner must count, and the input it must save
SELF_CHECKS = [
    (["a", "b", "crash", "c"], {"crashes": 1}, "crash"),
    (["hang", "a"], {"hangs": 1}, "hang"),
    (["guard", "a", "guard"], {"guards": 2}, "guard"),
    (["a", "throw"], {"invariants": 1}, "throw"),
]


@pytest.mark.parametrize("inputs,counts,saved", SELF_CHECKS, ids=[c[2] for c in SELF_CHECKS])
def test_runner_finds_and_saves_the_input_that_fails(driver, tmp_path, monkeypatch, inputs, counts, saved):
    monkeypatch.setattr(fuzz, "ARTIFACTS", tmp_path / "artifacts")
    target = fuzz.Target("selfcheck", [], [], timeout=3.0)
    monkeypatch.setattr(fuzz, "batch_inputs", lambda t, seed, index, n: [s.encode() for s in inputs][:n])
    summary = fuzz.fuzz_target(driver, target, SEED, len(inputs), len(inputs), tmp_path, log=lambda s: None)
    found = {k: getattr(summary, k) for k in ("crashes", "hangs", "guards", "invariants") if getattr(summary, k)}
    assert found == counts
    assert summary.saved and all(Path(p).read_bytes() == saved.encode() for p in summary.saved)


def test_runner_does_not_blame_an_input_for_a_failure_that_does_not_repeat(driver, tmp_path, monkeypatch):
    """A driver run that ends without naming an input (a failed Wine start looks so) once."""
    monkeypatch.setattr(fuzz, "ARTIFACTS", tmp_path / "artifacts")
    target = fuzz.Target("selfcheck", [], [], timeout=3.0)
    monkeypatch.setattr(fuzz, "batch_inputs", lambda t, seed, index, n: [b"a", b"b", b"c"][:n])
    real, calls = fuzz.run_driver, []

    def fails_once(*args):
        calls.append(args)
        return fuzz.Outcome("crash", detail="exit 1: ") if len(calls) == 1 else real(*args)

    monkeypatch.setattr(fuzz, "run_driver", fails_once)
    summary = fuzz.fuzz_target(driver, target, SEED, 3, 3, tmp_path, log=lambda s: None)
    assert (summary.inputs, summary.crashes, summary.hangs, summary.saved) == (3, 0, 0, [])


CHEAP_FAULTS = [c.name for c in faults.CASES if c.cheap]


def test_fault_slice_fails_clearly_and_loses_no_file(build_dir):
    assert {"dl-refused", "dl-reset-mid-body", "http-reset-mid-header", "archive-corrupt",
            "copyfile-hostile-manifest", "copyfile-locked-target"} <= set(CHEAP_FAULTS)
    results = faults.run_cases(build_dir, CHEAP_FAULTS, log=lambda s: None)
    print(faults.table(results))
    assert [r.fault for r in results] == CHEAP_FAULTS
    bad = [(r.fault, r.outcome, r.lost) for r in results if not r.ok or r.lost]
    assert bad == []


LOSS_CASES = [
    # before, after, update, lost
    ({"a": "1", "b": "2"}, {"a": "1", "b": "2"}, {}, []),
    ({"a": "1", "b": "2"}, {"a": "1"}, {}, ["b"]),
    ({"a": "1"}, {"a": "9"}, {}, ["a"]),
]


@pytest.mark.parametrize("before,after,update,lost", LOSS_CASES)
def test_files_lost_counts_missing_and_foreign_bytes(before, after, update, lost):
    assert faults.files_lost(before, after, update) == lost


def test_files_lost_accepts_the_update_bytes():
    import hashlib
    new = b"new"
    digest = hashlib.sha256(new).hexdigest()
    assert faults.files_lost({"client.exe": "old"}, {"client.exe": digest}, {"client.exe": new}) == []
    assert faults.files_lost({"client.exe": "old"}, {"client.exe": "other"}, {"client.exe": new}) == ["client.exe"]


# case expectation, outcome, files lost, judged clear
VERDICTS = [
    ("failure", "box string 210:(9)", [], True),
    ("failure", "box string 210:(2) with proxy settings, Cancel", [], True),
    ("failure", "box string 210:HTTP status 404  /fm/x%2Ezip (8)", [], True),
    ("failure", "box string 210:(9)", ["client.exe"], False),  # a clear box, but a file lost
    ("failure", "box string 210:", [], False),  # no code
    ("failure", "no box, client started", [], False),  # a failure reported as success
    ("failure", "no box, ended 0", [], False),
    ("failure", "HANG (no box, no end in 120 s)", [], False),
    ("failure", "retry box string 214, Cancel", [], True),
    ("success", "no box, client started", [], True),
    ("silent", "no box, ended 0", [], True),
    ("silent", "no box, client started", [], False),
]


@pytest.mark.parametrize("expected,outcome,lost,clear", VERDICTS)
def test_matrix_verdicts(expected, outcome, lost, clear):
    assert faults.judge(faults.Case("x", None, expected), outcome, lost) is clear
