"""format_hint: the five fixed prompt texts, written out independently of the extension's source."""

import pytest

from vesk.vesk_core import format_hint, loads

DEFAULT_TEXT = """Data is in VESK Ivy Grid format.
Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, row2val2, row2val3 ]
N is the optional row count prefix (may be omitted: [: col1, col2; ...]).
The first semicolon-separated segment is the header (field names).
Each subsequent semicolon-separated segment is one data record.
Values within each segment are comma-separated and correspond to the header fields in order.
Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]
Decode: {id: 1, name: 'Alice', score: 95}, {id: 2, name: 'Bob', score: 87}, ..."""
# Each \t is a backslash and "t": the text names the tab character, never contains one.
TAB_TEXT = r"""Data is in VESK Ivy Grid tab-delimited format.
Format: [: col1\tcol2\tcol3; row1val1\trow1val2\trow1val3; ... ]
Fields and values are separated by tab characters (\t).
Each semicolon-separated segment after the headers is one record.
Example: [: id\tname\tscore; 1\tAlice\t95; 2\tBob\t87 ]
Decode: map each tab-separated segment to the corresponding field names."""
ROW_COUNT_TEXT = """Data is in VESK Ivy Grid format with explicit row count.
Format: [N: col1, col2, col3; row1val1, row1val2, row1val3; row2val1, ... ]
where N is the total number of data rows and col1, col2, col3 are field names.
Each semicolon-separated segment after the first is one record.
Example: [3: id, name, score; 1, Alice, 95; 2, Bob, 87; 3, Carol, 92 ]
Decode: map each semicolon segment to {id: ..., name: ..., score: ...}."""
MULTILINE_TEXT = """Data is in VESK Multiline Ivy Grid format (TOON-compatible).
Header line: [N]{col1,col2,col3}: where N is the row count and col1,col2,col3 are field names.
Each following indented line is one row with values separated by commas.
Example:
  [3]{id,name,score}:
    1,Alice,95
    2,Bob,87
    3,Carol,92
Decode: each comma-separated row maps to {id: ..., name: ..., score: ...}."""
LEAN_TEXT = r"""Tables: [N:col1,col2;val1,val2;...] for N rows.
Values are bare, or a list, an object or a table.
Quote a value that holds , ; | ] \ or a line break, or reads as a number, true, false or null.
Empty means null.
Example: [2:id,name,team;1,Ann Lee,search;2,"Bob, Jr.",]"""


def test_lean_text_is_short_and_its_example_reads_as_it_says(o200k):
    assert len(o200k.encode(format_hint("lean"))) <= 90
    assert loads(LEAN_TEXT.rsplit("Example: ", 1)[1]) == [
        {"id": 1, "name": "Ann Lee", "team": "search"}, {"id": 2, "name": "Bob, Jr.", "team": None}]


@pytest.mark.parametrize("style, expected", [
    ("ivy_grid", DEFAULT_TEXT), ("tab", TAB_TEXT), ("ivy_grid_rowcount", ROW_COUNT_TEXT), ("multiline", MULTILINE_TEXT),
    ("lean", LEAN_TEXT),
    *[(style, DEFAULT_TEXT) for style in ["any", "", "TAB", " tab", "lean ", "tab\x00", "multiline\u00e9"]],
])
def test_style_selects_text(style, expected):
    assert type(format_hint(style)) is str and format_hint() == DEFAULT_TEXT
    assert format_hint(style) == format_hint(style=style) == format_hint(type("Str", (str,), {})(style)) == expected


@pytest.mark.parametrize("style, error, pattern", [
    *[(v, TypeError, f"^argument 'style': '{type(v).__name__}' object cannot be converted to 'PyString'$")
      for v in (None, 3, b"tab")], ("\ud800", UnicodeEncodeError, "surrogates not allowed"),
])
def test_bad_style(style, error, pattern):
    with pytest.raises(error, match=pattern):
        format_hint(style)


def test_docstring():
    assert format_hint.__doc__ == (
        "Return a concise format description for pasting into LLM system prompts.\n\n"
        "Use this to teach an LLM how to read VESK Ivy Grid data before sending it.\n\n"
        'Args:\n    style: One of "ivy_grid" (default), "ivy_grid_rowcount", "multiline", "tab", "lean"\n\n'
        "Returns:\n    A short natural-language description + example the LLM can use.\n\nExample:\n"
        "    >>> import vesk\n    >>> print(vesk.format_hint())\n    Data is in VESK Ivy Grid format. ...")
