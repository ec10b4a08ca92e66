"""dumps, then loads, on values (nested lists, tuples, dicts, records off the pattern) and options built from the
fuzzer's bytes: dumps raises ValueError exactly for a lone surrogate; the text reads back as the value in every
layout; plain text read with a schema renames the outer objects."""

import math
import re

import atheris

from harness import Mismatch, fuzz, has_surrogate, same, vesk

MAX_DEPTH = 5
KEYS = ["id", "name", "user-id", "$ref", "first name", "2nd", "true", "null", "", "\u00e9", "a,b", "k;", "x]", 'q"',
        "t\tb", "n\nl", "_x", "Ivan", "a:b", "{}", "-a", "a-", "$", "x y"]
WORDS = ["true", "false", "null", "nick", "Ivan", "NaN", "Infinity", "-Infinity", "Inf", "None", "True", "nan",
         "-1", "007", "1e5", "+1", ".5", "0x1", "", " ", "a b", "x ", " a", "-", "a\\", "//c", "/*c*/", "user@ex.com"]
AWKWARD = list("\t\n\r\",:;[\\]{|}'-_$/.+09aZe *#") + [
    "\x00", "\x01", "\x1f", "\x7f", "\x85", "\u00a0", "\u00e9", "\u2028", "\u20ac", "\ufeff", "\uffff",
    "\U0001f600", "\U0010ffff", "\ud800", "\udfff", "//", "/*", "*/", "\\u0041", "\\n"]
INTS = [0, -1, 2**31, 2**53 + 1, 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**64, -(2**64) - 1, 10**30, -(10**200)]
FLOATS = [0.0, -0.0, 5e-324, -5e-324, 1e16, 1e15, 1e-7, 1e-5, 0.1, 123.0, 1.7976931348623157e308,
          math.inf, -math.inf, math.nan, -math.nan]
IDENT = re.compile(r"[A-Za-z_$][A-Za-z0-9_$-]*", re.ASCII)


class Builder(atheris.FuzzedDataProvider):
    def pick(self, seq):
        return seq[self.ConsumeIntInRange(0, len(seq) - 1)]

    def count(self, most):
        return self.ConsumeIntInRange(0, most)

    def text(self):
        kind = self.count(3)
        if kind == 1:
            return "".join(self.pick(AWKWARD) for _ in range(self.count(8)))
        return self.ConsumeUnicode(self.count(24)) if kind == 2 else self.pick(KEYS if kind else WORDS)

    def scalar(self):  # NaN and infinities among the floats, ints up to 512 bits
        return self.pick([lambda: None, self.ConsumeBool, lambda: self.ConsumeInt(1 + self.count(63)),
                          lambda: self.pick(INTS), self.ConsumeFloat, lambda: self.pick(FLOATS),
                          lambda: self.ConsumeBytes(self.count(12)), self.text, self.text, self.text])()

    def key(self):
        return self.pick([1, -2, 2**70, None, True, False, 1.5, -0.0]) if self.count(9) == 0 else self.text()

    def value(self, depth=0):
        kind = self.count(7) if depth < MAX_DEPTH else 0
        if kind <= 2:
            return self.scalar()
        if kind >= 6:
            return self.records(depth)
        items = [self.value(depth + 1) for _ in range(self.count(5))]
        return items if kind == 3 else tuple(items) if kind == 4 else {self.key(): v for v in items}

    def records(self, depth):
        cols = list(dict.fromkeys(self.text() for _ in range(1 + self.count(4))))
        count = self.pick([2, 2, 3, 4, 5, 8, 12, 49, 50, 51, 60])
        noise = self.count(20)  # in twenty
        # Rich records hold values of every kind, tables among them, which only lean tables take in their cells.
        cell = (lambda: self.value(depth + 1)) if self.ConsumeBool() else self.scalar
        rows = {"full": lambda: {c: cell() for c in cols},
                "missing": lambda: {c: cell() for c in cols if self.ConsumeBool()},
                "extra": lambda: {c: cell() for c in reversed(cols)} | {self.key(): cell()},  # maybe no column
                "nested": lambda: {c: self.value(depth + 1) for c in cols},
                "other": lambda: self.value(depth + 1)}
        return [rows[self.pick(list(rows)[1:]) if i and self.count(19) < noise else "full"]() for i in range(count)]

    def options(self):
        b = self.ConsumeBool
        return dict(ivy_grid=b(), unquoted_keys=b(), bare_strings=b(), implicit_null=b(), row_count=b(),
                    multiline_ivy=b(), lean=b(),
                    delimiter=self.pick(["comma", "tab", "pipe", "\t", "|"]) if self.count(7) else self.text(),
                    indent=self.count(8) if self.count(3) == 0 else None)


def read_back(v, names=None):
    """What loads gives for the text of v, tables aside; a schema `names` renames the first object on each list path."""
    if isinstance(v, (list, tuple)):
        return [read_back(x, names) for x in v]
    if isinstance(v, dict) and names is not None:
        return {name: read_back(x) for name, x in zip(names, v.values())}
    if isinstance(v, dict):  # repeated keys (1 and "1"): the last value in the first place
        return {k if isinstance(k, str) else str(k): read_back(x) for k, x in v.items()}
    if isinstance(v, bytes):
        return v.hex()
    return math.nan if isinstance(v, float) and math.isnan(v) else v


def widest(v):
    """Members of the largest object a schema renames."""
    return max(map(widest, v), default=0) if isinstance(v, (list, tuple)) else len(v) if isinstance(v, dict) else 0


def walk(v):
    """v, and every value and key within."""
    yield v
    inner = [y for item in v.items() for y in item] if isinstance(v, dict) else v
    for x in inner if isinstance(inner, (list, tuple)) else ():
        yield from walk(x)


def test_one_input(data):
    build = Builder(data)
    options = build.options()
    value = build.value()
    refused = any(isinstance(x, str) and has_surrogate(x) for x in [*walk(value), options["delimiter"]])
    try:
        text = vesk.dumps(value, **options)
    except ValueError:
        if refused:
            return
        raise
    if refused or type(text) is not str:
        raise Mismatch(f"dumps gave {text!r:.200} ({type(text).__name__}), lone surrogate in the value: {refused}")

    no_tables = not options["ivy_grid"] and not options["lean"]
    keys = [k for x in walk(value) if isinstance(x, dict) for k in x if isinstance(k, str)]
    quoted_only = any(IDENT.fullmatch(k) and set(k) & set("$-") for k in keys)
    if options["unquoted_keys"] and not options["lean"] and quoted_only:
        return  # such keys read back only quoted (the tables round-trip tests skip them too)
    same(vesk.loads(text), read_back(value), tables=not no_tables)

    if no_tables:
        wide = widest(value)
        names = KEYS[:max(wide + build.ConsumeIntInRange(-1, 2), 0)]
        try:
            got = vesk.loads(text, schema=names)
        except ValueError:
            if wide > len(names):
                return
            raise
        if wide > len(names):
            raise Mismatch(f"an object of {wide} members read with {len(names)} names")
        same(got, read_back(value, names), tables=False)


if __name__ == "__main__":
    fuzz(test_one_input)
