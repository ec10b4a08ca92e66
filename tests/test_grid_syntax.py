"""Grid tables in their three layouts, and objects read positionally under schema=: values and exact errors."""

import json
import math

import pytest

from conftest import check_same, pe
from test_partial import bad, check_reads
from vesk.vesk_core import loads


def surplus(row, cells, names, position):
    return pe(f"Row {row} has {cells} cells but the header names {names}", position)


def wide(n):  # n columns, across the 32- and 64-byte block sizes
    names = [f"c{i}" for i in range(n)]
    return "[: " + ", ".join(names) + "; " + ", ".join(map(str, range(n))) + " ]", [dict(zip(names, range(n)))]


def params(groups):
    return [pytest.param(*case, id=f"{rule}-{case[0]!r:.50}") for rule, cases in groups.items() for case in cases]


EOF_, TAIL = "Unexpected end of input", "Trailing content after document"
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
VALUES = {
    "recognition": [("[: a; 1 ]", A1), ("[3: a; 1 ]", A1), ("[2 : a; 1; 2 ]", A12), ("[ /*c*/ : a; 1 ]", A1),
                    ("[:a;1;2]", A12), ("[2]", [2]), ("[ 7 ]", [7]), ('["a:b", 1]', ["a:b", 1]),
                    ("[[2], {}]", [[2], {}])],
    # the last value of a repeated name wins, the first place stays; a `;` on a later line ends it inline
    "header": [("[: a b c, d b  \t; 1, 2 ]", [{"a b c": 1, "d b": 2}]), ("[: , a; 1, 2 ]", [{"": 1, "a": 2}]),
               ("[: a, b, a; 1, 2, 3 ]", [{"a": 3, "b": 2}]), ("[: a, b, ; 1, 2 ]", [{"a": 1, "b": 2}]),
               ('[: "a\\tb\\u00e9" ; 1 ]', [{"a\tb\u00e9": 1}]), ("[: /*c*/ a, // x\n b; 1, 2 ]", [{"a": 1, "b": 2}]),
               ('[: "a"\n; 1 ]', A1), ("[: a // x\n ; 1 ]", [{"a // x": 1}]), ("[: ; ]", []),
               ('[: "' + "a" * 16 + '\\n"; 1 ]', [{"a" * 16 + "\n": 1}]),
               ('[: "' + "\u00e9" * 40 + '\\u00e9;"; 1 ]', [{"\u00e9" * 41 + ";": 1}]), wide(33), wide(100)],
    "cell": [(f"[: a; {cell} ]", [{"a": value}]) for cell, value in CELLS],
    "delimiter": [(t, [{"a": 1, "b": 2}]) for t in ["[: a\tb; 1\t2 ]", "[: a | b; 1|2 ]", "[: a, b; 1 | 2 ]",
                                                    "[: a\tb; 1  ,  2 ]"]]
    + [("[: a|b; x y|z w ]", [{"a": "x y", "b": "z w"}]),
       ('[: "e, w"; "Smith, J."; j@x.io ]', [{"e, w": "Smith, J."}, {"e, w": "j@x.io"}])],
    # a newline after a bare cell is trimmed; a trailing delimiter adds no cell
    "rows": [("[: a, b, c; 1; , 3 ]", [{"a": 1, "b": None, "c": None}, {"a": None, "b": 3, "c": None}]),
             ("[2]{a}:\n 1,\n 2,", A12), ("[2:\n a\n 1,\n 2 ,\n]", A12), ("[: a; x\n;\n 2 ; ]", [{"a": "x"}, {"a": 2}]),
             ("[: a, b; x ,   ; ; 2 ]", [{"a": "x", "b": None}, {"a": None, "b": None}, {"a": 2, "b": None}]),
             ("[2: id, name;\n1\n, Alice\n;2, Bob\n;\n]", AB), ("[: a; 1, /* c */ ; 2 ]", A12),
             ("[: a, b; 1, 2, ; 3, 4, ]", [{"a": 1, "b": 2}, {"a": 3, "b": 4}])],
    "lines": [("[:\nid | name\n1 | Alice\n\n2|Bob ]", AB),  # a row a line, up to the `]`
              ('[2:\r\n  id\tname\r\n  1\tNancy\r\n  \t"x"\r\n]',
               [{"id": 1, "name": "Nancy"}, {"id": None, "name": "x"}]),
              ("[1: id\n  Alice // not a comment\n]", [{"id": "Alice // not a comment"}]),
              ('[2:\n  id, tags\n  1, [\n    "a", "b"\n  ]\n  2, {"k": null}\n]',
               [{"id": 1, "tags": ["a", "b"]}, {"id": 2, "tags": {"k": None}}])],
    "counted": [("[2]{id, name}:\n1,Alice\n\n2, Bob\n", AB), ("[0]{a}:", []),  # the count ends the table
                ('{"users": [2]{id,name}:\n  1, Alice\n  2, Bob, "count": 2}', {"users": AB, "count": 2}),
                ('{"users": [3]{id,name}:\n  1, Alice\n  2, Bob\n}', {"users": AB}),  # closed early, as inline
                ("[[2]{a,b}:\n 1, x\n 2, , 3]", [[{"a": 1, "b": "x"}, {"a": 2, "b": None}], 3]),
                ('[2]{"a,b", c}:\n  [2]{x}:\n    1\n    2, y\n  3, z',
                 [{"a,b": [{"x": 1}, {"x": 2}], "c": "y"}, {"a,b": 3, "c": "z"}])],
    "empty": [(text, []) for text in ["[:]", "[7: ]", "[: a; ]", "[: a, b; /* c */ ]"]] + [("[[: a; ], 5]", [[], 5])],
    # quoted names and cells, escaped bytes, comments and nested containers neither end the table nor separate rows
    "opaque": [('[: a; "x]"; "y" ]', [{"a": "x]"}, {"a": "y"}]), ("[: a; x\\]y; z\\;w ]", [{"a": "x]y"}, {"a": "z;w"}]),
               ('[: "a;b", c; 1, 2 ]', [{"a;b": 1, "c": 2}]), ("[: a; /* ; ] */ 1; // ; ]\n 2 ]", A12),
               ('[: a; x"y; 2 ]', [{"a": 'x"y'}, {"a": 2}]), ('[: a; x"; "]" ]', [{"a": 'x"'}, {"a": "]"}]),
               ('[: a; "\\"]"; x\\\\; 2 ]', [{"a": '"]'}, {"a": "x\\"}, {"a": 2}]),
               ('[2:\n a\n "]"\n x\\]\n]', [{"a": "]"}, {"a": "x]"}]),
               ('[: a; {"k": [";", /* } */ "]"]}; [: b; "]]"; x\\] ]; 2 ]',
                [{"a": {"k": [";", "]"]}}, {"a": [{"b": "]]"}, {"b": "x]"}]}, {"a": 2}]),
               ("[: a; x[y; x}y; x /* ; */ 2 ]", [{"a": "x[y"}, {"a": "x}y"}, {"a": "x /*"}, {"a": "*/ 2"}])],
}
U8H = "Invalid UTF-8 in header"
ERRORS = {
    "recognition": [("[2\t: a]", bad(":", 3)), ("[-1: a; 1 ]", bad(":", 3)), ("[1 2: a ]", bad("2", 3)),
                    ("[2] {a}:\n 1\n 2", pe(TAIL, 4)), ("[5 :", pe(EOF_, 4))],
    "header": [("[: a ]", bad("]", 5)), ('[: "a"x; 1 ]', bad("x", 6)), ("[: a\\]b; 1 ]", bad("]", 5)),
               ("[: ; 1 ]", pe(TAIL, 5)), ("[:; \x0c]", pe(TAIL, 4)), ("[[:;\x0c]]", bad("\x0c", 4)),
               (b"[: x, b\xffc; 1, 2 ]", pe(U8H, 6)), (b'[: "a\xff"; 1 ]', pe(U8H, 4)),
               (b'[: "a\xff\\n"; 1 ]', "Invalid UTF-8 in string"), (b"[: " + b"x" * 100 + b"\xff; 1 ]", pe(U8H, 3)),
               ("[2]{a\n}:", bad("\n", 5)), ("[2]{a} 1", pe("Expected ':' at position 7", 7)), ("[2]{a", pe(EOF_, 5))],
    "cell": [('[: a; "x" y ]', bad("y", 10)), ("[: a; x\\", pe(EOF_, 8)),
             (b"[: a; 1; " + b"x" * 100 + b"\xff ]", pe("Invalid UTF-8 in cell", 9)),
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
    "lines": [("[2:\n a\n 1;\n]", bad(";", 9)), ("[2:\n a\n 1 }\n]", bad("}", 10)), ("[2:\n a\n 1\n 2\n", pe(EOF_, 13)),
              ("[2]{a}: 1\n 2", bad("1", 8)), ("[2]{a}:\n 1", pe(EOF_, 10)), ('{"t": [3]{a}:\n 1\n 2', pe(EOF_, 19))],
    "nesting": [("[: a; [1; 2] ]", bad(";", 8)), ('[: a; [: b; "]]]"; "[[" ; "}" ]', pe(EOF_, 31))],
    # a table inside a row that stops after its counted rows leaves its `]` to the outer table, then unclosed
    "inner table stops short": [("[: a; [2: ; // c\n ; ]", pe(EOF_, 21)), ("[: a, b; [: ;;; ]", pe(EOF_, 17)),
                                ('{"t": [: a, b; [: ;|; ]}', pe(EOF_, 24)),
                                ('[: a; [2: ; ;-2.5tom[2: "NaN, }\n[2: ] ]', pe(TAIL, 13)),
                                ("[: a; [: ; 1 ], 2 ]", bad("1", 11))],
    # an unclosed or too deep table is reported before any error in its rows
    "precedence": [("[: a; 1, 2", pe(EOF_, 10)), ('[: a; x; "y', pe(EOF_, 11)), ("[: a\n b; 1", pe(EOF_, 10)),
                   ("[:\n a\n [x\n", pe(EOF_, 10)),
                   ("[: a; [x; " + "[" * 1100 + "]" * 1100 + " ]",
                    pe("Document nested too deeply (max 1024 levels)", 1032))],
}


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
@pytest.mark.parametrize("data, expected", params(VALUES) + params(ERRORS))
def test_reading(data, expected, as_bytes):
    check_reads(data.encode() if as_bytes and isinstance(data, str) else data, expected)


# schema=[names]: an object's members are read in order as the names, their written keys skipped.
SCHEMA = {
    # runs of backslashes before a quote: odd ones escape it, even ones do not
    "keys": [(t, XY) for t in ['{"a:b": 1, "c,d": 2}', '{"}": 1, "{": 2}', '{a: 1, "a": 2}',
                               '{"a" /* : */ : 1, "\\"b:" :2}']] + [("{1: 5}", {"x": 5})]
    + [("{" + json.dumps(k) + ': 1, "k": 2}', XY)
       for k in ["a\\", 'a"b', '\\"', "\\\\", 'x\\\\"y', '\u00e9"\\' + "s" * 40]],
    "members": [('{"a": 1}', {"x": 1}), ("{ }", {}), ('{"a": 1, }', {"x": 1})],
    "where": [('[{"a": 1, "b": 2}, [[{"p": 1}]]]', [XY, [[{"x": 1}]]]),
              ('[: c, d; {"a": 1}, [: e; {"k": 1, "j": 2} ] ]', [{"c": {"x": 1}, "d": [{"e": XY}]}]),
              ('{"a": {"k": [{"j": 1}]}, "b": [: c; {"k": 1} ]}', {"x": {"k": [{"j": 1}]}, "y": [{"c": {"k": 1}}]}),
              ('[{"a": {"k": 1}}, {"p": 2}]', [{"x": {"k": 1}}, {"x": 2}]),
              ('[{"a": 1,}, {"b": 2}]', [{"x": 1}, {"x": 2}])],  # a trailing comma ends it
    "colon": [('{"a" 1, "b": 2}', pe("Expected ':' at position 5", 5)),
              ('[{"a": 1, b x: 2}]', pe("Expected ':' at position 12", 12)),
              ('{"a"}', pe("Expected ':' at position 4", 4))],
    "surplus": [('{"a": 1, "b": 2, "c": 3}', pe("Expected '}' at position 17", 17)), ('{"a": 1 "b": 2}', bad('"', 8)),
                ('{"a": 1,', pe(EOF_, 8)), ("[1 2]", bad("2", 3))],
}


@pytest.mark.parametrize("text, expected", params(SCHEMA))
def test_schema(text, expected):
    for form, schema in ((text, ["x", "y"]), (text.encode(), iter(["x", "y"]))):
        check_reads(form, expected, schema=schema)


def test_without_names_every_member_is_surplus():
    check_same(loads("{}", schema=[]), {})
    with pytest.raises(ValueError, match=r"^Expected '}' at position 1 "):
        loads('{"a": 1}', schema=[])
