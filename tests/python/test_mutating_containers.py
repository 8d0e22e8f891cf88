"""Lists and read dicts that the caller's own code changes while the module converts them.

Each case runs in a child interpreter, as a fault here ends the process rather than failing a test:
the child must end with every call answered by a result or an exception, never a crash.
"""
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR

CASES = r"""
import collections, sys, threading
sys.path[:0] = sys.argv[1:3]
import numpy as np
import tessellpy
from conftest import make_read

client = tessellpy.VexilClient("ipc:///nonexistent/tessellpy.sock", "dna_sim_fast")
sys.setswitchinterval(1e-6)  # the churning thread gets in between any two steps of a call

def outcome(call):
    try:
        result = call()
    except (RuntimeError, TypeError) as error:
        return type(error).__name__
    assert result is not None
    return result.name

def item(tag, **extra):
    return collections.UserDict(make_read(tag, "ACGT" * 30, **extra))

def race():
    shared = [item(tag) for tag in range(40)]
    stop = threading.Event()
    def churn():
        while not stop.is_set():
            shared.clear()
            shared.extend(item(tag) for tag in range(40))
    thread = threading.Thread(target=churn)
    thread.start()
    try:
        return {outcome(lambda: client.pass_reads(shared)) for _ in range(100)}
    finally:
        stop.set()
        thread.join()

def keys_clear_the_list():
    shared = []
    class Clearing(collections.UserDict):
        def keys(self):
            shared.clear()
            return super().keys()
    shared.extend([Clearing(make_read(1, "ACGT" * 30)), item(2), item(3)])
    return outcome(lambda: client.pass_reads(shared))

def growing_list():
    shared = []
    class Growing(collections.UserDict):
        def keys(self):
            shared.extend(item(9) for _ in range(64))
            return super().keys()
    shared.extend(Growing(make_read(tag, "ACGT" * 30)) for tag in range(3))
    return outcome(lambda: client.pass_reads(shared))

def read_tag_empties_the_read():
    read = make_read(1, "ACGT" * 30)
    class Tag:
        __class__ = property(lambda self: np.int64)
        def __index__(self):
            read.clear()
            return -1  # refused, so that the message describes the value
    read["read_tag"] = Tag()
    return outcome(lambda: client.pass_reads([read]))

def read_id_empties_the_read():
    read = make_read(1, "ACGT" * 30)
    class ReadId(str):
        def __len__(self):
            read.clear()
            return 6
    read["read_id"] = ReadId("read-1")
    return outcome(lambda: client.pass_read(read))

def option_empties_the_params():
    params = {}
    class Threads:
        __class__ = property(lambda self: np.int64)
        def __index__(self):
            params.clear()
            return -1
    params["query_timeout"] = Threads()
    return outcome(lambda: client.set_params(params))

for case in sys.argv[3:]:
    print(case, globals()[case](), flush=True)
"""

NAMES = ["race", "keys_clear_the_list", "growing_list", "read_tag_empties_the_read", "read_id_empties_the_read",
         "option_empties_the_params"]


@pytest.mark.parametrize("allocator", ["pymalloc", "debug"])
def test_containers_changed_during_conversion_never_crash(allocator):
    env = {**os.environ, "PYTHONMALLOC": allocator}
    run = subprocess.run([sys.executable, "-c", CASES, str(MODULE_DIR), os.path.dirname(__file__), *NAMES],
                         env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = dict(line.split(" ", 1) for line in run.stdout.splitlines())
    assert list(lines) == NAMES
    # Every item of the shared list is a read dict: none is ever missed or read after it was freed.
    assert lines["race"] == "{'not_accepting_reads'}"
    # What a snapshot gives: the reads as they were when the call began.
    assert lines["keys_clear_the_list"] == "not_accepting_reads"
    assert lines["growing_list"] == "not_accepting_reads"
    # A read dict emptied under its own conversion is an error, as a changed dict is to a Python loop.
    assert lines["read_tag_empties_the_read"] == "RuntimeError"
    assert lines["read_id_empties_the_read"] == "RuntimeError"
    assert lines["option_empties_the_params"] == "failed"
