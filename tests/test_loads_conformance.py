"""The public JSONTestSuite parsing files and the benchmark corpus.

y_ files must read exactly as json.loads reads them; n_ files must be
refused, except those that the VESK grammar deliberately accepts (listed
below with the rule that accepts each); i_ files are checked against what
the grammar says about them; no file may make loads raise anything but
ValueError.
"""

import json
import math
from pathlib import Path

import pytest

from conftest import check_same
from vesk.vesk_core import loads

SHARED = Path(__file__).resolve().parents[2] / "shared"
SUITE = SHARED / "conformance" / "json-test-suite"
CORPUS = SHARED / "corpus"

SUITE_FILES = sorted(p.name for p in SUITE.glob("*.json")) if SUITE.is_dir() else []
CORPUS_FILES = sorted(p.name for p in CORPUS.glob("*.json")) if CORPUS.is_dir() else []

needs_suite = pytest.mark.skipif(not SUITE.is_dir(), reason=f"{SUITE} is absent")
needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"{CORPUS} is absent")

NAN = float("nan")
NEG_NAN = -float("nan")

# n_ files that the VESK grammar accepts on purpose: file -> (value, rule).
ACCEPTED_N = {
    "n_array_extra_comma.json": ([""], "a trailing comma before ']' is accepted"),
    "n_array_number_and_comma.json": ([1], "a trailing comma before ']' is accepted"),
    "n_object_trailing_comma.json": ({"id": 0}, "a trailing comma before '}' is accepted"),
    "n_number_NaN.json": ([NAN], "NaN is one of the named float values"),
    "n_number_-NaN.json": ([NEG_NAN], "a '-' before the case-folded named value nan gives NaN with the sign bit"),
    "n_number_Inf.json": ([math.inf], "Inf is the named value inf, letters folded to lower case"),
    "n_number_infinity.json": ([math.inf], "Infinity is one of the named float values"),
    "n_number_minus_infinity.json": ([-math.inf], "-Infinity is a named float value with a sign"),
    "n_object_non_string_key.json": ({"1": 1}, "bare keys may start with a digit and are always strings"),
    "n_object_non_string_key_but_huge_number_instead.json": (
        {"9999E9999": 1},
        "bare key: a run of letters and digits, read as a string",
    ),
    "n_object_repeated_null_null.json": (
        {"null": None},
        "bare key 'null' (a string); a repeated key keeps the last value",
    ),
    "n_object_unquoted_key.json": ({"a": "b"}, "bare keys of letters are accepted"),
    "n_object_trailing_comment.json": ({"a": "b"}, "a block comment after the value is filler"),
    "n_object_trailing_comment_slash_open.json": (
        {"a": "b"},
        "a line comment may run to the end of the input",
    ),
    "n_structure_object_with_comment.json": (
        {"a": "b"},
        "a block comment between ':' and the value is filler",
    ),
    "n_string_unescaped_ctrl_char.json": (
        ["a\x00a"],
        "raw control bytes are kept in a string that has no backslash",
    ),
    "n_string_unescaped_newline.json": (
        ["new\nline"],
        "raw control bytes are kept in a string that has no backslash",
    ),
    "n_string_unescaped_tab.json": (["\t"], "raw control bytes are kept in a string that has no backslash"),
}

# i_ files the grammar accepts; all other i_ files must be refused:
# lone or reversed surrogate escapes are refused by the \u rules, bytes that
# are not UTF-8 inside strings are refused, and UTF-16 text is not UTF-8.
ACCEPTED_I = {
    "i_number_double_huge_neg_exp.json",
    "i_number_huge_exp.json",
    "i_number_neg_int_huge_exp.json",
    "i_number_pos_double_huge_exp.json",
    "i_number_real_neg_overflow.json",
    "i_number_real_pos_overflow.json",
    "i_number_real_underflow.json",
    "i_number_too_big_neg_int.json",
    "i_number_too_big_pos_int.json",
    "i_number_very_big_negative_int.json",
    "i_structure_500_nested_arrays.json",
    "i_structure_UTF-8_BOM_empty_object.json",
}


def _read(name):
    return (SUITE / name).read_bytes()


def _outcome(data):
    """Run loads; return ("ok", value) or ("error", exception). Anything but
    ValueError fails the test."""
    try:
        return "ok", loads(data)
    except ValueError as e:
        return "error", e


def test_suite_present_and_lists_complete():
    if not SUITE.is_dir():
        pytest.skip(f"{SUITE} is absent")
    names = set(SUITE_FILES)
    missing = (set(ACCEPTED_N) | ACCEPTED_I) - names
    assert not missing, f"listed files not in the suite: {sorted(missing)}"
    assert sum(n.startswith("y_") for n in names) > 90
    assert sum(n.startswith("n_") for n in names) > 150


@needs_suite
@pytest.mark.parametrize("name", [n for n in SUITE_FILES if n.startswith("y_")])
def test_y_files_match_json(name):
    data = _read(name)
    kind, value = _outcome(data)
    assert kind == "ok", value
    check_same(value, json.loads(data))


@needs_suite
@pytest.mark.parametrize("name", [n for n in SUITE_FILES if n.startswith("n_")])
def test_n_files(name):
    data = _read(name)
    kind, value = _outcome(data)  # no crash, no unexpected exception type
    if name in ACCEPTED_N:
        expected, rule = ACCEPTED_N[name]
        assert kind == "ok", f"{rule}, but: {value}"
        check_same(value, expected)
    else:
        assert kind == "error", f"accepted as {value!r:.100}"


@needs_suite
@pytest.mark.parametrize("name", [n for n in SUITE_FILES if n.startswith("i_")])
def test_i_files(name):
    data = _read(name)
    kind, value = _outcome(data)
    if name in ACCEPTED_I:
        assert kind == "ok", value
        check_same(value, json.loads(data.decode("utf-8-sig")))
    else:
        assert kind == "error", f"accepted as {value!r:.100}"


def _utf8_files():
    out = []
    for name in SUITE_FILES:
        try:
            _read(name).decode("utf-8")
        except UnicodeDecodeError:
            continue
        out.append(name)
    return out


@needs_suite
@pytest.mark.parametrize("name", _utf8_files())
def test_every_utf8_file_reads_the_same_as_str(name):
    # Reading the same text as str gives the same outcome as reading bytes.
    data = _read(name)
    kind_b, value_b = _outcome(data)
    kind_s, value_s = _outcome(data.decode("utf-8"))
    assert kind_b == kind_s
    if kind_b == "ok":
        check_same(value_s, value_b)
    else:
        assert str(value_s) == str(value_b)


@needs_corpus
@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_documents_match_json(name):
    data = (CORPUS / name).read_bytes()
    expected = json.loads(data)
    check_same(loads(data), expected)
    check_same(loads(data.decode("utf-8")), expected)
