"""Shared helpers for the loads tests."""

import math
import struct
from pathlib import Path

# ../shared next to the repository: the benchmark corpus and the conformance files.
SHARED = Path(__file__).resolve().parents[2] / "shared"


def pe(message, position):
    """The text of a parse error raised by loads."""
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def check_same(actual, expected, path="$"):
    """Raise AssertionError unless `actual` matches `expected` exactly: types
    must match (1, 1.0 and True differ), floats bit for bit (-0.0 is not 0.0,
    NaN signs must agree) and dictionaries keep their key order."""
    assert type(actual) is type(expected), f"{path}: {actual!r:.80} vs {expected!r:.80}"
    if isinstance(expected, float):
        if math.isnan(expected):
            assert math.isnan(actual) and math.copysign(1, actual) == math.copysign(1, expected), path
        else:
            assert struct.pack("<d", actual) == struct.pack("<d", expected), f"{path}: {actual!r} != {expected!r}"
    elif isinstance(expected, list):
        assert len(actual) == len(expected), f"{path}: length {len(actual)} != {len(expected)}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            check_same(a, e, f"{path}[{i}]")
    elif isinstance(expected, dict):
        assert list(actual) == list(expected), f"{path}: keys {list(actual)!r:.200} != {list(expected)!r:.200}"
        for k in expected:
            check_same(actual[k], expected[k], f"{path}.{k!r}")
    else:
        assert actual == expected, f"{path}: {actual!r:.200} != {expected!r:.200}"
