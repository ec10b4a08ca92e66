"""Strings of each width (ASCII, one, two and four bytes per character) and
invalid UTF-8 at every offset of a string, with and without escapes, as
values, keys and table cells."""

import ctypes
import json
import sys

import pytest

from conftest import pe
from vesk.vesk_core import loads

# The text C code reads from a str: NUL-terminated UTF-8, which an ASCII
# str hands out from its own characters.
as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
as_utf8.argtypes, as_utf8.restype = [ctypes.py_object], ctypes.c_char_p

WIDEST = ["a", "\x7f", "\xe9", "\xff", "\u0100", "\u65e5", "\uffff", "\U0001f600", "\U0010ffff"]


def text_with(widest, length, at):
    body = "".join("xyz0123456789"[i % 13] for i in range(length))
    return body[:at] + widest + body[at:]


@pytest.mark.parametrize("widest", WIDEST, ids=ascii)
@pytest.mark.parametrize("length", [0, 14, 31, 32, 33, 64, 70])
def test_strings_of_each_width(widest, length):
    texts = [text_with(widest, length, at) for at in sorted({0, length // 2, length})]
    texts += [t + "\n" for t in texts]  # through the escape reader
    for t in texts:
        doc = json.dumps({t: [t, t + "\xe9"]}, ensure_ascii=False)
        got, want = loads(doc.encode()), json.loads(doc)
        assert got == want
        key = next(iter(got))
        for s, w in zip([key, *got[key]], [next(iter(want)), *want[key]]):
            assert sys.getsizeof(s) == sys.getsizeof(w), "the same width and length as the interpreter's"
            assert (hash(s), s.isascii(), as_utf8(s)) == (hash(w), w.isascii(), w.encode())
    cell = text_with(widest, length, length // 2)
    assert loads(f"[: a; {cell}x ]".encode()) == [{"a": cell + "x"}]


BAD = [b"\x80", b"\xc0\xaf", b"\xc3", b"\xe0\x9f\xbf", b"\xe3\x81", b"\xed\xa0\x80", b"\xf0\x8f\xbf\xbf",
       b"\xf4\x90\x80\x80", b"\xf5", b"\xff", b"\xf0\x9f\x98"]


@pytest.mark.parametrize("bad", BAD, ids=lambda b: b.hex())
def test_invalid_utf8_at_every_offset(bad):
    base = ("ab\xe9cd\u65e5efgh\U0001f600" + "x" * 40 + "\u0100yz").encode()
    for at in range(len(base) + 1):
        content = base[:at] + bad + base[at:]
        with pytest.raises(ValueError) as info:
            loads(b'[1, "' + content + b'"]')
        assert str(info.value) == pe("Invalid UTF-8 in string", 4)
        with pytest.raises(ValueError) as info:
            loads(b'["' + content + b'\\n"]')
        assert str(info.value) == "Invalid UTF-8 in string"
        with pytest.raises(ValueError) as info:
            loads(b'{"' + content + b'": 1}')
        assert str(info.value) == pe("Invalid UTF-8 in key", 2)


@pytest.mark.parametrize("escape, decoded", [("\\n", "\n"), ('\\"', '"'), ("\\u00e9", "\xe9"), ("\\\\", "\\")])
def test_escape_at_every_offset(escape, decoded):
    for at in range(70):
        doc = '["' + "x" * at + escape + "\xe9y" * 20 + escape + '"]'
        assert loads(doc) == ["x" * at + decoded + "\xe9y" * 20 + decoded]


def test_control_byte_at_every_offset_of_an_escaped_string():
    for at in range(70):
        doc = '["\\t' + "x" * at + "\x01" + "y" * 40 + '"]'
        with pytest.raises(ValueError) as info:
            loads(doc)
        position = 4 + at
        assert str(info.value) == pe(f"Unescaped control character at position {position}", position)
