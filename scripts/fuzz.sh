#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour
# sanitizers) and runs each for SECONDS (default 30) on a copy of its seed
# corpus in fuzz/corpus/, so the tree's corpus never grows. One line per
# target; exits non-zero when any target finds a crash, a leak or undefined
# behaviour (the input that did it is kept in build-fuzz/fuzz-out/). The
# regression tests of earlier findings (fuzz/regressions) run first, under
# the same sanitizers.
#
#   scripts/fuzz.sh [SECONDS]
#
# A single target: FUZZ_TARGETS="profile_file_fuzzer" scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

. scripts/deps.sh
qor_install_deps

# clang and libFuzzer's runtime, with the same root/sudo rules as the
# project's own packages.
qor_install_packages clang libclang-rt-14-dev || exit 1

build=build-fuzz
# The fuzz preset: every library the targets link carries coverage and the
# sanitizers; -O1 without NDEBUG keeps the code's own checks.
cmake --preset fuzz -B "$build" >/dev/null
jobs=$(nproc 2>/dev/null || echo 2)
cmake --build "$build" --target fuzzers fuzz_regressions -j"$jobs"

targets="${FUZZ_TARGETS:-format_value_fuzzer profile_file_fuzzer \
infodriver_link_fuzzer infodriver_server_fuzzer slot_change_fuzzer \
snmp_inbound_fuzzer unit_view_fuzzer}"
out="$build/fuzz-out"
rm -rf "$out"
mkdir -p "$out"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
# The regression tests of earlier findings, under clang's sanitizers.
for test in $(find "$build/fuzz/regressions" -type f -perm -u+x \
                -name 'fuzz_regression_*' | sort); do
  name=$(basename "$test")
  # In a subshell, so that an abort is reported in the log, not here.
  if ("$test" || exit $?) >"$out/$name.log" 2>&1; then
    echo "$name: ok"
  else
    status=1
    echo "$name: FAILED: $(grep -m1 -E 'runtime error|ERROR: |Failure' \
      "$out/$name.log" || true)"
    echo "  log: $out/$name.log"
  fi
done

for t in $targets; do
  corpus="$out/corpus/$t"
  mkdir -p "$corpus" "$out/$t"
  [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$corpus/"
  log="$out/$t.log"
  if ("$build/fuzz/$t" -max_total_time="$seconds" -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/$t/" "$corpus" || exit $?) >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
    echo "$t: ok, ${runs:-?} runs in ${seconds}s, coverage ${cov:-?}"
  else
    status=1
    what=$(grep -m1 -E 'FUZZ CHECK FAILED|ERROR: [A-Za-z]+Sanitizer|runtime error|ERROR: libFuzzer' \
      "$log" || true)
    echo "$t: FAILED: ${what:-see $log}"
    echo "  input: $(ls "$out/$t"/* 2>/dev/null | head -1), log: $log"
  fi
done

# A target that crashed leaves its scratch directory (NAME_PID) behind.
for dir in /dev/shm/qor_*_fuzz_* /tmp/qor_*_fuzz_*; do
  [ -d "$dir" ] || continue
  pid="${dir##*_}"
  kill -0 "$pid" 2>/dev/null || rm -rf "$dir"
done
exit $status
