"""vesk.load and vesk.dump with file objects, as json.load and json.dump are
used, and the package's types under mypy --strict."""

import gzip
import importlib.util
import io
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
from conftest import check_same

DATA = {"title": "Zoë's eval", "rows": [{"id": i, "who": f"user {i}", "ok": i % 3 != 0, "score": i / 7} for i in range(40)],
        "big": 2**80, "nested": [[], {}, [None]]}
OPENERS = {"text file": lambda path, mode: open(path, mode, encoding="utf-8"), "binary file": lambda path, mode: open(path, mode + "b"),
           "gzip file": lambda path, mode: gzip.open(path, mode + "b"), "unbuffered": lambda path, mode: open(path, mode + "b", buffering=0)}
OPTIONS = [{}, dict(lean=True), dict(unquoted_keys=True, bare_strings=True, implicit_null=True), dict(ivy_grid=False, indent=2)]


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


@pytest.mark.parametrize("stream, read", [(io.StringIO, lambda s: s.getvalue()), (io.BytesIO, lambda s: s.getvalue().decode())])
@pytest.mark.parametrize("options", [{"lean": True, "row_count": False, "delimiter": "tab"}, {"lines": True}])
def test_in_memory_streams_and_large_texts(stream, read, options):
    big = [{"id": i, "text": f"é row {i}"} for i in range(200_000)]  # several megabytes, written out in slices that must join up
    s = stream()
    vesk.dump(big, s, **options)
    assert read(s) == vesk.dumps(big, **options)
    s.seek(0)
    assert vesk.load(s, lines=options.get("lines", False)) == big


@pytest.mark.parametrize("text, schema, lines, expected", [
    ('[{"a": 1, "b": 2}, {"x": 3, "y": 4}]', ["id", "score"], False, [{"id": 1, "score": 2}, {"id": 3, "score": 4}]),
    ('{"a": 1, "b": 2}\n\n{"x": 3, "y": 4}', ["id", "score"], True, [{"id": 1, "score": 2}, {"id": 3, "score": 4}]),
])
@pytest.mark.parametrize("kind", [io.StringIO, lambda t: io.BytesIO(t.encode())])
def test_load_passes_schema_and_lines_to_loads(text, schema, lines, expected, kind):
    assert vesk.load(kind(text), schema=schema, lines=lines) == expected == vesk.loads(text, schema=schema, lines=lines)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_accepts_the_typed_sample_and_sees_wrong_calls(tmp_path):
    # If the package's types were missing or Any, the wrong calls would pass unnoticed.
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import io\nimport vesk\nvesk.dump([], io.StringIO(), lean='yes')\nn: int = vesk.dumps([])\n"
                     "vesk.load(42)\nd: dict[str, int] = vesk.loads('{}', lines=True)\n")
    for path, errors in ((Path(__file__).with_name("typing_sample.py"), []), (wrong, [3, 4, 5, 6])):
        proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(path)],
                              capture_output=True, text=True, cwd=tmp_path, timeout=300)
        assert sorted(int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line) == errors, proc.stdout + proc.stderr
        assert proc.returncode == (1 if errors else 0)
