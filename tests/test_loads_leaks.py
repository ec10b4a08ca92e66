"""Memory stays flat over thousands of loads calls, successful or failing
(tracemalloc sees every Python object the reader allocates; see conftest)."""

import ctypes
import json

import pytest

from conftest import LEAK_THRESHOLD, traced_growth
from vesk.vesk_core import loads

GOOD = json.dumps([{"id": i, "name": f"n\u00e9{i}", "tags": ["a", "b\\n"], "v": i / 3} for i in range(20)]).encode()
PAIR = b'{"a": [1, 2], "b": '
# Records that follow the one before, stray from it midway, stop short of it
# and go past it (see the reader's ObjectDict).
SHAPED = b'[{"a": 1, "b": {"c": [2]}}, {"a": 3, "b": {"c": [4], "d": 5}}, {"a": 6, "x": 7}, {"a": 8}, ' \
         b'{"a": 9, "b": {"c": []}, "e": "f"}]'
INPUTS = {  # group -> inputs; groups named "*errors" must raise ValueError on every input
    "good": [GOOD, GOOD.decode(), SHAPED, b"[" + b", ".join(b'"e,%d"' % i for i in range(100)) + b",]",
             b'// c\n{a: [1, 2.5, -0.0, NaN, -Infinity, 123456789012345678901234567890,], "raw": "t\tb", '
             b'"s": "x\\"y\\u00e9\\uD83D\\uDE00", $k-1: {"": null}, /* c */ "long": "' + b"z" * 300 + b'",}'],
    "tables": [b'{"rows": [3: id, "name", tags; 1, Ann, [1, 2]; 2, "B\\u00e9", [: k; v ]; 3, x\\,y ]}',
               b"[: a, b; 1; 2, 3; ; 4, 5, ]"],
    "table-errors": [b"[: a, b; 1, 2; 3, 4, x ]", b"[2]{a}:\n 1\n 2, 3", b"[2:\n a\n 1;\n]", b"[: a, b; 1, 2; 3, 4", b'[: a, "b\xff"; 1, 2 ]', b"[: a; 1, 2 ]"],
    "errors": [GOOD[:-1], GOOD + b" x", PAIR + b'"\\q"}', PAIR + b'"\\uD800"}', PAIR + b'"ok\\n\xff"}',
               PAIR + b'"\xff"}', b'{"a": [1, 2], "\xff": 1}', PAIR + b"01}", PAIR + b"9" * 5000 + b"}",
               b"[" * 1100 + b"]" * 1100, b'{"a" 1}', b"[" + b'"s", ' * 100 + b"x]",
               b'[{"a": [1, 2, "three"]}, {"b": {"c": [4.5, "' + b"y" * 100 + b'"]}}, 1 2]',
               SHAPED[:60] + b"x" + SHAPED[60:], SHAPED[:-1]],
    "buffers": [bytearray(GOOD), bytearray(b"[: a, b; 1, 2; 3, 4 ]")],
    "buffer-errors": [bytearray(b"[: a, b; 1, 2; 3, 4, x ]"), bytearray(PAIR + b"01}"), bytearray(GOOD[:-1])],
}


@pytest.mark.parametrize("name", list(INPUTS))
def test_loads_does_not_leak(name):
    def step(i):
        data = INPUTS[name][i % len(INPUTS[name])]
        data = data[:1] + data[1:]  # a fresh copy: a leaked reference to the input shows too
        try:
            loads(memoryview(data) if i % 2 and not isinstance(data, str) else data)
        except ValueError:
            assert name.endswith("errors")
        else:
            assert not name.endswith("errors")
        if isinstance(data, bytearray):
            data.append(0)  # BufferError while a view of it is still held

    assert traced_growth(step) < LEAK_THRESHOLD


def test_measurement_detects_one_leaked_float_per_call():
    assert traced_growth(lambda i: ctypes.pythonapi.Py_IncRef(ctypes.py_object(i + 0.5))) > LEAK_THRESHOLD
