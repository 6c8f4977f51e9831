#!/usr/bin/env bash
# The SAP HANA door example: over a fresh state root of the local suite, declares a sample
# client, SAP HANA application and data volume, opens a job, and snapshots the
# data directory through the exported snapshot entry points (examples/snapdemo:
# one process prepares, a second one creates through the five entry points).
# Then lists the snapshot with jzsuite and says how it was made.
# Where the machine allows it (root, loop devices), the data lies on an XFS
# loop volume that the suite makes (`jzsuite volume create`): its snapshot is a
# block clone of the volume's image taken while the engine has it frozen.
# Otherwise the data lies in a plain directory and the snapshot is a copy.
#   NUV_BUILD_DIR   build directory (default: build)
#   JZ_SUITE_ROOT   state root to use (default: a new one under /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${NUV_BUILD_DIR:-build}
BIN="$BUILD/out/bin"
JZ="$BIN/jzsuite"
for program in "$JZ" "$BIN/snapdemo"; do
  [ -x "$program" ] || { echo "door-job: $program is not built (cmake --build $BUILD)" >&2; exit 1; }
done

# A work folder under /tmp is made only for what needs one: the state root when
# none is given, the plain data directory when no loop volume can be made.
WORK=""
make_work() { WORK=$(mktemp -d /tmp/nuv-door-job-XXXXXX); }
if [ -z "${JZ_SUITE_ROOT:-}" ]; then
  make_work
  JZ_SUITE_ROOT=$WORK/state
fi
export JZ_SUITE_ROOT
export JZREG="$JZ_SUITE_ROOT/registry"

echo "== state root"
"$JZ" init
if DATA=$("$JZ" volume create data --size 1G --fs xfs); then
  echo "data volume: $DATA (XFS on a loop device, made by the suite)"
else
  [ -n "$WORK" ] || make_work
  DATA="$WORK/data"   # outside the state root: a volume may not lie inside it
  mkdir -p "$DATA"
  echo "data volume: $DATA (a plain directory: no loop volume on this machine)"
  "$JZ" declare volume path="$DATA" device=sampledata fstype=ext4 options=rw
fi
mkdir -p "$DATA/tables"
printf 'customers 1200 rows\n' > "$DATA/tables/customers.dat"
printf 'orders 5400 rows\n' > "$DATA/tables/orders.dat"
printf 'redo log\n' > "$DATA/redo.log"
# `jzsuite init` linked the block-level library, the snapshot helper and the
# index programs into the base home directory of the suite.
"$JZ" set Base sClientName sampleclient
"$JZ" declare client id=1 name=sampleclient
"$JZ" declare subclient id=1 name=default
"$JZ" declare application id=1 client_id=1 app_type=135 subclient_id=1
JOB=$("$JZ" job new --app 1 | grep -o '[0-9]\+' | head -n 1)
export JZ_JOB_ID=$JOB

echo "== snapshot of $DATA (job $JOB)"
"$BIN/snapdemo" --data "$DATA" --app 1

echo "== jzsuite list snapshot --job $JOB"
"$JZ" list snapshot --job "$JOB"
METHOD=$("$JZ" list snapshot --job "$JOB" |
         awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "method") c = i; next } c { m = $c } END { print m }')
echo "snapshot method: $METHOD"
echo "state root: $JZ_SUITE_ROOT"
