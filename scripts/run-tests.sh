#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite in each
# configuration (default: ci = optimised with warnings as errors, asan =
# AddressSanitizer + UndefinedBehaviorSanitizer, tsan = the asynchronous
# tests under ThreadSanitizer, in random order, then the timing-sensitive
# suites (proxy, routers, soak) once more in another random order). Pass
# preset names to choose.
# The last line is "N passed, N failed" over all configurations.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh || exit 1

status=0
total_passed=0
total_failed=0

# Runs ctest with the given arguments and adds its counts to the totals.
run_ctest() {
  local log
  log=$(mktemp)
  ctest "$@" -j 2 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # "N% tests passed, F tests failed out of T"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local failed total
    failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    total_passed=$((total_passed + total - failed))
    total_failed=$((total_failed + failed))
  elif [ "$rc" -ne 0 ]; then
    total_failed=$((total_failed + 1))
  fi
  rm -f "$log"
  return "$rc"
}

run_config() {
  local preset=$1
  echo "=== configuration: $preset"
  # A configuration that does not build counts as one failure.
  if ! cmake --preset "$preset" || ! cmake --build --preset "$preset" -j "$(nproc)"; then
    total_failed=$((total_failed + 1))
    return 1
  fi
  if [ "$preset" != tsan ]; then
    run_ctest --preset "$preset"
    return
  fi
  # Tests that wait on threads, sockets and timers: an order other than the
  # usual one and a second run are where a race or a timing assumption shows.
  local rc=0
  run_ctest --preset tsan --schedule-random || rc=1
  echo "=== configuration: tsan, the proxy, router and soak suites again"
  run_ctest --preset tsan --schedule-random -L 'proxy|router|soak' || rc=1
  return "$rc"
}

presets=("$@")
[ "${#presets[@]}" -gt 0 ] || presets=(ci asan tsan)
for preset in "${presets[@]}"; do
  run_config "$preset" || status=1
done

echo "${total_passed} passed, ${total_failed} failed"
exit "$status"
