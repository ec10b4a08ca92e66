"""vesk.load and vesk.dump with text and binary file objects, as json.load
and json.dump are used, and the package's types under mypy --strict."""

import gzip
import importlib.util
import io
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
from conftest import check_same

DATA = {"title": "Zoë's eval", "rows": [{"id": i, "who": f"user {i}", "ok": i % 3 != 0, "score": i / 7}
                                       for i in range(40)], "big": 2**80, "nested": [[], {}, [None]]}

OPTIONS = [
    {},
    dict(lean=True),
    dict(unquoted_keys=True, bare_strings=True, implicit_null=True),
    dict(ivy_grid=False, indent=2),
    dict(row_count=False, delimiter="tab"),
]

OPENERS = {
    "text file": lambda path, mode: open(path, mode, encoding="utf-8"),
    "binary file": lambda path, mode: open(path, mode + "b"),
    "gzip file": lambda path, mode: gzip.open(path, mode + "b"),
    "unbuffered": lambda path, mode: open(path, mode + "b", buffering=0),
}


@pytest.mark.parametrize("options", OPTIONS, ids=[",".join(o) or "defaults" for o in OPTIONS])
@pytest.mark.parametrize("opener", OPENERS)
def test_dump_then_load_round_trips(tmp_path, opener, options):
    path = tmp_path / "data.vesk"
    with OPENERS[opener](path, "w") as f:
        assert vesk.dump(DATA, f, **options) is None
    with OPENERS[opener](path, "r") as f:
        check_same(vesk.load(f), DATA)
    raw = gzip.decompress(path.read_bytes()) if opener == "gzip file" else path.read_bytes()
    assert raw == vesk.dumps(DATA, **options).encode()


@pytest.mark.parametrize("stream, read", [
    (io.StringIO, lambda s: s.getvalue()),
    (io.BytesIO, lambda s: s.getvalue().decode()),
])
@pytest.mark.parametrize("options", [{"lean": True}, {"lines": True}])
def test_in_memory_streams_and_large_texts(stream, read, options):
    # Several megabytes: written out in slices, and the slices must join up.
    big = [{"id": i, "text": f"é row {i}"} for i in range(200_000)]
    s = stream()
    vesk.dump(big, s, **options)
    assert read(s) == vesk.dumps(big, **options)
    s.seek(0)
    assert vesk.load(s, lines=options.get("lines", False)) == big


@pytest.mark.parametrize("text, schema, lines, expected", [
    ('[{"a": 1, "b": 2}, {"x": 3, "y": 4}]', ["id", "score"], False, [{"id": 1, "score": 2}, {"id": 3, "score": 4}]),
    ("[2: a, b; 1, x; 2, y ]", None, False, [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]),
    ('{"a": 1, "b": 2}\n\n{"x": 3, "y": 4}', ["id", "score"], True, [{"id": 1, "score": 2}, {"id": 3, "score": 4}]),
    ('{"a": 1}\n[2]\n', None, True, [{"a": 1}, [2]]),
])
@pytest.mark.parametrize("kind", ["text", "bytes"])
def test_load_passes_schema_and_lines_to_loads(text, schema, lines, expected, kind):
    stream = io.StringIO(text) if kind == "text" else io.BytesIO(text.encode())
    assert vesk.load(stream, schema=schema, lines=lines) == expected == vesk.loads(text, schema=schema, lines=lines)


@pytest.mark.parametrize("call, error", [
    (lambda: vesk.load(io.BytesIO(b"[1, 2")), ValueError),
    (lambda: vesk.dump({1, 2}, io.StringIO()), TypeError),
    (lambda: vesk.dump([], io.StringIO(), lean=1), TypeError),
    (lambda: vesk.dump([], io.StringIO(), nonsense=True), TypeError),
])
def test_errors_are_those_of_loads_and_dumps(call, error):
    with pytest.raises(error):
        call()


MYPY = importlib.util.find_spec("mypy") is not None


def mypy(tmp_path, path):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), str(path)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)


@pytest.mark.skipif(not MYPY, reason="mypy is not installed")
def test_typed_sample_passes_mypy_strict(tmp_path):
    proc = mypy(tmp_path, Path(__file__).with_name("typing_sample.py"))
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.skipif(not MYPY, reason="mypy is not installed")
def test_mypy_sees_wrong_calls(tmp_path):
    # If the package's types were missing or Any, these would pass unnoticed.
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import io\nimport vesk\n"
                     "vesk.dump([], io.StringIO(), lean='yes')\n"
                     "n: int = vesk.dumps([])\n"
                     "vesk.load(42)\n"
                     "d: dict[str, int] = vesk.loads('{}', lines=True)\n")
    proc = mypy(tmp_path, wrong)
    assert proc.returncode == 1
    assert sorted(int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line) == [3, 4, 5, 6]
