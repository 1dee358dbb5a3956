#!/bin/bash
# Sends one trap of a simulated MDU with net-snmp's snmptrap, from the
# unit's own address (--clientaddr), so the driver takes it for that unit.
#
#   send_trap.sh --from ADDR [--to HOST[:PORT]] [--community C] [--v1]
#                KIND [ARGS...]
#
#   --from ADDR    the unit's address (required)
#   --to HOST[:PORT]  the driver's trap receiver; default 127.0.0.1 on the
#                  port in ZARN_SNMP_TRAP_PORT, else 162
#   --community C  default public
#   --v1           an SNMPv1 trap (default SNMPv2c)
#   --inform       an SNMPv2c inform: fails (exit 1) unless it is answered
#
#   KIND:
#     temp-alarm TEMP        temperature alarm (enterprise trap 5)
#     temp-normal TEMP       temperature normal again (trap 6)
#     alarm TABLEINDEX TYPE INDEX STATE POLARITY
#                            alarm row changed (trap 4); TYPE 2 GPI, 3 fuse
#     power TEXT             power inlet status (trap 7)
#     mdu NUMBER             an enterprise trap with no bindings of its own
#     cold-start | warm-start | link-down
#     link-up IFINDEX
#
# In the SNMPv2 form binding 1 is sysUpTime.0 and binding 2 snmpTrapOID.0;
# the unit's bindings follow from binding 3 in the order the driver reads
# them. An SNMPv1 trap carries the same bindings; the driver's SNMP layer
# turns it into the same form.
set -u

enterprise=.1.3.6.1.4.1.6853
from=""
to=""
community=public
version=2c
inform=0

die() {
  echo "send_trap.sh: $*" >&2
  exit 2
}
usage() {
  sed -n '2,28p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
number() { [[ "$1" =~ ^-?[0-9]+$ ]] || die "'$1' is not a whole number"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --from) from="${2:-}"; shift 2 || usage ;;
    --to) to="${2:-}"; shift 2 || usage ;;
    --community) community="${2:-}"; shift 2 || usage ;;
    --v1) version=1; shift ;;
    --inform) inform=1; shift ;;
    -h|--help) usage ;;
    --*) die "unknown option '$1' (try --help)" ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || usage
[[ "$from" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] \
  || die "--from must be the unit's IPv4 address"
[ -n "$community" ] || die "--community must not be empty"
[ "$inform" = 1 ] && [ "$version" = 1 ] && die "--inform is SNMPv2c only"
if [ -z "$to" ]; then
  to="127.0.0.1:${ZARN_SNMP_TRAP_PORT:-162}"
elif [[ "$to" != *:* ]]; then
  to="$to:${ZARN_SNMP_TRAP_PORT:-162}"
fi

kind="$1"
shift
bindings=()
generic=6     # SNMPv1 generic trap number; 6 = enterprise specific
specific=0
trap_oid=""
case "$kind" in
  temp-alarm|temp-normal)
    [ $# -eq 1 ] || die "$kind needs TEMP"
    number "$1"
    specific=5
    [ "$kind" = temp-normal ] && specific=6
    bindings=("$enterprise.2.5.0" i "$1") ;;
  alarm)
    [ $# -eq 5 ] || die "alarm needs TABLEINDEX TYPE INDEX STATE POLARITY"
    for v in "$@"; do number "$v"; done
    specific=4
    row="$1"
    bindings=("$enterprise.2.2.1.1.$row" i "$1"
              "$enterprise.2.2.1.2.$row" i "$2"
              "$enterprise.2.2.1.3.$row" i "$3"
              "$enterprise.2.2.1.4.$row" s "Alarm $row"
              "$enterprise.2.2.1.5.$row" i "$4"
              "$enterprise.2.2.1.6.$row" i "$5") ;;
  power)
    [ $# -eq 1 ] || die "power needs TEXT"
    specific=7
    bindings=("$enterprise.3.5.0" s "$1") ;;
  mdu)
    [ $# -eq 1 ] || die "mdu needs NUMBER"
    number "$1"
    specific="$1" ;;
  cold-start) generic=0; trap_oid=.1.3.6.1.6.3.1.1.5.1 ;;
  warm-start) generic=1; trap_oid=.1.3.6.1.6.3.1.1.5.2 ;;
  link-down) generic=2; trap_oid=.1.3.6.1.6.3.1.1.5.3 ;;
  link-up)
    [ $# -eq 1 ] || die "link-up needs IFINDEX"
    number "$1"
    generic=3
    trap_oid=.1.3.6.1.6.3.1.1.5.4
    bindings=(".1.3.6.1.2.1.2.2.1.1.$1" i "$1") ;;
  *) die "unknown trap kind '$kind' (try --help)" ;;
esac
[ -n "$trap_oid" ] || trap_oid="$enterprise.0.$specific"

state="${TMPDIR:-/tmp}/zarn-mdu-sim/snmptrap-state"
mkdir -p "$state" 2>/dev/null
export SNMP_PERSISTENT_DIR="$state"
export MIBS=""
export MIBDIRS=/dev/null

if [ "$version" = 1 ]; then
  exec /usr/bin/snmptrap -v 1 -c "$community" -M /dev/null -m "" \
    --clientaddr="$from" "$to" "$enterprise" "$from" "$generic" "$specific" \
    "" "${bindings[@]}"
elif [ "$inform" = 1 ]; then
  exec /usr/bin/snmptrap -Ci -r 1 -t 3 -v 2c -c "$community" -M /dev/null \
    -m "" --clientaddr="$from" "$to" "" "$trap_oid" "${bindings[@]}"
else
  exec /usr/bin/snmptrap -v 2c -c "$community" -M /dev/null -m "" \
    --clientaddr="$from" "$to" "" "$trap_oid" "${bindings[@]}"
fi
