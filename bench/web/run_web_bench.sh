#!/bin/bash
# qor_web with 160 units (web_bench), then Prometheus' snmp_exporter
# polling one simulated unit with bench/web/snmp.yml, side by side.
# Run as root (the agent uses port 161 of 127.0.1.250), under the shared
# lock: flock /tmp/qor-integration.lock bench/web/run_web_bench.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
scrapes=${SCRAPES:-200}

echo "== qor_web, 4 devices x 40 units"
"$build/bench/web_bench" --changes 500 --scrapes "$scrapes"

echo "== snmp_exporter, one unit"
dir=$(mktemp -d /tmp/qor_web_bench_snmp.XXXXXX)
agent_pid="" exporter_pid=""
cleanup() {
  [ -n "$exporter_pid" ] && kill "$exporter_pid" 2>/dev/null && wait "$exporter_pid" 2>/dev/null
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
sim/mdu_agent.sh --address 127.0.1.250 --community webbench --unit 1 --dir "$dir/agent" \
  >"$dir/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 50); do
  snmpget -v2c -c webbench -t 1 -r 0 127.0.1.250 1.3.6.1.4.1.6853.2.5.0 >/dev/null 2>&1 && break
  sleep 0.2
done
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
prometheus-snmp-exporter --config.file=bench/web/snmp.yml \
  --web.listen-address="127.0.0.1:$port" >"$dir/exporter.log" 2>&1 &
exporter_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/" >/dev/null && break; sleep 0.2; done
url="http://127.0.0.1:$port/snmp?module=mdu&target=127.0.1.250"
curl -sf "$url" >"$dir/scrape.txt"
samples=$(grep -vc '^#' "$dir/scrape.txt")
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
e0=$(ticks "$exporter_pid"); a0=$(ticks "$agent_pid")
times=()
for _ in $(seq "$scrapes"); do
  times+=("$(curl -s -o /dev/null -w '%{time_total}' "$url")")
done
e1=$(ticks "$exporter_pid"); a1=$(ticks "$agent_pid")
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]*1000}')
rss=$(awk '/VmRSS/ {print $2/1024}' "/proc/$exporter_pid/status")
awk -v e=$((e1 - e0)) -v a=$((a1 - a0)) -v n="$scrapes" -v hz="$hz" -v m="$median" \
  -v s="$samples" -v r="$rss" 'BEGIN {
  printf "snmp_exporter, 1 unit: median %.2f ms per scrape, %d samples, CPU %.2f ms exporter + %.2f ms snmpd per scrape, exporter RSS %.1f MiB (%d scrapes)\n",
    m, s, e / n / hz * 1000, a / n / hz * 1000, r, n }'
