#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite in each
# configuration (default: ci = optimised with warnings as errors, asan =
# AddressSanitizer + UndefinedBehaviorSanitizer, tsan = the asynchronous
# tests under ThreadSanitizer). Pass preset names to choose.
# The last line is "N passed, N failed" over all configurations.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh || exit 1

status=0
total_passed=0
total_failed=0

run_config() {
  local preset=$1
  echo "=== configuration: $preset"
  # A configuration that does not build counts as one failure.
  if ! cmake --preset "$preset" || ! cmake --build --preset "$preset" -j "$(nproc)"; then
    total_failed=$((total_failed + 1))
    return 1
  fi
  local log
  log=$(mktemp)
  ctest --preset "$preset" -j 2 2>&1 | tee "$log"
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
  fi
  rm -f "$log"
  return "$rc"
}

presets=("$@")
[ "${#presets[@]}" -gt 0 ] || presets=(ci asan tsan)
for preset in "${presets[@]}"; do
  run_config "$preset" || status=1
done

echo "${total_passed} passed, ${total_failed} failed"
exit "$status"
