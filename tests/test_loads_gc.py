"""Dicts of scalars leave the garbage collector's lists; containers bring them back."""

import gc
import weakref

import pytest

from vesk import loads


@pytest.mark.parametrize("text, tracked", [
    ('{"a": 1, "b": "x", "c": 2.5, "d": null, "e": true}', False),
    ('{"a": 1, "b": [1]}', True),
    ('{"a": {"b": 1}}', True),
    ("{}", False),
])
def test_objects(text, tracked):
    assert gc.is_tracked(loads(text)) is tracked


def test_table_rows():
    rows = loads('[: a, b, c; 1, x, [2]; 3, "y", 4.5 ]')
    assert [gc.is_tracked(r) for r in rows] == [True, False]


@pytest.mark.parametrize("grow", [
    lambda d: d.__setitem__("z", []), lambda d: d.update({"z": {}}),
    lambda d: d.setdefault("z", set()), lambda d: d.__ior__({"z": [1]}),
])
def test_storing_a_container_tracks_again(grow):
    d = loads('{"a": 1}')
    assert not gc.is_tracked(d)
    grow(d)
    assert gc.is_tracked(d)


def test_cycle_through_untracked_dict_is_collected():
    d = loads('{"a": 1}')
    d["box"] = box = type("Box", (), {})()
    box.d = d
    ref = weakref.ref(box)
    del d, box
    gc.collect()
    assert ref() is None
