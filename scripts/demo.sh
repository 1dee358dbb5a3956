#!/usr/bin/env bash
# The driver's main job on a fresh Debian 12 machine: installs what is
# missing, builds and installs qor_mdu, infodriver and infoctl, then starts
# an infodriver for demo device 1, three simulated MDUs (snmpd agents on
# 127.0.1.1 to 127.0.1.3 serving sim/mdu.data), the web page of the units
# (qor_web on 127.0.0.1, control with a token of the demo's own) and the
# driver with its status window. Ending the driver (F10 or Ctrl-C) stops everything the
# demo started.
set -euo pipefail
cd "$(dirname "$0")/.."
here="$PWD"
. scripts/deps.sh
qor_install_deps

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
prefix="$here/out"
cmake --install build --prefix "$prefix" >/dev/null
bin="$prefix/bin"

device=1
units=3
community=ziriru
demo="${QOR_DEMO_ROOT:-$here/out/demo}"
mkdir -p "$demo/demo/config/system" "$demo/demo/logs" "$demo/agents"
export QX_ROOT="$demo" QX_SYSTEM=demo

# As root the agents sit on the standard port 161 and traps come to 162;
# otherwise high ports, which the driver reaches as ADDR:PORT.
if [ "$(id -u)" -eq 0 ]; then
  agent_port() { echo 161; }
  unit_address() { echo "127.0.1.$1"; }
  export ZARN_SNMP_TRAP_PORT="${ZARN_SNMP_TRAP_PORT:-162}"
else
  agent_port() { echo $((16100 + $1)); }
  unit_address() { echo "127.0.1.$1:$((16100 + $1))"; }
  export ZARN_SNMP_TRAP_PORT="${ZARN_SNMP_TRAP_PORT:-16162}"
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

"$bin/infodriver" "$device" >"$demo/infodriver.log" 2>&1 &
pids+=($!)

# The demo's own settings file, written afresh: the driver adds every
# other key with its default at start.
ini="$demo/demo/config/system/dev_$(printf %03d $device).ini"
printf '[qor_mdu]\nDebugMode=1\nLogMode=0\nPollDelay=1000\n' >"$ini"
for n in $(seq 1 $units); do
  bash sim/mdu_agent.sh --address "127.0.1.$n" --port "$(agent_port "$n")" \
    --community "$community" --unit "$n" --location "Rack $n" \
    --dir "$demo/agents/unit$n" >"$demo/agents/unit$n.out" 2>&1 &
  pids+=($!)
  printf '[QOR_MDU_%d]\nSNMPAddress=%s\nSNMPCommunity=%s\n' \
    "$n" "$(unit_address "$n")" "$community" >>"$ini"
done

# Wait until the infodriver serves the device and the agents answer.
for _ in $(seq 1 100); do
  # 0: served with a driver, 4: served without one yet, 3: not served yet.
  served=0
  "$bin/infoctl" ping "$device" >/dev/null 2>&1 || served=$?
  [ "$served" -ne 3 ] && break
  sleep 0.1
done
for n in $(seq 1 $units); do
  for _ in $(seq 1 100); do
    snmpget -v1 -c "$community" -t 0.2 -r 0 "127.0.1.$n:$(agent_port "$n")" \
      1.3.6.1.4.1.6853.2.4.0 >/dev/null 2>&1 && break
    sleep 0.1
  done
done

# The page of every unit, with control: the token is the demo's own, in a
# file only this user can read.
web_port="${QOR_DEMO_WEB_PORT:-8080}"
token_file="$demo/web-token"
(umask 077 && head -c 18 /dev/urandom | base64 | tr '+/' '-_' >"$token_file")
"$bin/qor_web" --listen "127.0.0.1:$web_port" \
  --control-token-file "$token_file" "$device" >"$demo/qor_web.log" 2>&1 &
pids+=($!)

cat <<TXT
Demo device $device: infodriver, $units simulated MDUs, settings in $ini
Page of the units: http://127.0.0.1:$web_port/ (control token: $(cat "$token_file"))
Logs in $demo/demo/logs. In a second terminal (trap port $ZARN_SNMP_TRAP_PORT):
  $bin/infoctl watch $device
  $bin/infoctl set $device 41 0
Starting the driver; F10 or Ctrl-C ends the demo.
TXT
sleep 1
"$bin/qor_mdu" "$device"
