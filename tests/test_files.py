"""vesk.load and vesk.dump with file objects, as json.load and json.dump are used; the package's types under mypy."""

import gzip
import importlib.util
import io
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
from conftest import check_same

ROWS = [{"id": i, "who": f"user {i}", "ok": i % 3 != 0, "score": i / 7} for i in range(40)]
DATA = {"title": "Zoë's eval", "rows": ROWS, "big": 2**80, "nested": [[], {}, [None]]}
OPENERS = {"text file": lambda p, m: open(p, m, encoding="utf-8"), "binary file": lambda p, m: open(p, m + "b"),
           "gzip file": lambda p, m: gzip.open(p, m + "b"), "unbuffered": lambda p, m: open(p, m + "b", buffering=0)}
OPTIONS = [{}, dict(lean=True), dict(unquoted_keys=True, bare_strings=True, implicit_null=True),
           dict(ivy_grid=False, indent=2)]


@pytest.mark.parametrize("n", range(len(OPTIONS)))
@pytest.mark.parametrize("opener", OPENERS)
def test_dump_then_load_round_trips(tmp_path, opener, n):
    path, options = tmp_path / "data.vesk", OPTIONS[n]
    with OPENERS[opener](path, "w") as f:
        assert vesk.dump(DATA, f, **options) is None
    with OPENERS[opener](path, "r") as f:
        check_same(vesk.load(f), DATA)
    raw = gzip.decompress(path.read_bytes()) if opener == "gzip file" else path.read_bytes()
    assert raw == vesk.dumps(DATA, **options).encode()


@pytest.mark.parametrize("stream", [io.StringIO, io.BytesIO])
@pytest.mark.parametrize("lines", [False, True])
def test_in_memory_streams_and_large_texts(stream, lines):
    big = [{"id": i, "text": f"é row {i}"} for i in range(200_000)]  # megabytes, written in slices that must join up
    options = {"lines": True} if lines else {"lean": True, "row_count": False, "delimiter": "tab"}
    s = stream()
    vesk.dump(big, s, **options)
    assert s.getvalue() == (vesk.dumps(big, **options).encode() if stream is io.BytesIO else vesk.dumps(big, **options))
    s.seek(0)
    renamed = [{"n": r["id"], "t": r["text"]} for r in big] if lines else big  # a table's header names its columns
    assert vesk.load(s, schema=["n", "t"], lines=lines) == renamed


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_accepts_the_typed_sample_and_sees_wrong_calls(tmp_path):
    # If the package's types were missing or Any, the wrong calls would pass unnoticed.
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import io\nimport vesk\nvesk.dump([], io.StringIO(), lean='yes')\nn: int = vesk.dumps([])\n"
                     "vesk.load(42)\nd: dict[str, int] = vesk.loads('{}', lines=True)\n")
    for path, errors in ((Path(__file__).with_name("typing_sample.py"), []), (wrong, [3, 4, 5, 6])):
        mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache")]
        proc = subprocess.run([*mypy, str(path)], capture_output=True, text=True, cwd=tmp_path, timeout=300)
        found = sorted(int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line)
        assert found == errors and proc.returncode == (1 if errors else 0), proc.stdout + proc.stderr
