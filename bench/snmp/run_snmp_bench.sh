#!/bin/sh
# Builds and runs the SNMP layer benchmark: GetNext round trip through the
# driver's layer against a local snmpd, beside snmpwalk -v1 on the same
# subtree. Needs snmpd and the snmp tools; binds 127.0.1.241:161 (root).
#   bench/snmp/run_snmp_bench.sh [BUILD_DIR] [--objects N] [--walks K]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-bench}
[ $# -gt 0 ] && shift
(cd "$root" && cmake --preset bench -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null)
cmake --build "$build" --target snmp_walk_bench
exec "$build/bench/snmp_walk_bench" "$@"
