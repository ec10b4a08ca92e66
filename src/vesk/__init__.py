"""VESK: a JSON superset for handing structured data to language models in fewer tokens."""

from __future__ import annotations

import io
from collections.abc import Iterable
from typing import Any, Protocol, SupportsIndex

from vesk.vesk_core import Stream, __simd__, __version__, dumps, format_hint, loads

__all__ = ["loads", "dumps", "load", "dump", "format_hint", "Stream", "__version__", "__simd__"]

# Large documents go to the file in slices, so the text is never held a
# second time as one block of UTF-8 bytes.
_CHUNK = 1 << 20


class _Readable(Protocol):
    def read(self, /) -> str | bytes: ...


class _Writable(Protocol):
    def write(self, data: Any, /) -> object: ...


def load(fp: _Readable, *, schema: Iterable[str] | None = None, lines: bool = False) -> Any:
    """Read a JSON or VESK document from a text or binary file object, as
    `json.load` does, or with `lines=True` the list of the values of a JSON
    Lines file; `schema` and `lines` are passed on to `loads`."""
    return loads(fp.read(), schema=schema, lines=lines)


def _is_binary(fp: object) -> bool:
    if isinstance(fp, io.TextIOBase):
        return False
    if isinstance(fp, (io.BufferedIOBase, io.RawIOBase)):
        return True
    mode = getattr(fp, "mode", "")
    return isinstance(mode, str) and "b" in mode


def dump(
    obj: Any,
    fp: _Writable,
    *,
    ivy_grid: bool = True,
    unquoted_keys: bool = False,
    indent: SupportsIndex | None = None,
    bare_strings: bool = False,
    implicit_null: bool = False,
    row_count: bool = True,
    multiline_ivy: bool = False,
    delimiter: str = "comma",
    lean: bool = False,
    lines: bool = False,
) -> None:
    """Write `obj` as VESK to a text or binary file object (UTF-8 for a
    binary one), as `json.dump` does, or with `lines=True` the values of
    the iterable `obj` as JSON Lines; the options are those of `dumps`."""
    text = dumps(obj, ivy_grid=ivy_grid, unquoted_keys=unquoted_keys, indent=indent, bare_strings=bare_strings,
                 implicit_null=implicit_null, row_count=row_count, multiline_ivy=multiline_ivy,
                 delimiter=delimiter, lean=lean, lines=lines)
    binary = _is_binary(fp)
    for start in range(0, len(text), _CHUNK):
        block = text[start : start + _CHUNK]
        fp.write(block.encode() if binary else block)
