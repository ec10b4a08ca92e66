"""Strings of each width, invalid UTF-8 and escapes at every offset, and the
structural index shared by nested and successive calls."""

import ctypes
import gc
import json
import sys

import pytest

from conftest import pe
from vesk.vesk_core import loads

# The text C code reads from a str: NUL-terminated UTF-8, which an ASCII str
# hands out from its own characters.
as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
as_utf8.argtypes, as_utf8.restype = [ctypes.py_object], ctypes.c_char_p


def text_with(widest, length, at):
    body = "".join("xyz0123456789"[i % 13] for i in range(length))
    return body[:at] + widest + body[at:]


@pytest.mark.parametrize("widest", ["a", "\x7f", "\xe9", "\xff", "\u0100", "\u65e5", "\uffff", "\U0001f600", "\U0010ffff"], ids=ascii)
@pytest.mark.parametrize("length", [0, 14, 31, 32, 33, 64, 70])
def test_strings_of_each_width(widest, length):
    texts = [text_with(widest, length, at) for at in sorted({0, length // 2, length})]
    for t in texts + [t + "\n" for t in texts]:  # and through the escape reader
        doc = json.dumps({t: [t, t + "\xe9"]}, ensure_ascii=False)
        got, want = loads(doc.encode()), json.loads(doc)
        assert got == want
        for s, w in zip([*got, *got[t]], [*want, *want[t]]):  # the same width and length as the interpreter's
            assert (sys.getsizeof(s), hash(s), s.isascii(), as_utf8(s)) == (sys.getsizeof(w), hash(w), w.isascii(), w.encode())
    cell = text_with(widest, length, length // 2)
    assert loads(f"[: a; {cell}x ]".encode()) == [{"a": cell + "x"}]


@pytest.mark.parametrize("bad", [b"\x80", b"\xc0\xaf", b"\xc3", b"\xe0\x9f\xbf", b"\xe3\x81", b"\xed\xa0\x80",
                                 b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5", b"\xff", b"\xf0\x9f\x98"], ids=bytes.hex)
def test_invalid_utf8_at_every_offset(bad):
    base = ("ab\xe9cd\u65e5efgh\U0001f600" + "x" * 40 + "\u0100yz").encode()
    for at in range(len(base) + 1):
        content = base[:at] + bad + base[at:]
        for doc, message in [(b'[1, "' + content + b'"]', pe("Invalid UTF-8 in string", 4)), (b'["' + content + b'\\n"]', "Invalid UTF-8 in string"),
                             (b'{"' + content + b'": 1}', pe("Invalid UTF-8 in key", 2))]:
            with pytest.raises(ValueError) as info:
                loads(doc)
            assert str(info.value) == message


@pytest.mark.parametrize("escape, decoded", [("\\n", "\n"), ('\\"', '"'), ("\\u00e9", "\xe9"), ("\\\\", "\\"), ("\x01", None)])
def test_escape_at_every_offset(escape, decoded):
    for at in range(70):
        if decoded is None:  # a control byte in a string that holds an escape
            with pytest.raises(ValueError) as info:
                loads('["\\t' + "x" * at + escape + "y" * 40 + '"]')
            assert str(info.value) == pe(f"Unescaped control character at position {4 + at}", 4 + at)
        else:
            assert loads('["' + "x" * at + escape + "\xe9y" * 20 + escape + '"]') == ["x" * at + decoded + "\xe9y" * 20 + decoded]


def test_nested_loads_while_the_index_is_in_use():
    """The collector may run Python code in the middle of a parse: a loads
    there neither disturbs nor is disturbed by the outer one, though both
    read quoted keys through the structural index (schema-mapped)."""
    outer = ("[" + ", ".join(f'{{"k{i}\\"": ["s{i}", {{"q": "\\"{i}"}}], "x": {i}}}' for i in range(3000)) + "]").encode()
    inner = []

    def callback(phase, info):
        if phase == "start":
            inner.append(loads(b'[{"in\\"ner": ["x", "y\\"z", [1, 2]], "b": 2}]', schema=["p", "q"]))

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(50)
    try:
        value = loads(outer, schema=["key", "value"])
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(*old)
    assert inner and all(r == [{"p": ["x", 'y"z', [1, 2]], "q": 2}] for r in inner)
    assert value == [{"key": [f"s{i}", {"q": f'"{i}'}], "value": i} for i in range(3000)]


@pytest.mark.parametrize("sizes", [(200_000, 10, 50_000), (10, 300_000, 40)])
def test_documents_of_changing_size_on_one_thread(sizes):
    for n in sizes:  # the index a thread keeps between calls holds nothing of the last document
        value = loads("[" + ", ".join(f'"v{i}"' for i in range(n)) + "]")
        assert len(value) == n and value[0] == "v0" and value[-1] == f"v{n - 1}"
