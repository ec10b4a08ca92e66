"""Grid tables under stress: the row limit, the padding limit, deep nesting,
random tables read back, and every prefix and single-byte corruption of two
tables."""

import json
import re
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_same, reads_back_bare
from test_grid_syntax import pe
from vesk.vesk_core import Stream, loads

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


PAD_PER_BYTE, PAD_ALLOWANCE = 8, 65_536  # None cells a document may pad: 8 a byte of text before the row, plus this
BYTES_PER_BYTE, BYTES_ALLOWANCE = 512, 4 << 20  # the README's bound on what loads builds
PADDING = re.compile(r"Short rows need (\d+) padding None cells, more than the (\d+) allowed for the first (\d+) "
                     r"bytes of text \(8 a byte plus 65536\), in the table at position (\d+) \(approximate position: "
                     r"\u00b132 bytes from \4\)")


def padding_error(message, table):
    """Whether `message` is the padding limit's error for the table at `table`, its figures consistent."""
    found = PADDING.fullmatch(message)
    return bool(found) and int(found[4]) == table and int(found[1]) > int(found[2]) == PAD_PER_BYTE * int(found[3]) + PAD_ALLOWANCE


def streamed(pieces, schema=None):
    """What a Stream fed `pieces` gives: ("ok", document) or ("error", message)."""
    stream = Stream(schema=schema)
    try:
        for piece in pieces:
            stream.feed(piece)
        return "ok", stream.close()
    except ValueError as e:
        return "error", str(e)


@pytest.mark.parametrize("width, before, after, padded, row", [
    (1000, "", "", 0, ";"), (9, '{"x": {"y": [: a, b; 1 ]}, "t": ', "}", 1, ";"), (4000, "[[7], ", "]", 0, ";"),
    (1000, "", "", 0, "[: a, b; 1 ];")])
def test_padding_limit_is_exact(width, before, after, padded, row):
    """Rows padded with a None a name but their first (after `padded` cells
    before the table, and a cell's own), up to the last the limit allows,
    then one more: loads and a stream agree, fed the text before the rows a
    byte at a time and each row cut before its `;`."""
    head = before + "[: " + ", ".join(f"c{i}" for i in range(width)) + ";"
    first, own = ([{"a": 1, "b": None}], 1) if row.startswith("[") else (None, 0)
    rows, cells = 0, width - (first is not None) + own  # cells padded a row
    while padded + cells * (rows + 1) <= PAD_PER_BYTE * (len(head) + len(row) * (rows + 1)) + PAD_ALLOWANCE:
        rows += 1
    pieces = lambda n: [*head] + [row[:-1], ";"] * n + ["]" + after]
    value = loads(head + row * rows + "]" + after)
    table = value["t"] if after == "}" else value[-1] if after else value
    assert len(table) == rows and table[-1] == {"c0": first} | dict.fromkeys(f"c{i}" for i in range(1, width))
    assert streamed(pieces(rows)) == ("ok", value)
    with pytest.raises(ValueError) as info:
        loads(head + row * (rows + 1) + "]" + after)
    assert padding_error(str(info.value), len(before)), str(info.value)
    assert streamed(pieces(rows + 1)) == ("error", str(info.value))


@st.composite
def padded_tables(draw):
    """(text, schema, expected, padded cells): a table of 1 to 2,000 names whose
    rows hold random numbers of cells, in runs of equal rows; a cell may hold
    a table with short rows of its own or an object that the schema maps."""
    width = draw(st.integers(1, 2000) | st.integers(1000, 2000))
    lines = draw(st.booleans())
    # rows of any length, nearly empty, or short of a trailing cell or two
    cells = st.integers(0, width) | st.integers(0, 3) | st.integers(max(0, width - 2), width)
    runs = draw(st.lists(st.tuples(cells, st.integers(1, 300), st.sampled_from(["7", "table", "object"])),
                         min_size=1, max_size=6))
    inner = [{"a": 1, "b": None}, {"a": None, "b": None}, {"a": 2, "b": 3}]
    first = {"7": ("7", 7), "table": ("[: a, b; 1; ; 2, 3 ]", inner), "object": ('{"k": 1, "l": [2]}', {"p": 1, "q": [2]})}
    body, expected, padded = [], [], 0
    for n, (cells, repeat, kind) in enumerate(runs):
        # on lines of their own rows hold a cell (blank lines are none); a
        # last row holds one (after the last `;` only blanks are no row)
        cells = max(cells, 1 if lines or n == len(runs) - 1 else 0)
        repeat = min(repeat, 1 + 5_000 // (cells + 1))  # some 25 KB of text at most
        written = [first[kind][0]] + ["7"] * (cells - 1) if cells else []
        row = dict.fromkeys(f"c{i}" for i in range(width))
        row.update(zip(row, [first[kind][1]] + [7] * (cells - 1) if cells else []))
        body += [", ".join(written)] * repeat
        expected += [row] * repeat
        padded += repeat * (width - cells + (3 if cells and kind == "table" else 0))
    header = ", ".join(f"c{i}" for i in range(width))
    if lines:
        text = "[:\n" + header + "".join(f"\n {r}" for r in body) + "\n]"
    else:
        text = "[: " + header + "".join(f"; {r}" for r in body) + " ]"
    return text.encode(), ["p", "q"], expected, padded


@settings(max_examples=30, deadline=None)
@given(padded_tables(), st.integers(16, 4096))
def test_padding_stays_within_its_limit(case, chunk):
    """A table within the limit reads exactly; past it, the padding error at
    the table. What loads builds stays within the README's bound, and a
    stream fed in chunks ends as loads does."""
    text, schema, expected, padded = case
    tracemalloc.start()
    try:
        got = ("ok", loads(text, schema=schema))
    except ValueError as e:
        got = ("error", str(e))
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak <= BYTES_PER_BYTE * len(text) + BYTES_ALLOWANCE
    if padded <= PAD_ALLOWANCE:
        assert got[0] == "ok"
    if padded > PAD_PER_BYTE * len(text) + PAD_ALLOWANCE:
        assert got[0] == "error"
    if got[0] == "ok":
        # check_same's walk would take most of the test's time on these sizes
        assert got[1] == expected and [list(r) for r in got[1]] == [list(r) for r in expected]
    else:
        assert padding_error(got[1], 0), got[1]
    assert streamed([text[i:i + chunk] for i in range(0, len(text), chunk)], schema) == got


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


