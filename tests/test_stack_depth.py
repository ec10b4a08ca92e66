"""Every entry point reaches its full nesting limit on a thread with a 256 KB native stack, and fails there with its
nesting error one level further: deep levels continue on stack segments of their own."""

import json
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import pe

from vesk import dumps, loads


def on_small_stack(fn):  # fn() on a new thread with a 256 KB stack: its result, or its exception re-raised
    previous = threading.stack_size(256 * 1024)
    try:
        with ThreadPoolExecutor(1) as pool:  # its thread starts at submit, with the stack size set
            future = pool.submit(fn)
    finally:
        threading.stack_size(previous)
    return future.result()


def nest(levels, inner, shapes):
    for i in range(levels):
        shape = shapes[i % len(shapes)]
        inner = {"list": [inner], "dict": {"k": inner}, "tuple": (inner,), "table": [{"k": inner}, {"k": 0}]}[shape]
    return inner


# Text nesting exactly 1024 containers deep, from repeated units of `levels` each.
@pytest.mark.parametrize("open_, close, levels", [
    ("[", "]", 1), ('{"a":', "}", 1), ("{a:", "}", 1), ("[: a; ", " ]", 1), ('[{"a": [: b; {c: ', " } ]}]", 4),
    ("[[1: a; ", " ]]", 2)])
def test_loads_reaches_its_limit_on_a_small_stack(open_, close, levels):
    units = 1024 // levels
    text, depth = open_ * units + "1" + close * units, len(open_) * units
    assert on_small_stack(lambda: loads(text)) == on_small_stack(lambda: loads(text.encode())) == loads(text) != 1
    with pytest.raises(ValueError) as info:
        on_small_stack(lambda: loads(open_ * units + "[1]" + close * units))
    assert str(info.value) == pe("Document nested too deeply (max 1024 levels)", depth)
    bad = open_ * units + '"\\q"' + close * units  # an error deep down keeps its message and position
    with pytest.raises(ValueError) as info:
        on_small_stack(lambda: loads(bad))
    assert str(info.value) == pe(f"Invalid escape sequence '\\q' at position {depth + 2}", depth + 2)


@pytest.mark.parametrize("shapes", [["list"], ["dict"], ["tuple"], ["list", "dict", "tuple"], ["table"]])
@pytest.mark.parametrize("indent", [None, 2])
def test_dumps_reaches_its_limit_on_a_small_stack(shapes, indent):
    value = nest(128 if shapes == ["table"] else 256, [], shapes)  # a table is two levels: the list and its records
    text = on_small_stack(lambda: dumps(value, indent=indent))
    assert text == dumps(value, indent=indent)
    assert loads(text) == json.loads(json.dumps(value))
    with pytest.raises(ValueError, match="too deeply nested"):
        on_small_stack(lambda: dumps(nest(1, value, shapes), indent=indent))


# A conversion writes a deep value of its own with dumps, while the outer call is itself deep.
Deep = type("Deep", (), {"model_dump": lambda self: dumps(nest(250, [1], ["list", "dict"]))})


def test_reentrant_dumps_deep_inside_a_deep_dumps():
    text = on_small_stack(lambda: dumps(nest(200, Deep(), ["dict", "list"])))
    assert loads(text) == nest(200, dumps(nest(250, [1], ["list", "dict"])), ["dict", "list"])
