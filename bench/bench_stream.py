"""Reading text as it arrives: loads(partial=True) and vesk.Stream against
one loads of the whole text, and against re-reading the whole buffer at each
chunk with jiter and partial-json-parser.

Run by `make bench`. Prints markdown tables; ratios are each contender's
time divided by the baseline named in the table, so below 1.0 is faster.
The re-reading contenders are quadratic in the reply's length, so they run
on a shorter reply, said in the table's heading.
"""

from __future__ import annotations

import json
import sys
import time
from importlib.metadata import version

import jiter
import partial_json_parser

import vesk
from bench_grid import as_table, records
from common import Timings, compare, corpus_or_exit

DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json", "github_events.json"]
CHUNK = 4096
SHORT_ROWS = 1_000  # the reply the re-reading contenders read


def chunks(data: bytes) -> list[bytes]:
    return [data[i : i + CHUNK] for i in range(0, len(data), CHUNK)]


def stream_rows(parts: list[bytes]) -> list:
    stream = vesk.Stream()
    out: list = []
    for part in parts:
        out += stream.feed(part)
    return out


def stream_and_close(parts: list[bytes]) -> object:
    stream = vesk.Stream()
    for part in parts:
        stream.feed(part)
    return stream.close()


def reread(parts: list[bytes], read) -> object:
    """Reads the whole buffer again at each chunk, as a caller without a
    stream does to show a reply while it arrives."""
    buf = b""
    value = None
    for part in parts:
        buf += part
        value = read(buf)
    return value


def compare_unlike(contenders: dict, rounds: int = 5) -> Timings:
    """As common.compare, in rotating rounds, but with a repeat count of its
    own for each contender: their times differ a thousandfold."""
    numbers = {}
    for name, fn in contenders.items():
        start = time.perf_counter()
        fn()
        numbers[name] = max(1, int(0.05 / max(time.perf_counter() - start, 1e-7)))
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    order = list(contenders.items())
    for round_ in range(rounds):
        shift = round_ % len(order)
        for name, fn in order[shift:] + order[:shift]:
            start = time.perf_counter()
            for _ in range(numbers[name]):
                fn()
            samples[name].append((time.perf_counter() - start) / numbers[name])
    return Timings(samples)


def table(title: str, times: Timings, base: str) -> None:
    print(f"\n{title}\n")
    print(f"| reader | ms | time / {base} |")
    print("|---|---:|---:|")
    for name, t in times.items():
        print(f"| {name} | {t * 1e3:,.2f} | {times.ratio(name, base):.2f} |")


def corpus_table(corpus) -> None:
    print("\nloads(partial=True) on complete corpus documents\n")
    print("| document | loads ms | partial ms | partial / loads |")
    print("|---|---:|---:|---:|")
    for name in DOCUMENTS:
        data = (corpus / name).read_bytes()
        assert repr(vesk.loads(data, partial=True)) == repr(vesk.loads(data)), name
        t = compare({"loads": lambda d=data: vesk.loads(d), "partial": lambda d=data: vesk.loads(d, partial=True)})
        print(f"| {name} | {t['loads'] * 1e3:.3f} | {t['partial'] * 1e3:.3f} | {t.ratio('partial', 'loads'):.2f} |")


def stream_tables(rows: list[dict]) -> None:
    for form, data in (("table", as_table(rows)), ("JSON list", json.dumps(rows).encode())):
        parts = chunks(data)
        assert stream_rows(parts) == rows and stream_and_close(parts) == rows
        times = compare(
            {
                "loads, whole text": lambda d=data: vesk.loads(d),
                "Stream.feed, 4 KB chunks": lambda p=parts: stream_rows(p),
                "Stream.feed + close": lambda p=parts: stream_and_close(p),
            },
            budget=4.0,
        )
        table(f"{len(rows):,} records as a {form} ({len(data):,} bytes, {len(parts):,} chunks of 4 KB)",
              times, "loads, whole text")


def reread_table(rows: list[dict]) -> None:
    data = json.dumps(rows[:SHORT_ROWS]).encode()
    parts = chunks(data)
    expected = rows[:SHORT_ROWS]
    readers = {
        "vesk.Stream.feed": lambda: stream_rows(parts),
        "vesk.loads(partial=True), re-read": lambda: reread(parts, lambda b: vesk.loads(b, partial=True)),
        "jiter trailing-strings, re-read": lambda: reread(parts, lambda b: jiter.from_json(b, partial_mode="trailing-strings")),
        "partial-json-parser, re-read": lambda: reread(parts, lambda b: partial_json_parser.loads(b.decode())),
    }
    for name, read in readers.items():
        assert read() == expected, name
    times = compare_unlike(readers)
    table(f"The first {SHORT_ROWS:,} records as a JSON list ({len(data):,} bytes, {len(parts)} chunks of 4 KB), "
          "read while they arrive (re-reading is quadratic, hence the shorter reply)", times, "vesk.Stream.feed")


def main() -> None:
    corpus = corpus_or_exit()
    print(f"vesk {vesk.__version__} ({vesk.__simd__}), Python {sys.version.split()[0]}, "
          f"jiter {version('jiter')}, partial-json-parser {version('partial-json-parser')}")
    start = time.perf_counter()
    corpus_table(corpus)
    rows = records()
    stream_tables(rows)
    reread_table(rows)
    print(f"\n({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
