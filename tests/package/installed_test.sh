#!/usr/bin/env bash
# Installs the qor-mdu package on the machine it runs on, checks every
# installed path, runs the installed infodriver and driver as zarn against
# a simulated MDU, and purges the package again. With --systemd (under a
# running systemd) it also runs the units: start, READY and STATUS, the
# user, the one capability, stop with the infodriver, restart after
# SIGKILL and after a stalled loop (watchdog), and the package's life:
# installed first as an earlier version, then upgraded, reinstalled (once
# under a policy-rc.d that forbids starts), removed and purged. Run by
# package_test.sh, normally inside a throwaway systemd.
#
#   installed_test.sh PACKAGE.deb [--systemd]
set -uo pipefail
deb=$1
with_systemd=${2:-}
failures=0
sim=/usr/share/qor-mdu/sim
unit_address=127.0.1.1
work=$(mktemp -d /tmp/qor-installed-test.XXXXXX)
agent_pid=""
broker_pid=""
policy=/usr/sbin/policy-rc.d  # the machine's own, if any, is put back
programs="qor_mdu infodriver infoctl qor_trapd qor_web qor_mqtt"

pass() { echo "ok   $*"; }
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# wait_for SECONDS COMMAND...: true as soon as COMMAND succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.2
  done
}
# setpriv execs (runuser would stay as a parent), so that $! of a program
# started in the background is the program's own pid.
as_zarn() { "${zarn[@]}" "$@"; }
slot() { as_zarn infoctl get 1 "$1" 2>/dev/null; }
slot_is() { [ "$(slot "$1")" = "$2" ]; }
slot_set() { [ -n "$(slot "$1")" ]; }
owner_is() { [ "$(stat -c %U:%G "$1" 2>/dev/null)" = "$2" ]; }
user_of() { ps -o user= -p "$1" 2>/dev/null | tr -d ' '; }
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  [ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null
  if [ -e "$work/policy-rc.d" ]; then
    mv -f "$work/policy-rc.d" "$policy"
  elif [ -n "${own_policy:-}" ]; then
    rm -f "$policy"
  fi
  rm -rf "$work" "${manual_rundir:-}"
}
apt_get() {  # apt_get ARGS...: quiet, its output kept for a failure
  DEBIAN_FRONTEND=noninteractive apt-get -y -qq --no-install-recommends "$@" \
    >>"$work/apt.log" 2>&1
}
trap cleanup EXIT

echo "== install (as the version before this one)"
# The same files under a lower version: what an upgrade starts from.
dpkg-deb -R "$deb" "$work/previous"
sed -i 's/^Version: .*/&~previous/' "$work/previous/DEBIAN/control"
dpkg-deb -b "$work/previous" "$work/previous.deb" >/dev/null
if ! apt_get install "$work/previous.deb"; then
  cat "$work/apt.log"
  echo "FAIL apt-get install $deb"
  exit 1
fi
pass "apt-get install $(basename "$deb") (as the version before it)"

echo "== installed paths"
for f in /usr/bin/qor_mdu /usr/bin/infodriver /usr/bin/infoctl /usr/bin/qor_trapd \
  /usr/bin/qor_web /usr/bin/qor_mqtt; do
  check "$f is an executable owned by root" \
    test -x "$f" -a "$(stat -c %U "$f")" = root
done
for f in /lib/systemd/system/qor-mdu@.service \
  /lib/systemd/system/infodriver@.service /lib/systemd/system/qor-trapd.service \
  /usr/share/man/man8/qor_mdu.8.gz /usr/share/man/man8/infodriver.8.gz \
  /usr/share/man/man8/qor_trapd.8.gz /usr/share/man/man1/infoctl.1.gz \
  /lib/systemd/system/qor-web.service /usr/share/man/man8/qor_web.8.gz \
  /etc/default/qor-web /usr/share/doc/qor-mdu/qor_mdu.rules.yml \
  /usr/share/doc/qor-mdu/alertmanager.yml /usr/share/doc/qor-mdu/qor_mdu.json \
  /lib/systemd/system/qor-mqtt.service /usr/share/man/man8/qor_mqtt.8.gz \
  $sim/mdu.data $sim/mdu_agent.sh $sim/send_trap.sh \
  /lib/systemd/system/qor-mdu-sim@.service /usr/share/doc/qor-mdu/README.md.gz \
  /usr/share/doc/qor-mdu/copyright; do
  check "$f" test -s "$f"
done
check "/etc/zarn_config.ini points ConfigPath at /etc/zarn" \
  grep -qx 'ConfigPath=/etc/zarn' /etc/zarn_config.ini
check "/etc/zarn_config.ini is a conffile" \
  grep -q '^ /etc/zarn_config.ini ' <(dpkg-query -W -f='${Conffiles}\n' qor-mdu)
check "system user zarn" test "$(id -u zarn)" -lt 1000
check "group zarn" getent group zarn
check "zarn has no login shell" \
  test "$(getent passwd zarn | cut -d: -f7)" = /usr/sbin/nologin
check "/etc/zarn belongs to zarn" owner_is /etc/zarn zarn:zarn
check "/var/log/zarnlogs belongs to zarn" owner_is /var/log/zarnlogs zarn:zarn
check "every installed file is in the package list" \
  bash -c 'dpkg -L qor-mdu | while read -r f; do [ -e "$f" ] || exit 1; done'
if command -v man >/dev/null; then
  check "man qor_mdu shows the exit codes" \
    bash -c 'man 8 qor_mdu 2>/dev/null | grep -q "EXIT STATUS"'
fi
if command -v systemd-analyze >/dev/null; then
  check "systemd-analyze verify of the units" \
    bash -c 'out=$(systemd-analyze verify /lib/systemd/system/qor-mdu@.service \
      /lib/systemd/system/infodriver@.service \
      /lib/systemd/system/qor-trapd.service \
      /lib/systemd/system/qor-mqtt.service \
      /lib/systemd/system/qor-mdu-sim@.service 2>&1) && [ -z "$out" ] \
      || { echo "$out"; exit 1; }'
fi

for p in $programs; do
  check "$p --help and --version answer on standard output with 0" \
    bash -c "/usr/bin/$p --help | grep -qi usage && /usr/bin/$p --version | grep -qx '$p [0-9.]*'"
done
# Each man page's EXIT STATUS against what the program does: PROGRAM
# SECTION CODE, words of that code's entry, then the arguments.
exit_entry() {  # the text the man page gives for one exit status
  zcat "/usr/share/man/man$2/$1.$2.gz" | sed -n '/^\.SH EXIT STATUS/,/^\.SH [A-Z]/p' |
    awk -v code="$3" '/^\.B [0-9]+$/ {c = $2; next} /^[0-9]+ / {c = $1}
                      /^\.(TP|SH)/ {c = ""; next} c == code' | tr '\n' ' '
}
documents() { [ "$1" = "$2" ] && grep -qi "$3" <<<"$4"; }
mkdir -m 0700 "$work/run"
while IFS='|' read -r program section code words args; do
  # shellcheck disable=SC2086
  ZARN_RUNTIME_DIR="$work/run" "/usr/bin/$program" $args >/dev/null 2>&1 </dev/null
  got=$?
  entry=$(exit_entry "$program" "$section" "$code")
  check "$program $args: exit $code ($got), as $program($section) says" \
    documents "$got" "$code" "$words" "$entry"
done <<'EOF'
qor_mdu|8|255|device number|x
qor_mdu|8|255|cannot be reached|7
infodriver|8|2|device number|x
infoctl|1|2|usage|frob 7
infoctl|1|3|no infodriver|ping 7
qor_trapd|8|1|command line|x
qor_web|8|2|command line|--bogus
qor_mqtt|8|2|usage|--bogus
EOF
check "qor_mqtt --help lists every option" \
  bash -c 'h=$(/usr/bin/qor_mqtt --help) && for o in --broker --site \
    --allow-control --settings --help; do grep -q -- "$o" <<<"$h" || exit 1; done'

echo "== a simulated unit"
# The unit's community is the driver's default; port 161 as in a plant.
"$sim/mdu_agent.sh" --address $unit_address --community ziriru --unit 1 \
  --location "Package test rack" --dir "$work/agent" >"$work/agent.out" 2>&1 &
agent_pid=$!
check "agent answers on $unit_address" wait_for 20 \
  snmpget -v1 -c ziriru -r 0 -t 1 $unit_address 1.3.6.1.4.1.6853.2.4.0
install -o zarn -g zarn -m 0640 /dev/null /etc/zarn/dev_001.ini
printf '[QOR_MDU_1]\nSNMPAddress=%s\n' $unit_address >/etc/zarn/dev_001.ini

echo "== the installed programs as zarn"
# Not under $work: zarn may not pass through root's private folder.
rundir=$(mktemp -d /tmp/qor-installed-run.XXXXXX)
chown zarn:zarn "$rundir"
zarn=(setpriv --reuid=zarn --regid=zarn --init-groups env ZARN_RUNTIME_DIR="$rundir")
"${zarn[@]}" infodriver 1 2>"$work/infodriver.err" &
infodriver_pid=$!
check "infodriver serves its socket" wait_for 10 test -S "$rundir/infodriver-1.sock"
# Traps on a free high port: zarn has no right to 162 outside the unit.
"${zarn[@]}" ZARN_SNMP_TRAP_PORT=16262 qor_mdu 1 >"$work/driver.out" 2>&1 &
driver_pid=$!
check "driver publishes the unit's location" \
  wait_for 30 slot_is 98 "Package test rack"
check "slot 99 says the unit answers" wait_for 30 slot_is 99 0
check "infodriver runs as zarn" test "$(user_of $infodriver_pid)" = zarn
check "driver runs as zarn" test "$(user_of $driver_pid)" = zarn
check "the driver rewrote its settings with every key" \
  grep -q '^PollDelay=1000' /etc/zarn/dev_001.ini
check "the driver logs in /var/log/zarnlogs as zarn" \
  bash -c 'ls /var/log/zarnlogs/*_Qor_Mdu_1.log >/dev/null &&
           [ "$(stat -c %U /var/log/zarnlogs/*_Qor_Mdu_1.log | sort -u)" = zarn ]'
kill -TERM $infodriver_pid
wait $infodriver_pid
check "infodriver ends with 0 on SIGTERM" test $? -eq 0
if ! wait_for 30 bash -c "! kill -0 $driver_pid"; then
  fail "driver did not end when its infodriver went"
  kill -KILL $driver_pid
fi
wait $driver_pid
code=$?
check "driver ends with 0 when its infodriver goes (got $code)" test $code -eq 0
grep -q 'Driver Closing' /var/log/zarnlogs/*_Qor_Mdu_1.log
check "driver wrote its closing line" test $? -eq 0

manual_rundir=$rundir

if [ "$with_systemd" = --systemd ]; then
  echo "== the units under systemd"
  rundir=/run/zarn
  zarn=(setpriv --reuid=zarn --regid=zarn --init-groups env ZARN_RUNTIME_DIR="$rundir")
  main_pid() { systemctl show -p MainPID --value "$1"; }
  active() { [ "$(systemctl is-active "$1")" = active ]; }
  inactive() { [ "$(systemctl is-active "$1")" = inactive ]; }
  status_is() { [ "$(systemctl show -p StatusText --value qor-mdu@1)" = "$1" ]; }
  new_main_pid() {  # new_main_pid OLD: running again under another pid
    local pid
    pid=$(main_pid qor-mdu@1)
    [ "$pid" != 0 ] && [ "$pid" != "$1" ] && active qor-mdu@1
  }
  # The machine's own agent and trap receiver, if it has them, would hold
  # the ports of a plant's host.
  systemctl stop snmpd.service snmptrapd.socket snmptrapd.service 2>/dev/null

  check "systemctl enable --now qor-mdu@1" systemctl enable --now qor-mdu@1
  check "infodriver@1 is active" active infodriver@1
  check "qor-mdu@1 reached READY (active)" active qor-mdu@1
  check "STATUS shows the unit answering" \
    wait_for 30 status_is "1 of 1 units answering"
  check "slot 99 says the unit answers" wait_for 30 slot_is 99 0
  # Asking for what output 1 already is changes nothing, and is recorded.
  check "slot 41 holds output 1's state" wait_for 30 slot_set 41
  as_zarn infoctl set 1 41 "$(slot 41)" >/dev/null 2>&1
  check "the request is in the device's audit trail" wait_for 10 \
    bash -c 'infoctl audit 1 | grep -q "\"point\":\"output/1\".*\"outcome\":\"confirmed\""'
  driver=$(main_pid qor-mdu@1)
  check "driver runs as zarn" test "$(user_of "$driver")" = zarn
  check "infodriver runs as zarn" \
    test "$(user_of "$(main_pid infodriver@1)")" = zarn
  # CAP_NET_BIND_SERVICE is bit 10; nothing else may be effective.
  check "the driver's one capability is CAP_NET_BIND_SERVICE" \
    grep -qx 'CapEff:	0000000000000400' /proc/"$driver"/status
  check "the infodriver has no capability" \
    grep -qx 'CapEff:	0000000000000000' /proc/"$(main_pid infodriver@1)"/status
  check "the driver takes traps on port 162" \
    bash -c "ss -Hlunp 'sport = :162' | grep -q 'pid=$driver,'"
  check "debug list lines reach the journal at info priority" wait_for 10 \
    bash -c 'journalctl -q -u qor-mdu@1 -p info -o cat | grep -q "Connected OK to infodriver 1"'
  check "no raw priority prefix in the journal" \
    bash -c '! journalctl -q -u qor-mdu@1 -o cat | grep -q "^<[0-7]>"'

  # A unit that stops answering shows in STATUS.
  kill "$agent_pid"
  wait "$agent_pid" 2>/dev/null
  agent_pid=""
  check "STATUS follows a unit that goes silent" \
    wait_for 60 status_is "0 of 1 units answering"

  kill -KILL "$driver"
  check "a driver killed with SIGKILL is started again" \
    wait_for 30 new_main_pid "$driver"

  # A short watchdog, so that the stall shows soon.
  mkdir -p /run/systemd/system/qor-mdu@1.service.d
  printf '[Service]\nWatchdogSec=3\n' \
    >/run/systemd/system/qor-mdu@1.service.d/watchdog.conf
  systemctl daemon-reload
  systemctl restart qor-mdu@1
  check "driver is back with a 3 s watchdog" wait_for 30 active qor-mdu@1
  sleep 4  # a few keep-alives: a running loop is not restarted
  driver=$(main_pid qor-mdu@1)
  check "a turning loop keeps the watchdog quiet" \
    test "$(systemctl show -p NRestarts --value qor-mdu@1)" = 0
  kill -STOP "$driver"
  check "a stalled loop (SIGSTOP) is restarted by the watchdog" \
    wait_for 60 new_main_pid "$driver"
  # Nothing but the watchdog ends a stopped process here.
  check "systemd counts the restart" \
    test "$(systemctl show -p NRestarts --value qor-mdu@1)" -ge 1

  systemctl stop infodriver@1
  check "stopping the infodriver stops the driver" wait_for 30 inactive qor-mdu@1
  sleep 5  # longer than RestartSec: the stopped driver must stay stopped
  check "and the driver stays stopped" inactive qor-mdu@1

  systemctl start qor-mdu@1
  check "qor-mdu@1 starts again (infodriver first)" wait_for 30 active qor-mdu@1
  check "infodriver@1 came with it" active infodriver@1

  # The web page of device 1, read-only, on a port of its own.
  web_port=$((20000 + RANDOM % 20000))
  sed -i "s|^QOR_WEB_OPTIONS=.*|QOR_WEB_OPTIONS=\"--listen 127.0.0.1:$web_port\"|" \
    /etc/default/qor-web
  # The unit's agent is gone by now: the unit is listed, not answering.
  web_units() {
    curl -sf "http://127.0.0.1:$web_port/api/v1/units" | grep -Eq '"unit":1[,}]' &&
      curl -sf "http://127.0.0.1:$web_port/api/v1/devices" | grep -q '"driver_connected":true'
  }
  web_post() {
    curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Content-Type: application/json' \
      -d '{"value":"0"}' "http://127.0.0.1:$web_port/api/v1/units/$(hostname)/1/1/control/output/1"
  }
  check "systemctl start qor-web" systemctl start qor-web
  check "qor-web reached READY (active)" wait_for 30 active qor-web
  check "qor-web runs as zarn" test "$(user_of "$(main_pid qor-web)")" = zarn
  check "qor-web shows unit 1 of the running driver" wait_for 30 web_units
  check "qor-web is read-only without a token (403)" test "$(web_post)" = 403
  check "qor-web serves the page" \
    bash -c "curl -sf http://127.0.0.1:$web_port/ | grep -q '<title>'"

  echo "== upgrade, reinstall, policy-rc.d, remove"
  broker_port=$((20000 + RANDOM % 20000))
  mosquitto -p "$broker_port" >"$work/broker.out" 2>&1 &
  broker_pid=$!
  echo "QOR_MQTT_ARGS=\"--broker 127.0.0.1:$broker_port 1\"" >/etc/default/qor-mqtt
  # A policy of the machine's (an image's "exit 101") would decide for us.
  if [ -e "$policy" ]; then mv "$policy" "$work/policy-rc.d"; fi
  services="qor-mdu@1 infodriver@1 qor-trapd qor-web qor-mqtt"
  all_active() { for s in $services; do active "$s" || return 1; done; }
  main_pids() { for s in $services; do main_pid "$s"; done; }
  systemctl enable --now qor-web qor-trapd qor-mqtt >/dev/null 2>&1
  # The installed simulated unit stands in for the one that went silent.
  systemctl start qor-mdu-sim@1
  check "qor-mdu-sim@1 is a unit the driver reads" \
    wait_for 60 status_is "1 of 1 units answering"
  check "qor-mdu@1, qor-trapd, qor-web and qor-mqtt run" wait_for 30 all_active
  check "qor-trapd is ready with the port and says whom it serves" wait_for 30 \
    test "$(systemctl show -p StatusText --value qor-trapd)" = \
    "traps of UDP port 162 go to 1 driver"
  before=$(main_pids)
  check "apt-get install: the upgrade" apt_get install "$deb"
  check "an upgrade leaves them running" wait_for 30 all_active
  check "and restarted with the new programs" \
    test -z "$(comm -12 <(sort <<<"$before") <(main_pids | sort))"
  own_policy=1
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  before=$(main_pids)
  check "apt-get install --reinstall under the policy" \
    apt_get install --reinstall "$deb"
  check "a policy-rc.d that forbids starts is respected" \
    test "$(main_pids)" = "$before"
  rm "$policy"
  own_policy=""
  check "apt-get install --reinstall" apt_get install --reinstall "$deb"
  check "a reinstall leaves them running" wait_for 30 all_active
  check "apt-get remove qor-mdu" apt_get remove qor-mdu
  check "remove stopped the simulated unit" inactive qor-mdu-sim@1
  for p in $programs; do
    check "remove left no $p running" bash -c "! pgrep -u zarn -x $p"
  done
fi

echo "== purge"
check "apt-get purge qor-mdu" apt_get purge qor-mdu
for f in /usr/bin/qor_mdu /usr/bin/infodriver /usr/bin/infoctl /usr/bin/qor_trapd \
  /usr/bin/qor_web /lib/systemd/system/qor-web.service /etc/default/qor-web \
  /lib/systemd/system/qor-trapd.service /lib/systemd/system/qor-mdu@.service /lib/systemd/system/infodriver@.service \
  /usr/share/qor-mdu /usr/share/man/man8/qor_mdu.8.gz /etc/zarn_config.ini \
  /etc/zarn /var/log/zarnlogs /run/zarn \
  /etc/systemd/system/multi-user.target.wants/qor-mdu@1.service; do
  check "purge removed $f" test ! -e "$f"
done
for p in $programs; do
  check "purge left no $p running" bash -c "! pgrep -u zarn -x $p"
done

if [ $failures -ne 0 ]; then
  echo "== $failures check(s) failed"
  tail -20 "$work/apt.log"
  for f in "$work"/*.out "$work"/*.err; do
    [ -s "$f" ] && { echo "--- $f"; tail -20 "$f"; }
  done
  [ "$with_systemd" = --systemd ] && journalctl -q --no-pager -n 60 \
    -u qor-mdu@1 -u infodriver@1
  exit 1
fi
echo "== package: every check passed"
