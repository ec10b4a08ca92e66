"""Tokens of the same data as JSON, as VESK with its options, and as TOON
(the toon-format package), counted with tiktoken's o200k_base: the figures of
`vesk stats` for every file of ../shared/corpus and three generated data sets.

Run by `make bench`, offline: the BPE ranks come from
../shared/tokenizers/tiktoken-cache. Prints a Markdown table (each cell is
the token count and its change against compact JSON) and writes it to
bench/tokens.md, with a bar chart of the changes in bench/tokens.png.
"""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

import toon_format

import vesk
from common import CORPUS
from datasets import DATASETS
from vesk.cli import FORMS, measure

HERE = Path(__file__).resolve().parent
CACHE = HERE.parents[1] / "shared" / "tokenizers" / "tiktoken-cache"
TABLE, CHART = HERE / "tokens.md", HERE / "tokens.png"

COLUMNS = {"json": "JSON", "json_indent2": "JSON indent=2", "vesk": "VESK", "vesk_bare": "VESK bare+implicit",
           "vesk_lean": "VESK lean", "toon": "TOON"}
REPORT_FORMS = dict(FORMS, toon=("TOON", toon_format.encode))


def encoder():
    if not CACHE.is_dir():
        sys.exit(f"tokenizer cache {CACHE} not found; no token counts")
    os.environ.setdefault("TIKTOKEN_CACHE_DIR", str(CACHE))
    import tiktoken

    return tiktoken.get_encoding("o200k_base")


def datasets() -> dict[str, object]:
    data: dict[str, object] = {name: make() for name, make in DATASETS.items()}
    if CORPUS.is_dir():
        data.update({path.name: json.loads(path.read_bytes()) for path in sorted(CORPUS.glob("*.json"))})
    else:
        print(f"corpus folder {CORPUS} not found; generated data only", file=sys.stderr)
    return data


def markdown(results: dict[str, dict[str, dict]]) -> str:
    lines = ["| data | " + " | ".join(COLUMNS.values()) + " |", "|---|" + "---:|" * len(COLUMNS)]
    for name, figures in results.items():
        cells = []
        for key in COLUMNS:
            entry = figures[key]
            cell = f"{entry['tokens']:,}"
            cells.append(cell if key == "json" else f"{cell} ({entry['tokens_change_pct']:+.1f}%)")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def chart(results: dict[str, dict[str, dict]]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    forms = [key for key in COLUMNS if key != "json"]
    names = list(results)
    height = 0.8 / len(forms)
    fig, ax = plt.subplots(figsize=(9, 0.5 * len(names) + 1.5))
    for i, key in enumerate(forms):
        values = [results[name][key]["tokens_change_pct"] for name in names]
        ax.barh([n + (i - (len(forms) - 1) / 2) * height for n in range(len(names))], values, height,
                label=COLUMNS[key])
    ax.axvline(0, color="black", linewidth=0.8)
    ax.set_yticks(range(len(names)), names)
    ax.invert_yaxis()
    ax.set_xlabel("tokens (o200k_base), change against compact JSON, %")
    ax.set_title("Fewer tokens is better: left of the line saves against compact JSON")
    ax.grid(axis="x", alpha=0.3)
    ax.legend(loc="lower right", fontsize="small")
    fig.tight_layout()
    fig.savefig(CHART, dpi=110)


def main() -> None:
    enc = encoder()
    results = {}
    for name, value in datasets().items():
        lean = vesk.dumps(value, lean=True)
        if vesk.loads(lean) != value:  # keep the table honest about lossy cases
            print(f"note: {name} does not read back exactly from lean VESK", file=sys.stderr)
        results[name] = measure(value, enc, REPORT_FORMS)
    table = markdown(results)
    TABLE.write_text(table)
    chart(results)
    print(table)
    print(f"written: {TABLE.relative_to(HERE.parent)}, {CHART.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
