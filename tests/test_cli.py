"""The `vesk` console script, run as a user runs it: a subprocess of the
script installed next to this interpreter."""

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
from conftest import SHARED, TOKENIZER_CACHE, check_same, compact

SCRIPT = Path(sys.executable).with_name("vesk")
CORPUS = SHARED / "corpus"
CORPUS_FILES = sorted(p.name for p in CORPUS.glob("*.json")) if CORPUS.is_dir() else []

RECORDS = [
    {"id": 1, "name": "Alice Liddell", "role": "admin", "note": None},
    {"id": 2, "name": "Bob, Jr.", "role": "dev", "note": "on call"},
    {"id": 3, "name": "Zoë", "role": "nick", "note": None},
]
DOCUMENT = {"run": "eval-7", "scores": [0.5, 1e-7, 2**70], "rows": RECORDS}


def vesk_cmd(*args, input=b"", env=None, cwd=None):
    # Offline: tiktoken reads o200k_base from the shared cache, never the network.
    offline = {"TIKTOKEN_CACHE_DIR": str(TOKENIZER_CACHE)} if TOKENIZER_CACHE.is_dir() else {}
    environment = dict(os.environ, **offline, **(env or {}))
    return subprocess.run([str(SCRIPT), *map(str, args)], input=input, capture_output=True,
                          env=environment, cwd=cwd, timeout=300)


def assert_clean(proc, status):
    assert proc.returncode == status, proc.stderr
    assert b"Traceback" not in proc.stderr


@pytest.fixture
def doc_file(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(DOCUMENT, ensure_ascii=False), encoding="utf-8")
    return path


ENCODE_FLAGS = [
    ([], {}),
    (["--no-grid"], dict(ivy_grid=False)),
    (["--unquoted-keys"], dict(unquoted_keys=True)),
    (["--indent", "2"], dict(indent=2)),
    (["--bare-strings", "--implicit-null"], dict(bare_strings=True, implicit_null=True)),
    (["--no-row-count", "--delimiter", "pipe"], dict(row_count=False, delimiter="pipe")),
    (["--delimiter", "tab"], dict(delimiter="tab")),
    (["--multiline"], dict(multiline_ivy=True)),
    (["--lean"], dict(lean=True)),
]


@pytest.mark.parametrize("source", ["file", "stdin", "dash"])
@pytest.mark.parametrize("flags, options", ENCODE_FLAGS, ids=[" ".join(f) or "defaults" for f, _ in ENCODE_FLAGS])
def test_encode_writes_what_dumps_writes(doc_file, source, flags, options):
    argv = {"file": [doc_file], "stdin": [], "dash": ["-"]}[source]
    proc = vesk_cmd("encode", *argv, *flags, input=doc_file.read_bytes())
    assert_clean(proc, 0)
    assert proc.stdout.decode() == vesk.dumps(DOCUMENT, **options) + "\n"


@pytest.mark.parametrize("flags, indent", [([], None), (["--indent", "2"], 2), (["--indent", "0"], 0)])
def test_decode_writes_json(tmp_path, flags, indent):
    source = tmp_path / "doc.vesk"
    source.write_text(vesk.dumps(DOCUMENT, lean=True))
    out = tmp_path / "out.json"
    proc = vesk_cmd("decode", source, "-o", out, *flags)
    assert_clean(proc, 0)
    assert proc.stdout == b""
    text = out.read_text(encoding="utf-8")
    assert text == vesk.dumps(DOCUMENT, ivy_grid=False, indent=indent) + "\n"
    check_same(json.loads(text), DOCUMENT)


def test_decode_writes_non_finite_floats_as_json_module_does():
    proc = vesk_cmd("decode", input=b"[NaN, Infinity, -infinity, 1.5]")
    assert_clean(proc, 0)
    values = json.loads(proc.stdout)
    assert math.isnan(values[0]) and values[1:] == [math.inf, -math.inf, 1.5]


# Records that share their keys (a table in VESK) and records that do not,
# one holding a list of records, which JSON Lines keep as JSON.
SHARED_KEYS = [{"id": i, "name": f"Zoë {i}", "ok": i % 2 == 0, "score": i / 4, "note": None} for i in range(4)]
MIXED = [{"id": 1, "tags": [{"k": "a"}, {"k": "b"}]}, {"name": "Zoë", "n": 2**70, "x": 0.5}, {}, {"id": None}]


def json_lines(records, end="\n"):
    return end.join(compact(r) for r in records).encode() + end.encode()


@pytest.mark.parametrize("name, flags", [("rows.jsonl", []), ("ROWS.NDJSON", []), ("rows.txt", ["--lines"]),
                                         ("-", ["--lines"]), ("rows.jsonl", ["--lean"])])
@pytest.mark.parametrize("text", [json_lines(RECORDS), b"\r\n\n" + json_lines(RECORDS, "\r\n\n  \n")[:-5]],
                         ids=["lf", "crlf-blank-lines-no-final-newline"])
def test_encode_reads_json_lines(tmp_path, name, flags, text):
    path = tmp_path / name
    path.write_bytes(text)
    proc = vesk_cmd("encode", *flags, path if name != "-" else "-", input=text)
    assert_clean(proc, 0)
    assert proc.stdout.decode() == vesk.dumps(RECORDS, lean="--lean" in flags) + "\n"


@pytest.mark.parametrize("records", [SHARED_KEYS, MIXED], ids=["shared keys", "mixed keys"])
@pytest.mark.parametrize("how", [["--lines"], ["-o", "out.jsonl"], ["-o", "out.NDJSON", "--lines"]])
def test_json_lines_to_vesk_and_back(tmp_path, records, how):
    (tmp_path / "in.jsonl").write_bytes(json_lines(records))
    assert_clean(vesk_cmd("encode", "in.jsonl", "-o", "mid.vesk", cwd=tmp_path), 0)
    mid = (tmp_path / "mid.vesk").read_text(encoding="utf-8")
    assert mid.startswith("[4: ") == (records is SHARED_KEYS)  # records that share keys become a table
    proc = vesk_cmd("decode", "mid.vesk", *how, cwd=tmp_path)
    assert_clean(proc, 0)
    out = proc.stdout if "-o" not in how else (tmp_path / how[1]).read_bytes()
    assert out == json_lines(records)  # compact JSON a line, each line ending in a line feed
    check_same([json.loads(line) for line in out.split(b"\n")[:-1]], records)


@pytest.mark.parametrize("command", ["encode", "decode", "stats"])
def test_json_lines_errors_name_their_line(tmp_path, command):
    big = [compact({"id": i, "name": f"user {i}", "tags": ["a", "b"]}).encode() for i in range(100_000)]
    big[50_000] = b'{"id": 50000, "name": "Zo\xc3\xab" @}'
    cases = {"big.jsonl": (b"\n".join(big) + b"\n", "50001:29: Invalid character '@'"),
             "two.jsonl": (b'{"a": 1}\n\n{"a": 2} {"a": 3}\n', "3:10: Trailing content after value on its line"),
             "cut.jsonl": (b'{"a": 1}\n{"a": ', "2:7: Unexpected end of input")}
    for name, (data, where) in cases.items():
        (tmp_path / name).write_bytes(data)
        proc = vesk_cmd(command, tmp_path / name)
        assert_clean(proc, 1)
        err = proc.stderr.decode()
        assert err.startswith(f"{tmp_path / name}:{where}") and err.count("\n") == 1 and "approximate" not in err


@pytest.mark.parametrize("name, flags", [("rows.ndjson", []), ("-", ["--lines"])])
def test_stats_counts_json_lines_as_the_list_of_their_values(tmp_path, no_tiktoken, name, flags):
    path = tmp_path / name
    path.write_bytes(json_lines(RECORDS))
    proc = vesk_cmd("stats", "--format", "json", *flags, path if name != "-" else "-", input=json_lines(RECORDS),
                    env=no_tiktoken)
    assert_clean(proc, 0)
    [report] = json.loads(proc.stdout)
    sizes = {key: size for key, (size, _) in expected_figures(RECORDS, None).items()}
    assert {key: f["bytes"] for key, f in report["forms"].items()} == sizes


@pytest.mark.skipif(not CORPUS_FILES, reason=f"corpus folder {CORPUS} not found")
@pytest.mark.parametrize("flags", [[], ["--lean"], ["--unquoted-keys", "--bare-strings", "--implicit-null"]])
@pytest.mark.parametrize("name", CORPUS_FILES)
def test_encode_then_decode_gives_the_data_back(tmp_path, name, flags):
    encoded, decoded = tmp_path / "x.vesk", tmp_path / "x.json"
    assert_clean(vesk_cmd("encode", CORPUS / name, "-o", encoded, *flags), 0)
    assert_clean(vesk_cmd("decode", encoded, "-o", decoded), 0)
    # A table writes a record that lacks one of its columns (most records
    # hold them all) with null there, and its keys in the columns' order.
    check_same(json.loads(decoded.read_bytes()), json.loads((CORPUS / name).read_bytes()), missing_as_none=True)


def expected_location(data):
    """LINE:COL (column in characters) of the byte offset that loads names."""
    with pytest.raises(ValueError) as info:
        vesk.loads(data)
    offset = int(str(info.value).rsplit(" ", 1)[1].rstrip(")"))
    before = data[:offset].decode("utf-8", "replace")
    return f"{before.count(chr(10)) + 1}:{len(before) - before.rfind(chr(10))}"


BAD_TEXTS = [b'{"a": 1,\n  "b": @}', '[\n\n  {"\u00e9": "\u00fc", "k": @}]'.encode(),
             b'[3: id, name; 1, Alice; 2, Bob, x ]', b"", b'["caf\xe9"]', b'\n\n  ["ok", "\xc3\x28"]']


@pytest.mark.parametrize("command", ["encode", "decode", "stats"])
@pytest.mark.parametrize("data", BAD_TEXTS)
def test_parse_error_names_file_line_and_column(tmp_path, command, data):
    path = tmp_path / "bad.json"
    path.write_bytes(data)
    proc = vesk_cmd(command, path)
    assert_clean(proc, 1)
    err = proc.stderr.decode()
    assert err.startswith(f"{path}:{expected_location(data)}: ") and "approximate" not in err
    assert err.count("\n") == 1


@pytest.mark.parametrize("setup, args, status, message", [
    (None, ["encode", "missing.json"], 1, "vesk: missing.json: No such file or directory\n"),
    (None, ["decode", "."], 1, "vesk: .: Is a directory\n"),
    ("deep", ["encode", "deep.json"], 1, "vesk: deep.json: cannot be written: "),
    (None, ["encode", "--bogus"], 2, "unrecognized arguments: --bogus"),
    (None, ["encode", "--delimiter", "semicolon"], 2, "invalid choice: 'semicolon'"),
    (None, ["encode", "--indent", "-1"], 2, "must be 0 or more"),
    (None, ["decode", "--indent", "two"], 2, "not a whole number"),
    (None, ["hint", "fancy"], 2, "invalid choice: 'fancy'"),
    (None, ["stats"], 2, "the following arguments are required: FILE"),
    (None, ["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (None, [], 2, "usage: vesk"),
    ("dict", ["decode", "--lines", "doc.vesk"], 1,
     "vesk: doc.vesk: JSON Lines are written from a list or table, and this document is not one\n"),
    ("dict", ["decode", "doc.vesk", "-o", "doc.jsonl"], 1, "vesk: doc.vesk: JSON Lines are written from a list"),
    (None, ["decode", "--lines", "--indent", "2"], 2, "--indent cannot be combined with JSON Lines output"),
    (None, ["decode", "-o", "x.jsonl", "--indent", "0"], 2, "--indent cannot be combined with JSON Lines output"),
])
def test_bad_input_and_usage_errors(tmp_path, setup, args, status, message):
    if setup == "deep":  # read fine, but deeper than the writer goes
        (tmp_path / "deep.json").write_bytes(b"[" * 300 + b"]" * 300)
    if setup == "dict":
        (tmp_path / "doc.vesk").write_text('{rows: [2: a; 1; 2 ]}')
    proc = vesk_cmd(*args, cwd=tmp_path)
    assert_clean(proc, status)
    assert proc.stdout == b""
    err = proc.stderr.decode()
    assert err.startswith(message) if status == 1 else (err.startswith("usage: vesk") and message in err)


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_failed_conversion_leaves_existing_output_alone(tmp_path, command):
    out = tmp_path / "out.txt"
    out.write_bytes(b"precious\n")
    (tmp_path / "bad.json").write_text('{"a": [1, 2}')
    proc = vesk_cmd(command, tmp_path / "bad.json", "-o", out)
    assert_clean(proc, 1)
    assert out.read_bytes() == b"precious\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "out.txt"]


def test_output_replaces_existing_file_and_keeps_its_mode(tmp_path, doc_file):
    out = tmp_path / "out.vesk"
    out.write_bytes(b"old text that is longer than the new text would ever be" * 100)
    out.chmod(0o640)
    assert_clean(vesk_cmd("encode", doc_file, "-o", out), 0)
    assert out.read_text(encoding="utf-8") == vesk.dumps(DOCUMENT) + "\n"
    assert out.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["doc.json", "out.vesk"]


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_reader_closing_early_ends_quietly(tmp_path, command):
    big = tmp_path / "big.json"
    big.write_text(json.dumps([{"id": i, "text": "x" * 40} for i in range(100_000)]))
    proc = subprocess.Popen([str(SCRIPT), command, str(big)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.read(100)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=300) == 1
    assert err == b""


@pytest.mark.parametrize("style", [None, "ivy_grid", "ivy_grid_rowcount", "multiline", "tab", "lean"])
def test_hint_prints_format_hint(style):
    proc = vesk_cmd("hint", *([style] if style else []))
    assert_clean(proc, 0)
    assert proc.stdout.decode() == (vesk.format_hint(style) if style else vesk.format_hint()) + "\n"


@pytest.mark.parametrize("argv", [[str(SCRIPT)], [sys.executable, "-m", "vesk"]], ids=["script", "python -m"])
def test_version_from_script_and_module(argv):
    proc = subprocess.run([*argv, "--version"], capture_output=True, timeout=60)
    assert_clean(proc, 0)
    assert proc.stdout.decode() == f"vesk {vesk.__version__}\n"


def expected_figures(data, encoding):
    texts = {
        "json": json.dumps(data, ensure_ascii=False, separators=(",", ":")),
        "json_indent2": json.dumps(data, ensure_ascii=False, indent=2),
        "vesk": vesk.dumps(data),
        "vesk_bare": vesk.dumps(data, unquoted_keys=True, bare_strings=True, implicit_null=True),
        "vesk_lean": vesk.dumps(data, lean=True),
    }
    return {key: (len(text.encode()), encoding and len(encoding.encode(text, disallowed_special=())))
            for key, text in texts.items()}


def stats_json(*files, env=None):
    proc = vesk_cmd("stats", "--format", "json", *files, env=env)
    assert_clean(proc, 0)
    return json.loads(proc.stdout)


@pytest.mark.parametrize("name", ["doc", "twitter.json", "citm_catalog.json"])
def test_stats_figures_equal_len_and_tiktoken(o200k, doc_file, name):
    path = doc_file if name == "doc" else CORPUS / name
    if not path.is_file():
        pytest.skip(f"{path} not found")
    [report] = stats_json(path)
    assert report["file"] == str(path) and report["tokenizer"] == "o200k_base"
    expected = expected_figures(json.loads(path.read_bytes()), o200k)
    assert {key: (f["bytes"], f["tokens"]) for key, f in report["forms"].items()} == expected
    base_bytes, base_tokens = expected["json"]
    for key, (size, tokens) in expected.items():
        assert report["forms"][key]["bytes_change_pct"] == round((size - base_bytes) / base_bytes * 100, 1)
        assert report["forms"][key]["tokens_change_pct"] == round((tokens - base_tokens) / base_tokens * 100, 1)


def test_stats_table_shows_the_same_figures(o200k, doc_file):
    proc = vesk_cmd("stats", doc_file)
    assert_clean(proc, 0)
    lines = proc.stdout.decode().splitlines()
    assert lines[0] == f"{doc_file} (tokens: o200k_base)"
    expected = list(expected_figures(DOCUMENT, o200k).values())
    # Every row but the first (compact JSON itself) ends with its change in percent.
    rows = [line.split() for line in lines[2:]]
    cells = [(row[-2], row[-1]) if i == 0 else (row[-4], row[-2]) for i, row in enumerate(rows)]
    assert [(int(b.replace(",", "")), int(t.replace(",", ""))) for b, t in cells] == expected


@pytest.fixture
def no_tiktoken(tmp_path):
    """An environment where importing tiktoken fails, as when it is not installed."""
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "tiktoken.py").write_text("raise ImportError('no tiktoken here')\n")
    return {"PYTHONPATH": str(blocker)}


def test_stats_without_tiktoken_shows_bytes_and_how_to_get_tokens(no_tiktoken, doc_file):
    proc = vesk_cmd("stats", doc_file, env=no_tiktoken)
    assert_clean(proc, 0)
    lines = proc.stdout.decode().splitlines()
    assert lines[1].split() == ["form", "bytes", "vs", "JSON"]
    sizes = [size for size, _ in expected_figures(DOCUMENT, None).values()]
    assert [int(line.split()[-2 if i else -1].replace(",", "")) for i, line in enumerate(lines[2:7])] == sizes
    assert lines[7:] == ["tokens: not counted; `pip install 'vesk[tokens]'` adds tiktoken for o200k_base token counts"]
    [report] = stats_json(doc_file, env=no_tiktoken)
    assert report["tokenizer"] is None and {f["tokens"] for f in report["forms"].values()} == {None}


def test_stats_reports_good_files_and_fails_for_bad_ones(tmp_path, doc_file, no_tiktoken):
    (tmp_path / "bad.json").write_text("[1,")
    proc = vesk_cmd("stats", "--format", "json", tmp_path / "bad.json", doc_file, env=no_tiktoken)
    assert_clean(proc, 1)
    assert [r["file"] for r in json.loads(proc.stdout)] == [str(doc_file)]
    assert proc.stderr.decode().startswith(f"{tmp_path / 'bad.json'}:1:4: ")


def test_demo_shows_the_sample_as_vesk(no_tiktoken):
    proc = vesk_cmd("demo", env=no_tiktoken)
    assert_clean(proc, 0)
    sample = json.loads((Path(vesk.__file__).parent / "sample.json").read_bytes())
    out = proc.stdout.decode()
    assert vesk.dumps(sample, lean=True) in out and vesk.dumps(sample) in out and vesk.format_hint() in out
