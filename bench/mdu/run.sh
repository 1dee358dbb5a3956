#!/bin/bash
# CPU cost of one polled value through the MDU model (handleValue ->
# storeSlot -> slot write buffer -> drain -> updateSlot), as instructions
# (callgrind, stable on a busy machine) and as wall time, with the link on
# an in-memory infodriver and, when the infodriver program is built, on the
# real infodriver over its socket.
#
#   bench/mdu/run.sh [BUILD_DIR]      (default: build-bench, Release)
set -eu

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="${1:-$root/build-bench}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac

if [ ! -f "$build/build.ninja" ]; then
  (cd "$root" && cmake --preset bench -B "$build" -DQOR_BUILD_TESTS=ON >/dev/null)
fi
cmake --build "$build" --target mdu_value_bench infodriver >/dev/null
bench="$build/bench/mdu_value_bench"

echo "== wall time, in-memory infodriver"
"$bench" --passes 5000

echo "== instructions (callgrind), in-memory infodriver"
out=$(mktemp -d)
trap 'rm -rf "$out"; [ -n "${infodriver_pid:-}" ] && kill "$infodriver_pid" 2>/dev/null; true' EXIT
valgrind --tool=callgrind --toggle-collect='*RunPasses*' \
  --callgrind-out-file="$out/cg.out" "$bench" --passes 200 >"$out/run.txt" 2>/dev/null
values=$(sed -n 's/^values measured.*: //p' "$out/run.txt")
ir=$(sed -n 's/^summary: //p' "$out/cg.out" | awk '{print $1}')
[ -n "$ir" ] || ir=$(sed -n 's/^totals: //p' "$out/cg.out" | awk '{print $1}')
echo "instructions per polled value: $((ir / values)) ($ir Ir over $values values)"

infodriver_bin=$(find "$build/tools/infodriver" -maxdepth 1 -type f -name infodriver -perm -u+x 2>/dev/null | head -1)
if [ -n "$infodriver_bin" ]; then
  echo "== wall time, real infodriver over its socket"
  export ZARN_RUNTIME_DIR="$out/run"
  mkdir -m 0700 "$ZARN_RUNTIME_DIR"
  "$infodriver_bin" 9 >/dev/null 2>&1 &
  infodriver_pid=$!
  for _ in $(seq 100); do
    [ -S "$ZARN_RUNTIME_DIR/infodriver-9.sock" ] && break
    sleep 0.05
  done
  "$bench" --passes 200 --socket 9
fi
