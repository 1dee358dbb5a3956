#!/bin/bash
# Lighthouse's accessibility score of each view of the qor_web page, on the
# installed programs of a build: three simulated units on 127.0.1.201-203
# (unprivileged ports), their infodriver, driver and qor_web, all in a
# temporary root, stopped by pid at the end. Not part of CI; run under the
# shared lock, since it starts agents and an infodriver:
#   cmake --install build --prefix build/install
#   (cd bench/web/lighthouse && npm ci)
#   flock /tmp/qor-itest.lock bench/web/run_lighthouse.sh [INSTALL_BIN]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$(realpath "${1:-build/install/bin}")
device=99
root=$(mktemp -d /tmp/qor_web_lighthouse.XXXXXX)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$root"
}
trap cleanup EXIT
free_port() {
  python3 -c "import socket; s=socket.socket(socket.AF_INET, socket.$1); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])"
}
mkdir -p "$root/sys/config/system" "$root/run"
chmod 700 "$root/run"
export QX_ROOT=$root QX_SYSTEM=sys ZARN_RUNTIME_DIR=$root/run
ZARN_SNMP_TRAP_PORT=$(free_port SOCK_DGRAM)
export ZARN_SNMP_TRAP_PORT
ini=$root/sys/config/system/dev_0$device.ini
names=$root/sys/config/system/names_0$device.ini
echo -e "[qor_mdu]\nPollDelay=500" >"$ini"
echo -e "[QOR_MDU_1]\nOutput1=Router A\nOutput2=Core switch\nProtectedOutputs=2\nGPI5=Door open" >"$names"
for n in 1 2 3; do
  port=$((16200 + n))
  echo -e "[QOR_MDU_$n]\nSNMPAddress=127.0.1.$((200 + n)):$port\nSNMPCommunity=lighthouse" >>"$ini"
  sim/mdu_agent.sh --address 127.0.1.$((200 + n)) --port $port --community lighthouse \
    --unit $n --dir "$root/agent$n" >"$root/agent$n.log" 2>&1 &
  pids+=($!)
done
"$bin/infodriver" $device >"$root/infodriver.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do "$bin/infoctl" ping $device >/dev/null 2>&1 && break; sleep 0.2; done
"$bin/qor_mdu" $device >"$root/driver.log" 2>&1 &
pids+=($!)
web=$(free_port SOCK_STREAM)
token=lighthouse-token-7c2e91
echo "$token" >"$root/token"
chmod 600 "$root/token"
"$bin/qor_web" --listen 127.0.0.1:$web --site bench --control-token-file "$root/token" \
  $device >"$root/web.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  curl -sf "http://127.0.0.1:$web/api/v1/units" | grep -q '"answering":true' && break
  sleep 0.3
done
node bench/web/lighthouse/accessibility.mjs "http://127.0.0.1:$web/" "#unit/bench/$device/1"
