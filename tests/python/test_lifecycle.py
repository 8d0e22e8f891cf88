"""A VexilClient through a program's whole life: a forked child, a library client that fails while
the others run, the library's own log on Python's logging, and calls after a failed connect."""
import logging
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import tessellpy
from conftest import CONFIG, MODULE_DIR, collect, make_read, wait_until

result = tessellpy.result
pass_result = tessellpy.pass_read_result

# The child exits normally (sys.exit: destructors and atexit run) after using the inherited object,
# and a fresh object of its own; the parent carries on with its connection afterwards.
FORK = textwrap.dedent("""
    import os, sys
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import collect, make_read

    client = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast", 2)
    assert client.connect() == tessellpy.success
    pid = os.fork()
    if pid == 0:
        for call in (lambda: client.pass_read(make_read(1, "ACGT" * 60)), client.get_status, client.finish,
                     client.disconnect, lambda: repr(client)):
            try:
                call()
                print("child accepted a call", flush=True)
            except RuntimeError as error:
                assert "forked child" in str(error) and "new VexilClient" in str(error), error
        fresh = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
        assert fresh.connect() == tessellpy.success
        assert fresh.pass_read(make_read(50, "ACGT" * 60)) == tessellpy.read_accepted
        assert fresh.finish(30) == tessellpy.success
        print("child fresh", [g[0]["read_tag"] for g in collect(fresh, 1)], flush=True)
        sys.exit(0)
    _, status = os.waitpid(pid, 0)
    print("child status", status, flush=True)
    for tag in range(1, 7):
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == tessellpy.read_accepted
    print("parent finish", client.finish(30), flush=True)
    print("parent reads", sorted(g[0]["read_tag"] for g in collect(client, 6)), flush=True)
""")


def test_a_forked_child_is_refused_the_parents_object_and_leaves_its_connection_alone(server):
    run = subprocess.run([sys.executable, "-c", FORK, str(MODULE_DIR), os.path.dirname(__file__), server.address],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["child fresh [50]", "child status 0", "parent finish result.success",
                                       "parent reads [1, 2, 3, 4, 5, 6]"], run.stderr


# Children that end normally while the parent's library threads (its engine, the tracing that an
# accepted set_params starts) run: plain sys.exit, after del, after a refused call. A child that waited
# on a thread it does not have would never end, so each gets a bound and is killed after it.
FORK_EXITS = textwrap.dedent("""
    import os, sys, time
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import collect, make_read

    bound_s = 5 * max(1.0, os.getloadavg()[0] / os.cpu_count())
    client = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
    assert client.set_params({"connection_timeout": 30}) == tessellpy.success
    assert client.connect() == tessellpy.success
    for tag in range(1, 4):
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == tessellpy.read_accepted
    assert len(collect(client, 3)) == 3
    hung = 0
    for fork in range(20):
        pid = os.fork()
        if pid == 0:
            if fork % 3 == 1:
                del client
            elif fork % 3 == 2:
                try:
                    client.pass_read(make_read(9, "ACGT" * 60))
                except RuntimeError:
                    pass
            sys.exit(0)
        deadline = time.monotonic() + bound_s
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                hung += 1
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                break
            time.sleep(0.01)
    print("hung", hung, flush=True)
    assert client.pass_read(make_read(10, "ACGT" * 60), 10000) == tessellpy.read_accepted
    print("parent reads", [g[0]["read_tag"] for g in collect(client, 1)], flush=True)
""")


def test_forked_children_that_exit_normally_end_and_leave_the_parent_working(server):
    run = subprocess.run([sys.executable, "-c", FORK_EXITS, str(MODULE_DIR), os.path.dirname(__file__),
                          server.address], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["hung 0", "parent reads [10]"], run.stderr


def test_status_shows_a_failed_client_and_connect_brings_it_back(start_server, caplog):
    # The server loses every read of the first connection it numbers client_1: that library client
    # goes to the error state while the others stay connected. Its repair gets another number.
    server = start_server("--fault", "reads_lost,client=client_1,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG, 3)
    assert client.connect() == result.success
    for tag in range(1, 4):
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == pass_result.read_accepted
    back = collect(client, 2, timeout_s=30)
    # The other clients' reads may come back before client_1 hears that its read was lost.
    wait_until(lambda: client.get_status() == tessellpy.error_state)
    assert "error" in repr(client) and "invalid reply" in client.get_error_message()
    # The library's own error reached Python's logging.
    assert any(r.name == "tessellpy.library" and r.levelno == logging.ERROR for r in caplog.records)
    assert client.connect() == result.success
    assert client.get_status() == tessellpy.connected and client.get_error_message() == ""
    assert client.connect() == result.already_connected
    for tag in range(4, 10):
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == pass_result.read_accepted
    assert client.finish(30) == result.success
    back += collect(client, 9 - sum(len(group) for group in back))
    assert sorted(group[0]["read_tag"] for group in back) == list(range(1, 10))
    client.disconnect()


SILENCED = textwrap.dedent("""
    import logging, sys
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import make_read
    logging.getLogger("tessellpy").setLevel(logging.CRITICAL)
    client = tessellpy.VexilClient(sys.argv[3], "dna_sim_fast")
    client.set_params({"connection_timeout": 300, "query_timeout": 300, "reconnect_timeout": 1})
    assert client.connect() != tessellpy.success
    client.disconnect()
    live = tessellpy.VexilClient(sys.argv[4], "dna_sim_fast")
    assert live.connect() == tessellpy.success
    for _ in range(50):
        assert live.pass_read(make_read(1, "ACGT" * 60, daq_scaling=0.0)) == tessellpy.bad_read
    live.disconnect()
""")


def test_library_records_follow_the_logging_configuration(server):
    silent = "ipc:///nonexistent/tessellpy-silent.sock"
    run = subprocess.run([sys.executable, "-c", SILENCED, str(MODULE_DIR), os.path.dirname(__file__), silent,
                          server.address], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    # Unconfigured, logging's last resort prints the library's warnings once each.
    loud = SILENCED.replace('logging.getLogger("tessellpy").setLevel(logging.CRITICAL)', "")
    run = subprocess.run([sys.executable, "-c", loud, str(MODULE_DIR), os.path.dirname(__file__), silent,
                          server.address], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stderr.count("daq_scaling must be a finite number above 0") == 50, run.stderr


def test_no_configuration_after_a_failed_connect(start_server):
    server = start_server("--fault", "bad_request,request=LOAD_CONFIG,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG, 2)
    assert client.connect() == result.bad_request
    assert client.get_basecalling_config() == ({}, result.no_connection)
    assert client.get_alignment_sam_header() == ("", result.no_connection)
    client.disconnect()
    assert client.get_basecalling_config() == ({}, result.no_connection)


def test_only_str_keys_name_fields(server):
    client = tessellpy.VexilClient(server.address, CONFIG)
    assert client.connect() == result.success
    read = {**make_read(28, "ACGT" * 60), b"read_tag": 4000000, 7: "seven"}
    assert client.pass_read(read, 10000) == pass_result.read_accepted
    assert client.finish(30) == result.success
    assert [group[0]["read_tag"] for group in collect(client, 1)] == [28]
    client.disconnect()


def test_a_logging_handler_that_raises_keyboard_interrupt_stops_the_call():
    class Interrupting(logging.Handler):
        def emit(self, record):
            raise KeyboardInterrupt

    library = logging.getLogger("tessellpy.library")
    handler = Interrupting()
    library.addHandler(handler)
    try:
        client = tessellpy.VexilClient("ipc:///nonexistent/tessellpy-interrupting.sock", CONFIG)
        client.set_params({"connection_timeout": 300, "query_timeout": 300, "reconnect_timeout": 1})
        # The failed connection is logged while connect waits, or as it returns.
        with pytest.raises(KeyboardInterrupt):
            client.connect()
    finally:
        library.removeHandler(handler)
    client.disconnect()


# A connected object at module level whose server froze: the interpreter's exit ends its connection
# while logging still takes the library's warnings.
AT_EXIT = textwrap.dedent("""
    import logging, os, signal, sys
    sys.path[:0] = [sys.argv[1]]
    logging.basicConfig(format="LOGGED %(name)s %(message)s")
    import tessellpy
    client = tessellpy.VexilClient(sys.argv[2], "dna_sim_fast", 2)
    client.set_params({"query_timeout": 300})
    assert client.connect() == tessellpy.success
    os.kill(int(sys.argv[3]), signal.SIGSTOP)
    # kill() returns before a busy machine has stopped the server: an answered goodbye logs nothing.
    while open("/proc/%s/stat" % sys.argv[3]).read().rsplit(")", 1)[1].split()[0] != "T":
        pass
""")


def test_the_last_disconnect_at_exit_reaches_logging(server):
    try:
        run = subprocess.run([sys.executable, "-c", AT_EXIT, str(MODULE_DIR), server.address,
                              str(server.process.pid)], capture_output=True, text=True, timeout=120)
    finally:
        server.process.send_signal(signal.SIGCONT)
    assert run.returncode == 0, run.stderr
    assert run.stderr.count("LOGGED tessellpy.library Error disconnecting from server") == 2, run.stderr


# Run apart: before they raised, these crashed the interpreter.
MISUSE = textwrap.dedent("""
    import pickle, sys
    sys.path[:0] = [sys.argv[1]]
    import tessellpy
    earlier = tessellpy.VexilClient("ipc:///nonexistent/tessellpy.sock", "dna_sim_fast")
    del earlier  # its memory is reused
    bare = tessellpy.VexilClient.__new__(tessellpy.VexilClient)
    calls = {"get_status": bare.get_status, "connect": bare.connect, "pass_read": lambda: bare.pass_read({}),
             "get_completed_reads": bare.get_completed_reads, "repr": lambda: repr(bare)}
    for name, call in calls.items():
        try:
            call()
            print(name, "accepted")
        except TypeError as error:
            print(name, "__init__" in str(error))
    client = tessellpy.VexilClient("ipc:///nonexistent/tessellpy.sock", "dna_sim_fast")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        values = [tessellpy.success, tessellpy.result(10), tessellpy.connected, tessellpy.queue_full,
                  tessellpy.low_priority]
        back = pickle.loads(pickle.dumps(values, protocol))
        print("enums", protocol, back == values and [type(v) for v in back] == [type(v) for v in values])
        try:
            pickle.dumps(client, protocol)
            print("client", protocol, "pickled")
        except TypeError:
            print("client", protocol, "refused")
""")


def test_misuse_raises_rather_than_crashing():
    run = subprocess.run([sys.executable, "-c", MISUSE, str(MODULE_DIR)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    expected = [f"{name} True" for name in ("get_status", "connect", "pass_read", "get_completed_reads", "repr")]
    for protocol in range(6):
        expected += [f"enums {protocol} True", f"client {protocol} refused"]
    assert run.stdout.splitlines() == expected
