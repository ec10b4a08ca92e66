"""loads against json: its output, number conversion and the JSONTestSuite files (the corpus: test_stress)."""

import decimal
import json
import math
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import SHARED, check_same
from test_partial import outcome
from vesk.vesk_core import DecodeError, loads

SETTINGS = settings(max_examples=150, deadline=None)
NUMBER = r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?"  # the JSON grammar

chars = st.characters(exclude_categories=("Cs",)) | st.sampled_from('"\\/\n\t\x00\x1f\x7f\u2028\u00e9\U0001f600,]}:*')
texts = st.text(chars, max_size=20) | st.text(chars, min_size=60, max_size=120)
scalars = (st.none() | st.booleans() | st.integers() | st.integers(-(10**40), 10**40) | texts
           | st.sampled_from([2**63 - 1, -(2**63), 2**63, 2**64, -0.0, 5e-324, math.inf, -math.inf, math.nan])
           | st.floats(allow_nan=False, allow_infinity=False))
values = st.recursive(scalars, lambda c: st.lists(c, max_size=8) | st.dictionaries(texts, c, max_size=8), max_leaves=40)
FORMATS = [{}, {"ensure_ascii": False, "indent": "\t"}, {"separators": (",", ":")},  # and with comments:
           {"ensure_ascii": False, "separators": (" /* , ] */ ,\n", " // : }\n:/**/")}]


@SETTINGS
@given(values, st.sampled_from(FORMATS))
def test_json_dumps_output_reads_back_exactly(value, fmt):
    doc = json.dumps(value, **fmt)
    check_same(loads(doc), value)
    check_same(loads(doc.encode()), value)
    check_same(loads(doc + "\n" + doc, lines=True), [value, value])  # indented ones run over lines


def number(text):
    return float(text) if set(text) & set(".eE") else int(text)


# JSON numbers and number-shaped text (two properties' worth of examples)
@settings(max_examples=300, deadline=None)
@given(st.from_regex(r"-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,30})?([eE][+-]?[0-9]{1,4})?", fullmatch=True)
       | st.text(alphabet="0123456789+-.eE", min_size=1, max_size=12))
@example("-0.0")
@example("1e-400")
def test_number_shaped_text_reads_as_the_interpreter_reads_json_numbers(text):
    if not re.fullmatch(NUMBER, text):
        with pytest.raises(ValueError) as info:
            loads(text)
        assert type(info.value) is DecodeError
        return
    check_same(loads(text), number(text))
    check_same(loads(f"[{text},{text}]"), [number(text)] * 2)


@SETTINGS
@given(st.floats(5e-324, 1.7e308), st.sampled_from([-1, 0, 1]))
@example(1.0, 0)
@example(5e-324, 0)
def test_halfway_cases_are_correctly_rounded(x, nudge):
    # the exact midpoint between x and the next float, or one part in 10**800 off it
    with decimal.localcontext(prec=1200):
        mid = (decimal.Decimal(x) + decimal.Decimal(math.nextafter(x, math.inf))) / 2
        text = format(mid + nudge * mid.scaleb(-800), "E")
    check_same(loads(text), float(text))
    check_same(loads("-" + text), -float(text))



SUITE = SHARED / "conformance" / "json-test-suite"
NAMES = sorted(p.name for p in SUITE.glob("*.json")) if SUITE.is_dir() else []
# n_ files that read: trailing commas; NaN and Infinity in any case, signed; bare keys; a repeated key (the last
# value kept); comments, a line comment to the end of input; raw control bytes kept in a string
ACCEPTED_N = {f"n_{name}.json": value for name, value in {
    "array_extra_comma": [""], "array_number_and_comma": [1], "object_trailing_comma": {"id": 0},
    "number_NaN": [math.nan], "number_-NaN": [-math.nan], "number_Inf": [math.inf], "number_infinity": [math.inf],
    "number_minus_infinity": [-math.inf], "object_non_string_key": {"1": 1}, "object_unquoted_key": {"a": "b"},
    "object_non_string_key_but_huge_number_instead": {"9999E9999": 1}, "object_repeated_null_null": {"null": None},
    "object_trailing_comment": {"a": "b"}, "structure_object_with_comment": {"a": "b"},
    "object_trailing_comment_slash_open": {"a": "b"}, "string_unescaped_ctrl_char": ["a\x00a"],
    "string_unescaped_newline": ["new\nline"], "string_unescaped_tab": ["\t"]}.items()}


@pytest.mark.skipif(not SUITE.is_dir(), reason=f"conformance files not found at {SUITE}")
@pytest.mark.parametrize("name", [n for n in NAMES if n[0] in "yni"] or ["n_array_extra_comma.json"])
def test_suite_file(name):
    assert set(ACCEPTED_N) <= set(NAMES) and sum(n[:2] in ("y_", "n_") for n in NAMES) > 240
    data = (SUITE / name).read_bytes()
    kind, value = outcome(data)
    if data.decode(errors="replace").encode() == data:  # UTF-8: its text gives the same value or message
        check_same([*outcome(data.decode())], [kind, value])
    if name.startswith("y_"):
        assert kind == "ok", value
        check_same(value, json.loads(data))
    elif name in ACCEPTED_N:
        assert kind == "ok", value
        check_same(value, ACCEPTED_N[name])
    elif name.startswith("n_"):
        assert kind == "error", f"accepted as {value!r:.100}"
    elif kind == "ok":  # an i_ file: either outcome, but a value must be right
        check_same(value, json.loads(data.decode("utf-8-sig")))

