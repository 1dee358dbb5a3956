#!/usr/bin/env bash
# Installs the Debian packages the driver needs to build, test and run its
# demo. Sourced by test.sh and demo.sh. As root it installs; with sudo it
# uses sudo; otherwise it prints the one apt-get line to run and fails.
qor_packages="cmake ninja-build g++ pkg-config libsnmp-dev libncurses-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev snmpd snmp tmux procps
  nlohmann-json3-dev libmosquitto-dev mosquitto mosquitto-clients"
# qor_web: its HTTP library; SHA-256 for its tokens; the browser test's chromium (driven by
# puppeteer-core from npm); promtool (prometheus) for the metrics and alert
# rules, and prometheus itself for the dashboard's queries; amtool
# (prometheus-alertmanager) for the example Alertmanager configuration;
# python3-jsonschema for the Home Assistant discovery configs; zlib to send
# the page's files compressed; snmp_exporter for the side-by-side
# benchmark; curl for the package test of qor-web.
qor_web_packages="libmicrohttpd-dev libssl-dev zlib1g-dev chromium prometheus
  prometheus-alertmanager python3-jsonschema prometheus-snmp-exporter curl"
# The Debian package's build (scripts/package.sh) and its test
# (tests/package: the box runs on systemd, ss checks the trap port).
qor_package_packages="dpkg-dev debhelper lintian pkgconf fakeroot systemd
  iproute2 util-linux"

qor_install_deps() {
  # A node from elsewhere (nodesource) brings its own npm; Debian's would
  # conflict with it.
  local node=""
  command -v npm >/dev/null 2>&1 || node="nodejs npm"
  # shellcheck disable=SC2086
  qor_install_packages $qor_packages $qor_web_packages $node
}

# Installs the named Debian packages that are missing, with the rules above.
qor_install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
      sudo="sudo"
    else
      echo "Missing packages. Run this once, then run the command again:" >&2
      echo "sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
      return 1
    fi
  fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  # A policy-rc.d that refuses keeps the package from starting a system
  # snmpd on port 161 (or a system mosquitto on 1883): the tests and the
  # demo run their own agents and brokers.
  local policy=/usr/sbin/policy-rc.d made_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod +x "$policy"
    made_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
  local rc=$?
  [ -n "$made_policy" ] && $sudo rm -f "$policy"
  return $rc
}
