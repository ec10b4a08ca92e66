"""Writes each fuzz target's seeds under OUT/<target>/: for loads the shared documents (cut to
MAX_LEN) and table snippets; for the others, whose inputs are choices, a few fixed byte strings."""

import hashlib
import random
import sys
from pathlib import Path

SHARED = Path(__file__).resolve().parents[2] / "shared"
MAX_LEN = 4096  # run.sh passes the same -max_len for loads

TABLES = [
    "[3: id, name; 1, Alice; 2, Bob; 3, Carol ]",
    "[: id, name, role; 1, Alice, admin; 2, \"Bob, Jr.\", dev; 3, Carol, ]",
    "[2: a\tb; 1\t2; 3\t4 ]",
    "[: a | b; x y | z w; 1|2 ]",
    "[: a, b, c; 1; , 3; ; ]",
    "[: \"a;b\", c; \"x;y\", x\\,y\\;z; 2, [1, {\"k\": \"]\"}] ]",
    "[: id, t; 1, [: k; v; w ]; 2, {a: NaN,} ]",
    "[: a; /* ; ] */ 1; // ; ]\n 2 ]",
    "{\"t\": [2: k, v; a, [: x, y; 1, \"]\"; 2, [3] ]; b, {\"q\": [: z; ; \u00e9 ]} ], \"u\": [[: w; \"[\" ]]}",
    "[: a; true; false; null; -Infinity; 1e3; \"\\ud83d\\ude00\"; 12345678901234567890123 ]",
    "[2: id, name, city, due; 1, Nancy Drew, New York, 2025-03-14; 2, Ivan, 10:30, N/A ]",
    "[2:\n  id, name\n  1, Infinity War\n  2, \n]",
    "{\"u\": [2]{id,\"a,b\"}:\n  1, nullable\n  2, ,\"n\": [[1]{x}:\n   -0x1]}",
    "[:]", "[7: ]", "[: ; ]", "[[: a; ], 5]",
    "// lead\n{name: \"vesk\", /* c */ bare_$-1: [1, -2.5e3, true, null, \"\\\"]\",], "  # one text
    "n: {x: [[], {}, [-Infinity, NaN]],},}",
]


def write(folder, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main(out):
    documents = sorted(SHARED.glob("corpus/*.json")) + sorted(SHARED.glob("conformance/json-test-suite/*.json"))
    if not documents:  # a checkout without the shared folder fuzzes from the snippets alone
        print(f"no shared documents under {SHARED}: loads seeded from table snippets only", file=sys.stderr)
    for data in [path.read_bytes()[:MAX_LEN] for path in documents] + [text.encode() for text in TABLES]:
        write(out / "loads", data)

    rng = random.Random(7)  # the same seeds on every run
    for n in (0, 8, 64, 512, 2048):
        write(out / "dumps", rng.randbytes(n))
        write(out / "format_hint", rng.randbytes(n // 32))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
