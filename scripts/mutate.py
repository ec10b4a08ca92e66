#!/usr/bin/env python3
"""A seeded sample of single-token faults, planted one at a time, to see which
ones the test suites catch.

    scripts/mutate.py list            # the sample: id, area, file:line, change
    scripts/mutate.py run [ID...]     # plant, rebuild, test; resumes where it stopped
                     [--timeout S]    # skip the check without a fault; S seconds a fault
    scripts/mutate.py report          # caught / planted, per area, and the misses
    scripts/mutate.py reset           # forget the recorded results

Run by hand, from the repository's root, after `make install native` (the
.venv and the Debian packages they install). Each fault is one token of
the native sources or the Python package changed (a comparison flipped,
`&&` for `||`, a bound moved by one, a boolean swapped, ...). The sample is
drawn with a fixed seed from the sources as they stand, so unchanged sources
give the same sample; a fault whose line has changed since it was recorded
is reported as stale rather than planted elsewhere.

For each fault: the file is changed in place (and always restored), the
module and the native tests are rebuilt incrementally in build/mutation
(without link-time optimisation, for quick relinks), and the suites run
quickest first, stopping at the first failure: the native tests, then
pytest in two shards side by side, one per core. A fault that fails to
build is replaced by the next candidate of its area when the sample is
drawn, so every fault in the sample builds. Results are written after each
fault to build/mutation/results.json: an interrupted run resumes with the
next fault.
"""

from __future__ import annotations

import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import tokenize
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "mutation"
SAMPLE = OUT / "sample.json"
RESULTS = OUT / "results.json"
SEED = 29
SRC = "src/vesk_core/src"

# Faults per area, and the files each area draws from. The areas are
# disjoint: a file an area names outright belongs to it alone, whatever
# another area's pattern matches (the stream's text reader lives in parser/).
AREAS = {
    "parser": (10, [f"{SRC}/parser/*.cpp", f"{SRC}/parser/*.hpp"]),
    "serializer": (10, [f"{SRC}/serializer/*.cpp", f"{SRC}/serializer/*.hpp"]),
    "simd": (6, [f"{SRC}/simd/*.cpp", f"{SRC}/simd/*.hpp"]),
    "types": (5, [f"{SRC}/types/*.cpp", f"{SRC}/types/*.hpp"]),
    "stream": (6, [f"{SRC}/stream.cpp", f"{SRC}/parser/stream_text.cpp", f"{SRC}/parser/stream_text.hpp"]),
    "entry": (5, [f"{SRC}/[!s]*.cpp", f"{SRC}/stack_room.cpp", f"{SRC}/*.hpp"]),
    "package": (7, ["src/vesk/__init__.py", "src/vesk/cli.py"]),
}

# C++ operators, matched on code with comments and literals blanked out.
# Binary comparisons carry clang-format's spaces, which template brackets,
# shifts and arrows never do.
CPP_CHANGES = [
    (r" == ", " != "), (r" != ", " == "),
    (r" < ", " <= "), (r" <= ", " < "), (r" > ", " >= "), (r" >= ", " > "),
    (r" && ", " || "), (r" \|\| ", " && "),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
    (r" \+ 1\b", " + 2"), (r" - 1\b", " - 2"),
    (r"\+\+(?=[a-z_])", "--"),
]
PY_CHANGES = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">",
              "and": "or", "or": "and", "True": "False", "False": "True", "is": "is not"}

# Tests that rebuild the project from source, which a planted fault would
# only slow down.
DESELECT = ["tests/test_wheel.py"]


@dataclass
class Fault:
    id: str
    area: str
    file: str
    line: int
    column: int
    before: str
    after: str
    text: str  # the whole line as drawn: a changed line makes the fault stale

    def describe(self) -> str:
        return f"{self.file}:{self.line}: {self.before.strip()!r} -> {self.after.strip()!r}"


def blank_cpp(source: str) -> str:
    """The source with comments, string and character literals and
    preprocessor lines replaced by spaces, offsets kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|^\s*#[^\n]*',
                         re.S | re.M)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), source)


def cpp_sites(path: str, source: str):
    code = blank_cpp(source)
    lines = source.splitlines()
    for pattern, after in CPP_CHANGES:
        for m in re.finditer(pattern, code):
            line = code.count("\n", 0, m.start()) + 1
            column = m.start() - (code.rfind("\n", 0, m.start()) + 1)
            yield line, column, m.group(), after, lines[line - 1]


def py_sites(path: str, source: str):
    lines = source.splitlines()
    tokens = list(tokenize.generate_tokens(io.StringIO(source).readline))
    for tok, following in zip(tokens, tokens[1:]):
        if tok.type in (tokenize.OP, tokenize.NAME) and tok.string in PY_CHANGES:
            if tok.string == "is" and following.string == "not":
                continue
            line, column = tok.start
            yield line, column, tok.string, PY_CHANGES[tok.string], lines[line - 1]


def compiles(path: Path) -> bool:
    try:
        compile(path.read_text(), str(path), "exec")
        return True
    except SyntaxError:
        return False


def area_files(area: str) -> list[Path]:
    named_elsewhere = {ROOT / pattern for other, (_, patterns) in AREAS.items() if other != area
                       for pattern in patterns if not any(c in pattern for c in "*?[")}
    return sorted({p for pattern in AREAS[area][1] for p in ROOT.glob(pattern)} - named_elsewhere)


def candidates(area: str) -> list[Fault]:
    files = area_files(area)
    found = []
    for path in files:
        rel = str(path.relative_to(ROOT))
        source = path.read_text()
        sites = py_sites(rel, source) if rel.endswith(".py") else cpp_sites(rel, source)
        for line, column, before, after, text in sites:
            found.append(Fault("", area, rel, line, column, before, after, text))
    found.sort(key=lambda f: (f.file, f.line, f.column, f.after))
    random.Random(f"{SEED}:{area}").shuffle(found)
    return found


def apply(fault: Fault) -> str:
    """Plants the fault; returns the original text to restore."""
    path = ROOT / fault.file
    original = path.read_text()
    lines = original.splitlines(keepends=True)
    line = lines[fault.line - 1]
    if line.rstrip("\n") != fault.text or line[fault.column:fault.column + len(fault.before)] != fault.before:
        raise LookupError("stale")
    lines[fault.line - 1] = line[:fault.column] + fault.after + line[fault.column + len(fault.before):]
    path.write_text("".join(lines))
    return original


def configure() -> None:
    if (OUT / "cmake" / "CMakeCache.txt").exists():
        return
    python = ROOT / ".venv" / "bin" / "python"
    subprocess.run(["cmake", "-S", ".", "-B", str(OUT / "cmake"), "-DVESK_BUILD_TESTS=ON",
                    "-DCMAKE_BUILD_TYPE=Release",
                    # the project turns link-time optimisation on for every
                    # configuration; the per-configuration switch wins over it
                    "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE=OFF",
                    f"-DPython_EXECUTABLE={python}"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def build() -> bool:
    done = subprocess.run(["cmake", "--build", str(OUT / "cmake"), "-j2"], cwd=ROOT,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode == 0


def stage(out: Path = OUT) -> Path:
    """The package's Python files and the module freshly built in
    `out`/cmake, staged in `out`/site, which goes first on PYTHONPATH for
    the suites."""
    site = out / "site" / "vesk"
    shutil.rmtree(site, ignore_errors=True)
    site.mkdir(parents=True)
    for name in ["*.py", "*.pyi", "py.typed", "sample.json"]:
        for f in (ROOT / "src" / "vesk").glob(name):
            shutil.copy(f, site)
    for f in (out / "cmake").glob("vesk_core*.so"):
        shutil.copy(f, site)
    return site.parent


def shards() -> list[list[str]]:
    """The test files in two shards of about equal size."""
    files = sorted((ROOT / "tests").glob("test_*.py"), key=lambda p: -p.stat().st_size)
    halves: list[list[str]] = [[], []]
    sizes = [0, 0]
    for f in files:
        if str(f.relative_to(ROOT)) in DESELECT:
            continue
        i = sizes.index(min(sizes))
        halves[i].append(str(f.relative_to(ROOT)))
        sizes[i] += f.stat().st_size
    return halves


def run_suites(site: Path, timeout: float, native: bool = True) -> str | None:
    """The first suite that fails, or None when all pass. `native`: run
    the native tests first (a fault in the Python package cannot fail them)."""
    native = native and subprocess.run(["ctest", "--test-dir", str(OUT / "cmake"), "--stop-on-failure", "-j2",
                             "--timeout", "120"], cwd=ROOT, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if native and native.returncode != 0:
        return "native"
    env = dict(os.environ, PYTHONPATH=str(site))
    python = str(ROOT / ".venv" / "bin" / "python")
    logs = [OUT / f"shard-{i}.log" for i in range(2)]
    procs = [subprocess.Popen([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                               "--hypothesis-profile=repeatable", *files], cwd=ROOT, env=env,
                              stdout=log.open("w"), stderr=subprocess.STDOUT,
                              start_new_session=True)
             for files, log in zip(shards(), logs)]
    deadline = time.monotonic() + timeout
    failed = None
    try:
        while failed is None and any(p.poll() is None for p in procs):
            for p in procs:
                if p.poll() not in (None, 0):
                    failed = p
            if time.monotonic() > deadline:
                return "timeout"
            time.sleep(0.2)
        failed = failed or next((p for p in procs if p.returncode != 0), None)
        if failed is None:
            return None
        failed.wait()
        output = logs[procs.index(failed)].read_text()
        names = re.findall(r"^FAILED (\S+)|^ERROR (\S+)", output, re.M)
        return "pytest " + (next(filter(None, names[0])) if names else "(crashed)")
    finally:
        for p in procs:
            if p.poll() is None:
                os.killpg(p.pid, 9)
                p.wait()


def draw_sample() -> list[Fault]:
    if SAMPLE.exists():
        return [Fault(**f) for f in json.loads(SAMPLE.read_text())]
    configure()
    sample = []
    for area, (count, _) in AREAS.items():
        taken = 0
        for fault in candidates(area):
            if taken == count:
                break
            original = apply(fault)
            try:
                python = fault.file.endswith(".py")
                builds = compiles(ROOT / fault.file) if python else build()
            finally:
                (ROOT / fault.file).write_text(original)
            if builds:
                taken += 1
                fault.id = f"{area}-{taken:02d}"
                sample.append(fault)
                print(f"drawn {fault.id}  {fault.describe()}", flush=True)
    build()
    OUT.mkdir(parents=True, exist_ok=True)
    SAMPLE.write_text(json.dumps([asdict(f) for f in sample], indent=1))
    return sample


def run(only: list[str], timeout: float | None = None) -> None:
    sample = draw_sample()
    results = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
    configure()
    if not build():
        sys.exit("the unchanged sources do not build in build/mutation")
    if timeout is None:
        start = time.monotonic()
        baseline = run_suites(stage(), timeout=1800)
        if baseline is not None:
            sys.exit(f"the suites fail without any fault planted: {baseline}")
        timeout = 3 * (time.monotonic() - start) + 60
    stale = False  # the build holds a fault that has since been taken out
    if only:  # in the order given
        sample = sorted((f for f in sample if f.id in only), key=lambda f: only.index(f.id))
    for fault in sample:
        if not only and fault.id in results:
            continue
        began = time.monotonic()
        python = fault.file.endswith(".py")
        if python and stale:
            stale = not build()
        try:
            original = apply(fault)
        except LookupError:
            results[fault.id] = {"status": "stale"}
        else:
            try:
                if python or build():
                    by = run_suites(stage(), timeout, native=not python)
                    results[fault.id] = {"status": "caught" if by else "missed", "by": by}
                else:
                    results[fault.id] = {"status": "no build"}
            finally:
                (ROOT / fault.file).write_text(original)
                stale = stale or not python
        results[fault.id]["seconds"] = round(time.monotonic() - began)
        RESULTS.write_text(json.dumps(results, indent=1))
        print(f"{fault.id:14} {results[fault.id]['status']:8} {fault.describe()}  "
              f"[{results[fault.id].get('by') or ''}]", flush=True)
    build()  # leave the build matching the sources
    report()


def report() -> None:
    sample = draw_sample() if SAMPLE.exists() else []
    results = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
    print(f"{'area':<12}{'caught':>8}{'planted':>9}")
    for area in AREAS:
        faults = [f for f in sample if f.area == area and f.id in results]
        caught = sum(results[f.id]["status"] == "caught" for f in faults)
        print(f"{area:<12}{caught:>8}{len(faults):>9}")
    done = [f for f in sample if f.id in results]
    print(f"{'all':<12}{sum(results[f.id]['status'] == 'caught' for f in done):>8}{len(done):>9}")
    for f in done:
        if results[f.id]["status"] != "caught":
            print(f"{results[f.id]['status']:>8}  {f.id}  {f.describe()}")


def main() -> None:
    # A planted fault is taken out in `finally`: a stop by signal must unwind too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))
    command = sys.argv[1] if len(sys.argv) > 1 else "report"
    if command == "list":
        for f in draw_sample():
            print(f"{f.id:14} {f.describe()}")
    elif command == "run":
        args = sys.argv[2:]
        # --timeout S: the suites were just seen to pass; S seconds a fault at most
        timeout = float(args.pop(args.index("--timeout") + 1)) if "--timeout" in args else None
        run([a for a in args if a != "--timeout"], timeout)
    elif command == "report":
        report()
    elif command == "reset":
        RESULTS.unlink(missing_ok=True)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
