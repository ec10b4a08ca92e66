"""Ivy Grid tables (`[: names; row; row ]`): the values and exact errors loads gives."""

import math

import pytest

from conftest import check_same
from vesk.vesk_core import loads


def pe(message, position):
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def bad(ch, position):
    return pe(f"Invalid character '{ch}' at position {position}", position)


def one(cell):
    return f"[: a; {cell} ]"


def wide(n):  # n columns, across the 32- and 64-byte block sizes
    names = [f"c{i}" for i in range(n)]
    return "[: " + ", ".join(names) + "; " + ", ".join(map(str, range(n))) + " ]", [dict(zip(names, range(n)))]


def params(groups):
    return [pytest.param(*case, id=f"{rule}-{case[0]!r:.50}") for rule, cases in groups.items() for case in cases]


A1, A12 = [{"a": 1}], [{"a": 1}, {"a": 2}]
CELLS = [  # bare strings: a first byte that starts no typed value
    ("Alice Smith", "Alice Smith"), ("True", "True"), ("False", "False"), ("+1", "+1"), ('x"y', 'x"y'),
    ("x  \n\t", "x"), ("x\ny", "x\ny"), ("x\\,y", "x,y"), ("a\\nb", "anb"), ("x\\|y\\\tz", "x|y\tz"),
    ("x\\\\y", "x\\y"), ("x\\ ", "x"), ("\\ ", ""), ("\u00e9" * 100, "\u00e9" * 100),
    ("x" * 100 + "\\," + "y" * 100 + "\\]" + "\u00e9" * 50, "x" * 100 + "," + "y" * 100 + "]" + "\u00e9" * 50),
    # typed values
    ("true", True), ("false", False), ("null", None), ("-2", -2), ("1e3", 1000.0), ("-0.0", -0.0),
    ("123456789012345678901234567890", 123456789012345678901234567890), ("NaN", math.nan),
    ("-Infinity", -math.inf), ('""', ""), ('"a\\"b\\u00e9\\\\"', 'a"b\u00e9\\'), ('"\\ud83d\\ude00"', "\U0001f600"),
]
VALUES = {
    "recognition": [
        ("[: a; 1 ]", A1), ("[3: a; 1 ]", A1), ("[2 : a; 1; 2 ]", A12), ("[ /*c*/ : a; 1 ]", A1),
        ("[:a;1;2]", A12), ("[2]", [2]), ("[ 7 ]", [7]), ('["a:b", 1]', ["a:b", 1]),
    ],
    "header": [
        ('[: "first name", id; Bob, 1 ]', [{"first name": "Bob", "id": 1}]),
        ("[: a b c, d b  \t; 1, 2 ]", [{"a b c": 1, "d b": 2}]),
        ("[: , a; 1, 2 ]", [{"": 1, "a": 2}]),
        ("[: a, b, a; 1, 2, 3 ]", [{"a": 3, "b": 2}]),  # the last value wins, the first place stays
        ("[: a, b, ; 1, 2 ]", [{"a": 1, "b": 2}]),
        ('[: "a\\tb\\u00e9" ; 1 ]', [{"a\tb\u00e9": 1}]),
        ("[: /*c*/ a, // x\n b; 1, 2 ]", [{"a": 1, "b": 2}]),
        ("[: ; ]", []),
        ('[: "' + "a" * 16 + '\\n"; 1 ]', [{"a" * 16 + "\n": 1}]),
        ('[: "' + "\u00e9" * 40 + '\\u00e9;"; 1 ]', [{"\u00e9" * 41 + ";": 1}]),
        wide(32), wide(33), wide(100),
    ],
    "cell": [(one(cell), [{"a": value}]) for cell, value in CELLS],
    "delimiter": [
        (text, [{"a": 1, "b": 2}]) for text in ["[: a\tb; 1\t2 ]", "[: a | b; 1|2 ]", "[: a, b; 1 | 2 ]", "[: a\tb; 1  ,  2 ]"]
    ] + [("[: a|b; x y|z w ]", [{"a": "x y", "b": "z w"}])],
    "rows": [
        ("[3: id, name; 1, Alice; 2, Bob ]", [{"id": 1, "name": "Alice"}, {"id": 2, "name": "Bob"}]),
        ("[: a, b, c; 1; , 3 ]", [{"a": 1, "b": None, "c": None}, {"a": None, "b": 3, "c": None}]),
        ("[: a, b; x ,   ; ; 2 ]", [{"a": "x", "b": None}, {"a": None, "b": None}, {"a": 2, "b": None}]),
        ("[: a; x\n;\n 2 ; ]", [{"a": "x"}, {"a": 2}]),  # a newline after a bare cell is trimmed
    ],
    "empty": [(text, []) for text in ["[:]", "[7: ]", "[: a; ]", "[: a, b; /* c */ ]"]] + [("[[: a; ], 5]", [[], 5])],
    "nesting": [
        ("[: id, t; 1, [1, 2]; 2, [: k; v ] ]", [{"id": 1, "t": [1, 2]}, {"id": 2, "t": [{"k": "v"}]}]),
        ("[: a, b; 1, [: c; 2; 3 ] ; 4, 5 ]", [{"a": 1, "b": [{"c": 2}, {"c": 3}]}, {"a": 4, "b": 5}]),
        ('{"t": [: a; 1 ], "u": [: b; [: c; x; y ] ]}', {"t": A1, "u": [{"b": [{"c": "x"}, {"c": "y"}]}]}),
    ],
    # quoted names and cells, escaped bytes, comments and nested containers
    # neither end the table nor separate rows
    "opaque": [
        ('[: a; "x]"; "y" ]', [{"a": "x]"}, {"a": "y"}]),
        ("[: a; x\\]y; z\\;w ]", [{"a": "x]y"}, {"a": "z;w"}]),
        ('[: "a;b", c; 1, 2 ]', [{"a;b": 1, "c": 2}]),
        ("[: a; /* ; ] */ 1; // ; ]\n 2 ]", A12),
        ('[: a; x"y; 2 ]', [{"a": 'x"y'}, {"a": 2}]),
        ('[: a; x"; "]" ]', [{"a": 'x"'}, {"a": "]"}]),
        ('[: a; "\\"]"; x\\\\; 2 ]', [{"a": '"]'}, {"a": "x\\"}, {"a": 2}]),
        ('[: a; {"k": [";", /* } */ "]"]}; [: b; "]]"; x\\] ]; 2 ]',
         [{"a": {"k": [";", "]"]}}, {"a": [{"b": "]]"}, {"b": "x]"}]}, {"a": 2}]),
        ("[: a; x[y; x}y; x /* ; */ 2 ]", [{"a": "x[y"}, {"a": "x}y"}, {"a": "x /*"}, {"a": "*/ 2"}]),
    ],
}
ERRORS = {
    "recognition": [("[2\t: a]", bad(":", 3)), ("[-1: a; 1 ]", bad(":", 3)), ("[1 2: a ]", bad("2", 3)),
                    ("[2]{a,b}:\n  1,2\n", pe("Trailing content after document", 3)), ("[5 :", pe("Unexpected end of input", 4))],
    "header": [
        ("[: a ]", bad("]", 5)), ('[: "a"x; 1 ]', bad("x", 6)), ('[: "a"\n; 1 ]', bad("\n", 6)), ("[: a\\]b; 1 ]", bad("]", 5)),
        ("[: ; 1 ]", pe("Trailing content after document", 5)), ("[:; \x0c]", pe("Trailing content after document", 4)),
        ("[[:;\x0c]]", bad("\x0c", 4)), (b"[: x, b\xffc; 1, 2 ]", pe("Invalid UTF-8 in header", 6)),
        (b'[: "a\xff"; 1 ]', pe("Invalid UTF-8 in header", 4)), (b'[: "a\xff\\n"; 1 ]', "Invalid UTF-8 in string"),
        (b"[: " + b"x" * 100 + b"\xff; 1 ]", pe("Invalid UTF-8 in header", 3)),
    ],
    "cell": [
        (one("tom"), bad("t", 6)), (one("fals"), bad("f", 6)), (one("None"), "Invalid number"),
        (one("Nancy"), bad("c", 9)), ("[: a; 1\n; 2 ]", bad("\n", 7)), ('[: a; "x" y ]', bad("y", 10)),
        ("[: a; 1 /*c*/ ; 2 ]", bad("/", 8)), ("[: a; x\\", pe("Unexpected end of input", 8)),
        (b"[: a; 1; " + b"x" * 100 + b"\xff ]", pe("Invalid UTF-8 in cell", 9)),
        (b"[: a, b; 1,   x\xff ]", pe("Invalid UTF-8 in cell", 14)),
        (b"[: a; 1; " + b"x" * 100 + b"\\,\xff ]", "Invalid UTF-8 in string"),  # with a backslash: no position
    ],
    # surplus cells start the next row; the table stops after its rows
    "surplus": [("[: a; 1, 2 ]", pe("Trailing content after document", 9)), ("[[: a; 1, 2 ], 3]", bad("2", 10)),
                ('{"t": [: a, b; 1, 2, 3 ]}', bad("3", 21)), ("[: a; 1 ]]", pe("Trailing content after document", 9))],
    "nesting": [("[: a; [1; 2] ]", bad(";", 8)), ('[: a; [: b; "]]]"; "[[" ; "}" ]', pe("Unexpected end of input", 31))],
    # a table inside a row that stops after its counted rows leaves its `]`
    # to the outer table, which the whole-table count sees as unclosed
    "inner table stops short": [
        ("[: a; [2: ; // c\n ; ]", pe("Unexpected end of input", 21)), ("[: a, b; [: ;;; ]", pe("Unexpected end of input", 17)),
        ('{"t": [: a, b; [: ;|; ]}', pe("Unexpected end of input", 24)),
        ('[: a; [2: ; ;-2.5tom[2: "NaN, }\n[2: ] ]', pe("Trailing content after document", 13)),
        ("[: a; [: ; 1 ], 2 ]", bad("1", 11)), ("[: a; [: b; 1, 2 ]; 3 ]", bad("2", 15)),
    ],
    # an unclosed or too deep table is reported before any error in its rows
    "precedence": [
        ("[: a; tom", pe("Unexpected end of input", 9)), ('[: a; x; "y', pe("Unexpected end of input", 11)),
        ("[: a; tom; " + "[" * 1100 + "]" * 1100 + " ]", pe("Document nested too deeply (max 1024 levels)", 1034)),
        ("[: a\n b; 1", pe("Unexpected end of input", 10)),
    ],
}


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
@pytest.mark.parametrize("text, expected", params(VALUES))
def test_values(text, expected, as_bytes):
    check_same(loads(text.encode() if as_bytes else text), expected)


@pytest.mark.parametrize("data, message", params(ERRORS))
def test_errors(data, message):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert type(info.value) is ValueError and str(info.value) == message
