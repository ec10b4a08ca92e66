"""dumps of lists of records as tables: the exact text of every layout and
option, which lists become tables, models and dataclasses as records, lists
that change while written, memory over many calls, and threads.

Expected tables are built by `table` below from the layout rules (checked
against hand-written texts first); plain arrays are json.dumps' compact text."""

import dataclasses
import enum
import itertools
import json
import re
from collections import defaultdict

import pydantic
import pydantic.v1
import pytest

from conftest import check_same, compact, reads_back_bare
from vesk.vesk_core import dumps, loads


class Word(enum.StrEnum):
    A = "a"
    T = "true"


DELIMS = {"comma": ", ", "tab": "\t", "pipe": " | "}
IDENT = re.compile(r"[A-Za-z_$][A-Za-z0-9_$-]*", re.ASCII)


def jsonable(v):
    """What a plain array holds, as json.dumps can write it: keys by str(),
    tuples as lists, bytes as hex, models and dataclasses converted."""
    if isinstance(v, dict):
        return {k if isinstance(k, str) else str(k): jsonable(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [jsonable(x) for x in v]
    if isinstance(v, bytes):
        return v.hex()
    if isinstance(v, pydantic.BaseModel):
        return jsonable(v.model_dump())
    if dataclasses.is_dataclass(v):
        return jsonable(dataclasses.asdict(v))
    return v


def plain(v):
    return compact(jsonable(v))


def head(name):
    return name if IDENT.fullmatch(name) else json.dumps(name, ensure_ascii=False)


def cell(value, o, blank_ok):
    # Every layout reads back: an empty cell only where it reads as None, a
    # bare string only where it reads as itself.
    lines = o.get("indent") is not None or o.get("multiline_ivy")
    if value is None:  # absent or None
        tab_filler = o.get("delimiter") == "tab" and not lines  # a TAB before an inline cell is filler
        return "" if o.get("implicit_null") and blank_ok and not tab_filler else "null"
    if o.get("bare_strings") and isinstance(value, str) and reads_back_bare(value, lines):
        return value
    return plain(value)


def table(records, depth=0, **o):
    """The table text of `records` (columns: the first record's keys) at `depth`."""
    cols, n, d = list(records[0]), len(records), DELIMS[o.get("delimiter", "comma")]
    lines = o.get("indent") is not None or o.get("multiline_ivy")
    # A blank row is none: inline only the last, on lines of their own any.
    rows = [d.join(cell(r.get(c), o, len(cols) > 1 or (i < n - 1 and not lines)) for c in cols)
            for i, r in enumerate(records)]
    names = [head(c) for c in cols]
    if o.get("multiline_ivy"):
        pad = " " * ((2 if o.get("indent") is None else o["indent"]) * (depth + 1))
        return f"[{n}]{{{','.join(names)}}}:" + "".join(f"\n{pad}{r}" for r in rows)
    count = str(n) if o.get("row_count", True) else ""
    if o.get("indent") is None:
        return f"[{count}: " + d.join(names) + "".join(f"; {r}" for r in rows) + " ]"
    pad = " " * (o["indent"] * (depth + 1))
    return f"[{count}:\n{pad}" + d.join(names) + "".join(f"\n{pad}{r}" for r in rows) + "\n" + " " * (o["indent"] * depth) + "]"


IDX = [{"id": 1, "x": 10}, {"id": 2, "x": 20}]
NAMES = [{"name": "Alice", "dept": "Eng"}, {"name": "Bob", "dept": "Mkt"}]
NULLS = [{"a": 1, "b": None}, {"a": 2, "b": 3}]
HAND = [  # written out by hand from the layout rules, one per option: the builder the other tests rely on
    (IDX, {}, "[2: id, x; 1, 10; 2, 20 ]"), (IDX, {"row_count": False, "delimiter": "tab"}, "[: id\tx; 1\t10; 2\t20 ]"),
    (IDX, {"delimiter": "pipe", "indent": 2}, "[2:\n  id | x\n  1 | 10\n  2 | 20\n]"),
    (IDX, {"multiline_ivy": True, "indent": 4}, "[2]{id,x}:\n    1, 10\n    2, 20"),
    (NAMES, {"bare_strings": True}, "[2: name, dept; Alice, Eng; Bob, Mkt ]"),
    ([{"a": "true", "b": "x"}, {"a": "2025-03-14", "b": None}], {"multiline_ivy": True, "bare_strings": True, "implicit_null": True},
     '[2]{a,b}:\n  "true", x\n  2025-03-14, '),
    (NULLS, {"implicit_null": True}, "[2: a, b; 1, ; 2, 3 ]"),
    (NULLS, {"implicit_null": True, "delimiter": "tab"}, "[2: a\tb; 1\tnull; 2\t3 ]"),  # a TAB before a cell is filler
    ([{"a": None}, {"a": None}], {"implicit_null": True}, "[2: a; ; null ]"),  # a blank last row is no row
    ([{"a": None}, {"a": None}], {"implicit_null": True, "indent": 0}, "[2:\na\nnull\nnull\n]"),  # nor a blank line
    ([{"user-id": 1, "first name": 2, "2nd": 3, "$ref": 4}] * 2, {}, '[2: user-id, "first name", "2nd", $ref; 1, 2, 3, 4; 1, 2, 3, 4 ]'),
    ({"t": IDX, "u": 1}, {"multiline_ivy": True}, '{"t":[2]{id,x}:\n    1, 10\n    2, 20,"u":1}'),
    # bare names and cells after a wider string are written at its width
    *[([w, [{"id": 1, "x-y": "ab-c", "2": "2d"}] * 2], {"bare_strings": True},
       f'["{w}",[2: id, x-y, "2"; 1, ab-c, 2d; 1, ab-c, 2d ]]') for w in ("\u00e9", "\u20ac", "\U0001f600")],
]


@pytest.mark.parametrize("value, options, expected", HAND)
def test_hand_written_tables(value, options, expected):
    assert dumps(value, **options) == expected
    if isinstance(value, list) and isinstance(value[0], dict):
        assert table(value, **options) == expected  # the builder the other tests rely on


LAYOUTS = [{}, {"indent": 0}, {"indent": 2}, {"multiline_ivy": True}, {"multiline_ivy": True, "indent": 3}]
MIXED = [{"id": 1, "name": "Alice", "note": None, "ok": True}, {"id": -2, "name": "nick", "note": "a b", "ok": False},
         {"id": 3, "name": "x-1", "ok": None}, {"id": 4, "name": "Tom", "note": "", "ok": 1.5}]  # 3 of 4 hold every column
ONE = [{"v": "Ivan"}, {"v": None}, {"v": "x"}, {"v": None}]
BARE = [{"s": t, "n": i} for i, t in enumerate(["True", "e5", "None", "-a", "1a", "2025-03-14", "Infinity War", "007",
                                                "Inf", "true", "NaN", "-1.5e3", "", " a", "a b"])]
WIDE = [{"\u00e9": "Zo\u00eb", "x": "\U0001f600"}, {"\u00e9": "Bob", "x": None}, {"\u00e9": "\u20ac", "x": "a"}]


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("delimiter", DELIMS)
@pytest.mark.parametrize("flags", list(itertools.product([False, True], repeat=3)), ids=str)
@pytest.mark.parametrize("records", [IDX, MIXED, ONE, WIDE, BARE], ids=["idx", "mixed", "one", "wide", "bare"])
def test_every_option_combination(records, flags, delimiter, layout):
    o = dict(layout, delimiter=delimiter, **dict(zip(["row_count", "bare_strings", "implicit_null"], flags)))
    assert dumps(records, **o) == table(records, **o)
    inner, k = table(records, 1, **o), o.get("indent")
    outer = f"[{inner},{inner}]" if k is None else f"[\n{' ' * k}{inner},\n{' ' * k}{inner}\n]"
    assert dumps([records, records], **o) == outer
    expected = [{c: r.get(c) for c in records[0]} for r in records]  # a missing cell reads back as None
    assert loads(dumps(records, **o)) == expected and loads(outer) == [expected, expected]


def tolerant(m, matching, n=None):
    """n records (default m) over columns a, b: of the first m, record 0 and the
    last `matching - 1` hold both, the others only a; records past m hold both."""
    return [{"a": i, "b": -i} if i == 0 or i > m - matching else {"a": i} for i in range(n or m)]


THRESHOLD = {2: 2, 3: 3, 4: 3, 5: 4, 10: 7, 20: 14, 30: 21, 49: 35, 50: 35}


@pytest.mark.parametrize("m", range(2, 51))
def test_tolerant_threshold(m):
    t = (7 * m + 9) // 10
    assert THRESHOLD.get(m, t) == t
    at, below = tolerant(m, t), tolerant(m, t - 1)
    assert sum("b" in r for r in at) == t  # the builder's own count
    assert dumps(at) == table(at)
    assert dumps(below) == plain(below)
    if m == 50:  # records past the sample are never counted
        assert dumps(tolerant(50, 34, 80)) == plain(tolerant(50, 34, 80))
        assert dumps(tolerant(50, 35, 80)) == table(tolerant(50, 35, 80))


class Pair(pydantic.BaseModel):
    a: int
    b: int


class Key(str):
    pass


TEN = [{"a": i, "b": i} for i in range(10)]
NESTED = [[1], {"k": 1}, (1,), b"x", Pair(a=1, b=2), [], {}]
DETECTION = [  # (list, written as a table?)
    ([], False), ([{"a": 1}], False), ([{}, {}], False), ([{"a": 1}, {"a": 2}], True), ([1, 2], False),
    ([{"a": 1, "b": 2}, {"b": 3, "a": 4}], True),  # matched by key; columns in the first record's order
    ([{"a": "\u00e9 x'\u20ac\U0001f600/"}, {"a": 1.5}], True), ([{"a": True}, {"a": 2**70}], True),
    ([{Key("a"): 1}, {"a": 2}], True), ([{"a": 1, "b": Key("x")}, {Key("a"): 2, "".join("b"): 3}], True),
    ([{"id": 1, "name": "a"}, {"".join("id"): 2, "".join(["na", "me"]): "b"}], True),  # equal keys, other objects
    (TEN[:9] + [{"a": 9, "c": 9}], False),  # as many keys as columns, one of them no column
    ([{"a": 1, "b": 2}, defaultdict(int, a=3)], False),
    (TEN[:9] + [defaultdict(int, a=3)], True),  # its missing "b" is missing, not 0
    (TEN[:4] + [{"a": 4}] + TEN[5:], True), ([{"a": 1, "b": 2}, {"a": 3}, {"b": 4}, {"a": 5, "b": 6}], False),
    ([{"a": 1}, {"a": 2, "b": 3}, {"a": 4, "b": 5}], False),  # b is no column: a table would lose it
    (TEN + [{"a": 10, "b": 10, "c": 10}], False), ([{"a": 1}, {"a": 2, 3: 4}], False),
    # wide cells written, then undone with the rest of the table
    ([{"a": "\u20ac", "b": "\U0001f600"}] + TEN[1:] + [{"a": "\u00e9", "b": 10, "c": 10}], False),
    ([{1: "a"}, {1: "b"}], False), ([{"a": 1, 2: 3}, {"a": 1, 2: 3}], False),  # keys by str() in the array
    (TEN + [5], False), (TEN + ["x"], False), (TEN + [Pair(a=1, b=2)], False), (TEN + [None], False),
    (TEN + [[TEN[0]]], False), (tolerant(50, 35, 60) + [7], False), (tolerant(50, 35, 60) + [{"a": 1, "c": 2}], False),
    *[(TEN[:i] + [{"a": i, "b": v}] + TEN[i + 1:], False) for i in (0, 9) for v in NESTED],
    *[(TEN[:i] + [{"a": i, "b": f"x{c}y"}] + TEN[i + 1:], False) for i in (0, 9) for c in "\t\n\r\",:;[\\]{|}"],
    (tolerant(50, 40)[:49] + [{"a": 49, "b": "x;y"}], False),  # last record of the tolerant sample
    # past the sample anything goes in a record: its cells are written as values
    (TEN + [{"a": [1, {"k": "v;]"}], "b": "x,y"}, {"a": {"c": "\n"}, "b": (1, b"\x01", Pair(a=1, b=2))}], True),
    (tolerant(50, 35, 50) + [{"a": "|", "b": [[]]}], True),
]


@pytest.mark.parametrize("value, is_table", DETECTION)
def test_which_lists_become_tables(value, is_table):
    assert dumps(value) == (table(value) if is_table else plain(value))
    assert dumps(value, ivy_grid=False) == plain(value)
    assert all("b" not in r for r in value if isinstance(r, defaultdict))


def nest(value, levels):
    for _ in range(levels):
        value = [value]
    return value


T = table(IDX)
DEPTH = [
    ({"t": IDX, "u": [IDX, {"v": IDX}]}, {}, f'{{"t":{T},"u":[{T},{{"v":{T}}}]}}'),
    ({"t": IDX}, {"indent": 2}, '{\n  "t": ' + table(IDX, 1, indent=2) + "\n}"),
    ([[IDX]], {"indent": 1}, "[\n [\n  " + table(IDX, 2, indent=1) + "\n ]\n]"),
    ({"t": IDX}, {"multiline_ivy": True, "indent": 2}, '{\n  "t": [2]{id,x}:\n    1, 10\n    2, 20\n}'),
    ([], {"indent": 2}, "[]"), ({"t": []}, {"indent": 2}, '{\n  "t": []\n}'),
    (nest(IDX, 255), {}, "[" * 255 + T + "]" * 255),  # its cells at the deepest level allowed
    (TEN + [{"a": 10, "b": IDX}], {}, "[11: a, b; " + "; ".join(f"{i}, {i}" for i in range(10)) + f"; 10, {T} ]"),
    # Rows after a table nested in a cell keep their own columns.
    (TEN + [{"a": 10, "b": IDX}, {"a": 11, "b": 11}, {"a": 12, "b": [{"z": 1}, {"z": 2}]}, {"a": 13, "b": 13}], {},
     "[14: a, b; " + "; ".join(f"{i}, {i}" for i in range(10)) + f"; 10, {T}; 11, 11; 12, [2: z; 1; 2 ]; 13, 13 ]"),
]


@pytest.mark.parametrize("value, options, expected", DEPTH)
def test_tables_at_depth(value, options, expected):
    assert dumps(value, **options) == expected


class V2(pydantic.BaseModel):
    id: int
    name: str


class V1(pydantic.v1.BaseModel):
    id: int
    name: str


@dataclasses.dataclass
class DC:
    id: int
    name: str


class Tags(pydantic.BaseModel):
    id: int
    tags: list[str]


class Raises(pydantic.BaseModel):
    id: int = 0

    def model_dump(self, **kw):
        raise KeyError("boom")


def rec(i, name="n"):
    return {"id": i, "name": name}


MODELS = [  # (list, the records written as a table, or None for a plain array)
    ([V2(id=1, name="a"), V2(id=2, name="Ivan")], [rec(1, "a"), rec(2, "Ivan")]),
    ([V1(id=1, name="a"), V1(id=2, name="b")], [rec(1, "a"), rec(2, "b")]),
    ([DC(1, "a"), DC(2, "b")], [rec(1, "a"), rec(2, "b")]),
    ([V2(id=1, name="a"), rec(2), DC(3, "c"), V1(id=4, name="d")], [rec(1, "a"), rec(2), rec(3, "c"), rec(4, "d")]),
    ([DC(i, "x") for i in range(60)], [rec(i, "x") for i in range(60)]),
    ([Tags(id=1, tags=["x"]), Tags(id=2, tags=[])], None), ([V2(id=1, name="a"), Pair(a=1, b=2)], None),
    ([V2(id=i, name="x") for i in range(10)] + [Tags(id=10, tags=[])], None),  # unsampled, with a key that is no column
    ([V2(id=i, name="x") for i in range(10)] + [DC(10, "y")], [rec(i, "x") for i in range(10)] + [rec(10, "y")]),
    ([V2(id=i, name="x") for i in range(10)] + [{"id": 10, "name": []}], [rec(i, "x") for i in range(10)] + [rec(10, [])]),
    ([rec(1), V2(id=2, name="b")], None),  # a first element that is a record: no conversion tried
]


@pytest.mark.parametrize("options", [{}, {"bare_strings": True}, {"indent": 2}, {"multiline_ivy": True}], ids=str)
@pytest.mark.parametrize("value, records", MODELS)
def test_models_and_dataclasses(value, records, options):
    k = options.get("indent")
    assert dumps(value, **options) == (table(records, **options) if records else json.dumps(
        jsonable(value), ensure_ascii=False, indent=k, separators=None if k else (",", ":")))
    if records:
        assert dumps({"k": value}, **options).count(table(records, 1, **options)) == 1


@pytest.mark.parametrize("value", [
    [Raises(), V2(id=1, name="a")], [V2(id=1, name="a"), Raises()], [DC(1, "a"), Raises()], TEN + [Raises()],
    TEN + [{"a": 1, "b": Raises()}], [{"a": 1, "b": 2}, {"a": 1, "b": 2, "c": Raises()}],
])
def test_a_failing_conversion_propagates(value):
    with pytest.raises(KeyError, match="boom"):
        dumps(value)
    assert dumps(IDX) == T


class Shrinker:
    """Shortens the list that holds it to `keep` elements when converted."""

    def __init__(self, target, keep, value=None):
        self.target, self.keep, self.value = target, keep, value

    def model_dump(self):
        del self.target[self.keep:]
        return rec(self.keep, "s") if self.value is None else self.value


@pytest.mark.parametrize("keep", range(5))
def test_a_list_that_shrinks_while_materialised(keep):
    lst = [DC(0, "a"), None, V2(id=2, name="b"), V1(id=3, name="c")]
    lst[1] = Shrinker(lst, keep)
    converted = [rec(0, "a"), rec(keep, "s"), rec(2, "b"), rec(3, "c")]
    # the last element's conversion shortens nothing: the list stays whole and qualifies
    assert dumps(lst) == (table(converted) if keep == 4 else plain(converted[:keep]))


@pytest.mark.parametrize("keep", [0, 5, 10, 11, 12, 13])
def test_a_list_that_shrinks_while_its_table_is_written(keep):
    lst = TEN + [{"a": 10, "b": None}, {"a": 11, "b": 11}, {"a": 12, "b": 12}]
    lst[10]["b"] = Shrinker(lst, keep, value=f"{keep}\U0001f600")  # what is undone leaves the text no wider
    after = TEN + [{"a": 10, "b": f"{keep}\U0001f600"}, {"a": 11, "b": 11}, {"a": 12, "b": 12}]
    assert dumps(lst) == (table(after) if keep == 13 else plain(after[:keep]))
    assert dumps(["after"]) == '["after"]'


class Change:
    """Changes the record that holds it when converted: the row sees the record as it is then."""

    def __init__(self, change):
        self.change = change

    def model_dump(self):
        self.change(self.record)
        return 0


def readd(r):  # same size; the entry stored again after the slot it left
    r["b"] = r.pop("b") + 1


@pytest.mark.parametrize("change, after", [
    (lambda r: r.update(c=5), {"a": 0, "b": 2, "c": 5}),  # a key that is no column: a plain array
    (lambda r: r.update(b=7), {"a": 0, "b": 7}), (readd, {"a": 0, "b": 3}),
])
def test_a_record_changed_while_its_row_is_written(change, after):
    lst = TEN + [{"a": Change(change), "b": 2}, {"a": 11, "b": 11}]
    lst[10]["a"].record = lst[10]
    expected = TEN + [after, {"a": 11, "b": 11}]
    assert dumps(lst) == (table(expected) if len(after) == 2 else plain(expected))


class LoneKey(str):
    def __str__(self):
        return "k"


ENCODE, DEEP = ValueError("Failed to encode string as UTF-8"), ValueError("Object too deeply nested (max 256 levels)")
LONE = [  # (value, options, what dumps gives: a text or the exception it raises)
    ([{LoneKey("\ud800"): 1}, {LoneKey("\ud800"): 2}], {}, '[{"k":1},{"k":2}]'),  # a column with no UTF-8 form
    ([{LoneKey("\U0001f600\ud800"): 1}, {LoneKey("\U0001f600\ud800"): 2}], {}, '[{"k":1},{"k":2}]'),  # and no wider str
    ([{"a": 1, LoneKey("x\udfff"): 2}, {"a": 1, LoneKey("x\udfff"): 3}], {}, '[{"a":1,"k":2},{"a":1,"k":3}]'),
    ([{"\ud800": 1}, {"\ud800": 2}], {}, ENCODE),
    ([{"a": "\ud800"}, {"a": "x"}], {}, ENCODE), ([{"a": "x"}, {"a": "\u00e9\ud800"}], {"bare_strings": True}, ENCODE),
    (TEN + [{"a": 1, "b": "\udc00"}], {"bare_strings": True}, ENCODE),
    ([{"a": "x\udfff"}, {"a": "y"}], {"lean": True}, ENCODE), ([{"a": "\U0001f600\ud800"}, {"a": "y"}], {"lean": True}, ENCODE),
    (TEN + [{"a": 1, "b": nest(0, 256)}], {}, DEEP), (nest(IDX, 256), {}, DEEP),
]


@pytest.mark.parametrize("value, options, result", LONE)
def test_texts_with_no_utf8_form_and_the_nesting_limit(value, options, result):
    if isinstance(result, str):
        assert dumps(value, **options) == result
    else:
        with pytest.raises(Exception) as info:
            dumps(value, **options)
        assert (type(info.value), str(info.value)) == (type(result), str(result))
    assert dumps(IDX) == T


# Leak checks: tracemalloc sees every object the writer creates or converts
# (the measurement is in conftest).


class Word(str):
    pass


class Count(int):
    pass


# Cells that a row may write in one go, and the near misses of each.
CELLS = [None, True, False, 0, -7, 2**30 - 1, 2**30, -(2**63), 2**64, Count(3), 0.5, -123.456, 1e300, float("nan"),
         float("-inf"), "", "a" * 31, "a" * 63, "a" * 64, "x, y", 'q"', "tab\t", "\u00e9", "\U0001f600", "null", "1", Word("w")]


@pytest.mark.parametrize("options", [{}, {"lean": True}, {"implicit_null": True}, {"bare_strings": True},
                                     {"delimiter": "tab"}, {"delimiter": "pipe", "row_count": False}], ids=str)
def test_cells_of_every_kind_read_back(options):
    for value in CELLS:
        records = [{"a": value, "b": 1}, {"a": 2, "b": value}, {"a": value, "b": value}]
        check_same(loads(dumps(records, **options)), json.loads(json.dumps(records)))
