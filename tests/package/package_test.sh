#!/usr/bin/env bash
# The package as a user gets it: builds qor-mdu with scripts/package.sh (or
# takes the .deb given), then runs installed_test.sh against it - inside a
# throwaway systemd (systemd_box.sh: an overlay of this machine's root in
# private namespaces, so nothing lands on the machine) when one can boot,
# which adds the service checks; otherwise straight on this machine, which
# is then expected to be a fresh one (CI), with the service checks skipped.
#
#   tests/package/package_test.sh [PACKAGE.deb]      (as root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "package test: needs root (installs a package, adds a user) - skipped"
  exit 0
fi

deb=${1:-}
if [ -z "$deb" ]; then
  echo "== package: building"
  deb=$("$root/scripts/package.sh" | tail -1)
fi
deb=$(readlink -f "$deb")
echo "== package: $deb"

box_dir=""
box_pid=""
cleanup() {
  if [ -n "$box_pid" ]; then "$here/systemd_box.sh" stop "$box_pid" || true; fi
  if [ -n "$box_dir" ]; then
    # The box's tmpfs goes with its namespace; wait for that, then tidy.
    for _ in $(seq 1 50); do
      kill -0 "$box_pid" 2>/dev/null || break
      sleep 0.2
    done
    rmdir "$box_dir" 2>/dev/null || true
    rm -f "$box_dir.log"
  fi
}
trap cleanup EXIT

box_dir=$(mktemp -d /tmp/qor-package-box.XXXXXX)
if box_pid=$("$here/systemd_box.sh" start "$box_dir" 2>/dev/null) && [ -n "$box_pid" ]; then
  echo "== package: inside a throwaway systemd (pid $box_pid)"
  box() { "$here/systemd_box.sh" run "$box_pid" "$@"; }
  box mkdir -p /root/qor-package-test
  box sh -c 'cat > /root/qor-package-test/qor-mdu.deb' <"$deb"
  box sh -c 'cat > /root/qor-package-test/installed_test.sh' \
    <"$here/installed_test.sh"
  box bash /root/qor-package-test/installed_test.sh \
    /root/qor-package-test/qor-mdu.deb --systemd
else
  # A systemd that is still there but did not come up is a failure (and is
  # ended); only where none can run at all does the test install on this
  # machine, which is then a fresh one, and skip the service checks.
  leftover=$(pgrep -f "unshare --pid --fork --mount --net --propagation private bash -c.*$box_dir" || true)
  if [ -n "$leftover" ]; then
    echo "FAIL package: the box's systemd did not come up; see its log:"
    tail -20 "$box_dir.log"
    # The namespace's PID 1 first: everything in the box goes with it.
    kill -KILL $(pgrep -P "$leftover") $leftover 2>/dev/null
    exit 1
  fi
  echo "== package: systemd cannot run here ($(tail -1 "$box_dir.log" 2>/dev/null));"
  echo "   installing on this machine; the service checks are SKIPPED"
  rm -rf "$box_dir" "$box_dir.log"
  box_dir=""
  bash "$here/installed_test.sh" "$deb"
fi
