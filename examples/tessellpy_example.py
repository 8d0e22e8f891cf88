#!/usr/bin/python3
"""A first tessellpy session: connect to a basecall server, pass reads as numpy arrays, collect
the called reads as dicts, and print their sequences and SAM records.

    /usr/bin/python3 examples/tessellpy_example.py --address ipc:///tmp/vexil.sock [--align-ref ref.fa]

The reads are passed in lists; a list the client has no room for is passed again. The reads are
simulated so that the reference server calls them back exactly: every base is
`stride` samples at a current level of its own (A 70, C 90, G 110, T 130 pA), with
current = (raw + daq_offset) * daq_scaling. With --align-ref they are cut from the reference, so
they align to it. Put the folder holding tessellpy (and libvexil_client beside it) on PYTHONPATH.
"""
import argparse
import sys
import time

import numpy as np

try:
    import tessellpy
except ImportError as error:
    sys.exit(f"tessellpy does not load ({error}): build it (cmake --build build/release --target tessellpy) and "
             "put build/release/python/module on PYTHONPATH")

LEVELS = {"A": 70.0, "C": 90.0, "G": 110.0, "T": 130.0}
DAQ_OFFSET = 10.0
DAQ_SCALING = 0.5


def simulate(sequence, stride):
    """Raw int16 samples of a read whose bases are `sequence`."""
    current = np.repeat([LEVELS[base] for base in sequence], stride)
    return np.round(current / DAQ_SCALING - DAQ_OFFSET).astype(np.int16)


def source_sequences(count, align_ref, rng):
    if align_ref:
        lines = open(align_ref).read().splitlines()
        reference = "".join(line.strip() for line in lines if not line.startswith(">"))
    else:
        reference = "".join(rng.choice(list("ACGT"), size=200000))
    for _ in range(count):
        length = int(rng.integers(300, 3000))
        start = int(rng.integers(0, max(1, len(reference) - length)))
        yield reference[start:start + length]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--address", required=True, help="the server's ipc:// or tcp:// address")
    parser.add_argument("--config", default="dna_sim_fast", help="basecall configuration on the server")
    parser.add_argument("--stride", type=int, default=5, help="samples per base of that configuration")
    parser.add_argument("--reads", type=int, default=20)
    parser.add_argument("--clients", type=int, default=1, help="library clients used in rotation")
    parser.add_argument("--align-ref", help="FASTA file the server aligns the reads to")
    args = parser.parse_args()

    client = tessellpy.VexilClient(args.address, args.config, args.clients)
    params = {"client_name": "tessellpy_example", "move_and_trace_enabled": True}
    if args.align_ref:
        params["align_ref"] = args.align_ref
    if client.set_params(params) != tessellpy.success:
        sys.exit("set_params failed")
    outcome = client.connect()
    if outcome != tessellpy.success:
        sys.exit(f"connect failed: {outcome} {client.get_error_message()}")
    print(f"connected: {client!r}")

    rng = np.random.default_rng(1)
    sources = {}
    returned = 0
    exact = 0

    def take_completed():
        nonlocal returned, exact
        for group in client.get_completed_reads():
            for read in group:
                returned += 1
                sequence = read["datasets"].get("sequence", "")
                exact += sequence == sources[read["read_tag"]]
                metadata = read["metadata"]
                print(f"{metadata['read_id']}: {len(sequence)} bases, mean q {metadata.get('mean_qscore', 0):.1f}, "
                      f"{sequence[:40]}{'...' if len(sequence) > 40 else ''}")
                if "alignment_sam_record" in metadata:
                    print("    SAM:", metadata["alignment_sam_record"].split("\n")[0][:160])

    reads = []
    for tag, sequence in enumerate(source_sequences(args.reads, args.align_ref, rng), start=1):
        reads.append({"read_tag": tag, "read_id": f"example-read-{tag}", "raw_data": simulate(sequence, args.stride),
                      "daq_offset": DAQ_OFFSET, "daq_scaling": DAQ_SCALING})
        sources[tag] = sequence
    # Reads go in lists of up to five. A list is taken whole or not at all: when the queue is full
    # nothing of it was passed, so it is passed again as it is, after collecting what is ready.
    for start in range(0, len(reads), 5):
        batch = reads[start:start + 5]
        while (outcome := client.pass_reads(batch, 100)) == tessellpy.queue_full:
            take_completed()
        if outcome != tessellpy.read_accepted:
            sys.exit(f"reads {batch[0]['read_tag']} to {batch[-1]['read_tag']} were not accepted: {outcome}")

    deadline = time.monotonic() + 120
    while returned < len(sources) and time.monotonic() < deadline:
        take_completed()
        time.sleep(0.01)

    print(f"finish: {client.finish(30)}")
    print(f"{returned} of {len(sources)} reads back, {exact} called exactly")
    return 0 if returned == len(sources) == exact else 1


if __name__ == "__main__":
    sys.exit(main())
