"""loads entry: accepted input types, the schema argument, leading and
trailing filler around the document, and the byte order mark."""

import pytest

import vesk
from vesk.vesk_core import loads


def pe(message, position):
    """Text of a parse error as loads raises it."""
    return f"{message} (approximate position: \u00b132 bytes from {position})"


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


# ------------------------------------------------------------------ data type


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(b'{"a": [1, 2]}', id="bytes"),
        pytest.param('{"a": [1, 2]}', id="str"),
        pytest.param(BytesSub(b'{"a": [1, 2]}'), id="bytes-subclass"),
        pytest.param(StrSub('{"a": [1, 2]}'), id="str-subclass"),
    ],
)
def test_accepted_input_types(data, assert_same):
    assert_same(loads(data), {"a": [1, 2]})


def test_package_reexports_the_same_function():
    assert vesk.loads is loads


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(bytearray(b"1"), id="bytearray"),
        pytest.param(memoryview(b"1"), id="memoryview"),
        pytest.param(1, id="int"),
        pytest.param(1.5, id="float"),
        pytest.param(None, id="None"),
        pytest.param([b"1"], id="list"),
        pytest.param("\ud800", id="str-lone-high-surrogate"),
        pytest.param("[\"\udc00\"]", id="str-lone-low-surrogate-inside"),
    ],
)
def test_rejected_input_types(data):
    with pytest.raises(TypeError) as info:
        loads(data)
    assert str(info.value) == "data must be bytes or str"
    assert type(info.value) is TypeError


def test_lone_surrogate_conversion_error_is_discarded():
    # The interpreter's UnicodeEncodeError must not leak out, neither as the
    # exception itself nor as its context.
    with pytest.raises(TypeError) as info:
        loads("\ud83d")
    assert not isinstance(info.value, UnicodeError)
    assert info.value.__context__ is None or not isinstance(
        info.value.__context__, UnicodeError
    )
    # Nothing is left pending: a following call works normally.
    assert loads("[1]") == [1]


def test_keyword_arguments():
    assert loads(data=b"[1]") == [1]
    assert loads(b"[1]", schema=None) == [1]
    assert loads(data="[true]", schema=None) == [True]


@pytest.mark.parametrize(
    "text",
    [
        '{"a": 1, "b": [true, null, "x"]}',
        '[1, 2.5, -3e2, "\\u00e9\\n", {"k": {}}]',
        '"plain"',
        "  // lead\n 42 /* trail */ ",
    ],
)
def test_bytes_and_str_input_agree(text, assert_same):
    assert_same(loads(text), loads(text.encode("utf-8")))


def test_non_ascii_str_input_read_through_utf8(assert_same):
    text = '{"cl\u00e9": "\u65e5\u672c\U0001f600", "\u00e9\u00e9": [1]}'
    assert_same(loads(text), {"cl\u00e9": "\u65e5\u672c\U0001f600", "\u00e9\u00e9": [1]})
    # Positions in errors count UTF-8 bytes, not characters.
    with pytest.raises(ValueError) as info:
        loads('["\u00e9\u00e9", x]')
    # '["' is 2 bytes, each e-acute 2 bytes, then '", ' -> x at 2 + 4 + 3 = 9
    assert str(info.value) == pe("Invalid character 'x' at position 9", 9)


def test_input_not_modified_and_reusable(assert_same):
    data = b'{"a": [1, "two", 3.0]}'
    copy = bytes(bytearray(data))
    first = loads(data)
    second = loads(data)
    assert data == copy
    assert_same(first, second)
    assert first is not second
    assert first["a"] is not second["a"]


# ----------------------------------------------------------------- schema arg


def test_schema_not_iterable_raises_interpreters_type_error():
    with pytest.raises(TypeError) as info:
        loads("[]", schema=5)
    assert str(info.value) == "'int' object is not iterable"


@pytest.mark.parametrize(
    "schema, type_name",
    [
        ([1], "int"),
        (["a", 2.5], "float"),
        (["a", "b", None], "NoneType"),
        ([b"a"], "bytes"),
    ],
)
def test_schema_item_not_str(schema, type_name):
    with pytest.raises(TypeError) as info:
        loads("[]", schema=schema)
    assert str(info.value) == f"'{type_name}' object cannot be converted to 'PyString'"


def test_schema_iteration_error_propagates_unchanged():
    class Boom(Exception):
        pass

    def names():
        yield "a"
        raise Boom("stop")

    with pytest.raises(Boom, match="^stop$"):
        loads("[1]", schema=names())


def test_schema_iterable_is_consumed_once_in_order():
    seen = []

    def names():
        for n in ("a", "b", "c"):
            seen.append(n)
            yield n

    assert loads("[1, [2]]", schema=names()) == [1, [2]]
    assert seen == ["a", "b", "c"]


@pytest.mark.parametrize(
    "schema",
    [["a"], ("a", "b"), iter(["x"]), {"k": 1}, "abc", []],
    ids=["list", "tuple", "iterator", "dict", "str", "empty"],
)
def test_schema_without_objects_does_not_change_arrays(schema):
    # A schema only affects objects; documents without objects read as usual.
    assert loads("[1, [2, 3], \"s\"]", schema=schema) == [1, [2, 3], "s"]


def test_schema_does_not_hide_syntax_errors():
    with pytest.raises(ValueError) as info:
        loads("[1 2]", schema=["a"])
    assert str(info.value) == pe("Invalid character '2' at position 3", 3)


# --------------------------------------------------------- filler and the end


@pytest.mark.parametrize(
    "data, position",
    [
        (b"", 0),
        (b"  \n", 3),
        (b"\t\r\n ", 4),
        (b"/* open", 7),
        (b"/*", 2),
        (b"/*/", 3),
        (b"// only a comment", 17),
        (b"// c\n/* d */ \n", 14),
        (b" " * 100, 100),
        (b"\xef\xbb\xbf", 3),
        (b"\xef\xbb\xbf  ", 5),
    ],
)
def test_nothing_but_filler(data, position):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert str(info.value) == pe("Unexpected end of input", position)
    with pytest.raises(ValueError) as info:
        loads(data.decode("utf-8"))
    assert str(info.value) == pe("Unexpected end of input", position)


@pytest.mark.parametrize(
    "data, expected",
    [
        ("[1] /* open", [1]),
        ("[1] // note", [1]),
        ("[1]//", [1]),
        ("[1]/*", [1]),
        ("[1]/**", [1]),
        ("[1]/*/", [1]),
        ("[1] /**/ // x\n /* y */", [1]),
        ("7\n", 7),
        ("  \t\r\n7  \t\r\n", 7),
        ("// a\r\n/* b */7", 7),
        ("// a\r7", 7),
        ("/*/ still comment */7", 7),
        ("/**/7", 7),
        ("/***/7", 7),
        ("/* a * / b */7", 7),
    ],
)
def test_filler_around_the_value(data, expected):
    assert loads(data) == expected
    assert loads(data.encode()) == expected


@pytest.mark.parametrize(
    "data, position",
    [
        (b"1 2", 2),
        (b"nullx", 4),
        (b"12x", 2),
        (b"[1]]", 3),
        (b'{"a":1}}', 7),
        (b"[1] /", 4),
        (b"[1]/x", 3),
        (b"[1] /**/ /", 9),
        (b'"a" "b"', 4),
        (b"true false", 5),
        (b"[] // c\n x", 9),
        (b"1\xef\xbb\xbf", 1),
        (b"{} \x00", 3),
    ],
)
def test_trailing_content(data, position):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert str(info.value) == pe("Trailing content after document", position)


# ------------------------------------------------------------ byte order mark


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\xef\xbb\xbf[1]", [1]),
        (b"\xef\xbb\xbf{}", {}),
        (b"\xef\xbb\xbf 7", 7),
        (b"\xef\xbb\xbf/* c */\"s\"", "s"),
        (b'\xef\xbb\xbf["\xef\xbb\xbf"]', ["\ufeff"]),
        ("\ufeff[1]", [1]),
        ("\ufeff  {\"a\": 2}", {"a": 2}),
    ],
)
def test_byte_order_mark_at_start_is_skipped(data, expected):
    assert loads(data) == expected


@pytest.mark.parametrize(
    "data, message",
    [
        (b" \xef\xbb\xbf1", pe("Invalid character '\u00ef' at position 1", 1)),
        (b"\xef\xbb\xbf\xef\xbb\xbf1", pe("Invalid character '\u00ef' at position 3", 3)),
        (b"[\xef\xbb\xbf1]", pe("Invalid character '\u00ef' at position 1", 1)),
        (b"\xef\xbb", pe("Invalid character '\u00ef' at position 0", 0)),
        (b"\xef\xbb\xbe1", pe("Invalid character '\u00ef' at position 0", 0)),
        (b"[1]\xef\xbb\xbf", pe("Trailing content after document", 3)),
        (" \ufeff1", pe("Invalid character '\u00ef' at position 1", 1)),
        ("\ufeff\ufeff1", pe("Invalid character '\u00ef' at position 3", 3)),
    ],
)
def test_byte_order_mark_elsewhere_is_not_filler(data, message):
    with pytest.raises(ValueError) as info:
        loads(data)
    assert str(info.value) == message
