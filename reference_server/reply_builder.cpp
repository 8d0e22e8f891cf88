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

Offset<flatbuffers::Vector<Offset<vexil_ipc::AlignmentResults>>> alignment_tables(FlatBufferBuilder& fbb,
                                                                                  const std::vector<AlignmentHit>& hits,
                                                                                  std::uint32_t num_events,
                                                                                  bool oversized_genome) {
    std::vector<Offset<vexil_ipc::AlignmentResults>> tables;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const auto& hit = hits[i];
        const std::string genome =
                (oversized_genome && i == 0) ? std::string(oversized_genome_length, 'g') : hit.genome;
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

/// The events of a read that one of its blocks carries.
struct BlockEvents {
    std::size_t events;  // of the whole read
    std::size_t first;
    std::size_t count;
};

/// The moves and trace, and the state data, of a block's events, as far as the client asked for them.
struct EventTables {
    bool with_trace = false;
    bool with_state = false;
    Offset<void> trace;
    Offset<flatbuffers::Vector<float>> state_data;
};

EventTables event_tables(FlatBufferBuilder& fbb, const CalledSequence& called, const BlockEvents& block,
                         const BlockContent& content) {
    EventTables tables;
    tables.with_trace = content.with_moves_and_trace && !called.moves.empty();
    if (tables.with_trace) {
        const auto movement = fbb.CreateVector(called.moves.data() + block.first, block.count);
        const auto flipflop = fbb.CreateVector(called.trace.data() + block.first * SignalModel::trace_width,
                                               block.count * SignalModel::trace_width);
        tables.trace = vexil_ipc::CreateFlipflopTraceData(fbb, movement, flipflop).Union();
    }
    // Made from the event means only for a client that asks for it.
    tables.with_state = content.with_state_data && (!called.state_data.empty() || !called.event_means.empty());
    if (tables.with_state) {
        if (!called.state_data.empty()) {
            tables.state_data = fbb.CreateVector(called.state_data.data() + block.first * SignalModel::state_size,
                                                 block.count * SignalModel::state_size);
        } else {
            float* values = nullptr;
            tables.state_data = fbb.CreateUninitializedVector(block.count * SignalModel::state_size, &values);
            state_data_from_means(called.event_means.data() + block.first, block.count, values);
        }
    }
    return tables;
}

/// What only a read's first block carries: its scaling, barcoding and alignments.
struct FirstBlockTables {
    Offset<vexil_ipc::ScalingData> scaling;
    Offset<vexil_ipc::BarcodeArrangementResults> barcoding;
    Offset<flatbuffers::Vector<Offset<vexil_ipc::AlignmentResults>>> alignments;
};

FirstBlockTables first_block_tables(FlatBufferBuilder& fbb, const CalledRead& read, std::size_t events,
                                    const ReadCorruption& corruption) {
    FirstBlockTables tables;
    const auto version = fbb.CreateString("reference_scaling_v1");
    vexil_ipc::ScalingDataBuilder scaling_builder(fbb);
    scaling_builder.add_scaling_median(read.called.median_current);
    scaling_builder.add_scaling_med_abs_dev(read.called.med_abs_dev);
    scaling_builder.add_scaling_version(version);
    tables.scaling = scaling_builder.Finish();
    if (read.barcoding) {
        tables.barcoding = barcoding_table(fbb, *read.barcoding, events);
    }
    if (!read.alignments.empty()) {
        tables.alignments = alignment_tables(fbb, read.alignments, static_cast<std::uint32_t>(events),
                                             corruption.oversized_genome_name);
    }
    return tables;
}

Offset<vexil_ipc::CalledBlockData> called_block_data(FlatBufferBuilder& fbb, const CalledRead& read,
                                                     const BlockEvents& block, bool first_block,
                                                     const BlockContent& content, const ReadCorruption& corruption) {
    const auto& called = read.called;
    const auto sequence = fbb.CreateString(called.sequence.data() + block.first, block.count);
    const auto qstring = fbb.CreateString(called.qstring.data() + block.first, block.count);
    const auto basecall_type = fbb.CreateString("reference_signal_model");
    const auto model_version = fbb.CreateString(read.model_version_id);
    const EventTables events = event_tables(fbb, called, block, content);
    const FirstBlockTables first =
            first_block ? first_block_tables(fbb, read, block.events, corruption) : FirstBlockTables{};

    vexil_ipc::CalledBlockDataBuilder called_builder(fbb);
    called_builder.add_event_capacity(static_cast<std::uint32_t>(block.events));
    called_builder.add_event_count(static_cast<std::uint32_t>(block.count));
    called_builder.add_sequence_length(static_cast<std::uint32_t>(block.events));
    called_builder.add_state_size(events.with_state ? static_cast<std::uint32_t>(SignalModel::state_size) : 0U);
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
        called_builder.add_scaling(first.scaling);
        if (read.barcoding) {
            called_builder.add_barcoding(first.barcoding);
        }
        if (!read.alignments.empty()) {
            called_builder.add_alignments(first.alignments);
        }
    }
    if (events.with_trace) {
        called_builder.add_trace_type(vexil_ipc::TraceData_FlipflopTraceData);
        called_builder.add_trace(events.trace);
    }
    if (events.with_state) {
        called_builder.add_state_data(events.state_data);
    }
    called_builder.add_model_version_id(model_version);
    return called_builder.Finish();
}

/// Writes one ReadBlockData holding events [first_event, end_event) of the read.
Offset<vexil_ipc::ReadBlockData> read_block(FlatBufferBuilder& fbb, const CalledRead& read,
                                            vexil_ipc::ReadBlockType type, std::uint32_t block_index,
                                            std::uint32_t num_blocks, const BlockContent& content,
                                            const ReadCorruption& corruption) {
    const std::size_t events = read.called.sequence.size();
    const std::size_t first_event = events * block_index / num_blocks;
    const std::size_t end_event = events * (block_index + 1) / num_blocks;
    const BlockEvents block{events, first_event, end_event - first_event};
    const auto called_block = called_block_data(fbb, read, block, block_index == 0, content, corruption);

    const auto& identity = read.identity;
    const auto read_id = fbb.CreateString(identity.read_id);
    const auto strand_id = fbb.CreateString(identity.strand_id);
    vexil_ipc::ReadBlockDataBuilder builder(fbb);
    builder.add_type(type);
    builder.add_read_tag(corruption.unknown_tag ? identity.read_tag ^ unknown_tag_flip : identity.read_tag);
    builder.add_block_index(block_index);
    builder.add_num_blocks(num_blocks);
    builder.add_duration(corruption.zero_duration ? 0U : identity.duration);
    builder.add_daq_offset(identity.daq_offset);
    builder.add_daq_scaling(identity.daq_scaling);
    builder.add_read_id(read_id);
    builder.add_called_block(called_block);
    builder.add_sub_tag(identity.sub_tag);
    builder.add_strand_id(strand_id);
    builder.add_start_time(identity.start_time);
    builder.add_num_dravik_events(identity.num_dravik_events);
    return builder.Finish();
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
        blocks.push_back(read_block(fbb, *listed[i], vexil_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, 0, 1, content,
                                    i == 0 ? corruption : ReadCorruption{}));
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
