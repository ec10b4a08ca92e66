"""Property tests: dumps against orjson, floats of any bit pattern, plain decimals against repr."""

import math
import re
import struct

import orjson
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import check_same
from vesk.vesk_core import dumps

SETTINGS = settings(max_examples=200, deadline=None)

# Text of each storage width of str, mixed, and escapes amid them; no lone surrogates.
ascii_ = st.characters(max_codepoint=0x7F)
latin1 = st.characters(max_codepoint=0xFF)
bmp = st.characters(max_codepoint=0xFFFF, exclude_categories=("Cs",))
astral = st.characters(min_codepoint=0x10000)
special = st.sampled_from('"\\\n\x00\x1f\x7f/\u00e9\u2028\U0001f600')
chars = st.one_of(ascii_, latin1, bmp, astral, special)
texts = st.one_of(*(st.text(a | special, max_size=n) for a in (ascii_, latin1, bmp, astral) for n in (8, 140)),
                  st.text(chars, max_size=100))
ints = st.integers(-(2**63), 2**64 - 1) | st.sampled_from([0, -1, 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**32])
floats = st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
    [-0.0, 5e-324, 1e16, 1e15, 1e-5, 1e-6, 1e300, 9999999999999998.0, 1e-4, 1.234e-5, 123456789012345.67])
json_like = st.recursive(st.none() | st.booleans() | ints | floats | texts,
                         lambda c: st.lists(c, max_size=6) | st.lists(c, max_size=6).map(tuple)
                         | st.dictionaries(texts, c, max_size=6), max_leaves=30)


def no_plus(text):
    """orjson's text with "e+" exponents written as "e"; string contents untouched."""
    return re.sub(r'("(?:[^"\\]|\\.)*")|e\+', lambda m: m.group(1) or "e", text)


@SETTINGS
@given(json_like)
@example({"a": [1e16, 1e15, 1e-5, 1e-6, -1.5e-7, (2**64 - 1, -(2**63))], "\U0001f600": "\u00e9"})
@example([{"id": 1, "t": [{"a": 1}, {"a": 2}]}, {"id": 2, "t": []}, "\u2028"])
@example({**{f"k{i}": i for i in range(20)}, "n": [{"a": "x" * 70}], **{f"m{i}": "v" * 3 * i for i in range(25)}})
def test_same_text_as_orjson(value):
    # a canonical str from decode(): equality also checks the result's kind
    assert dumps(value, ivy_grid=False) == no_plus(orjson.dumps(value).decode())
    assert dumps(value, ivy_grid=False, indent=2) == no_plus(orjson.dumps(value, option=orjson.OPT_INDENT_2).decode())
    # JSON Lines: each element as orjson writes it, lists of records too (never tables).
    if isinstance(value, (list, tuple)):
        assert dumps(value, lines=True) == "".join(no_plus(orjson.dumps(v).decode()) + "\n" for v in value)


@SETTINGS
@given(st.integers(0, 2**64 - 1) | st.integers(0, 2**12 - 1).map(lambda e: e << 52 | 0x8000000000001))
@example(0x0000000000000001)  # smallest subnormal
@example(0x000FFFFFFFFFFFFF)  # largest subnormal
@example(0x7FEFFFFFFFFFFFFF)  # largest finite
@example(0x4340000000000000)  # 2**53
@example(0x7FF8000000000001)  # a NaN with a payload
def test_floats_from_any_bit_pattern(bits):
    x = struct.unpack("<d", bits.to_bytes(8, "little"))[0]
    text = dumps(x)
    if math.isnan(x) or math.isinf(x):
        assert text == ("NaN" if math.isnan(x) else "Infinity" if x > 0 else "-Infinity")
        return
    assert text == no_plus(orjson.dumps(x).decode())
    check_same(float(text), x)
    assert dumps([x, {"f": x}]) == f'[{text},{{"f":{text}}}]' and dumps([x], indent=1) == f"[\n {text}\n]"


@settings(max_examples=3000, deadline=None)
@given(st.floats(min_value=1e-4, max_value=1e16, exclude_max=True), st.integers(0, 17), st.booleans())
def test_plain_decimals_match_repr(x, places, negative):
    # Between 1e-4 and 1e16 no exponent: the shortest digits as repr writes them ("3.14", "65.61361699999998").
    y = -round(x, places) if negative else round(x, places)
    if abs(y) >= 1e-4:
        assert dumps(y) == repr(y)
