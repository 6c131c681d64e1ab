#!/usr/bin/env bash
# Installs any missing Debian build packages, builds everything with CMake
# and Ninja, and runs every test with ctest, then builds and runs the tests a
# second time under the address and undefined-behaviour sanitizers
# (WQ_SANITIZE=0 skips that second build for a quick local run), then
# builds the fuzz targets with clang and runs each for WQ_FUZZ_SECONDS
# (default 40) from its seed corpus in fuzz/corpus (WQ_FUZZ=0 skips them).
# Any crash, sanitizer report, leak or hang fails the script; the input
# that caused it is kept in build-fuzz/artifacts/<target>/.
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

if [[ "${WQ_FUZZ:-1}" == "1" ]]; then
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DWQ_FUZZ=ON -DWQ_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets
  for t in fuzz_text_list fuzz_formula fuzz_msg_open; do
    # New inputs go to a scratch corpus; the committed seeds are only read.
    rm -rf "build-fuzz/corpus/$t"
    mkdir -p "build-fuzz/corpus/$t" "build-fuzz/artifacts/$t"
    if ! "build-fuzz/bin/$t" -max_total_time="${WQ_FUZZ_SECONDS:-40}" \
           -timeout=25 -print_final_stats=1 \
           -artifact_prefix="build-fuzz/artifacts/$t/" \
           "build-fuzz/corpus/$t" "fuzz/corpus/$t" >"build-fuzz/$t.log" 2>&1
    then
      tail -n 80 "build-fuzz/$t.log"
      echo "$t failed; the input is in build-fuzz/artifacts/$t/" >&2
      exit 1
    fi
    echo "$t: $(grep -o 'number_of_executed_units: [0-9]*' "build-fuzz/$t.log")"
  done
fi
