#!/usr/bin/env bash
# End-to-end benchmarks of the driver (qor_mdu with its infodriver and
# simulated MDUs), each next to a peer measured in the same run. Needs root
# (agents on port 161 of 127.0.1.201-240, a packet socket on lo) and the
# snmpd, snmp and valgrind packages.
#
#   bench/driver/run.sh [BUILD_DIR] [WHAT...]
#
# BUILD_DIR (default build-bench) is built in Release for qor_mdu,
# infodriver and infoctl. WHAT: any of walk1 walk40 steady idle bigwalk
# rewrite trap set callgrind (default all). bigwalk walks one agent on
# 127.0.1.241 serving the unit's objects and fillers, 1,160 objects in all. Environment: QOR_BENCH_RUNS (walks per figure,
# default 10), QOR_BENCH_SAMPLES (traps and requests, default 1000),
# QOR_BENCH_WARMUP and QOR_BENCH_SECONDS (steady state, default 60 and 60),
# QOR_BENCH_CPU (pin the benchmark, the big agent and what the benchmark
# starts to one CPU), QOR_BENCH_WIRE=1 (bigwalk: split each start on the
# wire, which perturbs it), QOR_BENCH_BIN (a directory with the qor_mdu and infodriver to measure
# instead of BUILD_DIR's).
# Prints key=value lines, each prefixed with its benchmark.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$root/build-bench"
if [ $# -gt 0 ] && [[ "$1" != walk* && "$1" != steady && "$1" != idle && "$1" != bigwalk &&
  "$1" != rewrite && "$1" != trap && "$1" != set && "$1" != callgrind ]]; then
  build="$1"; shift
fi
case "$build" in /*) ;; *) build="$root/$build" ;; esac
what=("$@")
[ ${#what[@]} -gt 0 ] || what=(walk1 walk40 steady idle bigwalk rewrite trap set callgrind)
[ "$(id -u)" -eq 0 ] || { echo "driver bench: needs root" >&2; exit 2; }

if [ ! -f "$build/build.ninja" ]; then
  (cd "$root" && cmake --preset bench -B "$build" >/dev/null) || exit 2
fi
cmake --build "$build" --target qor_mdu infodriver infoctl driver_bench >/dev/null || exit 2
bin="$build/bin-driver-bench"
mkdir -p "$bin"
ln -sf "$build/src/app/qor_mdu" "$bin/qor_mdu"
ln -sf "$build/tools/infodriver/infodriver" "$bin/infodriver"
# Another tree's qor_mdu and infodriver (a "before" build) against the same
# benchmark program.
[ -n "${QOR_BENCH_BIN:-}" ] && bin="$QOR_BENCH_BIN"
tool="$build/bench/driver_bench"

work="$(mktemp -d /tmp/qor_driver_bench.XXXXXX)"
community=benchcomm
agents=()
cleanup() {
  local pid
  for pid in "${agents[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

units_needed=1
for w in "${what[@]}"; do case "$w" in walk40 | steady) units_needed=40 ;; esac; done
for n in $(seq 1 "$units_needed"); do
  a=$((200 + n))
  bash "$root/sim/mdu_agent.sh" --address "127.0.1.$a" --community "$community" --unit "$n" \
    --dir "$work/agent$n" >"$work/agent$n.out" 2>&1 &
  agents+=($!)
done
big=""
for w in "${what[@]}"; do [ "$w" = bigwalk ] && big=127.0.1.241; done
if [ -n "$big" ]; then
  # The unit's 166 objects and 994 more that the driver reads past (outside
  # every prefix it knows), before the inlet status that ends the walk.
  { cat "$root/sim/mdu.data"
    for i in $(seq 1 994); do echo "1.3.6.1.4.1.6853.3.4.2.$i.0 ro integer $i"; done
  } >"$work/mdu_1160.data"
  ${QOR_BENCH_CPU:+taskset -c $QOR_BENCH_CPU} bash "$root/sim/mdu_agent.sh" --address "$big" --community "$community" --unit 1 \
    --data "$work/mdu_1160.data" --dir "$work/agentbig" >"$work/agentbig.out" 2>&1 &
  agents+=($!)
fi
for a in $(seq 201 $((200 + units_needed))) ${big:+241}; do
  for _ in $(seq 1 100); do
    snmpget -v1 -c "$community" -t 0.3 -r 0 "127.0.1.$a" 1.3.6.1.4.1.6853.2.5.0 \
      >/dev/null 2>&1 && break
    sleep 0.2
  done
done

runs="${QOR_BENCH_RUNS:-10}"
samples="${QOR_BENCH_SAMPLES:-1000}"
status=0
bench() {  # bench NAME ARGS...: one mode in a fresh work directory
  local name="$1"; shift
  mkdir -p "$work/$name"
  "$tool" --bin "$bin" --work "$work/$name" --first 201 --community "$community" "$@" \
    >"$work/$name.out" 2>&1
  local rc=$?
  sed "s/^/$name./" "$work/$name.out"
  [ $rc -eq 0 ] || { echo "$name.failed=$rc"; status=1; }
}
for w in "${what[@]}"; do
  case "$w" in
    walk1) bench walk1 --device 91 walk --units 1 --runs "$runs" ;;
    walk40) bench walk40 --device 92 walk --units 40 --runs "$runs" ;;
    steady) bench steady --device 93 steady --units 40 --warmup "${QOR_BENCH_WARMUP:-60}" \
      --seconds "${QOR_BENCH_SECONDS:-60}" ;;
    idle) bench idle --device 97 idle --warmup "${QOR_BENCH_WARMUP:-60}" \
      --seconds "${QOR_BENCH_SECONDS:-60}" ;;
    bigwalk) bench bigwalk --device 98 --first 241 bigwalk --runs "${QOR_BENCH_RUNS:-5}" ;;
    rewrite) bench rewrite --device 99 rewrite ;;
    trap) bench trap --device 94 trap --runs "$samples" ;;
    set) bench set --device 95 set --runs "$samples" ;;
    callgrind)
      bench callgrind --device 96 callgrind --valgrind-out "$work/callgrind.profile"
      ir=$(awk '/^(summary|totals):/ {print $2}' "$work/callgrind.profile" 2>/dev/null | tail -1)
      echo "callgrind.ir=${ir:-0}"
      # QOR_BENCH_KEEP=FILE keeps the profile for callgrind_annotate.
      [ -n "${QOR_BENCH_KEEP:-}" ] && cp "$work/callgrind.profile" "$QOR_BENCH_KEEP"
      ;;
    *) echo "unknown benchmark $w" >&2; status=2 ;;
  esac
done
exit $status
