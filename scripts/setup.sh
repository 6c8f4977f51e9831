#!/usr/bin/env bash
# Sets up everything on a fresh machine (packages, build, a local suite state root)
# and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
bash scripts/main-job.sh
