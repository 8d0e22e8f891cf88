#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds descriptor_limit/short_of_descriptors.cpp against
# the installed package through find_package(vexil_client), and connects it to a reference server
# with 0 to 9 file descriptors free under RLIMIT_NOFILE 64: short of the 8 a connected client holds,
# the connect must fail with "failed" and a message naming the cause, and never abort the process;
# with 8 or more it connects.
set -euo pipefail
build_dir=$1
program_dir=$2
sanitizer_flags=${3:-}
server_program=$4
# shellcheck source=../installed_package_steps.sh
source "$(dirname "${BASH_SOURCE[0]}")/../installed_package_steps.sh"

install_package "$build_dir" "$work/prefix"
build_against_package "$program_dir" "$work/build" "$work/prefix" "$sanitizer_flags"

endpoint=ipc://$work/server.sock
start_server "$server_program" "$endpoint"

counts="0 1 2 3 4 5 6 7 8 9"
if [[ $sanitizer_flags == *undefined* ]]; then
  # UBSan's vptr check opens a pipe to see whether an object's memory is readable: short of two
  # descriptors it reports the object as having an invalid vptr. The client's own threads take one
  # or two meanwhile (the descriptor count reads /proc/self/fd; a loaded link reconnects), so under
  # UBSan the counts leave it room.
  counts="4 5 6 7 16"
fi

failures=0
for free in $counts; do
  status=0
  output=$("$work/build/short_of_descriptors" "$endpoint" "$free" 2>"$work/stderr.log") || status=$?
  code=${output%%$'\t'*}
  message=${output#*$'\t'}
  if [ "$status" -ne 0 ]; then
    echo "$free free: the program ended with status $status:" >&2
    grep -m 5 -E 'runtime error|ERROR|Assertion|terminate' "$work/stderr.log" >&2 || tail -3 "$work/stderr.log" >&2
    failures=$((failures + 1))
  elif [ "$free" -lt 8 ]; then
    # failed (12), naming the cause and what a client needs
    if [ "$code" != 12 ] || [[ $message != *"Too many open files"* ]] || [[ $message != *"each connected client holds 8"* ]]; then
      echo "$free free: expected failed naming the descriptors, got: $output" >&2
      failures=$((failures + 1))
    fi
  elif [ "$code" != 0 ]; then
    echo "$free free: expected success, got: $output" >&2
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || exit 1
echo "short of descriptors, connect fails with a code naming them; with enough it connects"
