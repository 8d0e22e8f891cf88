"""The end of a program: connections the interpreter's exit ends, daemon threads left inside the
module's calls, and subinterpreters."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time

from conftest import MODULE_DIR, machine_slowness, wait_until

# Daemon threads blocked in, or looping over, every kind of call when the main thread returns. The
# results file is flushed but left open: Python itself does not close a file whose module a daemon
# thread still uses, but an abort at exit would still lose what follows it on stdout.
DAEMONS = textwrap.dedent("""
    import sys, threading, time
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import make_read

    results = open(sys.argv[5], "w")
    results.write("kept text")
    results.flush()
    full = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
    full.set_params({"max_reads_queued": 1})
    assert full.connect() == tessellpy.success
    tag = 1
    while full.pass_read(make_read(tag, "ACGT" * 60), 200) == tessellpy.read_accepted:
        tag += 1
    stuck = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
    assert stuck.connect() == tessellpy.success
    assert stuck.pass_read(make_read(1, "ACGT" * 60), 10000) == tessellpy.read_accepted

    def forever(call):
        while True:
            call()

    calls = [lambda: full.pass_read(make_read(tag, "ACGT" * 60), 60000),
             lambda: forever(lambda: full.pass_read(make_read(tag + 1, "ACGT" * 60))),
             lambda: forever(full.get_completed_reads),
             lambda: stuck.finish(0),
             lambda: forever(lambda: tessellpy.get_server_stats(sys.argv[4], 1000))]
    for call in calls:
        threading.Thread(target=call, daemon=True).start()
    time.sleep(0.3)
""")


def test_daemon_threads_inside_calls_leave_a_clean_exit(start_server, tmp_path):
    # The server takes one read a client and never returns it: passes wait on a full queue, finish
    # for ever.
    server = start_server("--max-reads-per-client", "1",
                          "--fault", "none_pending,request=GET_FIRST_CALLED_BLOCK,count=forever")
    runs = []
    for batch in range(4):
        children = []
        for run in range(5):
            results = tmp_path / f"results-{batch}-{run}.txt"
            children.append((results, subprocess.Popen(
                [sys.executable, "-c", DAEMONS, str(MODULE_DIR), os.path.dirname(__file__), server.address,
                 "ipc:///nonexistent/tessellpy-query.sock", str(results)],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)))
        for results, child in children:
            _, stderr = child.communicate(timeout=120)
            runs.append((child.returncode, results.read_text(), stderr[-2000:]))
    assert [run[:2] for run in runs] == [(0, "kept text")] * 20, runs


SUBINTERPRETERS = textwrap.dedent("""
    import sys, _testcapi
    sys.path[:0] = [sys.argv[1]]
    importing = "import sys; sys.path[:0] = [%r]\\n" % sys.argv[1]
    importing += "try:\\n    import tessellpy\\nexcept ImportError as error:\\n    print('refused', error)"
    _testcapi.run_in_subinterp(importing)
    _testcapi.run_in_subinterp("x = 1")
    import tessellpy
    client = tessellpy.VexilClient("ipc:///nonexistent/tessellpy-sub.sock", "dna_sim_fast", 2)
    del client
    print("deleted", flush=True)
""")


def test_subinterpreters_are_refused_and_change_nothing_for_the_main_one():
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETERS, str(MODULE_DIR)], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 2 and lines[0].startswith("refused") and "only in the main interpreter" in lines[0], lines
    assert lines[1] == "deleted", run.stderr


# Objects connected to a server that then froze, left to the interpreter's exit, which the parent
# times from the program's last line. "gc off": finalisation starts without a collection, so the
# first deallocation ends them all; "held": a daemon thread holds them too, so they are never
# deallocated. The results file is written, not flushed: the exit flushes it.
FROZEN_EXIT = textwrap.dedent("""
    import atexit, gc, os, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path[:0] = [sys.argv[1]]
    mode, results = sys.argv[6], open(sys.argv[7], "w")
    # Registered before the import, so it runs last, just before finalisation begins. SIGINT then
    # does what it does once the interpreter has let go of its handler.
    atexit.register(lambda: (signal.signal(signal.SIGINT, signal.SIG_DFL), print("handlers done", flush=True)))
    import tessellpy
    server_pid = int(sys.argv[3])
    clients = [tessellpy.VexilClient(sys.argv[2], "dna_sim_fast") for _ in range(int(sys.argv[4]))]
    for client in clients:
        client.set_params({"query_timeout": int(sys.argv[5])})
        assert client.connect() == tessellpy.success
    os.kill(server_pid, signal.SIGSTOP)
    while open("/proc/%d/stat" % server_pid).read().rsplit(")", 1)[1].split()[0] != "T":
        pass
    if mode != "gc":
        gc.disable()
    if mode == "held":
        # Not a function of this module: a thread's frame that held its globals would keep the
        # results file open.
        holder = threading.Thread(target=time.sleep, args=(3600,), daemon=True)
        holder.clients = list(clients)
        holder.start()
    results.write("kept text")
    print("exiting", time.monotonic(), flush=True)
    sys.exit(3)
""")


def start_frozen_exit(server, tmp_path, mode, count=8, query_timeout_ms=3000):
    results = tmp_path / f"results-{mode}.txt"
    child = subprocess.Popen([sys.executable, "-c", FROZEN_EXIT, str(MODULE_DIR), server.address,
                              str(server.process.pid), str(count), str(query_timeout_ms), mode, str(results)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return child, results


def test_exit_ends_every_object_against_a_frozen_server_within_one_query_timeout(start_server, tmp_path):
    modes = ("gc", "gc off", "held")
    servers = [start_server() for _ in modes]
    try:
        children = [start_frozen_exit(server, tmp_path, mode) for server, mode in zip(servers, modes)]
        runs = {}
        for mode, (child, results) in zip(modes, children):
            stdout, stderr = child.communicate(timeout=300)
            ended = time.monotonic()
            exiting = float(stdout.split("exiting")[1].split()[0]) if "exiting" in stdout else ended
            runs[mode] = (child.returncode, results.read_text(), ended - exiting, stderr[-2000:])
    finally:
        for server in servers:
            server.thaw()
    # One query_timeout of 3 s and a margin; one object after another took 8 of them.
    bound_s = 3 + 1.5 * machine_slowness()
    assert {mode: run[:2] for mode, run in runs.items()} == {mode: (3, "kept text") for mode in modes}, runs
    assert all(run[2] < bound_s for run in runs.values()), (bound_s, runs)
    # Each object's goodbye went unanswered, and said so on logging's last resort or on stderr.
    assert all(run[3].count("Error disconnecting from server") == 8 for run in runs.values()), runs


def test_ctrl_c_ends_the_exits_wait_at_once(server, tmp_path):
    child, results = start_frozen_exit(server, tmp_path, "gc", query_timeout_ms=20000)
    try:
        line = child.stdout.readline().split()
        assert line[0] == "exiting", line
        line = child.stdout.readline().split()
        assert line == ["handlers", "done"], line
        # The exit's wait has begun once SIGINT is caught again.
        wait_until(lambda: int(re.search(r"SigCgt:\s*([0-9a-f]+)", pathlib.Path(f"/proc/{child.pid}/status")
                                         .read_text())[1], 16) & 1 << (signal.SIGINT - 1))
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=60) == 3
        # Neither a deallocation nor anything else waits for the goodbyes again.
        assert time.monotonic() - sent < 1.0 * machine_slowness()
        assert results.read_text() == "kept text"
    finally:
        server.thaw()
        child.kill()
        child.communicate()


# A program's own atexit handler registered before the module was imported runs after the module's
# own hooks would: it still finishes and collects its reads.
BEFORE_IMPORT = textwrap.dedent("""
    import atexit, sys
    sys.path[:0] = [sys.argv[1], sys.argv[2]]

    def finish_and_collect():
        print("finish", client.finish(60), flush=True)
        reads = [read for group in collect(client, 20) for read in group]
        print("called", sum("sequence" in read["datasets"] for read in reads), "of", len(reads), flush=True)

    atexit.register(finish_and_collect)
    import tessellpy
    from conftest import collect, make_read
    client = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast", 2)
    assert client.connect() == tessellpy.success
    for tag in range(1, 21):
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == tessellpy.read_accepted
""")


def test_an_atexit_handler_registered_before_the_import_still_finishes_its_reads(server):
    run = subprocess.run([sys.executable, "-c", BEFORE_IMPORT, str(MODULE_DIR), os.path.dirname(__file__),
                          server.address], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["finish result.success", "called 20 of 20"], run.stderr


# A SIGTERM handler that calls sys.exit(3), as a service's under systemd or docker does, while a
# client's deallocation waits out a frozen server's goodbye: by `del`, by rebinding the name, by a
# function's return.
SIGTERM_IN_DEALLOCATION = textwrap.dedent("""
    import signal, sys, time
    sys.path[:0] = [sys.argv[1]]
    import tessellpy
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    address, how = sys.argv[2], sys.argv[3]

    def connected():
        client = tessellpy.VexilClient(address, "dna_sim_fast")
        client.set_params({"query_timeout": 3000})
        assert client.connect() == tessellpy.success
        return client

    def held_until_return():
        client = connected()
        print("connected", flush=True)
        sys.stdin.readline()
        print("deallocating", flush=True)

    if how == "return":
        held_until_return()
    else:
        c = connected()
        print("connected", flush=True)
        sys.stdin.readline()
        print("deallocating", flush=True)
        if how == "del":
            del c
        else:
            c = tessellpy.VexilClient("ipc:///nonexistent/tessellpy-rebind.sock", "dna_sim_fast")
    for _ in range(50):
        time.sleep(0.1)
    print("ran on", flush=True)
""")


def test_sys_exit_from_a_sigterm_handler_during_a_deallocation_ends_the_program(start_server):
    hows = ("del", "rebind", "return")
    servers = [start_server() for _ in hows]
    children = [subprocess.Popen([sys.executable, "-c", SIGTERM_IN_DEALLOCATION, str(MODULE_DIR), server.address, how],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for server, how in zip(servers, hows)]
    try:
        for server, child in zip(servers, children):
            assert child.stdout.readline().split() == ["connected"]
            server.freeze()
            child.stdin.write("\n")
            child.stdin.flush()
            assert child.stdout.readline().split() == ["deallocating"]
        time.sleep(0.5)
        sent = time.monotonic()
        for child in children:
            child.send_signal(signal.SIGTERM)
        runs = {}
        for how, child in zip(hows, children):
            stdout, stderr = child.communicate(timeout=60)
            runs[how] = (child.returncode, stdout, time.monotonic() - sent, stderr[-1000:])
    finally:
        for server in servers:
            server.thaw()
        for child in children:
            child.kill()
            child.communicate()
    assert {how: run[:2] for how, run in runs.items()} == {how: (3, "") for how in hows}, runs
    # The goodbye in the background may still take the rest of its query_timeout of 3 s.
    assert all(run[2] < 2.5 + 1.5 * machine_slowness() for run in runs.values()), runs


# A query to a frozen server with a long time-out, interrupted by a SIGTERM handler's sys.exit(3).
SIGTERM_IN_QUERY = textwrap.dedent("""
    import signal, sys
    sys.path[:0] = [sys.argv[1]]
    import tessellpy
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    print("querying", flush=True)
    tessellpy.get_server_stats(sys.argv[2], 20000)
""")


def test_an_exit_after_an_interrupted_query_waits_for_it_at_most_two_seconds_and_says_so(server):
    server.freeze()
    child = subprocess.Popen([sys.executable, "-c", SIGTERM_IN_QUERY, str(MODULE_DIR), server.address],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().split() == ["querying"]
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGTERM)
        _, stderr = child.communicate(timeout=60)
        took = time.monotonic() - sent
    finally:
        server.thaw()
        child.kill()
        child.communicate()
    assert child.returncode == 3, stderr
    # 2 s at most, where the query's own 20 s were waited out before.
    assert took < 2 + 1.5 * machine_slowness(), (took, stderr)
    assert re.search(r"the exit waits up to [0-9.]+ s more for: get_server_stats\('ipc://", stderr), stderr
