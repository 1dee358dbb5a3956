#!/usr/bin/env bash
# Units of SNMP version 1, 2c and 3 through the whole driver (qor_mdu with
# its infodriver), measured by driver_bench. One snmpd serves the simulated
# unit (sim/mdu.data, 172 objects) on port 161 of 127.0.1.201-240, with the
# read-write community and a version 3 user (SHA, AES, authPriv), so that
# every unit of every version reads the same agent. Needs root (port 161) and
# the snmpd and snmp packages.
#
#   bench/driver/run_snmp_versions.sh [BUILD_DIR] [fresh] [cpu]
#
# fresh: one unit at PollDelay 1000 and the default repetitions; its location
#   is changed on the agent with snmpset (no trap) at random moments, and the
#   time until the new text is in slot 98 is seen by a watching infodriver
#   client. Each change follows a random pause that spans whole walks of the
#   unit, so that it falls at any point of the walk and not just after the
#   read that saw the previous one. Versions 2c and 3: QOR_BENCH_RUNS changes
#   (default 10), pauses of 1 to QOR_BENCH_PAUSE_MAX s (default 29, four
#   walks of seven ticks); version 1, whose walk takes 173 ticks:
#   QOR_BENCH_V1_RUNS changes (default 4), pauses of 1 to 174 s. Each run
#   draws its moments afresh and prints the seed; QOR_BENCH_SEED repeats one.
# cpu: forty units of one version at PollDelay 1000, after QOR_BENCH_WARMUP
#   seconds (default 20; the first walks end within a few), the driver's
#   utime + stime over QOR_BENCH_SECONDS (default 60), for version 1, 2c and
#   3 in turn, QOR_BENCH_ROUNDS times (default 1).
# QOR_BENCH_VERSIONS (for instance "2c 3") measures only those versions.
#
# BUILD_DIR (default build-bench) is built with the bench preset for
# qor_mdu, infodriver, infoctl and driver_bench. Prints key=value lines,
# each prefixed with what and the version, and stops everything it started.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$root/build-bench"
if [ $# -gt 0 ] && [ "$1" != fresh ] && [ "$1" != cpu ]; then
  build="$1"; shift
fi
case "$build" in /*) ;; *) build="$root/$build" ;; esac
what=("$@")
[ ${#what[@]} -gt 0 ] || what=(fresh cpu)
for w in "${what[@]}"; do
  case "$w" in fresh | cpu) ;; *) echo "unknown benchmark $w (fresh, cpu)" >&2; exit 2 ;; esac
done
[ "$(id -u)" -eq 0 ] || { echo "snmp versions bench: needs root (port 161)" >&2; exit 2; }
[ -x /usr/sbin/snmpd ] && command -v snmpget >/dev/null ||
  { echo "snmp versions bench: needs snmpd and the snmp tools" >&2; exit 2; }

if [ ! -f "$build/build.ninja" ]; then
  (cd "$root" && cmake --preset bench -B "$build" >/dev/null) || exit 2
fi
nice cmake --build "$build" -j2 --target qor_mdu infodriver infoctl driver_bench >/dev/null ||
  exit 2
tool="$build/bench/driver_bench"

work="$(mktemp -d /tmp/qor_versions_bench.XXXXXX)"
agent=""
cleanup() {
  [ -n "$agent" ] && kill "$agent" 2>/dev/null && wait "$agent" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

community=benchcomm
user=benchv3
auth_pass="bench auth phrase"
priv_pass="bench priv phrase"
# The driver takes pass phrases only from files of its own user, mode 0600.
install -m 0600 /dev/null "$work/unit.auth"
install -m 0600 /dev/null "$work/unit.priv"
printf '%s\n' "$auth_pass" >"$work/unit.auth"
printf '%s\n' "$priv_pass" >"$work/unit.priv"

# The simulated unit's configuration, with the version 3 user added, served
# on forty addresses by one snmpd.
conf=$(bash "$root/sim/mdu_agent.sh" --config-only --address 127.0.1.201 \
  --community "$community" --unit 1 --dir "$work/agent") || exit 2
{
  echo "createUser $user SHA \"$auth_pass\" AES \"$priv_pass\""
  echo "rwuser $user priv"
} >>"$conf"
listen=""
for a in $(seq 201 240); do listen="${listen:+$listen,}udp:127.0.1.$a:161"; done
mkdir -p "$work/agent/state"
SNMP_PERSISTENT_DIR="$work/agent/state" MIBS="" MIBDIRS=/dev/null \
  /usr/sbin/snmpd -f -C -c "$conf" -M /dev/null -m "" -Lf "$work/agent/snmpd.log" \
  "$listen" >/dev/null 2>&1 &
agent=$!
ready=0
for _ in $(seq 1 100); do
  if snmpget -v1 -c "$community" -t 0.3 -r 0 127.0.1.240 1.3.6.1.4.1.6853.2.5.0 \
       >/dev/null 2>&1 &&
     snmpget -v3 -u "$user" -l authPriv -a SHA -A "$auth_pass" -x AES -X "$priv_pass" \
       -t 0.5 -r 0 127.0.1.201 1.3.6.1.4.1.6853.2.5.0 >/dev/null 2>&1; then
    ready=1; break
  fi
  sleep 0.2
done
[ $ready = 1 ] || { echo "snmp versions bench: the agent does not answer" >&2;
  cat "$work/agent/snmpd.log" >&2; exit 1; }

status=0
device=80
bench() {  # bench NAME VERSION ARGS...: one driver_bench run in a fresh folder
  local name="$1" version="$2"; shift 2
  device=$((device + 1))
  local dir="$work/$name.$version.$device"
  mkdir -p "$dir"
  local v3=()
  [ "$version" = 3 ] &&
    v3=(--user "$user" --auth-file "$work/unit.auth" --priv-file "$work/unit.priv")
  "$tool" --bin "$build/bin-versions-bench" --work "$dir" --first 201 \
    --community "$community" --device "$device" --snmp-version "$version" "${v3[@]}" \
    "$@" >"$dir.out" 2>&1
  local rc=$?
  sed "s/^/$name.$version./" "$dir.out"
  [ $rc -eq 0 ] || { echo "$name.$version.failed=$rc"; status=1; }
}
mkdir -p "$build/bin-versions-bench"
ln -sf "$build/src/app/qor_mdu" "$build/bin-versions-bench/qor_mdu"
ln -sf "$build/tools/infodriver/infodriver" "$build/bin-versions-bench/infodriver"

for w in "${what[@]}"; do
  case "$w" in
    fresh)
      for v in ${QOR_BENCH_VERSIONS:-2c 3 1}; do
        if [ "$v" = 1 ]; then
          bench fresh 1 fresh --runs "${QOR_BENCH_V1_RUNS:-4}" --max-wait 400 \
            --pause-max 174
        else
          bench fresh "$v" fresh --runs "${QOR_BENCH_RUNS:-10}" --max-wait 60 \
            --pause-max "${QOR_BENCH_PAUSE_MAX:-29}"
        fi
      done
      ;;
    cpu)
      for _ in $(seq 1 "${QOR_BENCH_ROUNDS:-1}"); do
        for v in ${QOR_BENCH_VERSIONS:-1 2c 3}; do
          bench cpu "$v" steady --units 40 --warmup "${QOR_BENCH_WARMUP:-20}" \
            --seconds "${QOR_BENCH_SECONDS:-60}"
        done
      done
      ;;
  esac
done
exit $status
