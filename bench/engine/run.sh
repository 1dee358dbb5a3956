#!/bin/bash
# Time of one fast walk of a 160-object subtree through the polling engine
# and the real SNMP layer against snmpd, next to `snmpwalk -v1` of the same
# subtree in the same run. Needs root (the agent listens on port 161 of
# 127.0.1.201) and the snmpd and snmp packages.
#
#   bench/engine/run.sh [BUILD_DIR] [-- BENCH_OPTIONS]
#   (default BUILD_DIR: build-bench, Release; options: --runs N,
#    --alarm-rows R, --cpu C, --address A)
set -eu

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$root/build-bench"
if [ $# -gt 0 ] && [ "$1" != "--" ]; then build="$1"; shift; fi
[ $# -gt 0 ] && [ "$1" = "--" ] && shift
case "$build" in /*) ;; *) build="$root/$build" ;; esac

if [ ! -f "$build/build.ninja" ]; then
  (cd "$root" && cmake --preset bench -B "$build" >/dev/null)
fi
cmake --build "$build" --target engine_walk_bench >/dev/null
exec "$build/bench/engine_walk_bench" "$@"
