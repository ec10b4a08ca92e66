"""Grid tables at their limits: one million rows, the padding of short rows, and nesting depth."""

import re

import pytest

from conftest import check_same, pe
from test_partial import outcome
from vesk.vesk_core import Stream, loads

LIMIT = 1_000_000
HEAD = '[: "a;b", c;'  # each ';' after the header ends a row


def test_row_limit_accepts_one_million():
    rows = loads(HEAD + ";" * (LIMIT - 1) + '"x;y" ]')
    assert len(rows) == LIMIT and rows[0] == {"a;b": None, "c": None}
    check_same(rows[-1], {"a;b": "x;y", "c": None})


# A comment after the last `;` counts as a row; the limit is reported before an error in the rows.
@pytest.mark.parametrize("before, last, after", [("", "7", ""), ("[1, ", "7", "]"), ('{"t": ', "7", "}"),
                                                 ("", "/* c */", ""), ("", "tom", "")])
def test_row_limit_rejects_one_more(before, last, after):
    with pytest.raises(ValueError) as info:
        loads(before + HEAD + ";" * LIMIT + last + " ]" + after)
    assert str(info.value) == pe("Ivy Grid exceeds 1M rows limit", len(before + HEAD))


@pytest.mark.parametrize("cell, value", [('"' + ";" * LIMIT * 2 + '"', ";" * LIMIT * 2),
                                         ("x\\;" * (LIMIT + 1), "x;" * (LIMIT + 1)),
                                         ("/*" + ";" * (LIMIT + 1) + "*/ 1", 1)])
def test_semicolons_that_end_no_row_are_not_counted(cell, value):
    check_same(loads(f"[: a; {cell} ]"), [{"a": value}])


PAD_PER_BYTE, PAD_ALLOWANCE = 8, 65_536  # None cells a document may pad: 8 a byte of text before the row, plus this
PADDING = re.compile(r"Short rows need (\d+) padding None cells, more than the (\d+) allowed for the first (\d+) "
                     r"bytes of text \(8 a byte plus 65536\), in the table at position (\d+) \(approximate position: "
                     r"\u00b132 bytes from \4\)")


def padding_error(message, table):  # the padding limit's error for the table at `table`, its figures consistent
    found = PADDING.fullmatch(message)
    allowed = PAD_PER_BYTE * int(found[3]) + PAD_ALLOWANCE if found else None
    return bool(found) and int(found[4]) == table and int(found[1]) > int(found[2]) == allowed


def streamed(pieces):
    stream = Stream()
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
    # Rows padded with a None a name but their first (after `padded` cells before the table, and a cell's own),
    # up to the last the limit allows, then one more: loads and a stream (fed in pieces) agree.
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
    kind, message = outcome(head + row * (rows + 1) + "]" + after)
    assert kind == "error" and padding_error(message, len(before)), message
    assert streamed(pieces(rows + 1)) == ("error", message)


# A million brackets go no deeper than the limit, which test_stack_depth reaches on each path; depth is given back.
@pytest.mark.parametrize("text, depth", [
    *[(o * 1_000_000, None) for o in ("[", '{"a":', "{a:", '[{"a":')], (b"[" * 1_000_000 + b"]" * 1_000_000, None),
    ("[" + ",".join(["[" * 1023 + "]" * 1023] * 4) + "]", 1023),
    ("[: a; " + "[" * 1023 + "]" * 1023 + " ]", 1024), ("[: a; " + "[" * 1024 + "]" * 1024 + " ]", None),
    ("[: a; " * 1025 + "1" + " ]" * 1025, None), ("[: a; " * 2000, None),  # 1024 tables read: test_stack_depth
    ("[" * 1023 + "[: a; 1 ]" + "]" * 1023, 1025), ("[" * 1024 + "[: a; 1 ]" + "]" * 1024, None),
    ("[: a; " + '{"k": ' * 3000 + "1" + "}" * 3000 + " ]", None), ('[: a; "' + "[{" * 5000 + '" ]', 2),
], ids=lambda v: repr(v)[:30])
def test_nesting_depth(text, depth):
    (kind, value), found = outcome(text), 0
    while kind == "ok" and isinstance(value, (list, dict)) and value:
        value, found = value[0] if isinstance(value, list) else next(iter(value.values())), found + 1
    assert (kind, found) == ("ok", depth) if depth else kind == "error" and "nested too deeply" in value, value
