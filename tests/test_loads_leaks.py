"""Memory stays flat over thousands of loads calls, successful or failing.

Two measurements:

* tracemalloc sees every Python object the reader allocates. The smallest
  object a leaking reader could leave behind is a float (24 bytes) or an int
  (28 bytes); strings, lists and dicts are larger. With CALLS = 3000 calls,
  a leak of one such object per call grows the traced size by at least
  3000 * 24 = 72,000 bytes, and one 32-byte allocation per call by 96,000.
  THRESHOLD = 3000 * 16 = 48,000 bytes sits well below both and far above
  the noise seen when nothing leaks (under a kilobyte: free lists and
  interpreter caches after the warm-up).

* glibc's mallinfo2 sees the native heap (index arrays, escape buffers, key
  copies, and Python objects larger than 512 bytes). glibc's smallest chunk
  is 32 bytes, so one leaked native allocation per call adds at least
  3000 * 32 = 96,000 bytes, again above the same 48,000-byte threshold.

Each loop is preceded by a warm-up over the same inputs so that per-thread
caches (the key cache fills with the document's keys on the first call) and
interpreter free lists are in their steady state before measuring.
"""

import ctypes
import ctypes.util
import gc
import json
import sys
import tracemalloc
from pathlib import Path

import pytest

from vesk.vesk_core import loads

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
CALLS = 3000
THRESHOLD = CALLS * 16


def _small_corpus_doc():
    p = CORPUS / "github_events.json"
    if p.is_file():
        events = json.loads(p.read_bytes())
        return json.dumps(events[:2], ensure_ascii=True).encode()
    rows = [{"id": i, "name": f"n\u00e9{i}", "tags": ["a", "b\\n"], "v": i / 3} for i in range(20)]
    return json.dumps(rows).encode()


GOOD = _small_corpus_doc()

INPUTS = {
    "corpus-bytes": [GOOD],
    "corpus-str": [GOOD.decode()],
    "vesk-features": [
        b'// c\n{a: [1, 2.5, -0.0, NaN, -Infinity, 123456789012345678901234567890,], '
        b'"s": "x\\"y\\u00e9\\uD83D\\uDE00", "raw": "t\tb", $k-1: {"": null}, /* c */ "long": "'
        + b"z" * 300
        + b'",}'
    ],
    "long-flat-array": [b"[" + b", ".join(b'"e,%d"' % i for i in range(100)) + b",]"],
    "tables": [
        b'{"rows": [3: id, "name", tags; 1, Ann, [1, 2]; 2, "B\\u00e9", [: k; v ]; 3, x\\,y ]}',
        b"[: a, b; 1; 2, 3; ; 4, 5, ]",
    ],
    "table-errors": [
        b"[: a, b; 1, 2; 3, tom ]",  # bad cell after rows were built
        b"[: a, b; 1, 2; 3, 4",  # no closing bracket
        b'[: a, "b\xff"; 1, 2 ]',  # invalid UTF-8 in a header name
        b"[: a; 1, 2 ]",  # stops after the counted rows: trailing content
    ],
    "errors": [
        GOOD[:-1],  # unexpected end after everything was built
        GOOD + b" x",  # trailing content: the whole value is released
        b'[{"a": [1, 2, "three"]}, {"b": {"c": [4.5, "' + b"y" * 100 + b'"]}}, 1 2]',
        b'{"a": [1, 2], "b": "\\q"}',  # bad escape
        b'{"a": [1, 2], "b": "\\uD800"}',  # lone surrogate
        b'{"a": [1, 2], "b": "ok\\n\xff"}',  # invalid UTF-8 after escapes
        b'{"a": [1, 2], "b": "\xff"}',  # invalid UTF-8, no escapes
        b'{"a": [1, 2], "\xff": 1}',  # invalid UTF-8 key
        b'{"a": [1, 2], "b": 01}',  # number error
        b'{"a": [1, 2], "b": ' + b"9" * 5000 + b"}",  # large integer failure
        b"[" * 1100 + b"]" * 1100,  # too deep, after 1024 lists were built
        b'{"a" 1}',  # junk before the colon
        b'[' + b'"s", ' * 100 + b'x]',  # long flat array failing at the end
    ],
}


def _run(inputs, n):
    for i in range(n):
        data = inputs[i % len(inputs)]
        try:
            loads(data)
        except ValueError:
            pass


@pytest.mark.parametrize("name", list(INPUTS))
def test_python_objects_do_not_leak(name):
    inputs = INPUTS[name]
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start()
    try:
        _run(inputs, 300)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        _run(inputs, CALLS)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        if not was_tracing:
            tracemalloc.stop()
    assert after - before < THRESHOLD, f"traced memory grew by {after - before} bytes over {CALLS} calls"


def _mallinfo2():
    if not sys.platform.startswith("linux"):
        return None
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (n, ctypes.c_size_t)
            for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                      "fsmblks", "uordblks", "fordblks", "keepcost")
        ]

    fn.restype = MallInfo2
    fn.argtypes = []

    def used():
        m = fn()
        return m.uordblks + m.hblkhd

    return used


@pytest.mark.parametrize("name", list(INPUTS))
def test_native_heap_does_not_leak(name):
    used = _mallinfo2()
    if used is None:
        pytest.skip("glibc mallinfo2 is not available")
    inputs = INPUTS[name]
    _run(inputs, 300)
    gc.collect()
    before = used()
    _run(inputs, CALLS)
    gc.collect()
    after = used()
    assert after - before < THRESHOLD, f"native heap grew by {after - before} bytes over {CALLS} calls"


def test_measurement_detects_one_leaked_object_per_call():
    # The threshold really catches a leak of one small object per call.
    kept = []
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(CALLS):
            kept.append(float(i) + 0.5)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before > THRESHOLD
    used = _mallinfo2()
    if used is not None:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        libc.malloc.restype = ctypes.c_void_p
        libc.free.argtypes = [ctypes.c_void_p]
        before = used()
        ptrs = [libc.malloc(16) for _ in range(CALLS)]
        after = used()
        for p in ptrs:
            libc.free(p)
        assert after - before > THRESHOLD


def test_reference_counts_stay_flat():
    # Cached keys: each call hands out one new reference, and the dict that
    # holds it gives it back when freed; the count must not creep up.
    key = next(iter(loads(b'{"refcount_probe_key": 1}')))
    data = b'[{"refcount_probe_key": 1}, {"refcount_probe_key": [2]}]'
    text = data.decode()
    for _ in range(10):
        loads(data)
    key_before = sys.getrefcount(key)
    data_before = sys.getrefcount(data)
    text_before = sys.getrefcount(text)
    for _ in range(1000):
        loads(data)
        loads(text)
        try:
            loads(data[:-1])
        except ValueError:
            pass
    gc.collect()
    assert sys.getrefcount(key) == key_before
    assert sys.getrefcount(data) == data_before
    assert sys.getrefcount(text) == text_before


def test_schema_names_are_released():
    names = ["schema_probe_name_%d" % i for i in range(5)]
    before = [sys.getrefcount(n) for n in names]
    for _ in range(500):
        assert loads("[1, 2]", schema=names) == [1, 2]
        with pytest.raises(TypeError):
            loads("[1]", schema=names + [7])
        with pytest.raises(ValueError):
            loads("[1 2]", schema=names)
    gc.collect()
    assert [sys.getrefcount(n) for n in names] == before
