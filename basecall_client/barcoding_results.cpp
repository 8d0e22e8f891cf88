#include "basecall_client/barcoding_results.h"

#include <cstdint>
#include <string>

namespace basecall_service {

namespace {

using bass::data_wrappers::Metadata;

std::string text_of(const flatbuffers::String* text) { return text == nullptr ? std::string() : text->str(); }

int32_t length_of(const flatbuffers::String* text) { return text == nullptr ? 0 : static_cast<int32_t>(text->size()); }

// An omitted sub-table reads as one whose fields are all omitted; these stand in for it.
const vexil_ipc::BarcodeResults& or_empty(const vexil_ipc::BarcodeResults* table) {
    static const flatbuffers::DetachedBuffer empty = [] {
        flatbuffers::FlatBufferBuilder fbb;
        fbb.Finish(vexil_ipc::BarcodeResultsBuilder(fbb).Finish());
        return fbb.Release();
    }();
    return table != nullptr ? *table : *flatbuffers::GetRoot<vexil_ipc::BarcodeResults>(empty.data());
}

const vexil_ipc::BarcodeMidDetectResults& or_empty(const vexil_ipc::BarcodeMidDetectResults* table) {
    static const flatbuffers::DetachedBuffer empty = [] {
        flatbuffers::FlatBufferBuilder fbb;
        fbb.Finish(vexil_ipc::BarcodeMidDetectResultsBuilder(fbb).Finish());
        return fbb.Release();
    }();
    return table != nullptr ? *table : *flatbuffers::GetRoot<vexil_ipc::BarcodeMidDetectResults>(empty.data());
}

const vexil_ipc::LampDetectResults& or_empty(const vexil_ipc::LampDetectResults* table) {
    static const flatbuffers::DetachedBuffer empty = [] {
        flatbuffers::FlatBufferBuilder fbb;
        fbb.Finish(vexil_ipc::LampDetectResultsBuilder(fbb).Finish());
        return fbb.Release();
    }();
    return table != nullptr ? *table : *flatbuffers::GetRoot<vexil_ipc::LampDetectResults>(empty.data());
}

// Front and rear barcodes: id, score, refseq, foundseq, foundseq length, index.
void write_barcode(Metadata& metadata, const std::string& prefix, const char* index_name,
                   const vexil_ipc::BarcodeResults& result) {
    metadata.insert(prefix + "_id", text_of(result.id()));
    metadata.insert<float>(prefix + "_score", result.score());
    metadata.insert(prefix + "_refseq", text_of(result.refseq()));
    metadata.insert(prefix + "_foundseq", text_of(result.foundseq()));
    metadata.insert<int32_t>(prefix + "_foundseq_length", length_of(result.foundseq()));
    metadata.insert<int32_t>(prefix + index_name, result.index());
}

// Adapters and primers: id, refseq, foundseq, index, score, foundseq length.
void write_adapter_or_primer(Metadata& metadata, const std::string& prefix, const char* index_name,
                             const vexil_ipc::BarcodeResults& result) {
    metadata.insert(prefix + "_id", text_of(result.id()));
    metadata.insert(prefix + "_refseq", text_of(result.refseq()));
    metadata.insert(prefix + "_foundseq", text_of(result.foundseq()));
    metadata.insert<int32_t>(prefix + index_name, result.index());
    metadata.insert<float>(prefix + "_score", result.score());
    metadata.insert<int32_t>(prefix + "_foundseq_length", length_of(result.foundseq()));
}

void write_mid_strand(Metadata& metadata, const std::string& prefix, const vexil_ipc::BarcodeMidDetectResults& result) {
    metadata.insert(prefix + "_id", text_of(result.id()));
    metadata.insert<float>(prefix + "_score", result.score());
    metadata.insert<int32_t>(prefix + "_end_index", result.end_index());
}

}  // namespace

void write_barcoding_results(const vexil_ipc::BarcodeArrangementResults& barcoding, Metadata& metadata) {
    metadata.insert<int32_t>("trim_front", barcoding.trim_front());
    metadata.insert<int32_t>("trim_rear", barcoding.trim_rear());
    metadata.insert<float>("barcode_score", barcoding.barcode_score());
    metadata.emplace("barcode_full_arrangement", text_of(barcoding.barcode_full_arrangement()));
    metadata.emplace("barcode_kit", text_of(barcoding.barcode_kit()));
    metadata.emplace("barcode_arrangement", text_of(barcoding.barcode_arrangement()));
    metadata.emplace("barcode_variant", text_of(barcoding.barcode_variant()));

    write_barcode(metadata, "barcode_front", "_begin_index", or_empty(barcoding.barcode_front()));
    metadata.emplace("barcode_front_id_inner", text_of(barcoding.barcode_front_id_inner()));
    metadata.insert<float>("barcode_front_score_inner", barcoding.barcode_front_score_inner());
    write_mid_strand(metadata, "barcode_mid_front", or_empty(barcoding.barcode_mid_front()));

    write_barcode(metadata, "barcode_rear", "_end_index", or_empty(barcoding.barcode_rear()));
    metadata.emplace("barcode_rear_id_inner", text_of(barcoding.barcode_rear_id_inner()));
    metadata.insert<float>("barcode_rear_score_inner", barcoding.barcode_rear_score_inner());
    write_mid_strand(metadata, "barcode_mid_rear", or_empty(barcoding.barcode_mid_rear()));

    const auto& lamp = or_empty(barcoding.lamp());
    metadata.emplace("lamp_barcode_id", text_of(lamp.lamp_barcode_id()));
    metadata.insert<float>("lamp_barcode_score", lamp.lamp_barcode_score());
    metadata.emplace("lamp_target_id", text_of(lamp.lamp_target_id()));
    metadata.insert<float>("lamp_target_score", lamp.lamp_target_score());

    write_mid_strand(metadata, "adapter_mid", or_empty(barcoding.adapter_mid()));
    write_adapter_or_primer(metadata, "adapter_front", "_begin_index", or_empty(barcoding.adapter_front()));
    write_adapter_or_primer(metadata, "adapter_rear", "_end_index", or_empty(barcoding.adapter_rear()));
    write_adapter_or_primer(metadata, "primer_front", "_begin_index", or_empty(barcoding.primer_front()));
    write_adapter_or_primer(metadata, "primer_rear", "_end_index", or_empty(barcoding.primer_rear()));
}

}  // namespace basecall_service
