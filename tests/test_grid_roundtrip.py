"""Property: lists of flat records written as tables by a small writer in
this file read back equal to the records."""

import json
import re

from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_same
from vesk.vesk_core import loads

# ------------------------------------------------------------------ writer

DELIMITERS = [", ", ",", "\t", " | ", "|", " ,  "]
ROW_SEPARATORS = ["; ", ";", ";\n  ", " ;\n", ";\t"]


def write_scalar(value, ensure_ascii, bare_ok):
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if bare_ok and BARE_CELL.fullmatch(value):
        return value
    return json.dumps(value, ensure_ascii=ensure_ascii)


def write_table(keys, records, draw, bare):
    """Inline table: `[N: name, ...; cell, ...; ... ]`, the delimiters and
    row separators drawn per position."""
    ensure_ascii = draw(st.booleans())
    prefix = draw(st.sampled_from(["[%d: " % len(records), "[: ", "[%d : " % len(records), "[ :"]))
    names = []
    for k in keys:
        names.append(k if bare and BARE_NAME.fullmatch(k) else json.dumps(k, ensure_ascii=ensure_ascii))
    header = "".join(
        name + (draw(st.sampled_from(DELIMITERS)) if i < len(names) - 1 else "")
        for i, name in enumerate(names)
    )
    rows = []
    for record in records:
        cells = [write_scalar(record[k], ensure_ascii, bare) for k in keys]
        rows.append("".join(c + (draw(st.sampled_from(DELIMITERS)) if i < len(cells) - 1 else "") for i, c in enumerate(cells)))
    text = prefix + header + ";" + draw(st.sampled_from([" ", "", "\n  "]))
    for i, row in enumerate(rows):
        text += row
        if i < len(rows) - 1:
            text += draw(st.sampled_from(ROW_SEPARATORS))
    if rows and draw(st.booleans()):
        text += ";"  # a ';' before the ']' adds no row
    return text + " ]"


# ------------------------------------------------------------- strategies

# Strings that read back as bare cells: no typed first byte (t f n I N digit
# '-' '"' '[' '{'), no delimiter, no backslash, no surrounding whitespace.
BARE_CELL = re.compile(r"[A-HJ-MO-Zabcdeg-mo-su-z_][A-Za-z0-9_]*(?: [A-Za-z0-9_]+)*")
BARE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?: [A-Za-z0-9_]+)*")

tricky_text = st.text(
    st.characters(codec="utf-8") | st.sampled_from(list(',;|][{}"\\\t\n\r :/*')),
    max_size=12,
)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(10**25), 10**25)
    | st.floats(allow_nan=False, allow_infinity=False)
    | tricky_text
)
_WORD = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"
_words = st.lists(st.text(_WORD, min_size=1, max_size=5), max_size=2)


def _bare(first_letters):
    return st.builds(
        lambda first, rest, more: " ".join([first + rest, *more]),
        st.sampled_from(first_letters),
        st.text(_WORD, max_size=6),
        _words,
    )


bare_strings = _bare([c for c in _WORD if c not in "tfnIN0123456789"])
bare_names = _bare([c for c in _WORD if not c.isdigit()])


@st.composite
def tables(draw, bare):
    name_text = (bare_names | tricky_text.filter(bool)) if bare else tricky_text.filter(bool)
    keys = draw(st.lists(name_text, min_size=1, max_size=6, unique=True))
    values = (scalars | bare_strings) if bare else scalars
    rows = draw(st.lists(st.tuples(*[values] * len(keys)), max_size=8))
    records = [dict(zip(keys, row)) for row in rows]
    return keys, records, write_table(keys, records, draw, bare)


# --------------------------------------------------------------- properties


@settings(max_examples=100, deadline=None)
@given(tables(bare=False))
def test_quoted_tables_read_back(case):
    keys, records, text = case
    check_same(loads(text), records)
    check_same(loads(text.encode("utf-8")), records)


@settings(max_examples=100, deadline=None)
@given(tables(bare=True))
def test_tables_with_bare_cells_read_back(case):
    keys, records, text = case
    check_same(loads(text), records)


@settings(max_examples=30, deadline=None)
@given(st.lists(tables(bare=False), min_size=1, max_size=3))
def test_tables_as_cells_and_list_elements_read_back(cases):
    """The same tables as elements of a list, and as cells of an outer table."""
    as_list = "[" + ", ".join(t for _, _, t in cases) + "]"
    check_same(loads(as_list), [r for _, r, _ in cases])
    outer = "[: t; " + "; ".join(t for _, _, t in cases) + " ]"
    check_same(loads(outer), [{"t": r} for _, r, _ in cases])
