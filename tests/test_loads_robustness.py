"""Cut and corrupted documents: loads returns a value or raises ValueError,
never anything else, and str input behaves as its UTF-8 bytes do."""

import pytest

from conftest import check_same
from vesk.vesk_core import loads

VESK_DOC = ('// lead\n{"name": "vesk", /* c */ bare_$-1: [1, -2.5e3, true, null, "\\"]",], "esc": "a\\"\\u00e9'
            '\\uD83D\\uDE00\\n", "raw": "tab\there \u00e9\U0001f600", n: {"x": [[], {}, [-Infinity, NaN]],},}')


def outcome(data):
    """A value or the ValueError's message; the same twice and, when data is
    UTF-8, for its text as well."""
    results = []
    for form in (data, data, data.decode(errors="replace")):
        try:
            results.append(("ok", loads(form)))
        except ValueError as e:
            results.append(("error", str(e)))
    utf8 = data.decode(errors="replace").encode() == data
    for other in results[1:3 if utf8 else 2]:
        assert other[0] == results[0][0], (data, results)
        check_same(other[1], results[0][1])
    return results[0]


@pytest.mark.parametrize("tail", ["", " \r\n\t "])
def test_every_prefix_of_a_vesk_document(tail):
    doc = (VESK_DOC + tail).encode()
    kind, full = outcome(doc)
    assert kind == "ok" and full["n"]["x"][2][0] == -float("inf")
    for n in range(len(doc)):
        kind, value = outcome(doc[:n])
        assert kind == ("ok" if n >= len(VESK_DOC.encode()) else "error"), (n, value)


@pytest.mark.parametrize("doc", [  # a small document; a flat array long enough to be sized from the index
    '[1, {"k": [2, 3]}, "s\\"", false, /* c */ {"\u00e9": "\U0001f600"}, 1e5, -0, {a: NaN,},]'.encode(),
    b"[" + b'"a,b", "x]", 12, -3.5, null, true, ' * 12 + b"]"])
def test_single_byte_corruptions(doc):
    seen = set()
    for i in range(len(doc)):
        for b in b'"{}[]:,\\/*\x00\xff0-ntfeE. \n\x80\xc3':
            seen.add(outcome(doc[:i] + bytes([b]) + doc[i + 1:])[0])
        outcome(doc[:i] + doc[i + 1:])  # the byte deleted
    assert seen == {"ok", "error"}


def test_nested_loads_while_the_index_is_in_use():
    """The collector may run Python code in the middle of a parse: a loads
    there must neither disturb nor be disturbed by the outer one, though
    both read quoted keys through the structural index (schema-mapped)."""
    import gc

    outer_doc = ('[' + ', '.join(f'{{"k{i}\\"": ["s{i}", {{"q": "\\"{i}"}}], "x": {i}}}' for i in range(3000)) + ']').encode()
    inner_doc = b'[{"in\\"ner": ["x", "y\\"z", [1, 2]], "b": 2}]'
    inner_results = []

    def callback(phase, info):
        if phase == "start":
            inner_results.append(loads(inner_doc, schema=["p", "q"]))

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(50)
    try:
        value = loads(outer_doc, schema=["key", "value"])
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(*old)
    assert inner_results, "the collector never ran during the parse"
    assert all(r == [{"p": ["x", 'y"z', [1, 2]], "q": 2}] for r in inner_results)
    assert value == [{"key": [f"s{i}", {"q": f'"{i}'}], "value": i} for i in range(3000)]


@pytest.mark.parametrize("sizes", [(200_000, 10, 50_000), (10, 300_000, 40)])
def test_documents_of_changing_size_on_one_thread(sizes):
    """The index memory a thread keeps from call to call holds nothing of
    the previous document."""
    for n in sizes:
        doc = "[" + ", ".join(f'"v{i}"' for i in range(n)) + "]"
        value = loads(doc)
        assert len(value) == n and value[0] == "v0" and value[-1] == f"v{n - 1}"
