"""Fixtures of the tessellpy tests: the built module, reference servers and simulated reads.

The tests use the build folder named by VEXIL_BUILD_DIR (default build/release): the module in
<build>/python/module and the server program in <build>/reference_server.
"""
import gc
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = pathlib.Path(os.environ.get("VEXIL_BUILD_DIR", ROOT / "build" / "release")).resolve()
MODULE_DIR = BUILD_DIR / "python" / "module"
SERVER_PROGRAM = BUILD_DIR / "reference_server" / "vexil_reference_server"
CONFIG = "dna_sim_fast"
STRIDE = 5
LEVELS = {"A": 70.0, "C": 90.0, "G": 110.0, "T": 130.0}

sys.path.insert(0, str(MODULE_DIR))


class ServerProcess:
    """One reference server on a private ipc:// endpoint; stopped by the fixture."""

    def __init__(self, folder, args, name="server"):
        self.address = f"ipc://{folder}/{name}.sock"
        self.log_path = pathlib.Path(folder) / f"{name}.log"
        self._log = open(self.log_path, "w")
        self.process = subprocess.Popen([str(SERVER_PROGRAM), "--address", self.address, *args],
                                        stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while "listening on" not in self.log_path.read_text():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("reference server did not start: " + self.log_path.read_text())
            time.sleep(0.02)

    def freeze(self):
        """Stops the server process (SIGSTOP) and returns once it has really stopped: signal delivery
        on a busy machine can lag behind the call."""
        self.process.send_signal(signal.SIGSTOP)
        wait_until(lambda: pathlib.Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
                   == "T")

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()


@pytest.fixture
def start_server():
    """start_server(*args) starts a server with extra command-line arguments and returns it."""
    if not SERVER_PROGRAM.exists():
        pytest.fail(f"reference server not built: {SERVER_PROGRAM}")
    folder = tempfile.mkdtemp(prefix="tessellpy-")
    servers = []

    def start(*args):
        server = ServerProcess(folder, list(args), f"server{len(servers)}")
        servers.append(server)
        return server

    yield start
    # Clients kept alive only by reference cycles (a stored exception's frames) say goodbye now, while
    # their servers still answer, rather than at exit.
    gc.collect()
    for server in servers:
        server.stop()
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def server(start_server):
    return start_server()


def simulate(sequence, offset=10.0, scaling=0.5):
    """Noise-free raw signal that the reference server calls back as exactly `sequence`."""
    levels = np.array([LEVELS[base] for base in sequence])
    return np.round(np.repeat(levels, STRIDE) / scaling - offset).astype(np.int16)


def random_sequence(rng, length):
    return "".join(rng.choice(list("ACGT"), size=length))


def make_read(tag, sequence, **extra):
    read = {"read_tag": tag, "read_id": f"read-{tag}", "daq_offset": 10.0, "daq_scaling": 0.5,
            "raw_data": simulate(sequence)}
    read.update(extra)
    return read


def machine_slowness():
    """How many times longer than on an idle machine a thread may now wait for a CPU (1 to 8): time
    bounds in the tests get margins scaled by it, so that a busy machine does not fail them."""
    return min(8.0, 1.0 + os.getloadavg()[0] / os.cpu_count())


def wait_until(condition, timeout_s=20):
    deadline = time.monotonic() + timeout_s
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def collect(client, expected, timeout_s=60):
    """Completed read groups until `expected` reads are back or the time runs out."""
    groups = []
    count = 0
    deadline = time.monotonic() + timeout_s
    while count < expected and time.monotonic() < deadline:
        batch = client.get_completed_reads()
        groups.extend(batch)
        count += sum(len(group) for group in batch)
        if not batch:
            time.sleep(0.01)
    return groups
