#!/bin/sh
# A newcomer's set-up: the project configures without GoogleTest, saying
# that the unit tests are left out, and `make run` builds only what it runs
# (vantle-sim, the example program and the QEMU plugin), then runs it.
# Usage: setup_check.sh <source dir>
set -eu
src=$1
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$build/configure.log"
grep -q "GoogleTest not found: the unit tests are not built" \
  "$build/configure.log"
make -C "$src" run BUILD="$build" JOBS=2 >"$build/run.log" 2>&1 ||
  { tail -20 "$build/run.log"; exit 1; }
[ "$(grep -c 'end of simulation' "$build/run.log")" -eq 2 ] ||
  { tail -20 "$build/run.log"; exit 1; }
built=$(ls "$build" | grep -E '^(test_|bench_|c_api_check)' || true)
[ -z "$built" ] || { echo "make run built more than it runs: $built"; exit 1; }
echo "configured without GoogleTest; make run built and ran only what it needs"
