#!/usr/bin/env bash
# The hostile run: kills snapshot creates at random moments on an XFS loop
# volume, N times, then reports what they left behind.
#
#   tests/hostile/kill_creates.sh [N]        (as root; default N = 20)
#   NUV_BUILD_DIR   build directory (default: build)
#
# Each round opens a job and runs examples/snapdemo (a SAP HANA create, which
# freezes its XFS volume) on the volume, kills it with SIGKILL after a random
# delay within the length of an undisturbed create, waits one second and looks
# whether the volume is still frozen (a frozen volume is thawed and counted).
# A last, undisturbed create must succeed. Then it reports:
#   frozen volumes        rounds after which the volume was still frozen
#   leaked copies         copies under snapshots/ without a ready snapshot row,
#                         and rows of snapshots that are not ready
#   leftover freezes      rows of the freezes table
#   catalogue integrity   SQLite's integrity check ("ok")
# and exits 0 only when all three counts are 0 and the check says "ok".
set -euo pipefail
cd "$(dirname "$0")/../.."
ROUNDS=${1:-20}
BUILD=${NUV_BUILD_DIR:-build}
BIN="$BUILD/out/bin"
JZ="$BIN/jzsuite"
for program in "$JZ" "$BIN/snapdemo"; do
  [ -x "$program" ] || { echo "kill_creates: $program is not built" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "kill_creates: needs root (loop devices, mount, xfs_freeze)" >&2; exit 2; }
for tool in mkfs.xfs losetup xfs_freeze sqlite3; do
  command -v "$tool" >/dev/null || { echo "kill_creates: $tool is not installed" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/nuv-hostile-XXXXXX)
MNT="$WORK/mnt"
LOOP=""
cleanup() {
  xfs_freeze -u "$MNT" >/dev/null 2>&1 || true
  mountpoint -q "$MNT" && umount -l "$MNT" || true
  [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The volume, and the state root on another file system beside it.
truncate -s 512M "$WORK/image"
mkfs.xfs -q -m reflink=1 "$WORK/image"
LOOP=$(losetup --find --show "$WORK/image")
mkdir -p "$MNT"
mount "$LOOP" "$MNT"
for d in 0 1 2 3 4 5 6 7; do
  mkdir -p "$MNT/tables$d"
  for f in $(seq 1 250); do head -c $(( (f % 16 + 1) * 4096 )) /dev/zero > "$MNT/tables$d/t$f.dat"; done
done

export JZ_SUITE_ROOT="$WORK/state"
export JZREG="$JZ_SUITE_ROOT/registry"
"$JZ" init >/dev/null
"$JZ" set Base sClientName hostileclient
"$JZ" declare client id=1 name=hostileclient >/dev/null
"$JZ" declare subclient id=1 name=default >/dev/null
"$JZ" declare application id=1 client_id=1 app_type=135 subclient_id=1 >/dev/null
"$JZ" declare volume path="$MNT" device="$LOOP" fstype=xfs options=rw >/dev/null

new_job() { "$JZ" job new --app 1 | grep -o '[0-9]\+' | head -n 1; }
now_ms() { date +%s%3N; }

# The length of an undisturbed create sets the range of the random delays.
start=$(now_ms)
JZ_JOB_ID=$(new_job) "$BIN/snapdemo" --data "$MNT" --app 1 >/dev/null
span=$(( $(now_ms) - start ))
echo "an undisturbed create takes ${span} ms; killing $ROUNDS creates within that time"

frozen=0
for round in $(seq 1 "$ROUNDS"); do
  JZ_JOB_ID=$(new_job) "$BIN/snapdemo" --data "$MNT" --app 1 >/dev/null 2>&1 &
  pid=$!
  delay=$(( RANDOM % (span + 1) ))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  sleep 1
  # A second freeze of a frozen file system is refused: that is the test.
  if xfs_freeze -f "$MNT" 2>/dev/null; then
    xfs_freeze -u "$MNT"
  else
    frozen=$((frozen + 1))
    echo "round $round (killed after ${delay} ms): the volume was left frozen" >&2
    xfs_freeze -u "$MNT" || true
  fi
done

# A last create sweeps what the killed ones left, and must succeed.
if ! JZ_JOB_ID=$(new_job) "$BIN/snapdemo" --data "$MNT" --app 1 >/dev/null 2>"$WORK/last.err"; then
  echo "the create after the kills failed:" >&2
  cat "$WORK/last.err" >&2
  last="failed"
else
  last="ok"
fi

CAT="$JZ_SUITE_ROOT/catalogue.db"
ready_ids=$(sqlite3 "$CAT" "SELECT id FROM sm_snapshots WHERE state = 'ready'")
leaked=0
for copy in "$JZ_SUITE_ROOT"/snapshots/* "$JZ_SUITE_ROOT"/snapshots/.partial-*; do
  [ -e "$copy" ] || continue
  name=$(basename "$copy")
  if ! grep -qx "$name" <<<"$ready_ids"; then leaked=$((leaked + 1)); echo "leaked copy: $copy" >&2; fi
done
unready=$(sqlite3 "$CAT" "SELECT COUNT(*) FROM sm_snapshots WHERE state != 'ready'")
leaked=$((leaked + unready))
freezes=$(sqlite3 "$CAT" "SELECT COUNT(*) FROM freezes")
integrity=$(sqlite3 "$CAT" "PRAGMA integrity_check")

echo "rounds: $ROUNDS"
echo "frozen volumes: $frozen"
echo "leaked copies: $leaked (rows not ready: $unready)"
echo "leftover freezes: $freezes"
echo "catalogue integrity: $integrity"
echo "create after the kills: $last"
[ "$frozen" -eq 0 ] && [ "$leaked" -eq 0 ] && [ "$freezes" -eq 0 ] && [ "$integrity" = "ok" ] && [ "$last" = "ok" ]
