#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: first a normal build (with the Python
# module's tests), then the same tests under the address and undefined-behaviour sanitizers, then
# the threaded parts under the thread sanitizer, then a bounded run of every fuzz target. Exits
# non-zero on any failure.
#
#   scripts/test.sh                 every test, once
#   scripts/test.sh --repeat N      the threaded suites (IPC, reference server, engine) N times in
#                                   a row with eight jobs, in each of the three builds; stops a
#                                   suite at its first failure
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

repeat=
case "${1:-}" in
  "") ;;
  --repeat)
    repeat=${2:-}
    if ! [[ $repeat =~ ^[1-9][0-9]*$ ]]; then
      echo "usage: $0 [--repeat N]   (N a positive whole number)" >&2
      exit 2
    fi ;;
  *) echo "usage: $0 [--repeat N]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh

jobs=$(nproc)
status=0

# run_suite <build dir> <ctest label regex, empty for all> <cmake targets, empty for all> <cmake options...>
run_suite() {
  local dir=$1 labels=$2 targets=$3; shift 3
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  if [ -n "$targets" ]; then
    # shellcheck disable=SC2086
    cmake --build "$dir" --parallel "$jobs" --target $targets
  else
    cmake --build "$dir" --parallel "$jobs"
  fi
  local select=()
  [ -n "$labels" ] && select=(-L "$labels")
  [ -n "$repeat" ] && select+=(--repeat "until-fail:$repeat")
  ctest --test-dir "$dir" --output-on-failure --parallel "${CTEST_JOBS:-$jobs}" "${select[@]}" || status=1
}

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

if [ -n "$repeat" ]; then
  threaded="^(ipc_tools|reference_server|basecall_client)$"
  targets="tests_ipc_tools tests_reference_server tests_basecall_client"
  CTEST_JOBS=8 run_suite build/release "$threaded" "$targets" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_BUILD_BENCH=ON
  CTEST_JOBS=8 run_suite build/sanitize "$threaded" "$targets" -DCMAKE_BUILD_TYPE=Debug -DVEXIL_SANITIZE=ON -DVEXIL_BUILD_BENCH=OFF
  CTEST_JOBS=8 run_suite build/tsan "$threaded" "$targets" -DCMAKE_BUILD_TYPE=Debug -DVEXIL_TSAN=ON -DVEXIL_BUILD_BENCH=OFF
  if [ "$status" -eq 0 ]; then
    echo "== the threaded suites passed $repeat times in a row in every build"
  fi
  exit $status
fi

run_suite build/release "" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_BUILD_BENCH=ON

# The Python module's tests on Debian's interpreter, against the release build's module and server.
VEXIL_BUILD_DIR=build/release /usr/bin/python3 -m pytest -q tests/python || status=1

run_suite build/sanitize "" "" -DCMAKE_BUILD_TYPE=Debug -DVEXIL_SANITIZE=ON -DVEXIL_BUILD_BENCH=OFF

# The threaded parts (active objects, tracing, read coordination, the broker, the reference
# server, the client engine) again under the thread sanitizer.
# Half as many tests at once: the sanitizer slows every thread several times over.
CTEST_JOBS=$(( (jobs + 1) / 2 )) run_suite build/tsan "^(common|interfaces|ipc_tools|reference_server|basecall_client|client_api)" \
  "tests_common tests_common_diagnostics tests_interfaces tests_ipc_tools tests_reference_server tests_basecall_client tests_client_api" \
  -DCMAKE_BUILD_TYPE=Debug -DVEXIL_TSAN=ON -DVEXIL_BUILD_BENCH=OFF

# Everything a server sends, fuzzed for a bounded time per input.
bash scripts/fuzz.sh 15 4 || status=1

exit $status
