#!/usr/bin/env bash
# Installs the build into a temporary prefix, then checks the installed tree:
# every installed program and library finds its libraries with no
# LD_LIBRARY_PATH; the admin command, run with a clean environment, makes a
# state root and fills its base home from the install; an outside CMake project
# configures, builds and runs against the package.
# Usage: check.sh <build-dir> <source-dir> <library dir of the install, relative>
set -euo pipefail
build=$1; src=$2; libdir=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "ExternalConsumer: $*" >&2; exit 1; }

# The installed tree holds the programs and plug-ins the suite needs.
basehome="$prefix/$libdir/nuvdbsnap/basehome"
for f in bin/jzsuite bin/pgsnapagent bin/pgcluster bin/snapdemo \
         "$libdir/libJZSnapHandler.so" "$libdir/libJzReplicationEngine.so" "$libdir/nuvdbsnap/jzfreezeguard" \
         "${basehome#"$prefix/"}/libJzBlkLvl.so" "${basehome#"$prefix/"}/NuvSnapUtil" \
         "${basehome#"$prefix/"}/archiveIndex" "${basehome#"$prefix/"}/indexRestore"; do
  [ -f "$prefix/$f" ] || fail "the install lacks $f"
done
# Every installed ELF file resolves its libraries by its own run path.
while IFS= read -r -d '' f; do
  head -c 4 "$f" | grep -q 'ELF' || continue
  missing=$(env -i /usr/bin/ldd "$f" 2>&1 | grep 'not found' || true)
  [ -z "$missing" ] || fail "${f#"$prefix/"} misses libraries with a clean environment: $missing"
done < <(find "$prefix" -type f \( -perm -u+x -o -name '*.so*' \) -print0)

# The admin command with a clean environment: init, a declaration, a listing,
# and the block-level library (with the helper programs) in the base home.
root="$work/root"
[ "$(env -i "$prefix/bin/jzsuite" init --root "$root")" = "$root" ] || fail "jzsuite init did not report $root"
env -i JZ_SUITE_ROOT="$root" "$prefix/bin/jzsuite" declare client id=1 name=outside >/dev/null
env -i JZ_SUITE_ROOT="$root" "$prefix/bin/jzsuite" list client | grep -q outside || fail "jzsuite list lacks the client"
for f in libJzBlkLvl.so NuvSnapUtil archiveIndex indexRestore; do
  [ -e "$root/basehome/$f" ] || fail "the base home lacks $f"
  [ "$(realpath "$root/basehome/$f")" = "$(realpath "$basehome/$f")" ] || fail "basehome/$f is not the installed one"
done

extra=()
if grep -q 'NUV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  extra=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined)
fi
cmake -S "$src/tests/external" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" "${extra[@]}" >/dev/null
cmake --build "$work/build" >/dev/null
export JZ_SUITE_ROOT="$work/consumer-root"
LD_LIBRARY_PATH="$prefix/$libdir:${LD_LIBRARY_PATH:-}" "$work/build/consumer"
