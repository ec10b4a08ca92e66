"""loads(..., schema=[names]): objects read positionally, their written keys skipped."""

import json

import pytest

from conftest import check_decode_error, check_same
from test_grid_syntax import params, pe
from vesk.vesk_core import loads

XY = {"x": 1, "y": 2}
MAPPED = {
    "keys": [(t, XY) for t in ['{"a:b": 1, "c,d": 2}', '{"}": 1, "{": 2}', '{a: 1, "a": 2}', '{"a" /* : */ : 1, "\\"b:" :2}']]
    + [("{1: 5}", {"x": 5})]
    # Runs of backslashes before a quote: odd ones escape it, even ones do not.
    + [("{" + json.dumps(k) + ': 1, "k": 2}', XY) for k in ["a\\", 'a"b', '\\"', "\\\\", 'x\\\\"y', '\u00e9"\\' + "s" * 40]],
    "members": [('{"a": 1}', {"x": 1}), ("{ }", {}), ('{"a": 1, }', {"x": 1})],
    "where": [
        ('[{"a": 1, "b": 2}, [[{"p": 1}]]]', [XY, [[{"x": 1}]]]),
        ('[: c, d; {"a": 1}, [: e; {"k": 1, "j": 2} ] ]', [{"c": {"x": 1}, "d": [{"e": XY}]}]),
        ('{"a": {"k": [{"j": 1}]}, "b": [: c; {"k": 1} ]}', {"x": {"k": [{"j": 1}]}, "y": [{"c": {"k": 1}}]}),
        ('[{"a": {"k": 1}}, {"p": 2}]', [{"x": {"k": 1}}, {"x": 2}]),
        ('[{"a": 1,}, {"b": 2}]', [{"x": 1}, {"x": 2}]),  # a trailing comma ends the object
    ],
}
ERRORS = {
    "colon": [('{"a" 1, "b": 2}', pe("Expected ':' at position 5", 5)), ('[{"a": 1, b x: 2}]', pe("Expected ':' at position 12", 12)),
              ('{"a"}', pe("Expected ':' at position 4", 4))],
    "members": [('{"a": 1, "b": 2, "c": 3}', pe("Expected '}' at position 17", 17)), ('{"a": 1 "b": 2}', pe("Invalid character '\"' at position 8", 8)),
                ('{"a": 1,', pe("Unexpected end of input", 8))],
}


@pytest.mark.parametrize("text, expected", params(MAPPED))
def test_mapped(text, expected):
    check_same(loads(text, schema=["x", "y"]), expected)
    check_same(loads(text.encode(), schema=iter(["x", "y"])), expected)


@pytest.mark.parametrize("text, message", params(ERRORS))
def test_errors(text, message):
    with pytest.raises(ValueError) as info:
        loads(text, schema=["x", "y"])
    check_decode_error(info.value, message, text)


def test_without_names_every_member_is_surplus():
    check_same(loads("{}", schema=[]), {})
    with pytest.raises(ValueError, match=r"^Expected '}' at position 1 "):
        loads('{"a": 1}', schema=[])
