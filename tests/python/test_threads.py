"""Many Python threads on one VexilClient: read tags stay unique while lifecycle calls run beside
the passes, and finish and disconnect end all library clients together."""
import os
import signal
import threading
import time

import pytest

import tessellpy
from conftest import CONFIG, collect, make_read

result = tessellpy.result
pass_result = tessellpy.pass_read_result



def pass_tags_during_connect(server):
    """One round: three threads pass reads under tags 1-3 over and over, with no collection, while
    this thread connects. Returns how often each tag was accepted and the tags that came back."""
    client = tessellpy.VexilClient(server.address, CONFIG, 3)
    accepted = {tag: 0 for tag in (1, 2, 3)}
    count_lock = threading.Lock()
    stop = threading.Event()

    def keep_passing(thread):
        attempt = 0
        while not stop.is_set():
            attempt += 1
            tag = attempt % 3 + 1
            read = make_read(tag, "ACGT" * 30, read_id=f"{thread}-{attempt}")
            if client.pass_read(read) == pass_result.read_accepted:
                with count_lock:
                    accepted[tag] += 1

    threads = [threading.Thread(target=keep_passing, args=(thread,)) for thread in range(3)]
    for thread in threads:
        thread.start()
    try:
        assert client.connect() == result.success
        deadline = time.monotonic() + 10
        while min(accepted.values()) == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        time.sleep(0.01)  # passes go on a little after every tag was taken
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    back = [read["read_tag"] for group in collect(client, sum(accepted.values()), timeout_s=30) for read in group]
    client.disconnect()
    return accepted, back


@pytest.mark.parametrize("pinned", [False, True], ids=["spread", "one_cpu"])
def test_a_tag_is_accepted_once_while_connect_runs_beside_the_passes(server, pinned):
    cpus = os.sched_getaffinity(0)
    if pinned:
        # Threads started from here on inherit the one CPU, the library's among them.
        os.sched_setaffinity(0, {min(cpus)})
    try:
        for _ in range(60):
            accepted, back = pass_tags_during_connect(server)
            assert accepted == {1: 1, 2: 1, 3: 1} and sorted(back) == [1, 2, 3]
    finally:
        os.sched_setaffinity(0, cpus)


def timed_against_frozen_server(server, num_clients):
    """Seconds that finish(1) and then disconnect() of a fresh connection take, with num_clients
    library clients each holding one read, while the server process is stopped."""
    def connected():
        client = tessellpy.VexilClient(server.address, CONFIG, num_clients)
        assert client.set_params({"query_timeout": 500}) == result.success
        assert client.connect() == result.success
        return client

    client = connected()
    for tag in range(1, num_clients + 1):
        assert client.pass_read(make_read(tag, "ACGT" * 30), 10000) == pass_result.read_accepted
    server.process.send_signal(signal.SIGSTOP)
    try:
        started = time.monotonic()
        assert client.finish(1) != result.success
        finishing = time.monotonic() - started
        back = [read["read_tag"] for group in collect(client, num_clients, timeout_s=30) for read in group]
        assert sorted(back) == list(range(1, num_clients + 1))
        server.process.send_signal(signal.SIGCONT)
        client.disconnect()
        client = connected()
        server.process.send_signal(signal.SIGSTOP)
        started = time.monotonic()
        assert client.disconnect() == result.success
        disconnecting = time.monotonic() - started
    finally:
        server.process.send_signal(signal.SIGCONT)
    return finishing, disconnecting


def test_finish_and_disconnect_end_all_clients_together_against_a_frozen_server(server):
    one = timed_against_frozen_server(server, 1)
    many = timed_against_frozen_server(server, 40)
    # One after another, forty clients would take forty times as long.
    for alone, together in zip(one, many):
        assert together < 2 * alone + 1, (one, many)
