"""The end of a program: daemon threads left inside the module's calls, and subinterpreters."""
import os
import subprocess
import sys
import textwrap

from conftest import MODULE_DIR

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
