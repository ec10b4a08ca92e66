"""format_hint with arbitrary arguments.

A style that is a str (or a subclass) with a UTF-8 form returns the text
of that name, or the default text for any other name; one with a lone
surrogate raises UnicodeEncodeError; anything else, or a wrong call shape,
raises TypeError. Nothing else may happen.
"""

import atheris

from harness import Mismatch, fuzz, has_surrogate, vesk

NAMES = ["ivy_grid", "ivy_grid_rowcount", "multiline", "tab", "lean"]
TEXTS = {name: vesk.format_hint(name) for name in NAMES}
DEFAULT = TEXTS["ivy_grid"]
Str = type("Str", (str,), {})


def style(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.PickValueInList(NAMES)
    if kind == 1:  # a name cut, grown or with one character changed
        name = fdp.PickValueInList(NAMES)
        cut = fdp.ConsumeIntInRange(0, len(name))
        return name[:cut] + fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 2)) + name[cut + fdp.ConsumeIntInRange(0, 1):]
    if kind == 2:
        return Str(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 20)))
    if kind == 3:
        return fdp.PickValueInList([None, 0, 1.5, b"tab", bytearray(b"tab"), ["tab"], object(), True])
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    shape = fdp.ConsumeIntInRange(0, 4)
    s = style(fdp)
    calls = {0: ((), {}), 1: ((s,), {}), 2: ((), {"style": s}),
             3: ((s, s), {}), 4: ((), {fdp.ConsumeUnicode(6) or "x": s})}
    args, kwargs = calls[shape]
    if shape == 4 and "style" in kwargs:
        shape = 2
    if shape == 0:
        expected = DEFAULT
    elif shape in (1, 2) and isinstance(s, str) and not has_surrogate(s):
        expected = TEXTS.get(str(s), DEFAULT)
    elif shape in (1, 2) and isinstance(s, str):
        expected = UnicodeEncodeError
    else:
        expected = TypeError
    try:
        got = vesk.format_hint(*args, **kwargs)
    except (TypeError, UnicodeEncodeError) as e:
        if type(e) is not expected:
            raise
        return
    if got != expected or type(got) is not str:
        raise Mismatch(f"format_hint{args!r:.100}{kwargs!r:.100} gave {got!r:.80}")


if __name__ == "__main__":
    fuzz(test_one_input)
