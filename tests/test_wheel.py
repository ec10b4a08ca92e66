"""The wheel `make wheel` builds, installed as a user without a compiler installs it: into a fresh virtual environment,
with nothing on PATH but that environment's own commands, run away from the source tree."""

import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import vesk
from conftest import UNDER_ASAN

PROBE = "import vesk, vesk.vesk_core as c; print(vesk.__simd__, c.__file__)"


@pytest.mark.skipif(UNDER_ASAN or shutil.which("make") is None, reason="needs make and the plain build")
def test_the_wheel_installs_and_runs_without_a_compiler(tmp_path):
    # A make of our own, not a part of a make that may be running the tests.
    clean = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    repo = Path(__file__).resolve().parents[1]
    built = subprocess.run(["make", "-s", "wheel"], cwd=repo, env=clean, capture_output=True, text=True, timeout=1800)
    assert built.returncode == 0, built.stdout + built.stderr
    [wheel] = (repo / "dist").glob("vesk-*.whl")
    assert re.fullmatch(rf"vesk-{re.escape(vesk.__version__)}-cp313-cp313-manylinux_.+_x86_64\.whl", wheel.name)
    names = zipfile.ZipFile(wheel).namelist()
    assert {"vesk/__init__.py", "vesk/cli.py", "vesk/vesk_core.pyi", "vesk/py.typed", "vesk/sample.json"} <= set(names)
    assert any(n.startswith("vesk/vesk_core.cpython-313-") and n.endswith(".so") for n in names)
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", tmp_path / "venv"], check=True, timeout=300)
    bin_ = tmp_path / "venv" / "bin"
    env = {"PATH": str(bin_), "HOME": str(tmp_path), "LANG": "C.UTF-8"}
    assert [c for c in ["cc", "gcc", "g++", "c++", "clang", "cmake", "ld"] if shutil.which(c, path=env["PATH"])] == []
    # The outer pip installs into the new environment: binaries only, nothing fetched.
    def run(*args):
        proc = subprocess.run(args, env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout

    run(sys.executable, "-m", "pip", "--python", bin_ / "python", "install", "--no-index", "--no-deps",
        "--only-binary=:all:", "--no-cache-dir", "-q", wheel)
    simd, module = run(bin_ / "python", "-c", PROBE).split()
    assert simd in ("AVX2", "AVX-512") and Path(module).is_relative_to(bin_.parent)
    demo = run(bin_ / "vesk", "demo")
    sample = vesk.loads((Path(vesk.__file__).parent / "sample.json").read_bytes())
    assert vesk.dumps(sample, lean=True) in demo and "tokens: not counted" in demo
