#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite in each
# configuration (default: ci = optimised with warnings as errors, asan =
# AddressSanitizer + UndefinedBehaviorSanitizer, tsan = the asynchronous
# tests under ThreadSanitizer, in random order, then the timing-sensitive
# suites (proxy, routers, soak) once more in another random order; libcxx =
# clang 16 with libc++ 16, as Apple's toolchain builds, warnings as errors;
# windows = the Windows build, cross-compiled with mingw-w64, its tests under Wine).
# Pass preset names to choose.
# The last line is "N passed, N failed" over all configurations; the line
# before it gives the counts of each.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh || exit 1

status=0
total_passed=0
total_failed=0
counts=()

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
  if [ "$preset" = windows ]; then
    run_windows
    return
  fi
  if [ "$preset" = libcxx ]; then
    # Its C++ dependencies built against libc++ (once, then cached).
    OSSARA_LIBCXX_PREFIX=$(./scripts/build-libcxx-deps.sh | tail -n 1)
    export OSSARA_LIBCXX_PREFIX
  fi
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

# The Windows build: its dependencies (cross-built once, then cached) and the
# build itself. When other configurations run first, this runs beside them at
# the lowest priority (SCHED_IDLE: a build is not timing-sensitive; the tests are), so
# that it costs their time only where a core would be idle.
windows_log=$(mktemp)
windows_prefix_file=$(mktemp)
build_windows() {
  local prefix
  prefix=$(./scripts/build-windows-deps.sh | tail -n 1)
  [ -d "$prefix" ] || return 1
  echo "$prefix" >"$windows_prefix_file"
  OSSARA_WINDOWS_PREFIX=$prefix cmake --preset windows && OSSARA_WINDOWS_PREFIX=$prefix cmake --build --preset windows -j "$(nproc)"
}
windows_build_pid=""
start_windows_build() {
  chrt --idle 0 nice -n 19 bash -c "$(declare -f build_windows); windows_prefix_file=$windows_prefix_file; build_windows" \
    >"$windows_log" 2>&1 &
  windows_build_pid=$!
}

# The Windows tests run under one persistent Wine server (a Wine start per
# test costs 4 s otherwise).
run_windows() {
  [ -n "$windows_build_pid" ] || start_windows_build
  local built=0
  wait "$windows_build_pid" || built=1
  cat "$windows_log"
  if [ "$built" -ne 0 ]; then
    echo "=== the Windows build failed"
    total_failed=$((total_failed + 1))
    return 1
  fi
  export OSSARA_WINDOWS_PREFIX
  OSSARA_WINDOWS_PREFIX=$(cat "$windows_prefix_file")
  WINEDEBUG=-all wineserver -p
  WINEDEBUG=-all wine cmd /c exit >/dev/null 2>&1  # creates the Wine prefix on a first run
  # With Wine's debugger attached to a crash, the crashed test can exit 0
  # (a pass to ctest) or hang until its timeout; without it, a crash ends the
  # process at once with a failure code.
  WINEDEBUG=-all wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
    >/dev/null 2>&1 || true
  local rc=0
  run_ctest --preset windows || rc=1
  # veilrelay.exe end to end, against the development router of the ci build.
  if [ -d build/ci ]; then
    echo "=== windows: veilrelay.exe keys generate, info and chat against the development router"
    if ./scripts/run-windows-smoke.sh; then
      total_passed=$((total_passed + 1))
    else
      total_failed=$((total_failed + 1))
      rc=1
    fi
  fi
  wineserver -k || true
  return "$rc"
}

presets=("$@")
[ "${#presets[@]}" -gt 0 ] || presets=(ci asan tsan libcxx windows)
if [ "${#presets[@]}" -gt 1 ] && [[ " ${presets[*]} " == *" windows "* ]]; then
  start_windows_build
fi
for preset in "${presets[@]}"; do
  before_passed=$total_passed before_failed=$total_failed
  run_config "$preset" || status=1
  counts+=("$preset $((total_passed - before_passed))/$((total_passed - before_passed + total_failed - before_failed))")
done

rm -f "$windows_log" "$windows_prefix_file"
echo "passed per configuration: ${counts[*]}"
echo "${total_passed} passed, ${total_failed} failed"
exit "$status"
