"""dumps on objects that are not built-in values: Pydantic models of both
interfaces, dataclasses, enumerations, named tuples, mock objects, and the
order in which their conversions are tried."""

import dataclasses
import datetime
import enum
import json
import subprocess
import sys
from unittest import mock

import pydantic
import pydantic.v1
import pytest

from conftest import compact
from vesk.vesk_core import dumps


class Tag(pydantic.BaseModel):
    name: str
    weight: float = 1.0


class Item(pydantic.BaseModel):
    id: int
    tags: list[Tag]
    note: str | None = None


class Dated(pydantic.BaseModel):
    when: datetime.time


class OldTag(pydantic.v1.BaseModel):
    name: str
    weight: float = 1.0


class OldItem(pydantic.v1.BaseModel):
    id: int
    tags: list[OldTag]


@dataclasses.dataclass
class P:
    x: int
    y: object = None


@dataclasses.dataclass
class Line:
    a: P
    b: P
    points: list


class Level(enum.IntEnum):
    LOW = 1


class Mode(enum.StrEnum):
    FAST = "f\u00e9"


MODELS = [
    Item(id=1, tags=[Tag(name="a"), Tag(name="\u00e9", weight=2.5)]),
    OldItem(id=2, tags=[OldTag(name="b\n")]),
    Line(P(1, 2), P(3, [P(4)]), [P(5, "x")]),
    P(Level.LOW, Mode.FAST),
]


@pytest.mark.parametrize("model", MODELS, ids=lambda m: type(m).__name__)
@pytest.mark.parametrize("indent", [None, 2])
def test_models_are_written_as_their_own_conversion(model, indent):
    plain = model.model_dump() if hasattr(model, "model_dump") else model.dict() if hasattr(model, "__fields__") \
        else dataclasses.asdict(model)
    assert dumps(model, indent=indent, ivy_grid=False) == json.dumps(plain, ensure_ascii=False, indent=indent,
                                                     separators=None if indent else (",", ":"))
    assert dumps({"m": [model, 5]}, ivy_grid=False) == compact({"m": [plain, 5]})


class Boom(Exception):
    pass


def raises(exc):
    def get(self):
        raise exc
    return property(get)


def dump_returns(value):
    return lambda self: value


def with_attrs(**attrs):
    return type("Obj", (), attrs)()


FIELDS = {"__fields__": {"a": None}}
# (object, expected text or (exception type, message))
FALLBACK = [
    (with_attrs(model_dump=raises(Boom("x")), dict=dump_returns({"via": "dict"}), **FIELDS), '{"via":"dict"}'),
    (with_attrs(model_dump=raises(AttributeError("x"))), (TypeError, "Object of type 'Obj' is not JSON serializable")),
    (with_attrs(model_dump=5), (TypeError, "Object of type 'Obj' is not JSON serializable")),
    (with_attrs(model_dump=5, dict=dump_returns([1]), **FIELDS), "[1]"),
    (with_attrs(model_dump=dump_returns(set())), (TypeError, "Object of type 'set' is not JSON serializable")),
    (with_attrs(model_dump=lambda self: 1 / 0), (ZeroDivisionError, "division by zero")),
    (with_attrs(dict=dump_returns({})), (TypeError, "Object of type 'Obj' is not JSON serializable")),  # no __fields__
    (with_attrs(dict=dump_returns({}), __fields__=raises(RuntimeError("fields"))), (RuntimeError, "fields")),
    (with_attrs(dict=dump_returns({}), __fields__=raises(AttributeError("no"))), (TypeError, "Object of type 'Obj' is not JSON serializable")),
    (with_attrs(dict=raises(Boom()), __fields__=1), (TypeError, "Object of type 'Obj' is not JSON serializable")),
    (with_attrs(dict=lambda self: {}.pop("k"), **FIELDS), (KeyError, "'k'")),
    (with_attrs(__dataclass_fields__=raises(Boom("dc"))), (Boom, "dc")),
    (with_attrs(model_dump=dump_returns(datetime.date(2020, 1, 2))), (TypeError, "Object of type 'date' is not JSON serializable")),
    # a dataclass that also has __fields__ and dict(): dict() comes first
    (dataclasses.dataclass(type("D", (), {"__annotations__": {"x": int}, "dict": dump_returns("by dict"), **FIELDS}))(1), '"by dict"'),
    (P, (TypeError, None)),  # a dataclass class, not an instance: asdict's own error
    (P(1, {1, 2}), (TypeError, "Object of type 'set' is not JSON serializable")),
    (Dated(when=datetime.time(1)), (TypeError, "Object of type 'time' is not JSON serializable")),
    (mock.Mock(**{"model_dump.side_effect": Boom("side")}), (Boom, "side")),
]


@pytest.mark.parametrize("obj, expected", FALLBACK, ids=range(len(FALLBACK)))
def test_fallback_order(obj, expected):
    if isinstance(expected, str):
        assert dumps(obj) == expected and dumps([obj, obj], ivy_grid=False) == f"[{expected},{expected}]"
        return
    exc, message = expected
    if message is None:
        with pytest.raises(exc) as info:
            dataclasses.asdict(obj)
        message = str(info.value)
    for data in (obj, {"k": [obj]}):
        with pytest.raises(exc) as info:
            dumps(data)
        assert type(info.value) is exc and str(info.value) == message
    assert dumps("ok") == '"ok"'


class Link:
    """model_dump() hands over the next link; the last returns a dict."""

    def __init__(self, rest):
        self.rest = rest

    def model_dump(self):
        return Link(self.rest - 1) if self.rest > 0 else {"end": self.rest}


def at_depth(depth, value):
    for _ in range(depth):
        value = [value]
    return value


def test_conversions_keep_the_depth_of_the_object():
    assert dumps(at_depth(255, Link(3))) == "[" * 255 + '{"end":0}' + "]" * 255
    assert dumps(at_depth(256, with_attrs(model_dump=dump_returns({})))) == "[" * 256 + "{}" + "]" * 256
    for value in (at_depth(256, Link(3)), at_depth(255, P(1, [2]))):  # an entry or element at depth 257
        with pytest.raises(ValueError, match=r"^Object too deeply nested \(max 256 levels\)$"):
            dumps(value)


@pytest.mark.parametrize("endless", [mock.Mock, mock.MagicMock, mock.NonCallableMagicMock, lambda: Link(10**9)])
def test_an_endless_conversion_chain_ends_with_value_error(endless):
    for data in (endless(), [1, {"a": endless()}]):
        with pytest.raises(ValueError) as info:
            dumps(data)
        assert type(info.value) is ValueError
    assert dumps(Link(100)) == '{"end":0}'  # a long but finite chain still ends in its value


def test_an_endless_chain_needs_no_deep_native_stack():
    # A thread with the smallest stack allowed: a writer that recursed once per conversion would overflow it.
    code = ("import threading, unittest.mock as m, vesk\nthreading.stack_size(32 * 1024)\nout = []\n"
            "def run():\n    for make in (m.Mock, m.MagicMock):\n        try: vesk.dumps([make()])\n"
            "        except ValueError: out.append('ValueError')\n"
            "t = threading.Thread(target=run); t.start(); t.join(); print(out)")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "['ValueError', 'ValueError']", proc.stderr[-2000:]
