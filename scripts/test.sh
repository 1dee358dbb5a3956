#!/usr/bin/env bash
# Every test of qor_mdu on a fresh Debian 12 machine: installs what is
# missing, builds the plain and the sanitizer (address + undefined) trees,
# and runs every test of both with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qor_install_deps

jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== build (plain)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests (plain)"
ctest --test-dir build --output-on-failure --timeout 300 || status=1

echo "== build (address and undefined-behaviour sanitizers)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON -DQOR_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 300 || status=1

exit $status
