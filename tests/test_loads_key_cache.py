"""The per-thread key cache (shared key objects, 64-byte limit, first-in
first-out eviction after 2048 keys) and concurrent use of loads from
several threads."""

import gc
import json
import threading
import uuid
from pathlib import Path

import pytest

from conftest import check_same
from vesk.vesk_core import loads

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
CAPACITY = 2048
MAX_CACHED_LEN = 64


def fresh(length=None):
    """A key never used before in this process. Always several characters
    long, so the interpreter's own one-character string singletons cannot
    make two reads look shared."""
    k = "k" + uuid.uuid4().hex
    if length is None:
        return k
    if length <= len(k):
        return k[:length]
    return ("x" * length)[: length - len(k)] + k


def key_of(doc):
    d = loads(doc)
    (k,) = d.keys()
    return k


def read_key(k):
    return key_of('{"%s": 1}' % k)


def read_many(keys):
    """Read all keys in one document; returns nothing, the cache is the point."""
    if keys:
        d = loads("{" + ",".join('"%s":0' % k for k in keys) + "}")
        assert len(d) == len(keys)


def test_repeated_key_in_one_document_is_one_object():
    k = fresh()
    a, b = loads('[{"%s": 1}, {"%s": 2}]' % (k, k))
    ka, kb = next(iter(a)), next(iter(b))
    assert ka == kb == k
    assert ka is kb


def test_key_object_shared_across_calls():
    k = fresh()
    first = read_key(k)
    second = read_key(k)
    assert first is second
    # bare and quoted spellings of the same bytes share the object too
    assert key_of("{%s: 1}" % k) is first
    # bytes and str input share the same cache
    assert key_of(('{"%s": 1}' % k).encode()) is first


def test_non_ascii_key_shared():
    k = fresh() + "\u00e9\U0001f600"
    assert read_key(k) is read_key(k)


@pytest.mark.parametrize("length, shared", [(2, True), (63, True), (64, True), (65, False), (200, False)])
def test_key_length_limit(length, shared):
    k = fresh(length)
    assert len(k.encode()) == length
    a, b = read_key(k), read_key(k)
    assert a == b == k
    assert (a is b) is shared


def test_multibyte_key_limit_counts_bytes():
    # 31 two-byte characters and 2 ASCII = 64 bytes: cached; one more byte: not.
    base = fresh()[:2]
    k64 = base + "".join(chr(0xE0 + i) for i in range(31))
    k65 = k64 + "x"
    assert len(k64.encode()) == 64 and len(k65.encode()) == 65
    assert read_key(k64) is read_key(k64)
    assert read_key(k65) is not read_key(k65)


def test_values_and_escaped_keys_are_not_shared():
    v = fresh()
    a, b = loads('["%s", "%s"]' % (v, v))
    assert a == b and a is not b
    # a key written with an escape goes through the escape reader, uncached
    k = fresh()
    esc = "\\u00" + format(ord(k[0]), "02x") + k[1:]
    x, y = loads('[{"%s": 1}, {"%s": 1}]' % (esc, esc))
    kx, ky = next(iter(x)), next(iter(y))
    assert kx == ky == k
    assert kx is not ky


@pytest.mark.parametrize("others, evicted", [(CAPACITY - 1, False), (CAPACITY, True), (CAPACITY + 500, True)])
def test_eviction_after_capacity(others, evicted):
    # Whatever the cache held before: after K is added, K is evicted exactly
    # when 2048 further distinct keys have been added.
    k = fresh()
    first = read_key(k)
    read_many([fresh() for _ in range(others)])
    again = read_key(k)
    assert again == k
    assert (again is not first) is evicted


def test_eviction_is_first_in_first_out_not_least_recently_used():
    k = fresh()
    first = read_key(k)
    read_many([fresh() for _ in range(1000)])
    assert read_key(k) is first  # a hit does not refresh the entry
    read_many([fresh() for _ in range(CAPACITY - 1000)])
    assert read_key(k) is not first


def test_evicted_key_is_cached_again():
    k = fresh()
    first = read_key(k)
    read_many([fresh() for _ in range(CAPACITY)])
    second = read_key(k)
    assert second is not first
    assert read_key(k) is second


def test_long_keys_do_not_take_cache_slots():
    k = fresh()
    first = read_key(k)
    read_many([fresh(65) for _ in range(3000)])
    read_many([fresh() for _ in range(CAPACITY - 1)])
    assert read_key(k) is first


def test_schema_names_are_interned():
    # The names of a schema go through the same cache: 2048 fresh names
    # evict a key read before.
    k = fresh()
    first = read_key(k)
    assert loads("[1]", schema=[fresh() for _ in range(CAPACITY - 1)]) == [1]
    assert read_key(k) is first
    assert loads("[1]", schema=[fresh()]) == [1]
    assert read_key(k) is not first


@pytest.mark.parametrize(
    "make_bad",
    [
        lambda v: b'{"\xff\xfe": 1}',
        lambda v: b'{"ab\xc3": 1}',
        lambda v: b'{"\xed\xa0\x80xyz": 1}',
        lambda v: b'{"' + v + b'": 1, "\x80bad": 2}',
        lambda v: b'[{"' + v + b'": 1}, {"bad\xe9": 2}]',
        lambda v: b'{' + v + b': {"\xc0\xafslash": 1}}',
    ],
    ids=["ff-fe", "truncated", "surrogate", "after-valid-key", "second-object", "nested"],
)
def test_invalid_utf8_key_leaves_cache_unchanged(make_bad):
    k = fresh()
    first = read_key(k)
    # After K and 2047 more keys the cache is full and K is its oldest entry:
    # the next key added would evict it.
    others = [fresh() for _ in range(CAPACITY - 1)]
    read_many(others)
    # valid keys in the failing documents are already cached (no new entry)
    bad = make_bad(others[-1].encode())
    for _ in range(3):
        with pytest.raises(ValueError) as info:
            loads(bad)
        assert str(info.value).startswith("Invalid UTF-8 in key (approximate position:")
    assert read_key(k) is first
    # and one more new key does evict it, so the cache was indeed full
    read_key(fresh())
    assert read_key(k) is not first


def test_failed_document_keeps_keys_it_interned():
    k = fresh()
    first = read_key(k)
    read_many([fresh() for _ in range(CAPACITY - 1)])
    with pytest.raises(ValueError):
        loads('{"%s": [1 2]}' % fresh())  # interns one new key, then fails
    assert read_key(k) is not first


def test_keys_that_are_prefixes_of_each_other():
    # many keys of every length up to the limit sharing their first bytes;
    # a lookup that compared too few bytes would hand out the wrong key
    base = uuid.uuid4().hex * 2
    keys = [base[:i] for i in range(1, MAX_CACHED_LEN + 1)]
    keys += ["x" + base[:i] for i in range(1, MAX_CACHED_LEN)]
    keys += [base[:i] + "\u00e9" for i in range(1, MAX_CACHED_LEN - 1)]
    doc = "{" + ",".join('"%s": %d' % (k, i) for i, k in enumerate(keys)) + "}"
    for _ in range(2):  # first read fills the cache, second reads from it
        d = loads(doc)
        assert list(d.items()) == [(k, i) for i, k in enumerate(keys)]


def test_eviction_inside_one_document_with_repeated_keys():
    # More distinct keys than the cache holds, then repeats of the first and
    # last: the first has been evicted by then, and must still replace the
    # value in its original place.
    keys = [fresh() for _ in range(CAPACITY + 500)]
    doc = "{" + ",".join('"%s": %d' % (k, i) for i, k in enumerate(keys))
    doc += ', "%s": "first again", "%s": "last again"}' % (keys[0], keys[-1])
    d = loads(doc)
    assert d == json.loads(doc)
    items = list(d.items())
    assert len(items) == len(keys)
    assert items[0] == (keys[0], "first again")
    assert items[-1] == (keys[-1], "last again")


def test_schema_iteration_may_call_loads():
    # Python code run by the schema iteration may itself call loads and churn
    # the cache; the names already read must stay valid.
    def names():
        for i in range(3):
            read_many([fresh() for _ in range(CAPACITY + 100)])
            yield "name%d_%s" % (i, fresh())

    assert loads("[1, [2]]", schema=names()) == [1, [2]]


# ---------------------------------------------------------------- threads


def _run_threads(targets):
    errors = []

    def wrap(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # reported in the main thread
                errors.append(e)

        return run

    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a worker did not finish"
    if errors:
        raise errors[0]


def test_cache_is_per_thread():
    k = fresh()
    main_first = read_key(k)
    seen = {}

    def worker():
        a = read_key(k)
        b = read_key(k)
        seen["same_in_thread"] = a is b
        seen["shared_with_main"] = a is main_first
        seen["key"] = a
        # flood this thread's cache; the main thread's cache is unaffected
        read_many([fresh() for _ in range(CAPACITY * 2)])

    _run_threads([worker])
    assert seen["same_in_thread"] is True
    assert seen["shared_with_main"] is False
    assert seen["key"] == k
    assert read_key(k) is main_first


def test_keys_outlive_the_thread_that_read_them():
    # When a thread ends its cache is destroyed; objects still referenced by
    # results must stay valid.
    results = []
    keys = [fresh() for _ in range(50)]

    def worker():
        results.append(loads("[" + ",".join('{"%s": "%s"}' % (k, k) for k in keys) + "]"))

    for _ in range(5):
        _run_threads([worker] * 4)
    gc.collect()
    assert len(results) == 20
    for r in results:
        assert [list(d.items()) for d in r] == [[(k, k)] for k in keys]


def _corpus_docs():
    names = ["github_events.json", "apache_builds.json", "instruments.json", "update-center.json",
             "twitter.json", "citm_catalog.json", "numbers.json", "random.json"]
    docs = []
    for name in names:
        p = CORPUS / name
        if p.is_file():
            docs.append(p.read_bytes())
    return docs


def _generated_docs(n):
    docs = []
    for t in range(n):
        rows = [
            {"id": i, "name": f"user{t}_{i}", f"field{t}_{i % 7}": [i * 0.5, -i, "x\\y\u00e9"], "ok": i % 2 == 0}
            for i in range(400)
        ]
        docs.append(json.dumps(rows).encode())
    return docs


def test_concurrent_loads_in_eight_threads():
    docs = _corpus_docs()
    if len(docs) < 8:
        docs += _generated_docs(8 - len(docs))
    expected = [json.loads(d) for d in docs]
    barrier = threading.Barrier(len(docs))
    rounds = 10

    def make(doc, exp, as_str):
        def fn():
            data = doc.decode() if as_str else doc
            barrier.wait()
            for _ in range(rounds):
                got = loads(data)
                assert got == exp
            check_same(got, exp)

        return fn

    _run_threads([make(d, e, i % 2 == 1) for i, (d, e) in enumerate(zip(docs, expected))])


def test_concurrent_loads_with_fresh_keys_and_errors():
    # Each thread evicts its own cache over and over and hits errors too;
    # results must stay correct in every thread.
    def fn():
        for r in range(8):
            keys = [fresh() for _ in range(600)]
            doc = "{" + ",".join('"%s": [%d, "%s"]' % (k, i, k) for i, k in enumerate(keys)) + "}"
            got = loads(doc)
            assert list(got) == keys
            assert all(got[k] == [i, k] for i, k in enumerate(keys))
            with pytest.raises(ValueError):
                loads(doc[:-1])
            with pytest.raises(ValueError):
                loads(b'{"' + keys[0].encode() + b'": 1, "\xff": 2}')

    _run_threads([fn] * 8)
