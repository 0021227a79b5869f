#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer + UBSan, the
# libraries instrumented for coverage) and runs each for a bounded time.
# Fails when any harness finds a crash, a leak or a timeout.
#
#   FUZZ_SECONDS   run time per harness (default 60)
#   FUZZ_BUILD_DIR build directory (default build/fuzz)
#   FUZZ_JOBS      parallel build jobs (default 2)
#   FUZZ_PARALLEL  harnesses run at the same time, each on one core (default:
#                  the number of cores); each still runs FUZZ_SECONDS
#   FUZZ_BUILD_ONLY=1  build the harnesses, run none
#   Arguments      harness names to run (default: all of them)
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build_dir=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${FUZZ_JOBS:-2}
parallel=${FUZZ_PARALLEL:-$(nproc)}
harnesses=("$@")
[ "${#harnesses[@]}" -gt 0 ] || harnesses=(package base64 plaintext serialiser json_reader answer stream package_reader percent_decode http_head chunked_body)

cxx=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14)}
if [ -z "$cxx" ]; then
  echo "run-fuzz: clang++ not found (libFuzzer needs clang)" >&2
  exit 1
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# clang 14 with libstdc++ 12: see fuzz/clang14_compat.hpp. clang 14 also
# fails to assemble coroutines instrumented for coverage together with
# UBSan's "function" check ("Cannot represent a difference across sections"),
# so that one check is left out.
flags="$flags -fno-sanitize=function -DASIO_HAS_CO_AWAIT=1 -include $PWD/fuzz/clang14_compat.hpp"
link_flags="-fsanitize=address,undefined"
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSSARA_WERROR=ON \
  -DOSSARA_BUILD_FUZZ=ON -DOSSARA_BUILD_TESTS=OFF -DOSSARA_BUILD_TOOLS=OFF -DOSSARA_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$link_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$link_flags" >/dev/null || exit 1

targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build_dir" --target "${targets[@]}" -j "$jobs" || exit 1
[ "${FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Runs one harness; its verdict goes to $build_dir/fuzz_<name>.verdict.
fuzz_one() {
  local h=$1 seeds="fuzz/corpus/$1" work="$build_dir/corpus/$1" artifacts="$build_dir/artifacts/$1"
  mkdir -p "$work" "$artifacts"
  echo "=== fuzz_$h for ${seconds}s"
  # The working corpus grows in the build directory; the seeds in the repo stay as they are.
  "$build_dir/fuzz/fuzz_$h" "$work" "$seeds" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" 2>"$build_dir/fuzz_$h.log"
  local rc=$? runs
  runs=$(grep -E '^stat::number_of_executed_units' "$build_dir/fuzz_$h.log" | awk '{print $2}')
  if [ "$rc" -eq 0 ]; then
    echo "fuzz_$h: ok, ${runs:-?} runs" >"$build_dir/fuzz_$h.verdict"
  else
    echo "fuzz_$h: FAILED (exit $rc), see $build_dir/fuzz_$h.log and $artifacts" >"$build_dir/fuzz_$h.verdict"
    tail -n 40 "$build_dir/fuzz_$h.log" >&2
  fi
}

for h in "${harnesses[@]}"; do
  rm -f "$build_dir/fuzz_$h.verdict"
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
  fuzz_one "$h" &
done
wait

status=0
for h in "${harnesses[@]}"; do
  verdict=$(cat "$build_dir/fuzz_$h.verdict" 2>/dev/null || echo "fuzz_$h: FAILED (no verdict)")
  [[ "$verdict" == *": ok, "* ]] || status=1
  echo "$verdict"
done
exit "$status"
