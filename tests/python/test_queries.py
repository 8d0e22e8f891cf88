"""The module's server queries, against the reference server and where no server listens."""
import json

import tessellpy
from conftest import CONFIG, collect, make_read

result = tessellpy.result


def test_kits_and_information_from_the_server(server):
    kits, code = tessellpy.get_barcode_kits(server.address, 2000)
    assert code == result.success
    assert list(kits[0]) == ["kit_name", "first_index", "last_index", "first_inner_index", "last_inner_index",
                             "is_both_ends", "is_dual"]
    assert "SIM-BC12" in [kit["kit_name"] for kit in kits]
    assert type(kits[0]["is_dual"]) is bool and type(kits[0]["first_index"]) is int

    lamp, code = tessellpy.get_lamp_kits(server.address, 2000)
    assert code == result.success and lamp[0]["kit_name"] == "SIM-LAMP"
    assert list(lamp[0]) == ["kit_name", "first_index", "last_index", "targets"]
    assert all(isinstance(target, str) for target in lamp[0]["targets"])

    information, code = tessellpy.get_server_information(server.address, 2000)
    assert code == result.success and json.loads(information)["protocol_version"] == "16.0.0"
    state, code = tessellpy.get_server_internal_state(server.address, 2000)
    assert code == result.success and "ServerInformation" in json.loads(state)


def test_statistics_count_the_reads_of_each_client(server):
    client = tessellpy.VexilClient(server.address, CONFIG, 2)
    assert client.connect() == result.success
    for tag in range(1, 6):
        assert client.pass_read(make_read(tag, "ACGT" * 60), 10000) == tessellpy.read_accepted
    assert sum(len(group) for group in collect(client, 5)) == 5
    stats, code = tessellpy.get_server_stats(server.address, 2000)
    assert code == result.success
    assert list(stats) == ["lifetime_reads_in", "lifetime_reads_out", "period_reads_in", "period_reads_out",
                           "client_statistics"]
    assert stats["lifetime_reads_in"] == 5
    assert sorted(entry["input_read_count"] for entry in stats["client_statistics"]) == [2, 3]
    client.finish(30)


def test_queries_without_a_server_time_out():
    address = "ipc:///nonexistent/tessellpy.sock"
    for query in (tessellpy.get_barcode_kits, tessellpy.get_lamp_kits, tessellpy.get_server_stats,
                  tessellpy.get_server_internal_state):
        assert query(address, 200) == (None, result.timed_out)
    assert tessellpy.get_server_information(address, 200) == ("No information available", result.timed_out)
