"""Reading text as it arrives: loads(partial=True) and vesk.Stream against
one loads of the whole text, and against re-reading the whole buffer at each
chunk with jiter and partial-json-parser; records inside a top-level object;
one long element against as many bytes of small records, in chunks of 4 KB,
64 and 8 bytes; the fixed cost of a feed that finishes nothing.

Run by `make bench`. Prints markdown tables; ratios are each contender's
time divided by the baseline named in the table, so below 1.0 is faster.
The re-reading contenders are quadratic in the reply's length, so they run
on a shorter reply, said in the table's heading.
"""

from __future__ import annotations

import json
import random
import sys
import time
from importlib.metadata import version

import jiter
import partial_json_parser

import vesk
from bench_grid import WORDS, as_table, records
from common import Timings, compare, corpus_or_exit

DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json", "github_events.json"]
CHUNK = 4096
SHORT_ROWS = 1_000  # the reply the re-reading contenders read
WRAPPED_ROWS = 20_000  # about 1.1 MB as a table, as replies in an object come
LONG_ROWS = 10_000  # about 1 MB as JSON: the small records, and the one long element
TOKENS = 20_000  # feeds of a few bytes timed for the fixed cost of one


def chunks(data: bytes, size: int = CHUNK) -> list[bytes]:
    return [data[i : i + size] for i in range(0, len(data), size)]


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


def wrapped_tables(rows: list[dict]) -> None:
    """Records inside the top-level object, as structured-output modes of
    model APIs return them: the stream follows the object's first list."""
    grid, array = as_table(rows[:WRAPPED_ROWS]), json.dumps(rows[:LONG_ROWS]).encode()
    for form, data in (("table", b'{"items": ' + grid + b', "next": null}'),
                       ("JSON list", b'{"object": "list", "data": ' + array + b"}")):
        parts = chunks(data)
        expected = vesk.loads(data)
        records = next(v for v in expected.values() if isinstance(v, list))
        assert stream_and_close(parts) == expected
        given_back = len(stream_rows(parts))
        times = compare(
            {
                "loads, whole text": lambda d=data: vesk.loads(d),
                "Stream.feed, 4 KB chunks": lambda p=parts: stream_rows(p),
                "Stream.feed + close": lambda p=parts: stream_and_close(p),
            },
            budget=4.0,
        )
        table(f"{len(records):,} records as a {form} inside an object ({len(data):,} bytes, {len(parts):,} chunks "
              f"of 4 KB): feed gave back {given_back:,} of them", times, "loads, whole text")


def prose(size: int) -> str:
    """Text as a model writes it into a string: words, punctuation, an
    escaped line break now and then, a little non-ASCII."""
    rng = random.Random(3)
    words = WORDS + ["caf\u00e9", "na\u00efve", "r\u00e9sum\u00e9", "the", "of", "and", "a"]
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choice(words) for _ in range(12)) + ". "
        out.append(line)
        length += len(line)
    return "\\n".join(out)


def long_element(rows: list[dict], sizes=(4096, 64, 8)) -> None:
    """Small records, against a list of one long element of about the same
    size: a string member of prose, or one object holding the same records.
    Reading a long element must not cost more per byte."""
    small = json.dumps(rows[:LONG_ROWS]).encode()
    longs = {
        "one long string": ('[{"id": 1, "text": "' + prose(len(small)) + '"}]').encode(),
        "one long object": json.dumps([{"records": rows[:LONG_ROWS]}]).encode(),
    }
    print(f"\n{LONG_ROWS:,} records as a JSON list ({len(small):,} bytes) against a list of one element of "
          f"about the same size, fed in chunks of each size\n")
    print("| chunk | small records ms | element | long element ms | long / small |")
    print("|---:|---:|---|---:|---:|")
    for size in sizes:
        small_parts = chunks(small, size)
        contenders = {"small": lambda p=small_parts: stream_rows(p)}
        for name, data in longs.items():
            parts = chunks(data, size)
            assert stream_rows(parts) == json.loads(data)
            contenders[name] = lambda p=parts: stream_rows(p)
        times = compare(contenders, budget=2.0)
        for name in longs:
            print(f"| {size:,} | {times['small'] * 1e3:,.1f} | {name} | {times[name] * 1e3:,.1f} | "
                  f"{times.ratio(name, 'small'):.2f} |")


def feed_cost() -> None:
    """One feed of a token (4 bytes) that finishes nothing, inside a string
    and inside a bare table cell (each up to 4 KB long), against a Python
    call that does nothing but take the token."""
    token = b"abcd"

    def feeds(opening: bytes) -> None:
        for _ in range(TOKENS // 1000):
            stream = vesk.Stream()
            stream.feed(opening)
            for _ in range(1000):
                stream.feed(token)

    def calls() -> None:
        take = len
        for _ in range(TOKENS):
            take(token)

    times = compare({"len(token)": calls, "feed inside a string": lambda: feeds(b'["'),
                     "feed inside a table cell": lambda: feeds(b"[: a; ")}, budget=2.0)
    print(f"\nThe fixed cost of one feed of {len(token)} bytes that finishes nothing ({TOKENS:,} feeds)\n")
    print("| call | ns per call | time / len(token) |")
    print("|---|---:|---:|")
    for name, t in times.items():
        print(f"| {name} | {t / TOKENS * 1e9:,.0f} | {times.ratio(name, 'len(token)'):.1f} |")


def main() -> None:
    corpus = corpus_or_exit()
    print(f"vesk {vesk.__version__} ({vesk.__simd__}), Python {sys.version.split()[0]}, "
          f"jiter {version('jiter')}, partial-json-parser {version('partial-json-parser')}")
    start = time.perf_counter()
    corpus_table(corpus)
    rows = records()
    stream_tables(rows)
    wrapped_tables(rows)
    long_element(rows)
    feed_cost()
    reread_table(rows)
    print(f"\n({time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
