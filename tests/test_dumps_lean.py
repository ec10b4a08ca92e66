"""dumps(lean=True): the exact layout, which texts go bare, and the option's
own checks. Reading back random data is in test_dumps_tables_roundtrip."""

import pytest

from vesk.vesk_core import dumps, loads

TWO = [{"id": 1, "x": "a b"}, {"id": 2, "x": None}]
NESTED = [{"id": 1, "items": [{"q": 1}, {"q": 2}], "tags": ["x"], "m": {"k": "v"}},
          {"id": 2, "items": [], "tags": None, "m": {}}]


@pytest.mark.parametrize("value, options, expected", [
    (TWO, {}, "[2:id,x;1,a b;2,]"),
    (TWO, {"delimiter": "tab"}, "[2:id\tx;1\ta b;2\tnull]"),  # a TAB before a cell is skipped as filler
    (TWO, {"delimiter": "pipe", "row_count": False}, "[:id|x;1|a b;2|]"),
    ([{"a": 1}, {"a": None}], {}, "[2:a;1;null]"),  # a blank last row would not be a row
    ([{"a": None}, {"a": 1}], {}, "[2:a;;1]"),
    # the usual layouts, with lean cells
    (TWO, {"indent": 2}, "[2:\n  id, x\n  1, a b\n  2, \n]"),
    (TWO, {"multiline_ivy": True}, "[2]{id,x}:\n  1, a b\n  2, "),
    # names: bare unless the header reader would read them otherwise
    ([{"first name": 1, "2nd": 2, "a,b": 3, " s": 4, "é": 5}] * 2, {},
     '[2:first name,2nd,"a,b"," s",é;1,2,3,4,5;1,2,3,4,5]'),
    # outside tables, identifier keys bare, except right after a string value
    ({"a-b": [1, 2], "$x": {"k k": None}}, {}, '{a-b:[1,2],$x:{"k k":null}}'),
    ({"a": "x", "b": 1, "c": 2.5, "d": "y", "e": None}, {}, '{a:"x","b":1,c:2.5,d:"y","e":null}'),
    # any text may be a cell; it is quoted where it would not read back bare
    ([{"t": "12:30", "m": "x; y"}, {"t": "noon", "m": "1.5"}], {}, '[2:t,m;12:30,"x; y";noon,"1.5"]'),
    # on lines of their own `}` ends a cell, and a blank line is no row
    ([{"a": "x}"}, {"a": None}], {"multiline_ivy": True}, '[2]{a}:\n  "x}"\n  null'),
    ([{"a}": "x}", "b": None}] * 2, {"indent": 0}, '[2:\na}, b\n"x}", \n"x}", \n]'),
    ([{"a}": 1}] * 2, {"multiline_ivy": True}, '[2]{"a}"}:\n  1\n  1'),
    # a cell may hold any value: lists, objects, tables (a tuple of records is no table)
    (NESTED, {}, '[2:id,items,tags,m;1,[2:q;1;2],["x"],{k:"v"};2,[],,{}]'),
    (NESTED, {"multiline_ivy": True}, '[2]{id,items,tags,m}:\n  1, [2]{q}:\n    1\n    2, ["x"], {k:"v"}\n  2, [], , {}'),
    ([{"a": ({"q": 1}, {"q": 2})}, {"a": 1}], {}, "[2:a;[{q:1},{q:2}];1]"),
    # a record with a key beyond the columns, before or after the nesting cell
    ([{"a": [{"q": 1}, {"q": 2}]}, {"a": 1}, {"a": 2, "b": 3}], {}, "[{a:[2:q;1;2]},{a:1},{a:2,b:3}]"),
    ([{"a": 0}, {"a": 1, "b": 3}, {"a": [{"q": 1}, {"q": 2}]}], {}, "[{a:0},{a:1,b:3},{a:[2:q;1;2]}]"),
])
def test_layout(value, options, expected):
    assert dumps(value, lean=True, **options) == expected


# Each text as the only cell of a two-row table: bare exactly where it reads back.
@pytest.mark.parametrize("text, bare", [
    ("Carol Nguyen", True), ("user0@example.com", True), ("a.b/c", True), ("/usr/bin", True), ("say \"hi\"", True),
    ("x:y", True), ("\u00e9lan \U0001f600", True), ("a[b]c", False), ("_x", True), ("$y", True), ("a{b", True),
    ("", False), (" a", False), ("a ", False), ("\ta", False), ("a\nb", False), ("a\x7f", False),
    # text that begins as a number or literal does, but is none
    ("1a", True), ("-a", True), ("+1", True), (".5", True), ("007", True), ("nick", True), ("Ivan", True),
    ("fred", True), ("INFO", True), ("n", True), ("2025-03-14T10:30:00Z", True), ("Infinity War", True), ("-", True),
    ("N/A", True), ("12kg", True), ("nulls", True), ("1e", True),
    # text that is a number or literal
    ("true", False), ("null", False), ("NaN", False), ("-Infinity", False), ("INF", False), ("0", False),
    ("-2.5e-3", False), ("123456789012345678901234567890", False),
    ('"q"', False), ("[1]", False), ("{}", False), ("//c", False), ("/*c", False),
    ("a,b", False), ("a;b", False), ("a|b", False), ("a\\b", False),
    # one character, and texts past the one-block fast path, with the fault at the far end
    ("x", True), ("7", False), ("/", True), ("q" * 40, True), ("q" * 40 + ";", False), ("q" * 31 + "]", False),
    ("1" * 40, False), ("1" * 40 + "x", True), ("\u00e9" * 3 + ",", False), ("\u20ac|", False), ("\U0001f600 ", False),
])
def test_bare_cells(text, bare):
    out = dumps([{"s": text}, {"s": "z"}], lean=True)
    assert out.startswith("[2:s;" + (text if bare else '"')), out
    assert loads(out) == [{"s": text}, {"s": "z"}]


def test_an_undone_table_converts_each_cell_once():
    # The rows ahead are checked before the first cell that may run code, so
    # a table that cannot carry its list is undone before it converts anything.
    calls = []

    class Model:
        def model_dump(self):
            calls.append(self)
            return {"k": len(calls)}

    rows = [{"a": Model()} for _ in range(3)] + [{"a": None, "b": 1}]
    assert dumps(rows, lean=True) == "[{a:{k:1}},{a:{k:2}},{a:{k:3}},{a:null,b:1}]"
    assert calls == [r["a"] for r in rows[:3]]


def test_option_is_checked_like_the_others():
    with pytest.raises(TypeError, match=r"^argument 'lean': 'int' object cannot be converted to 'PyBool'$"):
        dumps(1, lean=1)
    assert dumps([1, "a"], lean=False) == dumps([1, "a"]) == '[1,"a"]'
