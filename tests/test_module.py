"""Surface of the vesk.vesk_core extension module and the vesk package."""

import inspect
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
import vesk.vesk_core as core

P, KW, EMPTY = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.empty
LOADS_FLAGS = ["partial", "check_counts", "fenced", "lines"]
NAMES = ["__version__", "__simd__", "loads", "dumps", "format_hint"]
DUMPS_DEFAULTS = dict(ivy_grid=True, unquoted_keys=False, indent=None, bare_strings=False, implicit_null=False,
                      row_count=True, multiline_ivy=False, delimiter="comma", lean=False, lines=False)


def test_attributes_docs_and_simd_level():
    assert core.__version__ == "1.0.3"
    assert core.__all__ == NAMES and sorted(vesk.__all__) == sorted(NAMES + ["load", "dump", "Stream", "DecodeError"])
    assert vesk.DecodeError is core.DecodeError and vesk.DecodeError.__mro__[1:3] == (json.JSONDecodeError, ValueError)
    assert all(getattr(vesk, name) is getattr(core, name) for name in NAMES)
    assert core.__doc__.startswith("VESK \u2014 SIMD-accelerated parser for Python\n\n")
    assert core.loads.__doc__.startswith("Parse VESK/JSON data from bytes or string\n\nArgs:\n    data: ")
    flags = set(re.search(r"^flags\s*:(.*)$", Path("/proc/cpuinfo").read_text(), re.M)[1].split())
    assert core.__simd__ == ("AVX-512" if {"avx512f", "avx512bw"} <= flags else "AVX2")


@pytest.mark.parametrize("func, expected", [
    (core.loads, [("data", P, EMPTY), ("schema", P, None), *[(k, KW, False) for k in LOADS_FLAGS]]),
    (core.dumps, [("data", P, EMPTY)] + [(k, KW, v) for k, v in DUMPS_DEFAULTS.items()]),
    (core.format_hint, [("style", P, "ivy_grid")]),
])
def test_signature(func, expected):
    # type() too: bool defaults must be real bools, not 0/1.
    got = [(p.name, p.kind, p.default, type(p.default)) for p in inspect.signature(func).parameters.values()]
    assert got == [(*e, type(e[2])) for e in expected]


def test_sub_interpreter_import_is_refused(tmp_path):
    if not hasattr(pytest.importorskip("_testcapi"), "run_in_subinterp"):
        pytest.skip("_testcapi.run_in_subinterp is not available")
    code = ("import _testcapi as t, vesk.vesk_core as v; print(t.run_in_subinterp('import json'), "
            "t.run_in_subinterp('import vesk.vesk_core')); print(v.format_hint('tab').splitlines()[0])")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    # Control sub-interpreter 0, vesk's -1; the main interpreter's module keeps working.
    assert proc.stdout.splitlines() == ["0 -1", "Data is in VESK Ivy Grid tab-delimited format."], proc.stderr
    assert proc.returncode == 0 and "does not support sub-interpreters" in proc.stderr
