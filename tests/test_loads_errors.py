"""Exact exception types, messages and positions raised by loads."""

import pytest

from vesk.vesk_core import loads


def pe(message, position):
    """A parse error: message, then the approximate-position suffix (the
    sign is U+00B1)."""
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def eof(position):
    return pe("Unexpected end of input", position)


def bad(ch, position):
    return pe(f"Invalid character '{ch}' at position {position}", position)


def esc(ch, position):
    return pe(f"Invalid escape sequence '\\{ch}' at position {position}", position)


def uni(position):
    return pe(f"Invalid Unicode escape at position {position}", position)


ERRORS = [
    # --- nothing but filler / after the value
    (b"", eof(0)),
    (b"  \n", eof(3)),
    (b"/* open", eof(7)),
    (b"1 2", pe("Trailing content after document", 2)),
    (b"nullx", pe("Trailing content after document", 4)),
    # --- structure
    (b"[1 2]", bad("2", 3)),
    (b"[1", eof(2)),
    (b'{"a": 1', eof(7)),
    (b'{"abc', eof(1)),
    (b'{"a": "b', eof(6)),
    (b'["abc', eof(1)),
    (b'"abc', eof(0)),
    (b'"', eof(0)),
    (b"nul", bad("n", 0)),
    (b"True", bad("T", 0)),
    (b"{,}", bad(",", 1)),
    (b"[,]", bad(",", 1)),
    (b"{-a: 1}", bad("-", 1)),
    (b'{"a" 1, "b": 2}', bad("1", 5)),
    (b'{"a" x: 1}', bad("x", 5)),
    # --- invalid characters are shown as the character of the byte's value
    (b"\xe9", bad("\u00e9", 0)),
    (b"[1, \xe9]", bad("\u00e9", 4)),
    (b"\xff", bad("\u00ff", 0)),
    (b"\x80", bad("\x80", 0)),
    (b"[\x00]", bad("\x00", 1)),
    (b"\x0c1", bad("\x0c", 0)),
    (b"\x0b1", bad("\x0b", 0)),
    (b"[1,\xc2\xa0 2]", bad("\u00c2", 3)),
    ("\u00e9".encode(), bad("\u00c3", 0)),
    (b"@", bad("@", 0)),
    (b"'x'", bad("'", 0)),
    (b"{\xe9: 1}", bad("\u00e9", 1)),
    (b'{"a": 1, \x80: 2}', bad("\x80", 9)),
    # --- escapes: position is the byte after the backslash
    (b'"\\x"', esc("x", 2)),
    (b'"\\\'"', esc("'", 2)),
    (b'"\\0"', esc("0", 2)),
    (b'"\\a"', esc("a", 2)),
    (b'"\\U0041"', esc("U", 2)),
    (b'"\\ "', esc(" ", 2)),
    (b'"\\\t"', esc("\t", 2)),
    (b'"\\\n"', esc("\n", 2)),
    (b'"\\\xe9"', esc("\u00e9", 2)),
    (b'"\\\xc3\xa9"', esc("\u00c3", 2)),
    (b'["ok\\n", "ab\\q"]', esc("q", 13)),
    (b'{"k\\x": 1}', esc("x", 4)),
    # --- \u escapes
    (b'"\\uD83D"', uni(1)),
    (b'"\\uD83Dx"', uni(1)),
    (b'"\\uD83D\\n"', uni(1)),
    (b'"\\uD83D\\u0041"', uni(1)),
    (b'"\\uD83D\\uD83D"', uni(1)),
    (b'"\\uDE00"', uni(1)),
    (b'"\\uDFFF\\uD800"', uni(1)),
    (b'"abc\\uDC00"', uni(4)),
    (b'["x", "ab\\uD800"]', uni(9)),
    (b'"\\n\\uDBFF"', uni(3)),
    (b'{"\\uDFAA": 0}', uni(2)),
    (b'"\\u12G4"', uni(5)),
    (b'"\\uG234"', uni(3)),
    (b'"\\u123"', uni(6)),
    (b'"\\u 123"', uni(3)),
    (b'"\\uD83D\\uDE0G"', uni(12)),
    (b'"\\uD83D\\u"', uni(9)),
    # --- end of input inside escaped strings
    (b'"\\"\\u12', eof(7)),
    (b'"\\u12', eof(0)),
    (b'"\\"abc', eof(6)),
    (b'"\\"\\', eof(4)),
    (b'"\\"', eof(3)),
    (b'["\\"]', eof(5)),
    (b'"\\"\\u', eof(5)),
    (b'"\\"\\uD83D\\u', eof(11)),
    (b'"\\"\\n\xe6\x97\x97', eof(8)),
    (b'"\\"\xf0', eof(4)),
    # --- raw control characters in a string that has an escape
    (b'"a\\n\tb"', pe("Unescaped control character at position 4", 4)),
    (b'"\x01\\n"', pe("Unescaped control character at position 1", 1)),
    (b'["\\t\n"]', pe("Unescaped control character at position 4", 4)),
    # --- invalid UTF-8
    (b'["\xff"]', pe("Invalid UTF-8 in string", 1)),
    (b'["ok", "a\xe9b"]', pe("Invalid UTF-8 in string", 7)),
    (b'"\xc0\xaf"', pe("Invalid UTF-8 in string", 0)),
    (b'"\xed\xa0\x80"', pe("Invalid UTF-8 in string", 0)),
    (b'"\xf4\x90\x80\x80"', pe("Invalid UTF-8 in string", 0)),
    (b'"\xe6\x97"', pe("Invalid UTF-8 in string", 0)),
    (b'"' + b"x" * 40 + b'\x80"', pe("Invalid UTF-8 in string", 0)),
    (b'["\\n\xff"]', "Invalid UTF-8 in string"),
    (b'"\xe9\\t"', "Invalid UTF-8 in string"),
    (b'"\\u00e9\xc3"', "Invalid UTF-8 in string"),
    (b'{"\xff": 1}', pe("Invalid UTF-8 in key", 2)),
    (b'{"a": 1, "b\xc3": 2}', pe("Invalid UTF-8 in key", 10)),
    (b'{"' + b"k" * 70 + b'\xff": 1}', pe("Invalid UTF-8 in key", 2)),
    (b'[{"ok": 1}, {"\xed\xa0\x80": 2}]', pe("Invalid UTF-8 in key", 14)),
    # --- numbers: bare messages without position
    (b"-", "Invalid number"),
    (b"[--1]", "Invalid number"),
    (b"01", "Invalid number: leading zeros not allowed"),
    (b"[1.]", "Invalid number: decimal point must be followed by digits"),
    (b"1.e5", "Invalid number: decimal point must be followed by digits"),
    (b"1e", "Invalid float"),
    (b'{"a": 1e+}', "Invalid float"),
    (b"1.5.5", "Invalid number"),
]


@pytest.mark.parametrize("data, message", ERRORS, ids=[repr(d)[:40] for d, _ in ERRORS])
def test_error_message(data, message):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    # The same text read as str gives the same error, when it is valid UTF-8.
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return
    with pytest.raises(ValueError) as info:
        loads(text)
    assert info.value.args == (message,)


def test_error_does_not_poison_later_calls():
    # A failed call leaves no pending exception and no state behind.
    for data, _ in ERRORS:
        with pytest.raises(ValueError):
            loads(data)
        assert loads(b'{"a": [1, "x"]}') == {"a": [1, "x"]}


def test_large_position_written_in_full():
    n = 5_000_000
    data = b" " * n + b"]"
    with pytest.raises(ValueError) as info:
        loads(data)
    assert str(info.value) == bad("]", n)
    data = b"[" + b"1," * n + b"x]"
    with pytest.raises(ValueError) as info:
        loads(data)
    assert str(info.value) == bad("x", 2 * n + 1)


@pytest.mark.parametrize(
    "data",
    [bytearray(b"[1]"), 1, 2.0, None, object(), "\ud800", "[\"\\u0041\udfff\"]", memoryview(b"1")],
    ids=["bytearray", "int", "float", "None", "object", "lone-surrogate", "surrogate-inside", "memoryview"],
)
def test_type_errors(data):
    with pytest.raises(TypeError) as info:
        loads(data)
    assert info.value.args == ("data must be bytes or str",)
