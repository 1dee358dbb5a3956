#!/usr/bin/env bash
# Soak and fault run of the driver, on binaries built with the address and
# undefined-behaviour sanitizers.
#
#   scripts/soak.sh [SECONDS]      (default 600; CI runs 60)
#
# Soak: forty simulated MDUs (snmpd on 127.0.1.1-40, port 161, so root), an
# infodriver and qor_mdu. For SECONDS: agents stopped and restarted at
# random (long enough for the driver to declare the unit lost), a trap every
# 10 ms, a slot-change request every 20 ms, infodriver clients that connect,
# watch, read, send junk and vanish. Then it checks the outcome: driver and
# infodriver alive, every unit's block equal to what its agent serves (slot
# 99 "0" for every unit, the restarted ones included), the driver's RSS
# growth after warm-up under 1 MiB, a clean exit on SIGTERM with no
# sanitizer report (leaks included).
#
# Faults, each on a fresh driver with two units: a settings directory that
# cannot be written (read-only tmpfs), a log directory that vanishes while
# the driver runs, and a full disk (a small tmpfs holding settings and
# logs). Each must leave the driver running, its slots served and its
# settings file whole; only the log lines that could not be written are lost.
#
# Environment: QOR_SOAK_BUILD (default build-soak), QOR_SOAK_KEEP=1 keeps the
# work directory. Exit status 0 when every check passed.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
seconds="${1:-600}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
[ "$seconds" -ge 20 ] || { echo "soak: at least 20 seconds" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "soak: needs root (agents on port 161, tmpfs mounts)" >&2; exit 2; }

build="${QOR_SOAK_BUILD:-build-soak}"
units=40
community=soakcomm
device=61
fault_device=62

say() { printf '[soak %s] %s\n' "$(date +%T)" "$*"; }

# ---- build --------------------------------------------------------------
say "building the sanitizer tree in $build"
cmake --preset soak -B "$build" >/dev/null || exit 2
cmake --build "$build" --target qor_mdu infodriver infoctl soak_tool -j2 >/dev/null || {
  echo "soak: build failed" >&2; exit 2; }
bin_mdu="$build/src/app/qor_mdu"
bin_info="$build/tools/infodriver/infodriver"
bin_ctl="$build/tools/infoctl/infoctl"
tool="$build/tests/soak/soak_tool"

# ---- others' integration runs use the same addresses --------------------
for _ in $(seq 1 120); do
  pgrep -f 'driver_e2e_test|driver_process_test' >/dev/null || break
  say "waiting for another end-to-end run to finish"
  sleep 5
done

# ---- work area and cleanup ----------------------------------------------
work="$(mktemp -d /tmp/qor_soak.XXXXXX)"
chmod 755 "$work"
mounts=()
pidfiles="$work/pids"
mkdir -p "$pidfiles" "$work/san"

running() {  # running PID: alive and not a zombie waiting to be reaped
  local state
  state="$(awk '/^State:/ {print $2}' "/proc/$1/status" 2>/dev/null)"
  [ -n "$state" ] && [ "$state" != Z ]
}
stop_pid() {  # stop_pid PID: TERM, then KILL after 5 s
  local pid="$1"
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do
    running "$pid" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}
cleanup() {
  local f
  [ -f "$work/chaos.stop" ] || touch "$work/chaos.stop"
  for f in "$pidfiles"/*; do
    [ -f "$f" ] || continue
    stop_pid "$(cat "$f")"
    rm -f "$f"
  done
  wait 2>/dev/null
  for m in "${mounts[@]}"; do umount -l "$m" 2>/dev/null; done
  if [ "${QOR_SOAK_KEEP:-0}" = 1 ]; then say "work directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start NAME CMD...: runs CMD in the background, its pid in pids/NAME
start() {
  local name="$1"; shift
  "$@" &
  echo $! >"$pidfiles/$name"
}
pid_of() { cat "$pidfiles/$1" 2>/dev/null; }

failures=0
results=()
check() {  # check NAME OK(0/1) DETAIL
  if [ "$2" -eq 0 ]; then results+=("PASS  $1: $3"); else results+=("FAIL  $1: $3"); failures=$((failures + 1)); fi
}

free_udp_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 30000))
    ss -Hlun "sport = :$p" 2>/dev/null | grep -q . || { echo "$p"; return; }
  done
  echo 39162
}
trap_port="$(free_udp_port)"

export ASAN_OPTIONS="log_path=$work/san/asan:detect_leaks=1:abort_on_error=0:quarantine_size_mb=16"
export UBSAN_OPTIONS="log_path=$work/san/ubsan:print_stacktrace=1:halt_on_error=1"
export ZARN_SNMP_TRAP_PORT="$trap_port"

agent() {  # agent N: start unit N's snmpd
  start "agent$1" bash sim/mdu_agent.sh --address "127.0.1.$1" --community "$community" \
    --unit "$1" --dir "$work/agents/$1" >>"$work/agents.log" 2>&1
}
agent_answers() {
  snmpget -v1 -c "$community" -t 0.5 -r 1 "127.0.1.$1" 1.3.6.1.4.1.6853.2.5.0 >/dev/null 2>&1
}
wait_agents() {  # wait_agents FIRST LAST
  local n ok i
  for n in $(seq "$1" "$2"); do
    ok=1
    for i in $(seq 1 120); do
      agent_answers "$n" && { ok=0; break; }
      # An agent that could not bind (its address was briefly busy, say
      # with another test's agent) has exited: start it again.
      if [ $((i % 10)) -eq 0 ] && ! running "$(pid_of "agent$n")"; then
        say "agent $n exited; starting it again"
        agent "$n"
      fi
      sleep 0.5
    done
    [ "$ok" -eq 0 ] || { say "agent $n does not answer"; return 1; }
  done
}

# setup_device DIR DEVICE UNITS DEBUG LOG POLLDELAY: settings for a driver
setup_device() {
  local dir="$1" dev="$2" n
  mkdir -p "$dir/sys/config/system" "$dir/sys/logs" "$dir/run"
  chmod 700 "$dir/run"
  {
    printf '[qor_mdu]\nDebugMode=%s\nLogMode=%s\nPollDelay=%s\n' "$4" "$5" "$6"
    for n in $(seq 1 "$3"); do
      printf '[QOR_MDU_%d]\nSNMPAddress=127.0.1.%d\nSNMPCommunity=%s\n' "$n" "$n" "$community"
    done
  } >"$dir/sys/config/system/dev_$(printf %03d "$dev").ini"
}
# in_device DIR CMD...: CMD with the device's environment
in_device() {
  local dir="$1"; shift
  QX_ROOT="$dir" QX_SYSTEM=sys ZARN_RUNTIME_DIR="$dir/run" "$@"
}
slot() { in_device "$1" "$bin_ctl" get "$2" "$3" 2>/dev/null; }
# wait_units DIR DEVICE UNITS SECONDS: every unit's slot 99 reads "0"
wait_units() {
  local end=$((SECONDS + $4)) n missing
  while [ $SECONDS -lt $end ]; do
    missing=0
    local dump; dump="$(in_device "$1" "$bin_ctl" dump "$2" 2>/dev/null)"
    for n in $(seq 1 "$3"); do
      printf '%s\n' "$dump" | grep -qx "$(( (n - 1) * 100 + 99 ))	0" || missing=$((missing + 1))
    done
    [ "$missing" -eq 0 ] && return 0
    sleep 1
  done
  return 1
}
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
# stop_and_status NAME: SIGTERM, then the exit status in $status (124 when
# it hung); not in a subshell, which could not wait for it
stop_and_status() {
  local pid; pid="$(pid_of "$1")"
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"; wait "$pid" 2>/dev/null; status=124
  else
    wait "$pid" 2>/dev/null; status=$?
  fi
  rm -f "$pidfiles/$1"
}
start_pair() {  # start_pair DIR DEVICE TAG: infodriver and driver
  start "infodriver$3" env QX_ROOT="$1" QX_SYSTEM=sys ZARN_RUNTIME_DIR="$1/run" \
    "$bin_info" "$2" >"$1/infodriver.out" 2>&1
  # ping: 0 with a driver, 4 while the infodriver has none, 3 before it serves.
  local rc
  for _ in $(seq 1 100); do
    rc=0; in_device "$1" "$bin_ctl" ping "$2" >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || [ "$rc" -eq 4 ] && break
    sleep 0.1
  done
  start "driver$3" env QX_ROOT="$1" QX_SYSTEM=sys ZARN_RUNTIME_DIR="$1/run" \
    "$bin_mdu" "$2" >"$1/driver.out" 2>"$1/driver.err"
}

# ---- soak ---------------------------------------------------------------
say "starting $units agents, trap port $trap_port"
for n in $(seq 1 $units); do agent "$n"; done
wait_agents 1 $units || { check "agents start" 1 "not every agent answered"; }

soak="$work/soak"
setup_device "$soak" $device $units 0 0 200
start_pair "$soak" $device ""
driver_pid="$(pid_of driver)"
if wait_units "$soak" $device $units 180; then
  check "start-up" 0 "every unit's slot 99 reads 0"
else
  check "start-up" 1 "not every unit came up within 180 s"
fi

say "load for $seconds s"
touch "$work/restarted"
chaos() {
  local n last=$((SECONDS + seconds - 14))
  while [ ! -f "$work/chaos.stop" ]; do
    sleep "$((2 + RANDOM % 4))"
    # The last outage ends well before the load (and its watcher) does.
    [ -f "$work/chaos.stop" ] || [ $SECONDS -ge $last ] && break
    n=$((1 + RANDOM % units))
    stop_pid "$(pid_of "agent$n")"
    rm -f "$pidfiles/agent$n"
    echo "$n" >>"$work/restarted"
    # Long enough for the driver to miss six polls and declare the unit lost.
    sleep "$((3 + RANDOM % 3))"
    agent "$n"
  done
}
chaos >>"$work/chaos.log" 2>&1 &
chaos_pid=$!
echo "$chaos_pid" >"$pidfiles/chaos"

warmup=$((seconds / 3))
[ "$warmup" -gt 120 ] && warmup=120
in_device "$soak" "$tool" load --device $device --units $units --community "$community" \
  --trap-port "$trap_port" --seconds "$seconds" --stats "$work/load.stats" >"$work/load.out" 2>&1 &
load_pid=$!
echo "$load_pid" >"$pidfiles/load"
sleep "$warmup"
rss_warm="$(rss_kb "$driver_pid")"
rss_max="$rss_warm"
while kill -0 "$load_pid" 2>/dev/null; do
  r="$(rss_kb "$driver_pid")"; [ "${r:-0}" -gt "$rss_max" ] && rss_max="$r"
  sleep 2
done
wait "$load_pid"; rm -f "$pidfiles/load"
rss_end="$(rss_kb "$driver_pid")"
touch "$work/chaos.stop"
wait "$chaos_pid"; rm -f "$pidfiles/chaos"
say "load done: $(tr '\n' ' ' <"$work/load.stats")"

kill -0 "$driver_pid" 2>/dev/null
check "driver alive after load" $? "pid $driver_pid"
kill -0 "$(pid_of infodriver)" 2>/dev/null
check "infodriver alive after load" $? "pid $(pid_of infodriver)"
traps_sent="$(sed -n 's/^traps_sent=//p' "$work/load.stats")"
changes_sent="$(sed -n 's/^changes_sent=//p' "$work/load.stats")"
[ "${traps_sent:-0}" -ge $((seconds * 50)) ] && [ "${changes_sent:-0}" -ge $((seconds * 25)) ]
check "load delivered" $? "${traps_sent:-0} traps, ${changes_sent:-0} slot-change requests in $seconds s"

restarted="$(sort -n -u "$work/restarted" | tr '\n' ' ')"
failed_seen="$(sed -n 's/^units_comms_failed=//p' "$work/load.stats")"
missing_failure=""
for n in $restarted; do
  case " $failed_seen " in *" $n "*) ;; *) missing_failure+=" $n" ;; esac
done
# The fault was exercised when the driver declared at least one stopped
# unit lost. A unit may ride out a short outage (a cold-start trap or a
# slot change restarts its supervision), so not every one must be seen;
# every one must be back at "0", which the block check below covers.
[ -n "$restarted" ] && [ "$missing_failure" != " $(echo $restarted)" ] && [ -n "$failed_seen" ]
check "restarts seen by the driver" $? "restarted: ${restarted:-none}; slot 99 went to 1 for:${failed_seen:- none}${missing_failure:+; rode out its outage:$missing_failure}"

wait_agents 1 $units
in_device "$soak" "$tool" check --device $device --units $units --community "$community" \
  --rescan --trap-port "$trap_port" --deadline 180 >"$work/check.out" 2>&1
rc=$?
check "blocks equal the agents" $rc "$(tail -1 "$work/check.out")$( [ $rc -ne 0 ] && grep -m5 MISMATCH "$work/check.out" | tr '\n' ';' | sed 's/^/; /')"

growth=$((rss_end - rss_warm))
[ "$growth" -lt 1024 ]
check "RSS growth after warm-up" $? "${rss_warm} kB at ${warmup} s, ${rss_end} kB at the end (max ${rss_max} kB), growth ${growth} kB, limit 1024 kB"

stop_and_status driver
[ "$status" -eq 0 ]
check "driver exits cleanly on SIGTERM" $? "exit status $status"
stop_and_status infodriver
[ "$status" -eq 0 ]
check "infodriver exits cleanly on SIGTERM" $? "exit status $status"

# ---- faults -------------------------------------------------------------
fault_units=2
# fault_run NAME DIR: start a pair on DIR, wait for both units
fault_start() {
  start_pair "$2" $fault_device "_$1"
  wait_units "$2" $fault_device $fault_units 120
}
fault_trap() {  # fault_trap TEXT: a power-status trap from unit 1
  bash sim/send_trap.sh --from 127.0.1.1 --to "127.0.0.1:$trap_port" --community "$community" \
    power "$1" >/dev/null 2>&1
}
# fault_trap_seen DIR TEXT: the trap's text reaches unit 1's slot 97
fault_trap_seen() {
  local end=$((SECONDS + 30))
  while [ $SECONDS -lt $end ]; do
    fault_trap "$2"
    [ "$(slot "$1" $fault_device 97)" = "$2" ] && return 0
    sleep 1
  done
  return 1
}
fault_stop() {  # fault_stop NAME: both stop cleanly
  local a b
  stop_and_status "driver_$1"; a=$status
  stop_and_status "infodriver_$1"; b=$status
  [ "$a" -eq 0 ] && [ "$b" -eq 0 ]
  check "$1: clean exit" $? "driver $a, infodriver $b"
}
mount_tmpfs() {  # mount_tmpfs DIR SIZE
  mkdir -p "$1"
  mount -t tmpfs -o "size=$2,mode=755" tmpfs "$1" || return 1
  mounts+=("$1")
}

say "fault: settings directory that cannot be written"
ro="$work/ro"
setup_device "$ro" $fault_device $fault_units 1 1 500
ini="$ro/sys/config/system/dev_$(printf %03d $fault_device).ini"
cp "$ini" "$work/ro.ini"
if mount_tmpfs "$ro/sys/config/system" 1m; then
  cp "$work/ro.ini" "$ini"
  mount -o remount,ro "$ro/sys/config/system"
  fault_start ro "$ro"
  check "read-only settings: units served" $? "both units' slot 99 read 0"
  fault_trap_seen "$ro" "ro check"
  check "read-only settings: traps still reach slots" $? "slot 97"
  cmp -s "$ini" "$work/ro.ini"
  check "read-only settings: file untouched" $? "$ini"
  kill -0 "$(pid_of driver_ro)" 2>/dev/null
  check "read-only settings: driver running" $? ""
  fault_stop ro
  umount "$ro/sys/config/system"
else
  check "read-only settings" 1 "tmpfs mount refused (container without CAP_SYS_ADMIN?)"
fi

say "fault: log directory vanishes"
lv="$work/lv"
setup_device "$lv" $fault_device $fault_units 1 1 500
fault_start lv "$lv"
check "vanishing logs: units served" $? "both units' slot 99 read 0"
grep -rqs "Connected OK" "$lv/sys/logs"
check "vanishing logs: lines logged at first" $? "$(ls "$lv/sys/logs" 2>/dev/null | head -1)"
rm -rf "$lv/sys/logs"
fault_trap_seen "$lv" "while gone"
check "vanishing logs: traps reach slots without the directory" $? "slot 97"
sleep 1
[ ! -e "$lv/sys/logs" ]
check "vanishing logs: not created again by the driver" $? ""
mkdir "$lv/sys/logs"
fault_trap_seen "$lv" "back again"
end=$((SECONDS + 30)); found=1
while [ $SECONDS -lt $end ]; do
  grep -rqs "back again" "$lv/sys/logs" && { found=0; break; }
  fault_trap "back again"; sleep 1
done
check "vanishing logs: lines resume once it exists" $found ""
kill -0 "$(pid_of driver_lv)" 2>/dev/null
check "vanishing logs: driver running" $? ""
fault_stop lv

say "fault: full disk"
fd_dir="$work/full"
if mount_tmpfs "$fd_dir" 256k; then
  setup_device "$fd_dir" $fault_device $fault_units 1 1 500
  ini="$fd_dir/sys/config/system/dev_$(printf %03d $fault_device).ini"
  cp "$ini" "$work/full.ini"
  # Leave no room: the start-up rewrite of the settings and every log line
  # meet a full disk.
  dd if=/dev/zero of="$fd_dir/filler" bs=4k 2>/dev/null
  fault_start full "$fd_dir"
  check "full disk: units served" $? "both units' slot 99 read 0"
  cmp -s "$ini" "$work/full.ini"
  check "full disk: settings file whole" $? "$(wc -c <"$ini") bytes"
  fault_trap_seen "$fd_dir" "disk full"
  check "full disk: traps reach slots" $? "slot 97"
  in_device "$fd_dir" "$bin_ctl" set $fault_device 4000 "echo full" >/dev/null 2>&1
  end=$((SECONDS + 20)); found=1
  while [ $SECONDS -lt $end ]; do
    [ "$(slot "$fd_dir" $fault_device 4000)" = "echo full" ] && { found=0; break; }
    sleep 0.5
  done
  check "full disk: slot-change requests served" $found "slot 4000 echo"
  rm -f "$fd_dir/filler"
  end=$((SECONDS + 30)); found=1
  while [ $SECONDS -lt $end ]; do
    fault_trap "room again $SECONDS"
    grep -rqs "room again" "$fd_dir/sys/logs" && { found=0; break; }
    sleep 1
  done
  check "full disk: lines resume once there is room" $found ""
  kill -0 "$(pid_of driver_full)" 2>/dev/null
  check "full disk: driver running" $? ""
  fault_stop full
else
  check "full disk" 1 "tmpfs mount refused (container without CAP_SYS_ADMIN?)"
fi

# ---- sanitizer reports --------------------------------------------------
reports="$(ls "$work/san" 2>/dev/null | tr '\n' ' ')"
[ -z "$reports" ]
check "no sanitizer report" $? "${reports:-none}"
for f in "$work"/san/*; do [ -f "$f" ] && { echo "==== $f"; head -40 "$f"; }; done

echo
echo "Soak summary ($seconds s, $units units, sanitizer build $build):"
printf '  %s\n' "${results[@]}"
if [ "$seconds" -lt 300 ]; then
  echo "  note: a ${seconds}-s run measures RSS over $((seconds - warmup)) s after a ${warmup}-s warm-up;"
  echo "        it shows no steady leak of that size, not the absence of a slow one."
fi
if [ "$failures" -ne 0 ]; then
  echo "SOAK FAILED: $failures check(s)"
  QOR_SOAK_KEEP=1
  exit 1
fi
echo "SOAK PASSED"
exit 0
