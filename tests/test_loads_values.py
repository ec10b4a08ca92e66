"""Values read by loads: literals, numbers, strings, arrays, objects (keys,
bare keys, duplicates), comments and trailing commas, nesting depth."""

import json
import math
import struct
import sys
import threading

import pytest

from conftest import check_same
from vesk.vesk_core import loads


def pe(message, position):
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def value_error(data):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert type(info.value) is ValueError
    return str(info.value)


def bits(x):
    return struct.pack(">d", x).hex()


# The strict comparison helper must itself be able to fail.
@pytest.mark.parametrize(
    "a, b",
    [
        (1, 1.0),
        (True, 1),
        (0.0, -0.0),
        (float("nan"), -float("nan")),
        (1.0, float("nan")),
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}),
        ([1, 2], [1, 2, 3]),
        ("a", "b"),
        ({"a": [1]}, {"a": [2]}),
    ],
)
def test_strict_comparison_helper_detects_differences(a, b):
    with pytest.raises(AssertionError):
        check_same(a, b)


# ------------------------------------------------------------------- literals


@pytest.mark.parametrize(
    "text, expected",
    [
        ("null", None),
        ("true", True),
        ("false", False),
        ("[null,true,false]", [None, True, False]),
        ("{\"n\":null,\"t\":true,\"f\":false}", {"n": None, "t": True, "f": False}),
        ("[ null , true , false ]", [None, True, False]),
        ("[true/*c*/,false//c\n]", [True, False]),
    ],
)
def test_literals(text, expected, assert_same):
    assert_same(loads(text), expected)


@pytest.mark.parametrize(
    "text, message",
    [
        ("nullx", pe("Trailing content after document", 4)),
        ("truefalse", pe("Trailing content after document", 4)),
        ("false0", pe("Trailing content after document", 5)),
        ("[nullx]", pe("Invalid character 'x' at position 5", 5)),
        ("[true1]", pe("Invalid character '1' at position 5", 5)),
        ("nul", pe("Invalid character 'n' at position 0", 0)),
        ("tru", pe("Invalid character 't' at position 0", 0)),
        ("fals", pe("Invalid character 'f' at position 0", 0)),
        ("[fals]", pe("Invalid character 'f' at position 1", 1)),
        ("True", pe("Invalid character 'T' at position 0", 0)),
        ("False", pe("Invalid character 'F' at position 0", 0)),
        ("nULL", pe("Invalid character 'n' at position 0", 0)),
        ("[n]", pe("Invalid character 'n' at position 1", 1)),
        ("undefined", pe("Invalid character 'u' at position 0", 0)),
        ("'a'", pe("Invalid character ''' at position 0", 0)),
    ],
)
def test_literal_errors(text, message):
    assert value_error(text) == message


# -------------------------------------------------------------------- numbers

INTEGERS = [
    "0",
    "-0",
    "7",
    "-7",
    "123",
    "9223372036854775807",
    "-9223372036854775808",
    "9223372036854775808",
    "-9223372036854775809",
    "9999999999999999999",
    "-9999999999999999999",
    "10000000000000000000",
    "18446744073709551615",
    "18446744073709551616",
    "-18446744073709551615",
    "-18446744073709551616",
    "123456789012345678901234567890",
    "-123456789012345678901234567890",
    "1" + "0" * 100,
    "-" + "9" * 300,
]


@pytest.mark.parametrize("text", INTEGERS)
def test_integers(text, assert_same):
    expected = int(text)
    assert_same(loads(text), expected)
    assert_same(loads(f"[{text}]"), [expected])
    assert_same(loads(f'{{"n": {text} }}'), {"n": expected})


def test_integer_at_interpreter_digit_limit():
    limit = sys.get_int_max_str_digits()
    if limit == 0:
        pytest.skip("the interpreter's integer digit limit is disabled")
    ok = "7" * limit
    assert loads(ok) == int(ok)
    assert loads("-" + ok) == -int(ok)
    too_long = "7" * (limit + 1)
    assert value_error(too_long) == "Failed to create large integer"
    assert value_error("[" + too_long + "]") == "Failed to create large integer"
    assert value_error("-" + too_long) == "Failed to create large integer"


def test_five_thousand_digit_integer_fails():
    if sys.get_int_max_str_digits() == 0 or sys.get_int_max_str_digits() >= 5000:
        pytest.skip("the interpreter's integer digit limit allows 5000 digits")
    assert value_error("1" * 5000) == "Failed to create large integer"
    # No pending Python error is left behind: the next call works.
    assert loads("[1]") == [1]


FLOATS = [
    "0.0",
    "-0.0",
    "0e0",
    "-0e0",
    "0E+0",
    "1E5",
    "1e5",
    "1e+5",
    "1E-2",
    "1.0E+2",
    "0.1",
    "-0.1",
    "0.30000000000000004",
    "3.141592653589793",
    "1.7976931348623157e308",
    "1.7976931348623159e308",  # rounds up to infinity
    "2.2250738585072014e-308",
    "2.2250738585072011e-308",
    "4.9406564584124654e-324",
    "5e-324",
    "2.4703282292062327e-324",  # just below half of the smallest subnormal
    "2.4703282292062328e-324",  # just above it
    "1e400",
    "-1e400",
    "1e-400",
    "-1e-400",
    "123.456e-789",
    "1.5e+9999",
    "0.4e006699999999999999999999999999999999999999999999999999",
    "9007199254740993.0",
    "1.00000000000000011102230246251565404236316680908203125",
    "1.00000000000000011102230246251565404236316680908203124",
    "1.00000000000000011102230246251565404236316680908203126",
    "7.2057594037927933e16",
    "123456789012345678901234567890.5",
    "1" * 400 + ".5",
    "0." + "0" * 400 + "1",
    "-12.5e-1",
]


@pytest.mark.parametrize("text", FLOATS)
def test_floats_are_correctly_rounded(text):
    expected = float(text)
    for doc in (text, f"[{text}]", f" {text} ", f'{{"x":{text}}}'):
        got = loads(doc)
        got = got if isinstance(got, float) else (got[0] if isinstance(got, list) else got["x"])
        assert type(got) is float
        assert bits(got) == bits(expected), (doc, got, expected)


def test_negative_zero_float_keeps_sign_and_integer_zero_does_not():
    z = loads("-0.0")
    assert z == 0.0 and math.copysign(1.0, z) == -1.0
    i = loads("-0")
    assert type(i) is int and i == 0


@pytest.mark.parametrize(
    "text, kind, negative",
    [
        ("Infinity", "inf", False),
        ("-Infinity", "inf", True),
        ("-infinity", "inf", True),
        ("-Inf", "inf", True),
        ("-inf", "inf", True),
        ("-iNfInItY", "inf", True),
        ("INF", "inf", False),
        ("-INF", "inf", True),
        ("INFINITY", "inf", False),
        ("-INFINITY", "inf", True),
        ("InFiNiTy", "inf", False),
        ("NAN", "nan", False),
        ("-NAN", "nan", True),
        ("-nAn", "nan", True),
        ("NaN", "nan", False),
        ("Nan", "nan", False),
        ("-nan", "nan", True),
        ("-NaN", "nan", True),
        ("-Nan", "nan", True),
    ],
)
def test_nan_and_infinity_values(text, kind, negative):
    for doc, pick in ((text, lambda v: v), (f"[{text}, 1]", lambda v: v[0]), (f"{{\"v\": {text}}}", lambda v: v["v"])):
        value = pick(loads(doc))
        assert type(value) is float
        if kind == "inf":
            assert math.isinf(value)
        else:
            assert math.isnan(value)
            # the standard quiet NaN: exponent all ones, top fraction bit only
            assert struct.pack(">d", abs(value)).hex() == "7ff8000000000000"
        assert (math.copysign(1.0, value) < 0) == negative


@pytest.mark.parametrize(
    "text, message",
    [
        ("-", "Invalid number"),
        ("[-]", "Invalid number"),
        ("--1", "Invalid number"),
        ("-a", "Invalid number"),
        ("- 1", "Invalid number"),
        ("-I", "Invalid number"),
        ("1.5.5", "Invalid number"),
        ("1e5e3", "Invalid number"),
        ("1ee5", "Invalid number"),
        ("12a", "Invalid number"),
        ("[12a]", "Invalid number"),
        ("1-2", "Invalid number"),
        ("1+2", "Invalid number"),
        ("Infinit", "Invalid number"),
        ("Infinityy", "Invalid number"),
        ("NaNa", "Invalid number"),
        ("-Infinit", "Invalid number"),
        ("Nane", "Invalid number"),
        ("NULL", "Invalid number"),
        ("01", "Invalid number: leading zeros not allowed"),
        ("-01", "Invalid number: leading zeros not allowed"),
        ("00", "Invalid number: leading zeros not allowed"),
        ("00.5", "Invalid number: leading zeros not allowed"),
        ("[007]", "Invalid number: leading zeros not allowed"),
        ("1.", "Invalid number: decimal point must be followed by digits"),
        ("-1.", "Invalid number: decimal point must be followed by digits"),
        ("1.e5", "Invalid number: decimal point must be followed by digits"),
        ("1.x5", "Invalid number: decimal point must be followed by digits"),
        ("[1.]", "Invalid number: decimal point must be followed by digits"),
        ("0.E1", "Invalid number: decimal point must be followed by digits"),
        ("1e", "Invalid float"),
        ("1E", "Invalid float"),
        ("0e", "Invalid float"),
        ("1e+", "Invalid float"),
        ("1e-", "Invalid float"),
        ("1.5e", "Invalid float"),
        ("0.0e", "Invalid float"),
        ("1e5-3", "Invalid float"),
        ("1e--5", "Invalid float"),
        ("1e+-5", "Invalid float"),
        ("[1e]", "Invalid float"),
    ],
)
def test_number_errors(text, message):
    # Number failures carry the bare message, without any position.
    assert value_error(text) == message
    assert value_error(text.encode()) == message


@pytest.mark.parametrize(
    "text, message",
    [
        ("+1", pe("Invalid character '+' at position 0", 0)),
        ("[+1]", pe("Invalid character '+' at position 1", 1)),
        (".5", pe("Invalid character '.' at position 0", 0)),
        ("[.5]", pe("Invalid character '.' at position 1", 1)),
        ("nan", pe("Invalid character 'n' at position 0", 0)),
        ("inf", pe("Invalid character 'i' at position 0", 0)),
        ("[inf]", pe("Invalid character 'i' at position 1", 1)),
        ("+Infinity", pe("Invalid character '+' at position 0", 0)),
        ("12x", pe("Trailing content after document", 2)),
        ("0x10", pe("Trailing content after document", 1)),
        ("[12x]", pe("Invalid character 'x' at position 3", 3)),
        ("[1 2]", pe("Invalid character '2' at position 3", 3)),
        ("-1x", pe("Trailing content after document", 2)),
    ],
)
def test_number_boundaries(text, message):
    assert value_error(text) == message


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[1,-2,3.5e1,0]", [1, -2, 35.0, 0]),
        ("[-0,0,-0.0e0]", [0, 0, -0.0]),
        ("{\"a\":1,\"b\":-1.5}", {"a": 1, "b": -1.5}),
        ("[1]", [1]),
        ("[1//c\n,2/*c*/]", [1, 2]),
        ("[1\t,\r\n2 ]", [1, 2]),
    ],
)
def test_numbers_followed_by_delimiters(text, expected, assert_same):
    assert_same(loads(text), expected)


# -------------------------------------------------------------------- strings


@pytest.mark.parametrize(
    "text, expected",
    [
        ('""', ""),
        ('"abc"', "abc"),
        ('"a\\"b"', 'a"b'),
        ('"\\\\"', "\\"),
        ('"a\\\\"', "a\\"),
        ('"\\\\\\""', '\\"'),
        ('"\\/"', "/"),
        ('"/"', "/"),
        ('"\\b\\f\\n\\r\\t"', "\b\f\n\r\t"),
        ('"\\u00e9"', "\u00e9"),
        ('"\\u00E9\\u00c9"', "\u00e9\u00c9"),
        ('"\\u0041\\u0062"', "Ab"),
        ('"\\u0000"', "\x00"),
        ('"\\u001f"', "\x1f"),
        ('"\\u07ff\\u0800\\uffff"', "\u07ff\u0800\uffff"),
        ('"\\uD83D\\uDE00"', "\U0001f600"),
        ('"\\ud83d\\ude00"', "\U0001f600"),
        ('"\\uD800\\uDC00"', "\U00010000"),
        ('"\\uDBFF\\uDFFF"', "\U0010ffff"),
        ('"x\\uD834\\uDD1Ey"', "x\U0001d11ey"),
        ('"\u00e9\u65e5\U0001f600"', "\u00e9\u65e5\U0001f600"),
        ('"\u00e9\\n\U0001f600"', "\u00e9\n\U0001f600"),
        ('"\\"\\"\\""', '"""'),
        ('"[1, 2]: {}"', "[1, 2]: {}"),
        ('"// not a comment /* */"', "// not a comment /* */"),
        ('"\\u005C"', "\\"),
        ('"\\u0022"', '"'),
    ],
)
def test_string_values(text, expected):
    assert loads(text) == expected
    assert loads(text.encode()) == expected
    assert loads(f"[{text}, {text}]") == [expected, expected]
    assert loads(f'{{"k": {text}}}') == {"k": expected}


@pytest.mark.parametrize(
    "raw",
    ["\t", "\n", "\r", "\x00", "\x01", "\x1f", "a\tb\nc", "\x7f"],
    ids=repr,
)
def test_raw_control_bytes_kept_without_backslash(raw):
    assert loads(f'"{raw}"') == raw
    assert loads(f'["{raw}", 1]') == [raw, 1]
    assert loads(f'{{"k": "{raw}"}}') == {"k": raw}


@pytest.mark.parametrize(
    "text, position",
    [
        ('"a\\n\tb"', 4),
        ('"\tb\\n"', 1),
        ('"\\n\n"', 3),
        ('"\\n\x00"', 3),
        ('["ok", "\\u0041\x1f"]', 14),
        ('{"k": "\\t\r"}', 9),
    ],
)
def test_raw_control_bytes_refused_in_escaped_string(text, position):
    assert value_error(text) == pe(f"Unescaped control character at position {position}", position)


@pytest.mark.parametrize("prefix_len", list(range(0, 40)) + [63, 64, 65, 255, 256, 257, 1000])
def test_backslash_found_at_every_offset(prefix_len):
    # The backslash search works on words and blocks; put the first backslash
    # at every offset and on both sides of block boundaries.
    for tail in ("", "z" * 17):
        s = "a" * prefix_len + "\\n" + tail
        doc = json.dumps([s, {s: s}])
        assert loads(doc) == [s, {s: s}]
        # the same with an escaped quote right before the closing quote
        s2 = "b" * prefix_len + '"'
        doc2 = json.dumps([s2, {s2: 1}])
        assert loads(doc2) == [s2, {s2: 1}]


def test_long_strings_with_many_escapes_grow_the_buffer():
    parts = ["\u00e9", "\\", '"', "\n", "\U0001f600", "x" * 37, "\u0001", "/"]
    s = "".join(parts) * 200  # several kilobytes after decoding
    for ensure_ascii in (True, False):
        doc = json.dumps({"v": s, s[:50]: [s, s]}, ensure_ascii=ensure_ascii)
        assert loads(doc) == json.loads(doc)
        assert loads(doc.encode()) == json.loads(doc)


# ------------------------------------------------------------------ objects


@pytest.mark.parametrize(
    "text, expected",
    [
        ("{}", {}),
        ("{ }", {}),
        ("{/*c*/}", {}),
        ('{"a": 1}', {"a": 1}),
        ('{"": 1}', {"": 1}),
        ('{"a": 1, "a": 2}', {"a": 2}),
        ('{"a": {"b": {"c": []}}}', {"a": {"b": {"c": []}}}),
        ('{"k\\u0041": 1}', {"kA": 1}),
        ('{"a\\"b": 1}', {'a"b': 1}),
        ('{"a\\\\": 1}', {"a\\": 1}),
        ('{"\\u00e9t\\u00e9": 1}', {"\u00e9t\u00e9": 1}),
        ('{"\u00e9t\u00e9": 1}', {"\u00e9t\u00e9": 1}),
        ('{"tab\there": 1}', {"tab\there": 1}),
        ('{"a,b": 1, "c:d": 2, "e}f": 3, "g]h": 4}', {"a,b": 1, "c:d": 2, "e}f": 3, "g]h": 4}),
        ('{"1": 1, "true": 2, "null": 3}', {"1": 1, "true": 2, "null": 3}),
    ],
)
def test_objects(text, expected, assert_same):
    assert_same(loads(text), expected)


def test_duplicate_keys_last_value_wins_first_position_kept():
    d = loads('{"a": 1, "b": 2, "a": 3, "c": 4, "b": 5}')
    assert list(d.items()) == [("a", 3), ("b", 5), ("c", 4)]
    d = loads('{a: 1, "a": 2, b: 3}')
    assert list(d.items()) == [("a", 2), ("b", 3)]
    # escaped and plain spellings of the same key are the same key
    d = loads('{"kA": 1, "k\\u0041": 2}')
    assert list(d.items()) == [("kA", 2)]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("{a: 1}", {"a": 1}),
        ("{a_1: 1, 2b: 2}", {"a_1": 1, "2b": 2}),
        ("{$a: 1}", {"$a": 1}),
        ("{a-b$: 1}", {"a-b$": 1}),
        ("{x-y: 2}", {"x-y": 2}),
        ("{2b: 2}", {"2b": 2}),
        ("{_: 1}", {"_": 1}),
        ("{$: 1}", {"$": 1}),
        ("{a--: 1}", {"a--": 1}),
        ("{_-_: 1}", {"_-_": 1}),
        ("{123: 1}", {"123": 1}),
        ("{1e5: 1}", {"1e5": 1}),
        ("{0x1F: 1}", {"0x1F": 1}),
        ("{null: null, true: 1}", {"null": None, "true": 1}),
        ("{ABCxyz09: 1}", {"ABCxyz09": 1}),
        ("{a:1,b:2,}", {"a": 1, "b": 2}),
        ("{a/*c*/:1}", {"a": 1}),
        ("{a//c\n:1}", {"a": 1}),
        ("{a\t\r\n :1}", {"a": 1}),
        ("{a:{b:{c:[1]}}}", {"a": {"b": {"c": [1]}}}),
        ("[{a: 1}, {a: 2}]", [{"a": 1}, {"a": 2}]),
        ("{" + "k" * 100 + ": 1}", {"k" * 100: 1}),
    ],
)
def test_bare_keys(text, expected, assert_same):
    got = loads(text)
    assert_same(got, expected)
    # bare keys are always strings, even when they are digits
    if isinstance(got, dict):
        assert all(type(k) is str for k in got)


@pytest.mark.parametrize(
    "text, message",
    [
        ("{-a: 1}", pe("Invalid character '-' at position 1", 1)),
        ("{-1: 1}", pe("Invalid character '-' at position 1", 1)),
        ("{.a: 1}", pe("Invalid character '.' at position 1", 1)),
        ("{a.b: 1}", pe("Invalid character '.' at position 2", 2)),
        ("{a b: 1}", pe("Invalid character 'b' at position 3", 3)),
        ("{a+b: 1}", pe("Invalid character '+' at position 2", 2)),
        ("{a: 1, @b: 2}", pe("Invalid character '@' at position 7", 7)),
        ("{'a': 1}", pe("Invalid character ''' at position 1", 1)),
        ("{[: 1}", pe("Invalid character '[' at position 1", 1)),
        ("{{: 1}", pe("Invalid character '{' at position 1", 1)),
        ("{:1}", pe("Invalid character ':' at position 1", 1)),
        ("{a}", pe("Invalid character '}' at position 2", 2)),
        ("{a, b: 1}", pe("Invalid character ',' at position 2", 2)),
        ("{a", pe("Unexpected end of input", 2)),
        ("{a ", pe("Unexpected end of input", 3)),
        ("{\u00e9: 1}", pe("Invalid character '\u00c3' at position 1", 1)),
        ("{a\u00e9: 1}", pe("Invalid character '\u00c3' at position 2", 2)),
    ],
)
def test_bare_key_errors(text, message):
    assert value_error(text) == message


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"a" : 1}', {"a": 1}),
        ('{"a"\n\t:1}', {"a": 1}),
        ('{"a" /* c */ : 1}', {"a": 1}),
        ('{"a" /* : */ : 1}', {"a": 1}),
        ('{"a" // c\n : 1}', {"a": 1}),
        ('{"a" /* " */ : "b"}', {"a": "b"}),
        ('{"a"/**/:/**/1/**/,/**/"b"//\n://\n2//\n}', {"a": 1, "b": 2}),
    ],
)
def test_filler_between_key_and_colon(text, expected, assert_same):
    assert_same(loads(text), expected)


@pytest.mark.parametrize(
    "text, message",
    [
        # Only filler may stand between a key and its colon.
        ('{"a" 1, "b": 2}', pe("Invalid character '1' at position 5", 5)),
        ('{"a" x: 1}', pe("Invalid character 'x' at position 5", 5)),
        ('{"a"x: 1}', pe("Invalid character 'x' at position 4", 4)),
        ('{"a" "b": 1}', pe("Invalid character '\"' at position 5", 5)),
        ('{"a" , "b": 1}', pe("Invalid character ',' at position 5", 5)),
        ('{"a"}', pe("Invalid character '}' at position 4", 4)),
        ('{"a" ;: 1}', pe("Invalid character ';' at position 5", 5)),
        ('{"a" /: 1}', pe("Invalid character '/' at position 5", 5)),
        ('{"a" /* c */ x : 1}', pe("Invalid character 'x' at position 13", 13)),
        ('{"a\\"b" x: 1}', pe("Invalid character 'x' at position 8", 8)),
        ('{a x: 1}', pe("Invalid character 'x' at position 3", 3)),
        ('{"a": 1, "b" 2}', pe("Invalid character '2' at position 13", 13)),
        ('{"a": 1, b 2: 3}', pe("Invalid character '2' at position 11", 11)),
        ('{"a"', pe("Unexpected end of input", 4)),
        ('{"a"   ', pe("Unexpected end of input", 7)),
        ('{"a" /* open', pe("Unexpected end of input", 12)),
    ],
)
def test_only_filler_between_key_and_colon(text, message):
    assert value_error(text) == message


# --------------------------------------------------------------------- arrays


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[]", []),
        ("[ ]", []),
        ("[/* c */]", []),
        ("[//c\n]", []),
        ("[[]]", [[]]),
        ("[[], {}, [[]]]", [[], {}, [[]]]),
        ("[1,]", [1]),
        ("[1, 2,]", [1, 2]),
        ("[1, 2, ]", [1, 2]),
        ("[1, 2, /* c */ ]", [1, 2]),
        ("[1, 2, // c\n ]", [1, 2]),
        ('["",]', [""]),
        ("[[1,],[2,],]", [[1], [2]]),
        ('{"a": [1,], "b": {"c": 1,},}', {"a": [1], "b": {"c": 1}}),
        ("[2]", [2]),
        ("[ 2 ]", [2]),
        ("[12 ]", [12]),
        ("[2, 3]", [2, 3]),
        ("[12 , 3]", [12, 3]),
        ("[1\n,\n2]", [1, 2]),
    ],
)
def test_arrays_and_trailing_commas(text, expected, assert_same):
    assert_same(loads(text), expected)


@pytest.mark.parametrize(
    "text, message",
    [
        ("[,]", pe("Invalid character ',' at position 1", 1)),
        ("{,}", pe("Invalid character ',' at position 1", 1)),
        ("[,1]", pe("Invalid character ',' at position 1", 1)),
        ("[1,,]", pe("Invalid character ',' at position 3", 3)),
        ("[1,,2]", pe("Invalid character ',' at position 3", 3)),
        ('{"a":1,,}', pe("Invalid character ',' at position 7", 7)),
        ('{"a":1 "b":2}', pe("Invalid character '\"' at position 7", 7)),
        ("[1 2]", pe("Invalid character '2' at position 3", 3)),
        ("[1;2]", pe("Invalid character ';' at position 2", 2)),
        # only spaces may stand between leading digits and a table's ':';
        # anything else leaves an ordinary array
        ("[2\t: a]", pe("Invalid character ':' at position 3", 3)),
        ("[2\n: a]", pe("Invalid character ':' at position 3", 3)),
        ("[2 /* c */ : a]", pe("Invalid character ':' at position 11", 11)),
        ("[1 2 :]", pe("Invalid character '2' at position 3", 3)),
        ("[-1: a]", pe("Invalid character ':' at position 3", 3)),
        ("[1.5: a]", pe("Invalid character ':' at position 4", 4)),
        ("[2,: a]", pe("Invalid character ':' at position 3", 3)),
        ('["a": 1]', pe("Invalid character ':' at position 4", 4)),
        ("[12", pe("Unexpected end of input", 3)),
        ("[12   ", pe("Unexpected end of input", 6)),
        ("[1}", pe("Invalid character '}' at position 2", 2)),
        ('{"a": 1]', pe("Invalid character ']' at position 7", 7)),
        ("[1", pe("Unexpected end of input", 2)),
        ("[1,", pe("Unexpected end of input", 3)),
        ("[1, ", pe("Unexpected end of input", 4)),
        ("[", pe("Unexpected end of input", 1)),
        ("[[", pe("Unexpected end of input", 2)),
        ("{", pe("Unexpected end of input", 1)),
        ('{"a": 1', pe("Unexpected end of input", 7)),
        ('{"a": 1,', pe("Unexpected end of input", 8)),
        ('{"a":', pe("Unexpected end of input", 5)),
        ('{"a":}', pe("Invalid character '}' at position 5", 5)),
        ('{"abc', pe("Unexpected end of input", 1)),
        ("]", pe("Invalid character ']' at position 0", 0)),
        ("}", pe("Invalid character '}' at position 0", 0)),
        (":", pe("Invalid character ':' at position 0", 0)),
        (",", pe("Invalid character ',' at position 0", 0)),
    ],
)
def test_container_errors(text, message):
    assert value_error(text) == message


def _flat_docs():
    elements = ['"a,b"', '"x]y"', "1", "-2.5e3", "null", '"]"', '","', "true", '"\\"]"', '"\u00e9,]"']
    many = elements * 20
    yield "plain", "[" + ", ".join(many) + "]", many
    yield "trailing-comma", "[" + ", ".join(many) + ",]", many
    yield "trailing-comma-ws", "[" + ", ".join(many) + ", \n\t\r ]", many
    yield "trailing-comma-comment", "[" + ", ".join(many) + ", /* , ] */ ]", many
    yield "comment-with-commas", "[" + ", ".join(many) + " /* ,,,, */ ]", many
    yield "close-in-first-string", '["]"' + ", 1" * 200 + "]", ['"]"'] + ["1"] * 200
    ints = [str(i) for i in range(300)]
    yield "ints", "[" + ",".join(ints) + "]", ints
    yield "ints-trailing", "[" + ",".join(ints) + ",]", ints
    yield "no-spaces-strings", "[" + ",".join(['"s,s"'] * 100) + "]", ['"s,s"'] * 100
    yield "only-commas-in-strings", '["' + "," * 300 + '"]', ['"' + "," * 300 + '"']
    yield "long-string-one", '["' + "x" * 400 + '"]', ['"' + "x" * 400 + '"']
    yield "line-comments", "[\n" + "\n".join(e + ", // c," for e in ints) + "\n]", ints
    yield "exact-256", "[" + "1," * 127 + "1]", ["1"] * 128


@pytest.mark.parametrize("name, doc, elements", list(_flat_docs()), ids=[d[0] for d in _flat_docs()])
def test_long_flat_arrays(name, doc, elements, assert_same):
    assert len(doc) >= 256
    expected = json.loads("[" + ", ".join(elements) + "]")
    assert_same(loads(doc), expected)
    assert_same(loads(doc.encode()), expected)
    # the same array nested in an object and followed by a sibling
    assert_same(loads('{"x": ' + doc + ', "y": [1]}'), {"x": expected, "y": [1]})


def _presize_cases():
    # (VESK text, the same array as JSON text)
    plain = [
        # the first ']' of the index is inside a string, far from the '[',
        # and containers follow it
        '["' + "x" * 300 + ']", {"a": [1]}, 2]',
        '["' + "x," * 150 + ']", {"a": [1, 2]}, [3, [4]], 5]',
        '["' + "x," * 150 + ']", ' + ", ".join(['{"a": [1, "]"]}'] * 50) + "]",
        "[" + '"a", ' * 100 + '"]"' + ", 7" * 100 + ', [1], {"b": 2}]',
        '["' + "x," * 150 + ']", 4, 5, 6, 7]',
        "[" + " " * 300 + "]",
        "[" + " " * 300 + "1]",
    ]
    cases = [(d, d) for d in plain]
    cases += [
        ("[1" + " " * 300 + ",2," + " " * 300 + "]", "[1, 2]"),
        ('["' + "," * 300 + '",' + " " * 10 + "]", '["' + "," * 300 + '"]'),
        ("[" + "1," * 200 + '"a"' + " // ,,,\n" + "]", "[" + "1," * 200 + '"a"]'),
        ("[" + "1," * 200 + " /* ] */ 2]", "[" + "1," * 200 + "2]"),
        ("[" + "1," * 200 + " /* , */ ]", "[" + "1," * 199 + "1]"),
    ]
    return cases


@pytest.mark.parametrize("doc, json_text", _presize_cases())
def test_long_arrays_sized_from_the_index_then_grown_or_trimmed(doc, json_text, assert_same):
    assert_same(loads(doc), json.loads(json_text))


@pytest.mark.parametrize(
    "doc, position",
    [
        ("[" + "1, " * 150 + "\x0c]", 451),
        ("[" + "1, " * 150 + "x]", 451),
        ("[" + "1, " * 150 + "1 2]", 453),
        ("[" + "1, " * 150 + "1", 452),
        ("[" + "1, " * 150 + ",]", 451),
    ],
)
def test_long_flat_array_errors(doc, position):
    msg = value_error(doc)
    assert msg.endswith(f" (approximate position: \u00b132 bytes from {position})"), msg


# --------------------------------------------------------------- comments


@pytest.mark.parametrize(
    "text, expected",
    [
        ("/* a */ [ /* b */ 1 /* c */ , /* d */ 2 /* e */ ] /* f */", [1, 2]),
        ("// a\n[ // b\n1 // c\n, // d\n2 // e\n] // f", [1, 2]),
        ("// a\r[1,\r// b\r\n2]", [1, 2]),
        ('{/*a*/"k"/*b*/:/*c*/"v"/*d*/,/*e*/}', {"k": "v"}),
        ('{ "k" : /* " , ] } */ [ /* [ { */ ] }', {"k": []}),
        ('[/* " */ "a", /* "" */ "b"]', ["a", "b"]),
        ('["a" /* \\" */, "b\\"" /* " */]', ["a", 'b"']),
        ("[1, /**/ 2, /***/ 3, /* ** / */ 4]", [1, 2, 3, 4]),
        ("[/*/ */ 1]", [1]),
        ("[1 /*\n multi\n line */, 2]", [1, 2]),
        ('{"a": /* : */ 1, /* , */ "b": 2}', {"a": 1, "b": 2}),
    ],
)
def test_comments_wherever_filler_is_allowed(text, expected, assert_same):
    assert_same(loads(text), expected)


@pytest.mark.parametrize(
    "text, message",
    [
        ("[1 / 2]", pe("Invalid character '/' at position 3", 3)),
        ("[/]", pe("Invalid character '/' at position 1", 1)),
        ("[1, /x 2]", pe("Invalid character '/' at position 4", 4)),
        ("# c\n1", pe("Invalid character '#' at position 0", 0)),
        ("[1 /* open ]", pe("Unexpected end of input", 12)),
        ('{"a": /* open', pe("Unexpected end of input", 13)),
        ("[1, // c", pe("Unexpected end of input", 8)),
    ],
)
def test_comment_errors(text, message):
    assert value_error(text) == message


# ------------------------------------------------------------ nesting depth

DEPTH_LIMIT = 1024


def _nest(kind, depth, inner="1"):
    if kind == "array":
        return "[" * depth + inner + "]" * depth, 1
    if kind == "object":
        return '{"a":' * depth + inner + "}" * depth, 5
    if kind == "bare-object":
        return "{a:" * depth + inner + "}" * depth, 3
    # alternating: [{"a":[{"a": ...
    opens, closes = [], []
    for i in range(depth):
        if i % 2 == 0:
            opens.append("[")
            closes.append("]")
        else:
            opens.append('{"a":')
            closes.append("}")
    return "".join(opens) + inner + "".join(reversed(closes)), None


def _unnest(value, depth):
    for _ in range(depth):
        value = value[0] if isinstance(value, list) else value["a"]
    return value


@pytest.mark.parametrize("kind", ["array", "object", "bare-object", "mixed"])
def test_nesting_up_to_the_limit_reads(kind):
    doc, _ = _nest(kind, DEPTH_LIMIT)
    value = loads(doc)
    assert _unnest(value, DEPTH_LIMIT) == 1
    doc, _ = _nest(kind, DEPTH_LIMIT - 1, "[]")
    assert _unnest(loads(doc), DEPTH_LIMIT - 1) == []


@pytest.mark.parametrize("kind", ["array", "object", "bare-object", "mixed"])
@pytest.mark.parametrize("inner", ["1", "[]", "{}", "[1, 2]"])
def test_nesting_beyond_the_limit_fails_at_the_bracket(kind, inner):
    depth = DEPTH_LIMIT + 1 if inner == "1" else DEPTH_LIMIT
    doc, _ = _nest(kind, depth, inner)
    # the offset of the opening bracket that is one level too deep
    opens = [i for i, c in enumerate(doc) if c in "[{"]
    position = opens[DEPTH_LIMIT]
    msg = value_error(doc)
    assert "nested too deeply" in msg
    assert msg.endswith(f" (approximate position: \u00b132 bytes from {position})"), msg


def test_nesting_limit_applies_inside_a_document():
    # a few levels used by the surrounding document, then a deep part
    prefix = '{"x": [1, {"y": '
    deep_ok = "[" * (DEPTH_LIMIT - 3) + "]" * (DEPTH_LIMIT - 3)
    doc = prefix + deep_ok + "}]}"
    v = loads(doc)
    assert _unnest(v["x"][1]["y"], DEPTH_LIMIT - 4) == []
    deep_bad = "[" * (DEPTH_LIMIT - 2) + "]" * (DEPTH_LIMIT - 2)
    msg = value_error(prefix + deep_bad + "}]}")
    assert "nested too deeply" in msg
    assert msg.endswith(f"from {len(prefix) + DEPTH_LIMIT - 3})")


def test_depth_is_released_when_containers_close():
    # many deep siblings one after another never add up
    part = "[" * (DEPTH_LIMIT - 1) + "]" * (DEPTH_LIMIT - 1)
    doc = "[" + ",".join([part] * 5) + "]"
    value = loads(doc)
    assert len(value) == 5
    # a failure does not leave depth behind for the next call
    with pytest.raises(ValueError):
        loads("[" * (DEPTH_LIMIT + 1) + "]" * (DEPTH_LIMIT + 1))
    doc, _ = _nest("array", DEPTH_LIMIT)
    assert _unnest(loads(doc), DEPTH_LIMIT) == 1


@pytest.mark.parametrize(
    "doc",
    [
        "[" * 1_000_000,
        "[" * 1_000_000 + "]" * 1_000_000,
        '{"a":' * 1_000_000,
        "{a:" * 1_000_000,
        "[{" * 500_000,
        '[{"a":' * 300_000,
    ],
    ids=["arrays-open", "arrays-closed", "objects-open", "bare-objects-open", "array-brace", "mixed-open"],
)
def test_huge_nesting_raises_value_error(doc):
    with pytest.raises(ValueError):
        loads(doc)
    with pytest.raises(ValueError):
        loads(doc.encode())


def test_deep_nesting_in_a_worker_thread():
    results = {}

    def work():
        try:
            doc, _ = _nest("mixed", DEPTH_LIMIT)
            results["ok"] = _unnest(loads(doc), DEPTH_LIMIT)
            try:
                loads("[" * 100_000)
            except ValueError as e:
                results["err"] = str(e)
        except BaseException as e:  # pragma: no cover - reported below
            results["exc"] = e

    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert "exc" not in results, results.get("exc")
    assert results["ok"] == 1
    assert "nested too deeply" in results["err"]
    assert results["err"].endswith(f"from {DEPTH_LIMIT})")
