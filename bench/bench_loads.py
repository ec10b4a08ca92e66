"""loads against orjson, ssrjson, msgspec, ujson and the standard library's json.

Run by `make bench`. The last columns are each peer's time divided by vesk's,
paired round by round: above 1.0 means vesk is faster.

`--buffers` times loads of each corpus file memory-mapped and as a
bytearray against loads of its bytes; `--against SO` also times loads of
the bytes by another build of the extension module (another checkout's
build/python/vesk_core*.so), loaded beside this one: paired ratios again,
1.00 meaning no difference.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import mmap
import sys

import msgspec
import orjson
import ssrjson
import ujson

import vesk
from common import compare, corpus_or_exit

# The four of the corpus that the peers publish figures for, and a list of
# 10,000 floats, the shape of embeddings.
DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json", "github_events.json", "numbers.json"]


def ten_thousand_records(corpus) -> bytes:
    """10,000 user records: the 1,000 of random.json repeated with fresh ids."""
    records = json.loads((corpus / "random.json").read_bytes())["result"]
    out = []
    for i in range(10_000):
        record = dict(records[i % len(records)])
        record["id"] = i
        out.append(record)
    return json.dumps(out).encode()


def load_build(path: str):
    """The extension module built at `path`, under a name of its own."""
    loader = importlib.machinery.ExtensionFileLoader("vesk_core", path)
    module_spec = importlib.util.spec_from_file_location("vesk_core", path, loader=loader)
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module


def buffers(corpus, against: str | None) -> None:
    other = load_build(against) if against else None
    print(f"{'document':<20}{'bytes ms':>10}{'mmap/bytes':>12}{'bytearray/bytes':>17}"
          + (f"{'this/other':>12}" if other else ""))
    for name in DOCUMENTS + ["random.json"]:
        with open(corpus / name, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
            data = bytes(mapped)
            array = bytearray(data)
            contenders = {"bytes": lambda: vesk.loads(data), "mmap": lambda: vesk.loads(mapped),
                          "bytearray": lambda: vesk.loads(array)}
            if other:
                assert other.loads(data) == vesk.loads(data) or name == "canada.json", name
                contenders["other"] = lambda: other.loads(data)
            t = compare(contenders, budget=4.0)
            print(f"{name:<20}{t['bytes'] * 1e3:>10.3f}{t.ratio('mmap', 'bytes'):>12.3f}"
                  f"{t.ratio('bytearray', 'bytes'):>17.3f}" + (f"{t.ratio('bytes', 'other'):>12.3f}" if other else ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--buffers", action="store_true", help="buffer inputs against bytes")
    parser.add_argument("--against", metavar="SO", help="with --buffers: another build to time bytes against")
    args = parser.parse_args()
    corpus = corpus_or_exit()
    if args.buffers:
        buffers(corpus, args.against)
        return
    docs = {name: (corpus / name).read_bytes() for name in DOCUMENTS}
    docs["10k_records.json"] = ten_thousand_records(corpus)
    decoder = msgspec.json.Decoder()
    rows = []
    for name, data in docs.items():
        assert vesk.loads(data) == json.loads(data) or name == "canada.json", name
        times = compare(
            {
                "vesk": lambda d=data: vesk.loads(d),
                "orjson": lambda d=data: orjson.loads(d),
                "ssrjson": lambda d=data: ssrjson.loads(d),
                "msgspec": lambda d=data: decoder.decode(d),
                "ujson": lambda d=data: ujson.loads(d),
                "json": lambda d=data: json.loads(d),
            }
        )
        rows.append((name, times))
    # Report peer/vesk so that larger is better for vesk.
    print(f"vesk {vesk.__version__} ({vesk.__simd__}), Python {sys.version.split()[0]}")
    print_speedups(rows)


def print_speedups(rows) -> None:
    names = [n for n in rows[0][1] if n != "vesk"]
    print(f"{'document':<20}{'vesk ms':>10}" + "".join(f"{n + ' ms':>12}" for n in names)
          + "".join(f"{n + '/vesk':>13}" for n in names))
    for doc, t in rows:
        print(f"{doc:<20}{t['vesk'] * 1e3:>10.3f}" + "".join(f"{t[n] * 1e3:>12.3f}" for n in names)
              + "".join(f"{t.ratio(n, 'vesk'):>13.2f}" for n in names))


if __name__ == "__main__":
    main()
