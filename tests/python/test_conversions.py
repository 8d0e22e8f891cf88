"""Conversions between Python objects and reads, metadata and datasets, without a server.

A client that is not connected answers pass_read with not_accepting_reads once the dict has
converted, and with bad_read when it has not: that tells the two outcomes apart.
"""
import numpy as np
import pytest

import tessellpy
from conftest import make_read


@pytest.fixture
def client():
    return tessellpy.VexilClient("ipc:///nonexistent/tessellpy.sock", "dna_sim_fast")


def converts(client, read):
    result = client.pass_read(read)
    assert result in (tessellpy.pass_read_result.not_accepting_reads, tessellpy.pass_read_result.bad_read)
    return result == tessellpy.pass_read_result.not_accepting_reads


def test_metadata_to_dict_keeps_types_and_key_order():
    converted = tessellpy.test_metadata_to_dict()
    assert list(converted) == ["channel", "daq_scaling", "duration", "read_id"]
    assert converted["channel"] == 4 and type(converted["channel"]) is int
    assert converted["daq_scaling"] == pytest.approx(2.7)
    assert converted["duration"] == 12000450138
    assert converted["read_id"] == "Test read-id"


def test_datasets_to_dict_exact_dtypes_and_shapes():
    datasets = tessellpy.test_datasets_to_dict()
    assert list(datasets) == ["raw_data", "sequence", "state_data"]
    raw = datasets["raw_data"]
    assert raw.dtype == np.int16 and raw.shape == (1000,)
    assert np.array_equal(raw, np.arange(1000, dtype=np.int16))
    state = datasets["state_data"]
    assert state.dtype == np.uint8 and state.shape == (100, 40) and np.all(state == 128)
    assert state.flags["C_CONTIGUOUS"] and state.flags["OWNDATA"]
    assert datasets["sequence"] == "ACGTCGTGTT"


def test_read_round_trips_through_dict():
    read = tessellpy.test_dict_to_readholder()
    assert read["read_tag"] == 4294967286 and read["sub_tag"] == 0
    assert read["priority"] == tessellpy.read_priority.medium_priority
    assert read["metadata"] == pytest.approx({
        "daq_offset": 1.5, "daq_scaling": 2.5, "read_id": "test_read", "scaling_override": True,
        "scaling_override_med_abs_dev": 4.5, "scaling_override_median": 3.5})
    assert read["metadata"]["scaling_override"] is True
    assert np.array_equal(read["datasets"]["raw_data"], np.arange(100, dtype=np.int16))

    sample = tessellpy.test_readholder_to_dict()
    assert list(sample) == ["read_tag", "sub_tag", "priority", "metadata", "datasets"]
    assert sample["metadata"]["duration"] == 12000450138
    assert set(sample["datasets"]) == {"raw_data", "sequence", "state_data"}


def test_config_details_to_dict_types():
    config = tessellpy.test_config_details_to_dict()
    assert config["model_stride"] == 1 and config["label_length"] == 1
    assert config["int8_mode"] is False and config["duplex"] is False
    assert type(config["temp_weight"]) is float
    assert config["config_name"] == "test_config_filename.cfg"


@pytest.mark.parametrize("items, expected", [
    (["a", "", "b"], (True, "a  b")),
    (["", "b"], (True, "b")),
    (["a", 1], (False, "a")),
    ([], (True, "")),
])
def test_str_list_concat(items, expected):
    assert tessellpy.test_str_list_concat(items) == expected


def test_read_dict_required_fields_and_refused_values(client):
    sequence = "ACGT" * 60
    assert converts(client, make_read(1, sequence, unknown_key=object()))
    assert not converts(client, {k: v for k, v in make_read(1, sequence).items() if k != "read_id"})
    refused = [
        {"daq_offset": 0},
        {"read_tag": -1},
        {"read_tag": 2 ** 32},
        {"read_id": ""},
        {"read_id": b"bytes"},
        {"raw_data": np.zeros((10, 1), dtype=np.int16)},
        {"raw_data": np.zeros(10, dtype=np.int32)},
        {"raw_data": [1, 2, 3]},
        {"override_scaling": 1},
        {"channel": 1.0},
        {"duration": "5"},
    ]
    for change in refused:
        assert not converts(client, make_read(1, sequence, **change)), change
    accepted = [
        {"daq_offset": 0.0},
        {"read_tag": 2 ** 32 - 1},
        {"raw_data": np.zeros(20, dtype=np.int16)[::2]},
        {"override_scaling": True, "scaling_med": 1.0, "scaling_mad": 2.0},
        {"channel": 5, "mux": 2 ** 32 - 1, "run_id": "", "sampling_rate": 4000.0, "start_time": 10, "duration": 5},
    ]
    for change in accepted:
        assert converts(client, make_read(1, sequence, **change)), change


def test_read_dict_numpy_scalars_count_as_the_numbers_they_equal(client):
    sequence = "ACGT" * 60
    for change in [{"daq_offset": np.float32(1.5), "daq_scaling": np.float16(0.5)}, {"read_tag": np.int64(3)},
                   {"channel": np.int32(4), "mux": np.uint8(2), "start_time": np.uint64(2 ** 63)},
                   {"override_scaling": np.bool_(True)}]:
        assert converts(client, make_read(1, sequence, **change)), change
    for change in [{"daq_offset": np.int64(0)}, {"read_tag": np.float64(3.0)}, {"channel": True}]:
        assert not converts(client, make_read(1, sequence, **change)), change


def test_a_refused_read_dict_is_explained(client, caplog):
    sequence = "ACGT" * 60
    assert not converts(client, make_read(1, sequence, daq_offset=0))
    assert "'daq_offset' takes a float" in caplog.text and "got int (0)" in caplog.text
    assert client.pass_reads([make_read(1, sequence), make_read(2, sequence, raw_data=np.zeros((3, 2), np.int16))]) \
        == tessellpy.bad_read
    assert "read 1: 'raw_data' takes a one-dimensional numpy array of int16" in caplog.text
    assert "shape (3, 2)" in caplog.text
    assert not converts(client, {"read_tag": 1})
    assert "required key(s) missing: 'raw_data', 'read_id', 'daq_offset', 'daq_scaling'" in caplog.text


@pytest.mark.parametrize("change, message", [
    ({"channel": 2 ** 31}, "key 'channel': int (2147483648) does not fit a channel number from 0 to 2147483647"),
    ({"channel": -1}, "key 'channel': int (-1) does not fit a channel number"),
    ({"mux": -1}, "key 'mux': int (-1) does not fit an unsigned 32-bit integer"),
    ({"mux": 2 ** 32}, "key 'mux': int (4294967296) does not fit an unsigned 32-bit integer"),
    ({"start_time": -1}, "key 'start_time': int (-1) does not fit an unsigned 64-bit integer"),
    ({"read_tag": 2 ** 63}, "key 'read_tag': int (9223372036854775808) does not fit a signed 64-bit"),
    ({"read_id": "bad \udc80"}, "key 'read_id': str ('bad \\udc80') cannot be encoded as UTF-8"),
])
def test_read_dict_values_beyond_the_stored_type_raise_naming_the_key(client, change, message):
    with pytest.raises(RuntimeError) as raised:
        client.pass_read({**make_read(1, "ACGT" * 60), **change})
    assert message in str(raised.value)


def test_a_pass_reads_item_that_is_not_a_dict_is_named_by_its_position(client):
    for item in (5, None, "read"):
        with pytest.raises(TypeError, match="item 1 is "):
            client.pass_reads([make_read(1, "ACGT" * 60), item])


def test_set_params_converts_by_option_type(client, caplog):
    result = tessellpy.result
    assert client.set_params({"barcode_kits": ("kit_a", "kit_b"), "query_timeout": np.uint16(500),
                              "min_score_lamp": 3, "min_score_adapter": np.float32(2.5),
                              "move_and_trace_enabled": 1}) == result.success
    assert client.set_params({"barcode_kits": None, "priority": tessellpy.read_priority.high_priority}) == result.success
    failing = [
        ({"no_such_option": 1}, "unknown parameter 'no_such_option'"),
        ({"barcode_kits": ["kit_a", 7]}, "'barcode_kits' takes a list of str, got list (['kit_a', 7])"),
        ({"client_name": 5}, "'client_name' takes a str or a list of str, got int (5)"),
        ({"query_timeout": True}, "'query_timeout' takes an int from 0 to 4294967295, got bool (True)"),
        ({"query_timeout": 1.5}, "'query_timeout' takes an int"),
        ({"query_timeout": -1}, "'query_timeout' takes an int"),
        ({"query_timeout": 2 ** 32}, "'query_timeout' takes an int"),
        ({"max_reads_queued": 2 ** 64}, "'max_reads_queued' takes an int"),
        ({"min_score_lamp": False}, "'min_score_lamp' takes a float, got bool (False)"),
        ({"detect_adapter": "yes"}, "'detect_adapter' takes a bool, got str ('yes')"),
        ({"priority": 1}, "'priority' takes a read_priority, got int (1)"),
        ({3: "key that is not a string"}, "parameter names are str"),
    ]
    for params, warning in failing:
        caplog.clear()
        assert client.set_params(params) == result.failed, params
        assert warning in caplog.text, params


def test_result_enums_compare_as_pybind11_defines():
    accepted, full = tessellpy.read_accepted, tessellpy.queue_full
    fresh = tessellpy.pass_read_result(0)
    assert accepted == fresh and not accepted != fresh and accepted != full and not accepted == full
    # Other types and ints are never equal to a strict enum's member; hashes are unchanged.
    assert accepted != 0 and not accepted == 0 and accepted != None and accepted != tessellpy.success
    assert tessellpy.success == tessellpy.result(0) and tessellpy.connected != tessellpy.disconnected
    assert {accepted: 1}[fresh] == 1 and hash(full) == 2
    assert tessellpy.read_priority.medium_priority == 1
