"""Reading what the test stand-ins (tools/teststubs) recorded about their starts."""
import time
from pathlib import Path
from urllib.parse import unquote


def read_records(path):
    """The start blocks of a record file, each a dict (start, cmdline, args, cwd)."""
    path = Path(path)
    if not path.exists():
        return []
    records, current = [], None
    for line in path.read_bytes().decode("utf-8").split("\r\n"):
        if line.startswith("start="):
            current = {"start": line[6:]}
        elif line == "end" and current is not None:
            records.append(current)
            current = None
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current[key] = unquote(value)
    return records


def wait_for_records(path, count=1, seconds=30):
    """Waits (bounded) until the record file holds count starts; returns what it holds."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        records = read_records(path)
        if len(records) >= count:
            return records
        time.sleep(0.1)
    return read_records(path)
