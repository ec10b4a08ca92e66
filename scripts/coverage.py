#!/usr/bin/env python3
"""Line and branch coverage of the native sources, per folder, under the
native tests and the pytest suite.

    scripts/coverage.py          # build, run every suite, report
    scripts/coverage.py report   # report the counts of the last run again

Run by hand, from the repository's root, after `make install` (its .venv).
The module and the native tests are built with gcc's --coverage in
build/coverage (optimised lightly, so that lines map to code, and without
link-time optimisation); the suites run against that build, the command's
subprocesses included (they inherit PYTHONPATH), and gcov's counts are
merged over every translation unit: a header line or branch counts as
covered when any unit that includes it covered it.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

from mutate import stage

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "coverage"
SOURCES = ROOT / "src" / "vesk_core" / "src"
COUNTS = OUT / "counts.json"


def build() -> None:
    python = ROOT / ".venv" / "bin" / "python"
    flags = "--coverage -O1 -fno-inline-functions"
    subprocess.run(["cmake", "-S", ".", "-B", str(OUT / "cmake"), "-DVESK_BUILD_TESTS=ON",
                    "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE=OFF",
                    f"-DCMAKE_CXX_FLAGS_RELEASE={flags}", f"-DCMAKE_C_FLAGS_RELEASE={flags}",
                    "-DCMAKE_EXE_LINKER_FLAGS=--coverage", "-DCMAKE_SHARED_LINKER_FLAGS=--coverage",
                    "-DCMAKE_MODULE_LINKER_FLAGS=--coverage", f"-DPython_EXECUTABLE={python}"],
                   cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(OUT / "cmake"), "-j2"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)


def run_suites() -> None:
    for stale in (OUT / "cmake").rglob("*.gcda"):
        stale.unlink()
    site = stage(OUT)
    subprocess.run(["ctest", "--test-dir", str(OUT / "cmake"), "-j2"], cwd=ROOT,
                   stdout=subprocess.DEVNULL)
    env = dict(os.environ, PYTHONPATH=str(site))
    # the wheel test builds and installs its own module, which is not this build
    subprocess.run([str(ROOT / ".venv" / "bin" / "python"), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                    "--hypothesis-profile=repeatable", "--deselect", "tests/test_wheel.py"],
                   cwd=ROOT, env=env)


def collect() -> dict:
    """(file, line) -> hit, and (file, line, index) -> taken, merged over units."""
    lines: dict[str, bool] = {}
    branches: dict[str, bool] = {}
    for gcda in (OUT / "cmake").rglob("*.gcda"):
        done = subprocess.run(["gcov", "--json-format", "--stdout", "--branch-probabilities",
                               str(gcda)], cwd=gcda.parent, capture_output=True, text=True)
        for document in filter(None, done.stdout.splitlines()):
            for record in json.loads(document)["files"]:
                path = (gcda.parent / record["file"]).resolve()
                if not path.is_relative_to(SOURCES):
                    continue
                name = str(path.relative_to(SOURCES))
                for line in record["lines"]:
                    key = f"{name}:{line['line_number']}"
                    lines[key] = lines.get(key, False) or line["count"] > 0
                    for i, branch in enumerate(b for b in line["branches"] if not b["throw"]):
                        bkey = f"{key}:{i}"
                        branches[bkey] = branches.get(bkey, False) or branch["count"] > 0
    return {"lines": lines, "branches": branches}


def report(counts: dict) -> None:
    table: dict[str, list[int]] = defaultdict(lambda: [0, 0, 0, 0])
    for kind, offset in (("lines", 0), ("branches", 2)):
        for key, hit in counts[kind].items():
            folder = key.split("/")[0] if "/" in key.split(":")[0] else "(entry)"
            for row in (folder, "all"):
                table[row][offset] += hit
                table[row][offset + 1] += 1
    print(f"{'folder':<12}{'lines':>16}{'branches':>18}")
    for folder in sorted(table, key=lambda f: (f == "all", f)):
        lh, lt, bh, bt = table[folder]
        print(f"{folder:<12}{100 * lh / lt:>7.1f}% {lh:>5}/{lt:<5}{100 * bh / max(bt, 1):>7.1f}% {bh:>5}/{bt:<5}")


def main() -> None:
    if sys.argv[1:] != ["report"]:
        build()
        run_suites()
        COUNTS.write_text(json.dumps(collect()))
    report(json.loads(COUNTS.read_text()))


if __name__ == "__main__":
    main()
