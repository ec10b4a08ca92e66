"""The per-thread key cache (one object per key of at most 64 bytes, first in
first out after 2048 keys); a clean exit with caches alive and threads in loads."""

import subprocess
import sys
import uuid

import pytest

from vesk.vesk_core import loads

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
