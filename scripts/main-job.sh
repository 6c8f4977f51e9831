#!/usr/bin/env bash
# The main job: see README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "built: $(ls build/out/lib)"
