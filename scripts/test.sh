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
logs=$(mktemp -d)
summary=()

# note <line>: one line of the closing summary; a line with "FAILED" in it fails the run.
note() {
  summary+=("$1")
  [[ $1 != *FAILED* ]] || status=1
}

# At the end, whatever stopped the run: each build's counts, then one verdict.
finish() {
  local rc=$?
  [ "$rc" -eq 0 ] || status=1
  echo
  echo "== summary"
  local line
  for line in "${summary[@]}"; do
    echo "   $line"
  done
  if [ "$status" -eq 0 ]; then
    echo "== ALL PASSED"
  else
    [ "$rc" -eq 0 ] || echo "   (the run stopped early, exit status $rc)"
    echo "== FAILED"
  fi
  rm -rf "$logs"
  exit "$status"
}
trap finish EXIT

# configure <build dir> <cmake options...>: configures, then again with the same options, which
# must leave every compile command as it was (a change would rebuild on every run).
configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cp "$dir/compile_commands.json" "$logs/compile_commands.json"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  if cmp -s "$logs/compile_commands.json" "$dir/compile_commands.json"; then
    note "$dir: a second configure changed nothing"
  else
    note "$dir: FAILED, a second configure changed compile_commands.json"
  fi
}

# run_suite <build dir> <ctest label regex, empty for all> <cmake targets, empty for all> <cmake options...>
run_suite() {
  local dir=$1 labels=$2 targets=$3; shift 3
  echo "== $dir: configure, build, test"
  configure "$dir" "$@"
  if [ -n "$targets" ]; then
    # shellcheck disable=SC2086
    cmake --build "$dir" --parallel "$jobs" --target $targets || { note "$dir: FAILED to build"; return; }
  else
    cmake --build "$dir" --parallel "$jobs" || { note "$dir: FAILED to build"; return; }
  fi
  local select=()
  [ -n "$labels" ] && select=(-L "$labels")
  [ -n "$repeat" ] && select+=(--repeat "until-fail:$repeat")
  local log=$logs/ctest.log rc
  { rc=0; ctest --test-dir "$dir" --output-on-failure --parallel "${CTEST_JOBS:-$jobs}" "${select[@]}" 2>&1 || rc=$?
    echo "$rc" >"$logs/rc"; } | tee "$log"
  rc=$(cat "$logs/rc")
  # ctest ends with "N% tests passed, F tests failed out of T".
  local counts failed total
  counts=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$counts")
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$counts")
  if [ -z "$counts" ]; then
    note "$dir ctest: FAILED, no result (exit status $rc)"
  elif [ "$rc" -ne 0 ] || [ "$failed" -ne 0 ]; then
    note "$dir ctest: FAILED, $((total - failed)) passed, $failed failed of $total"
  else
    note "$dir ctest: $total passed, 0 failed"
  fi
}

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

# The tree stays formatted as .clang-format says, with Debian's clang-format.
check_format() {
  echo "== clang-format: every C++ file as .clang-format says"
  local files
  mapfile -d '' files < <(git ls-files -z '*.cpp' '*.h')
  if clang-format --dry-run --Werror "${files[@]}" 2>"$logs/format.log"; then
    note "clang-format: ${#files[@]} files formatted"
  else
    head -20 "$logs/format.log"
    note "clang-format: FAILED, $(grep -c 'error:' "$logs/format.log") lines to reformat (clang-format -i <file>)"
  fi
}

if [ -n "$repeat" ]; then
  threaded="^(ipc_tools|reference_server|basecall_client)$"
  targets="tests_ipc_tools tests_reference_server tests_basecall_client"
  CTEST_JOBS=8 run_suite build/release "$threaded" "$targets" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_BUILD_BENCH=ON
  CTEST_JOBS=8 run_suite build/sanitize "$threaded" "$targets" -DCMAKE_BUILD_TYPE=Debug -DVEXIL_SANITIZE=ON -DVEXIL_BUILD_BENCH=OFF
  CTEST_JOBS=8 run_suite build/tsan "$threaded" "$targets" -DCMAKE_BUILD_TYPE=Debug -DVEXIL_TSAN=ON -DVEXIL_BUILD_BENCH=OFF
  [ "$status" -ne 0 ] || note "the threaded suites passed $repeat times in a row in every build"
  exit 0
fi

check_format
run_suite build/release "" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_BUILD_BENCH=ON

# The Python module's tests on Debian's interpreter, against the release build's module and server.
echo "== build/release: the Python module's tests"
{ rc=0; VEXIL_BUILD_DIR=build/release /usr/bin/python3 -m pytest -q tests/python 2>&1 || rc=$?
  echo "$rc" >"$logs/rc"; } | tee "$logs/pytest.log"
pytest_rc=$(cat "$logs/rc")
# pytest -q ends with e.g. "212 passed, 1 skipped in 40.1s".
pytest_counts=$(grep -E '^[0-9]+ (passed|failed)|^=+ .*(passed|failed)' "$logs/pytest.log" | tail -1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//')
if [ "$pytest_rc" -eq 0 ]; then
  note "build/release pytest: ${pytest_counts:-passed}"
else
  note "build/release pytest: FAILED, ${pytest_counts:-no result} (exit status $pytest_rc)"
fi

run_suite build/sanitize "" "" -DCMAKE_BUILD_TYPE=Debug -DVEXIL_SANITIZE=ON -DVEXIL_BUILD_BENCH=OFF

# The threaded parts (active objects, tracing, read coordination, the broker, the reference
# server, the client engine) again under the thread sanitizer.
# Half as many tests at once: the sanitizer slows every thread several times over.
CTEST_JOBS=$(( (jobs + 1) / 2 )) run_suite build/tsan "^(common|interfaces|ipc_tools|reference_server|basecall_client|client_api)" \
  "tests_common tests_common_diagnostics tests_interfaces tests_ipc_tools tests_reference_server tests_basecall_client tests_client_api" \
  -DCMAKE_BUILD_TYPE=Debug -DVEXIL_TSAN=ON -DVEXIL_BUILD_BENCH=OFF

# Everything a server sends, fuzzed for a bounded time per input.
echo "== build/fuzz: every fuzz target for 15 s"
{ rc=0; bash scripts/fuzz.sh 15 4 2>&1 || rc=$?; echo "$rc" >"$logs/rc"; } | tee "$logs/fuzz.log"
fuzz_rc=$(cat "$logs/rc")
fuzz_ok=$(grep -cE '^[a-z_0-9]+ +ok ' "$logs/fuzz.log" || true)
fuzz_failed=$(grep -cE '^[a-z_0-9]+ +FAILED ' "$logs/fuzz.log" || true)
if [ "$fuzz_rc" -eq 0 ]; then
  note "build/fuzz: $fuzz_ok fuzz targets ran 15 s each without a finding"
else
  note "build/fuzz: FAILED, $fuzz_ok targets ok, $fuzz_failed failed (exit status $fuzz_rc)"
fi
