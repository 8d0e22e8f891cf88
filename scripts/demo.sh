#!/usr/bin/env bash
# The newcomer's demo: builds the reference basecall server and the demo client, starts the
# server on a free loopback port, passes simulated reads through it end to end and stops it.
#
#   bash scripts/demo.sh [READS]      (default 200 reads)
#
# Exits with the demo client's status: 0 only when every read came back exactly.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

reads=${1:-200}
if ! [[ $reads =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [READS]   (READS a positive whole number)" >&2
  exit 2
fi

bash scripts/install-deps.sh

build_dir=build/demo
echo "== building the server and the demo client in $build_dir"
cmake -S . -B "$build_dir" -G Ninja -DVEXIL_BUILD_TESTS=OFF -DVEXIL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target vexil_reference_server_app vexil_demo_client
server_program=$build_dir/reference_server/vexil_reference_server
client_program=$build_dir/reference_server/vexil_demo_client

work=$(mktemp -d)
server_log=$work/server.log
server_pid=

# Sends SIGTERM and waits up to ten seconds, then kills. Prints nothing; returns the exit status.
stop_server() {
  local status=0
  kill -TERM "$server_pid" 2>/dev/null || true
  for _ in $(seq 1 200); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$server_pid" 2>/dev/null; then
    echo "server did not stop on SIGTERM; killing it" >&2
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait "$server_pid" || status=$?
  server_pid=
  return "$status"
}

# Whatever happens (client failure, Ctrl-C), the server does not outlive the script.
cleanup() {
  if [ -n "$server_pid" ]; then
    stop_server || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Port "*": the server binds a port the system knows to be free and names it in its first line.
echo "== starting the server on loopback"
"$server_program" --address 'tcp://127.0.0.1:*' >"$server_log" 2>&1 &
server_pid=$!

endpoint=
for _ in $(seq 1 200); do
  if line=$(grep -m1 'listening on ' "$server_log"); then
    echo "$line"
    endpoint=${line#*listening on }
    endpoint=${endpoint%% *}
    break
  fi
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "the server ended before it listened:" >&2
    cat "$server_log" >&2
    server_pid=
    exit 1
  fi
  sleep 0.05
done
if [[ $endpoint != tcp://127.0.0.1:* ]]; then
  echo "the server did not report a loopback endpoint within ten seconds:" >&2
  cat "$server_log" >&2
  exit 1
fi

echo "== passing $reads simulated reads through $endpoint"
client_status=0
"$client_program" --address "$endpoint" --reads "$reads" || client_status=$?

echo "== stopping the server"
server_status=0
stop_server || server_status=$?
grep -v 'listening on ' "$server_log" || true
if [ "$server_status" -ne 0 ]; then
  echo "warning: the server exited with status $server_status" >&2
fi

if [ "$client_status" -eq 0 ]; then
  echo "== demo passed: every read came back exactly"
else
  echo "== demo FAILED: the demo client exited with status $client_status" >&2
fi
exit "$client_status"
