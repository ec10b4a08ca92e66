"""dumps under faults: calls made from inside a call, containers changed while
they are written, output too large to allocate, many threads at once, and
memory that stays flat over thousands of good and failing calls."""

import dataclasses
import gc
import json
import os
import threading

import pydantic
import pytest

from conftest import LEAK_THRESHOLD, compact, needs_plain_malloc, traced_growth
from vesk.vesk_core import dumps


INNER = {"inner": ["\U0001f600" * 3000, "x" * 9000]}  # wider and longer than what surrounds it


class Reenter:
    """model_dump() serialises a field itself, as models often do."""

    def model_dump(self):
        return {"text": dumps(INNER), "again": dumps([Deeper()])}


class Deeper:
    def model_dump(self):
        try:
            dumps({1, 2})
        except TypeError:
            return {"caught": dumps(INNER, indent=1)}


class KeyText:
    def __str__(self):
        return dumps({"k": [1, "\u00e9"]})


class HugeInt(int):
    def __str__(self):
        return int.__repr__(self) if dumps(INNER) == compact(INNER) else "mismatch"


class DeepCopied:
    def __deepcopy__(self, memo):  # dataclasses.asdict copies field values that are not containers
        return dumps(["copied", INNER])


@dataclasses.dataclass
class Holder:
    field: object


def test_calls_from_inside_a_call_return_their_own_text():
    inner = compact(INNER)
    again = compact([{"caught": json.dumps(INNER, indent=1, ensure_ascii=False)}])
    value = ["a" * 100, Reenter(), {KeyText(): HugeInt(2**70)}, Holder(DeepCopied()), "tail"]
    expected = ["a" * 100, {"text": inner, "again": again}, {compact({"k": [1, "\u00e9"]}): 2**70},
                {"field": compact(["copied", INNER])}, "tail"]
    assert dumps(value) == compact(expected)
    assert dumps(value, indent=3, ivy_grid=False) == json.dumps(expected, indent=3, ensure_ascii=False)
    assert dumps("short") == '"short"'


def python_message(mutate):
    d = {"a": 1, "b": 2, "c": 3}
    with pytest.raises(RuntimeError) as info:
        for key in d:
            if key == "b":
                mutate(d)
    return str(info.value)


def grow(d):
    d["new"] = 0


def shrink(d):
    d.pop("c")


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


@pytest.mark.parametrize("change", [grow, shrink, swap])
@pytest.mark.parametrize("where", ["value", "key", "last value"])
def test_a_dict_changed_while_written(change, where):
    message = python_message(change)
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
    with pytest.raises(Exception) as info:
        dumps([d])
    assert type(info.value) is RuntimeError and str(info.value) == message
    assert dumps({"ok": [1]}) == '{"ok":[1]}'


class Dropper:
    """Removes itself from the container that holds its only reference."""

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


class Shrinker:
    def __init__(self, target, keep):
        self.target, self.keep = target, keep

    def model_dump(self):
        del self.target[self.keep:]
        return {"kept": self.keep}


@pytest.mark.parametrize("keep", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("indent", [None, 2])
def test_a_list_that_shrinks_while_written(keep, indent):
    lst = ["x0", None, "x2", "x3", "x4"]
    lst[1] = Shrinker(lst, keep)  # drops every element from `keep` on, itself too when keep < 2
    # only the elements still there when their turn comes are written, laid out as an array of those
    written = ["x0", {"kept": keep}] + ["x2", "x3"][:max(keep - 2, 0)]
    assert dumps(lst, indent=indent) == json.dumps(written, indent=indent, separators=None if indent else (",", ":"))
    assert dumps(["after"]) == '["after"]'


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
    # Outside tracemalloc's sight: a thread's buffer when the thread ends, and
    # the buffer of a call made from inside a call. Each is 8 MB or 64 kB.
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


# Leak checks. tracemalloc sees every Python object the writer creates or gets
# from conversions (the measurement is in conftest).


class Model(pydantic.BaseModel):
    id: int
    tags: list[str]


class Endless:
    def model_dump(self):
        return Endless()


class Raising:
    def model_dump(self):
        raise KeyError("x")


class Surrogate(str):
    def __str__(self):
        return "fine"


def deep(n):
    v = []
    for _ in range(n):
        v = [v]
    return v


def fresh_good(i):
    return [{"id": i, "s": f"\u00e9{i}", "big": 2**70 + i, 1.5: (b"\x00", None), "m": Model(id=i, tags=["a", "b"])},
            Holder([i, {"k": "\U0001f600"}]), {Surrogate(f"\ud800{i}"): i, i: [i / 7, -i]}, Reenter()]


def mutated_dict(i):
    d = {"a": 1, "b": None, "c": 3}
    d["b"] = Mutator(d, grow)
    return d


BAD = [  # each (data, options) raises
    lambda i: ([1, {i}], {}), lambda i: ([f"{i}\udc00"], {}), lambda i: ({f"\ud800{i}": 1}, {}),
    lambda i: (deep(258), {}), lambda i: ([Endless()], {}), lambda i: ({"r": Raising()}, {}),
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


