"""Grid tables under stress: the row limit, deep nesting, random tables read
back, and every prefix and single-byte corruption of two tables."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_same
from test_grid_syntax import pe
from vesk.vesk_core import loads

LIMIT = 1_000_000
HEAD = '[: "a;b", c;'  # each ';' after the header ends a row


def test_row_limit_accepts_one_million():
    rows = loads(HEAD + ";" * (LIMIT - 1) + '"x;y" ]')
    assert len(rows) == LIMIT and rows[0] == {"a;b": None, "c": None}
    check_same(rows[-1], {"a;b": "x;y", "c": None})


@pytest.mark.parametrize("before, last, after", [("", "7", ""), ("[1, ", "7", "]"), ('{"t": ', "7", "}"),
                                                 ("", "/* c */", ""), ("", "tom", "")])
def test_row_limit_rejects_one_more(before, last, after):
    """A comment after the last `;` counts as a row; the limit is reported
    before an error in the rows."""
    with pytest.raises(ValueError) as info:
        loads(before + HEAD + ";" * LIMIT + last + " ]" + after)
    assert str(info.value) == pe("Ivy Grid exceeds 1M rows limit", len(before + HEAD))


@pytest.mark.parametrize("cell, value", [('"' + ";" * LIMIT * 2 + '"', ";" * LIMIT * 2), ("x\\;" * (LIMIT + 1), "x;" * (LIMIT + 1)),
                                         ("/*" + ";" * (LIMIT + 1) + "*/ 1", 1)])
def test_semicolons_that_end_no_row_are_not_counted(cell, value):
    check_same(loads(f"[: a; {cell} ]"), [{"a": value}])


@pytest.mark.parametrize("text, depth", [
    ("[: a; " + "[" * 1023 + "]" * 1023 + " ]", 1024), ("[: a; " + "[" * 1024 + "]" * 1024 + " ]", None),
    ("[: a; " * 1024 + "1" + " ]" * 1024, 2048), ("[: a; " * 1025 + "1" + " ]" * 1025, None), ("[: a; " * 2000, None),
    ("[" * 1023 + "[: a; 1 ]" + "]" * 1023, 1025), ("[" * 1024 + "[: a; 1 ]" + "]" * 1024, None),
    ("[: a; " + '{"k": ' * 3000 + "1" + "}" * 3000 + " ]", None), ('[: a; "' + "[{" * 5000 + '" ]', 2),
], ids=lambda v: repr(v)[:30])
def test_nesting_depth(text, depth):
    if depth is None:
        with pytest.raises(ValueError, match="nested too deeply"):
            loads(text)
        return
    value, found = loads(text), 0
    while isinstance(value, (list, dict)) and value:
        value, found = value[0] if isinstance(value, list) else next(iter(value.values())), found + 1
    assert found == depth


def write_table(names, rows, delimiter):
    line = lambda values: delimiter.join(json.dumps(v) for v in values)
    return f"[{len(rows)}: " + "; ".join([line(names)] + [line(r) for r in rows]) + "; ]"


@st.composite
def records(draw):
    names = draw(st.lists(st.text(max_size=8), min_size=1, max_size=6, unique=True))
    scalar = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=40)
    return names, draw(st.lists(st.lists(scalar, min_size=len(names), max_size=len(names)), max_size=6))


@settings(max_examples=150, deadline=None)
@given(records(), st.sampled_from([",", ", ", "\t", " | "]))
def test_random_records_read_back(case, delimiter):
    names, rows = case
    expected = [dict(zip(names, r)) for r in rows]
    text = write_table(names, rows, delimiter)
    check_same(loads(text.encode()), expected)
    check_same(loads(f"[: t, u; {text}, {text}; 1 ]"), [{"t": expected, "u": expected}, {"t": 1, "u": None}])


DOCS = ['[: id, "na;me]", tags; 1, "a]b;c[", x\\;y; 2, "{[}", [1, 2]; 3, "", z /* ; */ ]',
        '{"t": [2: k, v; a, [: x, y; 1, "]"; 2, [3] ]; b, {"q": [: z; ; \u00e9 ]} ], "u": [[: w; "[" ]]}']


def outcome(data):
    try:
        return "ok", repr(loads(data))
    except ValueError as e:
        assert type(e) is ValueError, repr(e)
        return "error", str(e)


@pytest.mark.parametrize("doc", [d.encode() for d in DOCS], ids=["flat", "nested"])
def test_prefixes_and_corruptions_fail_cleanly(doc):
    assert outcome(doc)[0] == "ok"
    for n in range(len(doc)):
        assert outcome(doc[:n])[0] == "error", doc[:n]
    kinds = set()
    for i in range(len(doc)):
        for b in b'"[]{};,|\\\t\n:x\xff':
            sample = doc[:i] + bytes([b]) + doc[i + 1:]
            kinds.add(outcome(sample)[0])
            if b < 0x80 and doc[i] < 0x80:
                assert outcome(sample.decode()) == outcome(sample), sample
    assert kinds == {"ok", "error"}
