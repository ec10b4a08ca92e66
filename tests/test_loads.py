"""loads: values, errors (grid tables, schema=), places, buffers, arguments, text widths, the index; against json."""

import array
import ctypes
import decimal
import gc
import json
import math
import sys
import threading
import time

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vesk
from conftest import DECODE_PLACES, NUMBER, SHARED, check_decode_error, check_same, pe
from test_partial import bad, check_reads, forms, outcome
from vesk.vesk_core import DecodeError, loads

# Numbers beyond what the differential generates: long digit runs, far exponents, exact halfway.
NUMBERS = ["-0", "-9223372036854775809", "-" + "9" * 300, "-0e0", "1.7976931348623159e308", "2.4703282292062328e-324",
           "1e400", "0." + "0" * 400 + "1", "1" * 400 + ".5", "7" * 4300, "0.4e00669999999999999999999999999999999"]
NAMED = [("Nan", math.nan), ("-nAN", -math.nan), ("InFiNiTy", math.inf), ("INF", math.inf), ("-inf", -math.inf)]


def number(text):
    return float(text) if set(text) & set(".eE") else int(text)


# Values, read as str and as bytes (those rows that are text); numbers bare and in a list.
VALUES = [row for t in NUMBERS for row in ((t, number(t)), (f"[{t}]", [number(t)]))] + NAMED + [
    ('["a\\"b\\\\\\/\\b\\f\\n\\r\\t/\\u00e9\\u00C9\\u0000\\u001f\\uffff\\uD83D\\ude00 \\uDBFF\\uDFFF"]',
     ['a"b\\/\b\f\n\r\t/\u00e9\u00c9\x00\x1f\uffff\U0001f600 \U0010ffff']),
    # raw control bytes kept without a backslash; the decoding buffer grows; a repeated key: last value, first place
    ('{"raw\ttab\x01\x7f\n": "raw\ttab\x01\x1f\x7f\n"}', {"raw\ttab\x01\x7f\n": "raw\ttab\x01\x1f\x7f\n"}),
    ('["' + '\\u00e9\\\\\\"\\n' * 900 + '"]', ['\u00e9\\"\n' * 900]),
    ('/* a */ [ /* " */ 1 /* , ] */ , "x" /**/ ,/***/ ] /* b */', [1, "x"]),
    ("{a_1: 1, $b-c: 2, 2b: 3, 123: 4, null: 5, a--: 6, $: 7, 1e5: 8}",
     {"a_1": 1, "$b-c": 2, "2b": 3, "123": 4, "null": 5, "a--": 6, "$": 7, "1e5": 8}),
    ('{"a": 1, "b": 2, "a": 3, b: 4, "\\u0061": 5}', {"a": 5, "b": 4}),
    (b"// a\r\n[1, // b\n2] // end", [1, 2]), ("/*/ c */ [/**/7/***/]", [7]), (b"[1] /* open", [1]), (b"[1]//", [1]),
    (b"[1]/*/", [1]), (b"// a\r7", 7), (b"\xef\xbb\xbf{}", {}), (b'\xef\xbb\xbf ["\xef\xbb\xbf"]', ["\ufeff"]),
]


def esc(ch, pos):
    return pe(f"Invalid escape sequence '\\{ch}' at position {pos}", pos)


def uni(pos):
    return pe(f"Invalid Unicode escape at position {pos}", pos)


EOF, TAIL, CTL = "Unexpected end of input", "Trailing content after document", "Unescaped control character"
U8S, U8K, NUM, FLT, BIG = ("Invalid UTF-8 in string", "Invalid UTF-8 in key", "Invalid number", "Invalid float",
                           "Failed to create large integer")
LEAD, DOT = NUM + ": leading zeros not allowed", NUM + ": decimal point must be followed by digits"
ERRORS = [
    # nothing but filler, or something after the value
    (b"", pe(EOF, 0)), (b" \t\r\n", pe(EOF, 4)), (b"/* open", pe(EOF, 7)), (b"// c", pe(EOF, 4)),
    (b"\xef\xbb\xbf ", pe(EOF, 4)), (b"1 2", pe(TAIL, 2)), (b"nullx", pe(TAIL, 4)), (b"12x", pe(TAIL, 2)),
    (b"[1]]", pe(TAIL, 3)), (b"[1] /", pe(TAIL, 4)), (b"[1]/x", pe(TAIL, 3)), (b"1\xef\xbb\xbf", pe(TAIL, 1)),
    (b"[1 /* open ]", pe(EOF, 12)), (b"[1,", pe(EOF, 3)), (b'{"a": 1', pe(EOF, 7)), (b"[: a; 1; ", pe(EOF, 9)),
    # structure; only filler may stand between a key and its colon; a key after one of the same bytes, escaped
    (b"[1 2]", bad("2", 3)), (b"[1}", bad("}", 2)), (b"[,]", bad(",", 1)), (b"[1,,2]", bad(",", 3)),
    (b"{,}", bad(",", 1)), (b'{"a":1 "b":2}', bad('"', 7)), (b"]", bad("]", 0)), (b'{"a":}', bad("}", 5)),
    (b"nul", bad("n", 0)), (b"inf", bad("i", 0)), (b"+1", bad("+", 0)), (b"[1 / 2]", bad("/", 3)),
    (b"# c\n1", bad("#", 0)), (b"'a'", bad("'", 0)), (b"{-a: 1}", bad("-", 1)), (b"{a.b: 1}", bad(".", 2)),
    (b"{a b: 1}", bad("b", 3)), (b'{"a" 1}', bad("1", 5)), (b'{"a" /* c */ x : 1}', bad("x", 13)),
    (b'{"a": 1, b 2: 3}', bad("2", 11)), (b'[{"q\\"": 1}, {"q"": 1}]' + b" " * 40, bad('"', 17)),
    # a stray byte is shown as the character of its value; positions count bytes
    (b"\xe9", bad("\u00e9", 0)), (b"\x80", bad("\x80", 0)), (b"[\x00]", bad("\x00", 1)), (b"\x0c1", bad("\x0c", 0)),
    ('["\u00e9\u00e9", x]'.encode(), bad("x", 9)), ("{\u00e9: 1}".encode(), bad("\u00c3", 1)),
    (b" \xef\xbb\xbf1", bad("\u00ef", 1)), (b" " * 3_000_000 + b"]", bad("]", 3_000_000)),
    # escapes, and what follows them
    (b'"\\x"', esc("x", 2)), (b'"\\\xc3\xa9"', esc("\u00c3", 2)), (b'["ok\\n", "ab\\q"]', esc("q", 13)),
    (b'{"k\\x": 1}', esc("x", 4)), (b'"\\uD83D"', uni(1)), (b'"\\uDE00"', uni(1)), (b'"\\uD83D\\u0041"', uni(1)),
    (b'"abc\\uDC00"', uni(4)), (b'"\\u12G4"', uni(5)), (b'"\\u123"', uni(6)), (b'"\\uD83D\\uDE0G"', uni(12)),
    (b'{"\\uDFAA": 0}', uni(2)), (b'"abc', pe(EOF, 0)), (b'{"abc', pe(EOF, 1)), (b'"\\"abc', pe(EOF, 6)),
    (b'"\\u12', pe(EOF, 0)), (b'"a\\n\tb"', pe(CTL + " at position 4", 4)),
    (b'"\\n' + b"x" * 40 + b'\x01"', pe(CTL + " at position 43", 43)),
    (b'{"k": "\\t\r"}', pe(CTL + " at position 9", 9)),
    # invalid UTF-8 (at every offset: test_invalid_utf8_at_every_offset)
    (b'["ok", "a\xe9b"]', pe(U8S, 7)), (b'"\xc0\xaf"', pe(U8S, 0)), (b'"' + b"x" * 40 + b'\x80"', pe(U8S, 0)),
    (b'{"a": 1, "b\xc3": 2}', pe(U8K, 10)),
    # numbers: bare messages without a position (every route reads numbers through one reader)
    (b"-", NUM), (b"[--1]", NUM), (b"Infinit", NUM), (b"NaNa", NUM), (b"-Infinityy", NUM), (b"NULL", NUM),
    (b"01", LEAD), (b"[007]", LEAD), (b"1.e5", DOT), (b"[1.]", DOT), (b"1e+", FLT), (b"[1e]", FLT), (b"7" * 4301, BIG),
    (b"[-" + b"7" * 4301 + b"]", BIG),
]


def surplus(row, cells, names, position):
    return pe(f"Row {row} has {cells} cells but the header names {names}", position)


def wide(n):  # n columns, across the 32- and 64-byte block sizes
    names = [f"c{i}" for i in range(n)]
    return "[: " + ", ".join(names) + "; " + ", ".join(map(str, range(n))) + " ]", [dict(zip(names, range(n)))]


def params(groups):
    return [pytest.param(*case, id=f"{rule}-{case[0]!r:.50}") for rule, cases in groups.items() for case in cases]


A1, A12, XY = [{"a": 1}], [{"a": 1}, {"a": 2}], {"x": 1, "y": 2}
AB = [{"id": 1, "name": "Alice"}, {"id": 2, "name": "Bob"}]
# Bare cells are text, unless the whole of one is a number or literal (more: test_dumps_tables' LEAN_BARE).
CELLS = [(t, t) for t in ["Alice Smith", "True", 'x"y', "x\ny", "tom", "fals", "Nancy", "1 2", "-Infinityx", "nan",
                          "1 /*c*/", "\u00bd", "2.1.3", "+1 555 0100"]] + [
    ("x  \n\t", "x"), ("x\\,y", "x,y"), ("a\\nb", "anb"), ("x\\|y\\\tz", "x|y\tz"), ("x\\\\y", "x\\y"), ("x\\ ", "x"),
    ("\\ ", ""), ("\\1", "1"), ("tru\\e", "true"), ("1\\,5", "1,5"),  # an escape makes a cell text
    ("x" * 100 + "\\," + "y" * 100 + "\\]" + "\u00e9" * 50, "x" * 100 + "," + "y" * 100 + "]" + "\u00e9" * 50),
    # numbers and literals, blanks after them trimmed
    ("1e3", 1000.0), ("NaN", math.nan), ("Inf", math.inf), ("-nan", -math.nan), ("1 \n", 1), ("true\r\n", True),
    ("123456789012345678901234567890", 123456789012345678901234567890), ('"true"', "true"), ('"a\\"b"', 'a"b')]
GRID_VALUES = {
    "recognition": [("[3: a; 1 ]", A1), ("[2 : a; 1; 2 ]", A12), ("[ /*c*/ : a; 1 ]", A1), ("[:a;1;2]", A12),
                    ("[2]", [2]), ("[ 7 ]", [7]), ('["a:b", 1]', ["a:b", 1]), ("[[2], {}]", [[2], {}])],
    # the last value of a repeated name wins, the first place stays; a `;` on a later line ends it inline
    "header": [("[: a b c, d b  \t; 1, 2 ]", [{"a b c": 1, "d b": 2}]), ("[: , a; 1, 2 ]", [{"": 1, "a": 2}]),
               ("[: a, b, a; 1, 2, 3 ]", [{"a": 3, "b": 2}]), ("[: a, b, ; 1, 2 ]", [{"a": 1, "b": 2}]),
               ('[: "a\\tb\\u00e9" ; 1 ]', [{"a\tb\u00e9": 1}]), ("[: /*c*/ a, // x\n b; 1, 2 ]", [{"a": 1, "b": 2}]),
               ('[: "a"\n; 1 ]', A1), ("[: a // x\n ; 1 ]", [{"a // x": 1}]), ("[: ; ]", []),
               ('[: "' + "a" * 16 + '\\n"; 1 ]', [{"a" * 16 + "\n": 1}]),
               ('[: "' + "\u00e9" * 40 + '\\u00e9;"; 1 ]', [{"\u00e9" * 41 + ";": 1}]), wide(33), wide(100)],
    "cell": [(f"[: a; {cell} ]", [{"a": value}]) for cell, value in CELLS]
    + [(f"[: a; {cell} ]" + " " * 40, [{"a": value}]) for cell, value in CELLS],  # a long stretch after the cell
    "delimiter": [("[: a, b; 1 | 2 ]", [{"a": 1, "b": 2}]), ("[: a\tb; 1  ,  2 ]", [{"a": 1, "b": 2}]),
                  ("[: a|b; x y|z w ]", [{"a": "x y", "b": "z w"}]),
                  ('[: "e, w"; "Smith, J."; j@x.io ]', [{"e, w": "Smith, J."}, {"e, w": "j@x.io"}])],
    # a newline after a bare cell is trimmed; a trailing delimiter adds no cell
    "rows": [("[: a, b, c; 1; , 3 ]", [{"a": 1, "b": None, "c": None}, {"a": None, "b": 3, "c": None}]),
             ("[2]{a}:\n 1,\n 2,", A12), ("[2:\n a\n 1,\n 2 ,\n]", A12), ("[: a; x\n;\n 2 ; ]", [{"a": "x"}, {"a": 2}]),
             ("[: a, b; x ,   ; ; 2 ]", [{"a": "x", "b": None}, {"a": None, "b": None}, {"a": 2, "b": None}]),
             ("[2: id, name;\n1\n, Alice\n;2, Bob\n;\n]", AB), ("[: a; 1, /* c */ ; 2 ]", A12),
             ("[: a, b; 1, 2, ; 3, 4, ]", [{"a": 1, "b": 2}, {"a": 3, "b": 4}])],
    "lines": [("[:\nid | name\n1 | Alice\n\n2|Bob ]", AB),  # a row a line, up to the `]`
              ('[2:\r\n  id\tn\r\n  1\tNancy\r\n  \t"x"\r\n]', [{"id": 1, "n": "Nancy"}, {"id": None, "n": "x"}]),
              ("[1: id\n  Alice // not a comment\n]", [{"id": "Alice // not a comment"}])],
    "counted": [("[2]{id, name}:\n1,Alice\n\n2, Bob\n", AB), ("[0]{a}:", []),  # the count ends the table
                ('{"users": [2]{id,name}:\n  1, Alice\n  2, Bob, "count": 2}', {"users": AB, "count": 2}),
                ('{"users": [3]{id,name}:\n  1, Alice\n  2, Bob\n}', {"users": AB}),  # closed early, as inline
                ("[[2]{a,b}:\n 1, x\n 2, , 3]", [[{"a": 1, "b": "x"}, {"a": 2, "b": None}], 3])],
    "empty": [(text, []) for text in ["[:]", "[7: ]", "[: a; ]", "[: a, b; /* c */ ]"]] + [("[[: a; ], 5]", [[], 5])],
    # quoted names and cells, escaped bytes, comments and nested containers neither end the table nor separate rows
    "opaque": [('[: a; "x]"; "y" ]', [{"a": "x]"}, {"a": "y"}]), ("[: a; x\\]y; z\\;w ]", [{"a": "x]y"}, {"a": "z;w"}]),
               ('[: "a;b", c; 1, 2 ]', [{"a;b": 1, "c": 2}]), ("[: a; /* ; ] */ 1; // ; ]\n 2 ]", A12),
               ('[: a; x"; "]" ]', [{"a": 'x"'}, {"a": "]"}]), ('[2:\n a\n "]"\n x\\]\n]', [{"a": "]"}, {"a": "x]"}]),
               ('[: a; "\\"]"; x\\\\; 2 ]', [{"a": '"]'}, {"a": "x\\"}, {"a": 2}]),
               ('[: a; {"k": [";", /* } */ "]"]}; [: b; "]]"; x\\] ]; 2 ]',
                [{"a": {"k": [";", "]"]}}, {"a": [{"b": "]]"}, {"b": "x]"}]}, {"a": 2}]),
               ("[: a; x[y; x}y; x /* ; */ 2 ]", [{"a": "x[y"}, {"a": "x}y"}, {"a": "x /*"}, {"a": "*/ 2"}])],
}
U8H = "Invalid UTF-8 in header"
GRID_ERRORS = {
    "recognition": [("[2\t: a]", bad(":", 3)), ("[-1: a; 1 ]", bad(":", 3)), ("[1 2: a ]", bad("2", 3)),
                    ("[2] {a}:\n 1\n 2", pe(TAIL, 4)), ("[5 :", pe(EOF, 4))],
    "header": [("[: a ]", bad("]", 5)), ('[: "a"x; 1 ]', bad("x", 6)), ("[: a\\]b; 1 ]", bad("]", 5)),
               ("[: ; 1 ]", pe(TAIL, 5)), ("[:; \x0c]", pe(TAIL, 4)), ("[[:;\x0c]]", bad("\x0c", 4)),
               (b"[: x, b\xffc; 1, 2 ]", pe(U8H, 6)), (b'[: "a\xff"; 1 ]', pe(U8H, 4)),
               (b'[: "a\xff\\n"; 1 ]', "Invalid UTF-8 in string"), (b"[: " + b"x" * 100 + b"\xff; 1 ]", pe(U8H, 3)),
               ("[2]{a\n}:", bad("\n", 5)), ("[2]{a} 1", pe("Expected ':' at position 7", 7)), ("[2]{a", pe(EOF, 5))],
    "cell": [('[: a; "x" y ]', bad("y", 10)), ("[: a; x\\", pe(EOF, 8)),
             (b"[: a, b; 1,   x\xff ]", pe("Invalid UTF-8 in cell", 14)),
             (b"[: a; 1; " + b"x" * 100 + b"\\,\xff ]", pe("Invalid UTF-8 in cell", 9)),
             ('[: a; "x"\n; 2 ]', bad("\n", 9))],
    # a cell beyond the header's names, counted once its row ends; a trailing delimiter adds none
    "surplus": [("[: a; 1, 2 ]", surplus(1, 2, 1, 9)), ("[[: a; 1, 2 ], 3]", surplus(1, 2, 1, 10)),
                ('{"t": [: a, b; 1, 2, 3 ]}', surplus(1, 3, 2, 21)), ("[: a; 1 ]]", pe(TAIL, 9)),
                ("[: a; 1; 2, x y, [3, 4], ; 5 ]", surplus(2, 3, 1, 12)),
                ("[: a, b; 1, 2, , ; 3 ]", surplus(1, 3, 2, 15)),
                ("[2:\n a\n 1\n 2, 3, 4\n]", surplus(2, 3, 1, 14)), ("[2]{a}:\n 1, 2\n 3", surplus(1, 2, 1, 12)),
                ("[2]{a}:\n 1\n 2, 3", surplus(2, 2, 1, 15)),  # a top-level table's last row too
                # a line break after a string in a cell's object leaves the inline layout
                ('[: a; {"k": "x"\n}; 1, 2 ]', surplus(2, 2, 1, 22))],
    "lines": [("[2:\n a\n 1;\n]", bad(";", 9)), ("[2:\n a\n 1 }\n]", bad("}", 10)), ("[2:\n a\n 1\n 2\n", pe(EOF, 13)),
              ("[2]{a}: 1\n 2", bad("1", 8)), ("[2]{a}:\n 1", pe(EOF, 10)), ('{"t": [3]{a}:\n 1\n 2', pe(EOF, 19))],
    "nesting": [("[: a; [1; 2] ]", bad(";", 8)), ('[: a; [: b; "]]]"; "[[" ; "}" ]', pe(EOF, 31))],
    # a table inside a row that stops after its counted rows leaves its `]` to the outer table, then unclosed
    "inner table stops short": [("[: a; [2: ; // c\n ; ]", pe(EOF, 21)), ("[: a, b; [: ;;; ]", pe(EOF, 17)),
                                ('{"t": [: a, b; [: ;|; ]}', pe(EOF, 24)),
                                ('[: a; [2: ; ;-2.5tom[2: "NaN, }\n[2: ] ]', pe(TAIL, 13)),
                                ("[: a; [: ; 1 ], 2 ]", bad("1", 11))],
    # an unclosed or too deep table is reported before any error in its rows
    "precedence": [("[: a; 1, 2", pe(EOF, 10)), ('[: a; x; "y', pe(EOF, 11)), ("[: a\n b; 1", pe(EOF, 10)),
                   ("[:\n a\n [x\n", pe(EOF, 10)),
                   ("[: a; [x; " + "[" * 1100 + "]" * 1100 + " ]",
                    pe("Document nested too deeply (max 1024 levels)", 1032))],
}


@pytest.mark.parametrize("data, expected", [pytest.param(*case, id=repr(case[0])[:40]) for case in VALUES + ERRORS]
                         + params(GRID_VALUES) + params(GRID_ERRORS))
def test_reading(data, expected):  # as str and as UTF-8 bytes
    for form in forms(data):
        check_reads(form, expected)


# schema=[names]: an object's members are read in order as the names, their written keys skipped.
SCHEMA = {
    # runs of backslashes before a quote: odd ones escape it, even ones do not
    "keys": [(t, XY) for t in ['{"a:b": 1, "c,d": 2}', '{"}": 1, "{": 2}', '{a: 1, "a": 2}',
                               '{"a" /* : */ : 1, "\\"b:" :2}']] + [("{1: 5}", {"x": 5}), ("{ }", {})]
    + [("{" + json.dumps(k) + ': 1, "k": 2}', XY)
       for k in ["a\\", 'a"b', '\\"', "\\\\", 'x\\\\"y', '\u00e9"\\' + "s" * 40]],
    # objects in lists and table cells are records, their members' values not; a trailing comma ends one
    "where": [('[{"a": 1, "b": 2}, [[{"p": 1}]]]', [XY, [[{"x": 1}]]]),
              ('[: c, d; {"a": 1}, [: e; {"k": 1, "j": 2} ] ]', [{"c": {"x": 1}, "d": [{"e": XY}]}]),
              ('[{"a": {"k": 1}}, {"p": 2}]', [{"x": {"k": 1}}, {"x": 2}]),
              ('[{"a": 1,}, {"b": 2}]', [{"x": 1}, {"x": 2}])],
    "errors": [('{"a" 1, "b": 2}', pe("Expected ':' at position 5", 5)), ('{"a"}', pe("Expected ':' at position 4", 4)),
               ('[{"a": 1, b x: 2}]', pe("Expected ':' at position 12", 12)), ('{"a": 1,', pe(EOF, 8)),
               ('{"a": 1, "b": 2, "c": 3}', pe("Expected '}' at position 17", 17)), ('{"a": 1 "b": 2}', bad('"', 8))],
}


@pytest.mark.parametrize("text, expected", params(SCHEMA))
def test_schema(text, expected):
    for form, schema in ((text, ["x", "y"]), (text.encode(), iter(["x", "y"]))):
        check_reads(form, expected, schema=schema)


@pytest.mark.parametrize("data, lineno, colno, row, column", DECODE_PLACES)
@pytest.mark.parametrize("partial", [False, True, "trailing-strings"])
def test_error_places(data, lineno, colno, row, column, partial):
    with pytest.raises(vesk.DecodeError) as info:
        loads(data, check_counts=True, partial=partial)
    e = info.value
    check_decode_error(e, str(e), data)
    assert (e.lineno, e.colno, e.row, e.column) == (lineno, colno, row, column)
    line = data.decode(errors="replace").split("\n")[lineno - 1]
    assert e.doc == line if len(line) < 100 else e.doc in line and len(e.doc) < 202  # the text near it


@pytest.mark.parametrize("make", [  # every contiguous buffer of bytes reads in place as the same bytes would
    bytearray, memoryview, lambda raw: memoryview(b"[[" + raw + b"]]")[2:-2], lambda raw: array.array("b", raw),
    lambda raw: memoryview(bytearray(raw)).cast("c"), lambda raw: memoryview(raw).cast("B", (1, len(raw)))])
@pytest.mark.parametrize("raw", ['{"a": [1, "\u00e9"]}'.encode(), b"[2: id, name; 1, Ann; 2 ]", b"[1: a; 1, 2 ]"])
def test_byte_buffers(make, raw):
    data, expected = make(raw), [*outcome(raw)]
    check_same([*outcome(data)], expected)
    if isinstance(data, bytearray):  # what was read stays read: nothing kept points into the buffer
        data[:] = b" " * len(raw)
        check_same([*outcome(raw)], expected)


NOT = "data must be str, bytes or a contiguous buffer of bytes such as bytearray, memoryview or mmap, not "
SURROGATE = NOT + "a str that does not encode to UTF-8 (a lone surrogate)"


@pytest.mark.parametrize("args, exc, message", [  # a schema iterator's own error comes through as it is
    ((None,), TypeError, NOT + "'NoneType'"), (([1],), TypeError, NOT + "'list'"), (("\ud800",), TypeError, SURROGATE),
    (('["\\u0041\udc00"]',), TypeError, SURROGATE), (("[{}]", 5), TypeError, "'int' object is not iterable"),
    ((memoryview(b"[1, 2]")[::2],), TypeError, NOT + "a non-contiguous buffer"),
    ((memoryview(b"1234").cast("i"),), TypeError, NOT + "a buffer of items of format 'i'"),
    ((array.array("h", [1]),), TypeError, NOT + "a buffer of items of format 'h'"),
    (("[{}]", (k if k == "a" else {}[k] for k in "ab")), KeyError, "b"),
    (("[{}]", ["a", 2.5]), TypeError, "'float' object cannot be converted to 'PyString'")])
def test_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        loads(*args)
    assert type(info.value) is exc and info.value.args == (message,) and info.value.__context__ is None


def test_other_threads_run_meanwhile_only_on_immutable_text():
    # Other threads run while the table skim reads bytes, never a buffer they could change, and find the collector on.
    doc, ran, seen, stop = b"[: a; " + b"1; " * 300_000 + b"1, 2 ]", [0], set(), threading.Event()
    interval = sys.getswitchinterval()

    def other():
        while not stop.is_set():
            ran[0] += 1
            seen.add(gc.isenabled())
            time.sleep(0)

    def runs_meanwhile(data):
        before = ran[0]
        assert outcome(data)[0] == "error"
        return ran[0] != before

    sys.setswitchinterval(60)  # the other thread runs only where the reader lets it
    thread = threading.Thread(target=other)
    thread.start()
    try:
        assert any(runs_meanwhile(doc) for _ in range(200))
        assert not any(runs_meanwhile(bytearray(doc)) for _ in range(20))
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert seen == {True}


# The NUL-terminated UTF-8 that C code reads from a str (an ASCII str hands out its own characters).
as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
as_utf8.argtypes, as_utf8.restype = [ctypes.py_object], ctypes.c_char_p


LOOKALIKES = '\\"/*\u00a2\u00ac\u00ba\u00bb\u06c0\u0740\u00a0\u07bb\u0fdb\u3000\U0001f5dd'  # bytes near , : [ ] { } "


WIDEST = ["a", "\x7f", "\xe9", "\xff", "\u0100", "\u65e5", "\uffff", "\U0001f600", "\U0010ffff", LOOKALIKES]


@pytest.mark.parametrize("widest", WIDEST, ids=ascii)
@pytest.mark.parametrize("length", [0, 14, 31, 32, 33, 64, 70])
def test_strings_of_each_width(widest, length):
    body = ("xyz0123456789" * 6)[:length]
    texts = [body[:at] + widest + body[at:] for at in sorted({0, length // 2, length})]
    for t in texts + [t + "\n" for t in texts]:  # and through the escape reader
        doc = json.dumps({t: [t, t + "\xe9"]}, ensure_ascii=False)
        got, want = loads(doc.encode()), json.loads(doc)
        assert got == want
        for s, w in zip([*got, *got[t]], [*want, *want[t]]):  # the same width and length as the interpreter's
            assert (sys.getsizeof(s), hash(s), s.isascii()) == (sys.getsizeof(w), hash(w), w.isascii())
            assert as_utf8(s) == w.encode()
    assert widest == LOOKALIKES or loads(f"[: a; {texts[-1]}x ]".encode()) == [{"a": texts[-1] + "x"}]


# stray continuation, overlong, surrogate, past U+10FFFF, cut short, never a lead (more: the native UTF-8 tests)
@pytest.mark.parametrize("bad", [b"\x80", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf0\x9f\x98",
                                 b"\xff"], ids=bytes.hex)
def test_invalid_utf8_at_every_offset(bad):
    base = ("ab\xe9cd\u65e5efgh\U0001f600" + "x" * 40 + "\u0100yz").encode()
    for at in range(len(base) + 1):
        content = base[:at] + bad + base[at:]
        for doc, message in [(b'[1, "' + content + b'"]', pe("Invalid UTF-8 in string", 4)),
                             (b'["' + content + b'\\n"]', "Invalid UTF-8 in string"),
                             (b'{"' + content + b'": 1}', pe("Invalid UTF-8 in key", 2))]:
            with pytest.raises(ValueError) as info:
                loads(doc)
            assert str(info.value) == message


def test_nested_loads_while_the_index_is_in_use():
    # a loads run by the collector mid-parse, both reading quoted keys through the index under schema=
    outer = "[" + ", ".join(f'{{"k{i}\\"": ["s{i}", {{"q": "\\"{i}"}}], "x": {i}}}' for i in range(3000)) + "]"
    inner = []

    def callback(phase, info):
        if phase == "start":
            inner.append(loads(b'[{"in\\"ner": ["x", "y\\"z", [1, 2]], "b": 2}]', schema=["p", "q"]))

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(50)
    try:
        value = loads(outer.encode(), schema=["key", "value"])
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(*old)
    assert inner and all(r == [{"p": ["x", 'y"z', [1, 2]], "q": 2}] for r in inner)
    assert value == [{"key": [f"s{i}", {"q": f'"{i}'}], "value": i} for i in range(3000)]


SETTINGS = settings(max_examples=150, deadline=None)

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


# JSON numbers and number-shaped text (two properties' worth of examples)
@settings(max_examples=300, deadline=None)
@given(st.from_regex(r"-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,30})?([eE][+-]?[0-9]{1,4})?", fullmatch=True)
       | st.text(alphabet="0123456789+-.eE", min_size=1, max_size=12))
def test_number_shaped_text_reads_as_the_interpreter_reads_json_numbers(text):
    if not NUMBER.fullmatch(text):  # the JSON grammar
        with pytest.raises(DecodeError):
            loads(text)
    else:
        check_same(loads(text), number(text))
        check_same(loads(f"[{text},{text}]"), [number(text)] * 2)
        # numbers with a long stretch of text after them take a route of their own, in tables too
        check_same(loads(f"[{text}, {text}]" + " " * 40), [number(text)] * 2)
        check_same(loads(f"[: n; {text}; {text} ]" + " " * 40), [{"n": number(text)}] * 2)


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
# n_ files that read: trailing commas, NaN and Infinity, bare and repeated keys, comments, raw control bytes
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
    if name.startswith("y_") or name in ACCEPTED_N:
        assert kind == "ok", value
        check_same(value, ACCEPTED_N[name] if name in ACCEPTED_N else json.loads(data))
    elif name.startswith("n_"):
        assert kind == "error", f"accepted as {value!r:.100}"
    elif kind == "ok":  # an i_ file: either outcome, but a value must be right
        check_same(value, json.loads(data.decode("utf-8-sig")))

