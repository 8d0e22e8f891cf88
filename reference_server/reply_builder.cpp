#include "reference_server/reply_builder.h"

#include "ipc_tools/protocol_version.h"

#include <flatbuffers/flatbuffers.h>

#include <algorithm>

namespace reference_server {
namespace reply_builder {

namespace {

using flatbuffers::FlatBufferBuilder;
using flatbuffers::Offset;

constexpr std::size_t oversized_genome_length = 300;
constexpr std::uint32_t unknown_tag_flip = 0x80000000U;

ipc_tools::Message finish(FlatBufferBuilder& fbb, const std::string& client_id, vexil_ipc::Content content_type,
                          Offset<void> content) {
    const auto id = client_id.empty() ? Offset<flatbuffers::String>() : fbb.CreateString(client_id);
    vexil_ipc::MessageDataBuilder message(fbb);
    message.add_version(&ipc_tools::current_version());
    if (!client_id.empty()) {
        message.add_client_id(id);
    }
    message.add_content_type(content_type);
    message.add_content(content);
    fbb.Finish(message.Finish(), vexil_ipc::MessageDataIdentifier());
    return ipc_tools::Message(fbb);
}

Offset<vexil_ipc::BarcodeResults> barcode_results(FlatBufferBuilder& fbb, const std::string& id,
                                                  const std::string& refseq, const std::string& foundseq, float score,
                                                  int index) {
    const auto id_offset = fbb.CreateString(id);
    const auto refseq_offset = fbb.CreateString(refseq);
    const auto foundseq_offset = fbb.CreateString(foundseq);
    vexil_ipc::BarcodeResultsBuilder builder(fbb);
    builder.add_id(id_offset);
    builder.add_refseq(refseq_offset);
    builder.add_foundseq(foundseq_offset);
    builder.add_score(score);
    builder.add_index(index);
    return builder.Finish();
}

Offset<vexil_ipc::BarcodeArrangementResults> barcoding_table(FlatBufferBuilder& fbb,
                                                             const BarcodeClassification& barcode,
                                                             std::size_t sequence_length) {
    const bool classified = !barcode.barcode_id.empty();
    const auto front = barcode_results(fbb, classified ? barcode.barcode_id : "unclassified", barcode.refseq,
                                       barcode.foundseq, barcode.score, 0);
    const auto rear = barcode_results(fbb, "unclassified", "", "", 0.0F, static_cast<int>(sequence_length));
    const auto full = fbb.CreateString(barcode.arrangement);
    const auto arrangement = fbb.CreateString(classified ? barcode.barcode_id : "unclassified");
    const auto kit = fbb.CreateString(barcode.kit);
    const auto variant = fbb.CreateString("n/a");
    vexil_ipc::BarcodeArrangementResultsBuilder builder(fbb);
    builder.add_trim_front(barcode.trim_front);
    builder.add_trim_rear(0);
    builder.add_barcode_full_arrangement(full);
    builder.add_barcode_arrangement(arrangement);
    builder.add_barcode_kit(kit);
    builder.add_barcode_variant(variant);
    builder.add_barcode_score(barcode.score);
    builder.add_barcode_front(front);
    builder.add_barcode_rear(rear);
    return builder.Finish();
}

Offset<flatbuffers::Vector<Offset<vexil_ipc::AlignmentResults>>> alignment_tables(
    FlatBufferBuilder& fbb, const std::vector<AlignmentHit>& hits, std::uint32_t num_events, bool oversized_genome) {
    std::vector<Offset<vexil_ipc::AlignmentResults>> tables;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const auto& hit = hits[i];
        const std::string genome = (oversized_genome && i == 0) ? std::string(oversized_genome_length, 'g') : hit.genome;
        const auto genome_offset = fbb.CreateString(genome);
        const auto sam_offset = fbb.CreateString(hit.sam_record);
        const auto bed_offset = fbb.CreateString(hit.bed_lines);
        const bool mapped = hit.genome != "*";
        vexil_ipc::AlignmentResultsBuilder builder(fbb);
        builder.add_Genome(genome_offset);
        builder.add_GenomeStart(hit.genome_start);
        builder.add_GenomeEnd(hit.genome_end);
        builder.add_StrandStart(hit.strand_start);
        builder.add_StrandEnd(hit.strand_end);
        builder.add_NumEvents(num_events);
        builder.add_NumInsertions(0);
        builder.add_NumDeletions(0);
        builder.add_NumAligned(hit.num_aligned);
        builder.add_NumCorrect(hit.num_aligned);
        builder.add_Coverage(mapped ? 1.0F : 0.0F);
        builder.add_Identity(mapped ? 1.0F : 0.0F);
        builder.add_Accuracy(mapped ? 1.0F : 0.0F);
        builder.add_StrandScore(2 * hit.num_aligned);
        builder.add_sam_record(sam_offset);
        builder.add_BedHits(hit.bed_hits);
        builder.add_bed_lines(bed_offset);
        builder.add_Direction(static_cast<std::uint8_t>(hit.direction));
        builder.add_MappingQuality(hit.mapping_quality);
        builder.add_IsSecondary(hit.is_secondary);
        builder.add_IsSupplementary(false);
        tables.push_back(builder.Finish());
    }
    return fbb.CreateVector(tables);
}

/// Writes one ReadBlockData holding events [first_event, end_event) of the read.
Offset<vexil_ipc::ReadBlockData> read_block(FlatBufferBuilder& fbb, const CalledRead& read, vexil_ipc::ReadBlockType type,
                                            std::uint32_t block_index, std::uint32_t num_blocks,
                                            const BlockContent& content, const ReadCorruption& corruption) {
    const auto& called = read.called;
    const std::size_t events = called.sequence.size();
    const std::size_t first_event = events * block_index / num_blocks;
    const std::size_t end_event = events * (block_index + 1) / num_blocks;
    const std::size_t block_events = end_event - first_event;
    const bool first_block = block_index == 0;

    const auto sequence = fbb.CreateString(called.sequence.data() + first_event, block_events);
    const auto qstring = fbb.CreateString(called.qstring.data() + first_event, block_events);
    const auto basecall_type = fbb.CreateString("reference_signal_model");
    const auto model_version = fbb.CreateString(read.model_version_id);

    Offset<void> trace;
    const bool with_trace = content.with_moves_and_trace && !called.moves.empty();
    if (with_trace) {
        const auto movement = fbb.CreateVector(called.moves.data() + first_event, block_events);
        const auto flipflop = fbb.CreateVector(called.trace.data() + first_event * SignalModel::trace_width,
                                               block_events * SignalModel::trace_width);
        trace = vexil_ipc::CreateFlipflopTraceData(fbb, movement, flipflop).Union();
    }
    Offset<flatbuffers::Vector<float>> state_data;
    // Made from the event means only for a client that asks for it.
    const bool with_state = content.with_state_data && (!called.state_data.empty() || !called.event_means.empty());
    if (with_state) {
        if (!called.state_data.empty()) {
            state_data = fbb.CreateVector(called.state_data.data() + first_event * SignalModel::state_size,
                                          block_events * SignalModel::state_size);
        } else {
            float* values = nullptr;
            state_data = fbb.CreateUninitializedVector(block_events * SignalModel::state_size, &values);
            state_data_from_means(called.event_means.data() + first_event, block_events, values);
        }
    }
    Offset<vexil_ipc::ScalingData> scaling;
    Offset<vexil_ipc::BarcodeArrangementResults> barcoding;
    Offset<flatbuffers::Vector<Offset<vexil_ipc::AlignmentResults>>> alignments;
    if (first_block) {
        const auto version = fbb.CreateString("reference_scaling_v1");
        vexil_ipc::ScalingDataBuilder scaling_builder(fbb);
        scaling_builder.add_scaling_median(called.median_current);
        scaling_builder.add_scaling_med_abs_dev(called.med_abs_dev);
        scaling_builder.add_scaling_version(version);
        scaling = scaling_builder.Finish();
        if (read.barcoding) {
            barcoding = barcoding_table(fbb, *read.barcoding, events);
        }
        if (!read.alignments.empty()) {
            alignments = alignment_tables(fbb, read.alignments, static_cast<std::uint32_t>(events),
                                          corruption.oversized_genome_name);
        }
    }

    vexil_ipc::CalledBlockDataBuilder called_builder(fbb);
    called_builder.add_event_capacity(static_cast<std::uint32_t>(events));
    called_builder.add_event_count(static_cast<std::uint32_t>(block_events));
    called_builder.add_sequence_length(static_cast<std::uint32_t>(events));
    called_builder.add_state_size(with_state ? static_cast<std::uint32_t>(SignalModel::state_size) : 0U);
    called_builder.add_call_score(called.mean_qscore);
    called_builder.add_mean_qscore(called.mean_qscore);
    called_builder.add_step_prob(1.0F);
    called_builder.add_median(called.median_current);
    called_builder.add_med_abs_dev(called.med_abs_dev);
    called_builder.add_label_length(1);
    called_builder.add_model_stride(read.model_stride);
    called_builder.add_trimmed_samples(called.trimmed_samples);
    called_builder.add_sequence(sequence);
    called_builder.add_qstring(qstring);
    called_builder.add_basecall_type(basecall_type);
    if (first_block) {
        called_builder.add_scaling(scaling);
        if (read.barcoding) {
            called_builder.add_barcoding(barcoding);
        }
        if (!read.alignments.empty()) {
            called_builder.add_alignments(alignments);
        }
    }
    if (with_trace) {
        called_builder.add_trace_type(vexil_ipc::TraceData_FlipflopTraceData);
        called_builder.add_trace(trace);
    }
    if (with_state) {
        called_builder.add_state_data(state_data);
    }
    called_builder.add_model_version_id(model_version);
    const auto called_block = called_builder.Finish();

    const auto& identity = read.identity;
    const auto read_id = fbb.CreateString(identity.read_id);
    const auto strand_id = fbb.CreateString(identity.strand_id);
    vexil_ipc::ReadBlockDataBuilder block(fbb);
    block.add_type(type);
    block.add_read_tag(corruption.unknown_tag ? identity.read_tag ^ unknown_tag_flip : identity.read_tag);
    block.add_block_index(block_index);
    block.add_num_blocks(num_blocks);
    block.add_duration(corruption.zero_duration ? 0U : identity.duration);
    block.add_daq_offset(identity.daq_offset);
    block.add_daq_scaling(identity.daq_scaling);
    block.add_read_id(read_id);
    block.add_called_block(called_block);
    block.add_sub_tag(identity.sub_tag);
    block.add_strand_id(strand_id);
    block.add_start_time(identity.start_time);
    block.add_num_dravik_events(identity.num_dravik_events);
    return block.Finish();
}

}  // namespace

ipc_tools::Message simple(ipc_tools::MessageType type, const std::string& client_id, std::uint32_t value,
                          const std::string& text) {
    return ipc_tools::Message(type, client_id, value, text);
}

ipc_tools::Message configurations(const std::string& client_id, const std::vector<BasecallConfiguration>& configs) {
    FlatBufferBuilder fbb(1024);
    std::vector<Offset<vexil_ipc::Configuration>> tables;
    for (const auto& config : configs) {
        const auto name = fbb.CreateString(config.name);
        const auto model_type = fbb.CreateString(config.model_type);
        const auto version = fbb.CreateString(config.model_version_id);
        vexil_ipc::ConfigurationBuilder builder(fbb);
        builder.add_qscore_offset(config.qscore_offset);
        builder.add_qscore_scale(config.qscore_scale);
        builder.add_temp_weight(1.0F);
        builder.add_model_stride(config.model_stride);
        builder.add_label_length(config.label_length);
        builder.add_config_name(name);
        builder.add_model_type(model_type);
        builder.add_beam_cut(100.0F);
        builder.add_beam_width(32);
        builder.add_model_version_id(version);
        builder.add_duplex(config.duplex);
        tables.push_back(builder.Finish());
    }
    const auto list = fbb.CreateVector(tables);
    vexil_ipc::ConfigDataBuilder data(fbb);
    data.add_configurations(list);
    return finish(fbb, client_id, vexil_ipc::Content_ConfigData, data.Finish().Union());
}

ipc_tools::Message alignment_indices(const std::string& client_id,
                                     const std::vector<std::pair<std::string, std::string>>& indices) {
    FlatBufferBuilder fbb(1024);
    std::vector<Offset<vexil_ipc::AlignmentIndex>> tables;
    for (const auto& [name, header] : indices) {
        tables.push_back(vexil_ipc::CreateAlignmentIndex(fbb, fbb.CreateString(name), fbb.CreateString(header)));
    }
    const auto list = fbb.CreateVector(tables);
    vexil_ipc::ConfigDataBuilder data(fbb);
    data.add_alignment_indices(list);
    return finish(fbb, client_id, vexil_ipc::Content_ConfigData, data.Finish().Union());
}

ipc_tools::Message barcode_kits(const std::string& client_id, const std::vector<BarcodeKit>& kits) {
    FlatBufferBuilder fbb(1024);
    std::vector<Offset<vexil_ipc::BarcodeKitDefinition>> tables;
    for (const auto& kit : kits) {
        tables.push_back(vexil_ipc::CreateBarcodeKitDefinition(
            fbb, fbb.CreateString(kit.name), kit.is_dual, kit.is_both_ends, kit.suffix_12a, kit.first_index,
            kit.last_index, kit.first_inner_index, kit.last_inner_index, fbb.CreateString(kit.naming_pattern)));
    }
    const auto list = fbb.CreateVector(tables);
    vexil_ipc::ConfigDataBuilder data(fbb);
    data.add_barcode_kit_definitions(list);
    return finish(fbb, client_id, vexil_ipc::Content_ConfigData, data.Finish().Union());
}

ipc_tools::Message lamp_kits(const std::string& client_id, const std::vector<LampKit>& kits) {
    FlatBufferBuilder fbb(1024);
    std::vector<Offset<vexil_ipc::LampKitDefinition>> tables;
    for (const auto& kit : kits) {
        const auto name = fbb.CreateString(kit.name);
        const auto pattern = fbb.CreateString(kit.naming_pattern);
        const auto targets = fbb.CreateVectorOfStrings(kit.targets);
        tables.push_back(
            vexil_ipc::CreateLampKitDefinition(fbb, name, kit.first_index, kit.last_index, pattern, targets));
    }
    const auto list = fbb.CreateVector(tables);
    vexil_ipc::ConfigDataBuilder data(fbb);
    data.add_lamp_kit_definitions(list);
    return finish(fbb, client_id, vexil_ipc::Content_ConfigData, data.Finish().Union());
}

ipc_tools::Message statistics(const std::string& client_id, const Statistics& stats) {
    FlatBufferBuilder fbb(512);
    std::vector<Offset<vexil_ipc::ClientStats>> clients;
    for (const auto& [in, out] : stats.clients) {
        clients.push_back(vexil_ipc::CreateClientStats(fbb, in, out));
    }
    const auto list = fbb.CreateVector(clients);
    const auto table = vexil_ipc::CreateServerStats(fbb, stats.lifetime_reads_in, stats.lifetime_reads_out,
                                                    stats.period_reads_in, stats.period_reads_out, list);
    return finish(fbb, client_id, vexil_ipc::Content_ServerStats, table.Union());
}

ipc_tools::Message called_block(const std::string& client_id, const CalledRead& read, std::uint32_t block_index,
                                 const BlockContent& content, const ReadCorruption& corruption) {
    FlatBufferBuilder fbb(1024 + read.called.sequence.size() * 16 / std::max<std::uint32_t>(read.num_blocks, 1));
    const auto type = block_index == 0 ? vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK
                                       : vexil_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK;
    const auto block = read_block(fbb, read, type, block_index, std::max<std::uint32_t>(read.num_blocks, 1), content,
                                  block_index == 0 ? corruption : ReadCorruption{});
    return finish(fbb, client_id, vexil_ipc::Content_ReadBlockData, block.Union());
}

ipc_tools::Message completed_batch(const std::string& client_id, const std::vector<CalledRead>& reads,
                                   const BlockContent& content, const ReadCorruption& corruption) {
    std::vector<const CalledRead*> listed;
    listed.reserve(reads.size());
    for (const auto& read : reads) {
        // Sub-reads go after a parent of even tag and before one of odd tag, so that a batch
        // tries the client with both orders.
        const bool parent_first = read.identity.read_tag % 2 == 0;
        if (parent_first) {
            listed.push_back(&read);
        }
        for (const auto& sub : read.sub_reads) {
            listed.push_back(&sub);
        }
        if (!parent_first) {
            listed.push_back(&read);
        }
    }
    // Sized for the sequences and qualities of every read, so the builder does not regrow.
    std::size_t size = 1024;
    for (const auto* read : listed) {
        size += 512 + 2 * read->called.sequence.size();
    }
    FlatBufferBuilder fbb(size);
    std::vector<Offset<vexil_ipc::ReadBlockData>> blocks;
    blocks.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        blocks.push_back(read_block(fbb, *listed[i], vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, 0, 1,
                                    content, i == 0 ? corruption : ReadCorruption{}));
    }
    const auto list = fbb.CreateVector(blocks);
    vexil_ipc::ReadBatchDataBuilder batch(fbb);
    batch.add_batch_type(1);
    batch.add_read_blocks(list);
    return finish(fbb, client_id, vexil_ipc::Content_ReadBatchData, batch.Finish().Union());
}

std::vector<std::uint8_t> malformed_short_frame() { return {1, 2, 3, 4}; }

std::vector<std::uint8_t> malformed_identifier_frame() {
    // Long enough to carry an identifier, but it names another protocol version.
    return {12, 0, 0, 0, '0', '0', '1', '5', 0, 0, 0, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> malformed_content_frame() {
    // Root offset points far outside the buffer, so verification must fail.
    return {0xF0, 0xFF, 0x00, 0x00, '0', '0', '1', '6', 0, 0, 0, 0, 0, 0, 0, 0};
}

}  // namespace reply_builder
}  // namespace reference_server
