#!/usr/bin/python3
"""Reads/s through tessellpy against reads/s through the C++ client, on the same reads against the
same reference server, in one run. Target: the module reaches at least 80% of the C++ figure.

    /usr/bin/python3 bench/python_throughput.py [--build-dir build/release] [--reads 5000] [--rounds 3]

The server runs with --no-model, so the figures measure the clients rather than the calling.
"""
import argparse
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
QUEUE = 200


def start_server(program, folder):
    address = f"ipc://{folder}/bench.sock"
    log = open(f"{folder}/server.log", "w")
    process = subprocess.Popen([program, "--address", address, "--no-model"], stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 20
    while "listening on" not in pathlib.Path(f"{folder}/server.log").read_text():
        if process.poll() is not None or time.monotonic() > deadline:
            sys.exit("the reference server did not start")
        time.sleep(0.02)
    return process, address


def python_run(tessellpy, address, reads):
    """The same loop as the C++ client: pass until the queue is full, collect, repeat."""
    client = tessellpy.VexilClient(address, "dna_sim_fast")
    assert client.set_params({"max_reads_queued": QUEUE}) == tessellpy.success
    assert client.connect() == tessellpy.success
    start = time.monotonic()
    next_read = 0
    returned = 0
    while returned < len(reads):
        progressed = False
        while next_read < len(reads):
            if client.pass_read(reads[next_read], 0) != tessellpy.read_accepted:
                break
            next_read += 1
            progressed = True
        for group in client.get_completed_reads():
            returned += len(group)
            progressed = True
        if not progressed:
            time.sleep(0.0002)
    seconds = time.monotonic() - start
    client.disconnect()
    return returned / seconds


def cpp_run(program, address, reads_file):
    output = subprocess.run([program, address, "dna_sim_fast", str(QUEUE), reads_file], check=True,
                            capture_output=True, text=True).stdout.split()
    return float(output[output.index("reads_per_s") + 1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.environ.get("VEXIL_BUILD_DIR", ROOT / "build" / "release"))
    parser.add_argument("--reads", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    build = pathlib.Path(args.build_dir).resolve()
    server_program = build / "reference_server" / "vexil_reference_server"
    cpp_program = build / "bench" / "python_throughput_client"
    for path in (server_program, cpp_program):
        if not path.exists():
            sys.exit(f"{path} is not built: cmake -S . -B {args.build_dir} -G Ninja -DVEXIL_BUILD_BENCH=ON && "
                     f"cmake --build {args.build_dir} --target tessellpy vexil_reference_server_app "
                     f"python_throughput_client")
    sys.path.insert(0, str(build / "python" / "module"))
    try:
        import tessellpy
    except ImportError as error:
        sys.exit(f"tessellpy does not load from {build / 'python' / 'module'} (build the target tessellpy): {error}")

    rng = np.random.default_rng(5)
    lengths = rng.integers(1000, 20000, size=args.reads)
    signals = [rng.integers(100, 250, size=int(n)).astype(np.int16) for n in lengths]
    reads = [{"read_tag": tag, "read_id": f"read-{tag}", "daq_offset": 10.0, "daq_scaling": 0.5, "raw_data": raw}
             for tag, raw in enumerate(signals, start=1)]

    with tempfile.TemporaryDirectory(prefix="tessellpy-bench-") as folder:
        reads_file = f"{folder}/reads.bin"
        with open(reads_file, "wb") as out:
            for read in reads:
                out.write(np.array([read["read_tag"], len(read["raw_data"])], dtype=np.uint32).tobytes())
                out.write(read["raw_data"].tobytes())
        server, address = start_server(str(server_program), folder)
        try:
            cpp, python = [], []
            # Alternating rounds, each half first in turn, so that both see the same server and load.
            for round_number in range(args.rounds):
                if round_number % 2 == 0:
                    cpp.append(cpp_run(str(cpp_program), address, reads_file))
                    python.append(python_run(tessellpy, address, reads))
                else:
                    python.append(python_run(tessellpy, address, reads))
                    cpp.append(cpp_run(str(cpp_program), address, reads_file))
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=10)

    print("rounds, reads/s: C++", " ".join(f"{v:.0f}" for v in cpp), "| tessellpy", " ".join(f"{v:.0f}" for v in python))
    best_cpp, best_python = max(cpp), max(python)
    samples = int(lengths.sum())
    print(f"{args.reads} reads, {samples} samples, best of {args.rounds} rounds")
    print(f"C++ client:      {best_cpp:10.1f} reads/s  {best_cpp * samples / args.reads / 1e6:8.2f} Msamples/s")
    print(f"tessellpy:       {best_python:10.1f} reads/s  {best_python * samples / args.reads / 1e6:8.2f} Msamples/s")
    ratio = best_python / best_cpp
    median_ratio = float(np.median(python)) / float(np.median(cpp))
    print(f"module / C++:    {100 * ratio:9.1f} %  best against best, {100 * median_ratio:.1f} % median against "
          f"median (target at least 80 %)")
    return 0 if ratio >= 0.8 else 1


if __name__ == "__main__":
    sys.exit(main())
