"""Robustness: truncated and corrupted documents must return a value or
raise ValueError, never crash or raise anything else, and must behave the
same way every time and for bytes and str input."""

import json
import re
from pathlib import Path

import pytest

from conftest import check_same
from vesk.vesk_core import loads

SHARED = Path(__file__).resolve().parents[2] / "shared"
CORPUS = SHARED / "corpus"

POSITION = re.compile(r" \(approximate position: \u00b132 bytes from (\d+)\)$")


def outcome(data):
    """("ok", value) or ("error", message). ValueError is the only exception
    allowed."""
    try:
        return "ok", loads(data)
    except ValueError as e:
        assert type(e) is ValueError
        return "error", str(e)


def assert_consistent(data):
    """Same outcome twice, and the same outcome for the str form."""
    first = outcome(data)
    second = outcome(data)
    assert first[0] == second[0]
    if first[0] == "ok":
        check_same(second[1], first[1])
    else:
        assert first[1] == second[1]
        msg = POSITION.search(first[1])
        if msg:
            assert int(msg.group(1)) <= len(data), first[1]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return first
    via_str = outcome(text)
    assert via_str[0] == first[0], (data, first, via_str)
    if first[0] == "ok":
        check_same(via_str[1], first[1])
    else:
        assert via_str[1] == first[1]
    return first


def _outside_string_ends(doc):
    """Offsets i (1..len) such that doc[:i] ends outside any string, right
    after one of , : [ {. `doc` must be JSON without comments."""
    ends = []
    in_str = False
    esc = False
    for i, c in enumerate(doc):
        if in_str:
            if esc:
                esc = False
            elif c == 0x5C:
                esc = True
            elif c == 0x22:
                in_str = False
        elif c == 0x22:
            in_str = True
        elif c in b",:[{":
            ends.append(i + 1)
    return ends


# ---------------------------------------------------------------- prefixes


def _twitter_head():
    path = CORPUS / "twitter.json"
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    return path.read_bytes()[:2048]


def test_every_prefix_of_a_corpus_document_fails_cleanly():
    head = _twitter_head()
    assert head[:1] == b"{"
    expected_eof = set(_outside_string_ends(head))
    assert len(expected_eof) > 50
    for n in range(len(head) + 1):
        kind, msg = assert_consistent(head[:n])
        # A proper prefix of an object never closes it.
        assert kind == "error", (n, msg)
        if n in expected_eof:
            # cut right after a structural byte: more input was needed
            assert msg == f"Unexpected end of input (approximate position: \u00b132 bytes from {n})", (n, msg)


SMALL_DOCS = [
    (
        '// leading comment\n{\n  "name": "vesk", /* block */ bare_key: [1, -2.5e3, true, null,],\n'
        '  "esc": "a\\"b\\u00e9\\uD83D\\uDE00\\n", "raw": "tab\there",\n'
        '  $d-1: {"nested": [[], {}, [{"x": NaN}]],}, "neg": -Infinity,\n}',
        "  // trailing line comment",
    ),
    ('[1, "two", {"three": [3.0, 4e-2, ]}, /* c */ false, "\u00e9\U0001f600"]', " /* unterminated"),
    ('{"a": {"b": {"c": {"d": [1, 2, 3, "]", "}", ",", ":"]}}}}', "\n\t /**/ "),
    ("[" + ", ".join(f'"item{i}"' for i in range(60)) + ",]", "//"),
]


@pytest.mark.parametrize("body, tail", SMALL_DOCS, ids=[f"doc{i}" for i in range(len(SMALL_DOCS))])
def test_every_prefix_of_small_vesk_documents(body, tail):
    doc = (body + tail).encode("utf-8")
    full_kind, full_value = outcome(doc)
    assert full_kind == "ok", full_value
    end = len(body.encode("utf-8"))
    for n in range(len(doc) + 1):
        kind, value = assert_consistent(doc[:n])
        if n < end:
            assert kind == "error", (n, value)
        elif doc[:n].endswith(b"/") and not doc[:n].endswith((b"//", b"*/")) and b"/*" not in doc[end:n] and b"//" not in doc[end:n]:
            # a lone '/' after the value is not a comment
            assert (kind, value) == (
                "error",
                f"Trailing content after document (approximate position: \u00b132 bytes from {n - 1})",
            )
        else:
            # the value is complete and what follows is filler (possibly a
            # comment cut short, which still counts as one)
            assert kind == "ok", (n, value)
            check_same(value, full_value)


# ------------------------------------------------------------- corruptions

CORRUPTION_BYTES = b'"{}[]:,\\/*\x00\xff0-ntfeE. \n\x80\xc3'

CORRUPTION_DOCS = [
    b'{"id": 12, "tags": ["a", "b,c"], "ok": true, "v": -1.5e3, "s": "x\\"y\\u00e9", "n": null}',
    b'[1, {"k": [2, 3]}, "str", false, /* c */ {"\xc3\xa9": "\xf0\x9f\x98\x80"}, 1e5, -0]',
    b'{a: [1,2,], $b-c: {"d": NaN}, // c\n "e": Infinity}',
]


@pytest.mark.parametrize("doc", CORRUPTION_DOCS, ids=["json", "mixed", "vesk"])
def test_single_byte_corruptions(doc):
    assert outcome(doc)[0] == "ok"
    seen_ok = seen_error = 0
    for i in range(len(doc)):
        for b in CORRUPTION_BYTES:
            if doc[i] == b:
                continue
            kind, _ = assert_consistent(doc[:i] + bytes([b]) + doc[i + 1 :])
            seen_ok += kind == "ok"
            seen_error += kind == "error"
        # deletion and duplication of the byte
        assert_consistent(doc[:i] + doc[i + 1 :])
        assert_consistent(doc[:i] + doc[i : i + 1] + doc[i:])
    # the corruptions reach both outcomes (the loop is not vacuous)
    assert seen_ok > 10 and seen_error > 100


def test_single_byte_corruptions_of_a_long_flat_array():
    # long enough for the list to be sized in advance from the index
    doc = ("[" + ", ".join(['"a,b"', '"x]"', "12", "-3.5", "null", "true"] * 12) + "]").encode()
    assert len(doc) > 256
    expected = json.loads(doc)
    check_same(loads(doc), expected)
    for i in range(len(doc)):
        for b in b'",]:[{} \x00':
            if doc[i] != b:
                assert_consistent(doc[:i] + bytes([b]) + doc[i + 1 :])


def test_corrupted_corpus_slices():
    path = CORPUS / "github_events.json"
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    data = path.read_bytes()
    check_same(loads(data), json.loads(data))
    # flip one byte at a few hundred spread-out positions of a real document
    step = max(1, len(data) // 300)
    for i in range(0, len(data), step):
        for b in b'"]}\\':
            if data[i] != b:
                assert_consistent(data[:i] + bytes([b]) + data[i + 1 :])


@pytest.mark.parametrize(
    "data",
    [
        b"\x00",
        b"\x00" * 100,
        b"\xff" * 100,
        b'"' * 101,
        b'"' * 100,
        b"\\" * 100,
        b"[" * 100 + b'"' + b"]" * 100,
        b'{"' * 100,
        b'{"":' * 100,
        b"/*" * 100,
        b"*/" * 100,
        b"//" * 100,
        b'["\\' + b"\\" * 99,
        b'"\\u' * 50,
        b'"\\uD800\\u' * 20,
        b"-" * 100,
        b"1" * 100 + b"e",
        b"9" * 100 + b"." + b"9" * 100 + b"e-" + b"9" * 100,
        b",:" * 100,
        b"]" * 100,
        b"[" + b"," * 300 + b"]",
        b"[" + b" " * 300 + b"]",
        b"{" + b" " * 300 + b"}",
        b"[" + b"1," * 200 + b"]]]",
    ],
)
def test_degenerate_inputs(data):
    assert_consistent(data)


# ------------------------------------------------------ scanner block edges

# Characters whose UTF-8 bytes look like structural bytes in one nibble or
# another (0xA2, 0xAC, 0xBA, 0xBB, 0xDB, 0xDD, ...): none of them may be taken
# for a quote, comma, colon or bracket.
LOOKALIKES = "\u00a2\u00ac\u00ba\u00bb\u06c0\u0740\u00a0\u00bf\u07bb\u0fdb\u2022\u3000\U0001f5dd"


@pytest.mark.parametrize("pad", range(0, 140))
def test_structure_at_every_block_offset(pad):
    # Shift the same content across 64-byte block boundaries.
    for s in (LOOKALIKES * 5, 'a\\"b' + LOOKALIKES, "\\" * 5, '"' * 3, "x" * pad):
        doc = json.dumps([" " * pad, s, {s: [1, s]}], ensure_ascii=False)
        check_same(loads(doc), json.loads(doc))
        check_same(loads(doc.encode()), json.loads(doc))
    doc = "[" + " " * pad + '/* " , ] */ "x", // " [\n {"k\\"": 1}]'
    check_same(loads(doc), ["x", {'k"': 1}])
    # a string that ends exactly at the end of the input
    doc = '"' + "a" * pad + '"'
    assert loads(doc) == "a" * pad


@pytest.mark.parametrize("byte", [0xA2, 0xAC, 0xBA, 0xBB, 0xDB, 0xDD, 0xFB, 0xFD, 0xA7, 0xAF])
def test_lookalike_bytes_outside_strings_are_invalid(byte):
    for pad in range(0, 70):
        data = b"[" + b" " * pad + b"1, " + bytes([byte]) + b"]"
        with pytest.raises(ValueError) as info:
            loads(data)
        pos = pad + 4
        assert str(info.value) == (
            f"Invalid character '{chr(byte)}' at position {pos} (approximate position: \u00b132 bytes from {pos})"
        )
