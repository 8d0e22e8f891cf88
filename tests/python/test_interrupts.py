"""Blocking calls end promptly: on Ctrl-C (SIGINT to a child process) and on disconnect() from a
second thread, leaving the object in the state its docstrings promise."""
import os
import queue
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import tessellpy
from conftest import CONFIG, MODULE_DIR, collect, make_read, wait_until

result = tessellpy.result
NO_SERVER = "ipc:///nonexistent/tessellpy.sock"
# KeyboardInterrupt is due within 100 ms; the bound leaves room for a loaded machine and is still far
# below what a call that ignores signals takes (seconds to minutes).
PROMPT_S = 1.0

CHILD = textwrap.dedent("""
    import signal, sys, time
    # A job started in the background by a shell inherits SIGINT ignored, which Python keeps.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import make_read

    def step(name, call):
        try:
            print("blocked", name, flush=True)
            call()
            print("returned", name, flush=True)
        except KeyboardInterrupt:
            print("interrupted", name, time.monotonic(), flush=True)

    def report(name, *values):
        print("state", name, *values, flush=True)

    step("query", lambda: tessellpy.get_server_stats(sys.argv[4], 1000))

    idle = tessellpy.VexilClient(sys.argv[4], "dna_sim_fast")
    idle.set_params({"query_timeout": 250})
    step("connect", idle.connect)
    report("connect", idle.disconnect() == tessellpy.success, idle.get_status() == tessellpy.disconnected)

    client = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
    client.set_params({"max_reads_queued": 1})
    assert client.connect() == tessellpy.success
    tag = 1
    # Until the queue stays full: the server refuses every read after the first.
    while client.pass_read(make_read(tag, "ACGT" * 60), 200) == tessellpy.read_accepted:
        tag += 1
    step("pass_read", lambda: client.pass_read(make_read(tag, "ACGT" * 60), 60000))
    # Not passed: its tag is not in flight, so the same read meets a full queue, not bad_read.
    report("pass_read", client.pass_read(make_read(tag, "ACGT" * 60), 0) == tessellpy.queue_full)
    step("finish", lambda: client.finish(0))
    client.disconnect()
    back = sorted(read["read_tag"] for group in client.get_completed_reads() for read in group)
    report("finish", back == list(range(1, tag)))
""")


def test_ctrl_c_interrupts_every_blocking_call_promptly(start_server):
    # The server takes one read and no more, and never returns it: the queue stays full, finish waits.
    server = start_server("--max-reads-per-client", "1",
                          "--fault", "none_pending,request=GET_FIRST_CALLED_BLOCK,count=forever")
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(MODULE_DIR), os.path.dirname(__file__),
                              server.address, NO_SERVER], stdout=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line.split()) for line in child.stdout], daemon=True).start()

    def next_line():
        return lines.get(timeout=60)

    try:
        states = {}
        for name in ("query", "connect", "pass_read", "finish"):
            while (line := next_line())[0] == "state":
                states[line[1]] = line[2:]
            assert line == ["blocked", name]
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = next_line()
            assert line[:2] == ["interrupted", name]
            assert float(line[2]) - sent < PROMPT_S, name
        assert child.wait(timeout=60) == 0
        while not lines.empty():
            line = lines.get()
            states[line[1]] = line[2:]
        assert states == {"connect": ["True", "True"], "pass_read": ["True"], "finish": ["True"]}
    finally:
        child.kill()
        child.wait()


def run_in_thread(call):
    """Starts call() on a thread; returns a dict that gets its outcome and the time it returned."""
    outcome = {}

    def run():
        outcome["value"] = call()
        outcome["at"] = time.monotonic()

    thread = threading.Thread(target=run)
    thread.start()
    outcome["thread"] = thread
    return outcome


def test_disconnect_from_another_thread_ends_connect(start_server):
    # The server keeps saying it is loading: the library retries for server_file_load_timeout.
    server = start_server("--fault", "loading,request=LOAD_CONFIG,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG, 2)
    assert client.set_params({"server_file_load_timeout": 2}) == result.success
    connecting = run_in_thread(client.connect)
    wait_until(lambda: client.get_status() == tessellpy.loading_config)
    asked = time.monotonic()
    assert client.disconnect() == result.success
    connecting["thread"].join(timeout=20)
    assert connecting["value"] == result.failed
    assert connecting["at"] - asked < PROMPT_S
    assert repr(client).split("\n") == ["VexilClient(status=disconnected)"] * 2
    assert client.set_params({"client_name": "again"}) == result.success


def test_disconnect_from_another_thread_ends_finish_and_keeps_its_reads(start_server):
    server = start_server("--fault", "none_pending,request=GET_FIRST_CALLED_BLOCK,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG)
    assert client.connect() == result.success
    tags = [1, 2]
    for tag in tags:
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == tessellpy.read_accepted
    finishing = run_in_thread(lambda: client.finish(0))
    # Once finish has begun the client takes no more reads; a probe taken before that is awaited too.
    probe = 100
    while (outcome := client.pass_read(make_read(probe, "ACGT" * 60), 0)) != tessellpy.not_accepting_reads:
        assert outcome in (tessellpy.read_accepted, tessellpy.queue_full)
        if outcome == tessellpy.read_accepted:
            tags.append(probe)
            probe += 1
        time.sleep(0.01)
    asked = time.monotonic()
    assert client.disconnect() == result.success
    finishing["thread"].join(timeout=30)
    assert finishing["value"] == result.failed
    assert finishing["at"] - asked < PROMPT_S
    back = [read for group in collect(client, len(tags), timeout_s=30) for read in group]
    assert sorted(read["read_tag"] for read in back) == tags
    assert all("sequence" not in read["datasets"] for read in back)


def test_retrying_a_refused_list_passes_every_read_once(start_server):
    # Each batch waits on the server, so a one-slot queue is soon full.
    server = start_server("--fault", "delay,request=PASS_READ_BATCH,delay=300,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG, 2)
    assert client.set_params({"max_reads_queued": 1}) == result.success
    assert client.connect() == result.success
    reads = [make_read(tag, "ACGT" * 60) for tag in range(1, 41)]
    retries = 0
    for start in range(0, len(reads), 4):
        batch = reads[start:start + 4]
        while (outcome := client.pass_reads(batch, 20)) == tessellpy.queue_full:
            assert len(batch) == 4  # refused whole, left as it was
            retries += 1
        assert outcome == tessellpy.read_accepted
    assert retries > 0
    back = [read["read_tag"] for group in collect(client, len(reads)) for read in group]
    assert sorted(back) == list(range(1, 41))
    assert client.finish(30) == result.success


def test_a_pass_given_no_wait_waits_the_pass_read_timeout_setting(start_server):
    server = start_server("--max-reads-per-client", "1",
                          "--fault", "none_pending,request=GET_FIRST_CALLED_BLOCK,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG)
    assert client.set_params({"max_reads_queued": 1, "pass_read_timeout": 300}) == result.success
    assert client.connect() == result.success
    tag = 1
    while client.pass_read(make_read(tag, "ACGT" * 60), 200) == tessellpy.read_accepted:
        tag += 1
    started = time.monotonic()
    assert client.pass_reads([make_read(tag, "ACGT" * 60)], 0) == tessellpy.queue_full
    assert 0.25 <= time.monotonic() - started < 5
    client.disconnect()


DEALLOCATING = textwrap.dedent("""
    import signal, sys, time
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path[:0] = [sys.argv[1]]
    import tessellpy
    held = [tessellpy.VexilClient(sys.argv[2], "dna_sim_fast", 10)]
    held[0].set_params({"query_timeout": 20000})
    assert held[0].connect() == tessellpy.success
    print("connected", flush=True)
    sys.stdin.readline()  # the server is stopped now
    try:
        print("blocked", flush=True)
        held.clear()
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
""")


def test_ctrl_c_interrupts_a_deallocation_promptly(server):
    child = subprocess.Popen([sys.executable, "-c", DEALLOCATING, str(MODULE_DIR), server.address],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().split() == ["connected"]
        server.freeze()
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.stdout.readline().split() == ["blocked"]
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().split()
        assert line[0] == "interrupted" and float(line[1]) - sent < PROMPT_S, line
        # The clients end in the background; at exit the interpreter waits for that.
        server.process.send_signal(signal.SIGCONT)
        assert child.wait(timeout=60) == 0
    finally:
        server.process.send_signal(signal.SIGCONT)
        child.kill()
        child.wait()


# The lossy server loses every read, so each pass of the flood thread brings a library warning that
# says how many reads it returned uncalled; the main thread hands them to logging while finish waits.
FLOOD = textwrap.dedent("""
    import logging, os, re, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import make_read

    def lost_in(text):
        return int(re.search(r"(\\d+) read\\(s\\) returned uncalled", text)[1])

    delivered = [0]
    interrupt = {"armed": False, "sent": None}

    class Counting(logging.Handler):
        def emit(self, record):
            delivered[0] += lost_in(record.getMessage())
            # Once a few records have passed the filter, some of them failing.
            if interrupt["armed"] and filtered[0] > 6 and threading.current_thread() is threading.main_thread():
                interrupt["armed"] = False
                interrupt["sent"] = time.monotonic()
                os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C while the records are handed over

    filtered = [0]
    def failing_filter(record):
        filtered[0] += 1
        if filtered[0] % 3 == 0:
            raise ValueError("the filter fails")
        return True

    library = logging.getLogger("tessellpy.library")
    library.propagate = False
    library.addHandler(Counting())
    library.addFilter(failing_filter)

    lossy = tessellpy.VexilClient(sys.argv[4], "dna_sim_fast")
    assert lossy.connect() == tessellpy.success
    passed = [0]
    stop = threading.Event()

    def flood():
        tag = 1
        while not stop.wait(0.1):
            lossy.get_completed_reads()
            batch = [make_read(tag + i, "ACGT" * 60) for i in range(5)]
            tag += len(batch)
            if lossy.pass_reads(batch, 1000) == tessellpy.read_accepted:
                passed[0] += len(batch)

    flooding = threading.Thread(target=flood)
    flooding.start()
    stuck = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
    assert stuck.connect() == tessellpy.success
    assert stuck.pass_read(make_read(1, "ACGT" * 60), 10000) == tessellpy.read_accepted
    # Without the interrupt finish would wait for ever.
    watchdog = threading.Timer(30, stuck.disconnect)
    watchdog.start()
    interrupt["armed"] = True
    try:
        print("returned", stuck.finish(0), flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic() - interrupt["sent"], flush=True)
    watchdog.cancel()
    stop.set()
    flooding.join()
    lossy.disconnect()  # the worker has logged its last loss; the call hands it over
    print("passed", passed[0], "delivered", delivered[0], flush=True)
""")


def test_records_handed_over_during_a_wait_neither_hold_up_ctrl_c_nor_get_lost(start_server):
    stuck = start_server("--fault", "none_pending,request=GET_FIRST_CALLED_BLOCK,count=forever")
    lossy = start_server("--fault", "reads_lost,request=GET_FIRST_CALLED_BLOCK,count=forever")
    run = subprocess.run([sys.executable, "-c", FLOOD, str(MODULE_DIR), os.path.dirname(__file__), stuck.address,
                          lossy.address], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    interrupted, counts = run.stdout.splitlines()
    assert interrupted.split()[0] == "interrupted" and float(interrupted.split()[1]) < PROMPT_S, run.stdout
    # A failing filter's records are reported as logging reports a handler's failure, and the others
    # still reach the handler: every lost read is told once, either way.
    reported = [int(n) for n in re.findall(r"Message: 'One or more reads .*?(\d+) read\(s\) returned", run.stderr)]
    assert reported and run.stderr.count("--- Logging error ---") == len(reported)
    assert "ValueError: the filter fails" in run.stderr
    _, passed, _, delivered = counts.split()
    assert int(passed) > 0 and int(delivered) + sum(reported) == int(passed), (counts, reported)
