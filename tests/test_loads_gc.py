"""Dicts of scalars leave the garbage collector's lists; containers bring them back."""

import gc

import pytest

from vesk import loads


@pytest.mark.parametrize("text, tracked", [
    ('{"a": 1, "b": "x", "c": 2.5, "d": null, "e": true}', False),
    ('{"a": 1, "b": [1]}', True),
    ('{"a": {"b": 1}}', True),
    ("{}", False),
])
def test_objects(text, tracked):
    assert gc.is_tracked(loads(text)) is tracked


def test_table_rows():
    rows = loads('[: a, b, c; 1, x, [2]; 3, "y", 4.5 ]')
    assert [gc.is_tracked(r) for r in rows] == [True, False]


def _record(n):
    return {f"key{i}": [i] if i % 3 == 0 else f"v{i}" for i in range(n)}


@pytest.mark.parametrize("form, n", [(form, n) for form in ("object", "nested", "table")
                                     for n in (0, 1, 5, 6, 10, 11, 12, 21, 22, 43, 100)
                                     if n or form != "table"])
def test_dicts_have_the_layout_json_gives(n, form):
    """Every dict has the string-key table and size that json.loads's
    key-by-key insertion gives, whether read as an object or a table row."""
    import json
    import sys

    record = _record(n)
    if form == "object":
        text, expected = json.dumps(record), json.loads(json.dumps(record))
        got = [loads(text)]
        expected = [expected]
    elif form == "nested":
        doc = {"outer": [record, {"inner": record}]}
        got_doc, exp_doc = loads(json.dumps(doc)), json.loads(json.dumps(doc))
        got = [got_doc, got_doc["outer"][0], got_doc["outer"][1], got_doc["outer"][1]["inner"]]
        expected = [exp_doc, exp_doc["outer"][0], exp_doc["outer"][1], exp_doc["outer"][1]["inner"]]
    else:
        names = list(record)
        cells = lambda r: ", ".join(json.dumps(r[k]) for k in names)
        text = f"[: {', '.join(names)}; {cells(record)}; {cells(record)} ]"
        got = loads(text)
        expected = [json.loads(json.dumps(record)) for _ in got]
    assert got == expected
    assert [sys.getsizeof(d) for d in got] == [sys.getsizeof(d) for d in expected]


# Reading holds the collector off and must leave it as it found it, on
# every way out: a value, an error, a cut, a table that indexes the text.
@pytest.mark.parametrize("call", [
    lambda: loads('[[1.5, 2], {"a": [3, "x"]}, [: a, b; 1, [2]; 3, 4 ]]'),
    lambda: loads('[: a; 1, 2; 3, 4 ]'),
    lambda: loads('[1, {"a": }]'),
    lambda: loads('[: a; 1; 2 ]', check_counts=True),
    lambda: loads('[1, [2, {"a": [3', partial=True),
    lambda: loads(b'[1, 2, \xff]'),
])
@pytest.mark.parametrize("enabled", [True, False])
def test_collector_left_as_found(call, enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            call()
        except ValueError:
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


def test_other_threads_never_see_the_collector_held_off():
    """A table whose rows run past its names is checked against an index of
    the text, built with the interpreter lock released: the threads that run
    meanwhile find the collector as the caller left it."""
    import threading

    text = "[: a; " + "1, 2; " * 200_000 + "]"
    seen = set()
    stop = threading.Event()

    def watch():
        while not stop.is_set():
            seen.add(gc.isenabled())

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for _ in range(20):
            with pytest.raises(ValueError, match="Row 1 has 2 cells"):
                loads(text)
    finally:
        stop.set()
        watcher.join()
    assert seen == {True}
