"""dumps of objects with conversions, under faults: conversion order, reentry, mutation, huge output, leaks."""

import dataclasses
import datetime
import gc
import json
import os
import subprocess
import sys
import threading

import pydantic
import pytest

from conftest import LEAK_THRESHOLD, compact, needs_plain_malloc, traced_growth
from vesk.vesk_core import dumps


Tag = type("Tag", (pydantic.BaseModel,), {"__annotations__": {"name": str}})


P = dataclasses.make_dataclass("P", ["x", ("y", object, None)])
Dated = type("Dated", (pydantic.BaseModel,), {"__annotations__": {"when": datetime.time}})


Boom = type("Boom", (Exception,), {})


def raises(exc):
    def get(self):
        raise exc
    return property(get)


def with_attrs(**attrs):
    return type("Obj", (), attrs)()


FIELDS = {"__fields__": {"a": None}}
NOT_JSON = (TypeError, "Object of type 'Obj' is not JSON serializable")
FALLBACK = [  # (object, expected text or (exception type, message))
    (with_attrs(model_dump=raises(Boom("x")), dict=lambda self: {"via": "dict"}, **FIELDS), '{"via":"dict"}'),
    (with_attrs(model_dump=raises(AttributeError("x"))), NOT_JSON), (with_attrs(model_dump=5), NOT_JSON),
    (with_attrs(model_dump=5, dict=lambda self: [1], **FIELDS), "[1]"),
    (with_attrs(model_dump=lambda self: set()), (TypeError, "Object of type 'set' is not JSON serializable")),
    (with_attrs(model_dump=lambda self: 1 / 0), (ZeroDivisionError, "division by zero")),
    (with_attrs(dict=lambda self: {}), NOT_JSON),  # no __fields__
    (with_attrs(dict=lambda self: {}, __fields__=raises(RuntimeError("fields"))), (RuntimeError, "fields")),
    (with_attrs(dict=raises(Boom()), __fields__=1), NOT_JSON),
    (with_attrs(dict=lambda self: {}.pop("k"), **FIELDS), (KeyError, "'k'")),
    (with_attrs(__dataclass_fields__=raises(Boom("dc"))), (Boom, "dc")),
    # a dataclass that also has __fields__ and dict(): dict() comes first
    (dataclasses.make_dataclass("D", ["x"], namespace={"dict": lambda self: "by dict", **FIELDS})(1), '"by dict"'),
    (P, (TypeError, "asdict() should be called on dataclass instances")),  # a dataclass class, not an instance
    (P(1, {1, 2}), (TypeError, "Object of type 'set' is not JSON serializable")),
    (Dated(when=datetime.time(1)), (TypeError, "Object of type 'time' is not JSON serializable")),
]


@pytest.mark.parametrize("obj, expected", FALLBACK, ids=range(len(FALLBACK)))
def test_fallback_order(obj, expected):
    if isinstance(expected, str):
        assert dumps(obj) == expected and dumps([obj, obj], ivy_grid=False) == f"[{expected},{expected}]"
        return
    exc, message = expected
    for data in (obj, {"k": [obj]}):
        with pytest.raises(exc) as info:
            dumps(data)
        assert type(info.value) is exc and str(info.value) == message
    assert dumps("ok") == '"ok"'


class Link:  # model_dump() hands over the next link; the last returns a dict
    def __init__(self, rest):
        self.rest = rest

    def model_dump(self):
        return Link(self.rest - 1) if self.rest > 0 else {"end": self.rest}


def at_depth(depth, value):
    for _ in range(depth):
        value = [value]
    return value


def test_conversions_keep_the_depth_of_the_object():
    assert dumps(at_depth(255, Link(100))) == "[" * 255 + '{"end":0}' + "]" * 255  # a long chain ends in its value
    assert dumps(at_depth(256, with_attrs(model_dump=lambda self: {}))) == "[" * 256 + "{}" + "]" * 256
    for value in (at_depth(256, Link(3)), at_depth(255, P(1, [2]))):  # an entry or element at depth 257
        with pytest.raises(ValueError, match=r"^Object too deeply nested \(max 256 levels\)$"):
            dumps(value)


def test_an_endless_conversion_chain_ends_with_value_error_on_a_small_stack():
    # A thread with the smallest stack allowed: a writer that recursed once per conversion would overflow it.
    code = ("import threading, unittest.mock as m, vesk\nthreading.stack_size(32 * 1024)\nout = []\n"
            "Link = type('Link', (), {'model_dump': lambda self: Link()})\ndef run():\n"
            "    for make in (m.Mock, m.MagicMock, m.NonCallableMagicMock, Link):\n"
            "        for data in (make(), [1, {'a': make()}]):\n            try: vesk.dumps(data)\n"
            "            except Exception as e: out.append(type(e).__name__)\n"
            "t = threading.Thread(target=run); t.start(); t.join(); print(out)")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip() == str(["ValueError"] * 8), proc.stderr[-2000:]


INNER = {"inner": ["\U0001f600" * 3000, "x" * 9000]}  # wider and longer than what surrounds it


class Reenter:  # model_dump() serialises a field itself, as models often do
    def model_dump(self):
        return {"text": dumps(INNER), "again": dumps([Deeper()])}


class Deeper:
    def model_dump(self):
        try:
            dumps({1, 2})
        except TypeError:
            return {"caught": dumps(INNER, indent=1)}


KeyText = type("KeyText", (), {"__str__": lambda self: dumps({"k": [1, "\u00e9"]})})
HugeInt = type("HugeInt", (int,), {"__str__": lambda s: repr(int(s)) if dumps(INNER) == compact(INNER) else "mismatch"})
# dataclasses.asdict copies field values that are not containers
DeepCopied = type("DeepCopied", (), {"__deepcopy__": lambda self, memo: dumps(["copied", INNER])})


def test_calls_from_inside_a_call_return_their_own_text():
    inner = compact(INNER)
    again = compact([{"caught": json.dumps(INNER, indent=1, ensure_ascii=False)}])
    value = ["a" * 100, Reenter(), {KeyText(): HugeInt(2**70)}, P(DeepCopied()), "tail"]
    expected = ["a" * 100, {"text": inner, "again": again}, {compact({"k": [1, "\u00e9"]}): 2**70},
                {"x": compact(["copied", INNER]), "y": None}, "tail"]
    assert dumps(value) == compact(expected)
    assert dumps(value, indent=3, ivy_grid=False) == json.dumps(expected, indent=3, ensure_ascii=False)
    assert dumps("short") == '"short"'


def swap(d):  # drop an entry already passed and add one: same size, more entries
    del d["a"]
    d["new"] = 0


class Mutator:
    def __init__(self, target, change):
        self.target, self.change = target, change

    def model_dump(self):
        self.change(self.target)
        return 0

    def __str__(self):  # as a key
        return str(self.model_dump())


@pytest.mark.parametrize("change, message", [  # the messages of a Python loop over the dict
    (lambda d: d.update(new=0), "dictionary changed size during iteration"),
    (lambda d: d.pop("c"), "dictionary changed size during iteration"),
    (swap, "dictionary keys changed during iteration"),
], ids=["grow", "shrink", "swap"])
@pytest.mark.parametrize("where", ["value", "key", "last value"])
def test_a_dict_changed_while_written(change, message, where):
    d = {"a": 1, "b": 2, "c": 3}
    m = Mutator(d, change)
    if where == "value":
        d["b"] = m
    elif where == "key":
        d[m] = d.pop("b")
        d["c"] = d.pop("c")  # keep "c" after the mutating key
    else:  # checked once more after the last entry
        d = {"a": 1, "c": 3, "b": m}
        m.target = d
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        dumps([d])
    assert dumps({"ok": [1]}) == '{"ok":[1]}'


class Dropper:  # removes itself from the container that holds its only reference
    def __init__(self, container, slot):
        self.container, self.slot = container, slot

    def model_dump(self):
        self.container[self.slot] = "gone"
        return {"x": ["y" * 50 for _ in range(20)]}  # reuses the memory a released object would leave

    def __str__(self):
        del self.container[self]
        return "key"


def test_objects_released_by_their_container_while_written():
    d = {"a": 1}
    d["b"] = Dropper(d, "b")
    assert dumps(d) == compact({"a": 1, "b": {"x": ["y" * 50] * 20}})
    lst = [0, None, 2]
    lst[1] = Dropper(lst, 1)
    assert dumps(lst) == compact([0, {"x": ["y" * 50] * 20}, 2])
    d = {"a": 1}
    d[Dropper(d, None)] = 2
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        dumps(d)


@pytest.mark.parametrize("value, indent", [
    ([1], 10**15), ({"a": 1}, 2**64 - 1), ([[1]], 2**63), ((((1,),),), 2**62 + 1), ({"a": [[]]}, 2**64 - 1),
])
def test_output_too_large_to_allocate(value, indent):
    with pytest.raises(MemoryError):
        dumps(value, indent=indent)
    assert dumps(value) == compact(value)
    big = ["z" * 1000] * 100
    assert dumps(big, indent=1) == json.dumps(big, indent=1)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@needs_plain_malloc
def test_output_buffers_are_freed():
    # Outside tracemalloc's sight: an 8 MB buffer of an ended thread, 64 kB ones of calls inside a call.
    text = "q" * 8_000_000
    start = rss()
    for _ in range(25):
        t = threading.Thread(target=lambda: dumps(text))
        t.start()
        t.join()
    for _ in range(2000):
        dumps([Reenter()])
    gc.collect()
    assert rss() - start < 100_000_000


# Leak checks: tracemalloc sees every Python object the writer creates or gets from conversions.
Surrogate = type("Surrogate", (str,), {"__str__": lambda self: "fine"})
RAISING = with_attrs(model_dump=lambda self: {}.pop("x"))  # a fresh error each call


def fresh_good(i):
    return [{"id": i, "s": f"\u00e9{i}", "big": 2**70 + i, 1.5: (b"\x00", None), "m": Tag(name=f"a{i}")},
            P([i, {"k": "\U0001f600"}]), {Surrogate(f"\ud800{i}"): i, i: [i / 7, -i]}, Reenter()]


def mutated_dict(i):
    d = {"a": 1, "b": None, "c": 3}
    d["b"] = Mutator(d, lambda d: d.update(new=0))
    return d


BAD = [  # each (data, options) raises
    lambda i: ([1, {i}], {}), lambda i: ([f"{i}\udc00"], {}), lambda i: ({f"\ud800{i}": 1}, {}),
    lambda i: (at_depth(258, []), {}), lambda i: ([Link(10**9)], {}), lambda i: ({"r": RAISING}, {}),
    lambda i: (mutated_dict(i), {}), lambda i: ([[i]], {"indent": 2**64 - 1}),
    lambda i: ([i], {"ivy_grid": 0}), lambda i: ([i], {"delimiter": i}), lambda i: ([i], {"indent": i + 0.5}),
    lambda i: ([10 ** 5000], {}),
]


def good_step(i):  # not read back: the reader's key cache would keep the int keys
    assert dumps(fresh_good(i), ivy_grid=False, unquoted_keys=bool(i % 2), indent=i % 3 or None).endswith("]")


def bad_step(i):
    data, options = BAD[i % len(BAD)](i)
    try:
        dumps(data, **options)
    except (ValueError, TypeError, KeyError, RuntimeError, MemoryError, OverflowError):
        return
    raise AssertionError(f"no error for case {i % len(BAD)}")


@pytest.mark.parametrize("step", [good_step, bad_step])
def test_memory_stays_flat(step):
    assert traced_growth(step) < LEAK_THRESHOLD
