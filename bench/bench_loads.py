"""loads against orjson, ssrjson, msgspec, ujson and the standard library's json.

Run by `make bench`. The last columns are each peer's time divided by vesk's,
paired round by round: above 1.0 means vesk is faster.
"""

from __future__ import annotations

import json
import sys

import msgspec
import orjson
import ssrjson
import ujson

import vesk
from common import compare, corpus_or_exit

DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json", "github_events.json"]


def ten_thousand_records(corpus) -> bytes:
    """10,000 user records: the 1,000 of random.json repeated with fresh ids."""
    records = json.loads((corpus / "random.json").read_bytes())["result"]
    out = []
    for i in range(10_000):
        record = dict(records[i % len(records)])
        record["id"] = i
        out.append(record)
    return json.dumps(out).encode()


def main() -> None:
    corpus = corpus_or_exit()
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
