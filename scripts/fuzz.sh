#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz in build/fuzz (clang, every library instrumented) and
# runs each for SECONDS (default 15) from its committed seeds. Fails on any crash, leak, sanitizer
# report, time-out or memory blow-up, and prints executions and coverage per target.
#
#   scripts/fuzz.sh [SECONDS] [JOBS]
#
# JOBS targets run at once (default 1; at most 4 is kind to a shared machine). Inputs found are
# kept in build/fuzz/corpus/<target>, so later runs go on from them; a failing input is written to
# build/fuzz/artifacts/<target>/ and its path printed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=${1:-15}
jobs=${2:-1}
build=build/fuzz

bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_FUZZ=ON \
  -DVEXIL_BUILD_TESTS=OFF -DVEXIL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target fuzzers
# Every built tests/fuzz/<name>_fuzzer.cpp is a target.
targets=()
for source in tests/fuzz/*_fuzzer.cpp; do
  name=$(basename "$source" _fuzzer.cpp)
  [ -x "$build/tests/fuzz/fuzz_$name" ] && targets+=("$name")
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$root/tests/fuzz/ubsan.supp"

# run_target <name>: one bounded run; its log goes to build/fuzz/logs/<name>.log.
run_target() {
  local name=$1
  local corpus=$build/corpus/$name artifacts=$build/artifacts/$name log=$build/logs/$name.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  # -timeout: one input may take at most 10 s; -rss_limit_mb / -malloc_limit_mb: no input may make
  # the code allocate without bound; the seeds are read, new inputs go to the working corpus.
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "tests/fuzz/seeds/$name" >"$log" 2>&1
}

# summary <name> <exit status>: one line per target.
summary() {
  local name=$1 rc=$2 log=$build/logs/$1.log
  local runs cov ft
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$rc" -eq 0 ]; then
    printf '%-22s ok      %12s executions  coverage %6s edges %7s features\n' "$name" "${runs:-?}" "${cov:-?}" "${ft:-?}"
  else
    printf '%-22s FAILED  %12s executions  coverage %6s edges (exit %s, log %s)\n' "$name" "${runs:-?}" "${cov:-?}" "$rc" "$log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|.*deadly signal|.*-timeout|.*out-of-memory|.*Test unit written)' "$log" | head -8 | sed 's/^/    /'
  fi
}

status=0
declare -A names=()
pending=("${targets[@]}")
while [ ${#pending[@]} -gt 0 ] || [ ${#names[@]} -gt 0 ]; do
  while [ ${#pending[@]} -gt 0 ] && [ ${#names[@]} -lt "$jobs" ]; do
    run_target "${pending[0]}" &
    names[$!]=${pending[0]}
    pending=("${pending[@]:1}")
  done
  rc=0
  wait -n -p ended "${!names[@]}" || rc=$?
  summary "${names[$ended]}" "$rc"
  [ "$rc" -eq 0 ] || status=1
  unset "names[$ended]"
done

exit $status
