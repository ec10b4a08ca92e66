"""Reading a reply as it streams in: the elements of a top-level list or
table as each is finished, the whole document at the end."""

from __future__ import annotations

import threading
from collections.abc import Iterable
from typing import Any

from vesk.vesk_core import _stream_open, _stream_read, loads

_FENCE = b"```"
# States of the top-level list that _stream_read keeps between calls.
_ELEMENT, _SEPARATOR, _CLOSED, _IRREGULAR = range(4)


class Stream:
    """Reads a VESK or JSON reply that arrives in chunks.

    `feed` returns the elements of a top-level list or table that each chunk
    finished, each once and in order; `value` is what `loads` with
    `partial=True` gives for the text so far; `close` returns the whole
    document. Each element is read once: the work is linear in the length of
    the reply. A stream is used by one thread at a time."""

    def __init__(self, schema: Iterable[str] | None = None, check_counts: bool = False, fenced: bool = True):
        self._schema = None if schema is None else list(schema)
        if self._schema is not None:
            loads(b"[]", self._schema)  # the schema's own TypeError, now rather than at the first row
        self._check_counts = bool(check_counts)
        self._fenced = bool(fenced)
        self._lock = threading.Lock()
        self._text = bytearray()
        self._error: ValueError | None = None
        self._document: list[Any] | None = None  # [what close returned], once it has
        self._begin: int | None = None  # where the document starts, once known
        self._end: int | None = None  # where a closing fence line starts, once seen
        self._fence_scan = 0  # where the search for the closing fence goes on
        self._kind: str | None = None  # "array", "table" or "other", once known
        self._pos = 0
        self._state = _ELEMENT
        self._names: list[str] | None = None
        self._declared: int | None = None
        self._elements: list[Any] = []

    def feed(self, chunk: str | bytes) -> list[Any]:
        """Adds a chunk of the reply (str, or bytes split anywhere) and returns
        the elements of the top-level list or table that it finished."""
        with self._turn():
            if self._document is not None:
                raise RuntimeError("Stream is closed")
            if isinstance(chunk, str):
                chunk = chunk.encode()
            elif not isinstance(chunk, (bytes, bytearray, memoryview)):
                raise TypeError("chunk must be bytes or str")
            self._text += chunk
            return self._guard(self._advance)

    @property
    def value(self) -> Any:
        """What `loads(text so far, partial=True)` returns."""
        with self._turn():
            return loads(bytes(self._text), self._schema, partial=True, check_counts=self._check_counts,
                         fenced=self._fenced)

    def close(self) -> Any:
        """The whole document, as `loads` gives it; ValueError if the text is
        incomplete or wrong. Closing again gives the same document."""
        with self._turn():
            if self._document is None:
                self._document = [self._guard(self._finish)]
            return self._document[0]

    def _turn(self) -> _Turn:
        if self._error is not None:
            raise ValueError(*self._error.args)
        return _Turn(self._lock)

    def _guard(self, step):
        try:
            return step()
        except ValueError as error:
            self._error = error  # every later call raises it again
            raise

    def _whole(self) -> Any:
        return loads(bytes(self._text), self._schema, check_counts=self._check_counts, fenced=self._fenced)

    def _finish(self) -> Any:
        # The elements read as they came are the document when the list
        # closed, nothing but filler followed and its count holds; anything
        # else (another kind of document, text cut short, rows only the
        # whole text can count) is read whole, which also raises the error
        # loads would.
        if self._kind in ("array", "table") and self._state == _CLOSED and not self._miscounted(final=True):
            return self._elements
        return self._whole()

    def _advance(self) -> list[Any]:
        end = self._document_end()
        if self._begin is None or end is None:
            return []
        if self._kind is None:
            opened = _stream_open(self._text, self._begin, end)
            if opened is None:
                return []
            self._kind, self._pos, self._declared, self._names = opened
        if self._kind == "other" or self._state == _IRREGULAR:
            return []
        names = self._names if self._kind == "table" else None
        found, self._pos, self._state = _stream_read(self._text, self._pos, end, names, self._schema, self._state,
                                                     len(self._elements))
        self._elements += found
        if self._miscounted(final=False):  # loads raises it, at the table's position
            loads(bytes(self._text), self._schema, partial=True, check_counts=True, fenced=self._fenced)
        return found

    def _miscounted(self, final: bool) -> bool:
        # An open table is miscounted only once it holds more rows than it declares.
        if not self._check_counts or self._kind != "table" or self._declared is None:
            return False
        rows = len(self._elements)
        return rows > self._declared or (final and rows != self._declared)

    def _document_end(self) -> int | None:
        """Finds where the document starts (past an opening fence line) and
        where the text read so far ends: at a closing fence line, or short of
        a last line that may still become one. None while an opening fence
        line is unfinished."""
        text = self._text
        if self._begin is None:
            start = len(text) - len(text.lstrip(b" \t\r\n"))
            if not self._fenced or text[start : start + 3] != _FENCE[: len(text) - start]:
                self._begin = 0
            elif len(text) - start < 3 or (line_end := text.find(b"\n", start)) < 0:
                return None
            else:
                self._begin = self._fence_scan = line_end + 1
        if not self._fenced or self._begin == 0:
            return len(text)
        if self._end is not None:
            return self._end
        while (line_end := text.find(b"\n", self._fence_scan)) >= 0:
            if text[self._fence_scan : line_end].lstrip(b" \t").startswith(_FENCE):
                self._end = self._fence_scan
                return self._end
            self._fence_scan = line_end + 1
        last = text[self._fence_scan :].lstrip(b" \t")
        if last.startswith(_FENCE):
            self._end = self._fence_scan
            return self._end
        return self._fence_scan if last and _FENCE.startswith(last) else len(text)


class _Turn:
    """Holds a stream for one call; a second thread gets RuntimeError."""

    def __init__(self, lock: threading.Lock):
        self._lock = lock

    def __enter__(self) -> None:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError("Stream is in use by another thread")

    def __exit__(self, *exc: object) -> None:
        self._lock.release()
