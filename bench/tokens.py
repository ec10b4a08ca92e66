"""Tokens and bytes of the same data as JSON, as VESK with its options, and
as TOON (the toon-format package), counted with tiktoken's o200k_base.

Run by `make bench`, offline: the BPE ranks come from
../shared/tokenizers/tiktoken-cache. Prints a Markdown table; each cell is
the token count and its change against compact JSON.
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

CACHE = Path(__file__).resolve().parents[2] / "shared" / "tokenizers" / "tiktoken-cache"
CORPUS_FILES = ["twitter.json", "citm_catalog.json", "github_events.json"]

FORMS = {
    "JSON": lambda d: json.dumps(d, ensure_ascii=False, separators=(",", ":")),
    "JSON indent=2": lambda d: json.dumps(d, ensure_ascii=False, indent=2),
    "VESK": lambda d: vesk.dumps(d),
    "VESK bare+implicit": lambda d: vesk.dumps(d, unquoted_keys=True, bare_strings=True, implicit_null=True),
    "VESK lean": lambda d: vesk.dumps(d, lean=True),
    "TOON": lambda d: toon_format.encode(d),
}


def encoder():
    if not CACHE.is_dir():
        sys.exit(f"tokenizer cache {CACHE} not found; no token counts")
    os.environ.setdefault("TIKTOKEN_CACHE_DIR", str(CACHE))
    import tiktoken

    return tiktoken.get_encoding("o200k_base")


def main() -> None:
    enc = encoder()
    data = {name: make() for name, make in DATASETS.items()}
    data.update({name: json.loads((CORPUS / name).read_bytes()) for name in CORPUS_FILES
                 if (CORPUS / name).is_file()})
    print("| data | " + " | ".join(FORMS) + " |")
    print("|---|" + "---:|" * len(FORMS))
    for name, value in data.items():
        lean = vesk.dumps(value, lean=True)
        assert vesk.loads(lean) == value, name  # the lean form reads back exactly
        counts = {form: len(enc.encode(write(value), disallowed_special=())) for form, write in FORMS.items()}
        base = counts["JSON"]
        cells = [f"{n:,}" if form == "JSON" else f"{n:,} ({(n - base) / base:+.1%})" for form, n in counts.items()]
        print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
