"""format_hint with arbitrary arguments: a str style (or subclass) with a UTF-8 form gives that name's text or the
default one, a lone surrogate raises UnicodeEncodeError, anything else or a wrong call shape TypeError."""

import atheris

from harness import Mismatch, fuzz, has_surrogate, vesk

NAMES = ["ivy_grid", "ivy_grid_rowcount", "multiline", "tab", "lean"]
TEXTS = {name: vesk.format_hint(name) for name in NAMES}
Str = type("Str", (str,), {})


def style(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    name = fdp.PickValueInList(NAMES)
    if kind == 1:  # a name cut, grown or with one character changed
        cut = fdp.ConsumeIntInRange(0, len(name))
        return name[:cut] + fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 2)) + name[cut + fdp.ConsumeIntInRange(0, 1):]
    if kind == 3:
        return fdp.PickValueInList([None, 0, 1.5, b"tab", bytearray(b"tab"), ["tab"], object(), True])
    text = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
    return name if kind == 0 else Str(text) if kind == 2 else text


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    shape, s = fdp.ConsumeIntInRange(0, 4), style(fdp)
    keyword = fdp.ConsumeUnicode(6) or "x"
    args, kwargs = [((), {}), ((s,), {}), ((), {"style": s}), ((s, s), {}), ((), {keyword: s})][shape]
    if "style" in kwargs:
        shape = 2
    if shape == 0:
        expected = TEXTS["ivy_grid"]
    elif shape in (1, 2) and isinstance(s, str):
        expected = UnicodeEncodeError if has_surrogate(s) else TEXTS.get(str(s), TEXTS["ivy_grid"])
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
