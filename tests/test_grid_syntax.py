"""Grid tables (`[: names; row; row ]`): recognition, header, cell kinds,
delimiters, row counting, empty tables and nesting, with the exact values and
error messages that loads produces."""

import math

import pytest

from conftest import check_same
from vesk.vesk_core import loads

NAN = math.nan
INF = math.inf


def pe(message, position):
    """A parse error as loads raises it (the sign is U+00B1)."""
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def eof(position):
    return pe("Unexpected end of input", position)


def bad(ch, position):
    return pe(f"Invalid character '{ch}' at position {position}", position)


def trailing(position):
    return pe("Trailing content after document", position)


def _ids(table):
    return [repr(row[0])[:60] for row in table]


@pytest.fixture(params=["str", "bytes"])
def read(request):
    """loads on the text as given, and on its UTF-8 bytes."""
    if request.param == "str":
        return loads
    return lambda text, **kw: loads(text.encode("utf-8"), **kw)


def raises_exactly(data, message, **kw):
    with pytest.raises(ValueError) as info:
        loads(data, **kw)
    assert type(info.value) is ValueError
    assert str(info.value) == message


# ------------------------------------------------------------ recognition
# '[', filler, optional digits, spaces (0x20 only), ':' opens a table; any
# other shape is an ordinary list.

RECOGNISED = [
    ("[: a; 1 ]", [{"a": 1}]),
    ("[3: a; 1 ]", [{"a": 1}]),  # the written count is never compared
    ("[2 : a; 1; 2 ]", [{"a": 1}, {"a": 2}]),
    ("[12   : a; 1 ]", [{"a": 1}]),
    ("[0: a; 1; 2; 3 ]", [{"a": 1}, {"a": 2}, {"a": 3}]),
    ("[ /*c*/ : a; 1 ]", [{"a": 1}]),
    ("[\n2: a; 1 ]", [{"a": 1}]),
    ("[:a;1;2]", [{"a": 1}, {"a": 2}]),
    ("[[: a; 1; 2 ], 3]", [[{"a": 1}, {"a": 2}], 3]),
    # not tables
    ("[2]", [2]),
    ("[2 ]", [2]),
    ("[ 7 ]", [7]),
    ("[2, 3]", [2, 3]),
    ('["a:b", 1]', ["a:b", 1]),
    ("[{a: 1}]", [{"a": 1}]),
]


@pytest.mark.parametrize("text, expected", RECOGNISED, ids=_ids(RECOGNISED))
def test_recognition(read, text, expected):
    check_same(read(text), expected)


NOT_RECOGNISED = [
    ("[2\t: a]", bad(":", 3)),  # only 0x20 may stand between count and ':'
    ("[2\n: a]", bad(":", 3)),
    ("[1 2: a ]", bad("2", 3)),
    ("[-1: a; 1 ]", bad(":", 3)),
    ("[2]{a,b}:\n  1,2\n", trailing(3)),  # multiline header form: '[2]' is a list
    ("[5", eof(2)),
    ("[5 ", eof(3)),
    ("[5 :", eof(4)),
    ("[:", eof(2)),
]


@pytest.mark.parametrize("text, message", NOT_RECOGNISED, ids=_ids(NOT_RECOGNISED))
def test_recognition_failures(text, message):
    raises_exactly(text, message)


# ----------------------------------------------------------------- header

HEADERS = [
    ('[: "first name", id; Bob, 1 ]', [{"first name": "Bob", "id": 1}]),
    ("[: a b c, d; 1, 2 ]", [{"a b c": 1, "d": 2}]),
    ("[: a b   \t; 1 ]", [{"a b": 1}]),  # a bare name's trailing whitespace is trimmed
    ("[: a\n, b; 1, 2 ]", [{"a": 1, "b": 2}]),
    ("[: , a; 1, 2 ]", [{"": 1, "a": 2}]),  # empty bare name
    ("[: a, a; 1, 2 ]", [{"a": 2}]),  # duplicates: the last value wins
    ("[: a, b, a; 1, 2, 3 ]", [{"a": 3, "b": 2}]),  # ... and the key keeps its place
    ("[: a, b, ; 1, 2 ]", [{"a": 1, "b": 2}]),  # delimiter just before ';'
    ('[: "a" ; 1 ]', [{"a": 1}]),
    ('[: "a\\tb\\u00e9"; 1 ]', [{"a\tb\u00e9": 1}]),
    ('[: "a;b", c; 1, 2 ]', [{"a;b": 1, "c": 2}]),
    ('[: "x]"; 1; 2 ]', [{"x]": 1}, {"x]": 2}]),
    ('[: "[", "{"; 1, 2 ]', [{"[": 1, "{": 2}]),
    ("[: a[; 1; 2 ]", [{"a[": 1}, {"a[": 2}]),
    ("[: /*c*/ a, // x\n b; 1, 2 ]", [{"a": 1, "b": 2}]),
    ("[: \u00e9t\u00e9, k; 1, 2 ]", [{"\u00e9t\u00e9": 1, "k": 2}]),
    ("[: ; ]", []),
    ('[: "' + "a" * 15 + '\\n"; 1 ]', [{"a" * 15 + "\n": 1}]),
    ('[: "' + "a" * 16 + '\\n"; 1 ]', [{"a" * 16 + "\n": 1}]),
    ('[: "' + "a" * 40 + '"; 1 ]', [{"a" * 40: 1}]),
    ('[: "' + "\u00e9" * 40 + '\\u00e9;"; 1 ]', [{"\u00e9" * 41 + ";": 1}]),
]


@pytest.mark.parametrize("text, expected", HEADERS, ids=_ids(HEADERS))
def test_header(read, text, expected):
    check_same(read(text), expected)


@pytest.mark.parametrize("width", [1, 31, 32, 33, 100])
def test_wide_header(read, width):
    names = [f"c{i}" for i in range(width)]
    text = "[: " + ", ".join(names) + "; " + ", ".join(map(str, range(width))) + "; " + " | ".join(f"v{i}" for i in range(width)) + " ]"
    check_same(read(text), [dict(zip(names, range(width))), {n: f"v{i}" for i, n in enumerate(names)}])


def test_header_names_are_shared_by_all_rows():
    rows = loads("[: name; 1; 2; 3 ]")
    keys = [next(iter(r)) for r in rows]
    assert keys == ["name"] * 3
    assert keys[0] is keys[1] is keys[2]


HEADER_ERRORS = [
    ("[: a ]", bad("]", 5)),  # header not ended by ';'
    ('[: "a"\n; 1 ]', bad("\n", 6)),  # only spaces after a quoted name
    ('[: "a"x; 1 ]', bad("x", 6)),
    ("[: a\\]b; 1 ]", bad("]", 5)),  # no escapes in header names
    ("[: ; 1 ]", trailing(5)),  # no names: rows read nothing, the '1' is left over
    ("[: a", eof(4)),
    ('[: "a; 1 ]', eof(10)),
    ('[: "a\\q"; 1 ]', pe("Invalid escape sequence '\\q' at position 6", 6)),
    (b"[: a\xff; 1 ]", pe("Invalid UTF-8 in header", 3)),
    (b"[: x, b\xffc; 1, 2 ]", pe("Invalid UTF-8 in header", 6)),
    (b'[: "a\xff"; 1 ]', pe("Invalid UTF-8 in header", 4)),
    (b'[: "a\xff\\n"; 1 ]', "Invalid UTF-8 in string"),  # escaped name: string reader's error
    (b"[: " + b"x" * 100 + b"\xff; 1 ]", pe("Invalid UTF-8 in header", 3)),
    (b'[: a, "' + b"x" * 100 + b'\xff"; 1 ]', pe("Invalid UTF-8 in header", 7)),
]


@pytest.mark.parametrize("data, message", HEADER_ERRORS, ids=_ids(HEADER_ERRORS))
def test_header_errors(data, message):
    raises_exactly(data, message)


# ------------------------------------------------------------ cell kinds


def one(cell):
    return f"[: a; {cell} ]"


CELLS = [
    # bare strings: any first byte that is not typed
    ("Alice Smith", "Alice Smith"),
    ("True", "True"),
    ("False", "False"),
    ("+1", "+1"),
    (".5", ".5"),
    ("x y", "x y"),
    ("\u00e9t\u00e9", "\u00e9t\u00e9"),
    ("_id", "_id"),
    ("x\"y", 'x"y'),  # a quote inside a bare cell is content
    ("x  \n\t", "x"),  # trailing whitespace, newlines included, is trimmed
    ("x\ny", "x\ny"),  # inner newlines are content
    # escapes in bare cells
    ("x\\,y", "x,y"),
    ("a\\nb", "anb"),
    ("x\\|y\\\tz", "x|y\tz"),
    ("x\\\\y", "x\\y"),
    ("x\\;y", "x;y"),
    ("x\\]y", "x]y"),
    ("x\\ ", "x"),  # an escaped trailing space is trimmed too
    ("\\ ", ""),  # with a backslash an empty cell is '' rather than None
    # typed cells
    ("true", True),
    ("false", False),
    ("null", None),
    ("1", 1),
    ("-2", -2),
    ("1.5", 1.5),
    ("1e3", 1000.0),
    ("-0.0", -0.0),
    ("123456789012345678901234567890", 123456789012345678901234567890),
    ("NaN", NAN),
    ("Infinity", INF),
    ("-Infinity", -INF),
    ("Inf", INF),
    ('""', ""),
    ('"a\\"b\\u00e9\\\\"', 'a"b\u00e9\\'),
    ('"x;y]z"', "x;y]z"),
    ('"\\ud83d\\ude00"', "\U0001f600"),
    ("x" * 100 + "\\," + "y" * 100 + "\\]" + "\u00e9" * 50, "x" * 100 + "," + "y" * 100 + "]" + "\u00e9" * 50),
    ("\u00e9" * 100, "\u00e9" * 100),
]


@pytest.mark.parametrize("cell, expected", CELLS, ids=[repr(c) for c, _ in CELLS])
def test_cell_kinds(read, cell, expected):
    check_same(read(one(cell)), [{"a": expected}])


CELL_ERRORS = [
    (one("tom"), bad("t", 6)),
    (one("nick"), bad("n", 6)),
    (one("fals"), bad("f", 6)),
    (one("None"), "Invalid number"),
    (one("Ivan"), "Invalid number"),
    (one("-x"), "Invalid number"),
    (one("Nancy"), bad("c", 9)),  # 'Nan' is read as NaN, then 'c' is stray
    ("[: a; 1\n; 2 ]", bad("\n", 7)),  # only spaces after a typed cell
    ("[: a; 1 /*c*/ ; 2 ]", bad("/", 8)),
    ('[: a; "x" y ]', bad("y", 10)),
    ('[: a; "x"\n ]', bad("\n", 9)),
    ('[: a; "x\\q" ]', pe("Invalid escape sequence '\\q' at position 9", 9)),
    ("[: a; x\\", eof(8)),  # backslash as the last byte
    ("[: a; 1; 2 ", eof(11)),
    ('[: a; "x', eof(8)),
    (b"[: a; x\xffy ]", pe("Invalid UTF-8 in cell", 6)),
    (b"[: a; 1; x\xffy ]", pe("Invalid UTF-8 in cell", 9)),
    (b"[: a, b; 1,   x\xff ]", pe("Invalid UTF-8 in cell", 14)),
    (b"[: a; x\\,\xffy ]", "Invalid UTF-8 in string"),  # with a backslash: no position
    (b'[: a; "x\xff" ]', pe("Invalid UTF-8 in string", 6)),
    (b"[: a; 1; " + b"x" * 100 + b"\xff ]", pe("Invalid UTF-8 in cell", 9)),
    (b"[: a; 1; " + b"x" * 100 + b"\\,\xff ]", "Invalid UTF-8 in string"),
]


@pytest.mark.parametrize("data, message", CELL_ERRORS, ids=_ids(CELL_ERRORS))
def test_cell_errors(data, message):
    raises_exactly(data, message)


def test_newline_after_bare_cell_is_trimmed_but_after_number_is_not():
    check_same(loads("[: a; x\n; 2 ]"), [{"a": "x"}, {"a": 2}])
    raises_exactly("[: a; 1\n; 2 ]", bad("\n", 7))


# ------------------------------------------------------------- delimiters

DELIMITED = [
    "[: a\tb; 1\t2 ]",
    "[: a, b; 1, 2 ]",
    "[: a | b; 1 | 2 ]",
    "[: a|b; 1|2 ]",
    "[: a, b; 1 | 2 ]",
    "[: a\tb; 1,2 ]",
    "[: a   ,   b; 1   ,   2 ]",
]


@pytest.mark.parametrize("text", DELIMITED, ids=[repr(t) for t in DELIMITED])
def test_delimiters_are_interchangeable(read, text):
    check_same(read(text), [{"a": 1, "b": 2}])


MIXED = [
    ("[: a|b\tc; 1\t2,3 ]", [{"a": 1, "b": 2, "c": 3}]),
    ("[: a|b; x y|z w ]", [{"a": "x y", "b": "z w"}]),
    ("[: a\tb; x\t y  ; p\tq ]", [{"a": "x", "b": "y"}, {"a": "p", "b": "q"}]),
]


@pytest.mark.parametrize("text, expected", MIXED, ids=_ids(MIXED))
def test_mixed_delimiters(read, text, expected):
    check_same(read(text), expected)


# ------------------------------------------------------- rows and counting

ROWS = [
    ("[: a, b; 1, 2; 3 ]", [{"a": 1, "b": 2}, {"a": 3, "b": None}]),
    ("[: a, b; ,2 ]", [{"a": None, "b": 2}]),
    ("[: a, b, c; 1; 2, 3 ]", [{"a": 1, "b": None, "c": None}, {"a": 2, "b": 3, "c": None}]),
    ("[: a; ; 1 ]", [{"a": None}, {"a": 1}]),
    ("[: a;    ; 1 ]", [{"a": None}, {"a": 1}]),
    ("[: a; 1; ]", [{"a": 1}]),
    ("[: a; 1 ;2]", [{"a": 1}, {"a": 2}]),
    ("[: a, b; 1, 2; ; 3, 4 ]", [{"a": 1, "b": 2}, {"a": None, "b": None}, {"a": 3, "b": 4}]),
    ("[3: id, name; 1, Alice; 2, Bob ]", [{"id": 1, "name": "Alice"}, {"id": 2, "name": "Bob"}]),
    ("[: a; \n 1 ;\n 2 ]", [{"a": 1}, {"a": 2}]),
    ("[: a, b; x ,   ; 2 ]", [{"a": "x", "b": None}, {"a": 2, "b": None}]),  # a cell of only spaces
]


@pytest.mark.parametrize("text, expected", ROWS, ids=_ids(ROWS))
def test_rows(read, text, expected):
    check_same(read(text), expected)


# A row with surplus cells makes the surplus start the next row, and the table
# stops after the counted rows; the enclosing reader rejects what is left.
SURPLUS = [
    ("[: a; 1, 2 ]", trailing(9)),
    ("[: a, b; 1, 2, ; 3, 4 ]", trailing(17)),
    ("[: a; 1\t;2]", trailing(9)),
    ("[[: a; 1, 2 ], 3]", bad("2", 10)),
    ('{"t": [: a; 1, 2 ]}', bad("2", 15)),
    ("[: a, b; 1, [: c; 2, 9 ] ; 4, 5 ]", bad("9", 21)),
    ("[: a; 1 ]]", trailing(9)),
]


@pytest.mark.parametrize("text, message", SURPLUS, ids=_ids(SURPLUS))
def test_surplus_cells(text, message):
    raises_exactly(text, message)


# ---------------------------------------------------------- empty tables

EMPTY = ["[:]", "[: ]", "[7:]", "[ : ]", "[:\n]", "[: a; ]", "[: a, b; ]", "[: a; /* c */ ]", "[: a; // x\n ]", "[: ; ]"]


@pytest.mark.parametrize("text", EMPTY, ids=[repr(t) for t in EMPTY])
def test_empty_tables(read, text):
    check_same(read(text), [])
    # the closing ']' is consumed: the table can be followed by more elements
    check_same(read(f"[{text}, 5]"), [[], 5])


# ---------------------------------------- bytes that do not end a table
# Quoted names and cells, escaped bytes of bare cells, comments and nested
# containers are read as the row reader reads them: the brackets and ';'
# inside them neither close the table nor separate rows.

OPAQUE = [
    ('[: a; "x]"; "y" ]', [{"a": "x]"}, {"a": "y"}]),
    ("[: a; x\\]y; z ]", [{"a": "x]y"}, {"a": "z"}]),
    ("[: a; x\\;y; z ]", [{"a": "x;y"}, {"a": "z"}]),
    ('[: "a;b", c; 1, 2 ]', [{"a;b": 1, "c": 2}]),
    ("[: a; /* ; ] */ 1; 2 ]", [{"a": 1}, {"a": 2}]),
    ("[: a; // ; ]\n 1; 2 ]", [{"a": 1}, {"a": 2}]),
    ('[: a; {"k": "]"}; 2 ]', [{"a": {"k": "]"}}, {"a": 2}]),
    ('[: a; {"k": [1, ";"]}; 2 ]', [{"a": {"k": [1, ";"]}}, {"a": 2}]),
    ('[: a; [";", "]"]; 2 ]', [{"a": [";", "]"]}, {"a": 2}]),
    ('[: a; x"y; 2 ]', [{"a": 'x"y'}, {"a": 2}]),
    ('[: a; "]"; 2; 3 ]', [{"a": "]"}, {"a": 2}, {"a": 3}]),
    ('[: a; "[[["; "{{"; 3 ]', [{"a": "[[["}, {"a": "{{"}, {"a": 3}]),
    ('[: a, b; "[[", "}"; "]]]", "{" ]', [{"a": "[[", "b": "}"}, {"a": "]]]", "b": "{"}]),
    ("[: a; x[y; 2 ]", [{"a": "x[y"}, {"a": 2}]),
    ("[: a; x{y; 2 ]", [{"a": "x{y"}, {"a": 2}]),
    ("[: a; x}y; 2 ]", [{"a": "x}y"}, {"a": 2}]),
    # '/*' inside a bare cell is cell content, so the ';' after it ends the row
    ("[: a; x /* ; */ 2 ]", [{"a": "x /*"}, {"a": "*/ 2"}]),
    ('[[: a; "]"; "["], [: b; "{"; "}"]]', [[{"a": "]"}, {"a": "["}], [{"b": "{"}, {"b": "}"}]]),
    ('[: "a;b"; ]', []),
    ("[: /* ; ] */ a; 1 ]", [{"a": 1}]),
    ("[: a; /* ] */ ]", []),
    # a quote inside a comment or a bare cell does not open a string
    ('[: a; 1; /* " */ 2; 3 ]', [{"a": 1}, {"a": 2}, {"a": 3}]),
    ('[: a; 1; // "\n 2 ]', [{"a": 1}, {"a": 2}]),
    ('[: a; x"; y" ]', [{"a": 'x"'}, {"a": 'y"'}]),
    ('[: a; x"; "]" ]', [{"a": 'x"'}, {"a": "]"}]),
    ('[: a"b, c"; 1, 2 ]', [{'a"b': 1, 'c"': 2}]),
    # an escaped quote inside a quoted cell, an escaped backslash before ';'
    ('[: a; "\\"]"; 2 ]', [{"a": '"]'}, {"a": 2}]),
    ('[: a; "\\\\"; 2 ]', [{"a": "\\"}, {"a": 2}]),
    ("[: a; x\\\\; 2 ]", [{"a": "x\\"}, {"a": 2}]),
    # comments inside nested containers and after a delimiter
    ("[: a; [1, /* ] ; */ 2]; 3 ]", [{"a": [1, 2]}, {"a": 3}]),
    ('[: a; {"k": /* } */ 1}; 2 ]', [{"a": {"k": 1}}, {"a": 2}]),
    ("[: a, b; 1 , /* ; */ 2 ]", [{"a": 1, "b": 2}]),
    ("[: a\tb; x\t/*; */ y ]", [{"a": "x", "b": "y"}]),
    ("[: a; x\t/*; */ ]", [{"a": "x"}]),  # row ends at the last delimiter; comment, then ']'
    ("[: a; [: b; x\\]; 1 ]; 2 ]", [{"a": [{"b": "x]"}, {"b": 1}]}, {"a": 2}]),
]


@pytest.mark.parametrize("text, expected", OPAQUE, ids=_ids(OPAQUE))
def test_quoted_escaped_and_nested_bytes_do_not_end_the_table(read, text, expected):
    check_same(read(text), expected)


# ---------------------------------------------------------------- nesting

NESTED = [
    ("[: id, tags; 1, [1, 2]; 2, [: k; v ] ]", [{"id": 1, "tags": [1, 2]}, {"id": 2, "tags": [{"k": "v"}]}]),
    ("[: a, b; 1, [: c; 2; 3 ] ; 4, 5 ]", [{"a": 1, "b": [{"c": 2}, {"c": 3}]}, {"a": 4, "b": 5}]),
    ("[: a; [: b; 1; 2 ]; [: c; 3 ] ]", [{"a": [{"b": 1}, {"b": 2}]}, {"a": [{"c": 3}]}]),
    ("[: a; [[: b; [: c; x; y ] ]]; 2 ]", [{"a": [[{"b": [{"c": "x"}, {"c": "y"}]}]]}, {"a": 2}]),
    ("[: a, b; [], {}; [:], [: x; ] ]", [{"a": [], "b": {}}, {"a": [], "b": []}]),
    ('{"rows": [: id, name; 1, Alice; 2, Bob ]}', {"rows": [{"id": 1, "name": "Alice"}, {"id": 2, "name": "Bob"}]}),
    ('{"t": [: a; 1 ], "u": 2}', {"t": [{"a": 1}], "u": 2}),
    ("{t: [: a; [1, 2] ]}", {"t": [{"a": [1, 2]}]}),
]


@pytest.mark.parametrize("text, expected", NESTED, ids=_ids(NESTED))
def test_nesting(read, text, expected):
    check_same(read(text), expected)


def test_semicolon_inside_a_nested_list_is_not_a_row_of_the_outer_table():
    # an ordinary list does not accept ';' between its elements, and the
    # outer table must not treat that ';' as its own row separator either
    raises_exactly("[: a; [1; 2] ]", bad(";", 8))
