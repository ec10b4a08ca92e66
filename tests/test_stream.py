"""vesk.Stream fed in pieces: each finished element once, in order; value, close as loads; errors stay; one thread."""

import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk
from conftest import DECODE_PLACES, check_decode_error, check_same, pe
from test_partial import BARE_CELLS, EOF, FILLER, arrays, bad, counts, documents, enclosed, keys, outcome, tables
from test_partial import A12, values

SETTINGS = settings(max_examples=80, deadline=None)
ODD_CELLS = st.sampled_from([('x"y', 'x"y'), ("a[b{", "a[b{"), ("d /* e", "d /* e"), ("h // i", "h // i")])
sequences = arrays(values) | tables(values | BARE_CELLS | ODD_CELLS)  # odd: bytes that open values elsewhere


def as_object(draw, member):
    """An object of `member` and up to four more members, in any order; keys all different."""
    parts = draw(st.lists(st.tuples(keys, values), max_size=4, unique_by=lambda m: m[0][1]))
    parts = [m for m in parts if m[0][1] != member[0][1]]
    parts.insert(draw(st.integers(0, len(parts))), member)
    texts = [f"{draw(FILLER)}{k}{draw(FILLER)}:{draw(FILLER)}{t}{draw(FILLER)}" for (k, _), (t, _) in parts]
    return enclosed(draw, "{}", texts), {k: v for (_, k), (_, v) in parts}


@st.composite
def replies(draw):
    """(text, value, path): records at the top or one or two levels in by path; or any value, with no path."""
    shape = draw(st.sampled_from(["top", "path", "path", "any"]))
    records, path = draw(values if shape == "any" else sequences), None
    for _ in range(draw(st.integers(1, 2)) if shape == "path" else 0):
        if draw(st.booleans()):
            key = draw(keys)
            records, path = as_object(draw, (key, records)), (key[1], *(path or ()))
        else:
            before, after = draw(st.lists(values, max_size=2)), draw(st.lists(values, max_size=2))
            items, path = before + [records] + after, (len(before), *(path or ()))
            records = enclosed(draw, "[]", [draw(FILLER) + t for t, _ in items]), [v for _, v in items]
    text, value, _ = draw(documents(top=st.just(records)))
    return text, value, path


def followed(value, path):
    """The list a stream with `path` follows in a value loads read (partly, perhaps), or []."""
    if path is None:
        value = next((v for v in value.values() if isinstance(v, list)), []) if isinstance(value, dict) else value
    for step in path or ():
        try:
            value = value[step]
        except (KeyError, IndexError, TypeError):
            return []
    return value if isinstance(value, list) else []


@st.composite
def chunkings(draw, text):
    """The text as bytes cut anywhere (in characters too), one-byte chunks, or str; empty chunks included."""
    kind = draw(st.sampled_from(["bytes", "str", "one byte"]))
    source = text if kind == "str" else text.encode()
    if kind == "one byte":
        return [source[i:i + 1] for i in range(len(source))]
    bounds = [0, *sorted(draw(st.lists(st.integers(0, len(source)), max_size=12))), len(source)]
    return [source[a:b] for a, b in zip(bounds, bounds[1:])]


def as_bytes(chunk):
    return chunk.encode() if isinstance(chunk, str) else bytes(chunk)


def feed_all(chunks, path=None, **options):
    """After each chunk, value is loads(partial=True) of the text so far; feed gave its list, bar at most the last."""
    stream, seen, given_back = vesk.Stream(path=path, **options), b"", []
    for chunk in chunks:
        out = stream.feed(chunk)
        assert type(out) is list
        given_back += out
        seen += as_bytes(chunk)
        now = outcome(seen, partial=True, **{"fenced": True} | options)
        try:
            value = ["ok", stream.value]
        except ValueError as e:
            value = ["error", str(e)]
        check_same(value, [*now])
        so_far = followed(now[1], path) if now[0] == "ok" else []
        assert len(so_far) - 1 <= len(given_back) <= len(so_far), (seen, given_back, now)
        check_same(given_back, so_far[:len(given_back)])
    return stream, given_back


FENCES = st.sampled_from([("", ""), ("```json\n", "\n```\nAnything after [ {"), (" ```vesk\r\n", "\r\n```")])


def check_sticky(stream, error):  # every later call raises a copy of the same error
    for call in (lambda: stream.feed(b"]"), lambda: stream.feed(""), lambda: stream.value, stream.close):
        with pytest.raises(vesk.DecodeError) as info:
            call()
        assert info.value.__reduce__() == error.__reduce__() and info.value is not error


def first_error(stream, chunks):
    """Feeds until an error; returns it with what loads says of the same text (partial while fed, whole at close)."""
    seen = b""
    for chunk in chunks:
        seen += as_bytes(chunk)
        try:
            stream.feed(chunk)
        except ValueError as e:
            return e, outcome(seen, partial=True, fenced=True)
    with pytest.raises(ValueError) as info:
        stream.close()
    return info.value, outcome(seen, fenced=True)


@SETTINGS
@given(reply=replies(), fence=FENCES, where=st.floats(0, 1), wrong=st.sampled_from('}]{[,:;"\\x#'), data=st.data())
def test_the_followed_list_comes_back_once_finished_and_an_error_stays(reply, fence, where, wrong, data):
    text, value, path = reply
    if fence[0]:
        text = fence[0] + text.lstrip("\ufeff") + fence[1]
    stream, given_back = feed_all(data.draw(chunkings(text)), path)
    check_same(given_back, followed(value, path))
    check_same(stream.close(), value)
    i = int(where * (len(text) - 1))
    corrupted = text[:i] + wrong + text[i + 1:]
    if outcome(corrupted, fenced=True)[0] == "ok":
        return
    stream = vesk.Stream(path=path)
    error, expected = first_error(stream, data.draw(chunkings(corrupted)))
    # loads reports a table the text leaves open before any error inside it; a stream reports that error at once
    assert ("error", str(error)) == expected or expected[1].startswith(EOF), (str(error), expected)
    check_decode_error(error, str(error), corrupted)
    check_sticky(stream, error)


@pytest.mark.parametrize("chunks, options, message", [
    ([], {}, pe(EOF, 0)), (["```json\n[1, 2"], {}, pe(EOF, 13)), (["```\n[1]\n```"], {"fenced": False}, bad("`", 0)),
    (['{"a": [1], "b": 2}'], {"schema": ["x"]}, pe("Expected '}' at position 11", 11)),
    (['{"t": [2: a; 1;', " 2; 3 ]}"], {"check_counts": True}, counts(2, 3, 6)),
    (["[[2: a; 1 ]", "]"], {"check_counts": True}, counts(2, 1, 1)),  # a table inside an element
])
def test_errors_in_pieces(chunks, options, message):
    stream = vesk.Stream(**options)
    error = first_error(stream, chunks)[0]
    check_decode_error(error, message, b"".join(map(as_bytes, chunks)))
    check_sticky(stream, error)


@pytest.mark.parametrize("data, lineno, colno, row, column", DECODE_PLACES)
def test_error_places(data, lineno, colno, row, column):
    error = first_error(vesk.Stream(check_counts=True), [data[i:i + 3] for i in range(0, len(data), 3)])[0]
    assert (error.lineno, error.colno, error.row, error.column) == (lineno, colno, row, column)


REPLY = '{"object": "list", "data": [: id, name; 1, Ann; 2, Bo ], "more": {"next": [3]}, "tags": ["x"]}'
MAPPED, TO, AB = '{"users": [{"a": 1, "b": 2}], "n": 1}', ["rows", "count"], [{"a": 1, "b": 2}]


# Fed whole, in 7 and 1-character pieces, or as given; paths to no list, into rows, through a schema (as loads maps).
@pytest.mark.parametrize("text, options, expected", [
    ('[{"a": 1, "b": 2}, {"x": 3, "y": 4}]', {"schema": ["id", "s"]}, [{"id": 1, "s": 2}, {"id": 3, "s": 4}]),
    (["[2: a; 1;", " 2;", " ]"], {"check_counts": True}, A12), ("\ufeff[3: a; 1; 2 ]", {}, A12),
    ([bytearray(b"[1, "), memoryview(b"2, "), "3]"], {}, [1, 2, 3]),
    ('{"n": 1, /* [ */ "a" : [1, 2] // ]\n}', {}, [1, 2]), ("[[1, 2], [3]]", {"path": ()}, [[1, 2], [3]]),
    *[(REPLY, {"path": path}, []) for path in [("more",), ("object",), ("missing",), ("data", 0), ()]],
    ('{"a": {"b": 1}}', {"path": ("a", "b", "c")}, []), ("[[1, 2], {\"a\": [3, 4]}]", {"path": (2,)}, []),
    (MAPPED, {"schema": TO}, AB), (MAPPED, {"schema": TO, "path": ("rows",)}, AB),
    (MAPPED, {"schema": TO, "path": ("users",)}, []),
    ('[{"u": [{"a": 1}]}]', {"schema": ["x"], "path": (0, "x")}, [{"a": 1}]),
    ('[[{"a": 1}], [: k; {"a": 2} ]]', {"schema": ["x"], "path": (1,)}, [{"k": {"x": 2}}]),
    # an element `[2]` that a piece ends right after: a `{` next makes it a counted table's count
    (["[[2]", "{a}:\n 1\n 2\n]"], {}, [[{"a": 1}, {"a": 2}]]), ("[[2]{a}:\n 1\n 2\n, [ 3]]", {}, [A12, [3]]),
])
def test_elements_from_pieces(text, options, expected):
    loads_options = {k: v for k, v in options.items() if k != "path"} | {"fenced": True}
    cut = [text] if isinstance(text, list) else [[text[i:i + n] for i in range(0, len(text), n)] for n in (1, 7, 2**60)]
    for chunks in cut:
        stream, given_back = feed_all(chunks, **options)
        check_same(given_back, expected)
        whole = vesk.loads(b"".join(map(as_bytes, chunks)), **loads_options)
        check_same([stream.close(), stream.close(), stream.value], [whole] * 3)  # closed: the same, but no more text
        with pytest.raises(RuntimeError, match="Stream is closed"):
            stream.feed("[]")


@pytest.mark.parametrize("call, error, message", [
    *[(lambda o=o: vesk.Stream(path=o), TypeError, "") for o in ("items", [1.5], [True], 3)],
    (lambda: vesk.Stream(path=[-1]), ValueError, ""), (lambda: vesk.Stream().feed(5), TypeError, "'int'"),
    (lambda: vesk.Stream().feed(memoryview(b"[1, 2]")[::2]), TypeError, "a non-contiguous buffer"),
])
def test_wrong_arguments(call, error, message):
    pattern = "^chunk must be str, bytes or a contiguous buffer of bytes .* not " + re.escape(message)
    with pytest.raises(error, match=pattern if message else None):
        call()


# A second thread calls while the first waits inside feed (in the chunk's __buffer__); run apart so a block fails.
CONCURRENT = r"""
import threading, vesk
text = ("[20000: id, name, tags" + "".join(f'; {i}, "n{i}", [{i}, "t"]' for i in range(20000)) + " ]").encode()
stream, go, back, seen = vesk.Stream(), threading.Event(), threading.Event(), []
class Chunk:
    def __buffer__(self, flags):
        go.set()
        back.wait(20)
        return memoryview(text[: len(text) // 2])
def intruder():
    go.wait()
    for call in (lambda: stream.feed(b"]"), lambda: stream.value, stream.close):
        try:
            seen.append(call() and "ran")
        except RuntimeError as e:
            seen.append(str(e))
    back.set()
threading.Thread(target=intruder).start()
out = stream.feed(Chunk())  # back from it once the intruder is done
out += stream.feed(text[len(text) // 2 :])
print(seen == ["Stream is in use by another thread"] * 3, out == vesk.loads(text) == stream.close())
"""


def test_a_second_thread_is_refused_and_changes_nothing():
    run = subprocess.run([sys.executable, "-c", CONCURRENT], capture_output=True, text=True, timeout=300)
    assert (run.returncode, run.stdout) == (0, "True True\n"), run.stderr[-3000:]
