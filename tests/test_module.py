"""Surface of the vesk.vesk_core extension module and the vesk package."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import vesk
import vesk.vesk_core as core

P_OR_K = inspect.Parameter.POSITIONAL_OR_KEYWORD
KW_ONLY = inspect.Parameter.KEYWORD_ONLY
EMPTY = inspect.Parameter.empty


def _cpu_flags():
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                key, sep, value = line.partition(":")
                if sep and key.strip() == "flags":
                    return set(value.split())
    except OSError:
        return None
    return None


# ---------------------------------------------------------------- attributes


def test_version():
    assert core.__version__ == "1.0.3"
    assert vesk.__version__ == core.__version__


def test_simd_level_matches_cpu_flags():
    flags = _cpu_flags()
    if flags is None:
        pytest.skip("/proc/cpuinfo flags are not readable")
    expected = "AVX-512" if {"avx512f", "avx512bw"} <= flags else "AVX2"
    assert core.__simd__ == expected
    assert vesk.__simd__ == expected


def test_core_all_in_order():
    assert core.__all__ == ["__version__", "__simd__", "loads", "dumps", "format_hint"]


def test_core_all_names_resolve():
    for name in core.__all__:
        assert hasattr(core, name), name


def test_package_all():
    assert sorted(vesk.__all__) == sorted(
        ["loads", "dumps", "format_hint", "__version__", "__simd__"]
    )
    assert len(vesk.__all__) == len(set(vesk.__all__))


@pytest.mark.parametrize("name", ["loads", "dumps", "format_hint", "__version__", "__simd__"])
def test_package_reexports_core_objects(name):
    assert getattr(vesk, name) is getattr(core, name)


def test_star_import_exposes_package_all():
    namespace = {}
    exec("from vesk import *", namespace)
    for name in ["loads", "dumps", "format_hint", "__version__", "__simd__"]:
        assert namespace[name] is getattr(core, name)


def test_module_docstring():
    lines = core.__doc__.split("\n")
    assert lines[0] == "VESK \u2014 SIMD-accelerated parser for Python"
    assert lines[1] == ""
    assert lines[2].startswith(
        "This module provides high-performance parsing of VESK/JSON data using"
    )


# ---------------------------------------------------------------- signatures


def _describe(func):
    return [
        (p.name, p.kind, p.default) for p in inspect.signature(func).parameters.values()
    ]


@pytest.mark.parametrize(
    ("func", "expected"),
    [
        pytest.param(
            core.loads,
            [("data", P_OR_K, EMPTY), ("schema", P_OR_K, None)],
            id="loads",
        ),
        pytest.param(
            core.dumps,
            [
                ("data", P_OR_K, EMPTY),
                ("ivy_grid", KW_ONLY, True),
                ("unquoted_keys", KW_ONLY, False),
                ("indent", KW_ONLY, None),
                ("bare_strings", KW_ONLY, False),
                ("implicit_null", KW_ONLY, False),
                ("row_count", KW_ONLY, True),
                ("multiline_ivy", KW_ONLY, False),
                ("delimiter", KW_ONLY, "comma"),
            ],
            id="dumps",
        ),
        pytest.param(
            core.format_hint,
            [("style", P_OR_K, "ivy_grid")],
            id="format_hint",
        ),
    ],
)
def test_signature(func, expected):
    actual = _describe(func)
    assert actual == expected
    # bool defaults must be real bools, not 0/1.
    for (_, _, got), (_, _, want) in zip(actual, expected):
        assert type(got) is type(want)


def test_loads_docstring():
    expected = "\n".join(
        [
            "Parse VESK/JSON data from bytes or string",
            "",
            "Args:",
            "    data: Input as bytes (zero-copy) or str (will encode to UTF-8)",
            "",
            "Returns:",
            "    Parsed Python object (dict, list, str, int, float, bool, None)",
            "",
            "Raises:",
            "    ValueError: Invalid JSON/VESK syntax",
            "",
            "Examples:",
            "    >>> import vesk",
            "    >>> vesk.loads('{\"key\": \"value\"}')",
            "    {'key': 'value'}",
            "    >>> vesk.loads(b'[1, 2, 3]')",
            "    [1, 2, 3]",
        ]
    )
    assert core.loads.__doc__ == expected


# ---------------------------------------------------------------- import


def test_reimport_returns_same_module():
    original = sys.modules["vesk.vesk_core"]
    try:
        del sys.modules["vesk.vesk_core"]
        again = importlib.import_module("vesk.vesk_core")
        assert again is original
        assert again.__all__ == ["__version__", "__simd__", "loads", "dumps", "format_hint"]
        assert len(again.__all__) == len(set(again.__all__))
    finally:
        sys.modules["vesk.vesk_core"] = original


def test_sub_interpreter_import_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi.run_in_subinterp is not available")
    code = textwrap.dedent(
        """
        import _testcapi
        import vesk.vesk_core
        # Control: a sub-interpreter that does not touch vesk succeeds.
        print("control", _testcapi.run_in_subinterp("import json"), flush=True)
        print("vesk", _testcapi.run_in_subinterp("import vesk.vesk_core"), flush=True)
        # The main interpreter's module keeps working after the refusal.
        print("after", vesk.vesk_core.format_hint("tab").splitlines()[0], flush=True)
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "control 0",
        "vesk -1",
        "after Data is in VESK Ivy Grid tab-delimited format.",
    ], proc.stderr
    assert "ImportError" in proc.stderr
    assert "does not support sub-interpreters" in proc.stderr


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    ("func", "args", "kwargs"),
    [
        pytest.param(core.format_hint, (1, 2), {}, id="format_hint-two-positional"),
        pytest.param(core.format_hint, (), {"x": 1}, id="format_hint-unknown-keyword"),
        pytest.param(core.format_hint, ("a",), {"style": "b"}, id="format_hint-style-twice"),
        pytest.param(core.dumps, (1, True), {}, id="dumps-positional-option"),
        pytest.param(core.dumps, (), {}, id="dumps-no-data"),
        pytest.param(core.dumps, (1,), {"colour": True}, id="dumps-unknown-keyword"),
        pytest.param(core.dumps, (1,), {"data": 2}, id="dumps-data-twice"),
        pytest.param(core.loads, (), {}, id="loads-no-args"),
        pytest.param(core.loads, (b"1", None, 3), {}, id="loads-three-positional"),
        pytest.param(core.loads, (b"1",), {"bogus": 1}, id="loads-unknown-keyword"),
        pytest.param(core.loads, (b"1",), {"data": b"2"}, id="loads-data-twice"),
    ],
)
def test_argument_binding_errors(func, args, kwargs):
    with pytest.raises(TypeError):
        func(*args, **kwargs)


# PLACEHOLDER (writer not landed yet): dumps currently refuses valid calls with
# NotImplementedError. Replace this test with real output checks when dumps is
# implemented.
@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        pytest.param(({"a": 1},), {}, id="defaults"),
        pytest.param(([1, 2],), {}, id="list"),
        pytest.param(
            ([{"id": 1}],),
            {
                "ivy_grid": False,
                "unquoted_keys": True,
                "indent": 2,
                "bare_strings": True,
                "implicit_null": True,
                "row_count": False,
                "multiline_ivy": True,
                "delimiter": "tab",
            },
            id="all-options",
        ),
        pytest.param((), {"data": "x"}, id="data-by-keyword"),
    ],
)
def test_dumps_placeholder_not_implemented_yet(args, kwargs):
    with pytest.raises(NotImplementedError):
        core.dumps(*args, **kwargs)
