#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs them all, in parallel,
# each for the given seconds (default 60) on its seed corpus in fuzz/corpus/.
# New inputs the fuzzer finds stay in build-fuzz/corpus/; a crash, leak,
# time-out or failed property leaves its input in build-fuzz/findings/ and
# fails the script. Fix the fault, then copy the input into the target's
# seed folder so that every later test run meets it.
# TAVRIN_FUZZ_SEED fixes libFuzzer's random seed (CI sets it, so that a run
# explores the same inputs each time and a finding comes back the same way).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build-fuzz"
bash "$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTAVRIN_FUZZ=ON -DBUILD_TESTING=OFF -DTAVRIN_BENCH=OFF >/dev/null
mapfile -t targets < <(cd "$top/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')
jobs=${TAVRIN_JOBS:-$(nproc)}
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/findings" "$build/logs"
run_one() {
  local t=$1 dict=() seed=() work="$build/corpus/$1"
  mkdir -p "$work"
  case $t in
    smtp_*) dict=(-dict="$top/fuzz/smtp.dict") ;;
    pop3_*) dict=(-dict="$top/fuzz/pop3.dict") ;;
  esac
  [ -n "${TAVRIN_FUZZ_SEED:-}" ] && seed=(-seed="$TAVRIN_FUZZ_SEED")
  if "$build/fuzz/$t" "${dict[@]}" "${seed[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
       "$work" "$top/fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1; then
    echo "$t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$t.log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "$t: FINDING, see $build/logs/$t.log and $build/findings/"
    grep -a -m3 -E 'ERROR:|property failed|SUMMARY' "$build/logs/$t.log" | sed "s/^/  $t: /"
    return 1
  fi
}
export -f run_one
export build top seconds
# Every target at once, but never more at a time than there are cores
# (or TAVRIN_JOBS).
status=0
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}' | tee "$build/logs/summary.txt" || status=1
found=$(grep -c ': FINDING' "$build/logs/summary.txt" || true)
echo "fuzz: $(( ${#targets[@]} - found )) passed, $found failed"
exit $status
