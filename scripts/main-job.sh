#!/usr/bin/env bash
# The main job: over a fresh state root of the local suite, declares a sample
# client, SAP HANA application and data volume, opens a job, and snapshots the
# data directory through the exported snapshot entry points (examples/snapdemo:
# one process prepares, a second one creates through the five entry points).
# Then lists the snapshot with jzsuite.
#   NUV_BUILD_DIR   build directory (default: build)
#   JZ_SUITE_ROOT   state root to use (default: a new one under /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${NUV_BUILD_DIR:-build}
BIN="$BUILD/out/bin"
JZ="$BIN/jzsuite"
for program in "$JZ" "$BIN/snapdemo"; do
  [ -x "$program" ] || { echo "main-job: $program is not built (cmake --build $BUILD)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/nuv-main-job-XXXXXX)
export JZ_SUITE_ROOT=${JZ_SUITE_ROOT:-$WORK/state}
export JZREG="$JZ_SUITE_ROOT/registry"
DATA="$WORK/data"
mkdir -p "$DATA/tables"
printf 'customers 1200 rows\n' > "$DATA/tables/customers.dat"
printf 'orders 5400 rows\n' > "$DATA/tables/orders.dat"
printf 'redo log\n' > "$DATA/redo.log"

echo "== state root"
"$JZ" init
# The block-level library, the snapshot helper and the index programs are installed in the base home directory of the suite.
cp "$BUILD/out/lib/blocklevel/libJzBlkLvl.so" "$JZ_SUITE_ROOT/basehome/"
cp "$BUILD/out/bin/NuvSnapUtil" "$JZ_SUITE_ROOT/basehome/"
cp "$BUILD/out/bin/basehome/archiveIndex" "$BUILD/out/bin/basehome/indexRestore" "$JZ_SUITE_ROOT/basehome/"
"$JZ" set Base sClientName sampleclient
"$JZ" declare client id=1 name=sampleclient
"$JZ" declare subclient id=1 name=default
"$JZ" declare application id=1 client_id=1 app_type=135 subclient_id=1
"$JZ" declare volume path="$DATA" device=sampledata fstype=ext4 options=rw
JOB=$("$JZ" job new --app 1 | grep -o '[0-9]\+' | head -n 1)
export JZ_JOB_ID=$JOB

echo "== snapshot of $DATA (job $JOB)"
"$BIN/snapdemo" --data "$DATA" --app 1

echo "== jzsuite list snapshot --job $JOB"
"$JZ" list snapshot --job "$JOB"
echo "state root: $JZ_SUITE_ROOT"
