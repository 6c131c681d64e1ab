#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
set -euo pipefail
pkgs=(g++ cmake ninja-build pkg-config libsqlite3-dev sqlite3 libgtest-dev
      libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libfmt-dev
      clang libclang-rt-14-dev  # clang and libFuzzer's runtime: fuzz/
      gcovr                     # line coverage: scripts/coverage.sh
      libcpp-httplib-dev        # HTTP for wqadmin serve
      chromium)                 # the dashboard's browser test (headless)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
