# Two entry points for a fresh machine:
#   make demo   set up a CPython 3.13 virtual environment and show vesk at work
#   make test   set up everything and run every test, Python and native
VENV   := .venv
PY     := $(VENV)/bin/python
NATIVE := build/native

.PHONY: demo test test-python test-native bench install venv native clean

# Token counts work offline from the shared o200k_base cache when it is there.
TOKENS := $(abspath ../shared/tokenizers/tiktoken-cache)

demo: install
	TIKTOKEN_CACHE_DIR=$(TOKENS) $(PY) -m vesk demo

test: test-python test-native

test-python: install
	$(PY) -m pytest -q

test-native: native
	ctest --test-dir $(NATIVE) --output-on-failure

bench: install native
	$(NATIVE)/bench_scan
	$(PY) bench/bench_loads.py
	$(PY) bench/bench_grid.py
	$(PY) bench/bench_dumps.py
	$(PY) bench/tokens.py

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml Makefile
	@python=$$(scripts/find-python) && $$python -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core pytest hypothesis orjson msgspec ujson pydantic \
		tiktoken mypy toon-format matplotlib
	touch $@

# Rebuilt incrementally in build/python; pip skips build isolation so the
# build tree survives between runs.
install: venv
	scripts/ensure-debs cmake g++ libfast-float-dev libdragonbox-dev
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/python .

native:
	scripts/ensure-debs cmake g++ libgtest-dev libsimde-dev libfast-float-dev libdragonbox-dev
	cmake -S . -B $(NATIVE) -DVESK_BUILD_PYTHON=OFF -DVESK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(NATIVE) -j2

clean:
	rm -rf build $(VENV)
