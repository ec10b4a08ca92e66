"""Stress: threads at once; memory flat over many calls; padding bounded by the text; failing writes' references."""

import ctypes
import dataclasses
import gc
import itertools
import json
import re
import subprocess
import sys
import time

import pydantic
import pydantic.v1
import pytest

from conftest import SHARED, UNDER_ASAN, check_same, run_threads
from test_grid_robustness import padding_error
from vesk.vesk_core import Stream, dumps, format_hint, loads

FIELDS = {"id": int, "name": str, "score": float, "ok": bool, "note": str | None}
COLS = list(FIELDS)
Person = pydantic.create_model("Person", **{k: (t, ...) for k, t in FIELDS.items()})
PersonV1 = pydantic.v1.create_model("PersonV1", **{k: (t, ...) for k, t in FIELDS.items()})
PersonDC = dataclasses.make_dataclass("PersonDC", [(k, object) for k in FIELDS])


def people(n, seed):  # fresh records (nothing shared between calls); past the first ten, notes a table has to quote
    return [{"id": 2**65 * seed + i, "name": f"n\u00e9{seed}-{i}", "score": i / 7 - seed, "ok": i % 2 == 0,
             "note": None if i % 3 else (f'a, b; [{i}] "q" \U0001f600' if i >= 10 else f"plain {i}")} for i in range(n)]


def grid(records):  # table text with each cell a JSON value, written without dumps
    rows = "".join("; " + ", ".join(json.dumps(r[c], ensure_ascii=False) for c in records[0]) for r in records)
    return f"[{len(records)}: " + ", ".join(records[0]) + rows + " ]"


OPTIONS = [{}, {"bare_strings": True, "implicit_null": True}, {"delimiter": "tab"}, {"lean": True},
           {"row_count": False, "delimiter": "pipe"}, {"indent": 2}, {"multiline_ivy": True}, {"unquoted_keys": True}]


def corpus_cases(t):
    folder = SHARED / "corpus"
    if not folder.is_dir():
        pytest.skip(f"no corpus at {folder}")
    cases = []
    for j, path in enumerate(sorted(folder.glob("*.json"))[t::8]):
        raw, o = path.read_bytes(), OPTIONS[j % len(OPTIONS)]
        value, text = json.loads(raw), dumps(json.loads(raw), **o)
        if len(raw) < 300_000 and "indent" not in o and "multiline_ivy" not in o:
            check_same(loads(text), value, missing_as_none=True)
        # compared as JSON text: a walk in Python over a multi-megabyte result would starve the calls under test
        cases += [(f"loads {path.name}", lambda raw=raw: json.dumps(loads(raw)), json.dumps(value)),
                  (f"dumps {path.name}", lambda v=value, o=o: dumps(v, **o), text)]
    return cases


@pytest.mark.parametrize("source", [lambda t: OWN_CASES, corpus_cases], ids=["entry points", "corpus"])
def test_threads_get_their_own_results(source):
    cases, failures = [source(t) for t in range(8)], []  # every expected value known before any thread starts
    deadline = time.monotonic() + 1.5

    def work(t):
        mine, i = cases[t], 0
        while mine and (i < len(mine) or time.monotonic() < deadline):
            name, call, expected = mine[(i + t) % len(mine)]
            i += 1
            got = outcome(call)
            if repr(got) != repr(expected):  # types, key order and float bits alike
                failures.append((t, name, repr(got)[:300]))

    run_threads(work)
    assert failures == []


def raiser(message, first=None):  # a method raising LookupError(message) after `first` made the converted record
    def method(self, *args, **kw):
        if first:
            first(self, *args, **kw)
        raise LookupError(message)
    return method


Raising = type("Raising", (), {"model_dump": raiser("cell conversion")})
Boom = type("Boom", (), {"__deepcopy__": raiser("deepcopy")})  # dataclasses.asdict deep-copies plain field values
BadPerson = type("BadPerson", (Person,), {"model_dump": raiser("model_dump", Person.model_dump)})
BadPersonV1 = type("BadPersonV1", (PersonV1,), {"dict": raiser("dict", PersonV1.dict)})
KINDS = {  # kind -> (make the failing record from record r, the exception dumps raises)
    "model": (lambda r: BadPerson(**r), LookupError("model_dump")),
    "v1 model": (lambda r: BadPersonV1(**r), LookupError("dict")),
    "dataclass": (lambda r: PersonDC(**dict(r, score=Boom())), LookupError("deepcopy")),
    "cell conversion": (lambda r: dict(r, note=Raising()), LookupError("cell conversion")),
    "set cell": (lambda r: dict(r, note={r["id"]}), TypeError("Object of type 'set' is not JSON serializable")),
    "surrogate cell": (lambda r: dict(r, note=f"{r['name']}\ud800"), ValueError("Failed to encode string as UTF-8")),
}
GOOD = {"model": Person, "v1 model": PersonV1, "dataclass": PersonDC}


def failing_table(kind, n, k, seed):  # n records of `kind` whose record k fails to convert or write, and the error
    bad, error = KINDS[kind]
    return [bad(r) if i == k else GOOD.get(kind, dict)(**r) for i, r in enumerate(people(n, seed))], error


DEEP = "[" * 1100 + "]" * 1100
# Records that follow the keys of the record before them (whose shape the reader copies), then part at some depth.
SHAPED = (b'[{"a": 1, "b": {"c": [2]}}, {"a": 3, "b": {"c": [4], "d": 5}}, {"a": 6, "x": 7}, {"a": 8}, '
          b'{"a": 9, "b": {"c": []}, "e": "f"}]')
ERRORS = [SHAPED[:60] + b"x" + SHAPED[60:], SHAPED[:-1], b"[: a, b; 1, 2; 3, 4, x ]", b"[2: a, b; 1, 2; 3, 4",
          b'[: a, "b\xff"; 1, 2 ]', b"[: a; 1, 2 ]", b'{"rows": [: a; "x\\q" ]}', DEEP.encode(), b'[{"a": 1}, {"b" 2}]',
          "[: \u00e9, b; 1, [tom] ]"]
SMALL, MID = people(3, 7), people(20, 8)
CUT = ('```json\n{"rows": [3: id, "name", tags; 1, Ann, [1, 2]; 2, "B\\u00e9\\ud83d\\ude00", [: k; v ]; 3, x\\,y ], '
       'n: [1, -2.5, -Infinity, "' + "z" * 60 + '"], s: "a\\"\u00e9\\u00e9"}\n```').encode()


def streamed(data, path):
    stream = Stream(path=path, check_counts=True)
    for j in range(0, len(data), 29):
        stream.feed(data[j:j + 29])
        stream.value
    return stream.close()


def read_then_grow(buffer):
    try:
        return loads(buffer)
    finally:
        buffer.append(0)  # a bytearray still viewed could not grow


def outcome(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - failing calls are cases too
        return type(e)


# Good and failing calls of every entry point; each must give the same value, or raise the same type, every time.
GARBLED, TABLE = json.dumps([{f"k{i}": v for i, v in enumerate(r.values())} for r in MID]), grid(MID)
GOOD_TEXTS = [grid(SMALL), TABLE.encode(), SHAPED, '// c\n{rows: [2: a, b; 1, "x"; 2, [: c; 3 ] ], n: 1,}']
CALLS = {
    "loads": [*[lambda t=t: loads(t) for t in GOOD_TEXTS + ERRORS], lambda: read_then_grow(bytearray(TABLE.encode())),
              lambda: loads(memoryview(TABLE.encode())),
              *[lambda e=e: read_then_grow(bytearray(e)) for e in ERRORS[2:5]]],
    "loads with schema": [
        lambda: loads(GARBLED, schema=COLS), lambda: loads(GARBLED.encode(), schema=tuple(COLS)),
        lambda: loads(GARBLED, schema=(c for c in COLS)), lambda: loads(TABLE, schema=["x", "y"]),
        *[lambda e=e: loads(e, schema=COLS) for e in ERRORS], lambda: loads(GARBLED, schema=COLS[:2]),
        lambda: loads(GARBLED, schema=[1, 2]), lambda: loads(GARBLED, schema=5),
        lambda: loads(TABLE, schema=["a", "\ud800"])],
    "dumps": [
        lambda: dumps(people(20, 8)), lambda: dumps(people(20, 8), lean=True),
        lambda: dumps([Person(**r) for r in SMALL], bare_strings=True), lambda: dumps([PersonV1(**r) for r in MID]),
        lambda: dumps({"t": [PersonDC(**r) for r in SMALL]}, indent=2), lambda: dumps([object()]),
        lambda: dumps([[[1]]], indent=-1), lambda: dumps(json.loads(DEEP)), lambda: dumps(MID, ivy_grid=1),
        *[lambda t=failing_table(kind, 12, k, 9)[0]: dumps(t) for kind in KINDS for k in (0, 5, 10)]],
    "format_hint": [*[lambda a=a: format_hint(*a) for a in ((), ("tab",), (None,), (3,), (b"tab",), ("\ud800",))],
                    lambda: format_hint(style="tab")],
    # text cut anywhere, read whole and fed to a stream in pieces (with a path too)
    "partial and stream": [
        *[lambda k=k: loads(CUT[:k], partial=("trailing-strings", True)[k % 2], check_counts=True, fenced=True)
          for k in range(20, len(CUT), 23)], lambda: loads(b"[2: a; 1; 2; 3;", partial=True, check_counts=True),
        lambda: streamed(CUT, None), lambda: streamed(CUT[:-9], ("rows",)),
        lambda: streamed(CUT.replace(b"[1, 2]", b"[1 2]"), ("rows",))],
}
CASES = {entry: [(call, outcome(call)) for call in calls] for entry, calls in CALLS.items()}
ROWS = {"rows": [{"a": 1, "b": "x"}, {"a": 2, "b": [{"c": 3}]}], "n": 1}
VALUES = {"loads": {0: SMALL, 1: MID, 2: json.loads(SHAPED), 3: ROWS, 14: MID, 15: MID},
          "loads with schema": dict.fromkeys(range(4), MID), "partial and stream": {-3: loads(CUT, fenced=True)},
          "dumps": {2: dumps(SMALL, bare_strings=True), 3: dumps(MID), 4: dumps({"t": SMALL}, indent=2)}}  # as dicts
for entry, values in VALUES.items():  # what the good calls give, and that the failing ones fail
    for i, value in values.items():
        check_same(CASES[entry][i][1], value)
assert all(isinstance(o, type) and issubclass(o, ValueError) for _, o in CASES["loads"][4:4 + len(ERRORS)])
assert [isinstance(o, type) for _, o in CASES["dumps"]] == [False] * 5 + [True] * (len(CALLS["dumps"]) - 5)
OWN_CASES = [(f"{entry} {i}", call, want) for entry, cases in CASES.items() for i, (call, want) in enumerate(cases)]


libc = ctypes.CDLL(None)
MALLINFO = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
MallInfo2 = type("MallInfo2", (ctypes.Structure,), {"_fields_": [(name, ctypes.c_size_t) for name in MALLINFO]})


@pytest.mark.skipif(not hasattr(libc, "mallinfo2") or UNDER_ASAN, reason="needs glibc's mallinfo2")
@pytest.mark.parametrize("entry", list(CASES))
def test_memory_stays_flat(entry):
    libc.mallinfo2.restype = MallInfo2

    def run(calls):  # then the object blocks and malloc'd bytes (C++ buffers too) in use
        for call, expected in itertools.islice(itertools.cycle(CASES[entry]), calls):
            assert outcome(call) == expected
        gc.collect()
        info = libc.mallinfo2()
        return sys.getallocatedblocks(), info.uordblks + info.hblkhd

    before = run(500)  # warmed up
    blocks, heap = [a - b for a, b in zip(run(5000), before)]
    # under one object or 8 bytes a call (resident size is no measure of a leak)
    assert blocks < 1250 and heap < 40_000, (blocks, heap)


# "shape table-position": ~1 MB whose padded rows would hold 10^8-10^10 cells, 256 MB to spare; two dense documents.
BOUNDED = """
import json, re, resource
from vesk.vesk_core import Stream, loads
size = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read())[1]) << 10
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20),) * 2)
names, some = ",".join(f"c{i}" for i in range(10_000)), ",".join(f"c{i}" for i in range(1000))
shapes = {"inline 0": "[: " + names + ";" + ";" * 1_000_000 + "]",
          "lines 0": "[:\\n" + names + "\\n" + "x\\n" * 500_000 + "]",
          "counted 6": '{"t": [500000]{' + names + "}:" + "\\nx" * 500_000 + "}",
          "nested 6": "[: a; " + ("[: " + some + ";" + ";" * 8000 + "]; ") * 100 + "]"}
def error(call):
    try:
        call()
    except (ValueError, MemoryError) as e:
        return f"{type(e).__name__}: {e}"
def streamed(text):
    stream = Stream()
    for i in range(0, len(text), 65_536):
        stream.feed(text[i:i + 65_536])
    stream.close()
out = {name: [error(lambda: loads(text)), error(lambda: loads(text, partial=True)), error(lambda: streamed(text))]
       for name, text in shapes.items()}
out["dense"] = [len(loads("[: a;" + "1;" * 200_000 + "]")), len(loads("[" + "{}," * 200_000 + "]"))]
print(json.dumps(out))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves terabytes of address space")
def test_padding_cannot_outgrow_the_text():
    run = subprocess.run([sys.executable, "-c", BOUNDED], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    out = json.loads(run.stdout)
    assert out.pop("dense") == [200_000, 200_000]
    for shape, errors in out.items():
        for message in errors:
            assert message.startswith("DecodeError: ") and padding_error(message[13:], int(shape.split()[1])), message


def held(records):  # every object a failing write may take a reference to: records and their values
    fields = [r if isinstance(r, dict) else vars(r) for r in records]
    return [records, *records, *[v for f in fields for v in f.values() if not isinstance(v, (bool, type(None)))]]


@pytest.mark.parametrize("kind", list(KINDS))
def test_a_failing_table_write_releases_every_reference(kind):
    for k in (0, 1, 9, 10, 33, 59):  # in the sampled records and past them, first and last
        records, error = failing_table(kind, 60, k, k + 1)
        before = [sys.getrefcount(o) for o in held(records)]
        for options in ({}, {"lean": True}, {"indent": 2}, {"bare_strings": True, "implicit_null": True}):
            for wrap in (lambda r: r, lambda r: {"rows": r, "n": len(r)}):
                with pytest.raises(type(error), match=f"^{re.escape(str(error))}$"):
                    dumps(wrap(records), **options)
        gc.collect()
        assert [sys.getrefcount(o) for o in held(records)] == before, k  # a record kept alive holds its values
