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
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build_dir" --component vexil_client --prefix "$work/prefix" >/dev/null
cmake -S "$program_dir" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_FLAGS="$sanitizer_flags" -DCMAKE_EXE_LINKER_FLAGS="$sanitizer_flags" >/dev/null
cmake --build "$work/build" >/dev/null

endpoint=ipc://$work/server.sock
"$server_program" --address "$endpoint" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 400); do
  grep -q 'listening on ' "$work/server.log" && break
  sleep 0.05
done
grep -q 'listening on ' "$work/server.log" || { echo "the server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }

counts="0 1 2 3 4 5 6 7 8 9"
if [[ $sanitizer_flags == *undefined* ]]; then
  # UBSan's vptr check opens a pipe to see whether an object's memory is readable: with fewer than
  # two descriptors left it cannot, and reports the object as having an invalid vptr. Connected,
  # the client may briefly hold one more while its link reconnects under load: 16 leaves room.
  counts="2 3 4 5 6 7 16"
fi

failures=0
for free in $counts; do
  status=0
  output=$("$work/build/short_of_descriptors" "$endpoint" "$free" 2>"$work/stderr.log") || status=$?
  code=${output%%$'\t'*}
  message=${output#*$'\t'}
  if [ "$status" -ne 0 ]; then
    echo "$free free: the program ended with status $status: $(tail -3 "$work/stderr.log")" >&2
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
