"""The `vesk` console script, run as a user runs it: a subprocess of the script installed next to this interpreter."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
from conftest import SHARED, TOKENIZER_CACHE, compact

SCRIPT = Path(sys.executable).with_name("vesk")
RECORDS = [{"id": 1, "name": "Alice Liddell", "role": "admin", "note": None},
           {"id": 2, "name": "Bob Jr.", "role": "dev", "note": "on call"},
           {"id": 3, "name": "Zoë", "role": "nick", "note": None}]
DOCUMENT = {"run": "eval-7", "scores": [0.5, 1e-7, 2**70], "rows": RECORDS}  # its rows make a table


def vesk_cmd(*args, input=b"", env=None, cwd=None, status=0):
    offline = {"TIKTOKEN_CACHE_DIR": str(TOKENIZER_CACHE)} if TOKENIZER_CACHE.is_dir() else {}
    proc = subprocess.run([str(SCRIPT), *map(str, args)], input=input, capture_output=True, cwd=cwd, timeout=300,
                          env=dict(os.environ, **offline, **(env or {})))
    assert proc.returncode == status and b"Traceback" not in proc.stderr, proc.stderr
    return proc


@pytest.fixture
def doc_file(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(DOCUMENT, ensure_ascii=False), encoding="utf-8")
    return path


FLAGS = [  # command, flags that each change the text, the options of the dumps call that writes the same
    ("encode", [], {}), ("encode", ["--multiline"], dict(multiline_ivy=True)), ("encode", ["--lean"], dict(lean=True)),
    ("encode", ["--no-grid", "--unquoted-keys", "--indent", "2"], dict(ivy_grid=False, unquoted_keys=True, indent=2)),
    ("encode", ["--bare-strings", "--delimiter", "tab"], dict(bare_strings=True, delimiter="tab")),
    ("encode", ["--implicit-null", "--no-row-count", "--delimiter", "pipe"],
     dict(implicit_null=True, row_count=False, delimiter="pipe")),
    ("decode", [], dict(ivy_grid=False)), ("decode", ["--indent", "2"], dict(ivy_grid=False, indent=2)),
    ("decode", ["--indent", "0"], dict(ivy_grid=False, indent=0)),
]


@pytest.mark.parametrize("n", range(len(FLAGS)), ids=[" ".join([c, *f]) for c, f, _ in FLAGS])
def test_output_is_what_dumps_writes(doc_file, n):
    command, flags, options = FLAGS[n]
    if command == "decode":
        doc_file.write_text(vesk.dumps(DOCUMENT, lean=True))
    source = [[doc_file], [], ["-"]][n % 3]  # a file, standard input, and `-` for it
    out = vesk_cmd(command, *source, *flags, input=doc_file.read_bytes()).stdout.decode()
    assert out == vesk.dumps(DOCUMENT, **options) + "\n"


def json_lines(records, end="\n"):
    return end.join(compact(r) for r in records).encode() + end.encode()


# Records sharing their keys (a table) or not, one holding records (kept as JSON); blank lines, CRLF, no final LF.
SHARED_KEYS = [{"id": i, "name": f"Zoë {i}", "ok": i % 2 == 0, "score": i / 4, "note": None} for i in range(4)]
MIXED = [{"id": 1, "tags": [{"k": "a"}, {"k": "b"}]}, {"name": "Zoë", "n": 2**70, "x": 0.5}, {}, {"id": None}]
CRLF = b"\r\n\n" + json_lines(SHARED_KEYS, "\r\n\n  \n")[:-5]


@pytest.mark.parametrize("records, text, name, flags, how", [
    (SHARED_KEYS, CRLF, "ROWS.NDJSON", [], ["-o", "out.jsonl"]),
    (SHARED_KEYS, CRLF, "rows.txt", ["--lines"], ["-o", "out.NDJSON", "--lines"]),
    (MIXED, json_lines(MIXED), "-", ["--lines"], ["--lines"]),
    (MIXED, json_lines(MIXED), "rows.jsonl", ["--lean"], ["-o", "out.jsonl"]),
])
def test_json_lines_to_vesk_and_back(tmp_path, records, text, name, flags, how):
    (tmp_path / name).write_bytes(text)
    mid = vesk_cmd("encode", *flags, name, input=text, cwd=tmp_path).stdout
    assert mid.decode() == vesk.dumps(records, lean="--lean" in flags) + "\n"
    out = vesk_cmd("decode", *how, input=mid, cwd=tmp_path).stdout
    out = out if "-o" not in how else (tmp_path / how[1]).read_bytes()
    assert out == json_lines(records)  # compact JSON a line, each line ending in a line feed


BIG = [compact({"id": i, "name": f"user {i}", "tags": ["a", "b"]}).encode() for i in range(100_000)]
BIG[50_000] = b'{"id": 50000, "name": "Zo\xc3\xab" @}'
LINE_ERRORS = {"big.jsonl": (b"\n".join(BIG) + b"\n", "50001:29: Invalid character '@'"),
               "two.jsonl": (b'{"a": 1}\n\n{"a": 2} {"a": 3}\n', "3:10: Trailing content after value on its line"),
               "doc.json": ('[\n  "\u00e9", 01]'.encode(), "2:8: Invalid number: leading zeros not allowed\n"),
               "empty.json": (b"", "1:1: Unexpected end of input\n")}


@pytest.mark.parametrize("command", ["encode", "stats"])  # decode reads as encode does
def test_parse_errors_name_file_line_and_column(tmp_path, command):
    for name, (data, where) in LINE_ERRORS.items():  # JSON Lines name the line of the document
        (tmp_path / name).write_bytes(data)
        err = vesk_cmd(command, tmp_path / name, status=1).stderr.decode()
        assert err.startswith(f"{tmp_path / name}:{where}") and err.count("\n") == 1 and "approximate" not in err, name


NOT_LINES = "vesk: doc.vesk: JSON Lines are written from a list or table, and this document is not one\n"


@pytest.mark.parametrize("args, status, message", [
    (["encode", "missing.json"], 1, "vesk: missing.json: No such file or directory\n"),
    (["encode", "deep.json"], 1, "vesk: deep.json: cannot be written: "),  # read fine, but deeper than the writer goes
    (["decode", "--lines", "doc.vesk"], 1, NOT_LINES), (["decode", "doc.vesk", "-o", "doc.jsonl"], 1, NOT_LINES),
    (["encode", "--delimiter", "semicolon"], 2, "invalid choice: 'semicolon'"), ([], 2, "usage: vesk"),
    (["encode", "--indent", "-1"], 2, "must be 0 or more"), (["hint", "fancy"], 2, "invalid choice: 'fancy'"),
    (["decode", "--indent", "two"], 2, "not a whole number"),
    (["decode", "--lines", "--indent", "2"], 2, "--indent cannot be combined with JSON Lines output"),
    (["decode", "-o", "x.jsonl", "--indent", "0"], 2, "--indent cannot be combined with JSON Lines output"),
])
def test_bad_input_and_usage_errors(tmp_path, args, status, message):
    (tmp_path / "deep.json").write_bytes(b"[" * 300 + b"]" * 300)
    (tmp_path / "doc.vesk").write_text('{rows: [2: a; 1; 2 ]}')
    proc = vesk_cmd(*args, cwd=tmp_path, status=status)
    err = proc.stderr.decode()
    assert proc.stdout == b""
    assert err.startswith(message) if status == 1 else (err.startswith("usage: vesk") and message in err)


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_output_is_replaced_whole_or_left_alone(tmp_path, doc_file, command):
    out, precious = tmp_path / "out.txt", b"precious, and longer than what replaces it\n" * 100
    out.write_bytes(precious)
    out.chmod(0o640)
    (tmp_path / "bad.json").write_text('{"a": [1, 2}')
    vesk_cmd(command, tmp_path / "bad.json", "-o", out, status=1)
    assert out.read_bytes() == precious
    vesk_cmd(command, doc_file, "-o", out)
    assert out.read_text(encoding="utf-8") == vesk.dumps(DOCUMENT, ivy_grid=command == "encode") + "\n"
    assert out.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "doc.json", "out.txt"]


def test_reader_closing_early_ends_quietly(tmp_path):
    big = tmp_path / "big.json"
    big.write_text(json.dumps([{"id": i, "text": "x" * 40} for i in range(100_000)]))
    proc = subprocess.Popen([str(SCRIPT), "encode", str(big)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.read(100)
    proc.stdout.close()
    assert (proc.stderr.read(), proc.wait(timeout=300)) == (b"", 1)


@pytest.mark.parametrize("argv", [[str(SCRIPT)], [sys.executable, "-m", "vesk"]], ids=["script", "python -m"])
def test_version_from_script_and_module(argv):
    proc = subprocess.run([*argv, "--version"], capture_output=True, timeout=60)
    assert (proc.returncode, proc.stdout.decode()) == (0, f"vesk {vesk.__version__}\n"), proc.stderr


def expected_figures(data, encoding):
    texts = {"json": compact(data), "json_indent2": json.dumps(data, ensure_ascii=False, indent=2),
             "vesk": vesk.dumps(data),
             "vesk_bare": vesk.dumps(data, unquoted_keys=True, bare_strings=True, implicit_null=True),
             "vesk_lean": vesk.dumps(data, lean=True)}
    return {key: (len(text.encode()), encoding and len(encoding.encode(text, disallowed_special=())))
            for key, text in texts.items()}


@pytest.mark.parametrize("name", ["doc", "twitter.json", "citm_catalog.json"])
def test_stats_figures_equal_len_and_tiktoken(o200k, doc_file, name):
    path = doc_file if name == "doc" else SHARED / "corpus" / name
    if not path.is_file():
        pytest.skip(f"{path} not found")
    [report] = json.loads(vesk_cmd("stats", "--format", "json", path).stdout)
    assert report["file"] == str(path) and report["tokenizer"] == "o200k_base"
    expected = expected_figures(json.loads(path.read_bytes()), o200k)
    assert {key: (f["bytes"], f["tokens"]) for key, f in report["forms"].items()} == expected
    change = {key: tuple(round((n - base) / base * 100, 1) for n, base in zip(figures, expected["json"]))
              for key, figures in expected.items()}
    assert {key: (f["bytes_change_pct"], f["tokens_change_pct"]) for key, f in report["forms"].items()} == change


def test_stats_without_tiktoken(tmp_path, doc_file):
    (tmp_path / "blocker").mkdir()  # importing tiktoken fails, as when it is not installed
    (tmp_path / "blocker" / "tiktoken.py").write_text("raise ImportError('no tiktoken here')\n")
    env = {"PYTHONPATH": os.pathsep.join([str(tmp_path / "blocker"), *filter(None, [os.environ.get("PYTHONPATH")])])}
    lines = vesk_cmd("stats", doc_file, env=env).stdout.decode().splitlines()
    assert lines[1].split() == ["form", "bytes", "vs", "JSON"] and {len(line) for line in lines[3:7]} == {len(lines[1])}
    assert not any(line[0] == " " for line in lines[1:7])  # names flush left, figures flush right
    sizes = [size for size, _ in expected_figures(DOCUMENT, None).values()]
    assert [int(line.split()[-2 if i else -1].replace(",", "")) for i, line in enumerate(lines[2:7])] == sizes
    assert lines[7:] == ["tokens: not counted; `pip install 'vesk[tokens]'` adds tiktoken for o200k_base token counts"]
