#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all; the full output of each
# program goes to $BENCH_BUILD_DIR/results/, and the summary tables (which
# compare each figure with the floor measured in the same run) to stdout.
#
#   BENCH_BUILD_DIR  build directory (default build/bench)
#   BENCH_JOBS       parallel build jobs (default 2)
#   BENCH_MIN_TIME   --benchmark_min_time per benchmark, seconds (default 0.5)
#   BENCH_REPETITIONS  runs of each benchmark; the tables take the median (default 1)
#
# The runs of all benchmarks of a program are shuffled together
# (--benchmark_enable_random_interleaving): a floor and the figure compared
# with it are then measured across the same stretch of time, so a machine
# that speeds up or slows down during the run moves both alike.
#
# The performance tables of docs/performance.md are this script's output on a quiet machine:
#   BENCH_REPETITIONS=5 ./scripts/run-benchmarks.sh
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=${BENCH_BUILD_DIR:-build/bench}
jobs=${BENCH_JOBS:-2}
min_time=${BENCH_MIN_TIME:-0.5}
repetitions=${BENCH_REPETITIONS:-1}
programs=(exchange_bench codec_bench concurrency_bench peak_memory size_mix)

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DOSSARA_BUILD_BENCH=ON -DOSSARA_BUILD_TOOLS=ON -DOSSARA_BUILD_TESTS=OFF >/dev/null || exit 1
cmake --build "$build_dir" --target "${programs[@]}" -j "$jobs" || exit 1

results="$build_dir/results"
mkdir -p "$results"
echo "benchmarks of $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) CPUs, $(uname -sr)"

timing=(--benchmark_min_time="$min_time" --benchmark_repetitions="$repetitions"
  --benchmark_enable_random_interleaving=true)
status=0

# run <title> <output name> <command...>: runs one program, keeps its whole
# output in $results and prints its summary table under the title.
run() {
  local title=$1 out="$results/$2.txt" err="$results/$2.err"
  shift 2
  if ! "$@" >"$out" 2>"$err"; then
    echo "$title: FAILED (see $out and $err)"
    status=1
    return
  fi
  echo
  echo "## $title"
  sed -n '/^== summary/,$p' "$out" | tail -n +2
}

for program in "${programs[@]}"; do
  args=()
  [ "$program" = peak_memory ] || [ "$program" = size_mix ] || args=("${timing[@]}")
  run "$program" "$program" "$build_dir/bench/$program" "${args[@]}"
done
# The rounds on one and two threads once more, with glibc's malloc keeping
# freed memory (no trimming, large blocks from the heap): with its defaults
# the second thread's arena gives large blocks back to the kernel and faults
# fresh pages in again, which the client's scaling figure then includes.
run "concurrency_bench, freed memory kept" concurrency_bench-kept-memory \
  env GLIBC_TUNABLES="glibc.malloc.trim_threshold=268435456:glibc.malloc.mmap_threshold=33554432" \
  "$build_dir/bench/concurrency_bench" --benchmark_filter='Rounds' "${timing[@]}"
exit "$status"
