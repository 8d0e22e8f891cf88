"""Many Python threads on one VexilClient: read tags stay unique while lifecycle calls run beside
the passes, and finish and disconnect end all library clients together."""
import os
import threading
import time

import pytest

import tessellpy
from conftest import CONFIG, collect, machine_slowness, make_read

result = tessellpy.result
pass_result = tessellpy.pass_read_result


def pass_tags_while_connecting_and_collecting(server):
    """One round: three threads pass reads under tags 1-3 over and over while this thread connects,
    then collects. Returns, per read accepted, its tag and the time its pass returned, and per read
    collected the time its collecting call began, both by read id."""
    client = tessellpy.VexilClient(server.address, CONFIG, 3)
    accepted = {}
    collected = {}
    stop = threading.Event()

    def keep_passing(thread):
        attempt = 0
        while not stop.is_set():
            attempt += 1
            tag, read_id = attempt % 3 + 1, f"{thread}-{attempt}"
            if client.pass_read(make_read(tag, "ACGT" * 30, read_id=read_id)) == pass_result.read_accepted:
                accepted[read_id] = (tag, time.monotonic())

    def collect_once():
        began = time.monotonic()
        for group in client.get_completed_reads():
            for read in group:
                collected.setdefault(read["metadata"]["read_id"], []).append(began)

    threads = [threading.Thread(target=keep_passing, args=(thread,)) for thread in range(3)]
    for thread in threads:
        thread.start()
    try:
        assert client.connect() == result.success
        deadline = time.monotonic() + 10
        while len(accepted) < 12 and time.monotonic() < deadline:
            collect_once()
            time.sleep(0.001)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    deadline = time.monotonic() + 30
    while len(collected) < len(accepted) and time.monotonic() < deadline:
        collect_once()
        time.sleep(0.001)
    client.disconnect()
    return accepted, collected


@pytest.mark.parametrize("pinned", [False, True], ids=["spread", "one_cpu"])
def test_a_tag_is_held_by_one_read_while_connect_and_collection_run_beside_the_passes(server, pinned):
    cpus = os.sched_getaffinity(0)
    if pinned:
        # Threads started from here on inherit the one CPU, the library's among them.
        os.sched_setaffinity(0, {min(cpus)})
    try:
        for _ in range(60):
            accepted, collected = pass_tags_while_connecting_and_collecting(server)
            assert len(accepted) >= 3
            assert {read_id: len(times) for read_id, times in collected.items()} == dict.fromkeys(accepted, 1)
            # Two reads held a tag at once for certain when each was accepted before the other's
            # collection began.
            for first, (tag, first_taken) in accepted.items():
                for second, (other_tag, second_taken) in accepted.items():
                    assert not (first != second and tag == other_tag and first_taken < collected[second][0]
                                and second_taken < collected[first][0]), (first, second)
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
    # Frozen first: a read passed before could come back before the freeze, leaving finish nothing to wait for.
    server.freeze()
    try:
        for tag in range(1, num_clients + 1):
            assert client.pass_read(make_read(tag, "ACGT" * 30), 10000) == pass_result.read_accepted
        started = time.monotonic()
        assert client.finish(1) != result.success
        finishing = time.monotonic() - started
        back = [read["read_tag"] for group in collect(client, num_clients, timeout_s=30) for read in group]
        assert sorted(back) == list(range(1, num_clients + 1))
        server.thaw()
        client.disconnect()
        client = connected()
        server.freeze()
        started = time.monotonic()
        assert client.disconnect() == result.success
        disconnecting = time.monotonic() - started
        server.thaw()
        client = connected()
        server.freeze()
        started = time.monotonic()
        del client
        deleting = time.monotonic() - started
    finally:
        server.thaw()
    return finishing, disconnecting, deleting


def test_finish_disconnect_and_deallocation_end_all_clients_together_against_a_frozen_server(server):
    one = timed_against_frozen_server(server, 1)
    many = timed_against_frozen_server(server, 40)
    # One after another, forty clients would take forty times as long.
    for alone, together in zip(one, many):
        assert together < 2 * alone + machine_slowness(), (one, many)
