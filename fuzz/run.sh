#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ (clang++, libFuzzer, ASan + UBSan) and
# runs each for FUZZ_SECONDS seconds (default 60) from its seeds in
# fuzz/corpus/<target>/. Any finding fails the run: a crash, a sanitizer
# report, a leak, an uncaught exception, an input taking over 1 s, or more
# than 2 GiB of memory. The reproducer lands in <build>/findings/<target>/;
# replay it with <build>/<target>_fuzzer <file>.
# Usage: fuzz/run.sh [target ...]   (default: every target built)
# Environment: FUZZ_SECONDS, FUZZ_BUILD (default build-fuzz), JOBS (2).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
cmake --build "$build" -j "$jobs" || exit 1

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$build"/*_fuzzer; do targets+=("$(basename "$f" _fuzzer)"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
summary=()
for t in "${targets[@]}"; do
  exe="$build/${t}_fuzzer"
  [ -x "$exe" ] || { echo "run.sh: no target $t" >&2; failed+=("$t"); continue; }
  corpus="$build/corpus/$t"   # grows; the seeds in the repo stay as they are
  findings="$build/findings/$t"
  log="$build/logs/$t.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  seeds=()
  [ -d "$here/corpus/$t" ] && seeds=("$here/corpus/$t")
  dict="$here/$t.dict"
  [ -f "$dict" ] || dict="$here/numbers.dict"
  echo "== $t: ${seconds} s"
  "$exe" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
    -max_len=4096 -dict="$dict" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  line=$(printf '%-12s %10s execs  cov %6s' "$t" "${execs:-?}" "${cov:-?}")
  if [ $rc -ne 0 ]; then
    failed+=("$t")
    line="$line  FINDING (exit $rc, log $log)"
    grep -E 'ERROR|SUMMARY|fuzz invariant|runtime error|Test unit written' \
      "$log" | head -20
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
