"""What the fuzz targets share: the module under test and a strict comparison.

run.sh puts a staging folder holding the instrumented extension first on
PYTHONPATH; VESK_FUZZ_ALLOW_PLAIN=1 lets a target run against an installed,
uninstrumented build (it then finds only Python-level coverage).
"""

import math
import os
import struct
import sys

import atheris  # before vesk: its preloaded libFuzzer must take the coverage counters

import vesk
from vesk import vesk_core

if not os.environ.get("VESK_FUZZ_ALLOW_PLAIN") and "/build/fuzz/" not in vesk_core.__file__:
    sys.exit(f"vesk_core comes from {vesk_core.__file__}, not from an instrumented build in build/fuzz/; use fuzz/run.sh")


class Mismatch(AssertionError):
    pass


def same(actual, expected, path="$", tables=True):
    """Raise Mismatch unless `actual` is `expected` exactly: 1, 1.0 and True
    differ, floats compare bit for bit (NaN signs too), dict keys keep their
    order. With `tables`, a list whose elements all came back as dicts with
    one key list is taken for what a table reads back as: there a record's
    keys follow the columns, so their order is free, and a column that the
    record lacked may come back as None."""
    if type(actual) is not type(expected):
        raise Mismatch(f"{path}: {actual!r:.200} vs expected {expected!r:.200}")
    if isinstance(expected, float):
        if math.isnan(expected):
            ok = math.isnan(actual) and math.copysign(1, actual) == math.copysign(1, expected)
        else:
            ok = struct.pack("<d", actual) == struct.pack("<d", expected)
        if not ok:
            raise Mismatch(f"{path}: {actual!r} vs expected {expected!r}")
    elif isinstance(expected, list):
        if len(actual) != len(expected):
            raise Mismatch(f"{path}: length {len(actual)} vs expected {len(expected)}")
        table = tables and len(actual) > 1 and all(type(a) is dict for a in actual) and \
            all(list(a) == list(actual[0]) for a in actual)
        for i, (a, e) in enumerate(zip(actual, expected)):
            if table and type(e) is dict:
                same_record(a, e, f"{path}[{i}]")
            else:
                same(a, e, f"{path}[{i}]", tables)
    elif isinstance(expected, dict):
        if list(actual) != list(expected):
            raise Mismatch(f"{path}: keys {list(actual)!r:.300} vs expected {list(expected)!r:.300}")
        for k in expected:
            same(actual[k], expected[k], f"{path}.{k!r}", tables)
    elif actual != expected:
        raise Mismatch(f"{path}: {actual!r:.200} vs expected {expected!r:.200}")


def same_record(actual, expected, path):
    extra = [k for k in actual if k not in expected]
    if set(expected) - set(actual) or any(actual[k] is not None for k in extra):
        raise Mismatch(f"{path}: record keys {list(actual)!r:.300} vs expected {list(expected)!r:.300}")
    for k in expected:
        same(actual[k], expected[k], f"{path}.{k!r}")


def has_surrogate(text):
    """True when `text` has no UTF-8 form: it holds a lone surrogate."""
    try:
        text.encode()
        return False
    except UnicodeEncodeError:
        return True


def fuzz(test_one_input):
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
