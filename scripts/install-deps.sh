#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. Safe to run again.
set -euo pipefail
PKGS=(build-essential cmake libboost-dev libsqlite3-dev sqlite3 libpugixml-dev libtirpc-dev rpcsvc-proto
      libgtest-dev libgmock-dev libbenchmark-dev xfsprogs btrfs-progs util-linux
      pkg-config postgresql libpq-dev 7zip acl attr)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
