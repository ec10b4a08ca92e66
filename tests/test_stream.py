"""vesk.Stream: text fed in pieces cut anywhere gives each finished element
of the followed list (the top-level list or table, the first list of a
top-level object, or the list a path names) once, in order; its value is
what loads reads from the text so far; close gives what loads gives; an
error stays; streams on eight threads keep apart, and one stream refuses a
second thread."""

import random
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk
from conftest import LEAK_THRESHOLD, check_same, pe, run_threads, traced_growth
from test_partial import BARE_CELLS, EOF, FILLER, arrays, bad, documents, enclosed, keys, objects, outcome, scalars, tables, values

SETTINGS = settings(max_examples=80, deadline=None)
# Bare cells holding bytes that open strings, containers and comments elsewhere.
ODD_CELLS = st.sampled_from([('x"y', 'x"y'), ("a[b{", "a[b{"), ("d /* e", "d /* e"), ("h // i", "h // i")])
sequences = arrays(values) | tables(values | BARE_CELLS | ODD_CELLS)


def members(draw, children, taken):
    """Up to three members whose keys are not yet in `taken`, added to it."""
    out = []
    for key, child in draw(st.lists(st.tuples(keys, children), max_size=3)):
        if key[1] not in taken:
            taken.add(key[1])
            out.append((key, child))
    return out


def as_object(draw, parts):
    texts = [f"{draw(FILLER)}{k}{draw(FILLER)}:{draw(FILLER)}{t}{draw(FILLER)}" for (k, _), (t, _) in parts]
    return enclosed(draw, "{}", texts), {k: v for (_, k), (_, v) in parts}


@st.composite
def replies(draw):
    """(text, value, path) of a reply whose records sit at the top level; in
    a top-level object, as its first list or named by a path; one object
    further in; or in an object inside a top-level list. Any other document
    comes with no path."""
    shape = draw(st.sampled_from(["top", "first", "named", "nested", "indexed", "any"]))
    records = draw(values if shape == "any" else sequences)
    path = None
    if shape not in ("top", "any"):
        key, taken = draw(keys), set()
        taken.add(key[1])
        before = members(draw, scalars | objects(values) if shape == "first" else values, taken)
        records = as_object(draw, before + [(key, records)] + members(draw, values, taken))
        path = None if shape == "first" else (key[1],)
        if shape == "nested":
            outer = draw(keys)
            records = as_object(draw, [(outer, records)] + members(draw, values, {outer[1]}))
            path = (outer[1], *path)
        elif shape == "indexed":
            ahead = draw(st.lists(values, max_size=2))
            items = ahead + [records] + draw(st.lists(values, max_size=2))
            path = (len(ahead), *path)
            records = enclosed(draw, "[]", [draw(FILLER) + t for t, _ in items]), [v for _, v in items]
    text, value, _ = draw(documents(top=st.just(records)))
    return text, value, path


def followed(value, path):
    """The list that a stream with `path` follows in a document as loads read
    it (partly read, perhaps), or [] where there is none yet."""
    if path is None:
        if isinstance(value, dict):
            value = next((v for v in value.values() if isinstance(v, list)), [])
        return value if isinstance(value, list) else []
    for step in path:
        try:
            value = value[step]
        except (KeyError, IndexError, TypeError):
            return []
    return value if isinstance(value, list) else []


@st.composite
def chunkings(draw, text):
    """The text as bytes cut anywhere (inside characters too), as one-byte
    chunks, or as str cut between characters; empty chunks included."""
    kind = draw(st.sampled_from(["bytes", "str", "one byte"]))
    source = text if kind == "str" else text.encode()
    if kind == "one byte":
        return [source[i:i + 1] for i in range(len(source))]
    bounds = [0, *sorted(draw(st.lists(st.integers(0, len(source)), max_size=12))), len(source)]
    return [source[a:b] for a, b in zip(bounds, bounds[1:])]


def as_bytes(chunk):
    return chunk.encode() if isinstance(chunk, str) else bytes(chunk)


def value_of(stream):
    try:
        return "ok", stream.value
    except ValueError as e:
        return "error", str(e)


def check_outcome(actual, expected):
    assert actual[0] == expected[0], (actual, expected)
    check_same(actual[1], expected[1])


def feed_all(chunks, path=None, **options):
    """Feeds the chunks; after each, the stream's value is what loads(partial=True)
    reads from the text so far, and what feed gave back so far is the start of
    the followed list in that value, missing at most its last element."""
    stream = vesk.Stream(path=path, **options)
    loads_options = {"fenced": True} | options
    seen, given_back = b"", []
    for chunk in chunks:
        out = stream.feed(chunk)
        assert type(out) is list
        given_back += out
        seen += as_bytes(chunk)
        now = outcome(seen, partial=True, **loads_options)
        check_outcome(value_of(stream), now)
        so_far = followed(now[1], path) if now[0] == "ok" else []
        assert len(so_far) - 1 <= len(given_back) <= len(so_far), (seen, given_back, now)
        check_same(given_back, so_far[:len(given_back)])
    return stream, given_back


FENCES = st.sampled_from([("", ""), ("```json\n", "\n```\nAnything after [ {"), (" ```vesk\r\n", "\r\n```")])


@SETTINGS
@given(reply=replies(), fence=FENCES, data=st.data())
def test_the_followed_list_comes_back_once_finished_and_close_reads_as_loads(reply, fence, data):
    text, value, path = reply
    if fence[0]:
        text = fence[0] + text.lstrip("\ufeff") + fence[1]
    stream, given_back = feed_all(data.draw(chunkings(text)), path)
    check_same(given_back, followed(value, path))
    check_same(stream.close(), value)


def check_sticky(stream, message):
    for call in (lambda: stream.feed(b"]"), lambda: stream.feed(""), lambda: stream.value, stream.close):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def first_error(stream, chunks, **loads_options):
    """Feeds until an error; returns it with what loads says of the same text
    (partial while fed, whole at close)."""
    seen = b""
    for chunk in chunks:
        seen += as_bytes(chunk)
        try:
            stream.feed(chunk)
        except ValueError as e:
            return str(e), outcome(seen, partial=True, fenced=True, **loads_options)
    with pytest.raises(ValueError) as info:
        stream.close()
    return str(info.value), outcome(seen, fenced=True, **loads_options)


@SETTINGS
@given(reply=replies(), where=st.floats(0, 1), wrong=st.sampled_from(list("}]{[,:;\"\\x#")), data=st.data())
def test_an_error_is_placed_in_the_whole_text_and_stays(reply, where, wrong, data):
    text, _, path = reply
    i = int(where * (len(text) - 1))
    corrupted = text[:i] + wrong + text[i + 1:]
    if outcome(corrupted)[0] == "ok":
        return
    stream = vesk.Stream(path=path)
    message, expected = first_error(stream, data.draw(chunkings(corrupted)))
    # loads reports a table the text leaves open before any error inside it;
    # a stream reports such an error as soon as it reads it.
    if ("error", message) != expected:
        assert expected[1].startswith("Unexpected end of input"), (message, expected)
        position = re.search(r"from (\d+)\)$", message)
        if position is None:  # only number errors come without a position
            assert message.startswith("Invalid number"), message
        else:
            assert int(position[1]) < len(corrupted.encode()), message
    check_sticky(stream, message)


FENCED_REPLY = "```vesk\n[: id, name; 1, Alice; 2, Bob ]\n```\nHope this helps! ["


def counts(declared, held, pos):
    return pe(f"Table declares {declared} rows but holds {held}", pos)


@pytest.mark.parametrize("chunks, options, message", [
    (["[1, 2, ", "3 4]"], {}, bad("4", 9)), (['["\u00e9", ', "x]"], {}, bad("x", 7)),
    ([b'["\xc3', b'\xa9", ', b"x]"], {}, bad("x", 7)), (["```json\n[1,\n", "2 3]\n```"], {}, bad("3", 14)),
    (["[1, 2"], {}, pe(EOF, 5)), (['{"a": [1'], {}, pe(EOF, 8)), ([], {}, pe(EOF, 0)), (["```json\n[1, 2"], {}, pe(EOF, 13)),
    (["[: a, b; 1, x", "; 2, y, z; 3 ]"], {}, pe("Row 2 has 3 cells but the header names 2", 21)),
    (["[: a; 1; 2;", " 3, 4; 5 ]"], {}, pe("Row 3 has 2 cells but the header names 1", 15)),
    ([FENCED_REPLY], {"fenced": False}, bad("`", 0)),
    (["[: a; [x ]"], {}, bad("x", 7)),  # a bad row at once, though the table is still open
    (["[2: a; 1;", " 2;", " 3;"], {"check_counts": True}, counts(2, 3, 0)),
    (["```json\n[3: a; 1;", " 2 ]\n```"], {"check_counts": True}, counts(3, 2, 8)),
    (['{"items": [1, 2 3]}'], {}, bad("3", 16)), (['{"a": [1]}', " x"], {}, pe("Trailing content after document", 11)),
    (['{"a": tru, "b": [1', ", 2]}"], {}, bad("t", 6)), (['{"a" [1]}'], {"path": ("a",)}, bad("[", 5)),
    (['{"a": [1], "b": 2}'], {"schema": ["x"]}, pe("Expected '}' at position 11", 11)),
    (['{"t": [2: a; 1;', " 2; 3 ]}"], {"check_counts": True}, counts(2, 3, 6)),
    (["[[2: a; 1 ]", "]"], {"check_counts": True}, counts(2, 1, 1)),  # a table inside an element
])
def test_errors_in_pieces(chunks, options, message):
    stream = vesk.Stream(**options)
    assert first_error(stream, chunks)[0] == message
    check_sticky(stream, message)


A12 = [{"a": 1}, {"a": 2}]


@pytest.mark.parametrize("chunks, options, expected", [
    ([b"\xef", b"\xbb\xbf[1, 2]"], {}, [1, 2]), (["``", "`json\n[1,", " 2]\n``", "`\nmore ["], {}, [1, 2]),
    ([FENCED_REPLY[i:i + 5] for i in range(0, len(FENCED_REPLY), 5)], {}, [{"id": 1, "name": "Alice"}, {"id": 2, "name": "Bob"}]),
    ([b'["\xc3', b'\xa9", 1]'], {}, ["\u00e9", 1]), (["[: a; 1", "; 2 ]"], {}, A12),
    (['[{"a": 1, "b"', ': 2}, {"x": 3, "y": 4}]'], {"schema": ["id", "score"]}, [{"id": 1, "score": 2}, {"id": 3, "score": 4}]),
    (["[2: a; 1;", " 2;", " ]"], {"check_counts": True}, A12), (["[3: a; 1;", " 2 ]"], {}, A12),
    (["", " ", "[1, ", "2]"], {}, [1, 2]),  # a value that raised the no-value error leaves the stream usable
    ([bytearray(b"[1, "), memoryview(b"2, "), "3]"], {}, [1, 2, 3]),
])
def test_elements_from_pieces(chunks, options, expected):
    stream, given_back = feed_all(chunks, **options)
    check_same(given_back, expected)
    check_same(stream.close(), expected)
    # Closed: the same document again and the same value, but no more text.
    check_same(stream.close(), expected)
    check_same(stream.value, vesk.loads(b"".join(map(as_bytes, chunks)), partial=True, **{"fenced": True, **options}))
    with pytest.raises(RuntimeError, match="Stream is closed"):
        stream.feed("[]")


REPLY = '{"object": "list", "data": [: id, name; 1, Ann; 2, Bo ], "more": {"next": [3]}, "tags": ["x"]}'
ROWS = [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bo"}]
MAPPED = '{"users": [{"a": 1, "b": 2}], "n": 1}'


@pytest.mark.parametrize("text, options, elements", [
    (REPLY, {}, ROWS), (REPLY, {"path": ("tags",)}, ["x"]), (REPLY, {"path": ["more", "next"]}, [3]),
    (REPLY, {"path": ("data",)}, ROWS), ('{"n": 1, /* [ */ "a" : [1, 2] // ]\n}', {}, [1, 2]),
    # paths to no list or table, or into a table's rows
    (REPLY, {"path": ("more",)}, []), (REPLY, {"path": ("object",)}, []), (REPLY, {"path": ("missing",)}, []),
    (REPLY, {"path": ("data", 0)}, []), (REPLY, {"path": ()}, []), ('{"a": {"b": 1}}', {"path": ("a", "b", "c")}, []),
    ("[[1, 2], {\"a\": [3, 4]}]", {"path": (1, "a")}, [3, 4]), ("[[1, 2], {\"a\": [3, 4]}]", {"path": (0,)}, [1, 2]),
    ("[[1, 2], {\"a\": [3, 4]}]", {"path": (2,)}, []), ("[[1, 2], [3]]", {"path": ()}, [[1, 2], [3]]),
    # a schema maps the top-level object, and not the records inside it, as loads does; the path names
    # the members of a mapped object by the schema
    (MAPPED, {"schema": ["rows", "count"]}, [{"a": 1, "b": 2}]),
    (MAPPED, {"schema": ["rows", "count"], "path": ("rows",)}, [{"a": 1, "b": 2}]),
    (MAPPED, {"schema": ["rows", "count"], "path": ("users",)}, []),
    ('[{"u": [{"a": 1}]}]', {"schema": ["x"], "path": (0, "x")}, [{"a": 1}]),
    ('[[{"a": 1}], [: k; {"a": 2} ]]', {"schema": ["x"], "path": (1,)}, [{"k": {"x": 2}}]),
])
def test_which_list_is_followed(text, options, elements):
    loads_options = {k: v for k, v in options.items() if k != "path"}
    for size in (1, 7, len(text)):
        stream, given_back = feed_all([text[i:i + size] for i in range(0, len(text), size)], **options)
        check_same(given_back, elements)
        check_same(stream.close(), vesk.loads(text, **loads_options))


@pytest.mark.parametrize("options, error", [
    ({"path": "items"}, TypeError), ({"path": [1.5]}, TypeError), ({"path": [True]}, TypeError), ({"path": 3}, TypeError),
    ({"path": [-1]}, ValueError), ({"schema": [1]}, TypeError), ({"schema": 5}, TypeError),
])
def test_wrong_arguments(options, error):
    with pytest.raises(error):
        vesk.Stream(**options)
    with pytest.raises(TypeError, match="chunk must be bytes or str"):
        vesk.Stream().feed(5)


def big_document(t, rows=400):  # a table (even t) or JSON list (odd t) with escapes and multibyte text
    records = [{"id": t * 100_000 + i, "name": f"\u00e9\U0001f600 n{i}", "tag": f'a\\"b{i % 7}'} for i in range(rows)]
    if t % 2:
        return "[" + ", ".join(f'{{"id": {r["id"]}, name: "{r["name"]}", "tag": "{r["tag"]}"}}' for r in records) + "]"
    return f"[{rows}: id, name, tag" + "".join(f'; {r["id"]}, {r["name"]}, "{r["tag"]}"' for r in records) + " ]"


def test_eight_threads_each_with_its_own_stream():
    results = {}

    def work(t):
        rng, data, stream, given_back = random.Random(t), big_document(t).encode(), vesk.Stream(), []
        i = 0
        while i < len(data):
            n = rng.choice([1, 3, 64, 4096])
            given_back += stream.feed(data[i:i + n])
            i += n
        results[t] = given_back, stream.close()

    run_threads(work)
    for t in range(8):
        expected = vesk.loads(big_document(t))
        assert len(expected) == 400
        check_same(results[t][0], expected)
        check_same(results[t][1], expected)


# A second thread calls while the first is inside feed: the chunk's buffer
# is made by Python code, which lets the intruder in and waits for it. The
# intruder's calls are refused and the stream comes out whole. The script
# runs in its own process so that a stream that blocks fails instead of hanging.
CONCURRENT = r"""
import threading, vesk
text = ("[20000: id, name, tags" + "".join(f'; {i}, "n{i}", [{i}, "t"]' for i in range(20000)) + " ]").encode()
expected = vesk.loads(text)
stream = vesk.Stream()
go, back, seen = threading.Event(), threading.Event(), []

class Chunk:
    def __init__(self, data):
        self.data = data
    def __buffer__(self, flags):
        go.set()
        back.wait(20)
        return memoryview(self.data)

def intruder():
    go.wait()
    for call in (lambda: stream.feed(b"]"), lambda: stream.value, stream.close):
        try:
            call()
            seen.append("ran")
        except RuntimeError as e:
            seen.append(str(e))
    back.set()

thread = threading.Thread(target=intruder)
thread.start()
out = stream.feed(Chunk(text[: len(text) // 2]))
thread.join()
assert seen == ["Stream is in use by another thread"] * 3, seen
out += stream.feed(text[len(text) // 2 :])
assert out == expected and stream.close() == expected
print("refused")
"""


def test_a_second_thread_is_refused_and_changes_nothing():
    run = subprocess.run([sys.executable, "-c", CONCURRENT], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout == "refused\n"


def test_streams_do_not_leak():
    good = big_document(0, rows=6).encode()
    wrong = good[:40] + b"}" + good[41:]

    def step(i):
        data = (good, wrong, good[:-3])[i % 3]
        if i % 4 == 1:  # the same records inside an object, named by a path
            data = b'{"n": 1, "rows": ' + data + b', "m": [2]}'
        stream = vesk.Stream(check_counts=bool(i % 2), path=("rows",) if i % 4 == 1 else None)
        try:
            for j in range(0, len(data), 29):
                stream.feed(data[j:j + 29])
                stream.value
            stream.close()
        except ValueError:
            assert i % 3
        else:
            assert not i % 3

    assert traced_growth(step) < LEAK_THRESHOLD
