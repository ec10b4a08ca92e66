"""Uses every public function of vesk with precise types; `mypy --strict`
must accept it (checked by test_files.py)."""

import io
from typing import Any

import vesk

version: str = vesk.__version__
level: str = vesk.__simd__
hint: str = vesk.format_hint("tab")
text: str = vesk.dumps([{"id": 1}], lean=True, indent=2, delimiter="pipe")
value: Any = vesk.loads(text.encode(), schema=["id"])
also: Any = vesk.loads(text)

with open("data.vesk", "w", encoding="utf-8") as out:
    vesk.dump(value, out, unquoted_keys=True)
with open("data.vesk", "rb") as binary_in:
    first: Any = vesk.load(binary_in)
buffer = io.BytesIO()
vesk.dump({"a": [1, 2]}, buffer, ivy_grid=False)
buffer.seek(0)
second: Any = vesk.load(buffer, schema=("a",))
third: Any = vesk.load(io.StringIO("[1: a; 2 ]"))
records: list[Any] = vesk.loads(b'{"id": 1}\n{"id": 2}\n', lines=True, schema=["id"])
lines: str = vesk.dumps((r for r in records if r), lines=True)
flag = bool(records)
either: Any = vesk.loads(lines, lines=flag)
vesk.dump(records, buffer, lines=True)
fourth: Any = vesk.load(buffer, lines=True)
stream = vesk.Stream(check_counts=True, path=("data", 0))
rows: list[Any] = stream.feed(b'{"data": [[1, 2]]}') + stream.feed("")
whole: Any = stream.close()
