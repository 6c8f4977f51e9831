#!/usr/bin/env bash
# The main job: over a fresh state root of the local suite, a throw-away
# PostgreSQL cluster (run as the postgres user when this runs as root) with WAL
# archiving into the state root; N rows are loaded, the sample agent runs its
# snap-backup job through the job driver (hot: pg_backup_start / pg_backup_stop),
# M more rows are inserted, and then a second server, started on a copy of the
# snapshot with the saved backup label and recovering from the archive only
# until the backup is consistent, counts the rows: N, not N + M. Then the job,
# its archive file, its snapshot and its index run as jzsuite shows them. Then
# the snapshot is restored: one table's files in part, the whole data
# directory in 4 streams, and the whole data directory in full to a new
# directory, on which a server started the same way counts the rows: N.
# Last, the jobs as jzsuite lists them: each restore job ended, with its counts.
# On every road out the servers stop and the XFS loop volume (with the job's
# snapshots) is taken down, unless NUV_KEEP_VOLUME=1.
#   NUV_PREFIX      run the programs of an install (cmake --install ... --prefix P)
#                   instead of the build tree
#   NUV_BUILD_DIR   build directory (default: build; unused with NUV_PREFIX)
#   NUV_KEEP_VOLUME 1: leave the volume, its snapshots and the servers' data for a look
#   NUV_INDEX_GENERATION  1 or 2: the index generation of the application (default 1)
#   JZ_SUITE_ROOT   state root to use (default: a new one under /tmp)
#   ROWS, MORE_ROWS N and M (default 1000 and 250)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${NUV_PREFIX:-}" ]; then
  BIN="$NUV_PREFIX/bin"
  MISSING="is not installed (cmake --install <build> --prefix $NUV_PREFIX)"
else
  BUILD=${NUV_BUILD_DIR:-build}
  BIN="$BUILD/out/bin"
  MISSING="is not built (cmake --build $BUILD)"
fi
JZ="$BIN/jzsuite"
for program in "$JZ" "$BIN/pgsnapagent" "$BIN/pgcluster" "$BIN/pgsnaprestore"; do
  [ -x "$program" ] || { echo "main-job: $program $MISSING" >&2; exit 1; }
done
ROWS=${ROWS:-1000}
MORE_ROWS=${MORE_ROWS:-250}

# A work folder under /tmp is made only for what needs one: the state root when
# none is given, the plain data directory when no loop volume can be made.
WORK=""
make_work() {
  WORK=$(mktemp -d /tmp/nuv-main-job-XXXXXX)
  chmod 755 "$WORK"   # the server's user walks into the state root
}
if [ -z "${JZ_SUITE_ROOT:-}" ]; then
  make_work
  JZ_SUITE_ROOT=$WORK/state
fi
export JZ_SUITE_ROOT
export JZREG="$JZ_SUITE_ROOT/registry"
PG="$JZ_SUITE_ROOT/pgsample"
SOCK="$PG/run"
ARCHIVE="$PG/wal-archive"
PORT=${PGSAMPLE_PORT:-$((20000 + RANDOM % 20000))}
RESTORE_PORT=$((PORT + 1))
cluster() { "$BIN/pgcluster" "$@"; }
DATA=""
JOB=""
LOOP_VOLUME=""
# Every road out: the server stops; then, unless kept, the job's snapshots and
# the loop volume go (the volume cannot go while the catalogue holds snapshots of it).
clean_up() {
  local rc=$?
  if [ -n "$DATA" ]; then
    cluster stop --data "$DATA" --socket "$SOCK" --port "$PORT" --log "$PG/log/server.log" >/dev/null 2>&1 || true
  fi
  if [ -n "$LOOP_VOLUME" ]; then
    if [ "${NUV_KEEP_VOLUME:-0}" = 1 ]; then
      echo "kept: volume $LOOP_VOLUME and the job's snapshots (jzsuite volume remove $LOOP_VOLUME takes it down)"
    else
      [ -z "$JOB" ] || cluster drop-snapshots --job "$JOB" || rc=1
      "$JZ" volume remove "$LOOP_VOLUME" || { echo "main-job: volume $LOOP_VOLUME is left" >&2; rc=1; }
    fi
  fi
  exit $rc
}
trap clean_up EXIT
trap 'exit 130' INT TERM

echo "== state root $JZ_SUITE_ROOT"
# init links the block-level library and the helper programs into the base home.
"$JZ" init
chmod 755 "$JZ_SUITE_ROOT"
[ -e "$JZ_SUITE_ROOT/basehome/libJzBlkLvl.so" ] || { echo "main-job: init left no block-level library" >&2; exit 1; }
[ -e "$JZ_SUITE_ROOT/basehome/Brisvolk.exe" ] || { echo "main-job: init left no file-restore program" >&2; exit 1; }

# The database's volume: an XFS loop volume that the suite makes where the
# machine allows it (its snapshot is then a block clone taken while the engine
# has it frozen), else a plain directory beside the state root.
if VOLUME=$("$JZ" volume create pgdata --size 1G --fs xfs 2>/dev/null); then
  LOOP_VOLUME=pgdata
  echo "data volume: $VOLUME (XFS on a loop device, made by the suite)"
else
  [ -n "$WORK" ] || make_work
  VOLUME="$WORK/pgvolume"   # outside the state root: a volume may not lie inside it
  mkdir -p "$VOLUME"
  echo "data volume: $VOLUME (a plain directory: no loop volume on this machine)"
  "$JZ" declare volume path="$VOLUME" device=pgsample fstype=ext4 options=rw
fi
chmod 755 "$VOLUME"
DATA="$VOLUME/data"
echo "== PostgreSQL cluster in $DATA (port $PORT)"
cluster init --data "$DATA" --socket "$SOCK" --port "$PORT" --log "$PG/log/server.log" --archive "$ARCHIVE"
cluster start --data "$DATA" --socket "$SOCK" --port "$PORT" --log "$PG/log/server.log"
cluster sql --socket "$SOCK" --port "$PORT" \
  "CREATE TABLE sample_rows (id integer PRIMARY KEY, payload text NOT NULL)"
cluster sql --socket "$SOCK" --port "$PORT" \
  "INSERT INTO sample_rows SELECT g, md5(g::text) FROM generate_series(1, $ROWS) g"
echo "loaded $ROWS rows"

"$JZ" set Base sClientName sampleclient
"$JZ" declare client id=1 name=sampleclient
"$JZ" declare instance id=1 client_id=1 name=pgsample app_type=125
"$JZ" declare subclient id=1 name=default snap_engine=2
"$JZ" declare application id=1 client_id=1 app_type=125 instance_id=1 subclient_id=1
if [ "${NUV_INDEX_GENERATION:-1}" = 2 ]; then
  "$JZ" declare indexgen brannox_id=2 app_id=1 v2=1
fi
JOB=$("$JZ" job new --app 1 | grep -o '[0-9]\+' | head -n 1)

echo "== readiness check of the database user (the event manager asks the agent)"
DBUSER=$(if [ "$(id -u)" = 0 ]; then echo postgres; else id -un; fi)
cp "$BIN/pgsnapagent" "$JZ_SUITE_ROOT/basehome/"
GROUP=$(id -gn "$DBUSER")   # the suite is installed under the database user's group
"$JZ" set Base sDrevoxGroup "$GROUP"
for dir in temp logs registry; do chgrp "$GROUP" "$JZ_SUITE_ROOT/$dir" && chmod g+rwx "$JZ_SUITE_ROOT/$dir"; done
"$JZ" readiness pgsnapagent --instance pgsample --user "$DBUSER"

echo "== snap backup (job $JOB)"
"$BIN/pgsnapagent" -j "$JOB" -a "2:1" -t 1 -d sampleclient -pgsock "$SOCK" -pgport "$PORT"

cluster sql --socket "$SOCK" --port "$PORT" \
  "INSERT INTO sample_rows SELECT g, md5(g::text) FROM generate_series($ROWS + 1, $ROWS + $MORE_ROWS) g"
cluster sql --socket "$SOCK" --port "$PORT" "SELECT pg_switch_wal()" >/dev/null
echo "inserted $MORE_ROWS rows after the snapshot"

TABLE_FILE=$(cluster sql --socket "$SOCK" --port "$PORT" "SELECT pg_relation_filepath('sample_rows')")

echo "== restorability: a second server on a copy of the snapshot (port $RESTORE_PORT)"
cluster restore --job "$JOB" --source-data "$DATA" \
  --labels "$JZ_SUITE_ROOT/jobresults/JZ_JobResults/2/0/$JOB" --archive "$ARCHIVE" \
  --data "$PG/restored/data" --socket "$PG/restored/run" --port "$RESTORE_PORT" \
  --log "$PG/log/restored.log" --count sample_rows

echo "== jzsuite job show $JOB (the job, its events and pending causes)"
"$JZ" job show "$JOB" | sed -n '1,/^afile:/p' | sed '$d'
for kind in afile snapshot indexrun; do
  echo "== jzsuite list $kind --job $JOB"
  "$JZ" list "$kind" --job "$JOB"
done
restore_job() { "$JZ" job new --app 1 | grep -o '[0-9]\+' | head -n 1; }
RJOB=$(restore_job)
echo "== partial restore of the table's file $TABLE_FILE (restore job $RJOB)"
"$BIN/pgsnaprestore" partial -j "$RJOB" -snapjob "$JOB" -data "$DATA" -to "$PG/restored-table" -file "$TABLE_FILE"
RJOB=$(restore_job)
echo "== restore of the data directory in 4 streams (restore job $RJOB)"
"$BIN/pgsnaprestore" streams -streams 4 -j "$RJOB" -snapjob "$JOB" -data "$DATA" -to "$PG/restored-streams"
cmp "$PG/restored-table/$TABLE_FILE" "$PG/restored-streams/$TABLE_FILE"
echo "the table's file restored in part equals the one restored in 4 streams"
echo "== full restore to a new directory, and a server on it (port $RESTORE_PORT)"
RJOB=$(restore_job)
echo "restore job $RJOB"
"$BIN/pgsnaprestore" full -j "$RJOB" -snapjob "$JOB" -data "$DATA" -to "$PG/restored-full/files"
cluster restore --from "$PG/restored-full/files" \
  --labels "$JZ_SUITE_ROOT/jobresults/JZ_JobResults/2/0/$JOB" --archive "$ARCHIVE" \
  --data "$PG/restored-full/data" --socket "$PG/restored-full/run" --port "$RESTORE_PORT" \
  --log "$PG/log/restored-full.log" --count sample_rows
echo "== jzsuite list job (the restore jobs ended, with the files and bytes each restored)"
"$JZ" list job
echo "state root: $JZ_SUITE_ROOT"
