"""Grid tables under stress: the 1,000,000-row limit, deep nesting, cut-short
tables, and every prefix and single-byte corruption of a few tables.

Checks that could crash the interpreter run in a child interpreter, so that a
crash shows up as a failed test (with the child's last input and traceback)
instead of ending the test run."""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import check_same
from vesk.vesk_core import loads

HERE = Path(__file__).resolve()
POSITION_SUFFIX = " (approximate position: \u00b132 bytes from "


def pe(message, position):
    return f"{message}{POSITION_SUFFIX}{position})"


def raises_exactly(data, message):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert type(info.value) is ValueError
    assert str(info.value) == message


def run_in_child(function, argument):
    """Call function(argument) from this module in a fresh interpreter and
    return its JSON-encoded result."""
    code = (
        "import faulthandler, json, sys\n"
        "faulthandler.enable()\n"
        f"sys.path.insert(0, {str(HERE.parent)!r})\n"
        f"import {HERE.stem} as m\n"
        f"print(json.dumps(m.{function}(json.loads(sys.stdin.read()))))\n"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code],
        input=json.dumps(argument),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, (
        f"child interpreter ended with status {proc.returncode}; stderr tail:\n{proc.stderr[-3000:]}"
    )
    return json.loads(proc.stdout.strip().splitlines()[-1])


# -------------------------------------------------------------- row limit
# "[: a;" followed by n ';' and ']' holds n rows (each ';' ends an empty row,
# nothing follows the last one).

LIMIT = 1_000_000


def rows_of_none(n, header="[: a;"):
    return header + ";" * n + "]"


ACCEPTED = [
    pytest.param(rows_of_none(LIMIT), LIMIT, None, id="1M-empty-rows"),
    # quoted ';' is not a row separator, so this is still 1,000,000 rows
    pytest.param("[: a;" + ";" * (LIMIT - 1) + '"x;y"]', LIMIT, "x;y", id="1M-rows-last-quoted"),
]


@pytest.mark.parametrize("text, rows, last", ACCEPTED)
def test_row_limit_accepts_one_million(text, rows, last):
    result = loads(text)
    assert len(result) == rows
    check_same(result[0], {"a": None})
    check_same(result[-1], {"a": last})
    assert all(r == {"a": None} for r in result[1:-1])


def test_semicolons_inside_quoted_and_escaped_cells_do_not_count():
    quoted = loads('[: a; "' + ";" * (2 * LIMIT) + '" ]')
    check_same(quoted, [{"a": ";" * (2 * LIMIT)}])
    escaped = loads("[: a; " + "x\\;" * (LIMIT + 1) + " ]")
    check_same(escaped, [{"a": "x;" * (LIMIT + 1)}])


OVER = [
    pytest.param(rows_of_none(LIMIT + 1), 5, id="1M+1-empty-rows"),
    pytest.param("[: a;" + ";" * LIMIT + "7]", 5, id="1M-empty-then-a-cell"),
    pytest.param(rows_of_none(LIMIT + 1, "[: abc ;"), 8, id="longer-header"),
    pytest.param(rows_of_none(3 * LIMIT), 5, id="3M"),
    pytest.param("[1, " + rows_of_none(LIMIT + 1) + "]", 9, id="nested-in-list"),
    pytest.param('{"t": [: a, "b;c";' + ";" * (LIMIT + 1) + "]}", 18, id="member-value"),
]


@pytest.mark.parametrize("text, position", OVER)
def test_row_limit_rejects_more(text, position):
    raises_exactly(text, pe("Ivy Grid exceeds 1M rows limit", position))


# ---------------------------------------------------------- deep nesting


def depth_outcomes(cases):
    """Child side: for each [text, schema] the outcome of loads, with the
    Python nesting depth of a successful result."""
    out = []
    for text, schema in cases:
        try:
            value = loads(text, schema=schema)
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            out.append([type(e).__name__, str(e)[:200]])
            continue
        depth = 0
        while isinstance(value, (list, dict)) and value:
            depth += 1
            value = value[0] if isinstance(value, list) else next(iter(value.values()))
        out.append(["ok", depth])
    return out


def grids(n):
    return "[: a; " * n + "1" + " ]" * n


DEEP = {
    # name: (text, schema, python depth of the result or None for an error)
    "grid+1023-lists": ("[: a; " + "[" * 1023 + "]" * 1023 + " ]", None, 2 + 1022),
    "grid+1024-lists": ("[: a; " + "[" * 1024 + "]" * 1024 + " ]", None, None),
    "grid+5000-lists": ("[: a; " + "[" * 5000 + "]" * 5000 + " ]", None, None),
    "grid+5000-lists-unclosed": ("[: a; " + "[" * 5000, None, None),
    "1024-grids": (grids(1024), None, 2 * 1024),
    "1025-grids": (grids(1025), None, None),
    "2000-grids": (grids(2000), None, None),
    "2000-grids-unclosed": ("[: a; " * 2000, None, None),
    "1023-lists-around-grid": ("[" * 1023 + "[: a; 1 ]" + "]" * 1023, None, 1023 + 2),
    "1024-lists-around-grid": ("[" * 1024 + "[: a; 1 ]" + "]" * 1024, None, None),
    "grid+3000-objects": ("[: a; " + '{"k": ' * 3000 + "1" + "}" * 3000 + " ]", None, None),
    "grid+3000-objects-schema": ("[: a; " + '{"k": ' * 3000 + "1" + "}" * 3000 + " ]", ["x"], None),
    "grid-cells-alternating": ("[: a; " + "[{k: [: a; " * 700 + "1" + " ]}]" * 700 + " ]", None, None),
    # brackets inside a quoted cell are not nesting
    "grid-quoted-brackets": ('[: a; "' + "[{" * 5000 + '" ]', None, 2),
}


@pytest.fixture(scope="module")
def deep_outcomes():
    names = list(DEEP)
    results = run_in_child("depth_outcomes", [[DEEP[n][0], DEEP[n][1]] for n in names])
    return dict(zip(names, results))


@pytest.mark.parametrize("name", list(DEEP))
def test_deep_nesting(deep_outcomes, name):
    kind, detail = deep_outcomes[name]
    depth = DEEP[name][2]
    if depth is None:
        assert kind == "ValueError", (kind, detail)
        assert "nested too deeply" in detail, detail
    else:
        assert (kind, detail) == ("ok", depth)


# ------------------------------------------------------- cut-short tables

TRUNCATED = [
    "[: a; 1; 2",
    "[: a, b; 1,",
    "[: a, b; 1, ",
    "[: a; x",
    "[: a; x;",
    '[: a; "]"',
    '[: "a',
    "[: a; [1, 2",
    "[: a; [: b; 1 ]",
    '[: a; {"k": 1',
    '[: a; {"k": "]"',
    "[[: a; 1",
    '{"t": [: a; 1',
    '[: a; [: b; "]]]"; "[[" ; "}" ]',  # the inner table is never closed
    '[: a; [: b; "]]]"; "[[" ]; "}" ',
]


@pytest.mark.parametrize("text", TRUNCATED, ids=[repr(t) for t in TRUNCATED])
def test_truncated_tables(text):
    raises_exactly(text, pe("Unexpected end of input", len(text)))


TABLES_IN_TABLES = [
    ('[: a; [: b; "]]]"; "[[" ]; "}" ]', [{"a": [{"b": "]]]"}, {"b": "[["}]}, {"a": "}"}]),
    ('[: a, b; [: c; "{"; "]" ], "[" ; [: d; ; "}" ], x ]',
     [{"a": [{"c": "{"}, {"c": "]"}], "b": "["}, {"a": [{"d": None}, {"d": "}"}], "b": "x"}]),
    ('[: "]", "["; [: "}"; "{" ], "]" ]', [{"]": [{"}": "{"}], "[": "]"}]),
]


@pytest.mark.parametrize("text, expected", TABLES_IN_TABLES, ids=[repr(t)[:50] for t, _ in TABLES_IN_TABLES])
def test_tables_in_tables_with_unbalanced_quoted_brackets(text, expected):
    check_same(loads(text), expected)


# ------------------------------------------ every prefix and corruption

FUZZ_DOCS = {
    "quoted-brackets": (
        '[: id, "na;me]", tags; 1, "a]b;c[", x\\;y; 2, "{[}", [1, 2]; 3, "", z ]',
        [
            {"id": 1, "na;me]": "a]b;c[", "tags": "x;y"},
            {"id": 2, "na;me]": "{[}", "tags": [1, 2]},
            {"id": 3, "na;me]": "", "tags": "z"},
        ],
    ),
    "nested": (
        '{"t": [2: k, v; a, [: x, y; 1, "]"; 2, [3] ]; b, {"q": [: z; ; 1 ]} ], "u": [[: w; "[" ]]}',
        {
            "t": [
                {"k": "a", "v": [{"x": 1, "y": "]"}, {"x": 2, "y": [3]}]},
                {"k": "b", "v": {"q": [{"z": None}, {"z": 1}]}},
            ],
            "u": [[{"w": "["}]],
        },
    ),
    "mixed": (
        '[: a | b\tc; /* ; ] */ -1.5e3 | NaN\ttrue; "\\u00e9\\\\\\"" | x\\,y | null; \u00e9t\u00e9 ]',
        [
            {"a": -1500.0, "b": math.nan, "c": True},
            {"a": "\u00e9\\\"", "b": "x,y", "c": None},
            {"a": "\u00e9t\u00e9", "b": None, "c": None},
        ],
    ),
}
REPLACEMENTS = b'"[]{};,|\\\t\n:x\xff'


def _outcome(data):
    """("ok", repr) or ("error", message) or ("bad", description)."""
    try:
        value = loads(data)
    except ValueError as e:
        if type(e) is not ValueError:
            return "bad", f"{type(e).__name__} (a ValueError subclass): {e}"
        return "error", str(e)
    except BaseException as e:  # noqa: BLE001 - any other exception is a finding
        return "bad", f"{type(e).__name__}: {e}"
    return "ok", repr(value)


def fuzz_report(doc):
    """Child side: load every prefix and every single-byte corruption of doc."""
    data = doc.encode("utf-8")
    problems, counts = [], {"checked": 0, "ok": 0, "error": 0}

    def check(sample, must_fail):
        sys.stderr.write(f"TRY {sample!r}\n")
        first = _outcome(sample)
        counts["checked"] += 1
        if first[0] == "bad":
            problems.append([repr(sample), first[1]])
            return
        counts[first[0]] += 1
        if must_fail and first[0] == "ok":
            problems.append([repr(sample), "a proper prefix was accepted: " + first[1][:100]])
        if _outcome(sample) != first:
            problems.append([repr(sample), "a second call gave a different outcome"])
        if first[0] == "error" and POSITION_SUFFIX in first[1]:
            pos = int(first[1].rsplit(" ", 1)[1].rstrip(")"))
            if pos > len(sample):
                problems.append([repr(sample), f"position {pos} beyond the input: {first[1]}"])
        try:
            text = sample.decode("utf-8")
        except UnicodeDecodeError:
            return
        if _outcome(text) != first:
            problems.append([repr(sample), f"str input differs: {_outcome(text)} vs {first}"])

    for n in range(len(data)):
        check(data[:n], must_fail=True)
    for i in range(len(data)):
        for b in REPLACEMENTS:
            if data[i] != b:
                check(data[:i] + bytes([b]) + data[i + 1:], must_fail=False)
    return {"problems": problems[:20], "n_problems": len(problems), **counts}


@pytest.mark.parametrize("name", list(FUZZ_DOCS))
def test_fuzz_documents_read_as_expected(name):
    doc, expected = FUZZ_DOCS[name]
    check_same(loads(doc), expected)
    check_same(loads(doc.encode("utf-8")), expected)


@pytest.fixture(scope="module")
def fuzz_reports():
    names = list(FUZZ_DOCS)
    reports = run_in_child("fuzz_reports_for", [FUZZ_DOCS[n][0] for n in names])
    return dict(zip(names, reports))


def fuzz_reports_for(docs):
    return [fuzz_report(d) for d in docs]


@pytest.mark.parametrize("name", list(FUZZ_DOCS))
def test_prefixes_and_corruptions_fail_cleanly(fuzz_reports, name):
    report = fuzz_reports[name]
    data = FUZZ_DOCS[name][0].encode("utf-8")
    corruptions = sum(1 for c in data for b in REPLACEMENTS if c != b)
    assert report["checked"] == len(data) + corruptions
    assert report["n_problems"] == 0, report["problems"]
    # single-byte changes both keep some documents readable and break others
    assert report["ok"] > 0 and report["error"] > len(data)
