"""Forked children that use the library while the parent's library threads flood its log."""
import os
import subprocess
import sys
import textwrap

from conftest import MODULE_DIR

# Flooding clients lose every read on the server, so their workers log a warning for nearly every
# pull. Each child makes its own client, connects and passes a read, then leaves at once (os._exit:
# only its own use of the library is under test). A child not done within the bound counts as hung.
FORK_WHILE_LOGGING = textwrap.dedent("""
    import logging, os, signal, sys, threading, time
    sys.path[:0] = [sys.argv[1], sys.argv[2]]
    import tessellpy
    from conftest import collect, make_read

    address, forks, bound_s = sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
    library_log = logging.getLogger("tessellpy.library")
    library_log.addHandler(logging.NullHandler())
    library_log.propagate = False
    stop = threading.Event()
    flooded = []

    def flood():
        client = tessellpy.VexilClient(address, "dna_sim_fast")
        assert client.set_params({"client_name": "flooder"}) == tessellpy.success
        assert client.connect() == tessellpy.success
        tag = 0
        while not stop.is_set():
            tag += 1
            client.pass_read(make_read(tag, "ACGT" * 10))
            client.get_completed_reads()
        flooded.append(tag)
        client.disconnect()

    def child():
        client = tessellpy.VexilClient(address, "dna_sim_fast")
        ok = (client.set_params({"client_name": "child"}) == tessellpy.success
              and client.connect() == tessellpy.success
              and client.pass_read(make_read(7, "ACGT" * 60)) == tessellpy.read_accepted
              and len(collect(client, 1, timeout_s=bound_s)) == 1)
        os._exit(0 if ok else 1)

    flooders = [threading.Thread(target=flood) for _ in range(6)]
    for thread in flooders:
        thread.start()
    time.sleep(0.5)
    hung = done = failed = 0
    for _ in range(forks):
        pid = os.fork()
        if pid == 0:
            child()
        deadline = time.monotonic() + bound_s
        ended, status = os.waitpid(pid, os.WNOHANG)
        while ended == 0 and time.monotonic() < deadline:
            time.sleep(0.005)
            ended, status = os.waitpid(pid, os.WNOHANG)
        if ended == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            hung += 1
            if hung == 3:
                break
        else:
            done += 1
            failed += status != 0
    stop.set()
    for thread in flooders:
        thread.join()
    print("forks", done + hung, "hung", hung, "failed", failed, "reads flooded", sum(flooded), flush=True)
""")


def test_forked_children_use_the_library_while_parent_threads_log(start_server):
    server = start_server("--no-model", "--fault",
                          "reads_lost,request=GET_FIRST_CALLED_BLOCK,client=flooder,count=forever")
    forks = 100
    run = subprocess.run([sys.executable, "-c", FORK_WHILE_LOGGING, str(MODULE_DIR), os.path.dirname(__file__),
                          server.address, str(forks), "30"], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    words = run.stdout.split()
    assert words[:6] == ["forks", str(forks), "hung", "0", "failed", "0"], run.stdout + run.stderr
    assert int(words[-1]) > 1000, run.stdout
