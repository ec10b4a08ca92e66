"""Dicts as json.loads makes them, keys from a per-thread cache (2048, first in first out), the collector as found."""

import gc
import json
import subprocess
import sys
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_same
from test_partial import outcome
from vesk.vesk_core import loads


def same_dicts(got, want, path="$", tracking=True):  # and every dict of the size (and tracking) json.loads gives
    check_same(got, want, path)
    if isinstance(want, dict):
        assert sys.getsizeof(got) == sys.getsizeof(want), path
        assert not tracking or gc.is_tracked(got) == gc.is_tracked(want), path
    for k, v in want.items() if isinstance(want, dict) else enumerate(want) if isinstance(want, list) else ():
        same_dicts(got[k], v, f"{path}[{k!r}]", tracking)


@pytest.mark.parametrize("form", ["object", "nested", "table"])
@pytest.mark.parametrize("n", [0, 1, 2, 5, 6, 10, 11, 12, 21, 22, 43, 100])
def test_dicts_have_the_layout_json_gives(n, form):
    # n keys, every third value from the third on a list: a row of scalars after one holding a list too
    record = {f"key{i}": [i] if i % 3 == 2 else [f"v{i}", i, 2.5, None, True][i % 5] for i in range(n)}
    if form == "table" and n:
        rows = [record, {k: 0 if isinstance(v, list) else v for k, v in record.items()}]
        text = f"[: {', '.join(record)}" + "".join("; " + ", ".join(map(json.dumps, r.values())) for r in rows) + " ]"
        same_dicts(loads(text), [json.loads(json.dumps(r)) for r in rows])
    else:
        text = json.dumps(record if form == "object" else {"outer": [record, {"inner": record}]})
        same_dicts(loads(text), json.loads(text))


# Reading holds the collector off (from 4 KB of text) and leaves it as found: a value, an error, a cut, an index.
@pytest.mark.parametrize("text, options", [
    ('[[1.5, 2], {"a": [3, "x"]}, [: a, b; 1, [2]; 3, 4 ]]', {}), ("[: a; 1, 2; 3, 4 ]", {}), ('[1, {"a": }]', {}),
    ("[: a; 1; 2 ]", {"check_counts": True}), ('[1, [2, {"a": [3', {"partial": True}), (b"[1, 2, \xff]", {})])
@pytest.mark.parametrize("filler, enabled", [(0, True), (4096, True), (0, False), (4096, False)])
def test_collector_left_as_found(text, options, filler, enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        outcome((b" " if isinstance(text, bytes) else " ") * filler + text, **options)
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


Members = type("Members", (list,), {})  # an object as (JSON text of a key, value) pairs, repeated keys allowed


def render(value, sep):
    if isinstance(value, Members):
        return "{" + sep[0].join(f"{k}{sep[1]}{render(v, sep)}" for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + sep[0].join(render(v, sep) for v in value) + "]"
    return json.dumps(value)


# Keys escaped and not, one's bytes spelling another, lengths about 32, one too long for the key cache.
KEYS = ['"id"', '"name"', '"tags"', '"meta"', r'"a\\b"', r'"a\b"', r'"a\u0062"', '"ab"',
        r'"q\""', '"' + "k" * 31 + '"', '"' + "k" * 32 + '"', '"' + "k" * 70 + '"']
TWINS = {'"ab"': r'"a\u0062"', r'"a\u0062"': '"ab"', r'"a\\b"': r'"a\b"', r'"a\b"': r'"a\\b"'}
leaves = st.none() | st.integers(-3, 3) | st.sampled_from(["", "a", "caf\u00e9", "x" * 40])
nested = st.recursive(leaves, lambda inner: st.lists(inner, max_size=3)
                      | st.lists(st.tuples(st.sampled_from(KEYS), inner), max_size=4).map(Members), max_leaves=6)


# A record is made by copying the key table of the one before while its keys follow it: each must still come
# out as json.loads makes it, and share nothing with the dict it was copied from.
@settings(max_examples=150, deadline=None)
@given(st.data())
def test_records_shaped_after_the_one_before(data):
    base = data.draw(st.lists(st.tuples(st.sampled_from(KEYS), nested), min_size=1, max_size=7))
    # variants that follow the base, stop short, go past it, stray midway, repeat a key, spell keys otherwise
    cut = data.draw(st.integers(0, len(base)))
    extra = data.draw(st.lists(st.tuples(st.sampled_from(KEYS), nested), min_size=1, max_size=2))
    variants = [base, base[:cut], base + extra, base[:cut] + [('"other"', 1)] + base[cut + 1:],
                base[:cut] + base[:1] + base[cut:], [(TWINS.get(k, k), v) for k, v in base]]
    variants = [Members((k, data.draw(nested) if data.draw(st.booleans()) else v) for k, v in m) for m in variants]
    records = data.draw(st.lists(st.sampled_from(variants), min_size=2, max_size=8))
    doc = Members([('"records"', records), ('"again"', records[::-1])])
    gc.disable()  # a collection untracks dicts that no longer hold containers
    try:
        for sep in [(",", ":"), (", ", ": ")]:
            text = render(doc, sep)
            got, want = loads(text), json.loads(text)
            same_dicts(got, want)
            got["records"][0].clear() if isinstance(got["records"][0], dict) else None  # a copy shares nothing
            same_dicts(got["records"][1:], want["records"][1:])
            # cut short, dicts have the size of the same content read whole (tracking follows repeated keys' values)
            for end in data.draw(st.lists(st.integers(1, len(text)), max_size=3)):
                part = loads(text[:end], partial=True)
                same_dicts(part, json.loads(json.dumps(part)), tracking=False)
    finally:
        gc.enable()


CAPACITY = 2048


def fresh(length=33):
    return ("k" * length + uuid.uuid4().hex)[-length:]  # a key never read before


def read_key(k, fmt='{"%s": 1}'):
    return next(iter(loads(fmt % k)))


def read_many(n, keys=None):
    read = list(loads("{" + ",".join('"%s":0' % k for k in keys or [fresh() for _ in range(n)]) + "}"))
    assert len(read) == n
    return read


@pytest.mark.parametrize("key, cached", [(fresh(64), True), (fresh(65), False),
                                         ("\u00e9" * 31 + fresh(2), True), ("\u00e9" * 31 + fresh(3), False)])
def test_one_object_per_key_of_at_most_64_bytes_within_and_across_calls(key, cached):
    first, second = (next(iter(d)) for d in loads('[{"%s": 1}, {"%s": 2}]' % (key, key)))
    assert first == second == key and (second is first) is cached
    forms = [read_key(key), read_key(key.encode(), b'{"%s": 1}')]
    if key.isascii():  # bare
        forms.append(read_key(key, "{%s: 1}"))
    assert all((form is first) is cached for form in forms)


def test_first_in_first_out_eviction():
    k = fresh()
    first = read_key(k)
    read_many(CAPACITY // 2)
    assert read_key(k) is first  # a hit does not move the key to the back
    read_many(CAPACITY - 1 - CAPACITY // 2)  # full, and k is the oldest entry
    for bad in (b'{"\xff\xfe": 1}', b'{"ab\xc3": 1}', b'[{"%s": 1}, {"\xed\xa0\x80xyz": 2}]' % k.encode()):
        with pytest.raises(ValueError, match="^Invalid UTF-8 in key"):
            loads(bad)  # a key that fails takes no place
    assert read_key(k) is first
    read_key(fresh())
    assert read_key(k) is not first


def test_evictions_keep_every_later_key():  # an eviction that freed another key's slot lost it
    kept = read_many(3 * CAPACITY)[-(CAPACITY - 1):]
    assert all(a is b for a, b in zip(kept, read_many(CAPACITY - 1, kept), strict=True))


def test_key_evicted_within_a_document_keeps_its_place():
    keys = [fresh() for _ in range(CAPACITY + 100)]
    doc = "{" + "".join('"%s": %d, ' % (k, i) for i, k in enumerate(keys)) + '"%s": "again"}' % keys[0]
    assert list(loads(doc).items()) == [(keys[0], "again")] + [(k, i) for i, k in enumerate(keys)][1:]


def test_schema_names_survive_loads_calls_made_while_reading_them():
    made = []

    def names():
        for _ in range(3):
            read_many(CAPACITY + 100)
            made.append(fresh())
            yield made[-1]

    assert loads('[{"a": 1, "b": 2, "c": 3}]', schema=names()) == [dict(zip(made, [1, 2, 3]))]


PRELUDE = """import threading, time, vesk
DOC = '{"shutdown_key_a": [1, 2.5, "x"], "shutdown_key_b": {"inner_key": null}}'
"""
# Caches outlive their threads: finished workers' (two erroring out of loads), the main thread's past the interpreter.
CACHES_AT_EXIT = """def work(bad):
    for i in range(200):
        try: vesk.loads([DOC, DOC[:-1], b'{"k": "\\xff"}'][i % 3 if bad else 0])
        except ValueError: pass
threads = [threading.Thread(target=work, args=(i % 2,)) for i in range(4)]
[t.start() for t in threads] + [t.join() for t in threads]
keep = [vesk.loads(DOC) for _ in range(100)]
"""
# The crash needs a daemon thread inside loads at shutdown: four busy threads in each of eight runs.
DAEMONS_IN_LOADS = """for _ in range(4):
    threading.Thread(target=lambda: all(vesk.loads(DOC) for _ in iter(int, 1)), daemon=True).start()
time.sleep(0.05)
"""


@pytest.mark.parametrize("body, runs", [(CACHES_AT_EXIT, 1), (DAEMONS_IN_LOADS, 8)], ids=["caches", "daemons"])
def test_clean_exit(body, runs):
    for _ in range(runs):
        proc = subprocess.run([sys.executable, "-c", PRELUDE + body + "print('clean-end')\n"],
                              capture_output=True, text=True, timeout=60)
        assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr[-2000:]
        assert proc.stdout.strip().endswith("clean-end")
