#!/usr/bin/env bash
# Every test of qor_mdu on a fresh Debian 12 machine: installs what is
# missing, builds the plain and the sanitizer (address + undefined) trees,
# runs every test of both with ctest, builds, installs and purges the
# Debian package, a one-minute soak on the sanitizer build and every fuzz
# target for 20 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qor_install_deps

jobs=$(nproc 2>/dev/null || echo 2)
status=0

# The integration tests run real snmpd agents on port 161 of 127.0.1.x,
# which takes root: without it, sudo runs ctest; with neither, only the
# unit tests run, and the summary says so.
as_root=""
labels=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    as_root="sudo -E"
  else
    labels=(-L unit)
    echo "Not root and no sudo: running the unit tests only (agents need port 161)."
  fi
fi

echo "== build (plain)"
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
echo "== tests (plain)"
$as_root ctest --preset default "${labels[@]}" || status=1

# The package as a user gets it: built with Debian's tools, installed, run
# as zarn under a throwaway systemd (or, where none can boot, on this
# machine without the service checks), purged.
if [ -n "$as_root" ] || [ "$(id -u)" -eq 0 ]; then
  echo "== package (build, install, services, purge)"
  $as_root ./tests/package/package_test.sh || status=1
fi

echo "== build (address and undefined-behaviour sanitizers)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"

# A minute of soak on the sanitizer build: forty units under traps, slot
# changes, restarts and client churn, then the settings and log faults.
if [ -n "$as_root" ] || [ "$(id -u)" -eq 0 ]; then
  echo "== soak (60 s, sanitizers)"
  $as_root env QOR_SOAK_BUILD=build-asan ./scripts/soak.sh 60 || status=1
fi

echo "== fuzzing (20 s a target)"
./scripts/fuzz.sh 20 || status=1

# Last, so that ctest's summary closes the run.
echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  $as_root ctest --preset asan "${labels[@]}" || status=1

exit $status
