"""The `vesk` command: convert between JSON and VESK, count what VESK saves,
and print the prompt text that teaches a model the table form.

Exit status: 0 on success, 1 when an input cannot be read, parsed or
written, 2 on a usage error. Errors are one line on standard error, never a
traceback.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import re
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from typing import Any, NoReturn, Protocol

import vesk

# Output goes out in slices so that a large document is never held a second
# time as one block of UTF-8 bytes.
CHUNK = 1 << 20

HINT_STYLES = ("ivy_grid", "ivy_grid_rowcount", "multiline", "tab", "lean")
TOKENS_HOWTO = "tokens: not counted; `pip install 'vesk[tokens]'` adds tiktoken for o200k_base token counts"

_POSITION = re.compile(r" \(approximate position: ±\d+ bytes from (\d+)\)$")


class Failure(Exception):
    """An error already worded for the user; ends the command with status 1."""


class _Tokenizer(Protocol):
    def encode_ordinary(self, text: str) -> list[int]: ...


# ---------------------------------------------------------------- reading


def read_input(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    try:
        with open(name, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure(f"vesk: {name}: {e.strerror or e}") from None


def location(data: bytes, offset: int) -> tuple[int, int]:
    """1-based line and column (in characters) of a byte offset."""
    offset = max(0, min(offset, len(data)))
    line_start = data.rfind(b"\n", 0, offset) + 1
    line = data.count(b"\n", 0, offset) + 1
    column = len(data[line_start:offset].decode("utf-8", "replace")) + 1
    return line, column


# File names that hold JSON Lines: one value a line.
LINES_SUFFIXES = (".jsonl", ".ndjson")


def is_lines_name(name: str | None) -> bool:
    return name is not None and name.lower().endswith(LINES_SUFFIXES)


def parse(data: bytes, name: str, lines: bool = False) -> Any:
    try:
        return vesk.loads(data, lines=lines)
    except ValueError as e:
        message = str(e)
        found = _POSITION.search(message)
        if found is None:
            raise Failure(f"{display(name)}: {message}") from None
        line, column = location(data, int(found.group(1)))
        raise Failure(f"{display(name)}:{line}:{column}: {message[: found.start()]}") from None


def display(name: str) -> str:
    return "<stdin>" if name == "-" else name


def load_file(name: str, lines: bool = False) -> Any:
    """The document in file `name`, or the list of its values where it holds
    JSON Lines (asked for, or named so)."""
    return parse(read_input(name), name, lines or is_lines_name(name))


# ---------------------------------------------------------------- writing


def chunks(text: str) -> Iterator[bytes]:
    for start in range(0, len(text), CHUNK):
        yield text[start : start + CHUNK].encode()


def write_output(text: str, out: str | None, newline: bool = True) -> None:
    """Writes `text`, and a final line break when `newline`, to standard
    output or to `out`.

    A file is written beside `out` under a temporary name and renamed over
    it, so readers of `out` see the old text or the new, never a part."""
    if out is None or out == "-":
        stream = sys.stdout.buffer
        for block in chunks(text):
            stream.write(block)
        if newline:
            stream.write(b"\n")
        stream.flush()
        return
    directory = os.path.dirname(os.path.abspath(out))
    try:
        mode = os.stat(out).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    except OSError as e:
        raise Failure(f"vesk: {out}: {e.strerror or e}") from None
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(out)}.", suffix=".tmp")
    except OSError as e:
        raise Failure(f"vesk: {out}: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            for block in chunks(text):
                f.write(block)
            if newline:
                f.write(b"\n")
        os.chmod(temp, mode)
        os.replace(temp, out)
    except BaseException as e:
        try:
            os.unlink(temp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise Failure(f"vesk: {out}: {e.strerror or e}") from None
        raise


def write(obj: Any, name: str, **options: Any) -> str:
    try:
        return vesk.dumps(obj, **options)
    except (ValueError, TypeError, RecursionError) as e:
        raise Failure(f"vesk: {display(name)}: cannot be written: {e}") from None


# ---------------------------------------------------------------- stats

FORMS: dict[str, tuple[str, Callable[[Any], str]]] = {
    "json": ("compact JSON", lambda d: json.dumps(d, ensure_ascii=False, separators=(",", ":"))),
    "json_indent2": ("JSON indent=2", lambda d: json.dumps(d, ensure_ascii=False, indent=2)),
    "vesk": ("VESK", lambda d: vesk.dumps(d)),
    "vesk_bare": (
        "VESK unquoted_keys+bare_strings+implicit_null",
        lambda d: vesk.dumps(d, unquoted_keys=True, bare_strings=True, implicit_null=True),
    ),
    "vesk_lean": ("VESK lean", lambda d: vesk.dumps(d, lean=True)),
}


def tokenizer() -> tuple[_Tokenizer | None, str | None]:
    """tiktoken's o200k_base, or None and a line that says why there is none."""
    try:
        import tiktoken
    except ImportError:
        return None, TOKENS_HOWTO
    try:
        encoding: _Tokenizer = tiktoken.get_encoding("o200k_base")
    except Exception as e:  # offline without a cache, a broken cache, ...
        return None, (f"tokens: not counted; tiktoken could not load o200k_base ({type(e).__name__}); it needs "
                      "network access once, or TIKTOKEN_CACHE_DIR set to a folder that holds it")
    return encoding, None


def utf8_length(text: str) -> int:
    return len(text) if text.isascii() else sum(len(block) for block in chunks(text))


def change(value: int, base: int) -> float:
    return round((value - base) / base * 100, 1)


def measure(obj: Any, encoding: _Tokenizer | None, forms: dict[str, tuple[str, Callable[[Any], str]]] = FORMS,
            ) -> dict[str, dict[str, Any]]:
    """Bytes and tokens of `obj` in each form, with the change in percent
    against the first form (compact JSON)."""
    figures: dict[str, dict[str, Any]] = {}
    for key, (label, render) in forms.items():
        text = render(obj)
        figures[key] = {
            "label": label,
            "bytes": utf8_length(text),
            "tokens": None if encoding is None else len(encoding.encode_ordinary(text)),
        }
        del text
    base = next(iter(figures.values()))
    for entry in figures.values():
        entry["bytes_change_pct"] = change(entry["bytes"], base["bytes"])
        if encoding is not None:
            entry["tokens_change_pct"] = change(entry["tokens"], base["tokens"])
    return figures


def render_table(figures: dict[str, dict[str, Any]], tokens: bool) -> str:
    rows = [["form", "bytes", "vs JSON"] + (["tokens", "vs JSON"] if tokens else [])]
    for i, entry in enumerate(figures.values()):
        row = [entry["label"], f"{entry['bytes']:,}", f"{entry['bytes_change_pct']:+.1f}%" if i else ""]
        if tokens:
            row += [f"{entry['tokens']:,}", f"{entry['tokens_change_pct']:+.1f}%" if i else ""]
        rows.append(row)
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    return "\n".join(
        "  ".join(cell.ljust(widths[c]) if c == 0 else cell.rjust(widths[c]) for c, cell in enumerate(row)).rstrip()
        for row in rows
    )


def stats(files: Sequence[str], as_json: bool, lines: bool = False) -> int:
    status = 0
    reports = []
    shown = 0
    loaded = False
    encoding: _Tokenizer | None = None
    note: str | None = None
    for name in files:
        try:
            obj = load_file(name, lines)
            if not loaded:  # only once a file has parsed: loading may reach for the network
                (encoding, note), loaded = tokenizer(), True
            figures = measure(obj, encoding)
            del obj
        except Failure as e:
            print(e, file=sys.stderr)
            status = 1
            continue
        except (ValueError, TypeError, RecursionError) as e:
            # Read, but one of the forms cannot write it (nested too deeply).
            print(f"vesk: {display(name)}: cannot be measured: {e or 'nested too deeply'}", file=sys.stderr)
            status = 1
            continue
        if as_json:
            reports.append({"file": display(name), "tokenizer": None if encoding is None else "o200k_base",
                            "forms": figures})
        else:
            if shown:
                print()
            shown += 1
            print(f"{display(name)}" + ("" if encoding is None else " (tokens: o200k_base)"))
            print(render_table(figures, encoding is not None))
            sys.stdout.flush()
    if as_json:
        json.dump(reports, sys.stdout, indent=2)
        print()
    if note is not None:
        print(note, file=sys.stderr if as_json else sys.stdout)
    return status


# ---------------------------------------------------------------- commands


def cmd_encode(args: argparse.Namespace) -> int:
    name = args.file
    obj = load_file(name, args.lines)
    text = write(obj, name, ivy_grid=args.grid, unquoted_keys=args.unquoted_keys, indent=args.indent,
                 bare_strings=args.bare_strings, implicit_null=args.implicit_null, row_count=args.row_count,
                 multiline_ivy=args.multiline, delimiter=args.delimiter, lean=args.lean)
    del obj
    write_output(text, args.output)
    return 0


def cmd_decode(args: argparse.Namespace) -> int:
    name = args.file
    obj = load_file(name)
    lines = args.lines or is_lines_name(args.output)
    if lines and not isinstance(obj, list):
        raise Failure(f"vesk: {display(name)}: JSON Lines are written from a list or table, and this "
                      f"document is not one")
    text = write(obj, name, lines=True) if lines else write(obj, name, ivy_grid=False, indent=args.indent)
    del obj
    write_output(text, args.output, newline=not lines)
    return 0


def cmd_stats(args: argparse.Namespace) -> int:
    return stats(args.files, args.format == "json", args.lines)


def cmd_hint(args: argparse.Namespace) -> int:
    print(vesk.format_hint(args.style))
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    records = json.loads((resources.files("vesk") / "sample.json").read_bytes())
    encoding, note = tokenizer()
    print("$ vesk stats sample.json    # twelve customer records")
    print(render_table(measure(records, encoding), encoding is not None))
    if note is not None:
        print(note)
    for flags, text in (("", vesk.dumps(records)), (" --lean", vesk.dumps(records, lean=True))):
        print()
        print(f"$ vesk encode{flags} sample.json")
        print(text)
    print()
    print("$ vesk hint    # paste into the system prompt before sending tables")
    print(vesk.format_hint())
    return 0


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def add_io(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("file", nargs="?", default="-", metavar="FILE",
                        help=f"{what} to read; standard input when absent or -")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write here instead of standard output (through a temporary file and a rename, "
                             "so a failed conversion leaves an existing OUT as it was)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vesk",
        description="Convert between JSON and VESK, and see how many bytes and tokens VESK saves.",
        epilog="Examples:\n"
               "  vesk encode data.json -o data.vesk\n"
               "  vesk encode --lean data.json | llm ...\n"
               "  vesk decode data.vesk --indent 2\n"
               "  vesk encode records.jsonl -o records.vesk\n"
               "  vesk decode records.vesk -o records.jsonl\n"
               "  vesk stats data.json\n"
               "  vesk hint > system-prompt.txt",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"vesk {vesk.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    enc = sub.add_parser("encode", help="JSON or VESK in, VESK out",
                         description="Read JSON or VESK and write VESK. Without options this is dumps() with "
                                     "its defaults: lists of records become tables.")
    add_io(enc, "JSON or VESK")
    enc.add_argument("--no-grid", dest="grid", action="store_false",
                     help="write lists of records as plain arrays, not tables (ivy_grid=False)")
    enc.add_argument("--unquoted-keys", action="store_true", help="keys that are identifiers without quotes")
    enc.add_argument("--indent", type=non_negative, metavar="N",
                     help="pretty-print with N spaces per level (such tables are for people: they do "
                          "not read back as tables)")
    enc.add_argument("--bare-strings", action="store_true", help="table cells that are identifiers without quotes")
    enc.add_argument("--implicit-null", action="store_true", help="missing or null table cells left empty")
    enc.add_argument("--no-row-count", dest="row_count", action="store_false",
                     help="tables without their row count")
    enc.add_argument("--multiline", action="store_true",
                     help="tables as a header line then a row per line (for people)")
    enc.add_argument("--delimiter", choices=("comma", "tab", "pipe"), default="comma",
                     help="table cell separator (default: comma)")
    enc.add_argument("--lean", action="store_true",
                     help="the fewest tokens that still read back (lean=True)")
    enc.add_argument("--lines", action="store_true",
                     help="read JSON Lines, one value a line, as the list of the values (the default for "
                          "files named .jsonl or .ndjson)")
    enc.set_defaults(run=cmd_encode)

    dec = sub.add_parser("decode", help="VESK or JSON in, JSON out",
                         description="Read VESK or JSON and write JSON. Tables become lists of objects. "
                                     "Non-finite floats are written as NaN, Infinity and -Infinity, "
                                     "as json.dumps does; integers keep all their digits. A FILE named .jsonl or "
                                     ".ndjson is read as JSON Lines, as the list of its values.")
    add_io(dec, "VESK or JSON")
    dec.add_argument("--indent", type=non_negative, metavar="N",
                     help="pretty-print with N spaces per level (default: compact)")
    dec.add_argument("--lines", action="store_true",
                     help="write JSON Lines: each element of the top-level list or table as compact JSON "
                          "on a line of its own (the default when OUT is named .jsonl or .ndjson)")
    dec.set_defaults(run=cmd_decode)

    st = sub.add_parser("stats", help="bytes and tokens of each file as JSON and as VESK",
                        description="For each file: bytes and tokens as compact JSON, JSON with indent=2, VESK, "
                                    "VESK with unquoted_keys, bare_strings and implicit_null, and VESK lean, "
                                    "with the change against compact JSON. Tokens use tiktoken's o200k_base "
                                    "encoding when tiktoken is installed (pip install 'vesk[tokens]').")
    st.add_argument("files", nargs="+", metavar="FILE", help="JSON or VESK files (- for standard input)")
    st.add_argument("--format", choices=("table", "json"), default="table",
                    help="a table for people (default) or JSON for scripts")
    st.add_argument("--lines", action="store_true",
                    help="read every FILE as JSON Lines, measured as the list of its values (the default "
                         "for files named .jsonl or .ndjson)")
    st.set_defaults(run=cmd_stats)

    hint = sub.add_parser("hint", help="print the prompt text that teaches a model the table form",
                          description="Print format_hint(STYLE): a paragraph for a system prompt.")
    hint.add_argument("style", nargs="?", default="ivy_grid", choices=HINT_STYLES, metavar="STYLE",
                      help="one of " + ", ".join(HINT_STYLES) + " (default: ivy_grid)")
    hint.set_defaults(run=cmd_hint)

    demo = sub.add_parser("demo", help="show the saving on a bundled sample of records",
                          description="Run stats on a bundled sample of records and print it as VESK.")
    demo.set_defaults(run=cmd_demo)
    return parser


def _quiet_broken_pipe() -> NoReturn:
    # The reader went away (`vesk encode big.json | head`): nothing more to
    # say. Point stdout at /dev/null so the interpreter's final flush does
    # not complain either.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    sys.exit(1)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "run", None) is None:
        parser.print_help(sys.stderr)
        return 2
    if args.run is cmd_decode and args.indent is not None and (args.lines or is_lines_name(args.output)):
        parser.error("--indent cannot be combined with JSON Lines output (--lines, or OUT named .jsonl or .ndjson)")
    try:
        status: int = args.run(args)
        return status
    except Failure as e:
        print(e, file=sys.stderr)
        return 1
    except BrokenPipeError:
        _quiet_broken_pipe()
    except OSError as e:
        if e.errno == errno.EPIPE:
            _quiet_broken_pipe()
        print(f"vesk: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


def run() -> NoReturn:
    """The console script."""
    sys.exit(main())
