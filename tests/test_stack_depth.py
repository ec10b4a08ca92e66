"""Every entry point reaches its full nesting limit on a thread with a small
native stack (256 KB), and fails there with its nesting error one level
further: deep levels continue on stack segments of their own."""

import json
import threading

import pytest
from conftest import pe

from vesk import dumps, loads

SMALL_STACK = 256 * 1024


def on_small_stack(fn):
    """fn() on a new thread with a 256 KB stack: its result, or its exception re-raised."""
    out = {}

    def work():
        try:
            out["value"] = fn()
        except BaseException as e:  # carried to the calling thread
            out["error"] = e

    previous = threading.stack_size(SMALL_STACK)
    try:
        thread = threading.Thread(target=work)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in out:
        raise out["error"]
    return out["value"]


def nest(levels, inner, shapes):
    for i in range(levels):
        shape = shapes[i % len(shapes)]
        inner = [inner] if shape == "list" else {"k": inner} if shape == "dict" else (inner,) if shape == "tuple" else [{"k": inner}, {"k": 0}]
    return inner


# Text nesting exactly 1024 containers deep, built from repeated units.
READ_LIMIT = {
    "arrays": ("[", "]", 1),
    "objects": ('{"a":', "}", 1),
    "bare-key objects": ("{a:", "}", 1),
    "tables": ("[: a; ", " ]", 1),
    "mixed": ('[{"a": [: b; {c: ', " } ]}]", 4),
    "counted tables in arrays": ("[[1: a; ", " ]]", 2),
}


@pytest.mark.parametrize("open_, close, levels", READ_LIMIT.values(), ids=READ_LIMIT.keys())
def test_loads_reaches_its_limit_on_a_small_stack(open_, close, levels):
    units = 1024 // levels
    text = open_ * units + "1" + close * units
    expected = loads(text)
    assert on_small_stack(lambda: loads(text)) == expected
    assert on_small_stack(lambda: loads(text.encode())) == expected
    too_deep = open_ * units + "[1]" + close * units
    with pytest.raises(ValueError) as info:
        on_small_stack(lambda: loads(too_deep))
    assert str(info.value) == pe("Document nested too deeply (max 1024 levels)", len(open_) * units)


def test_errors_deep_in_a_small_stack_keep_their_position():
    text = "[" * 1000 + "1 2" + "]" * 1000
    with pytest.raises(ValueError) as info:
        on_small_stack(lambda: loads(text))
    assert str(info.value) == pe("Invalid character '2' at position 1002", 1002)


@pytest.mark.parametrize("shapes", [["list"], ["dict"], ["tuple"], ["list", "dict", "tuple"], ["table"]])
@pytest.mark.parametrize("indent", [None, 2])
def test_dumps_reaches_its_limit_on_a_small_stack(shapes, indent):
    levels = 128 if shapes == ["table"] else 256  # a table is two levels: the list and its records
    value = nest(levels, [], shapes)
    text = on_small_stack(lambda: dumps(value, indent=indent))
    assert text == dumps(value, indent=indent)
    assert loads(text) == json.loads(json.dumps(value)) if shapes != ["table"] else loads(text) is not None
    with pytest.raises(ValueError, match="too deeply nested"):
        on_small_stack(lambda: dumps(nest(1, value, shapes), indent=indent))


class Deep:
    """An object whose conversion writes a deep value of its own with dumps,
    while the outer call is itself deep."""

    def model_dump(self):
        return dumps(nest(250, [1], ["list", "dict"]))


def test_reentrant_dumps_deep_inside_a_deep_dumps():
    value = nest(200, Deep(), ["dict", "list"])
    text = on_small_stack(lambda: dumps(value))
    inner = nest(200, dumps(nest(250, [1], ["list", "dict"])), ["dict", "list"])
    assert loads(text) == inner
