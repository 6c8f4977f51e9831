#!/usr/bin/env bash
# Builds the project under AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=${NUV_TEST_BUILD_DIR:-build-test}
JOBS=$(nproc)
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DNUV_SANITIZE=ON -DNUV_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$BUILD"
ctest --output-on-failure -j "$JOBS" --timeout 600
