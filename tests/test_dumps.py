"""dumps outside tables: exact texts, texts against json, errors, lines; conversions, reentry, mutation, leaks."""

import collections
import dataclasses
import datetime
import enum
import gc
import itertools
import json
import operator
import os
import subprocess
import sys
import threading

import pydantic
import pytest

import vesk
from conftest import LEAK_THRESHOLD, compact, needs_plain_malloc, traced_growth
from vesk.vesk_core import dumps


Color, Num = enum.Enum("Color", {"RED": 1}), enum.IntEnum("Num", {"THREE": 3})
Flag, Word = enum.IntFlag("Flag", {"A": 1, "B": 4}), enum.StrEnum("Word", {"A": "a"})
Big = type("Big", (int,), {"__str__": lambda s: "\u221e" if abs(s) >= 2**64 else "never"})
LoneDigits = type("LoneDigits", (int,), {"__str__": lambda s: "1\udc00"})
Half = type("Half", (float,), {"__repr__": lambda s: "never"})


def LoneKey(text, shown="k"):  # a str whose str() is another text: a key whose own text may have no UTF-8 form
    return type("LoneKey", (str,), {"__str__": lambda self: shown})(text)


def with_attrs(**attrs):
    return type("Obj", (), attrs)()


def message_of(call, arg):  # the interpreter's own message for call(arg)
    try:
        call(arg)
    except Exception as e:
        return str(e)


Point = collections.namedtuple("Point", "x y")
P = dataclasses.make_dataclass("P", ["x", ("y", object, None)])
INF, NAN = float("inf"), float("nan")
EXACT = [  # what json.dumps would not write, or writes otherwise; plain values are held to orjson elsewhere
    (2**64, "18446744073709551616"), (-(2**64), "-18446744073709551616"),
    (Num.THREE, "3"), (Flag.A | Flag.B, "5"), (Word.A, '"a"'), (LoneKey("q", "never"), '"q"'), (Big(5), "5"),
    (Big(-(2**63)), "-9223372036854775808"), (Big(2**64 - 1), "18446744073709551615"),
    (Big(2**64), "\u221e"), ([Big(-(2**65)), "\u00e9"], "[\u221e,\"\u00e9\"]"),
    (Half(0.5), "0.5"), (NAN, "NaN"), (-NAN, "NaN"), (INF, "Infinity"), (-INF, "-Infinity"),
    # runs of floats broken by other values, in lists and tuples, at every width
    ([1.5, 2.5, NAN, 3.5, Half(0.25), 4.5, 1, 5.5], "[1.5,2.5,NaN,3.5,0.25,4.5,1,5.5]"),
    ((INF, 0.5, -0.0, 1e16), "[Infinity,0.5,-0.0,1e16]"), (["\U0001f600", 0.5, 1e300], '["\U0001f600",0.5,1e300]'),
    (b"", '""'), (b"\x00\xab", '"00ab"'), (bytes(range(256)) * 3, '"' + bytes(range(256)).hex() * 3 + '"'),
    (Point(1, (2,)), "[1,[2]]"), ({1: "a", None: 2, True: 3}, '{"1":3,"None":2}'),
    ({(1, 2): 0, 1.5: 1, False: 2}, '{"(1, 2)":0,"1.5":1,"False":2}'),
    # keys by str(), also where their own text has no UTF-8 form
    ({LoneKey("\ud800"): 1}, '{"k":1}'), ({"\u20ac": 1, LoneKey("\udfff", "\u00e9"): 2}, '{"\u20ac":1,"\u00e9":2}'),
    ({LoneKey("\ud800\U0001f600"): "\u00e9"}, '{"k":"\u00e9"}'),  # the astral part widened the buffer first
    ({LoneKey("\ud800\U0001f600"): "\u20ac"}, '{"k":"\u20ac"}'),  # four-byte buffer, two-byte result
    ({with_attrs(__str__=lambda self: "\u20ac\n"): 1, with_attrs(__str__=lambda self: ""): 2}, '{"\u20ac\\n":1,"":2}'),
    ({Num.THREE: 1, Word.A: 2, LoneKey("k", "never"): 3}, '{"3":1,"a":2,"k":3}'),
    # numbers and literals after a wider string are written at its width
    (["\U0001f600", 1.5, -12, 2**64 - 1, 1e-7, True, None, NAN, b"\xff"],
     '["\U0001f600",1.5,-12,18446744073709551615,1e-7,true,null,NaN,"ff"]'),
    (["\u20ac", -0.0, 2**63, False, -INF, -(10**30), {}],
     '["\u20ac",-0.0,9223372036854775808,false,-Infinity,-1' + "0" * 30 + ",{}]"),
]


@pytest.mark.parametrize("value, expected", EXACT, ids=[repr(v)[:30] for v, _ in EXACT])
def test_exact_text(value, expected):
    # == also compares the storage kind: a str kept wider than its widest character fails
    assert dumps(value) == expected
    assert dumps([value, value], ivy_grid=False) == f"[{expected},{expected}]"
    assert dumps({"k": value}) == f'{{"k":{expected}}}'


def with_holes(size, drop, key=str):
    d = {key(i): i for i in range(size)}
    for i in drop:
        del d[key(i)]
    return d


ordered = collections.OrderedDict((k, k) for k in "abcd")
del ordered["b"]
# Dicts whose tables hold deleted entries, keys of any type, split tables, hash indexes of 1, 2 and 4 bytes a slot.
DICT_TABLES = [
    with_holes(6, [0]), with_holes(6, [5]), with_holes(6, [1, 2, 4]), with_holes(6, range(6)),
    with_holes(5, [0, 3], key=lambda i: i * 1.5), with_holes(5, [4], key=lambda i: (i,) if i % 2 else i),
    with_holes(300, range(0, 300, 7)), with_holes(70_000, range(1, 70_000, 3)), collections.Counter("mississippi"),
    vars(P(1, [2])), ordered, with_holes(9, range(0, 9, 2)) | {"late": 1, "0": "back"},
]
# Number runs on either side of the write chunk sizes, ended at the last element by each kind of breaker.
BREAKERS = (NAN, INF, Half(0.25), True, Num.THREE, 2**30 - 1, -(2**30), 2**30, 2**63, -(2**64), "x", None, [0.5])
NUMBER_LISTS = [
    [0.5] * 32, [0.5] * 33, [-65.613616999999977] * 100, [1e15, 0.001, -0.0, 123456.789, 2.5],
    [7] * 32, [-7] * 33, list(range(-1000, 1000, 7)), [10**9 + i for i in range(70)], [1, 2.5, -3, 0.0, 0, -0.0],
    *[[i + 0.125 for i in range(n)] + [last] for n in (1, 31) for last in BREAKERS],
    *[[i * 37 - 500 for i in range(n)] + [last] for n in (1, 31, 32, 33, 64, 65) for last in BREAKERS],
    # runs of coordinate pairs, short and past a write batch, ended by a list that is not one of them
    *[[[i * 0.37 - 50, -i / 3] for i in range(n)] + [last] for n in (1, 13, 300)
      for last in ([0.5, "x"], [0.5, NAN], [1.5] * 33, [], "x", (0.5, 1.5), [[0.5]])],
]
TEXTS = ["", "\u00e9", "\u20ac", "\U0001f600", 'a"b\\c', "x" * 70 + "\n" + "y" * 29, "\u00e9\u00ff\x01" * 40,
         "\u20ac\t" * 50, "\U0001f600\r\"" * 33, "a" * 9000 + "\U0001f600", "\u00e9" * 5000 + "\u20ac",
         # short Latin-1 and two-byte texts, which go out in blocks: clean, and with an escape first and last
         "caf\u00e9", "\u00e9" * 63, "\u00e9\x01\u00ff", "\u00ff" * 62 + '"', "\u65e5\u672c\n\u8a9e",
         "\u20ac" * 16, "\u20ac" * 17, "\\" + "\u20ac" * 15, "\u20ac" * 15 + '"', "\u20ac" * 33 + "\x1f",
         # long ASCII texts, written whole where the buffer has room: clean, with an escape last, and of
         # every length from 60 to 200 in a list and in a dict, some of them at the end of the buffer
         "0123456789" * 20, "a" * 199 + '"', ["q" * n for n in range(60, 200)],
         {f"k{n}": "q" * n for n in range(60, 200)}]


@pytest.mark.parametrize("value", DICT_TABLES + NUMBER_LISTS + TEXTS, ids=itertools.count())
def test_same_text_as_json(value):
    j = {str(k): v for k, v in value.items()} if isinstance(value, dict) else value
    # alone, then in a tuple, as a value (a key too, of a text), written at one, two and four bytes a character
    key = value if isinstance(value, str) else "k"
    inner, j_inner = (tuple(value), j) if isinstance(value, list) else ((value,), [j])
    around = [value, {key: inner}, "\u00e9", value, "\U0001f600", value]
    for v, expected in ((value, j), (around, [j, {key: j_inner}, "\u00e9", j, "\U0001f600", j])):
        assert dumps(v, ivy_grid=not isinstance(value, dict)) == compact(expected)
    if isinstance(value, dict):
        assert vesk.loads(dumps([value, value])) == [j, j]  # as a table where it is one
    # indentation of every width up to and past 64 spaces, under 8 levels of under 8 spaces and not
    for indent, levels in ((0, 1), (False, 2), (True, 1), (7, 1), (2, 6), (Num.THREE, 7), (9, 8), (70, 1)):
        deep, expected = [value, [], {}], [j, [], {}]
        for _ in range(levels):
            deep, expected = [deep], [expected]
        assert dumps(deep, indent=indent) == json.dumps(expected, indent=indent, ensure_ascii=False)


def nested(levels, inner):
    for i in range(levels):
        inner = [inner] if i % 3 == 0 else {"k": inner} if i % 3 == 1 else (inner,)
    return inner


@pytest.mark.parametrize("indent", [None, 1])
def test_nesting_limit(indent):
    value = nested(255, [1.5, 2.5])  # a number run at depth 256 is written
    assert json.loads(dumps(value, indent=indent)) == json.loads(json.dumps(value))
    cycle = []
    cycle.append({"c": cycle})
    for value in (nested(256, [1]), nested(256, [1.5]), nested(256, {"a": None}), nested(256, ("",)), nested(10**5, 0),
                  cycle):
        with pytest.raises(ValueError, match=r"^Object too deeply nested \(max 256 levels\)$"):
            dumps(value, indent=indent)
        assert dumps(["ok", 1]) == '["ok",1]'  # nothing of the failed call is left over


@pytest.mark.parametrize("keys, bare", [
    (["name", "x-y", "$id", "_a1", "null", "None", "A", "$", "_", "a--"], True),
    (["1a", "a b", "\u00e9", "", "a.b", "-a", "a\n", "a:", '"', "caf\u00e9", "\U0001f600"], False),
])
def test_unquoted_keys(keys, bare):
    value = dict.fromkeys(keys, "\u20ac")  # the keys after the first are written at two bytes a character
    expected = "{" + ",".join((k if bare else json.dumps(k, ensure_ascii=False)) + ':"\u20ac"' for k in keys) + "}"
    assert dumps(value, unquoted_keys=True) == expected and dumps(value) == compact(value)
    assert dumps({None: 1, 2: 2, True: 3}, unquoted_keys=True) == '{None:1,"2":2,True:3}'
    assert dumps({"a": {"b": 1}}, unquoted_keys=True, indent=1) == "{\n a: {\n  b: 1\n }\n}"


LINES_CONFLICT = " cannot be combined with lines=True, which writes one line of JSON a value"


ENCODE, NOT_BOOL = "Failed to encode string as UTF-8", "object cannot be converted to 'PyBool'"
NOT_JSON = "Object of type '{}' is not JSON serializable"


@pytest.mark.parametrize("call, exc, message", [
    (lambda: dumps("\ud800"), ValueError, ENCODE), (lambda: dumps(["\u20ac\udfffx"]), ValueError, ENCODE),
    (lambda: dumps({"\ud83d": 1}), ValueError, ENCODE),
    (lambda: dumps({LoneKey("\ud800", "\udc00"): 1}), ValueError, ENCODE),
    (lambda: dumps({with_attrs(__str__=lambda self: "\ud800"): 1}), ValueError, ENCODE),
    (lambda: dumps({with_attrs(__str__=lambda self: {}.pop("boom")): 1}), KeyError, "'boom'"),
    (lambda: dumps([10**5000]), ValueError, message_of(str, 10**5000)),  # the interpreter's own digit limit
    (lambda: dumps([LoneDigits(2**64)]), UnicodeEncodeError, message_of(str.encode, "1\udc00")),
    *[(lambda v=v: dumps(v), TypeError, NOT_JSON.format(type(v).__name__))
      for v in ({1, 2}, datetime.datetime(2020, 1, 1), Color.RED, object())],
    (lambda: dumps(), TypeError, "dumps() missing 1 required positional argument: 'data'"),
    (lambda: dumps(1, 2), TypeError, "dumps() takes 1 positional arguments but 2 were given"),
    (lambda: dumps(1, x=1), TypeError, "dumps() got an unexpected keyword argument 'x'"),
    (lambda: dumps(1, data=2), TypeError, "dumps() got multiple values for argument 'data'"),
    (lambda: dumps(1, indent=2.0), TypeError, "argument 'indent': " + message_of(operator.index, 2.0)),
    (lambda: dumps(1, indent=with_attrs(__index__=lambda self: -5)), OverflowError, None),
    (lambda: dumps(1, indent=with_attrs(__index__=lambda self: len(5))), TypeError,
     "argument 'indent': " + message_of(len, 5)),
    (lambda: dumps(1, indent=with_attrs(__index__=lambda self: {}.pop("k"))), KeyError, "'k'"),
    (lambda: dumps(1, delimiter=1), TypeError, "argument 'delimiter': 'int' object cannot be converted to 'PyString'"),
    (lambda: dumps(1, delimiter="\ud800"), UnicodeEncodeError, None),
    (lambda: dumps(1, lean=1), TypeError, "argument 'lean': 'int' " + NOT_BOOL),
    # the first option in the documented order fails, whatever the order of the call
    (lambda: dumps(1, unquoted_keys=0, ivy_grid=None), TypeError, "argument 'ivy_grid': 'NoneType' " + NOT_BOOL),
    (lambda: dumps(1, bare_strings=0, indent="x"), TypeError, "argument 'indent': " + message_of(operator.index, "")),
    (lambda: dumps(1, delimiter=0, row_count=0, implicit_null=1), TypeError, "argument 'implicit_null': 'int' "
     + NOT_BOOL),
    (lambda: dumps([1], lines=1), TypeError, "argument 'lines': 'int' " + NOT_BOOL),
    (lambda: dumps([1], lines=True, indent=0), ValueError, "indent" + LINES_CONFLICT),
    (lambda: dumps([1], lines=True, unquoted_keys=True, lean=True), ValueError, "unquoted_keys" + LINES_CONFLICT),
    *[(lambda v=v: dumps(v, lines=True), TypeError,
       f"lines=True takes a list, tuple or other iterable of values, not '{type(v).__name__}'") for v in ("ab", 5)],
    (lambda: dumps((1 / x for x in (1, 0)), lines=True), ZeroDivisionError, "division by zero"),  # from its iterator
    (lambda: dumps([1, {2}], lines=True), TypeError, NOT_JSON.format("set")),
])
def test_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    # None: the interpreter's own error, without an argument prefix
    assert "argument" not in str(info.value) if message is None else str(info.value) == message
    assert dumps(["ok", 1]) == '["ok",1]'


# Any iterable, a line of compact JSON a value: records stay JSON, the table options shape nothing.
@pytest.mark.parametrize("values, expected", [
    (lambda: iter(()), ""), (lambda: range(3), "0\n1\n2\n"),
    (lambda: with_attrs(__iter__=lambda self: iter([1, {"a": [1.5]}])), '1\n{"a":[1.5]}\n'),
    (lambda: (r for r in [[{"a": 1}, {"a": 2}]] * 2), '[{"a":1},{"a":2}]\n' * 2),
    (lambda: [P(1, 2.5), [P(3, 0.0)]], '{"x":1,"y":2.5}\n[{"x":3,"y":0.0}]\n'),
], ids=["empty", "range", "iterable", "generator of tables", "dataclasses"])
@pytest.mark.parametrize("options", [{}, dict(ivy_grid=True, bare_strings=True, implicit_null=True, row_count=False,
                                               multiline_ivy=True, delimiter="tab", indent=None)])
def test_lines(values, expected, options):
    assert dumps(values(), lines=True, **options) == expected
    # a keyword built at run time is not the interned name, and binds the same
    assert dumps(values(), **{"".join(["li", "nes"]): True}, **options) == expected


Tag = type("Tag", (pydantic.BaseModel,), {"__annotations__": {"name": str}})


Dated = type("Dated", (pydantic.BaseModel,), {"__annotations__": {"when": datetime.time}})




def raises(exc):
    def get(self):
        raise exc
    return property(get)


FIELDS = {"__fields__": {"a": None}}
NOT_OBJ = (TypeError, NOT_JSON.format("Obj"))
FALLBACK = [  # (object, expected text or (exception type, message))
    (with_attrs(model_dump=raises(EOFError("x")), dict=lambda self: {"via": "dict"}, **FIELDS), '{"via":"dict"}'),
    (with_attrs(model_dump=raises(AttributeError("x"))), NOT_OBJ), (with_attrs(model_dump=5), NOT_OBJ),
    (with_attrs(model_dump=5, dict=lambda self: [1], **FIELDS), "[1]"),
    (with_attrs(model_dump=lambda self: set()), (TypeError, NOT_JSON.format("set"))),
    (with_attrs(model_dump=lambda self: 1 / 0), (ZeroDivisionError, "division by zero")),
    (with_attrs(dict=lambda self: {}), NOT_OBJ),  # no __fields__
    (with_attrs(dict=lambda self: {}, __fields__=raises(RuntimeError("fields"))), (RuntimeError, "fields")),
    (with_attrs(dict=raises(EOFError()), __fields__=1), NOT_OBJ),
    (with_attrs(dict=lambda self: {}.pop("k"), **FIELDS), (KeyError, "'k'")),
    (with_attrs(__dataclass_fields__=raises(EOFError("dc"))), (EOFError, "dc")),
    # a dataclass that also has __fields__ and dict(): dict() comes first
    (dataclasses.make_dataclass("D", ["x"], namespace={"dict": lambda self: "by dict", **FIELDS})(1), '"by dict"'),
    (P, (TypeError, "asdict() should be called on dataclass instances")),  # a dataclass class, not an instance
    (P(1, {1, 2}), (TypeError, NOT_JSON.format("set"))),
    (Dated(when=datetime.time(1)), (TypeError, NOT_JSON.format("time"))),
]


@pytest.mark.parametrize("value, expected", FALLBACK, ids=range(len(FALLBACK)))
def test_fallback_order(value, expected):
    if isinstance(expected, str):
        assert dumps(value) == expected and dumps([value, value], ivy_grid=False) == f"[{expected},{expected}]"
        return
    exc, message = expected
    for data in (value, {"k": [value]}):
        with pytest.raises(exc) as info:
            dumps(data)
        assert type(info.value) is exc and str(info.value) == message
    assert dumps("ok") == '"ok"'


def link(rest):  # converts to the next link; the last to a dict
    return with_attrs(model_dump=lambda self: link(rest - 1) if rest > 0 else {"end": rest})


def test_conversions_keep_the_depth_of_the_object():
    assert dumps(nested(255, link(100))) == compact(nested(255, {"end": 0}))  # a long chain ends in its value
    assert dumps(nested(256, with_attrs(model_dump=lambda self: {}))) == compact(nested(256, {}))
    for value in (nested(256, link(3)), nested(255, P(1, [2]))):  # an entry or element at depth 257
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


# model_dump() serialises a field itself, as models often do; one level deeper a call fails first
Deeper = type("Deeper", (), {"model_dump": lambda self: {"caught": message_of(dumps, {1, 2})
                                                                  and dumps(INNER, indent=1)}})
Reenter = type("Reenter", (), {"model_dump": lambda self: {"text": dumps(INNER), "again": dumps([Deeper()])}})
KeyText = type("KeyText", (), {"__str__": lambda self: dumps({"k": [1, "\u00e9"]})})
HugeInt = type("HugeInt", (int,), {"__str__": lambda s: repr(int(s)) if dumps(INNER) == compact(INNER) else "mismatch"})
# dataclasses.asdict copies field values that are not containers
DeepCopied = type("DeepCopied", (), {"__deepcopy__": lambda self, memo: dumps(["copied", INNER])})


def test_calls_from_inside_a_call_return_their_own_text():
    again = compact([{"caught": json.dumps(INNER, indent=1, ensure_ascii=False)}])
    value = ["a" * 100, Reenter(), {KeyText(): HugeInt(2**70)}, P(DeepCopied()), "tail"]
    expected = ["a" * 100, {"text": compact(INNER), "again": again}, {compact({"k": [1, "\u00e9"]}): 2**70},
                {"x": compact(["copied", INNER]), "y": None}, "tail"]
    assert dumps(value) == compact(expected)
    assert dumps(value, indent=3, ivy_grid=False) == json.dumps(expected, indent=3, ensure_ascii=False)
    assert dumps("short") == '"short"'


def swap(d):  # drop an entry already passed and add one: same size, more entries
    del d["a"]
    d["new"] = 0


@pytest.mark.parametrize("change, message", [  # the messages of a Python loop over the dict
    (lambda d: d.update(new=0), "dictionary changed size during iteration"),
    (lambda d: d.__delitem__("c"), "dictionary changed size during iteration"),
    (swap, "dictionary keys changed during iteration"),
], ids=["grow", "shrink", "swap"])
@pytest.mark.parametrize("where", ["value", "key", "last value"])
def test_a_dict_changed_while_written(change, message, where):
    d = {"a": 1, "c": 3, "b": 2} if where == "last value" else {"a": 1, "b": 2, "c": 3}  # checked after the last too
    m = with_attrs(model_dump=lambda self: change(d), __str__=lambda self: change(d) or "k")
    if where == "key":
        d[m] = d.pop("b")
        d["c"] = d.pop("c")  # keep "c" after the mutating key
    else:
        d["b"] = m
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        dumps([d])
    assert dumps({"ok": [1]}) == '{"ok":[1]}'


def test_objects_released_by_their_container_while_written():
    def payload():  # reuses the memory a released object would leave
        return {"x": ["y" * 50 for _ in range(20)]}

    d, lst, keyed = {"a": 1}, [0, None, 2], {"a": 1}
    d["b"] = with_attrs(model_dump=lambda self: d.update(b="gone") or payload())
    lst[1] = with_attrs(model_dump=lambda self: lst.__setitem__(1, "gone") or payload())
    assert (dumps(d), dumps(lst)) == (compact({"a": 1, "b": payload()}), compact([0, payload(), 2]))
    keyed[with_attrs(__str__=lambda self: keyed.pop(self) and "key")] = 2
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        dumps(keyed)


@pytest.mark.parametrize("value, indent", [
    ([1], 10**15), ({"a": 1}, 2**64 - 1), ([[1]], 2**63), ((((1,),),), 2**62 + 1), ({"a": [[]]}, 2**64 - 1),
])
def test_output_too_large_to_allocate(value, indent):
    with pytest.raises(MemoryError):
        dumps(value, indent=indent)
    assert dumps(value) == compact(value)
    big = ["z" * 1000] * 100
    assert dumps(big, indent=1) == json.dumps(big, indent=1)


@pytest.mark.parametrize("after", [[], [f"{i:02}" + "m" * 40 for i in range(12)]], ids=["alone", "before values"])
def test_long_texts_at_the_end_of_a_fresh_buffer(after):
    # Each in a new thread, whose buffer starts small: a long text is written whole only where it fits,
    # with room left for what follows it (under AddressSanitizer a store past the buffer's end shows).
    values = [["p" * pad, *after, "q" * 100] for pad in range(7900, 8200, 2)]
    values += [{"p": "p" * pad, **{m[:2]: m for m in after}} for pad in range(7900, 8200, 2)]
    texts = []
    for value in values:
        thread = threading.Thread(target=lambda v=value: texts.append(dumps(v)))
        thread.start()
        thread.join()
    assert texts == [compact(v) for v in values]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@needs_plain_malloc
def test_output_buffers_are_freed():
    # Outside tracemalloc's sight: an 8 MB buffer of an ended thread, 64 kB ones of calls inside a call.
    start = rss()
    for _ in range(25):
        t = threading.Thread(target=lambda: dumps("q" * 8_000_000))
        t.start()
        t.join()
    for _ in range(2000):
        dumps([Reenter()])
    gc.collect()
    assert rss() - start < 100_000_000


def fresh_good(i):
    return [{"id": i, "s": f"\u00e9{i}", "big": 2**70 + i, 1.5: (b"\x00", None), "m": Tag(name=f"a{i}")},
            P([i, {"k": "\U0001f600"}]), {LoneKey(f"\ud800{i}", "fine"): i, i: [i / 7, -i]}, Reenter()]


def mutated_dict(i):
    d = {"a": 1, "b": None, "c": 3}
    d["b"] = with_attrs(model_dump=lambda self: d.update(new=0))
    return d


BAD = [  # each (data, options) raises
    lambda i: ([1, {i}], {}), lambda i: ([f"{i}\udc00"], {}), lambda i: ({f"\ud800{i}": 1}, {}),
    lambda i: (nested(258, []), {}), lambda i: ([link(10**9)], {}),
    lambda i: ({"r": with_attrs(model_dump=lambda self: {}.pop("x"))}, {}),
    lambda i: (mutated_dict(i), {}), lambda i: ([[i]], {"indent": 2**64 - 1}),
    lambda i: ([i], {"ivy_grid": 0}), lambda i: ([i], {"delimiter": i}), lambda i: ([i], {"indent": i + 0.5}),
    lambda i: ([10 ** 5000], {}),
]


def step(i):  # a good call, not read back (the reader's key cache would keep the int keys), then a failing one
    assert dumps(fresh_good(i), ivy_grid=False, unquoted_keys=bool(i % 2), indent=i % 3 or None).endswith("]")
    data, options = BAD[i % len(BAD)](i)
    try:
        dumps(data, **options)
    except (ValueError, TypeError, KeyError, RuntimeError, MemoryError, OverflowError):
        return
    raise AssertionError(f"no error for case {i % len(BAD)}")


def test_memory_stays_flat():
    assert traced_growth(step) < LEAK_THRESHOLD
