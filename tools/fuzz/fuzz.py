#!/usr/bin/env python3
"""Seeded fuzz runner for the product's parsers (driver: nvpc_fuzz.exe, tools/fuzz/FuzzDriver.cpp).

    tools/fuzz/fuzz.py [--seed 1] [--count 1000000] [--targets link,packet] [--batch N]

For each target it generates COUNT inputs (mutations of valid samples: bit flips,
truncation, splices, long runs, bad UTF-8, separators, path tricks; and random bytes),
writes them to batch files and runs the driver on each batch under Wine. A batch that dies
or runs past its time limit is bisected down to the input that does it; such inputs, and
inputs that damaged a guard or broke an invariant, are saved under
build/artifacts/fuzz/<target>/. Prints one line per target and exits 1 when any was found.

The same seed gives the same inputs (random.Random per target and batch).
"""
import argparse
import base64
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, List, Optional

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "scripts" / "wine-run"
ARTIFACTS = ROOT / "build" / "artifacts" / "fuzz"

# ---------------------------------------------------------------- samples


def b64(text: bytes) -> bytes:
    return base64.b64encode(text)


LINK_QUERY = (b"LID=1033&PTP=1&CAP=Norvane Meeting&GRP=Calderix&CID=ACME&PID=NVPC&FNM=client.exe"
              b"&UIP=127.0.0.1&DIP=127.0.0.1&DID=ACME&MSP=7000&WSP=80&UPP=7001&UID=user01"
              b"&RNM=Room \xed\x9a\x8c\xec\x9d\x98&ALS=al&MID=5&MAX=2&UTP=1&QTO=5000&RTP=0&URL=http://h/r"
              b"&SAT=1700000000&LAT=1700000000&EAT=3600&VER=1.0.0.1&UDU=http://h/l.exe&X=1&Y=a%20b")


def link_samples() -> List[bytes]:
    return [b"norvane:?" + b64(LINK_QUERY),
            b"norvane://open?" + b64(LINK_QUERY[:120]),
            b"norvane:?VER=2.0&UDU=http://h/l.exe&" + b64(LINK_QUERY),
            b'"norvane:?' + b64(b"PID=NVPC&FNM=client.exe&OPT=/A:1") + b'"',
            b"norvane:?" + b64(b"RNM=%22%20/X:1&UID=a\"b&FNM=..\\x.exe"),
            b"norvane:?PID=NVPC&CID=A",
            b"norvane:"]


def link_structured(rng: random.Random) -> bytes:
    """A link whose decoded query is mutated, so the mutation reaches past the Base64 step."""
    query = mutate(rng, LINK_QUERY, PATH_TRICKS + SEPARATORS_LINK)
    form = rng.randrange(3)
    if form == 0:
        return b"norvane:?" + b64(query)
    if form == 1:
        return b"norvane:?VER=1.0&UDU=http://h/u&" + b64(query)
    return b"norvane:?" + query


def manifest_samples() -> List[bytes]:
    rows = b"".join(b"<file type=\"%d\"><name>%s</name><ipath>%s</ipath></file>" % (t, n, p)
                    for t, n, p in [(0, b"client.exe", b""), (1, b"setup.exe", b"bin"),
                                    (0, b"master_1.xml", b"config"), (0, b"./a/b.dll", b"bin//x")])
    return [b'<?xml version="1.0"?>\n<files_info ver="1.0.0.2">\n' + rows + b"\n</files_info>\n",
            b'<files_info ver="12345678901234567890"><file><name>PROD.xml</name><ipath>config</ipath></file></files_info>',
            b"<FILES_INFO ver='1'><FILE><NAME>a</NAME><IPATH>..\\..</IPATH></FILE></FILES_INFO>",
            b'<?xml version="1.0" encoding="UTF-8"?><files_info ver="&amp;&lt;"><![CDATA[x]]><!-- c --></files_info>']


def packet_samples() -> List[bytes]:
    def packet(sub, body, length=None):
        return struct.pack("<HHHH", 0x26C, sub, 0, len(body) if length is None else length) + body
    return [packet(2, b"10.20.30.40\x011.0\x02"),
            packet(2, b"http://127.0.0.1/patch/NVPC_1.zip"),
            packet(4, b""),
            packet(3, b"refused\x02"),
            packet(2, b"\x02"),
            packet(2, b"a" * 60 + b"\x01b\x02"),
            packet(2, b"x" * 200, 38401),
            packet(2, b'1.2.3.4" /X:1\x01\x02')]


def base64_samples() -> List[bytes]:
    return [b64(LINK_QUERY), b64(b"user:password"), b"QQ==", b"QUI=", b"====", b"A\r\nB C\tD==", b""]


def zipname_samples() -> List[bytes]:
    return [b"client.exe", b"bin/core.dll", b"./bin/a.dll", b"config\\master_1.xml", b"../x.txt",
            b"..\\..\\x", b"C:\\Windows\\x", b"\\\\server\\share\\x", b"\\\\?\\C:\\x", b"a/./b",
            b"CON", b"aux.txt", b"a:stream", b"dir/", b". ./x", b"a\\..\\..\\b"]


PATH_TRICKS = [b"..", b"../", b"..\\", b"/", b"\\", b"C:", b":", b"\\\\?\\", b"\\\\srv\\", b"CON", b"nul.txt",
               b"*", b"?", b"%2e%2e%2f", b". .", b"./", b"\"", b"%22", b" /X:1 ", b"\x00"]
SEPARATORS_LINK = [b"&", b"=", b"&&", b"==", b"%", b"%00", b"%ff", b"+", b"?", b"\"", b"\r\n"]
SEPARATORS_PACKET = [b"\x01", b"\x02", b"\x00", b"\x01\x02", b"\x02\x02"]
SEPARATORS_XML = [b"<", b">", b"</", b"/>", b"<file>", b"<name>", b"</name>", b"<ipath>", b"&#0;", b"&#x41;",
                  b"&", b"<!--", b"<![CDATA[", b"]]>", b"\"", b"'", b"<files_info ver=\""]
BAD_UTF8 = [b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff", b"\xfe", b"\xe0\x80", b"\xc3",
            b"\xef\xbb\xbf", b"\xf0\x9f\x98"]


def mutate(rng: random.Random, data: bytes, tokens: List[bytes], others: Optional[List[bytes]] = None) -> bytes:
    """A few stacked mutations of data."""
    out = bytearray(data)
    for _ in range(rng.choice((1, 1, 2, 3, 5))):
        kind = rng.randrange(10)
        pos = rng.randrange(len(out) + 1)
        if kind == 0 and out:  # bit flips
            for _ in range(rng.randrange(1, 4)):
                i = rng.randrange(len(out))
                out[i] ^= 1 << rng.randrange(8)
        elif kind == 1:  # truncation
            out = out[:pos]
        elif kind == 2 and others:  # splice with another sample
            other = rng.choice(others)
            out = out[:pos] + other[rng.randrange(len(other) + 1):]
        elif kind == 3:  # long run
            unit = rng.choice([b"A", b"\x01", b"/", b"..\\", b"=", b"&", b"\xff", b"%", bytes([rng.randrange(256)])])
            out[pos:pos] = unit * rng.choice((64, 300, 1000, 4096, 9000, 40000))
        elif kind == 4:  # bad UTF-8
            out[pos:pos] = rng.choice(BAD_UTF8)
        elif kind == 5:  # separators and path tricks
            out[pos:pos] = rng.choice(tokens)
        elif kind == 6 and out:  # delete a span
            end = min(len(out), pos + rng.randrange(1, 64))
            del out[pos:end]
        elif kind == 7 and out:  # duplicate a span
            end = min(len(out), pos + rng.randrange(1, 256))
            out[pos:pos] = out[pos:end] * rng.randrange(1, 8)
        elif kind == 8:  # random bytes
            out[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 16)))
        elif kind == 9 and out:  # interesting byte values
            out[rng.randrange(len(out))] = rng.choice((0, 1, 2, 0x22, 0x25, 0x2f, 0x5c, 0x7f, 0x80, 0xff))
    return bytes(out)


@dataclass
class Target:
    name: str
    samples: List[bytes]
    tokens: List[bytes]
    structured: Optional[Callable[[random.Random], bytes]] = None
    max_random: int = 512
    batch: int = 20000
    timeout: float = 300.0


TARGETS = {
    "link": Target("link", link_samples(), SEPARATORS_LINK + PATH_TRICKS, link_structured),
    "linkfile": Target("linkfile", [s + b"\r\nsecond\n" for s in link_samples()] + [b"\nnorvane:?x"],
                       SEPARATORS_LINK + [b"\n", b"\r"] + PATH_TRICKS, link_structured, batch=5000),
    "packet": Target("packet", packet_samples(), SEPARATORS_PACKET + PATH_TRICKS, max_random=40000),
    "base64": Target("base64", base64_samples(), [b"=", b"==", b" ", b"\r\n", b"\x80", b"+/", b"-_"]),
    "manifest": Target("manifest", manifest_samples(), SEPARATORS_XML + PATH_TRICKS, batch=5000),
    "zipname": Target("zipname", zipname_samples(), PATH_TRICKS, max_random=300),
}


def generate(target: Target, rng: random.Random) -> bytes:
    roll = rng.random()
    if roll < 0.1:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(target.max_random + 1)))
    if roll < 0.35 and target.structured:
        return target.structured(rng)
    return mutate(rng, rng.choice(target.samples), target.tokens, target.samples)


def batch_inputs(target: Target, seed: int, index: int, count: int) -> List[bytes]:
    rng = random.Random(f"{seed}:{target.name}:{index}")
    return [generate(target, rng) for _ in range(count)]


# ---------------------------------------------------------------- running


def wine_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def write_batch(path: Path, inputs: List[bytes]):
    with open(path, "wb") as f:
        f.write(b"NVFZ")
        for data in inputs:
            f.write(struct.pack("<I", len(data)))
            f.write(data)


@dataclass
class Outcome:
    status: str  # ok, crash, hang, error
    lines: List[str] = field(default_factory=list)
    crash_index: Optional[int] = None
    detail: str = ""


def run_driver(driver: Path, target: str, batch: Path, first: int, count: int, timeout: float) -> Outcome:
    env = dict(os.environ, WINEDEBUG="-all")
    # The file targets write a file per input: a memory file system makes that five times faster.
    if Path("/dev/shm").is_dir() and "NVPC_FUZZ_SCRATCH" not in env:
        env["NVPC_FUZZ_SCRATCH"] = wine_path(batch.parent)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([str(WINE_RUN), str(driver), target, wine_path(batch), str(first), str(count)],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            # The driver itself (wine-run execs it), never its process group: a Wine
            # desktop process it started serves every other program in the prefix.
            proc.kill()
            proc.wait()
            return Outcome("hang", detail=f"no end within {timeout:.0f} s")
        out.seek(0)
        err.seek(0)
        lines = out.read().decode("utf-8", "replace").splitlines()
        errors = err.read().decode("utf-8", "replace").splitlines()
    crash = [e for e in errors if e.startswith("crash ")]
    if code == 0 and lines and lines[-1] == f"done {count}":
        return Outcome("ok", lines[:-1])
    index = None
    if crash:
        index = int(crash[0].split()[1])
    status = "crash" if (crash or code not in (0, 2)) else "error"
    return Outcome(status, lines, index, " ".join(crash) or f"exit {code}: {' '.join(errors[-3:])}")


def bisect(driver: Path, target: Target, batch: Path, first: int, count: int, status: str) -> int:
    """The index of the input that makes [first, first+count) crash or hang."""
    while count > 1:
        half = count // 2
        probe = run_driver(driver, target.name, batch, first, half, target.timeout)
        if probe.status == status:
            count = half
        else:
            first, count = first + half, count - half
    return first


def save(target: str, seed: int, kind: str, data: bytes, note: str) -> Path:
    folder = ARTIFACTS / target
    folder.mkdir(parents=True, exist_ok=True)
    import hashlib
    path = folder / f"{kind}-{seed}-{hashlib.sha1(data).hexdigest()[:12]}.bin"
    path.write_bytes(data)
    path.with_suffix(".txt").write_text(note + "\n")
    return path


@dataclass
class Summary:
    target: str
    inputs: int = 0
    seconds: float = 0.0
    crashes: int = 0
    hangs: int = 0
    guards: int = 0
    invariants: int = 0
    saved: List[str] = field(default_factory=list)

    @property
    def clean(self) -> bool:
        return not (self.crashes or self.hangs or self.guards or self.invariants)


def fuzz_target(driver: Path, target: Target, seed: int, count: int, batch_size: int, work: Path,
                log=print) -> Summary:
    summary = Summary(target.name)
    start = time.monotonic()
    batch_no = 0
    done = 0
    while done < count:
        n = min(batch_size, count - done)
        inputs = batch_inputs(target, seed, batch_no, n)
        batch = work / f"{target.name}-{batch_no}.fz"
        write_batch(batch, inputs)
        first = 0
        reported = set()  # (kind, index): a slice run again reports its inputs again
        unconfirmed = 0
        # Run the batch; after a crash or hang, find the input and go on after it.
        while first < n:
            outcome = run_driver(driver, target.name, batch, first, n - first, target.timeout)
            for line in outcome.lines:
                kind, _, rest = line.partition(" ")
                if kind in ("guard", "invariant"):
                    index_text, _, what = rest.partition(" ")
                    if (kind, index_text) in reported:
                        continue
                    reported.add((kind, index_text))
                    setattr(summary, kind + "s", getattr(summary, kind + "s") + 1)
                    if len(summary.saved) < 50:
                        summary.saved.append(str(save(target.name, seed, kind, inputs[int(index_text)], what)))
            if outcome.status == "ok":
                break
            if outcome.status == "error":
                raise RuntimeError(f"driver failed on {target.name}: {outcome.detail}")
            index = outcome.crash_index
            if index is None:
                index = bisect(driver, target, batch, first, n - first, outcome.status)
                # The driver ended without naming an input, which a failed start of the
                # Wine process looks like too: the input is blamed only if it fails alone.
                if run_driver(driver, target.name, batch, index, 1, target.timeout).status != outcome.status:
                    unconfirmed += 1
                    log(f"  {target.name}: {outcome.status} at input {batch_no}:{index} does not repeat alone "
                        f"({outcome.detail}); running the slice again")
                    if unconfirmed > 3:
                        raise RuntimeError(f"driver keeps failing on {target.name} without a repeatable input: "
                                           f"{outcome.detail}")
                    continue
            if outcome.status == "crash":
                summary.crashes += 1
            else:
                summary.hangs += 1
            summary.saved.append(str(save(target.name, seed, outcome.status, inputs[index], outcome.detail)))
            log(f"  {target.name}: {outcome.status} at input {batch_no}:{index} ({outcome.detail})")
            first = index + 1
        batch.unlink()
        done += n
        batch_no += 1
        if batch_no % 10 == 0:
            log(f"  {target.name}: {done} inputs, {time.monotonic() - start:.0f} s")
    summary.inputs = done
    summary.seconds = time.monotonic() - start
    return summary


def find_driver(build: Optional[str]) -> Path:
    folder = Path(build or os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake"))
    driver = folder / "bin" / "nvpc_fuzz.exe"
    if not driver.exists():
        raise SystemExit(f"{driver} is not built (cmake --build {folder} --target nvpc_fuzz)")
    return driver


def run(targets: List[str], seed: int, count: int, build: Optional[str] = None, batch: Optional[int] = None,
        log=print) -> List[Summary]:
    driver = find_driver(build)
    results = []
    shm = "/dev/shm" if Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(prefix="nvpc_fuzz_", dir=shm) as tmp:
        for name in targets:
            target = TARGETS[name]
            summary = fuzz_target(driver, target, seed, count, batch or target.batch, Path(tmp), log)
            log(f"{name:9s} inputs={summary.inputs} seconds={summary.seconds:.0f} crashes={summary.crashes} "
                f"hangs={summary.hangs} guards={summary.guards} invariants={summary.invariants}")
            results.append(summary)
    return results


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=1000000, help="inputs per target")
    ap.add_argument("--targets", default=",".join(TARGETS))
    ap.add_argument("--batch", type=int, help="inputs per driver run (default: per target)")
    ap.add_argument("--build", help="build folder (default: $NVPC_BUILD_DIR or build/cmake)")
    args = ap.parse_args(argv)
    names = [n for n in args.targets.split(",") if n]
    unknown = [n for n in names if n not in TARGETS]
    if unknown:
        ap.error(f"unknown targets: {unknown}")
    results = run(names, args.seed, args.count, args.build, args.batch, log=lambda s: print(s, flush=True))
    for s in results:
        for path in s.saved:
            print("saved", path)
    return 0 if all(s.clean for s in results) else 1


if __name__ == "__main__":
    sys.exit(main())
