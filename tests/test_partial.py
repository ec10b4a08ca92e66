"""loads with partial=, check_counts= and fenced=: cuts only grow, wrong text fails alike, counts hold, fences."""

import math
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_decode_error, check_same, pe
from vesk.vesk_core import loads

SETTINGS = settings(max_examples=150, deadline=None)
EOF, TRAIL = "Unexpected end of input", "trailing-strings"

# (text, value) pairs built from the reading rules, not dumps: comments, bare keys and cells, escapes all appear.
STRING_PIECES = [("a", "a"), ("Z q", "Z q"), ("\u00e9", "\u00e9"), ("\u65e5", "\u65e5"), ("\U0001f600", "\U0001f600"),
                 ('\\"', '"'), ("\\\\", "\\"), ("\\n", "\n"), ("\\/", "/"), ("\\u00e9", "\u00e9"),
                 ("\\ud83d\\ude00", "\U0001f600"), (",;]}", ",;]}"), ("/*", "/*")]
strings = st.lists(st.sampled_from(STRING_PIECES), max_size=6).map(
    lambda ps: ('"' + "".join(t for t, _ in ps) + '"', "".join(v for _, v in ps)))
numbers = (st.integers(-10**30, 10**30).map(lambda i: (str(i), i))
           | st.floats(allow_nan=False, allow_infinity=False).map(lambda f: (repr(f), f))
           | st.sampled_from([("NaN", math.nan), ("Infinity", math.inf), ("-Infinity", -math.inf), ("-0.0", -0.0)]))
scalars = strings | numbers | st.sampled_from([("true", True), ("false", False), ("null", None)])
FILLER = st.sampled_from(["", "", " ", "\n  ", "\r\n", "\t", "/* c \u00e9 */", "// c ; ]\n"])
keys = st.sampled_from(["id", "x_1", "$ref", "max-tokens", "n2"]).map(lambda k: (k, k)) | strings
# Bare cells start with no byte that opens a typed value; `\` escapes the next byte.
BARE_CELLS = st.sampled_from([("Alice", "Alice"), ("Bob Jr", "Bob Jr"), ("x\\,y", "x,y"), ("a@b.c", "a@b.c"),
                              ("True", "True"), ("\u00e9t\u65e5", "\u00e9t\u65e5"), ("q\\;\\]", "q;]")])
HEADER_NAMES = st.sampled_from(["id", "name", "first name", "e-mail"]).map(lambda k: (k, k)) | strings


def enclosed(draw, brackets, parts):
    comma = draw(st.sampled_from(["", ","])) if parts else ""  # a trailing comma
    return brackets[0] + ",".join(parts) + comma + draw(FILLER) + brackets[1]


@st.composite
def arrays(draw, children):
    items = draw(st.lists(children, max_size=4))
    return enclosed(draw, "[]", [draw(FILLER) + t + draw(FILLER) for t, _ in items]), [v for _, v in items]


@st.composite
def objects(draw, children):
    members = draw(st.lists(st.tuples(keys, children), max_size=4, unique_by=lambda m: m[0][1]))
    parts = [f"{draw(FILLER)}{k}{draw(FILLER)}:{draw(FILLER)}{t}{draw(FILLER)}" for (k, _), (t, _) in members]
    return enclosed(draw, "{}", parts), {k: v for (_, k), (_, v) in members}


@st.composite
def tables(draw, cells):
    """A table with or without its (true) row count; short rows are padded with None."""
    names = draw(st.lists(HEADER_NAMES, min_size=1, max_size=4, unique_by=lambda n: n[1]))
    row = st.lists(cells | st.just(("", None)), min_size=1, max_size=len(names)).filter(lambda r: any(t for t, _ in r))
    rows = draw(st.lists(row, min_size=1, max_size=4))
    sep = draw(st.sampled_from([", ", ",", " | ", "\t"]))
    if sep == "\t":  # blanks before a cell are skipped, a TAB among them: an empty cell is written null
        rows = [[("null", None) if t == "" else (t, v) for t, v in row] for row in rows]
    count = draw(st.sampled_from(["", str(len(rows)), f" {len(rows)} "]))
    body = "".join(";" + draw(st.sampled_from([" ", "", " /* r */ "])) + sep.join(t for t, _ in row) for row in rows)
    text = f"[{count}:" + " " + sep.join(t for t, _ in names) + body + draw(st.sampled_from([" ]", "]", "; ]"]))
    return text, [{n: (row[i][1] if i < len(row) else None) for i, (_, n) in enumerate(names)} for row in rows]


values = st.recursive(scalars, lambda c: arrays(c) | objects(c) | tables(c | BARE_CELLS), max_leaves=10)


@st.composite
def documents(draw, top=values):
    """(text, value, open_end): open_end when the text ends in a top-level number, which may still grow."""
    text, value = draw(top)
    lead, tail = draw(FILLER), draw(st.sampled_from(["", "", " ", "\n", "/* end */", "// end"]))
    bom = draw(st.sampled_from(["", "", "", "\ufeff"]))
    return bom + lead + text + tail, value, tail == "" and type(value) in (int, float)


# Whether `later` keeps all of `earlier`: containers hold its items (keys in order) unchanged but the last, which
# may have grown; with `trailing` a last string may have grown at its end. Equal reprs: types and float bits agree.
def grows(earlier, later, trailing):
    if type(earlier) is not type(later):
        return False
    if isinstance(earlier, (list, dict)):
        ks = list(earlier) if isinstance(earlier, dict) else list(range(len(earlier)))
        kept = list(later)[:len(ks)] if isinstance(later, dict) else list(range(min(len(ks), len(later))))
        return ks == kept and all(repr(earlier[k]) == repr(later[k]) for k in ks[:-1]) and (
            not ks or grows(earlier[ks[-1]], later[ks[-1]], trailing))
    return later.startswith(earlier) if isinstance(earlier, str) and trailing else repr(earlier) == repr(later)


def outcome(data, **options):
    try:
        return "ok", loads(data, **options)
    except ValueError as e:
        return "error", str(e)


def bad(ch, pos):
    return pe(f"Invalid character '{ch}' at position {pos}", pos)


def check_reads(data, expected, **options):
    """loads gives `expected`, or (a str) refuses with the DecodeError of that message."""
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            loads(data, **options)
        check_decode_error(info.value, expected, data)
    else:
        check_same(loads(data, **options), expected)


def forms(data):  # str data and its UTF-8 bytes, or bytes data and the str it encodes where it is UTF-8
    try:
        return [data, data.decode() if isinstance(data, bytes) else data.encode()]
    except UnicodeDecodeError:
        return [data]


@SETTINGS
@given(doc=documents(), where=st.floats(0, 1), wrong=st.sampled_from(list("}]{[,:;\"\\/x#'`")))
def test_cuts_only_add_and_wrong_text_fails_as_without_partial(doc, where, wrong):
    text, value, open_end = doc
    data = text.encode()
    check_same(loads(data, partial=False, check_counts=True, fenced=False), value)  # the generated counts are true
    check_same(loads(text, lines=True), [value])  # a value may run over lines
    for mode in (True, TRAIL):
        earlier = None
        for k in range(len(data) + 1):
            kind, got = outcome(data[:k], partial=mode)
            assert repr(loads(data[:k], lines=True, partial=mode)) == repr([got] if kind == "ok" else [])
            if kind == "error":  # only the no-value error, and only before any value
                assert (got, earlier) == (pe(EOF, k), None), (data[:k], mode)
                continue
            assert earlier is None or grows(earlier, got, mode == TRAIL), (data[:k], mode, earlier, got)
            if mode == TRAIL:  # the trailing string is the only addition to what True gives
                kind_true, got_true = outcome(data[:k], partial=True)
                assert kind_true == "error" or grows(got_true, got, False), (data[:k], got_true, got)
            earlier = got
        assert earlier is None if open_end else repr(earlier) == repr(value)
    # A cut of wrong text that plain loads refuses as it refuses the whole, well before the cut, is wrong, not short.
    i = int(where * (len(text) - 1))
    corrupted = text[:i] + wrong + text[i + 1:]
    kind, message = outcome(corrupted)
    check_same([*outcome(corrupted.encode())], [kind, message])  # str reads as its UTF-8 bytes, wrong or not
    found = re.search(r"from (\d+)\)$", message) if kind == "error" and not message.startswith(EOF) else None
    for k in range(i + 1, len(corrupted) + 1) if found else ():
        cut = corrupted[:k]
        if len(cut.encode()) >= int(found[1]) + 8 and outcome(cut) == ("error", message):
            assert outcome(cut, partial=True) == outcome(cut, partial=TRAIL) == ("error", message), cut


# UNSURE: a bare cell at the cut, kept or not with TRAIL; a top-level string kept with TRAIL: a LINES row.
NO_VALUE, SAME, UNSURE = object(), object(), object()
PARTIAL = [  # text, partial=True, partial="trailing-strings" (cuts in numbers and filler: the property above)
    ("[1, 2 ", [1, 2], SAME), ("[1, 2,", [1, 2], SAME), ("[1, [2, [3", [1, [2, []]], SAME), ("[-Inf", [], SAME),
    ("[NaN", [], SAME), ("[tr", [], SAME), ("[true", [True], SAME), ("[false, nu", [False], SAME), ('{"a"', {}, SAME),
    ('{"a": 1, "b": ', {"a": 1}, SAME), ('{"a": 1, bare', {"a": 1}, SAME), ('{"a": 1, "b": tr', {"a": 1}, SAME),
    ('{"a": [1, {"b": [', {"a": [1, {"b": []}]}, SAME), ('{"a": "xy', {}, {"a": "xy"}), ('["a\\', [], ["a"]),
    ('["x", "a\\u00', ["x"], ["x", "a"]), (b'["a\xc3', [], ["a"]), (b'["\xf0\x9f\x98', [], [""]),
    ('["a\\ud83d\\ude', [], ["a"]), ("[: id, name; 1, Al", [{"id": 1}], UNSURE),
    ("[: id, name; 1, ", [{"id": 1}], SAME), ("[: id, name; 1, Alice;", [{"id": 1, "name": "Alice"}], SAME),
    ("[: id, name; 1;", [{"id": 1, "name": None}], SAME), ('{"t": [: a', {"t": []}, SAME),
    ("[: a, b; 1, [: c; 2; 3", [{"a": 1, "b": [{"c": 2}]}], SAME),
    ('[: a, b; x, "y', [{"a": "x"}], [{"a": "x", "b": "y"}]), ("[1/* c */ /", [1], SAME),
    ("[1, 2/* c *//", [1, 2], SAME), ('"ab', NO_VALUE, UNSURE), ("", NO_VALUE, SAME), ("tru", NO_VALUE, SAME),
]


def counts(declared, held, pos):
    return pe(f"Table declares {declared} rows but holds {held}", pos)


A1, A12, FENCED = [{"a": 1}], [{"a": 1}, {"a": 2}], {"fenced": True}
# Text wrong before its end (then cut short) fails as without partial (more: the first property).
WRONG = [
    ("```json\n[1 2]\n```", FENCED, bad("2", 11)), ("\r\n ```vesk\r\n[1 2]\r\n```", FENCED, bad("2", 15)),
    ("```json\n[1 2]\n```", {}, bad("`", 0)), ("Here it is:\n```json\n[1]\n```", FENCED, bad("H", 0)),
    ("[2]{a}:\n 1, x y", {}, pe("Row 1 has 2 cells but the header names 1", 12))]  # the end cuts the surplus cell
COUNTS = [  # under check_counts; an open table fails only once it holds more rows than it declares
    ("[1: a; 1; 2 ]", {}, counts(1, 2, 0)), ("[1, [3: a; 1 ]]", {}, counts(3, 1, 4)), ("[0: a; ]", {}, []),
    ("[: a, t; 1, [2: b; x ] ]", {}, counts(2, 1, 12)), ("[2: a; [1: b; x ]; [3: b; y; z ] ]", {}, counts(3, 2, 19)),
    ("[ 99999999999999999999999 : a; 1 ]", {}, counts("99999999999999999999999", 1, 0)),
    ("[2: a; [1: b; x ]; [2: b; y; z ] ]", {}, [{"a": [{"b": "x"}]}, {"a": [{"b": "y"}, {"b": "z"}]}]),
    ("[2: a; 1; 2;", {"partial": True}, A12), ("[3: a; 1;", {"partial": True}, A1),
    ("[2: a; 1; 2; 3;", {"partial": True}, counts(2, 3, 0)), ("[3: a; 1; 2 ]", {"partial": True}, counts(3, 2, 0)),
    ('{"t": [1: a; 1; 2;', {"partial": TRAIL}, counts(1, 2, 6)), ('{"t": [1: a; 1;', {"partial": TRAIL}, {"t": A1})]
FENCED_WHOLE = [
    ("```json\n[1, 2]\n```\n", [1, 2]), ("```\n{a: 1}\n```", {"a": 1}), ("```vesk\n[: a; 1 ]\n```", A1),
    (" \n\t```vesk\r\n[: a; 1 ]\r\n```\r\nAfter it: [ {", A1), ("```json\n[1]\n```\n```json\n[2]\n```", [1]),
    ("```json\n// c\n[1] // d\n``` trailing words", [1]), ("```json\n[1]", [1]), ("[1, 2]", [1, 2]), ("  [1]  ", [1])]
FENCED_CUT = [
    ("```json\n[1, 2, 3", [1, 2]), ("```json\n[1]\n``", [1]), ("```json\n[1]\n`", [1]), ("```json\n{a: 1, b", {"a": 1}),
    ("`", pe(EOF, 1)), ("``", pe(EOF, 2)), (" \n``", pe(EOF, 4)), ("```js", pe(EOF, 5)), ("```json\n", pe(EOF, 8))]


# JSON Lines: blanks and comments are filler; a value may run over lines, the next starts on a line of its own.
TAIL_LINE = "Trailing content after value on its line"
LINES = [  # data, options, values or error; only line feeds end lines; cut lines read on
    (b'[: a; 1 ]\n{id: 3} // a note\n/* c */ 4', {}, [A1, {"id": 3}, 4]), (b'{"a": "b\n{"a": 2}\n', {}, bad("a", 11)),
    ('"\u2028 \\n"\n"\u00e9"\n'.encode(), {}, ["\u2028 \n", "\u00e9"]), (b'{"a": 1,\n{"a": 2}\n', {}, bad("{", 9)),
    (b'{\n"a": 1\n} {"a": 2}', {}, pe(TAIL_LINE, 11)), (b"1 /* c */ 2\n", {}, pe(TAIL_LINE, 10)),
    (b'{"a": 1}\n{"a": 2', {}, pe(EOF, 16)), (b"// only a note\n", {}, []), (b" \n\r\n\t\n", {}, []),
    # the other reading options apply to the values of the lines as to the elements of a list
    (b'{"a": 1, "b": 2}\n{"x": 3}\n[{"y": 4}]\n', {"schema": ["id", "v"]}, [{"id": 1, "v": 2}, {"id": 3}, [{"id": 4}]]),
    (b"[1: a; 1 ]\n[2: a; 1 ]\n", {"check_counts": True}, pe("Table declares 2 rows but holds 1", 11)),
    (b'{"a": 1}\n{"b": [1, 2', {"partial": True}, [{"a": 1}, {"b": [1]}]), (b"1\n2", {"partial": True}, [1]),
    (b"1 2\n3", {"partial": True}, pe(TAIL_LINE, 2)), (b'"ab"\n{"c": "de', {"partial": TRAIL}, ["ab", {"c": "de"}]),
    (b'```jsonl\n{"a": 1}\n\n{"a": 2}\n```\nThat is all.', {"fenced": True}, [{"a": 1}, {"a": 2}]),
    (b'```jsonl\n{"a": 1}\n{"a" 2}\n```', {"fenced": True}, bad("2", 23)),
]


@pytest.mark.parametrize("text, options, expected", [
    *[(t, o | {"partial": mode}, e) for t, o, e in WRONG for mode in (False, True, TRAIL)],
    *[(t, o | {"check_counts": True}, e) for t, o, e in COUNTS], *[(t, FENCED, v) for t, v in FENCED_WHOLE],
    *[(t.encode(), FENCED | {"partial": True}, v) for t, v in FENCED_WHOLE + FENCED_CUT],
    *[(t, o | {"lines": True}, e) for t, o, e in LINES],
    *[(t, {"schema": []}, e) for t, e in [("{}", {}), ('{"a": 1}', pe("Expected '}' at position 1", 1))]],
    *[(t, {"partial": mode}, pe(EOF, len(t.encode() if isinstance(t, str) else t)) if want is NO_VALUE else want)
      for t, e, trailing in PARTIAL for mode, want in ((True, e), (TRAIL, e if trailing is SAME else trailing))
      if want is not UNSURE]])
def test_reading_options(text, options, expected):
    for form in forms(text):
        check_reads(form, expected, **options)
