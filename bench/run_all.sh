#!/usr/bin/env bash
# Every benchmark of the tree, in one go, ending with one table: what was
# measured, the figure, the peer measured beside it in the same run, the
# ratio or the goal, and whether the goal is met. Nothing here is a test.
#
#   bench/run_all.sh [BUILD_DIR]        (default build-bench, Release)
#
# Needs root (agents on port 161, a packet socket on lo), snmpd, the snmp
# tools and valgrind. The full logs stay in BUILD_DIR/bench-logs/. Shorter
# runs: QOR_BENCH_RUNS, QOR_BENCH_SAMPLES, QOR_BENCH_WARMUP,
# QOR_BENCH_SECONDS (see bench/driver/run.sh); QOR_BENCH_TABLE_ONLY=1
# prints the table again from the last logs. Every process a benchmark
# starts is stopped by that benchmark's own script; this one stops its
# children on exit.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${1:-build-bench}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
logs="$build/bench-logs"
[ "$(id -u)" -eq 0 ] || { echo "run_all: needs root" >&2; exit 2; }

trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null' EXIT
trap 'exit 130' INT TERM

if [ "${QOR_BENCH_TABLE_ONLY:-0}" != 1 ]; then
echo "== configuring and building $build (Release)"
(cd "$root" && cmake --preset bench -B "$build" >/dev/null) || exit 2
cmake --build "$build" --target qor_mdu infodriver infoctl snmp_walk_bench \
  engine_walk_bench mdu_value_bench infodriver_bench >/dev/null || exit 2
mkdir -p "$logs"

run() {  # run NAME CMD...: output to the log and the terminal
  local name="$1"; shift
  echo "== $name: $*"
  "$@" 2>&1 | tee "$logs/$name.log"
}
# (its script would reconfigure the tree as RelWithDebInfo: run the binary)
run snmp "$build/bench/snmp_walk_bench"
run engine "$root/bench/engine/run.sh" "$build"
run infodriver "$build/bench/infodriver_bench"
run mdu "$root/bench/mdu/run.sh" "$build"
run driver "$root/bench/driver/run.sh" "$build"
fi

# ---- the table ------------------------------------------------------------
val() {  # val KEY: a driver figure
  sed -n "s/^$1=//p" "$logs/driver.log" | tail -1
}
rows=()
row() { rows+=("$1|$2|$3|$4|$5"); }
# ratio A B LIMIT: "A/B" with two decimals, and whether it is <= LIMIT
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
le() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "n/a" && a + 0 <= b + 0) }' && echo met || echo "NOT met"; }
ms() { awk -v v="$1" 'BEGIN { printf "%.2f ms", v / 1000 }'; }

f=$(grep -m1 'layer (CsnmpZarn' "$logs/snmp.log" | awk '{print $(NF-1)}')
p=$(grep -m1 'start-up taken out' "$logs/snmp.log" | awk '{print $(NF-1)}')
row "SNMP layer, GetNext round trip (wall)" "${f:-?} us" "snmpwalk, start-up out: ${p:-?} us" "$(ratio "${f:-0}" "${p:-0}")" "-"
f=$(grep -m1 'engine fast walk' "$logs/engine.log" | awk '{print $4}')
p=$(grep -m1 'snmpwalk - snmpget' "$logs/engine.log" | awk '{print $4}')
r=$(ratio "${f:-0}" "${p:-0}")
row "engine fast walk, 160 objects" "${f:-?} ms" "snmpwalk's walk: ${p:-?} ms" "$r (goal 1.10)" "$(le "$r" 1.10)"
f=$(grep -m1 'text changes' "$logs/infodriver.log" | awk '{print $(NF-1)}')
row "infodriver updateSlot (read + write)" "${f:-?} calls/s" "-" "-" "-"
f=$(grep -m1 'instructions per polled value' "$logs/mdu.log" | awk '{print $5}')
row "model path, Ir per value (callgrind)" "${f:-?} Ir" "-" "-" "-"

w=$(val walk1.driver_wire_us); p=$(val walk1.snmpwalk_wire_us); r=$(ratio "$w" "$p")
row "driver: one unit's fast walk, 166 values (wire)" "$(ms "$w")" "snmpwalk -v1: $(ms "$p")" "$r (goal 1.10)" "$(le "$r" 1.10)"
w=$(val walk1.driver_exec_us); p=$(val walk1.snmpwalk_exec_us); r=$(ratio "$w" "$p")
row "driver: start to end of that walk" "$(ms "$w")" "snmpwalk process: $(ms "$p")" "$r" "-"
w=$(val walk40.driver_wire_us); p=$(val walk40.snmpwalk_wire_us); r=$(ratio "$w" "$p")
row "driver: forty fast walks at once (wire)" "$(ms "$w")" "40 snmpwalk at once: $(ms "$p")" "$r (goal 1.25)" "$(le "$r" 1.25)"
w=$(val walk40.driver_exec_us); p=$(val walk40.snmpwalk_exec_us); r=$(ratio "$w" "$p")
row "driver: start to the last of forty walks" "$(ms "$w")" "40 snmpwalk processes: $(ms "$p")" "$r (goal 1.25)" "$(le "$r" 1.25)"
w=$(val walk40.driver_cpu_per_value_us); p=$(val walk40.snmpwalk_cpu_per_value_us); r=$(ratio "$w" "$p")
row "driver CPU per polled value (40 units, start-up in)" "$w us" "snmpwalk: $p us" "$r (goal 1.00)" "$(le "$r" 1.00)"
c=$(val steady.cpu_percent); i=$(val steady.idle_loop_cpu_percent)
row "steady state, 40 units, PollDelay 1000: CPU" "$c % of a core" "bare 10 ms wake-up loop: $i %" "goal 0.5 %" "$(le "$c" 0.5)"
rs=$(val steady.rss_end_kb)
row "steady state: RSS" "$rs kB" "-" "goal 16384 kB" "$(le "$rs" 16384)"
g=$(val steady.rss_growth_kb)
row "steady state: RSS growth after the first minute" "$g kB" "-" "goal 0" "$(le "$g" 0)"
a=$(val trap.trap_p50_us); b=$(val trap.echo_p50_us)
row "trap sent -> slot seen by a client, p50" "$(ms "$a")" "slot-change echo: $(ms "$b")" "goal 6 ms" "$(le "$a" 6000)"
a=$(val trap.trap_p99_us); b=$(val trap.echo_p99_us)
row "trap sent -> slot seen by a client, p99" "$(ms "$a")" "slot-change echo: $(ms "$b")" "goal 12 ms" "$(le "$a" 12000)"
a=$(val set.set_p99_us)
row "slot-change request -> Set on the wire, p99" "$(ms "$a")" "-" "goal 2 ms" "$(le "$a" 2000)"
ir=$(val callgrind.ir); n=$(val callgrind.values)
per=$(awk -v a="${ir:-0}" -v b="${n:-0}" 'BEGIN { if (b > 0) printf "%.0f", a / b; else print "n/a" }')
row "driver Ir per polled value (callgrind, one fast walk)" "$per Ir" "-" "reported" "-"

echo
echo "== summary (logs in $logs)"
table() {
  echo "what|figure|peer (same run)|ratio / goal|goal"
  printf '%s\n' "${rows[@]}"
}
if command -v column >/dev/null; then table | column -t -s '|'; else table | sed 's/|/ | /g'; fi
