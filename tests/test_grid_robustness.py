"""Grid tables under stress: the row limit, deep nesting, random tables read
back, and every prefix and single-byte corruption of two tables."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_same, reads_back_bare
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


VOCABULARY = [  # names, places, dates and times, ids, emails, units, versions, phones, answers
    "Nancy Drew", "Ivan Kowalski", "O'Brien", "Jos\u00e9 \u00c1lvarez", "\u674e\u4f1f", "tom", "fred", "Nora", "Inez",
    "New York", "S\u00e3o Paulo", "Null Island", "Truth or Consequences", "2025-03-14", "14/03/2025", "March 14, 2025",
    "10:30", "09:05:59", "2025-03-14T10:30:00Z", "A-1024", "0042", "#17", "user_7", "frank.muller@example.com",
    "12kg", "3.5 m", "-4\u00b0C", "1e3 Hz", "2.1.3", "v1.0", "555-0134", "+1 555 0100", "yes", "no", "N/A", "-", "none",
    "nullable", "Infinity War", "NaN-free", "true story", "1 2 3", "x/y", "a:b", "50%", "$5", "(none)",
    # text that is, or holds, what a cell may not be bare
    "42", "-7", "1e5", "true", "null", "NaN", "-Infinity", "", " padded ", "a, b", "a;b", "x|y", "C:\\temp", 'say "hi"',
    '"quoted"', "[1]", "{x}", "a}b", "line\nbreak", "tab\there", "// c", "/* c */",
]
FIELDS = ["id", "name", "city", "due", "first name", "e-mail", "\u00e9t\u00e9", "x y"]
cell_values = (st.sampled_from(VOCABULARY) | st.text(max_size=12) | st.none() | st.booleans()
               | st.integers(-10**20, 10**20) | st.floats(allow_nan=False))


def written(value, lines, must):
    """A cell as a model writes it: bare where it reads back so, else quoted."""
    if value is None:
        return "null" if must else ""
    if isinstance(value, str) and reads_back_bare(value, lines):
        return value
    return json.dumps(value, ensure_ascii=False)


@st.composite
def model_tables(draw):
    names = draw(st.lists(st.sampled_from(FIELDS), min_size=1, max_size=4, unique=True))
    rows = draw(st.lists(st.lists(cell_values, min_size=len(names), max_size=len(names)), min_size=1, max_size=5))
    layout = draw(st.sampled_from(["inline", "lines", "counted"]))
    delimiter = draw(st.sampled_from([",", ", ", " | ", "\t"]))
    lines = layout != "inline"
    # An empty cell where it could not be told apart: a row of one (a blank
    # line, or inline a blank last row) or, inline, after a TAB (filler).
    must = lambda i: len(names) == 1 and (lines or i == len(rows) - 1) or (delimiter == "\t" and not lines)
    cells = [delimiter.join(written(v, lines, must(i)) for v in row) for i, row in enumerate(rows)]
    header = [n if reads_back_bare(n, lines, cell=False) else json.dumps(n, ensure_ascii=False) for n in names]
    if layout == "inline":
        text = f"[{len(rows)}: " + delimiter.join(header) + "".join(f"; {c}" for c in cells) + " ]"
    elif layout == "lines":
        text = f"[{len(rows)}:\n  " + delimiter.join(header) + "".join(f"\n  {c}" for c in cells) + "\n]"
    else:
        text = f"[{len(rows)}]{{" + ",".join(header) + "}:" + "".join(f"\n  {c}" for c in cells)
    return text, [dict(zip(names, row)) for row in rows]


@settings(max_examples=300, deadline=None)
@given(model_tables())
def test_model_written_tables_read_back(case):
    text, expected = case
    check_same(loads(text), expected)
    check_same(loads(f'{{"t": {text}, "n": 1}}'), {"t": expected, "n": 1})
    check_same(loads(f"[{text}, {text}]"), [expected, expected])


