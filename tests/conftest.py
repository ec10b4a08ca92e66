"""Shared helpers for the loads tests."""

import math
import struct

import pytest


def _float_bits(x):
    return struct.pack("<d", x)


def check_same(actual, expected, path="$"):
    """Raise AssertionError unless `actual` matches `expected` exactly.

    Stricter than ==: types must match (1, 1.0 and True are all different),
    floats are compared bit for bit (so -0.0 differs from 0.0 and a NaN matches
    only a NaN with the same sign), and dictionaries must list their keys in
    the same order.
    """
    assert type(actual) is type(expected), (
        f"{path}: type {type(actual).__name__} != {type(expected).__name__} "
        f"({actual!r:.80} vs {expected!r:.80})"
    )
    if isinstance(expected, float):
        if math.isnan(expected):
            assert math.isnan(actual), f"{path}: {actual!r} is not NaN"
            assert math.copysign(1.0, actual) == math.copysign(1.0, expected), (
                f"{path}: NaN sign differs"
            )
        else:
            assert _float_bits(actual) == _float_bits(expected), (
                f"{path}: {actual!r} != {expected!r}"
            )
    elif isinstance(expected, list):
        assert len(actual) == len(expected), f"{path}: length {len(actual)} != {len(expected)}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            check_same(a, e, f"{path}[{i}]")
    elif isinstance(expected, dict):
        assert list(actual) == list(expected), (
            f"{path}: keys {list(actual)!r:.200} != {list(expected)!r:.200}"
        )
        for k in expected:
            check_same(actual[k], expected[k], f"{path}.{k!r}")
    else:
        assert actual == expected, f"{path}: {actual!r:.200} != {expected!r:.200}"


@pytest.fixture(scope="session")
def assert_same():
    """The strict comparison above, as a fixture (session scoped so that
    hypothesis tests may use it)."""
    return check_same

