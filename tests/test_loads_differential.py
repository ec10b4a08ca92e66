"""Differential and property tests: loads against json.loads, against the
interpreter's own number conversion, and against documents written by a
small independent VESK writer that scatters comments, whitespace, trailing
commas, bare keys and escapes."""

import decimal
import json
import math
import re

from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

from conftest import check_same
from vesk.vesk_core import loads

SETTINGS = settings(
    max_examples=300,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

JSON_NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")

# ------------------------------------------------------------- strategies

interesting_chars = st.sampled_from(
    ['"', "\\", "/", "\n", "\r", "\t", "\x00", "\x1f", "\x7f", "\u2028", "\u00e9",
     "\uffff", "\U0001f600", "\U0010ffff", ",", "]", "}", ":", "[", "{", "*", "a", " "]
)
any_char = st.characters(exclude_categories=("Cs",))
texts = st.text(st.one_of(any_char, interesting_chars), max_size=24) | st.text(any_char, min_size=60, max_size=120)

scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(10**80), max_value=10**80)
    | st.sampled_from([0, -1, 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**64, -(2**64)])
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1.7976931348623157e308, 2.2250738585072014e-308])
    | texts
)

json_values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=8) | st.dictionaries(texts, children, max_size=8),
    max_leaves=40,
)


# ---------------------------------------------------------- json.dumps output


@SETTINGS
@given(
    value=json_values,
    ensure_ascii=st.booleans(),
    indent=st.sampled_from([None, 0, 1, 4, "\t"]),
    compact=st.booleans(),
)
def test_json_dumps_output_reads_like_json_loads(value, ensure_ascii, indent, compact):
    separators = (",", ":") if compact else None
    doc = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent, separators=separators)
    expected = json.loads(doc)
    check_same(expected, value)  # the oracle itself round-trips exactly
    check_same(loads(doc), expected)
    check_same(loads(doc.encode("utf-8")), expected)


@SETTINGS
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=50))
def test_floats_round_trip_exactly(values):
    doc = json.dumps(values)
    got = loads(doc)
    assert len(got) == len(values)
    for g, v in zip(got, values):
        assert type(g) is float
        assert g == v
        assert math.copysign(1.0, g) == math.copysign(1.0, v)


@SETTINGS
@given(st.lists(scalars, min_size=30, max_size=80))
def test_long_flat_arrays_match_json(values):
    # flat arrays of 256 bytes and more are read into a list sized in advance
    for doc in (json.dumps(values), json.dumps(values, indent=1)):
        check_same(loads(doc), json.loads(doc))


# ------------------------------------------------------------------ numbers


@SETTINGS
@given(st.from_regex(r"-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,30})?([eE][+-]?[0-9]{1,4})?", fullmatch=True))
@example("0")
@example("-0")
@example("-0.0")
@example("1e-400")
@example("9" * 19)
@example("9" * 20)
def test_numbers_match_the_interpreter(text):
    expected = float(text) if any(c in text for c in ".eE") else int(text)
    check_same(loads(text), expected)
    check_same(loads(f"[{text}]"), [expected])


def _midpoint_text(x, direction):
    """Decimal text of the exact midpoint between x and its neighbour, nudged
    by one unit in the last of 800 digits in `direction` (-1, 0, +1)."""
    nxt = math.nextafter(x, math.inf)
    with decimal.localcontext() as ctx:
        ctx.prec = 1200
        mid = (decimal.Decimal(x) + decimal.Decimal(nxt)) / 2
        if direction:
            mid = mid + direction * mid.scaleb(-800).copy_abs()
        text = format(mid, "E") if direction else format(mid, "f")
    # a float must be written as one: give plain digit runs a fraction
    return text if any(c in text for c in ".eE") else text + ".0"


@SETTINGS
@given(
    st.floats(min_value=5e-324, max_value=1.7e308, allow_nan=False, allow_infinity=False),
    st.sampled_from([-1, 0, 1]),
)
@example(1.0, 0)
@example(1.0, 1)
@example(5e-324, 0)
@example(2.2250738585072009e-308, 0)
@example(9007199254740992.0, 0)
def test_halfway_cases_are_correctly_rounded(x, direction):
    text = _midpoint_text(x, direction)
    assume(JSON_NUMBER.fullmatch(text))
    expected = float(text)  # the interpreter rounds correctly
    got = loads(text)
    assert type(got) is float
    assert got == expected and math.copysign(1, got) == math.copysign(1, expected), (text[:60], got, expected)
    got = loads("-" + text)
    assert got == -expected


@SETTINGS
@given(st.text(alphabet="0123456789+-.eE", min_size=1, max_size=12))
@example("1e5-3")
@example("-")
@example("0-1")
@example("1.5e")
def test_number_shaped_text_is_accepted_exactly_by_the_json_grammar(text):
    if JSON_NUMBER.fullmatch(text):
        expected = float(text) if any(c in text for c in ".eE") else int(text)
        check_same(loads(text), expected)
        return
    try:
        loads(text)
    except ValueError as e:
        msg = str(e)
    else:
        raise AssertionError(f"{text!r} accepted")
    if text[0] in "-0123456789":
        # the number reader: bare messages without position
        assert msg in {
            "Invalid number",
            "Invalid number: leading zeros not allowed",
            "Invalid number: decimal point must be followed by digits",
            "Invalid float",
        }, msg
    else:
        assert msg == f"Invalid character '{text[0]}' at position 0 (approximate position: \u00b132 bytes from 0)"


# ------------------------------------------------------- independent writer

BARE_KEY = re.compile(r"[A-Za-z0-9_$][A-Za-z0-9_$-]*")
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
COMMENT_CHARS = ' ,:[]{}"\'ab*/\\\u00e9\U0001f600\t-1'


class Writer:
    """Writes a Python value as VESK text, making random but valid choices."""

    def __init__(self, rnd):
        self.r = rnd

    def filler(self):
        r = self.r
        out = []
        for _ in range(r.choice([0, 0, 0, 1, 1, 2, 3])):
            k = r.randrange(5)
            if k == 0:
                out.append(r.choice([" ", "\t", "\n", "\r", "\r\n", "   "]))
            elif k in (1, 2):
                body = "".join(r.choice(COMMENT_CHARS) for _ in range(r.randrange(8)))
                while "*/" in body:
                    body = body.replace("*/", "* /")
                out.append("/*" + body + "*/")
            else:
                body = "".join(r.choice(COMMENT_CHARS) for _ in range(r.randrange(8)))
                out.append("//" + body + r.choice(["\n", "\r", "\r\n"]))
        return "".join(out)

    def u_escape(self, ch):
        cp = ord(ch)
        if cp >= 0x10000:
            cp -= 0x10000
            hi, lo = 0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF)
            return self.hex4(hi) + self.hex4(lo)
        return self.hex4(cp)

    def hex4(self, unit):
        h = f"{unit:04x}"
        return "\\u" + (h.upper() if self.r.random() < 0.5 else h)

    def string(self, s):
        r = self.r
        raw_ok = '"' not in s and "\\" not in s
        if raw_ok and r.random() < 0.5:
            return '"' + s + '"'  # raw, control characters included
        out = []
        for ch in s:
            must = ch in '"\\' or ord(ch) < 0x20
            if must or r.random() < 0.3:
                if ch in SHORT_ESCAPES and r.random() < 0.6:
                    out.append(SHORT_ESCAPES[ch])
                else:
                    out.append(self.u_escape(ch))
            else:
                out.append(ch)
        return '"' + "".join(out) + '"'

    def number(self, v):
        r = self.r
        if isinstance(v, bool):
            raise AssertionError
        if isinstance(v, int):
            return str(v)
        if math.isnan(v):
            if math.copysign(1.0, v) < 0:
                return "-" + r.choice(["NaN", "nan", "Nan"])
            return r.choice(["NaN", "Nan"])
        if math.isinf(v):
            if v > 0:
                return r.choice(["Infinity", "Inf"])
            return r.choice(["-Infinity", "-infinity", "-Inf", "-inf"])
        return r.choice([repr(v), format(v, ".17e"), format(v, ".17E")])

    def value(self, v):
        f = self.filler
        if v is None:
            return "null"
        if v is True:
            return "true"
        if v is False:
            return "false"
        if isinstance(v, (int, float)):
            return self.number(v)
        if isinstance(v, str):
            return self.string(v)
        trailing = self.r.random() < 0.3
        if isinstance(v, list):
            items = [f() + self.value(x) + f() for x in v]
            body = ",".join(items)
            if v and trailing:
                body += "," + f()
            return "[" + f() + body + "]"
        items = []
        for k, x in v.items():
            if BARE_KEY.fullmatch(k) and self.r.random() < 0.5:
                key = k
            else:
                key = self.string(k)
            items.append(f() + key + f() + ":" + f() + self.value(x) + f())
        body = ",".join(items)
        if v and trailing:
            body += "," + f()
        return "{" + f() + body + "}"

    def document(self, v):
        tail = self.filler()
        if self.r.random() < 0.1:
            tail += "/* unterminated"
        return self.filler() + self.value(v) + tail


bare_keys = st.from_regex(r"[A-Za-z0-9_$][A-Za-z0-9_$-]{0,10}", fullmatch=True)
vesk_scalars = scalars | st.sampled_from([math.inf, -math.inf, math.nan, -math.nan])
vesk_values = st.recursive(
    vesk_scalars,
    lambda children: st.lists(children, max_size=8)
    | st.dictionaries(texts | bare_keys, children, max_size=8),
    max_leaves=40,
)


@SETTINGS
@given(value=vesk_values, rnd=st.randoms(use_true_random=False), bom=st.booleans())
def test_independent_writer_documents_read_back(value, rnd, bom):
    doc = Writer(rnd).document(value)
    check_same(loads(doc), value)
    data = doc.encode("utf-8")
    if bom:
        data = b"\xef\xbb\xbf" + data
        check_same(loads("\ufeff" + doc), value)
    check_same(loads(data), value)


@SETTINGS
@given(s=st.text(st.one_of(any_char, interesting_chars), max_size=80), rnd=st.randoms(use_true_random=False))
def test_strings_with_random_escapes(s, rnd):
    w = Writer(rnd)
    text = w.string(s)
    assert loads(text) == s
    # and as a key, quoted the same way
    got = loads("{" + text + ": 1}")
    assert list(got) == [s]
