#!/usr/bin/env bash
# Snapshot create before and after a change beneath it. Builds the
# snapshot-create benchmark (release, no sanitizers) twice from the same
# benchmark source - once over an earlier commit's libraries, once over this
# worktree's - then runs the two programs in the same session, RUNS times each,
# the earlier one first in odd runs and second in even ones. Each run is the
# benchmark's own rounds (whole road and create call, median of 5 rounds after
# a warm-up); per case this prints, for each build, the median, min and max of
# the runs' medians, and the ratio current / earlier of the medians.
# Usage: bench/compare_snapshot_create.sh [EARLIER-COMMIT]
#   EARLIER-COMMIT   default 40e815b: the last commit before the one service-call
#                    step, the file operations' fault points and the layered build
#   RUNS             runs of each program (default 5)
#   NUV_BENCH_CASES  cases (default plain-10k, the case both builds have)
#   WORK             where the sources and builds go (default /tmp/nuv-bench-compare)
#   JOBS             build jobs (default 4)
#   REPO             the git repository that holds EARLIER-COMMIT (default: this tree)
# Ratios above 1.05 are marked SLOWER (the runs' spread on a quiet machine).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
repo=${REPO:-$here}
earlier=$(git -C "$repo" rev-parse --verify "${1:-40e815b}^{commit}")
runs=${RUNS:-5}
cases=${NUV_BENCH_CASES:-plain-10k}
work=${WORK:-/tmp/nuv-bench-compare}
jobs=${JOBS:-4}
mkdir -p "$work"

# The earlier tree (extracted once per commit), with this tree's benchmark source in its bench/.
if [ "$(cat "$work/earlier-src/.commit" 2>/dev/null)" != "$earlier" ]; then
  rm -rf "$work/earlier-src" "$work/earlier-build"
  mkdir -p "$work/earlier-src"
  git -C "$repo" archive "$earlier" | tar -x -C "$work/earlier-src"
  rm -f "$work/earlier-src"/bench/*.cpp
  echo "$earlier" > "$work/earlier-src/.commit"
fi
for f in snapshot_create.cpp bench_tree.h round_stats.h; do
  cmp -s "$here/bench/$f" "$work/earlier-src/bench/$f" || cp "$here/bench/$f" "$work/earlier-src/bench/"
done

build() {  # source dir, build dir
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DNUV_SANITIZE=OFF -DNUV_BUILD_TESTS=OFF \
        -DNUV_BUILD_BENCH=ON >/dev/null
  cmake --build "$2" --target bench_snapshot_create -j "$jobs" >/dev/null
}
echo "building the benchmark over $earlier and over $here (release)"
build "$work/earlier-src" "$work/earlier-build"
build "$here" "$work/current-build"
programs=("$work/earlier-build/out/bin/bench_snapshot_create" "$work/current-build/out/bin/bench_snapshot_create")
names=(earlier current)

results="$work/results.txt"
: > "$results"
for run in $(seq 1 "$runs"); do
  order=(0 1)
  [ $((run % 2)) -eq 0 ] && order=(1 0)
  for i in "${order[@]}"; do
    # A missed target makes the benchmark exit non-zero: the comparison goes on.
    NUV_BENCH_CASES=$cases "${programs[$i]}" > "$work/run.out" ||
      echo "run $run ${names[$i]}: exit status $? (a target missed, or the run failed)"
    # snapshot_create[<case>]: whole road snapshot W ms (...), of it the create call C ms (...)
    sed -n 's/^snapshot_create\[\([^]]*\)\]: whole road snapshot \([0-9.]*\) ms.*create call \([0-9.]*\) ms.*/\1 \2 \3/p' \
      "$work/run.out" | while read -r label whole create; do
        echo "${names[$i]} $label $whole $create" >> "$results"
        echo "run $run ${names[$i]} $label: whole road $whole ms, create call $create ms"
      done
  done
done

# Median (middle of the sorted values), min and max of a column of numbers.
stats() { sort -g | awk '{v[NR] = $1} END {printf "%.1f ms (min %.1f, max %.1f)", v[int((NR + 1) / 2)], v[1], v[NR]}'; }
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
for label in $(awk '{print $2}' "$results" | sort -u); do
  for column in 3 4; do
    what=$([ "$column" = 3 ] && echo "whole road" || echo "create call")
    for name in "${names[@]}"; do
      echo "$label $what, $name: $(awk -v n="$name" -v l="$label" -v c="$column" '$1 == n && $2 == l {print $c}' "$results" | stats)"
    done
    e=$(awk -v l="$label" -v c="$column" '$1 == "earlier" && $2 == l {print $c}' "$results" | median)
    c=$(awk -v l="$label" -v c="$column" '$1 == "current" && $2 == l {print $c}' "$results" | median)
    awk -v e="$e" -v c="$c" -v l="$label" -v w="$what" \
      'BEGIN {printf "%s %s: current / earlier %.3f (%s)\n", l, w, c / e, c <= e * 1.05 ? "no slower" : "SLOWER"}'
  done
done
