"""JSON Lines: loads(data, lines=True) against a loop of orjson.loads and of
ssrjson.loads over data.splitlines(), and dumps(records, lines=True) against
their dumps of each record joined by line feeds, on 100,000 records; then the
memory each reading takes beyond the values it returns.

Run by `make bench`. As in bench_dumps.py, a peer whose output is bytes is
compared as it is where the text is all ASCII, and otherwise pays for the
decoding to a str that dumps returns. Columns "peer/vesk" are each peer's
time divided by vesk's, paired round by round: above 1.0 means vesk is faster.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
from pathlib import Path

import orjson
import ssrjson

import vesk
from common import CORPUS, compare
from datasets import employees, log_events, orders

LINES = 100_000


def corpus_users() -> list[dict]:
    """The user records of random.json, repeated with fresh ids."""
    records = json.loads((CORPUS / "random.json").read_bytes())["result"]
    return [dict(records[i % len(records)], id=i) for i in range(LINES)]


def sets() -> dict[str, list[dict]]:
    out = {
        "employees": employees(LINES),
        "log events": log_events(LINES),
        "orders (nested)": orders(LINES),
    }
    if (CORPUS / "random.json").is_file():
        out["random.json users"] = corpus_users()
    return out


def main() -> None:
    print(f"vesk {vesk.__version__} ({vesk.__simd__}), Python {sys.version.split()[0]}, {LINES:,} lines")
    print(f"{'loads':<20}{'MB':>6}{'vesk ms':>10}{'orjson ms':>11}{'ssrjson ms':>12}"
          f"{'orjson/vesk':>13}{'ssrjson/vesk':>14}")
    written = []
    for name, records in sets().items():
        data = b"".join(orjson.dumps(r) + b"\n" for r in records)
        assert vesk.loads(data, lines=True) == [orjson.loads(line) for line in data.splitlines()]
        t = compare({
            "vesk": lambda: vesk.loads(data, lines=True),
            "orjson": lambda: [orjson.loads(line) for line in data.splitlines()],
            "ssrjson": lambda: [ssrjson.loads(line) for line in data.splitlines()],
        })
        print(f"{name:<20}{len(data) / 1e6:>6.1f}{t['vesk'] * 1e3:>10.1f}{t['orjson'] * 1e3:>11.1f}"
              f"{t['ssrjson'] * 1e3:>12.1f}{t.ratio('orjson', 'vesk'):>13.2f}{t.ratio('ssrjson', 'vesk'):>14.2f}")
        written.append((name, records, data.isascii()))
    print()
    print(f"{'dumps':<20}{'vesk ms':>16}{'orjson ms':>11}{'ssrjson ms':>12}{'orjson/vesk':>13}{'ssrjson/vesk':>14}")
    for name, records, ascii_only in written:
        if ascii_only:
            orjson_lines = lambda: b"".join([orjson.dumps(r) + b"\n" for r in records])
        else:
            orjson_lines = lambda: b"".join([orjson.dumps(r) + b"\n" for r in records]).decode()
        assert vesk.dumps(records, lines=True).encode() == b"".join(orjson.dumps(r) + b"\n" for r in records)
        t = compare({
            "vesk": lambda: vesk.dumps(records, lines=True),
            "orjson": orjson_lines,
            "ssrjson": lambda: "".join([ssrjson.dumps(r) + "\n" for r in records]),
        })
        label = name + ("" if ascii_only else " (str)")
        print(f"{label:<20}{t['vesk'] * 1e3:>16.1f}{t['orjson'] * 1e3:>11.1f}{t['ssrjson'] * 1e3:>12.1f}"
              f"{t.ratio('orjson', 'vesk'):>13.2f}{t.ratio('ssrjson', 'vesk'):>14.2f}")


# Run in a fresh interpreter per reader: resident memory before the call,
# after it (what the values hold) and at its peak. (The peak is the process's
# own high-water mark: getrusage's would carry over the parent's from the fork.)
MEMORY_PROBE = """
import sys
import orjson, vesk
data = open(sys.argv[1], "rb").read()
read = {"vesk": lambda: vesk.loads(data, lines=True),
        "orjson": lambda: [orjson.loads(line) for line in data.splitlines()]}[sys.argv[2]]
def status(field):
    line = next(l for l in open("/proc/self/status") if l.startswith(field + ":"))
    return int(line.split()[1]) * 1024
before = status("VmRSS")
values = read()
print(before, status("VmRSS"), status("VmHWM"))
"""


def memory(records: list[dict]) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "records.jsonl"
        path.write_bytes(b"".join(orjson.dumps(r) + b"\n" for r in records))
        size = path.stat().st_size
        print(f"{'memory (MB)':<20}{'text':>8}{'values':>8}{'peak beyond values':>20}")
        for reader in ("vesk", "orjson"):
            out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path, reader], capture_output=True,
                                 text=True, check=True).stdout
            before, after, peak = map(int, out.split())
            print(f"{reader:<20}{size / 1e6:>8.1f}{(after - before) / 1e6:>8.1f}{(peak - after) / 1e6:>20.1f}")


if __name__ == "__main__":
    main()
    print()
    memory(employees(LINES * 4))
