// Writes the seed corpora of the fuzz targets: valid inputs made by our own code (the reference
// server's reply builder for frames, the connection-string codec for its answers), one directory
// per target below the directory given on the command line.
//
//   fuzz_seed_generator tests/fuzz/seeds

#include "bam/bam_utils.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/message.h"
#include "ipc_tools/protocol_version.h"
#include "reference_server/reply_builder.h"
#include "tests/fuzz/fuzz_support.h"

#include <flatbuffers/flatbuffers.h>
#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace rb = reference_server::reply_builder;
using ipc_tools::Message;

const std::string CLIENT_ID = "client-1";

class SeedWriter {
public:
    explicit SeedWriter(fs::path root) : m_root(std::move(root)) {}
    void write(const std::string& target, const std::string& name, const std::string& bytes) const {
        const fs::path dir = m_root / target;
        fs::create_directories(dir);
        std::ofstream file(dir / name, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

private:
    fs::path m_root;
};

std::string bytes_of(Message message) {
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    return std::string(static_cast<const char*>(frame.data()), frame.size());
}

std::string bytes_of(const std::vector<std::uint8_t>& raw) { return std::string(raw.begin(), raw.end()); }

// A called read of `bases` bases over `blocks` blocks, with moves, trace and state data.
reference_server::CalledRead called_read(std::uint32_t tag, std::size_t bases, std::uint32_t blocks) {
    reference_server::CalledRead read;
    read.identity.read_tag = tag;
    read.identity.read_id = "read_" + std::to_string(tag);
    read.identity.strand_id = "strand_" + std::to_string(tag);
    read.identity.duration = 1000;
    read.identity.start_time = 50;
    read.model_stride = 5;
    read.model_version_id = "reference_model_v1";
    read.num_blocks = blocks;
    auto& called = read.called;
    const std::string bases_cycle = "ACGT";
    for (std::size_t i = 0; i < bases; ++i) {
        called.sequence += bases_cycle[i % 4];
        called.qstring += static_cast<char>('!' + 10 + i % 30);
        called.moves.push_back(1);
        for (int k = 0; k < 8; ++k) {
            called.trace.push_back(static_cast<std::uint8_t>(i + k));
        }
        for (int k = 0; k < 4; ++k) {
            called.state_data.push_back(0.25F * static_cast<float>(k));
        }
    }
    called.trimmed_samples = 3;
    called.mean_qscore = 12.5F;
    return read;
}

reference_server::AlignmentHit alignment_hit() {
    reference_server::AlignmentHit hit;
    hit.genome = "lambda";
    hit.direction = '+';
    hit.genome_start = 100;
    hit.genome_end = 108;
    hit.strand_end = 8;
    hit.num_aligned = 8;
    hit.mapping_quality = 60;
    hit.sam_record = "read_1\t0\tlambda\t101\t60\t8M\t*\t0\t0\tACGTACGT\t++++++++";
    hit.bed_hits = 1;
    hit.bed_lines = "lambda\t90\t120\tregion_1\t0\t+";
    return hit;
}

// Called-read inputs: the control frame, then the reply frames in the order they are asked for.
std::string called_read_input(std::uint8_t flags, std::uint32_t samples, const std::vector<std::string>& replies) {
    std::string control(1, static_cast<char>(flags));
    for (int shift = 0; shift < 32; shift += 8) {
        control.push_back(static_cast<char>((samples >> shift) & 0xFF));
    }
    std::string input;
    fuzz_support::append_frame(input, control);
    for (const auto& reply : replies) {
        fuzz_support::append_frame(input, reply);
    }
    return input;
}

// A first block with run-length trace data and modified-base probabilities, which the reference
// server does not produce.
std::string runlength_block(std::uint32_t tag) {
    flatbuffers::FlatBufferBuilder fbb;
    const std::vector<std::uint8_t> bases{'A', 'C', 'G', 'T'};
    const std::vector<float> values{0.5F, 1.0F, 1.5F, 2.0F};
    const std::vector<std::uint32_t> counts{1, 2, 3, 4};
    const auto runlength = vexil_ipc::CreateRunlengthTraceData(
            fbb, 4, fbb.CreateVector(bases), fbb.CreateVector(values), fbb.CreateVector(values),
            fbb.CreateVector(values), fbb.CreateVector(counts), fbb.CreateVector(counts));
    const auto base_mod = vexil_ipc::CreateBaseModData(fbb, fbb.CreateString("AC"), fbb.CreateString("6mA 5mC"),
                                                       fbb.CreateString("_:A CG"),
                                                       fbb.CreateVector(std::vector<std::uint8_t>(8, 200)));
    const auto sequence = fbb.CreateString("ACGT");
    const auto qstring = fbb.CreateString("++++");
    vexil_ipc::CalledBlockDataBuilder called(fbb);
    called.add_event_capacity(4);
    called.add_event_count(4);
    called.add_sequence_length(4);
    called.add_model_stride(5);
    called.add_sequence(sequence);
    called.add_qstring(qstring);
    called.add_trace_type(vexil_ipc::TraceData_RunlengthTraceData);
    called.add_trace(runlength.Union());
    called.add_base_mod(base_mod);
    const auto called_offset = called.Finish();
    const auto strand = fbb.CreateString("strand_" + std::to_string(tag));
    vexil_ipc::ReadBlockDataBuilder block(fbb);
    block.add_type(vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK);
    block.add_read_tag(tag);
    block.add_num_blocks(1);
    block.add_duration(1000);
    block.add_strand_id(strand);
    block.add_called_block(called_offset);
    const auto block_offset = block.Finish();
    const auto id = fbb.CreateString(CLIENT_ID);
    vexil_ipc::MessageDataBuilder message(fbb);
    message.add_version(&ipc_tools::current_version());
    message.add_client_id(id);
    message.add_content_type(vexil_ipc::Content_ReadBlockData);
    message.add_content(block_offset.Union());
    fbb.Finish(message.Finish(), vexil_ipc::MessageDataIdentifier());
    return bytes_of(Message(fbb));
}

void write_message_seeds(const SeedWriter& out) {
    for (auto type :
         {ipc_tools::CONNECTED, ipc_tools::NOT_READY, ipc_tools::NONE_PENDING, ipc_tools::BAD_REQUEST,
          ipc_tools::RESPONSE, ipc_tools::LOADING, ipc_tools::RAW_BLOCK_ACCEPTED, ipc_tools::HEARTBEAT_ECHO}) {
        out.write("message", "reply_" + ipc_tools::message_type_as_string(type),
                  bytes_of(rb::simple(type, CLIENT_ID, 1, ">client_uid=7>server_version=7.0.0>minimap_version=2")));
    }
    out.write("message", "query",
              bytes_of(ipc_tools::create_query_request(ipc_tools::QueryCode::internal_state, CLIENT_ID)));
    out.write("message", "configs",
              bytes_of(rb::configurations(CLIENT_ID, reference_server::default_configurations())));
    out.write("message", "barcode_kits",
              bytes_of(rb::barcode_kits(CLIENT_ID, reference_server::builtin_barcode_kits())));
    out.write("message", "lamp_kits", bytes_of(rb::lamp_kits(CLIENT_ID, reference_server::builtin_lamp_kits())));
    rb::Statistics stats;
    stats.lifetime_reads_in = 10;
    stats.clients = {{3, 2}, {5, 5}};
    out.write("message", "statistics", bytes_of(rb::statistics(CLIENT_ID, stats)));
    const reference_server::BlockContent content{true, true};
    out.write("message", "called_block", bytes_of(rb::called_block(CLIENT_ID, called_read(1, 8, 1), 0, content, {})));
    out.write("message", "completed_batch",
              bytes_of(rb::completed_batch(CLIENT_ID, {called_read(1, 4, 1), called_read(2, 4, 1)}, content, {})));
    out.write("message", "short", bytes_of(rb::malformed_short_frame()));
    out.write("message", "identifier", bytes_of(rb::malformed_identifier_frame()));
    out.write("message", "content", bytes_of(rb::malformed_content_frame()));
}

void write_called_read_seeds(const SeedWriter& out) {
    const reference_server::BlockContent full{true, true};
    const reference_server::BlockContent bare{false, false};

    auto aligned = called_read(1, 8, 1);
    aligned.alignments = {alignment_hit(), alignment_hit()};
    aligned.alignments[1].is_secondary = true;
    reference_server::BarcodeClassification barcode;
    barcode.kit = "EXP-NBD104";
    barcode.arrangement = "EXP-NBD104_barcode03";
    barcode.barcode_id = "barcode03";
    barcode.refseq = "CAAGAAAAAAATTTGC";
    barcode.foundseq = "CAAGAAAAAAATTTGC";
    barcode.score = 95.0F;
    barcode.trim_front = 16;
    aligned.barcoding = barcode;
    out.write("called_read", "single_block_full",
              called_read_input(2, 1000, {bytes_of(rb::called_block(CLIENT_ID, aligned, 0, full, {}))}));
    out.write("called_read", "single_block_bare",
              called_read_input(0, 1000, {bytes_of(rb::called_block(CLIENT_ID, called_read(2, 6, 1), 0, bare, {}))}));

    const auto three = called_read(3, 12, 3);
    std::vector<std::string> blocks;
    for (std::uint32_t i = 0; i < 3; ++i) {
        blocks.push_back(bytes_of(rb::called_block(CLIENT_ID, three, i, full, {})));
    }
    out.write("called_read", "three_blocks", called_read_input(2, 1000, blocks));
    out.write("called_read", "three_blocks_events_disabled", called_read_input(3, 1000, blocks));

    auto sub_read = called_read(4, 6, 1);
    sub_read.identity.sub_tag = 1;
    out.write("called_read", "sub_read",
              called_read_input(0, 1000, {bytes_of(rb::called_block(CLIENT_ID, sub_read, 0, full, {}))}));
    out.write("called_read", "completed_batch",
              called_read_input(0, 1000,
                                {bytes_of(rb::completed_batch(
                                        CLIENT_ID, {called_read(1, 4, 1), called_read(2, 5, 1), called_read(4, 3, 1)},
                                        full, {}))}));
    reference_server::ReadCorruption corruption;
    corruption.oversized_genome_name = true;
    out.write("called_read", "oversized_genome",
              called_read_input(0, 1000, {bytes_of(rb::called_block(CLIENT_ID, aligned, 0, full, corruption))}));
    out.write("called_read", "runlength_base_mods", called_read_input(0, 1000, {runlength_block(2)}));
}

void write_connected_info_seeds(const SeedWriter& out) {
    ipc_tools::ConnectedInfo connected;
    connected.client_uid = "7f3a";
    connected.server_version = "7.0.0";
    connected.minimap_version = "2.24-r1122";
    out.write("connected_info", "connected", connected.create_message_string());
    ipc_tools::ConnectionInfo info;
    info.config_name = "fast_model";
    info.client_name = "client_1";
    info.timeout_interval = 2000;
    info.options.insert("barcode_kits", std::string("EXP-NBD104"));
    info.options.insert<float>("min_score_barcode_front", 60.0F);
    info.options.insert<bool>("detect_mid_strand_barcodes", true);
    info.options.insert("align_type", std::string("full"));
    out.write("connected_info", "connection_string", info.build_connection_string());
    out.write("connected_info", "config_only", "fast_model");
}

void write_sam_line_seeds(const SeedWriter& out) {
    out.write("sam_line", "unmapped", "r1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t!!!!");
    out.write("sam_line", "mapped_with_tags",
              "read_1\t0\tchr1\t101\t60\t2S4M1I2M1D2M\t=\t300\t150\tACGTACGTACG\t+++++++++++\tNM:i:2\tXA:A:x\t"
              "RG:Z:run 1\tqs:f:12.5\tHX:H:1AE3");
    out.write("sam_line", "arrays",
              "r2\t16\tlambda\t5\t1\t4M\tchr2\t9\t0\tACGT\t*\tML:B:C,1,2,255\t"
              "MM:Z:C+m?,0,1;\tXs:B:s,-3,400\tXf:B:f,1.5,2\tXi:B:i,-70000\tXB:B:C");
}

void write_bam_index_seeds(const SeedWriter& out) {
    const auto le = [](std::string& bytes, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
    };
    std::string empty = bass::bam::util::BAI_MAGIC_WORD;
    le(empty, 0, 4);
    out.write("bam_index", "no_references", empty);
    le(empty, 7, 8);
    out.write("bam_index", "n_no_coor", empty);

    std::string index = bass::bam::util::BAI_MAGIC_WORD;
    le(index, 2, 4);     // n_ref
    le(index, 2, 4);     // ref 0: two bins
    le(index, 4681, 4);  // bin 4681 with one chunk
    le(index, 1, 4);
    le(index, 65536ULL * 100 + 5, 8);
    le(index, 65536ULL * 200 + 7, 8);
    le(index, 37450, 4);  // the pseudo-bin
    le(index, 2, 4);
    le(index, 65536ULL * 100, 8);
    le(index, 65536ULL * 300, 8);
    le(index, 12, 8);
    le(index, 1, 8);
    le(index, 2, 4);  // two linear intervals
    le(index, 65536ULL * 100 + 5, 8);
    le(index, 65536ULL * 150, 8);
    le(index, 0, 4);  // ref 1: no bins, no intervals
    le(index, 0, 4);
    le(index, 3, 8);  // n_no_coor
    out.write("bam_index", "two_references", index);
}

void write_trace_configuration_seeds(const SeedWriter& out) {
    out.write("trace_configuration", "modes",
              "# trace configuration\n"
              "basecall_service::* trace_file\n"
              "basecall_service::ReadBuffer stdout\n"
              "basecall_service::Read* custom\r\n"
              "hftrace::basecall_service::ReadBuffer trace_file\n"
              "  ipc_tools::RequestBroker   #stdout\n"
              "ipc_tools::ConnectionInfo file\n"
              "* exclude\n"
              "common::diagnostics verbose_log extra words\n");
    out.write("trace_configuration", "list", "basecall_service::*, ipc_tools::RequestBroker ,,*");
}

// The internal state in the shape the reference server reports it.
void write_server_information_seeds(const SeedWriter& out) {
    nlohmann::ordered_json state;
    auto& info = state["ServerInformation"];
    info["server_version"] = "7.0.0";
    info["protocol_version"] = ipc_tools::current_version_as_string();
    info["address"] = "ipc:///tmp/reference_server";
    info["signal_model"] = true;
    info["connected_clients"] = 1;
    info["configurations"] =
            nlohmann::ordered_json::array({{{"name", "fast_model"}, {"model_stride", 5}, {"loaded", true}}});
    info["alignment_indices"] = nlohmann::ordered_json::array({"lambda.fasta"});
    state["Clients"] = {{"7f3a", {{"client_name", "client_1"}, {"reads_in", 12}, {"reads_out", 11.5}}}};
    out.write("server_information", "reference_state", state.dump(2));
    out.write("server_information", "no_member",
              R"({"Statistics": {"lifetime_reads_in": 3}, "x": [null, false, -1e300, "\u00e9"]})");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <seed directory>\n";
        return 2;
    }
    const SeedWriter out(argv[1]);
    write_message_seeds(out);
    write_called_read_seeds(out);
    write_connected_info_seeds(out);
    write_sam_line_seeds(out);
    write_bam_index_seeds(out);
    write_trace_configuration_seeds(out);
    write_server_information_seeds(out);
    return 0;
}
