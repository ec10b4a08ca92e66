"""Property tests: loads against the output of json.dumps and against the
interpreter's own number conversion."""

import decimal
import json
import math
import re

from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import check_same
from vesk.vesk_core import loads

SETTINGS = settings(max_examples=150, deadline=None)
NUMBER = r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?"  # the JSON grammar

chars = st.characters(exclude_categories=("Cs",)) | st.sampled_from('"\\/\n\t\x00\x1f\x7f\u2028\u00e9\U0001f600,]}:*')
texts = st.text(chars, max_size=20) | st.text(chars, min_size=60, max_size=120)
scalars = (st.none() | st.booleans() | st.integers() | st.integers(-(10**40), 10**40) | texts
           | st.sampled_from([2**63 - 1, -(2**63), 2**63, 2**64, -0.0, 5e-324, math.inf, -math.inf, math.nan])
           | st.floats(allow_nan=False, allow_infinity=False))
values = st.recursive(scalars, lambda c: st.lists(c, max_size=8) | st.dictionaries(texts, c, max_size=8),
                      max_leaves=40)
FORMATS = [{}, {"ensure_ascii": False, "indent": "\t"}, {"separators": (",", ":")},  # and with comments:
           {"ensure_ascii": False, "separators": (" /* , ] */ ,\n", " // : }\n:/**/")}]


@SETTINGS
@given(values, st.sampled_from(FORMATS))
def test_json_dumps_output_reads_back_exactly(value, fmt):
    doc = json.dumps(value, **fmt)
    check_same(loads(doc), value)
    check_same(loads(doc.encode()), value)
    # Concatenated, a value a line (the indented ones over several lines).
    check_same(loads(doc + "\n" + doc, lines=True), [value, value])


def number(text):
    return float(text) if set(text) & set(".eE") else int(text)


@SETTINGS
@given(st.from_regex(r"-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,30})?([eE][+-]?[0-9]{1,4})?", fullmatch=True))
@example("-0.0")
@example("1e-400")
def test_numbers_match_the_interpreter(text):
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


@SETTINGS
@given(st.text(alphabet="0123456789+-.eE", min_size=1, max_size=12))
def test_number_shaped_text_is_read_exactly_when_it_is_a_json_number(text):
    try:
        check_same(loads(text), number(text) if re.fullmatch(NUMBER, text) else "refused")
    except ValueError as e:
        assert not re.fullmatch(NUMBER, text) and type(e) is ValueError
