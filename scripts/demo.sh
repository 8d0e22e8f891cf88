#!/usr/bin/env bash
# The main job, as a user of the library would run it: installs what is missing, builds
# libvexil_client and installs it into a prefix under build/, builds the example application in
# examples/ against that installed package only, generates a reference sequence and a BED file,
# starts our reference basecall server on a private ipc:// endpoint, and has the example pass
# simulated reads through vexil::VexilClient and check every one that comes back. The SAM lines
# it writes are then checked by samtools. The server is always stopped.
#
#   scripts/demo.sh [READS]      (default 3000 reads of 300 to 100,000 bases)
#
# Exits 0 only when every read came back called, exact and aligned where it came from.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

reads=${1:-3000}
if ! [[ $reads =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [READS]   (READS a positive whole number)" >&2
  exit 2
fi

bash scripts/install-deps.sh

build_dir=$root/build/demo
prefix=$build_dir/install
jobs=$(nproc)
echo "== building libvexil_client and the reference server in $build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXIL_BUILD_TESTS=OFF -DVEXIL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$jobs" --target vexil_client vexil_client_data vexil_reference_server_app
echo "== installing the library into $prefix"
rm -rf "$prefix"
cmake --install "$build_dir" --component vexil_client --prefix "$prefix" >/dev/null
echo "== building the example against the installed package only"
cmake -S examples -B "$build_dir/example" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$build_dir/example" --parallel "$jobs"
server_program=$build_dir/reference_server/vexil_reference_server
example_program=$build_dir/example/vexil_example

work=$(mktemp -d)
server_pid=

# Sends SIGTERM and waits up to ten seconds, then kills. Returns the server's exit status.
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

# Whatever happens (a failure, Ctrl-C), the server does not outlive the script.
cleanup() {
  if [ -n "$server_pid" ]; then
    stop_server || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== generating a reference and a BED file in $work"
/usr/bin/python3 - "$work/reference.fa" "$work/regions.bed" <<'PYTHON'
import random
import sys

random.seed(7)
contigs = [("sim_chr1", 1_200_000), ("sim_chr2", 600_000)]
with open(sys.argv[1], "w") as fasta, open(sys.argv[2], "w") as bed:
    for name, length in contigs:
        sequence = "".join(random.choice("ACGT") for _ in range(length))
        fasta.write(">%s simulated\n" % name)
        for start in range(0, length, 60):
            fasta.write(sequence[start:start + 60] + "\n")
        for number, start in enumerate(range(20_000, length - 5_000, 90_000)):
            bed.write("%s\t%d\t%d\tregion_%s_%d\n" % (name, start, start + 4_000, name, number))
PYTHON

endpoint=ipc://$work/server.sock
echo "== starting the reference server on $endpoint"
"$server_program" --address "$endpoint" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 200); do
  grep -q 'listening on ' "$work/server.log" && break
  if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "the server ended before it listened:" >&2
    cat "$work/server.log" >&2
    server_pid=
    exit 1
  fi
  sleep 0.05
done
if ! grep -q 'listening on ' "$work/server.log"; then
  echo "the server did not listen within ten seconds:" >&2
  cat "$work/server.log" >&2
  exit 1
fi

echo "== passing $reads simulated reads through vexil::VexilClient"
example_status=0
"$example_program" --address "$endpoint" --reference "$work/reference.fa" --bed "$work/regions.bed" \
  --reads "$reads" --sam "$work/reads.sam" || example_status=$?

echo "== stopping the server"
server_status=0
stop_server || server_status=$?
[ "$server_status" -eq 0 ] || echo "warning: the server exited with status $server_status" >&2

sam_status=0
if [ -s "$work/reads.sam" ]; then
  echo "== checking the SAM lines with samtools"
  # A strict parse of every record against the header; then every read must be mapped, primary.
  if samtools view -b -o "$work/reads.bam" "$work/reads.sam" && samtools quickcheck "$work/reads.bam"; then
    mapped=$(samtools view -c -F 0x904 "$work/reads.bam")
    echo "samtools: $(samtools view -c "$work/reads.bam") records, $mapped primary mapped reads"
    samtools flagstat "$work/reads.bam" | sed -n '1p;/primary mapped/p'
    [ "$mapped" -eq "$reads" ] || { echo "samtools counts $mapped mapped reads, expected $reads" >&2; sam_status=1; }
  else
    echo "samtools could not read the SAM lines" >&2
    sam_status=1
  fi
else
  echo "no SAM lines were written" >&2
  sam_status=1
fi

if [ "$example_status" -eq 0 ] && [ "$sam_status" -eq 0 ]; then
  echo "== demo passed"
  exit 0
fi
echo "== demo FAILED (example status $example_status, SAM check status $sam_status)" >&2
exit 1
