#!/usr/bin/env bash
# Installs any missing Debian build packages, builds everything with CMake
# and Ninja, and runs every test with ctest, then builds and runs the tests a
# second time under the address and undefined-behaviour sanitizers
# (WQ_SANITIZE=0 skips that second build for a quick local run).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600)

if [[ "${WQ_SANITIZE:-1}" == "1" ]]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWQ_SANITIZE=ON \
        -DWQ_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$(nproc)"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 \
     ctest --output-on-failure -j"$(nproc)" --timeout 900)
fi
