"""loads on arbitrary input as bytes, as text and with a schema, partial, as JSON Lines and through a Stream: only
DecodeError refuses (or TypeError for a lone surrogate), and each way agrees with plain reading and with json."""

import json

import atheris

from harness import Mismatch, fuzz, has_surrogate, same, vesk

TRAILING, TRAILING_ON_LINE = "Trailing content after document", "Trailing content after value on its line"


def outcome(data, **options):
    """("ok", value) or ("error", message); only a vesk.DecodeError is a refusal."""
    try:
        return "ok", vesk.loads(data, **options)
    except ValueError as e:
        if type(e) is not vesk.DecodeError:
            raise
        return "error", str(e)


def against_json(text, got):
    try:
        want = json.loads(text)
    except (ValueError, RecursionError):  # not JSON, or deeper than json reaches
        return
    if got[0] == "ok":
        return same(got[1], want, tables=False)
    message = got[1]  # refused on purpose: a \u escape of a lone surrogate, or past 1024 levels
    if not message.startswith("Document nested too deeply") and not (
            message.startswith("Invalid Unicode escape") and has_surrogate(json.dumps(want, ensure_ascii=False))):
        raise Mismatch(f"json.loads accepts {text!r:.200} but loads refuses it: {message}")


def check_text(text, schema=None):
    """A str input: refused when it has no UTF-8 form, else read as its bytes."""
    if has_surrogate(text):
        try:
            vesk.loads(text, schema=schema)
        except TypeError:
            return None
        raise Mismatch(f"a str holding a lone surrogate was read: {text!r:.200}")
    got = outcome(text.encode(), schema=schema)
    same(outcome(text, schema=schema), got, "str vs its UTF-8 bytes", tables=False)
    return got


def check_partial(data, whole):
    option = [True, "trailing-strings"][len(data) % 2]
    extras = {"fenced": len(data) % 3 == 0, "check_counts": len(data) % 5 == 0, "lines": len(data) % 7 == 0}
    outcome(data[: len(data) // 2], partial=option, **extras)
    got = outcome(data, partial=option, **extras)
    # A whole list or object, closed by its bracket, is read as without partial.
    closed = data.rstrip(b" \t\r\n").endswith((b"]", b"}"))
    if got[0] == "ok" and closed and not any(extras.values()) and whole[0] == "ok" \
            and isinstance(whole[1], (list, dict)):
        same(got[1], whole[1], tables=False)


def check_lines(data, whole):
    got = outcome(data, lines=True)
    if b"\n" in data:
        return
    want = ("ok", [whole[1]]) if whole[0] == "ok" else ("error", whole[1].replace(TRAILING, TRAILING_ON_LINE))
    if whole[0] == "ok" or got != ("ok", []):  # a line of filler alone holds no value, where plain reading fails
        same(got, want, "one line vs plain", tables=False)


def check_stream(data):
    path = [None, None, ("items",), (0,), (1, "a")][len(data) % 5]
    options = {"fenced": len(data) % 3 != 0, "check_counts": len(data) % 5 == 0}
    size = 1 + len(data) % 7
    stream, given_back = vesk.Stream(path=path, **options), []
    try:
        for i in range(0, len(data), size):
            given_back += stream.feed(data[i:i + size])
        got = "ok", stream.close()
    except ValueError as e:
        if type(e) is not vesk.DecodeError:
            raise
        got = "error", None
    want = outcome(data, **options)
    if "ok" in (got[0], want[0]):  # the same outcome, and the same value
        same(got, want, f"Stream vs loads of {data!r:.200}", tables=False)
    if got[0] == "ok" and path is None and isinstance(want[1], list):
        same(given_back, want[1][: len(given_back)], tables=False)


def test_one_input(data):
    got = outcome(data)
    check_partial(data, got)
    check_lines(data, got)
    check_stream(data)
    text = data.decode("utf-8", "surrogateescape")
    points = atheris.FuzzedDataProvider(data).ConsumeUnicode(len(data))
    for each in (text, points):
        got = check_text(each)
        if got is not None:
            against_json(each, got)
    schema = [None, [], ["x"], ["x", "y"], ["id", "name", "a", "b", "c"]][len(data) % 5]
    if schema is not None:
        check_text(text, schema)


if __name__ == "__main__":
    fuzz(test_one_input)
