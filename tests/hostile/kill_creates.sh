#!/usr/bin/env bash
# The hostile run: kills snapshot creates at random moments on an XFS loop
# volume, round after round, then reports what they left behind.
#
#   tests/hostile/kill_creates.sh [-n ROUNDS] [-d MAX_MS] [-k KILLS] [ROUNDS]
#     -n ROUNDS  rounds (default 20; a bare number says the same)
#     -d MAX_MS  a delayed kill comes 0 .. MAX_MS ms after the create started
#                (default 500)
#     -k KILLS   which kills: "delay" (the create, after a random delay),
#                "freeze" (as the freeze tool starts: the create, the tool or
#                both, at random, within a few ms; see the tool below) or
#                "mixed" (default: the two by turns)
#   NUV_BUILD_DIR   build directory (default: build)
#
# Each round opens a job and runs examples/snapdemo (a SAP HANA create, which
# freezes its XFS volume) on the volume and kills as asked with SIGKILL. The
# freeze tool of the suite is a wrapper (the suite's substitution table) that
# runs the real one and, in a "freeze" round, kills as it starts. When every
# guard and freeze program of the round has ended (at most 30 s), the round
# looks whether the volume is still frozen (a frozen volume is thawed and
# counted). A last, undisturbed create must succeed. Then it reports:
#   frozen volumes        rounds after which the volume was still frozen
#   leaked copies         copies under snapshots/ without a ready snapshot row,
#                         and rows of snapshots that are not ready
#   leftover freezes      rows of the freezes table
#   catalogue integrity   SQLite's integrity check ("ok")
# and exits 0 only when all three counts are 0, the check says "ok" and the
# last create succeeded; 77 (skipped) where root, loop devices or XFS are
# missing; 2 on a usage error or an unbuilt tree.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROUNDS=20
MAX_MS=500
KILLS=mixed
usage() { echo "usage: kill_creates.sh [-n ROUNDS] [-d MAX_MS] [-k delay|freeze|mixed] [ROUNDS]" >&2; exit 2; }
while getopts "n:d:k:" option; do
  case $option in
    n) ROUNDS=$OPTARG ;;
    d) MAX_MS=$OPTARG ;;
    k) KILLS=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -le 1 ] || usage
[ $# -eq 0 ] || ROUNDS=$1
[[ $ROUNDS =~ ^[1-9][0-9]*$ && $MAX_MS =~ ^[0-9]+$ ]] || usage
case $KILLS in delay|freeze|mixed) ;; *) usage ;; esac
BUILD=${NUV_BUILD_DIR:-build}
BIN="$BUILD/out/bin"
JZ="$BIN/jzsuite"
for program in "$JZ" "$BIN/snapdemo"; do
  [ -x "$program" ] || { echo "kill_creates: $program is not built" >&2; exit 2; }
done
skip() { echo "kill_creates: skipped: $1" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (loop devices, mount, xfs_freeze)"
for tool in mkfs.xfs losetup xfs_freeze sqlite3 pgrep; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
FREEZE_TOOL=/usr/sbin/xfs_freeze
[ -x "$FREEZE_TOOL" ] || skip "$FREEZE_TOOL is not installed"

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
mkfs.xfs -q -m reflink=1 "$WORK/image" || skip "mkfs.xfs cannot make an XFS file system"
LOOP=$(losetup --find --show "$WORK/image" 2>/dev/null) || skip "no loop device"
mkdir -p "$MNT"
mount "$LOOP" "$MNT" || skip "cannot mount an XFS loop volume"
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

# The freeze tool of the suite: the real one, after the kill a "freeze" round
# asks for in $WORK/hook (once: the word is taken). "create": the create dies
# as its freeze tool starts, and the tool goes on 0-30 ms later; "tool": the
# tool dies once its freezing program has started (0-2 ms after); "both": the
# tool and the create then.
cat > "$WORK/freeze_tool" <<TOOL
#!/bin/bash
if [ "\$1" = -f ] && hook=\$(cat "$WORK/hook" 2>/dev/null) && rm -f "$WORK/hook" && [ -n "\$hook" ]; then
  create=\$(cat "$WORK/create.pid")
  case \$hook in
    create) kill -9 \$create; sleep \$(printf '0.%03d' \$((RANDOM % 31))) ;;
    tool|both)
      victims=\$\$; [ \$hook = both ] && victims="\$victims \$create"
      ( for i in \$(seq 1 500); do
          pgrep -x -P \$\$ xfs_io >/dev/null && break
          { read -r _ _ state _ < /proc/\$\$/stat; } 2>/dev/null || break
          [ "\$state" != Z ] || break
        done
        sleep \$(printf '0.%03d' \$((RANDOM % 3))); kill -9 \$victims ) >/dev/null 2>&1 & ;;
  esac
fi
exec $FREEZE_TOOL "\$@"
TOOL
chmod 755 "$WORK/freeze_tool"
"$JZ" declare substitution program="$FREEZE_TOOL" replacement="$WORK/freeze_tool" >/dev/null

new_job() { "$JZ" job new --app 1 | grep -o '[0-9]\+' | head -n 1; }
now_ms() { date +%s%3N; }

# Every guard and freeze program of the volume has ended (at most 30 s).
settle() {
  local i
  for i in $(seq 1 300); do
    pgrep -f "jzfreezeguard $MNT " >/dev/null || pgrep -f "xfs_io .*$MNT\$" >/dev/null || return 0
    sleep 0.1
  done
}

start=$(now_ms)
JZ_JOB_ID=$(new_job) "$BIN/snapdemo" --data "$MNT" --app 1 >/dev/null
echo "an undisturbed create takes $(( $(now_ms) - start )) ms; $ROUNDS rounds of kills ($KILLS, delays 0-$MAX_MS ms)"

frozen=0
hooks=(create tool both)
for round in $(seq 1 "$ROUNDS"); do
  kind=$KILLS
  [ "$kind" = mixed ] && { [ $((round % 2)) -eq 1 ] && kind=delay || kind=freeze; }
  rm -f "$WORK/hook"
  job=$(new_job)
  if [ "$kind" = freeze ]; then
    what=${hooks[RANDOM % 3]}
    echo "$what" > "$WORK/hook"
  fi
  JZ_JOB_ID=$job "$BIN/snapdemo" --data "$MNT" --app 1 >/dev/null 2>&1 &
  pid=$!
  echo "$pid" > "$WORK/create.pid"
  if [ "$kind" = delay ]; then
    delay=$(( RANDOM % (MAX_MS + 1) ))
    what="the create after ${delay} ms"
    sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    kill -9 "$pid" 2>/dev/null || true
  else
    what="$what as the freeze tool started"
  fi
  wait "$pid" 2>/dev/null || true
  rm -f "$WORK/hook"
  settle
  # A second freeze of a frozen file system is refused: that is the test.
  if "$FREEZE_TOOL" -f "$MNT" 2>/dev/null; then
    "$FREEZE_TOOL" -u "$MNT"
  else
    frozen=$((frozen + 1))
    echo "round $round (killed $what): the volume was left frozen" >&2
    "$FREEZE_TOOL" -u "$MNT" || true
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
