"""What the fuzz targets share. run.sh puts the instrumented extension first on PYTHONPATH;
VESK_FUZZ_ALLOW_PLAIN=1 lets a target run on an installed build."""

import math
import os
import re
import sys

import atheris  # before vesk: its preloaded libFuzzer must take the coverage counters

import vesk
from vesk import vesk_core

if not os.environ.get("VESK_FUZZ_ALLOW_PLAIN") and "/build/fuzz/" not in vesk_core.__file__:
    sys.exit(f"vesk_core comes from {vesk_core.__file__}, not an instrumented build in build/fuzz/: use fuzz/run.sh")


Mismatch = type("Mismatch", (AssertionError,), {})


def same(actual, expected, path="$", tables=True):
    """Raise Mismatch unless `actual` is `expected` exactly: 1, 1.0 and True differ, floats bit for bit (a NaN by its
    sign), keys in order. With `tables`, a list of dicts sharing one key list reads as a table: a record's keys
    follow the columns, and a column it lacked may be None."""
    if type(actual) is not type(expected):
        raise Mismatch(f"{path}: {actual!r:.200} vs expected {expected!r:.200}")
    if isinstance(expected, float):
        nan_alike = math.isnan(actual) and math.isnan(expected)
        if math.copysign(1, actual) != math.copysign(1, expected) or not nan_alike and actual != expected:
            raise Mismatch(f"{path}: {actual!r} vs expected {expected!r}")
    elif isinstance(expected, (list, tuple)):
        if len(actual) != len(expected):
            raise Mismatch(f"{path}: length {len(actual)} vs expected {len(expected)}")
        table = tables and len(actual) > 1 and all(type(a) is dict and list(a) == list(actual[0]) for a in actual)
        for i, (a, e) in enumerate(zip(actual, expected)):
            if table and type(e) is dict:  # the record's columns in any order, a missing one as None
                if set(e) - set(a) or any(a[k] is not None for k in a if k not in e):
                    raise Mismatch(f"{path}[{i}]: record keys {list(a)!r:.300} vs expected {list(e)!r:.300}")
                for k in e:
                    same(a[k], e[k], f"{path}[{i}].{k!r}")
            else:
                same(a, e, f"{path}[{i}]", tables)
    elif isinstance(expected, dict):
        if list(actual) != list(expected):
            raise Mismatch(f"{path}: keys {list(actual)!r:.300} vs expected {list(expected)!r:.300}")
        for k in expected:
            same(actual[k], expected[k], f"{path}.{k!r}", tables)
    elif actual != expected:
        raise Mismatch(f"{path}: {actual!r:.200} vs expected {expected!r:.200}")


# Whether a str has no UTF-8 form: it holds a lone surrogate.
has_surrogate = re.compile("[\ud800-\udfff]").search


def fuzz(test_one_input):
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
