"""Objects read positionally against loads(..., schema=[names]): which
objects are mapped, how member keys are skipped, and the errors."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import check_same
from vesk.vesk_core import loads


def pe(message, position):
    return f"{message} (approximate position: \u00b132 bytes from {position})"


def _ids(table):
    return [repr(row[0])[:50] for row in table]


XY = ["x", "y"]

# ----------------------------------------------------- key text is skipped

KEYS = [
    ('{"a": 1, "b": 2}', XY, {"x": 1, "y": 2}),
    ('{"a:b": 1, "c,d": 2}', XY, {"x": 1, "y": 2}),  # a quoted key is skipped whole
    ('{"}": 1, "{": 2}', XY, {"x": 1, "y": 2}),
    ('{"a\\"b:": 1}', XY, {"x": 1}),
    ('{"\\u003a": 1}', XY, {"x": 1}),
    ("{1: 5}", ["x"], {"x": 5}),  # key text that is not a string still maps
    ("{a: 1, b_2: 2}", XY, {"x": 1, "y": 2}),  # bare keys
    ('{"a"  /*c*/ : 1}', ["x"], {"x": 1}),  # filler between key and colon
    ('{"a"\n:\n1\n,\n"b"\t:2}', XY, {"x": 1, "y": 2}),
    ('{"a" /* : */ : 1, "b": 2}', XY, {"x": 1, "y": 2}),  # ':' in a comment is not the colon
    ('{// "x\n "a": 1, /* , : */ "b": 2}', XY, {"x": 1, "y": 2}),
    ('{"a": "x:y", "b": "}"}', XY, {"x": "x:y", "y": "}"}),
    ('{"a": [: c; 1 ], "b": 2}', XY, {"x": [{"c": 1}], "y": 2}),
    ('{"a": 1, "a": 2}', XY, {"x": 1, "y": 2}),  # equal written keys are still two members
    ('{"a": 1}', XY, {"x": 1}),  # fewer members: later names absent
    ("{}", XY, {}),
    ("{ }", XY, {}),
    ("{}", [], {}),
    ('{"a": 1, }', ["x"], {"x": 1}),  # trailing comma after the last name
    ('{"a": 1, }', XY, {"x": 1}),  # trailing comma ends the object early
]


@pytest.mark.parametrize("text, schema, expected", KEYS, ids=_ids(KEYS))
def test_member_keys_are_skipped(text, schema, expected):
    check_same(loads(text, schema=schema), expected)
    check_same(loads(text.encode(), schema=schema), expected)


# ------------------------------------------------- which objects are mapped

MAPPED = [
    # top-level object and objects in lists, lists of lists and table cells
    ('[{"a": 1, "b": 2}, {"p": 3, "q": 4}]', [{"x": 1, "y": 2}, {"x": 3, "y": 4}]),
    ('[[{"a": 1}], [[{"b": 2, "c": 3}]]]', [[{"x": 1}], [[{"x": 2, "y": 3}]]]),
    ('[: c; {"a": 1}; {"b": 2, "z": 3} ]', [{"c": {"x": 1}}, {"c": {"x": 2, "y": 3}}]),
    ('[: c, d; [{"a": 1}], [: e; {"k": 7} ] ]', [{"c": [{"x": 1}], "d": [{"e": {"x": 7}}]}]),
    # header names and bare cells are not affected by the schema
    ("[: c; 1 ]", [{"c": 1}]),
    # a member value is read with its written keys, however deep
    ('{"a": {"k": 1}, "b": 2}', {"x": {"k": 1}, "y": 2}),
    ('{"a": [{"k": 1}]}', {"x": [{"k": 1}]}),
    ('{"a": [: c; {"k": 1} ]}', {"x": [{"c": {"k": 1}}]}),
    ('[{"a": {"b": {"c": 1}}}]', [{"x": {"b": {"c": 1}}}]),
    # the schema is back in force after a mapped object
    ('[{"a": {"k": 1}}, {"p": 2}]', [{"x": {"k": 1}}, {"x": 2}]),
    # a trailing comma ends the object; it never borrows the next object's members
    ('[{"a": 1,}, {"b": 2}]', [{"x": 1}, {"x": 2}]),
    ('[{"a": 1,}, {"b": 2, "c": 3}]', [{"x": 1}, {"x": 2, "y": 3}]),
    ('[{"a": 1}, {"b": 2, "c": 3}]', [{"x": 1}, {"x": 2, "y": 3}]),
    ("[1, null, {}]", [1, None, {}]),
]


@pytest.mark.parametrize("text, expected", MAPPED, ids=_ids(MAPPED))
def test_which_objects_are_mapped(text, expected):
    check_same(loads(text, schema=XY), expected)


def test_without_schema_keys_are_kept():
    # the same text as above, read with no schema, keeps the written keys
    check_same(loads('[{"a": 1,}, {"b": 2}]'), [{"a": 1}, {"b": 2}])
    check_same(loads('[: c; {"a": 1} ]', schema=None), [{"c": {"a": 1}}])


# ------------------------------------------------------------------ errors

ERRORS = [
    # only filler may stand between a key and its colon
    ('{"a" 1, "b": 2}', XY, pe("Expected ':' at position 5", 5)),
    ('{"a" x: 1}', XY, pe("Expected ':' at position 5", 5)),
    ('{"a": 1, "b" x: 2}', XY, pe("Expected ':' at position 13", 13)),
    ('[{"a" 1}]', XY, pe("Expected ':' at position 6", 6)),
    ('{"a"}', XY, pe("Expected ':' at position 4", 4)),
    ('{"a": 1, "b"}', XY, pe("Expected ':' at position 12", 12)),
    ('{"a": }', XY, pe("Invalid character '}' at position 6", 6)),
    # more members than names
    ('{"a": 1, "b": 2, "c": 3}', XY, pe("Expected '}' at position 17", 17)),
    ('[{"a": 1}, {"b": 2, "c": 3, "d": 4}]', XY, pe("Expected '}' at position 28", 28)),
    ('{"a": 1}', [], pe("Expected '}' at position 1", 1)),
    # a byte after a member value other than ',' or '}'
    ('{"a": 1 "b": 2}', XY, pe("Invalid character '\"' at position 8", 8)),
    # cut short
    ('{"a": 1', XY, pe("Unexpected end of input", 7)),
    ('{"a"', XY, pe("Unexpected end of input", 4)),
    ('{"a": 1,', XY, pe("Unexpected end of input", 8)),
]


@pytest.mark.parametrize("text, schema, message", ERRORS, ids=_ids(ERRORS))
def test_schema_errors(text, schema, message):
    with pytest.raises(ValueError) as info:
        loads(text, schema=schema)
    assert type(info.value) is ValueError
    assert str(info.value) == message


# --------------------------------------------------------------- property

json_scalars = st.none() | st.booleans() | st.integers(-(10**18), 10**18) | st.text(max_size=8)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=8,
)


@st.composite
def mapped_objects(draw):
    names = draw(st.lists(st.text(min_size=1, max_size=6), min_size=1, max_size=5, unique=True))
    objects = []
    for _ in range(draw(st.integers(0, 4))):
        n = draw(st.integers(0, len(names)))
        keys = draw(st.lists(st.text(max_size=6), min_size=n, max_size=n))
        values = draw(st.lists(json_values, min_size=n, max_size=n))
        objects.append(list(zip(keys, values)))
    return names, objects


def write_object(members, trailing_comma):
    body = ", ".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in members)
    if members and trailing_comma:
        body += ","
    return "{" + body + "}"


@settings(max_examples=100, deadline=None)
@given(mapped_objects(), st.booleans())
def test_objects_map_by_position(case, trailing_comma):
    """Keys of any text (including ':' ',' '}' and escapes) are skipped and
    the i-th value goes to the i-th name; nested values keep their keys."""
    names, objects = case
    text = "[" + ", ".join(write_object(m, trailing_comma) for m in objects) + "]"
    expected = [dict(zip(names, (v for _, v in m))) for m in objects]
    check_same(loads(text, schema=names), expected)
