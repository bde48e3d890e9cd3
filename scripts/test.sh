#!/usr/bin/env bash
# Builds Tavrin and runs every test. TAVRIN_SANITIZE=1 builds and runs the
# AddressSanitizer + UndefinedBehaviorSanitizer variant in its own folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/install-deps.sh"
if [ "${TAVRIN_SANITIZE:-0}" = 1 ]; then
  build="$top/build-asan"; san=ON
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
else
  build="$top/build"; san=OFF
fi
jobs=$(nproc)
cmake -S "$top" -B "$build" -DTAVRIN_SANITIZE=$san -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" --timeout 600
