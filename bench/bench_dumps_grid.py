"""Writing a table: 100,000 records of six mixed columns, and 10,000 Pydantic
models, against orjson and json writing the same records as JSON and the
toon-format package encoding them in its own table form.

Run by `make bench`. Times are medians of interleaved rounds; the ratio
column is each writer's time divided by vesk's with the defaults (above
1.0: vesk is faster). Sizes are of the text each returns.
"""

from __future__ import annotations

import json

import orjson
import pydantic
import toon_format

import vesk
from bench_grid import records
from common import compare


class Record(pydantic.BaseModel):
    id: int
    name: str
    score: float
    active: bool
    team: str
    note: str | None


def report(title: str, contenders: dict, budget: float) -> None:
    outputs = {name: fn() for name, fn in contenders.items()}
    times = compare(contenders, budget=budget)
    print(title)
    print(f"{'writer':<28}{'ms':>10}{'time / vesk':>14}{'bytes':>12}")
    for name, t in times.items():
        out = outputs[name]
        size = len(out) if isinstance(out, bytes) else len(out.encode())
        print(f"{name:<28}{t * 1e3:>10.2f}{times.ratio(name, 'vesk'):>14.2f}{size:>12}")
    print()


def main() -> None:
    rows = records()
    assert vesk.loads(vesk.dumps(rows)) == rows
    report(f"{len(rows)} records, 6 columns", {
        "vesk": lambda: vesk.dumps(rows),
        "vesk bare_strings+implicit": lambda: vesk.dumps(rows, bare_strings=True, implicit_null=True),
        "vesk lean": lambda: vesk.dumps(rows, lean=True),
        "orjson (JSON bytes)": lambda: orjson.dumps(rows),
        "json": lambda: json.dumps(rows, separators=(",", ":")),
    }, budget=4.0)

    few = rows[:10_000]
    report(f"{len(few)} records, 6 columns, with toon-format", {
        "vesk": lambda: vesk.dumps(few),
        "vesk lean": lambda: vesk.dumps(few, lean=True),
        "orjson (JSON bytes)": lambda: orjson.dumps(few),
        "toon-format": lambda: toon_format.encode(few),
    }, budget=3.0)

    models = [Record(**r) for r in rows[:10_000]]
    report(f"{len(models)} Pydantic v2 models", {
        "vesk": lambda: vesk.dumps(models),
        "orjson (model_dump)": lambda: orjson.dumps([m.model_dump() for m in models]),
        "json (model_dump)": lambda: json.dumps([m.model_dump() for m in models]),
    }, budget=3.0)


if __name__ == "__main__":
    main()
