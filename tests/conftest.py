"""Helpers shared by the test files."""

import gc
import json
import math
import os
import re
import struct
import sys
import threading
import tracemalloc
from pathlib import Path

import pytest
from hypothesis import settings

# `make test` draws the same examples each run (--hypothesis-profile=repeatable); a plain pytest run draws new ones.
settings.register_profile("repeatable", derandomize=True)

# Under AddressSanitizer (the sanitizer run) freed memory waits in a quarantine: malloc's figures say nothing of leaks.
with open("/proc/self/maps") as _maps:
    UNDER_ASAN = "libasan" in _maps.read()
needs_plain_malloc = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's allocator hides malloc's figures")

# ../shared next to the repository: the benchmark corpus, the conformance files and the o200k_base tokenizer.
SHARED = Path(__file__).resolve().parents[2] / "shared"
TOKENIZER_CACHE = SHARED / "tokenizers" / "tiktoken-cache"


@pytest.fixture(scope="session")
def o200k():
    if not TOKENIZER_CACHE.is_dir():
        pytest.skip(f"tokenizer cache {TOKENIZER_CACHE} not found")
    tiktoken = pytest.importorskip("tiktoken")
    os.environ.setdefault("TIKTOKEN_CACHE_DIR", str(TOKENIZER_CACHE))
    return tiktoken.get_encoding("o200k_base")


def compact(x):  # as the writer's plain output has it: no spaces, text unescaped
    return json.dumps(x, ensure_ascii=False, separators=(",", ":"))


def pe(message, position):  # the text of a parse error raised by loads
    return f"{message} (approximate position: \u00b132 bytes from {position})"


# Errors that the message alone does not place: text, then the line, column, table row and column name of its error.
DECODE_PLACES = [
    (b'{"a": 1,\n "b": @}', 2, 7, None, None),
    ('[\n  "\u00e9", 01]'.encode(), 2, 8, None, None),  # a number's message states no position
    (b'[2: id, name\n 1, Ann\n 2, "Bo\\q"\n]', 3, 9, 2, "name"), (b"[2: a, b; 1, 2, 3; 4, 5 ]", 1, 17, 1, None),
    (b"[2]{a,b}:\n1,2\n3,4,5", 3, 5, 2, None), (b'[1: a, b; 1, [1: c; "x" y] ]', 1, 25, 1, "c"),  # the innermost table
    (b'[1: a; {"k": @} ]', 1, 14, 1, "a"), (b'{"t": [1: a, b; 1, "x" 2 ]}', 1, 24, 1, "b"),
    (b'[1: a; "x\xff" ]', 1, 8, 1, "a"), (b"[1: a; " + b"7" * 4301 + b" ]", 1, 8, 1, "a"),
    (b"[2: a; 1 ]", 1, 1, None, None),  # under check_counts: the table as a whole
]


def check_decode_error(error, message, text):
    """`error`, raised reading `text`, is the DecodeError of `message`; `pos`, line, column and `doc` place it."""
    import vesk

    assert type(error) is vesk.DecodeError and isinstance(error, json.JSONDecodeError)
    assert error.args == (message,) and str(error) == message
    stated = re.search(r" \(approximate position: \u00b132 bytes from (\d+)\)$", message)
    assert error.msg == message[: stated.start() if stated else None]
    assert error.pos == (int(stated[1]) if stated else None)
    if stated:
        data = text.encode() if isinstance(text, str) else bytes(text)
        before = data[: error.pos].decode(errors="replace")
        assert (error.lineno, error.colno) == (before.count("\n") + 1, len(before) - before.rfind("\n"))
        assert error.doc in data.decode(errors="replace").split("\n")[error.lineno - 1]


def check_same(actual, expected, path="$", missing_as_none=False):
    """`actual` is `expected` exactly (types, floats bit for bit, key order); `missing_as_none`: records of a table."""
    assert type(actual) is type(expected), f"{path}: {actual!r:.80} vs {expected!r:.80}"
    if isinstance(expected, float):
        same = math.isnan(actual) and math.isnan(expected) or struct.pack("<d", actual) == struct.pack("<d", expected)
        assert same and math.copysign(1, actual) == math.copysign(1, expected), f"{path}: {actual!r} != {expected!r}"
    elif isinstance(expected, list):
        assert len(actual) == len(expected), f"{path}: length {len(actual)} != {len(expected)}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            check_same(a, e, f"{path}[{i}]", missing_as_none)
    elif isinstance(expected, dict):
        keys = [k for k in actual if k in expected or not missing_as_none or actual[k] is not None]
        order = set if missing_as_none else list
        assert order(keys) == order(expected), f"{path}: keys {list(actual)!r:.200} != {list(expected)!r:.200}"
        for k in expected:
            check_same(actual[k], expected[k], f"{path}.{k!r}", missing_as_none)
    else:
        assert actual == expected, f"{path}: {actual!r:.200} != {expected!r:.200}"


# A JSON number of any size, as a whole text.
NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?", re.ASCII)


def reads_back_bare(text, lines=False, cell=True):
    """Whether `text` written bare reads back as itself: as a cell (a header name, `cell` false), in rows on lines
    of their own (`lines`: `}` ends a cell) or inline. A number or literal of the value reader is no text."""
    banned = "\t,;|]\\\x7f" + ("}" if lines else "")
    body = text[1:] if text[:1] == "-" else text
    scalar = text in ("null", "true", "false") or bool(NUMBER.fullmatch(text)) or (
        text[:1] in ("-", "I", "N") and body.lower() in ("nan", "inf", "infinity"))
    return (text != "" and text[0] > " " and text[0] not in '"[{' and text[-1] != " "
            and not text.startswith(("//", "/*")) and not any(c < " " or c in banned for c in text)
            and not any("\ud800" <= c <= "\udfff" for c in text) and not (cell and scalar))


# Leak checks: the smallest object a leaking call could leave is a float (24 bytes), so LEAK_CALLS calls
# leaking one each grow the traced size by about LEAK_CALLS * 24, well above LEAK_THRESHOLD and the noise.
LEAK_CALLS = 3000
LEAK_THRESHOLD = LEAK_CALLS * 16


def traced_growth(step):  # traced bytes left by LEAK_CALLS calls of step(i), after warming caches and free lists
    tracemalloc.start()
    try:
        for i in range(300):
            step(i)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for i in range(LEAK_CALLS):
            step(i)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def run_threads(work, count=8):  # work(t) on real threads started together, switching as often as possible
    barrier = threading.Barrier(count)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=lambda t=t: (barrier.wait(), work(t))) for t in range(count)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(interval)
