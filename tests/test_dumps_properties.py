"""dumps properties: records read back under every option, texts against orjson, floats against orjson and repr."""

import itertools
import math
import re
import struct

import orjson
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import check_same
from vesk.vesk_core import dumps, loads

IDENT = re.compile(r"[A-Za-z_$][A-Za-z0-9_$-]*", re.ASCII)

WORDS = ["true", "false", "null", "nick", "Ivan", "NaN", "Infinity", "Inf", "None", "True", "Nancy", "tom", "fred",
         "Alice", "x-1", "_x", "$y", "a-b", "1a", "-a", "-1", "007", "1e5", "e5", "+1", ".5", "", " ", "a b", "x ",
         " a", "/usr/bin", "//c", "/*c*/", "/", "'q'", '"q"', "a\"b", "a: b", "x\ny", "[1]", "{}", "a]", "a\\b",
         "user@example.com", "Carol Nguyen", "\U0001f600 ok", "\u00e9lan",
         # long texts, clean or with an unsafe byte in the last partial block
         "long text " * 5, "long text " * 4 + "a:b", "long text " * 7 + "; end"]
awkward = st.text(st.sampled_from([*"\t\n\r\",:;[\\]{|}' -_$/.+09aZe", "\u00e9", "\u20ac", "\U0001f600",
                                   "\x00", "\x7f"]), max_size=6)
texts = st.sampled_from(WORDS) | awkward | st.text(max_size=8)
# cells a row may write in one go or not
edges = st.sampled_from([2**30 - 1, 2**30, -(2**63), 2**64, 0.5, 1e300, "a" * 31, "a" * 63, "a" * 64])
scalars = st.none() | st.booleans() | st.integers() | st.integers(-(2**70), 2**70) | st.floats() | texts | edges
KEYS = ["id", "name", "user-id", "$ref", "first name", "2nd", "true", "null", "", "\u00e9", "a,b", "k;", "x]", 'q"',
        "t\tb", "n\nl", "_x", "Ivan", "a:b", "{}"]


@st.composite
def record_lists(draw, values):
    # Records over shared columns, some lacking one, holding another key or a nested value, or replaced.
    cols = draw(st.lists(st.sampled_from(KEYS), min_size=1, max_size=4, unique=True))
    n = draw(st.integers(2, 12) | st.sampled_from([49, 50, 51, 60]))
    clean = draw(st.sampled_from([0, 10, 50]))
    cells = values if draw(st.booleans()) else scalars
    noise = draw(st.sampled_from([0, 3, 6]))  # in twenty
    variants = draw(st.sampled_from(["missing", "missing", "missing extra", "missing extra nested other"])).split()
    out = []
    for i in range(n):
        kind = draw(st.sampled_from(variants)) if i and draw(st.integers(0, 19)) < noise else "full"
        if draw(st.integers(0, 3)) == 0:  # equal keys that are other objects
            cols = [str(c.encode(), "utf-8") for c in cols]
        if kind in ("nested", "other") and i < clean:
            kind = "full"
        if kind == "full":
            out.append({c: draw(cells) for c in cols})
        elif kind == "missing":
            out.append({c: draw(cells) for c in cols if draw(st.booleans())})
        elif kind == "extra":  # in another order, with a key that may be no column
            out.append({c: draw(cells) for c in reversed(cols)} | {draw(st.sampled_from(KEYS)): draw(cells)})
        else:
            out.append(draw(values) if kind == "other" else {c: draw(values) for c in cols})
    return out


data = st.recursive(scalars | record_lists(scalars),
                    lambda c: record_lists(c) | st.lists(c, max_size=5) | st.lists(c, max_size=4).map(tuple)
                    | st.dictionaries(st.sampled_from(KEYS) | texts, c, max_size=4), max_leaves=25)


def expect(v):  # what loads gives back for v, but for the None a table adds for a missing key
    if isinstance(v, (list, tuple)):
        return [expect(x) for x in v]
    if isinstance(v, dict):
        return {k: expect(x) for k, x in v.items()}
    return math.nan if isinstance(v, float) and math.isnan(v) else v  # every NaN is written "NaN"


def fragile(text):  # an object key written bare that reads back bare only in a header
    return any(IDENT.fullmatch(k) and set(k) & set("$-") for k in re.findall(r"[{,]\s*([^\s:,{]+):", text))


COMBOS = [dict(zip(["unquoted_keys", "bare_strings", "implicit_null", "row_count"], flags), delimiter=d)
          for flags in itertools.product([False, True], repeat=4) for d in ("comma", "tab", "pipe")]


LAYOUTS = st.fixed_dictionaries({"multiline_ivy": st.booleans(), "indent": st.none() | st.integers(0, 4),
                                 "lean": st.booleans()})
INLINE, LEAN = dict(multiline_ivy=False, indent=None, lean=False), dict(multiline_ivy=False, indent=None, lean=True)


@settings(max_examples=150, deadline=None)
@given(data, LAYOUTS)
@example({"x_1": 1, "null": None, "_": [float("nan"), -0.0], "true": 1, "NaN": 2, "Infinity": (3,), "e5": {}}, INLINE)
@example([{"a": None, "b": 1, "c": None}, {"a": 2, "b": None, "c": "true"}, {"b": 3, "c": "NaN"}, {"a": "x-1"}], INLINE)
@example([{"id": 1, "user-id": "x", "$ref": None}, {"id": 2, "user-id": "y", "$ref": "Tom"}], INLINE)
@example({"t": [{"\u00e9": "\U0001f600", "": "a b"}] * 3 + [{"": None}], "u": [{"x": 1}, {"y": 2}]}, INLINE)
@example([{"s": "long text " * 7 + "; end"}, {"s": "long text " * 4 + "a:b"}, {"s": "long text " * 5}], INLINE)
@example({"t": [{"a": 1, "b": "x"}, {"a": 2, "b": None}], "u": 1}, dict(INLINE, multiline_ivy=True))
@example([{"a": "x}"}, {"a": None}] * 6 + [{"a": [{"b": "true"}, {"b": None}]}, {"a": "1 2"}],
         dict(LEAN, multiline_ivy=True))
@example([{"a": None, "b": "2025-03-14"}, {"a": "Ivan", "b": None}], dict(LEAN, indent=0))
@example([{"s": w, "n": None} for w in WORDS], LEAN)
@example([{w: 1 for w in KEYS}, {w: None for w in KEYS}], LEAN)
def test_reads_back(value, layout):
    lean, expected = layout["lean"], expect(value)
    for grid in (True, False):
        plain = dumps(value, ivy_grid=False, indent=layout["indent"])
        no_table = dumps(value, ivy_grid=grid, indent=layout["indent"], multiline_ivy=layout["multiline_ivy"]) == plain
        for o in COMBOS:
            text = dumps(value, ivy_grid=grid, **layout, **o)
            if lean or not fragile(text):
                check_same(loads(text), expected, missing_as_none=grid)
            if no_table and not lean:  # the table options change nothing
                assert text == dumps(value, ivy_grid=False, unquoted_keys=o["unquoted_keys"], indent=layout["indent"])


# Text of each storage width of str, mixed, and escapes amid them; no lone surrogates.
widths = [st.characters(min_codepoint=low, max_codepoint=high, exclude_categories=("Cs",))
          for low, high in ((0, 0x7F), (0, 0xFF), (0, 0xFFFF), (0x10000, 0x10FFFF))]
special = st.sampled_from('"\\\n\x00\x1f\x7f/\u00e9\u2028\U0001f600')
wide_texts = st.one_of(*(st.text(a | special, max_size=n) for a in widths for n in (8, 140)),
                       st.text(st.one_of(*widths, special), max_size=100))
ints = st.integers(-(2**63), 2**64 - 1) | st.sampled_from([0, -1, 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**32])
floats = st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
    [-0.0, 5e-324, 1e16, 1e15, 1e-5, 1e-6, 1e300, 9999999999999998.0, 1e-4, 1.234e-5, 123456789012345.67])
json_like = st.recursive(st.none() | st.booleans() | ints | floats | wide_texts,
                         lambda c: st.lists(c, max_size=6) | st.lists(c, max_size=6).map(tuple)
                         | st.dictionaries(wide_texts, c, max_size=6), max_leaves=30)


def no_plus(text):  # orjson's text with "e+" exponents written as "e"; string contents untouched
    return re.sub(r'("(?:[^"\\]|\\.)*")|e\+', lambda m: m.group(1) or "e", text)


@settings(max_examples=200, deadline=None)
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


@settings(max_examples=200, deadline=None)
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
