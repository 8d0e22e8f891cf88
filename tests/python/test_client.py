"""The class VexilClient: its answers without a server, and whole sessions against the reference
server with one and with several library clients."""
import json
import threading
import time

import numpy as np
import pytest

import tessellpy
from conftest import CONFIG, collect, make_read, random_sequence

result = tessellpy.result
pass_result = tessellpy.pass_read_result
NO_SERVER = "ipc:///nonexistent/tessellpy.sock"


@pytest.mark.parametrize("count", [0, 101, -1, 2 ** 32 + 1, 2 ** 70])
def test_number_of_clients_outside_1_to_100_is_refused(count):
    with pytest.raises(RuntimeError, match="^Invalid number of worker threads specified.$"):
        tessellpy.VexilClient(NO_SERVER, CONFIG, count)


def test_answers_without_a_connection():
    client = tessellpy.VexilClient(NO_SERVER, CONFIG, 100)
    assert client.get_status() == tessellpy.status.disconnected == tessellpy.disconnected
    assert client.finish() == result.no_connection and client.disconnect() == result.no_connection
    assert client.get_error_message() == ""
    assert client.get_completed_reads() == []
    assert client.get_basecalling_config() == ({}, result.no_connection)
    assert client.get_alignment_sam_header() == ("", result.no_connection)
    assert repr(client).split("\n") == ["VexilClient(status=disconnected)"] * 100
    with pytest.raises(RuntimeError, match="Negative timeout specified for finish"):
        client.finish(-1)
    read = make_read(1, "ACGT" * 60)
    assert client.pass_read({"read_tag": 1}, -5) == pass_result.bad_read
    with pytest.raises(ValueError, match="wait_duration_ms"):
        client.pass_read(read, -5)
    with pytest.raises(ValueError):
        client.pass_reads([read], -1)
    assert client.pass_reads([read, {"read_tag": 2}]) == pass_result.bad_read
    assert client.pass_reads([list(read.items())]) == pass_result.not_accepting_reads
    assert client.pass_read(read, 2 ** 40) == pass_result.not_accepting_reads


def test_enums_and_versions():
    assert int(result.invalid_aligner_options) == 15 and tessellpy.failed == result.failed
    assert int(tessellpy.read_accepted) == 0 and int(tessellpy.bad_read) == 3
    assert int(tessellpy.error_state) == 7 and int(tessellpy.low_priority) == 2
    assert not hasattr(result, "align_index_no_seq")
    assert tessellpy.get_software_version() == (7, 2, 15)
    assert tessellpy.get_protocol_version() == (16, 0, 0)


def run_session(client, reads):
    """Passes the reads, half one by one and half in lists, and collects every group."""
    half = len(reads) // 2
    for read in reads[:half]:
        assert client.pass_read(read, 10000) == pass_result.read_accepted
    for start in range(half, len(reads), 5):
        assert client.pass_reads(reads[start:start + 5], 10000) == pass_result.read_accepted
    return collect(client, len(reads))


@pytest.mark.parametrize("num_clients", [1, 8])
def test_every_read_comes_back_once_called(server, num_clients):
    rng = np.random.default_rng(num_clients)
    sequences = {tag: random_sequence(rng, int(rng.integers(200, 2000))) for tag in range(1, 61)}
    client = tessellpy.VexilClient(server.address, CONFIG, num_clients)
    assert client.set_params({"client_name": "pytest", "move_and_trace_enabled": True}) == result.success
    assert client.connect() == result.success
    assert client.get_status() == tessellpy.connected
    assert client.set_params({"client_name": "late"}) == result.already_connected

    groups = run_session(client, [make_read(tag, sequence) for tag, sequence in sequences.items()])
    tags = [read["read_tag"] for group in groups for read in group]
    assert sorted(tags) == sorted(sequences)
    for group in groups:
        assert len(group) == 1
        read = group[0]
        datasets, metadata = read["datasets"], read["metadata"]
        assert datasets["sequence"] == sequences[read["read_tag"]]
        assert isinstance(datasets["qstring"], str) and len(datasets["qstring"]) == len(datasets["sequence"])
        assert datasets["movement"].dtype == np.uint8 and datasets["movement"].ndim == 1
        assert datasets["flipflop_trace"].dtype == np.uint8 and datasets["flipflop_trace"].ndim == 2
        assert datasets["raw_data"].dtype == np.int16
        assert metadata["read_id"] == f"read-{read['read_tag']}"
        assert type(metadata["duration"]) is int and type(metadata["mean_qscore"]) is float
        assert "alignment_sam_record" not in metadata
    assert client.finish(30) == result.success
    assert client.disconnect() == result.no_connection


def test_aligned_reads_carry_records_and_sam_lines(start_server, tmp_path):
    rng = np.random.default_rng(7)
    reference = random_sequence(rng, 4000)
    fasta = tmp_path / "ref.fa"
    fasta.write_text(">chr1\n" + reference + "\n")
    server = start_server()
    client = tessellpy.VexilClient(server.address, CONFIG)
    assert client.set_params({"align_ref": str(fasta)}) == result.success
    assert client.connect() == result.success
    header, code = client.get_alignment_sam_header()
    assert code == result.success and "SN:chr1\tLN:4000" in header

    groups = run_session(client, [make_read(i + 1, reference[400 * i:400 * i + 300]) for i in range(4)])
    assert len(groups) == 4
    for (read,) in groups:
        records = read["datasets"]["align_results"]
        assert records.dtype.itemsize == 320 and records.dtype.names[0] == "genome"
        assert records["genome"][0] == b"chr1" and records["direction"][0] == b"+"
        assert records["genome_start"][0] == 400 * (read["read_tag"] - 1)
        sam = read["metadata"]["alignment_sam_record"].split("\t")
        assert sam[0] == f"read-{read['read_tag']}" and sam[2] == "chr1"
        assert not read["metadata"]["alignment_sam_record"].endswith("\n")
    client.finish(30)


def test_interpreter_runs_while_connect_waits(start_server):
    server = start_server("--fault", "delay,request=LOAD_CONFIG,delay=400")
    client = tessellpy.VexilClient(server.address, CONFIG)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.monotonic()
        assert client.connect() == result.success
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    assert end - start >= 0.35
    assert sum(start < t < end for t in ticks) >= 10
    client.disconnect()


def test_lifecycle_calls_from_several_threads(start_server):
    server = start_server("--fault", "delay,request=LOAD_CONFIG,delay=400")
    client = tessellpy.VexilClient(server.address, CONFIG, 2)
    outcomes = []
    connectors = [threading.Thread(target=lambda: outcomes.append(client.connect())) for _ in range(2)]
    connectors[0].start()
    deadline = time.monotonic() + 10
    while client.get_status() == tessellpy.disconnected and time.monotonic() < deadline:
        time.sleep(0.001)
    assert client.set_params({"client_name": "during connect"}) == result.already_connected
    connectors[1].start()
    for thread in connectors:
        thread.join()
    assert sorted(outcomes, key=int) == [result.success, result.already_connected]
    assert client.finish(30) == result.success


def test_failed_connect_of_second_client_leaves_every_client_disconnected(start_server):
    server = start_server("--fault", "bad_request,request=CONNECT,from=2,text=refused by test")
    client = tessellpy.VexilClient(server.address, CONFIG, 3)
    assert client.connect() == result.bad_request
    assert repr(client).split("\n") == ["VexilClient(status=disconnected)"] * 3
    assert client.get_status() == tessellpy.disconnected
    assert "Client 1 of 3" in client.get_error_message() and "refused by test" in client.get_error_message()
    assert client.disconnect() == result.no_connection and client.get_error_message() == ""
    assert client.set_params({"client_name": "x"}) == result.success


def test_reads_go_to_the_clients_in_rotation(server):
    client = tessellpy.VexilClient(server.address, CONFIG, 3)
    assert client.connect() == result.success
    sequence = "ACGT" * 60
    for tag in range(1, 7):
        assert client.pass_read(make_read(tag, sequence), 10000) == pass_result.read_accepted
        if tag == 2:
            assert client.pass_read({"read_tag": 99}) == pass_result.bad_read
    assert client.finish(30) == result.success
    # Completed reads are gathered client by client: 0 got reads 1 and 4, 1 got 2 and 5, 2 got 3 and 6.
    groups = client.get_completed_reads()
    tags = [group[0]["read_tag"] for group in groups]
    assert [set(tags[0:2]), set(tags[2:4]), set(tags[4:6])] == [{1, 4}, {2, 5}, {3, 6}]


def test_result_without_a_member_name_arrives_as_its_number(start_server):
    server = start_server("--fault", "loading,request=LOAD_CONFIG,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG)
    assert client.set_params({"server_file_load_timeout": 1}) == result.success
    outcome = client.connect()
    assert isinstance(outcome, result) and int(outcome) == 11
    assert str(outcome) == "result 11 (file_load_timeout)" and repr(outcome) == "<result 11: file_load_timeout>"
    assert client.get_status() == tessellpy.error_state
    assert "VexilClient(status=error, " in repr(client)


def test_wait_beyond_32_bits_is_clamped_not_wrapped(start_server):
    # Every request waits, so the worker drains the one-read queue slowly.
    server = start_server("--fault", "delay,delay=100,count=forever")
    client = tessellpy.VexilClient(server.address, CONFIG)
    assert client.set_params({"max_reads_queued": 1}) == result.success
    assert client.connect() == result.success
    tag = 0
    outcome = pass_result.read_accepted
    while outcome == pass_result.read_accepted and tag < 50:
        tag += 1
        outcome = client.pass_read(make_read(tag, "ACGT" * 60), 0)
    assert outcome == pass_result.queue_full
    # 2**32 would wrap to 0 and find the queue still full; clamped, it waits for room.
    assert client.pass_read(make_read(tag, "ACGT" * 60), 2 ** 32) == pass_result.read_accepted
    client.disconnect()


def test_a_read_tag_is_in_flight_across_all_clients_until_collected(server, caplog):
    client = tessellpy.VexilClient(server.address, CONFIG, 3)
    assert client.connect() == result.success
    first, twin = make_read(7, "ACGT" * 60), make_read(7, "TTGCA" * 50)
    assert client.pass_read(first, 10000) == pass_result.read_accepted
    # The twin would go to another library client, which knows nothing of tag 7.
    assert client.pass_read(twin, 10000) == pass_result.bad_read
    assert "read tag 7 is already in flight" in caplog.text
    assert client.pass_reads([make_read(8, "ACGT" * 60), make_read(8, "ACGT" * 60)]) == pass_result.bad_read
    assert "read tag 8 is repeated in the list" in caplog.text
    assert client.pass_reads([make_read(9, "ACGT" * 60), make_read(7, "ACGT" * 60)]) == pass_result.bad_read
    # Nothing of a refused list was passed: tag 9 is free.
    assert client.pass_read(make_read(9, "ACGT" * 60), 10000) == pass_result.read_accepted
    groups = collect(client, 2)
    assert sorted(group[0]["read_tag"] for group in groups) == [7, 9]
    assert client.pass_read(twin, 10000) == pass_result.read_accepted
    (again,), = collect(client, 1)
    assert again["read_tag"] == 7 and again["datasets"]["sequence"] == "TTGCA" * 50
    assert client.finish(30) == result.success


def test_internal_state_reports_this_objects_own_clients(server):
    mine = tessellpy.VexilClient(server.address, CONFIG, 2)
    tessellpy.VexilClient("ipc:///nonexistent/other.sock", "other_config")  # created last
    assert mine.set_params({"query_timeout": 4321, "priority": tessellpy.high_priority}) == result.success
    assert mine.connect() == result.success
    assert mine.pass_read(make_read(1, "ACGT" * 60), 10000) == pass_result.read_accepted

    def reports():
        return [json.loads(line)["VexilClient"] for line in mine.get_internal_state().split("\n")]

    assert [report["client"] for report in reports()] == [0, 1]
    assert {report["address"] for report in reports()} == {server.address}
    assert [report["reads_in_flight"] for report in reports()] == [1, 0]
    assert all(report["status"] == "connected" and report["connected_server"]["client_uid"] for report in reports())
    # Each library client's own report: the settings reached every one of them.
    held = [report["library_client"] for report in reports()]
    assert [(own["m_address"], own["m_timeout"], own["priority"]) for own in held] == [(server.address, 4321, 0)] * 2
    assert all(own["status"] == "connected" and own["BasecallClient"] for own in held)

    # A called read left uncollected survives the next connect, and keeps its tag until handed back.
    deadline = time.monotonic() + 30
    while reports()[0]["completed_reads_waiting"] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert mine.disconnect() == result.success and mine.connect() == result.success
    assert mine.pass_read(make_read(1, "ACGT" * 60), 10000) == pass_result.bad_read
    assert [group[0]["read_tag"] for group in mine.get_completed_reads()] == [1]
    assert mine.pass_read(make_read(1, "ACGT" * 60), 10000) == pass_result.read_accepted
    mine.disconnect()


@pytest.mark.parametrize("change, reason", [
    ({"daq_scaling": float("nan")}, "daq_scaling must be a finite number above 0, not nan"),
    ({"daq_scaling": 0.0}, "daq_scaling must be a finite number above 0"),
    ({"daq_offset": float("inf")}, "daq_offset must be a finite number, not inf"),
    ({"raw_data": np.zeros(0, dtype=np.int16)}, "raw_data holds no samples"),
])
def test_a_read_the_library_refuses_is_explained_on_the_module_logger(server, caplog, capfd, change, reason):
    client = tessellpy.VexilClient(server.address, CONFIG, 2)
    assert client.connect() == result.success
    bad = make_read(2, "ACGT" * 60, **change)
    assert client.pass_read(bad, 1000) == pass_result.bad_read
    assert [record.name for record in caplog.records] == ["tessellpy"]
    assert f"pass_read refused the read: Invalid data in ReadHolder object: {reason}" in caplog.text
    assert capfd.readouterr().err == ""  # explained once: the library prints nothing of its own
    caplog.clear()
    assert client.pass_reads([make_read(1, "ACGT" * 60), bad], 1000) == pass_result.bad_read
    assert f"pass_reads refused the list: read 1: Invalid data in ReadHolder object: {reason}" in caplog.text
    # Refused, the tags are free again.
    assert client.pass_reads([make_read(1, "ACGT" * 60), make_read(2, "ACGT" * 60)], 1000) == pass_result.read_accepted
    assert sorted(group[0]["read_tag"] for group in collect(client, 2)) == [1, 2]
    client.disconnect()


def test_a_read_too_short_to_call_comes_back_uncalled_from_pass_read_and_called_from_pass_reads(server, caplog):
    client = tessellpy.VexilClient(server.address, CONFIG, 1)
    assert client.connect() == result.success

    def short(tag):
        return make_read(tag, "ACG" * 6)  # 90 samples: under 20 model strides of 5

    assert client.pass_read(short(1), 10000) == pass_result.read_accepted
    assert client.pass_reads([short(2), make_read(3, "ACGT" * 60), short(4)], 10000) == pass_result.read_accepted
    # A short read holds its tag until collected, like any other; a refused list takes none.
    assert client.pass_reads([make_read(5, "ACGT" * 60), short(2)], 10000) == pass_result.bad_read
    assert "read tag 2 is already in flight" in caplog.text
    assert client.pass_reads([short(6), {**short(7), "daq_scaling": 0.0}], 10000) == pass_result.bad_read
    assert "pass_reads refused the list: read 1: " in caplog.text
    reads = {group[0]["read_tag"]: group[0] for group in collect(client, 4)}
    assert sorted(reads) == [1, 2, 3, 4]
    # As the library's pass_reads: the list's short reads were sent and called.
    assert sorted(tag for tag, read in reads.items() if "sequence" in read["datasets"]) == [2, 3, 4]
    assert reads[2]["datasets"]["sequence"] == "ACG" * 6
    assert client.finish(30) == result.success
