"""dumps against orjson, ssrjson, msgspec, ujson and the standard library's json.

Run by `make bench`. dumps and ssrjson return a str, orjson and msgspec
return bytes: where a document's output is all ASCII the bytes are compared
as they are, otherwise the peers' time includes decoding their bytes to a
str, which is what a caller pays to get the same text. Columns "peer/vesk"
are each peer's time divided by vesk's with the defaults: above 1.0 means
vesk is faster.

A second table holds dumps(lean=True) against dumps() with the defaults on
every corpus document, the generated data sets and the 100,000-record table:
"lean/default" is the paired ratio of their times, which lean should keep
within 1.10. `--lean` prints that table alone.
"""

from __future__ import annotations

import json
import sys

import msgspec
import orjson
import ssrjson
import ujson

import vesk
from bench_grid import records
from common import compare, corpus_or_exit
from datasets import DATASETS

DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json", "github_events.json"]


def lean_table(corpus) -> None:
    documents = {path.name: json.loads(path.read_bytes()) for path in sorted(corpus.glob("*.json"))}
    documents.update({name: make() for name, make in DATASETS.items()})
    documents["100,000 records"] = records()
    print(f"{'document':<24}{'default ms':>12}{'lean ms':>12}{'lean/default':>14}")
    for name, data in documents.items():
        times = compare({"default": lambda: vesk.dumps(data),
                         "lean": lambda: vesk.dumps(data, lean=True)}, budget=2.0)
        print(f"{name:<24}{times['default'] * 1e3:>12.3f}{times['lean'] * 1e3:>12.3f}"
              f"{times.ratio('lean', 'default'):>14.2f}")


def main() -> None:
    corpus = corpus_or_exit()
    if "--lean" in sys.argv[1:]:
        lean_table(corpus)
        return
    encode = msgspec.json.Encoder().encode
    print(f"vesk {vesk.__version__} ({vesk.__simd__}), Python {sys.version.split()[0]}")
    header = ["vesk", "vesk no-grid", "orjson", "ssrjson", "msgspec", "ujson", "json"]
    print(f"{'document':<20}" + "".join(f"{h + ' ms':>16}" for h in header)
          + "".join(f"{h + '/vesk':>15}" for h in header[2:]))
    indented = []
    for name in DOCUMENTS:
        data = json.loads((corpus / name).read_bytes())
        ascii_only = orjson.dumps(data).isascii()
        if ascii_only:
            orjson_text, msgspec_text = (lambda: orjson.dumps(data)), (lambda: encode(data))
            orjson_indent = lambda: orjson.dumps(data, option=orjson.OPT_INDENT_2)
        else:
            orjson_text = lambda: orjson.dumps(data).decode()
            msgspec_text = lambda: encode(data).decode()
            orjson_indent = lambda: orjson.dumps(data, option=orjson.OPT_INDENT_2).decode()
        times = compare(
            {
                "vesk": lambda: vesk.dumps(data),
                "vesk no-grid": lambda: vesk.dumps(data, ivy_grid=False),
                "orjson": orjson_text,
                "ssrjson": lambda: ssrjson.dumps(data),
                "msgspec": msgspec_text,
                "ujson": lambda: ujson.dumps(data, ensure_ascii=False),
                "json": lambda: json.dumps(data, ensure_ascii=False, separators=(",", ":")),
            }
        )
        label = name + ("" if ascii_only else " (str)")
        print(f"{label:<20}" + "".join(f"{times[h] * 1e3:>16.3f}" for h in header)
              + "".join(f"{times.ratio(h, 'vesk'):>15.2f}" for h in header[2:]))
        pretty = compare({"vesk": lambda: vesk.dumps(data, indent=2), "orjson": orjson_indent})
        indented.append((label, pretty))
    print()
    print(f"{'indent=2':<20}{'vesk ms':>12}{'orjson ms':>12}{'orjson/vesk':>14}")
    for label, t in indented:
        print(f"{label:<20}{t['vesk'] * 1e3:>12.3f}{t['orjson'] * 1e3:>12.3f}"
              f"{t.ratio('orjson', 'vesk'):>14.2f}")
    print()
    lean_table(corpus)


if __name__ == "__main__":
    main()
