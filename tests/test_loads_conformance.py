"""The JSONTestSuite parsing files and the benchmark corpus: y_ files read as
json.loads reads them, n_ files are refused except those listed below, each
with the rule that accepts it; i_ files never crash."""

import json
import math

import pytest

from conftest import SHARED, check_same
from vesk.vesk_core import loads

SUITE = SHARED / "conformance" / "json-test-suite"
CORPUS = SHARED / "corpus"
NAMES = sorted(p.name for p in SUITE.glob("*.json")) if SUITE.is_dir() else []
needs_suite = pytest.mark.skipif(not SUITE.is_dir(), reason=f"conformance files not found at {SUITE}")

TRAILING, RAW = "a trailing comma is accepted", "raw control bytes are kept in a string without a backslash"
COMMENT, BARE = "comments are filler", "a bare key is a run of letters, digits, _, $ and -, read as a string"
ACCEPTED_N = {
    "n_array_extra_comma.json": ([""], TRAILING),
    "n_array_number_and_comma.json": ([1], TRAILING),
    "n_object_trailing_comma.json": ({"id": 0}, TRAILING),
    "n_number_NaN.json": ([math.nan], "NaN is a named float value"),
    "n_number_-NaN.json": ([-math.nan], "'-' before a named value of any letter case sets the sign"),
    "n_number_Inf.json": ([math.inf], "Inf is a named float value"),
    "n_number_infinity.json": ([math.inf], "Infinity is a named float value"),
    "n_number_minus_infinity.json": ([-math.inf], "'-' before a named value sets the sign"),
    "n_object_non_string_key.json": ({"1": 1}, BARE),
    "n_object_non_string_key_but_huge_number_instead.json": ({"9999E9999": 1}, BARE),
    "n_object_repeated_null_null.json": ({"null": None}, BARE + "; a repeated key keeps the last value"),
    "n_object_unquoted_key.json": ({"a": "b"}, BARE),
    "n_object_trailing_comment.json": ({"a": "b"}, COMMENT),
    "n_object_trailing_comment_slash_open.json": ({"a": "b"}, "a line comment may run to the end of input"),
    "n_structure_object_with_comment.json": ({"a": "b"}, COMMENT),
    "n_string_unescaped_ctrl_char.json": (["a\x00a"], RAW),
    "n_string_unescaped_newline.json": (["new\nline"], RAW),
    "n_string_unescaped_tab.json": (["\t"], RAW),
}


def outcome(form):
    try:
        return "ok", loads(form)
    except ValueError as e:  # anything else fails the test
        return "error", str(e)


def read(name):
    data = (SUITE / name).read_bytes()
    kind, value = outcome(data)
    if data.decode(errors="replace").encode() == data:  # UTF-8: its text must give the same
        kind_s, value_s = outcome(data.decode())
        assert kind_s == kind
        check_same(value_s, value)  # the value, or the error's message
    return data, kind, value


@needs_suite
def test_listed_files_exist():
    assert set(ACCEPTED_N) <= set(NAMES) and sum(n[:2] in ("y_", "n_") for n in NAMES) > 240


@needs_suite
@pytest.mark.parametrize("name", [n for n in NAMES if n[0] in "yni"])
def test_suite_file(name):
    data, kind, value = read(name)
    if name.startswith("y_"):
        assert kind == "ok", value
        check_same(value, json.loads(data))
    elif name in ACCEPTED_N:
        assert kind == "ok", f"{ACCEPTED_N[name][1]}, but: {value}"
        check_same(value, ACCEPTED_N[name][0])
    elif name.startswith("n_"):
        assert kind == "error", f"accepted as {value!r:.100}"
    elif kind == "ok":  # an i_ file: either outcome, but a value must be right
        check_same(value, json.loads(data.decode("utf-8-sig")))


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"benchmark corpus not found at {CORPUS}")
@pytest.mark.parametrize("name", sorted(p.name for p in CORPUS.glob("*.json")) if CORPUS.is_dir() else [])
def test_corpus_document(name):
    data = (CORPUS / name).read_bytes()
    check_same(loads(data), json.loads(data))
    check_same(loads(data.decode()), json.loads(data))
