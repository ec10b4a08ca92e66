#!/usr/bin/env bash
# Fuzzes each target (all when none is named) until N inputs or SECONDS (0: no limit) against
# vesk_core built with libFuzzer coverage and a sanitizer (fuzz/README.md). Exits 1 on a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 [--runs N] [--time SECONDS] [--sanitizer ubsan|asan] [loads|dumps|format_hint]..."
runs=-1 seconds=0 sanitizer=ubsan targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --time) seconds=$2; shift 2 ;;
    --sanitizer) sanitizer=$2; shift 2 ;;
    loads|dumps|format_hint) targets+=("$1"); shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(loads dumps format_hint)
case "$sanitizer" in
  ubsan) flags="-fsanitize=undefined,fuzzer-no-link -fno-sanitize=vptr,function -fno-sanitize-recover=undefined" ;;
  asan) flags="-fsanitize=address,fuzzer-no-link" ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

out=build/fuzz stage=build/fuzz/stage-$sanitizer
scripts/ensure-debs cmake clang-19 libclang-rt-19-dev libfast-float-dev libdragonbox-dev
python=$(scripts/find-python)

# Atheris has a virtual environment of its own: .venv is reinstalled at will.
if ! $out/venv/bin/python -c 'import atheris' 2>/dev/null; then
  "$python" -m venv $out/venv
  $out/venv/bin/python -m pip install -q atheris==3.1.0
fi

# The module leaves out the sanitizer runtimes: atheris's preloaded
# <sanitizer>_with_fuzzer.so carries them, and libFuzzer takes its coverage.
cmake -S . -B $out/$sanitizer -DVESK_BUILD_PYTHON=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_CXX_FLAGS="$flags -g -fno-omit-frame-pointer" \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build $out/$sanitizer -j2 >$out/build-$sanitizer.log 2>&1 || { tail -n 30 $out/build-$sanitizer.log; exit 1; }
rm -rf $stage && mkdir -p $stage/vesk $out/crashes $out/logs
cp src/vesk/*.py $out/$sanitizer/vesk_core*.so $stage/vesk/
$out/venv/bin/python fuzz/seeds.py $out/seeds
preload=$($out/venv/bin/python -c 'import atheris; print(atheris.path())')/${sanitizer}_with_fuzzer.so

failed=()
for target in "${targets[@]}"; do
  mkdir -p $out/corpus/$target
  dict=()  # the tokens are of documents; the other targets read choices
  [ $target = loads ] && dict=(-dict=fuzz/vesk.dict)
  echo "== $target: $sanitizer, runs=$runs, time=${seconds}s"
  log=$out/logs/$target-$sanitizer.log
  LD_PRELOAD=$preload PYTHONPATH=$stage ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1 $out/venv/bin/python fuzz/fuzz_$target.py $out/corpus/$target \
    $out/seeds/$target "${dict[@]}" -max_len=4096 -timeout=20 -rss_limit_mb=4096 -runs=$runs \
    -max_total_time=$seconds -print_final_stats=1 -artifact_prefix=$out/crashes/$target- >$log 2>&1 ||
    failed+=("$target")
  grep -E "^#[0-9]+ +(DONE|INITED)|^stat::(number_of_executed_units|average_exec_per_sec)|^==|Mismatch|Error|artifact" \
    $log | tail -n 12 || true
done
[ ${#failed[@]} -eq 0 ] || { echo "failures in: ${failed[*]} (see $out/logs/ and $out/crashes/)" >&2; exit 1; }
