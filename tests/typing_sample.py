"""Uses every public function of vesk with precise types; `mypy --strict` must accept it (test_files.py)."""

import io
from typing import Any

import vesk

version: str = vesk.__version__ + vesk.__simd__ + vesk.format_hint("tab")
text: str = vesk.dumps([{"id": 1}], lean=True, indent=2, delimiter="pipe")
value: Any = vesk.loads(text.encode(), schema=["id"])
with open("data.vesk", "w", encoding="utf-8") as out:
    vesk.dump(value, out, unquoted_keys=True)
with open("data.vesk", "rb") as binary_in:
    first: Any = vesk.load(binary_in, schema=("a",))
buffer = io.BytesIO()
vesk.dump({"a": [1, 2]}, buffer, ivy_grid=False)
records: list[Any] = vesk.loads(b'{"id": 1}\n{"id": 2}\n', lines=True, schema=["id"])
lines: str = vesk.dumps((r for r in records if r), lines=True)
either: Any = vesk.loads(lines, lines=bool(records)) or vesk.load(io.StringIO("[1: a; 2 ]"), lines=True)
stream = vesk.Stream(check_counts=True, path=("data", 0))
rows: list[Any] = stream.feed(b'{"data": [[1, 2]]}') + stream.feed("")
whole: Any = stream.close() or vesk.loads(memoryview(bytearray(b"[1]")))
try:
    vesk.loads("[1: a, b; 1, 2, 3 ]")
except vesk.DecodeError as error:
    place: tuple[int, int, int | None, str | None, int | None, str] = (
        error.lineno, error.colno, error.row, error.column, error.pos, error.doc)
