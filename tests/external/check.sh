#!/usr/bin/env bash
# Installs the build into a temporary prefix, then configures, builds and runs
# an outside CMake project against it. Usage: check.sh <build-dir> <source-dir>
set -euo pipefail
build=$1; src=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
extra=()
if grep -q 'NUV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  extra=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined)
fi
cmake -S "$src/tests/external" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" "${extra[@]}" >/dev/null
cmake --build "$work/build" >/dev/null
export JZ_SUITE_ROOT="$work/root"
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}" "$work/build/consumer"
