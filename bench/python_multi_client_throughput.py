#!/usr/bin/python3
"""Many clients through tessellpy, next to as many C++ clients and the protocol's own limit.

    /usr/bin/python3 bench/python_multi_client_throughput.py [--build-dir build/release]
        [--clients 1,8,32,100] [--reads N] [--repetitions N] [--cpus FIRST-LAST]

For each number of clients, and reads of 20,000 samples passed singly and in lists, one
tessellpy.VexilClient with that many library clients, driven by one Python thread, passes the same
reads as the C++ clients of bench/multi_client_throughput, against the same reference server, in
the same run: the table gives both with their CPU per read and the bare REQ sockets' beside them.
That program runs the benchmark and starts this script again, with --worker, for each tessellpy
run; a worker prints one line, "result seconds=... user=... system=... server=... thread=...".
"""
import argparse
import os
import pathlib
import resource
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
CONFIG = "dna_sim_fast"
RUN_LIMIT_S = 120
# As the C++ callers do, the thread waits in pass_read or pass_reads for up to 20 ms for room in the
# client's queue: a list refused at once would have been converted for nothing. While it passes it
# collects called reads every millisecond, and once every read is passed it looks for the rest as
# often; collecting after every pass would ask each of 100 library clients every time.
WAIT_MS = 20
COLLECT_EVERY_S = 0.001


def samples(count):
    """The C++ benchmark's signal: a cheap pattern, which the server's fast mode does not look at."""
    return (np.arange(count, dtype=np.int64) * 7919 % 1024).astype(np.int16)


def cpu_seconds_of(pid):
    """User and system CPU time of another process, from /proc/<pid>/stat."""
    text = pathlib.Path(f"/proc/{pid}/stat").read_text()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Driver:
    """Passes reads through one tessellpy client object and checks each back, called, once."""

    def __init__(self, tessellpy, client, clients, raw, list_size):
        self.tessellpy = tessellpy
        self.client = client
        self.clients = clients
        self.raw = raw
        self.list_size = list_size
        self.in_flight = set()

    def read(self, tag):
        return {"read_tag": tag, "read_id": f"bench_read_{tag}", "daq_offset": 10.0, "daq_scaling": 0.5,
                "raw_data": self.raw}

    def collect(self):
        in_flight = self.in_flight
        groups = self.client.get_completed_reads()
        for group in groups:
            tag = group[0]["read_tag"] if group else None
            if len(group) != 1 or tag not in in_flight:
                raise RuntimeError(f"a group of {len(group)} reads tagged {tag} came back that was not in flight")
            if "sequence" not in group[0]["datasets"]:
                raise RuntimeError(f"read {tag} came back uncalled")
            in_flight.remove(tag)
        return bool(groups)

    def run(self, first_tag, count):
        """Passes `count` reads tagged from `first_tag` and returns once all are back."""
        accepted, full = self.tessellpy.read_accepted, self.tessellpy.queue_full
        # Bound once: the loop runs per read when reads are passed singly.
        read, collect, monotonic, in_flight = self.read, self.collect, time.monotonic, self.in_flight
        pass_one = self.list_size == 0
        pass_read, pass_reads = self.client.pass_read, self.client.pass_reads
        deadline = monotonic() + RUN_LIMIT_S
        next_tag, end = first_tag, first_tag + count
        pending, pending_tags = None, range(0)
        collected_at = monotonic()
        while next_tag < end or pending:
            if not pending:
                size = 1 if pass_one else min(self.list_size, end - next_tag)
                pending_tags = range(next_tag, next_tag + size)
                pending = read(next_tag) if pass_one else [read(tag) for tag in pending_tags]
                next_tag += size
            code = pass_read(pending, WAIT_MS) if pass_one else pass_reads(pending, WAIT_MS)
            if code == accepted:
                in_flight.update(pending_tags)
                pending = None
            elif code != full:
                raise RuntimeError(f"tessellpy refused reads: {code}")
            now = monotonic()
            if code == full or now - collected_at >= COLLECT_EVERY_S:
                collect()
                collected_at = now
                if now > deadline:
                    raise RuntimeError(f"the run took too long: {len(in_flight)} reads still in flight")
        while in_flight:
            if not collect():
                if monotonic() > deadline:
                    raise RuntimeError(f"the run took too long: {len(in_flight)} reads still in flight")
                time.sleep(COLLECT_EVERY_S)


def worker(args):
    sys.path.insert(0, args.module_dir)
    import tessellpy

    client = tessellpy.VexilClient(args.address, CONFIG, args.clients)
    if client.set_params({"client_name": "multi_client_throughput"}) != tessellpy.success:
        sys.exit("tessellpy refused the settings")
    code = client.connect()
    if code != tessellpy.success:
        sys.exit(f"tessellpy could not connect: {code}: {client.get_error_message()}")
    driver = Driver(tessellpy, client, args.clients, samples(args.samples), args.list_size)
    # A warm-up's worth for every client first: the rotation gives each library client its share.
    warm = args.warm * args.clients
    driver.run(1, warm)
    server, usage, start = cpu_seconds_of(args.server_pid), resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
    thread = time.thread_time()
    driver.run(1 + warm, args.reads)
    # The one Python thread's own share tells whether it, rather than the clients, sets the pace.
    thread = time.thread_time() - thread
    seconds = time.monotonic() - start
    end_usage, server = resource.getrusage(resource.RUSAGE_SELF), cpu_seconds_of(args.server_pid) - server
    print(f"result seconds={seconds:.6f} user={end_usage.ru_utime - usage.ru_utime:.6f} "
          f"system={end_usage.ru_stime - usage.ru_stime:.6f} server={server:.6f} thread={thread:.6f}", flush=True)
    client.disconnect()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.environ.get("VEXIL_BUILD_DIR", ROOT / "build" / "release"))
    parser.add_argument("--clients", help="numbers of clients, 1 to 100, separated by commas (1,8,32,100)")
    parser.add_argument("--reads", help="reads per run, over all clients")
    parser.add_argument("--repetitions", help="runs per median")
    parser.add_argument("--cpus", help="FIRST-LAST: every process of the benchmark runs on these CPUs only")
    parser.add_argument("--no-held-pulls", action="store_true",
                        help="the server answers a pull whose read is not called yet at once")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    for name, kind in (("--module-dir", str), ("--address", str), ("--list-size", int), ("--warm", int),
                       ("--samples", int), ("--server-pid", int)):
        parser.add_argument(name, type=kind, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.clients, args.reads = int(args.clients), int(args.reads)
        return worker(args)

    build = pathlib.Path(args.build_dir).resolve()
    program = build / "bench" / "multi_client_throughput"
    module = build / "python" / "module"
    if not program.exists():
        sys.exit(f"{program} is not built (configure with -DVEXIL_BUILD_BENCH=ON)")
    sys.path.insert(0, str(module))
    try:
        import tessellpy  # noqa: F401  (a module that cannot load is reported here, not in a worker)
    except ImportError as error:
        sys.exit(f"tessellpy does not load from {module}: {error}")
    command = [str(program), "--tessellpy", str(pathlib.Path(__file__).resolve()), "--python-module", str(module)]
    for name in ("clients", "reads", "repetitions", "cpus"):
        if getattr(args, name) is not None:
            command += [f"--{name}", getattr(args, name)]
    if args.no_held_pulls:
        command.append("--no-held-pulls")
    sys.stdout.flush()
    os.execv(command[0], command)


if __name__ == "__main__":
    sys.exit(main())
