"""Reading a table of 100,000 records against reading the same records as JSON.

Run by `make bench`. vesk reads the records written as an inline grid table;
orjson, msgspec and json read them written as a JSON array of objects. The
ratio columns are each peer's time divided by vesk's: above 1.0 means the
table reads faster.
"""

from __future__ import annotations

import json
import random

import msgspec
import orjson

import vesk
from common import compare

ROWS = 100_000
WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def records() -> list[dict]:
    rng = random.Random(7)
    return [
        {
            "id": i,
            "name": f"{rng.choice(WORDS)} {rng.choice(WORDS)}",
            "score": round(rng.uniform(0, 100), 3),
            "active": rng.random() < 0.5,
            "team": rng.choice(WORDS),
            "note": None if rng.random() < 0.2 else f"n-{rng.randrange(1000)}",
        }
        for i in range(ROWS)
    ]


def as_table(rows: list[dict]) -> bytes:
    """The inline layout: row count, quoted names, strings quoted, nulls as null."""
    names = list(rows[0])
    cell = lambda v: "null" if v is None else json.dumps(v)
    body = "; ".join(", ".join(cell(r[k]) for k in names) for r in rows)
    return f"[{len(rows)}: {', '.join(json.dumps(n) for n in names)}; {body} ]".encode()


def main() -> None:
    rows = records()
    table = as_table(rows)
    array = json.dumps(rows).encode()
    assert vesk.loads(table) == rows
    decoder = msgspec.json.Decoder()
    times = compare(
        {
            "vesk table": lambda: vesk.loads(table),
            "vesk json": lambda: vesk.loads(array),
            "orjson json": lambda: orjson.loads(array),
            "msgspec json": lambda: decoder.decode(array),
            "json json": lambda: json.loads(array),
        },
        budget=4.0,
    )
    print(f"{ROWS} records, 6 columns: table {len(table)} bytes, JSON {len(array)} bytes")
    print(f"{'reader':<16}{'ms':>10}{'time / vesk table':>20}")
    for name, t in times.items():
        print(f"{name:<16}{t * 1e3:>10.2f}{times.ratio(name, 'vesk table'):>20.2f}")


if __name__ == "__main__":
    main()
