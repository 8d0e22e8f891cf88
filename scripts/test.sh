#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: first a normal build, then the same
# tests under the address and undefined-behaviour sanitizers. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

jobs=$(nproc)
status=0

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" --parallel "$jobs"
  ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" || status=1
}

run_suite build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_BUILD_BENCH=ON

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVEXIL_SANITIZE=ON -DVEXIL_BUILD_BENCH=OFF

exit $status
