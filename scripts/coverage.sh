#!/usr/bin/env bash
# Line coverage of the non-test code by the whole test suite.
#
# Builds everything but the benchmarks with gcc's --coverage (no
# optimisation, so each line counts where it is written) in build-cov/,
# runs every ctest test there, and prints gcovr's table per source file of
# the platform, the libraries, the tool and the operator command.  Tests,
# fuzz harnesses and benchmarks are left out of the table.  The last line is
# "lines: N%".  Counters are reset before each run, so the numbers are this
# run's alone.  The exit code is ctest's: a failing test fails the script,
# after the table is printed.
#
# Not part of ./test.sh: it is a tool for finding what no test reaches.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=build-cov
jobs="$(nproc)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWQ_BENCH=OFF \
      -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
      -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
      -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$jobs"

find "$build" -name '*.gcda' -delete
# Notes files of objects the build no longer makes (a source moved to
# another target, say) would be read as code no test runs, and gcovr
# refuses to merge them with the live ones.
ninja -C "$build" -t targets all | sed -n 's/^\(.*\.o\): .*/\1/p' | sort >"$build/objects.txt"
find "$build" -name '*.gcno' | sed "s|^$build/||; s|\.gcno\$|.o|" | sort |
  comm -23 - "$build/objects.txt" | sed "s|\.o\$|.gcno|; s|^|$build/|" | xargs -r rm -f
rc=0
(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 900) \
  >"$build/ctest.log" 2>&1 || rc=$?
tail -n 3 "$build/ctest.log"
if ((rc)); then
  grep -E '\(Failed|\(Timeout|\*\*\*' "$build/ctest.log" >&2 || true
  echo "some tests failed; full log in $build/ctest.log" >&2
fi

# Only the project's own objects are read (not CMake's compiler probes);
# filters are relative to the repository root (the current directory).
gcovr --root . -j"$jobs" \
      --exclude '(.*/)?tests/' --exclude 'fuzz/' --exclude 'bench/' \
      --txt "$build/coverage.txt" --json-summary "$build/coverage.json" \
      "$build"/{platform,wqs,wqhk,tool,cli}
cat "$build/coverage.txt"
/usr/bin/python3 -c 'import json,sys; print("lines: %.1f%%" % json.load(open(sys.argv[1]))["line_percent"])' \
  "$build/coverage.json"
exit "$rc"
