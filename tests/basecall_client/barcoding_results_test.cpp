#include "basecall_client/barcoding_results.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using bass::data_wrappers::Metadata;

// Builds a finished BarcodeArrangementResults; `with_front` adds a front barcode and a front
// adapter, everything else is left out.
flatbuffers::DetachedBuffer barcoding(bool with_front) {
    flatbuffers::FlatBufferBuilder fbb;
    flatbuffers::Offset<vexil_ipc::BarcodeResults> front;
    flatbuffers::Offset<vexil_ipc::BarcodeResults> adapter;
    if (with_front) {
        front = vexil_ipc::CreateBarcodeResults(fbb, fbb.CreateString("barcode03"), fbb.CreateString("ACGTACGT"),
                                                fbb.CreateString("ACGTTCGTA"), 87.5F, 12);
        adapter = vexil_ipc::CreateBarcodeResults(fbb, fbb.CreateString("adapter_a"), 0, fbb.CreateString("GGCC"),
                                                  40.0F, 3);
    }
    const auto kit = fbb.CreateString("SIM-BC12");
    const auto arrangement = fbb.CreateString("barcode03");
    const auto inner = fbb.CreateString("inner07");
    vexil_ipc::BarcodeArrangementResultsBuilder builder(fbb);
    builder.add_trim_front(-4);
    builder.add_trim_rear(9);
    builder.add_barcode_kit(kit);
    builder.add_barcode_arrangement(arrangement);
    builder.add_barcode_score(87.5F);
    builder.add_barcode_front_id_inner(inner);
    if (with_front) {
        builder.add_barcode_front(front);
        builder.add_adapter_front(adapter);
    }
    fbb.Finish(builder.Finish());
    return fbb.Release();
}

const vexil_ipc::BarcodeArrangementResults& root(const flatbuffers::DetachedBuffer& buffer) {
    return *flatbuffers::GetRoot<vexil_ipc::BarcodeArrangementResults>(buffer.data());
}

TEST(BarcodingResults, WritesEverySubTableWithItsValuesAndTypes) {
    const auto buffer = barcoding(true);
    Metadata metadata;
    basecall_service::write_barcoding_results(root(buffer), metadata);

    EXPECT_EQ(static_cast<std::size_t>(basecall_service::NUM_BARCODING_KEYS), metadata.get_keys().size());
    EXPECT_EQ(-4, metadata.get_value<int32_t>("trim_front"));
    EXPECT_EQ(9, metadata.get_value<int32_t>("trim_rear"));
    EXPECT_EQ("SIM-BC12", metadata.get_value<std::string>("barcode_kit"));
    EXPECT_EQ("barcode03", metadata.get_value<std::string>("barcode_front_id"));
    EXPECT_FLOAT_EQ(87.5F, metadata.get_value<float>("barcode_front_score"));
    EXPECT_EQ("ACGTACGT", metadata.get_value<std::string>("barcode_front_refseq"));
    EXPECT_EQ("ACGTTCGTA", metadata.get_value<std::string>("barcode_front_foundseq"));
    EXPECT_EQ(9, metadata.get_value<int32_t>("barcode_front_foundseq_length"));
    EXPECT_EQ(12, metadata.get_value<int32_t>("barcode_front_begin_index"));
    EXPECT_EQ("inner07", metadata.get_value<std::string>("barcode_front_id_inner"));
    // Adapters: absent refseq reads as empty, the found sequence gives its length.
    EXPECT_EQ("adapter_a", metadata.get_value<std::string>("adapter_front_id"));
    EXPECT_EQ("", metadata.get_value<std::string>("adapter_front_refseq"));
    EXPECT_EQ(4, metadata.get_value<int32_t>("adapter_front_foundseq_length"));
    EXPECT_EQ(3, metadata.get_value<int32_t>("adapter_front_begin_index"));
    EXPECT_FLOAT_EQ(40.0F, metadata.get_value<float>("adapter_front_score"));
    // Rear kinds carry an end index.
    EXPECT_TRUE(metadata.exists("barcode_rear_end_index"));
    EXPECT_TRUE(metadata.exists("primer_rear_end_index"));
    EXPECT_FALSE(metadata.exists("barcode_rear_begin_index"));
}

TEST(BarcodingResults, OmittedSubTablesStillWriteEmptyAndZeroValues) {
    const auto buffer = barcoding(false);
    Metadata metadata;
    basecall_service::write_barcoding_results(root(buffer), metadata);

    EXPECT_EQ(static_cast<std::size_t>(basecall_service::NUM_BARCODING_KEYS), metadata.get_keys().size());
    EXPECT_EQ("", metadata.get_value<std::string>("lamp_barcode_id"));
    EXPECT_EQ("", metadata.get_value<std::string>("lamp_target_id"));
    EXPECT_EQ(0.0F, metadata.get_value<float>("lamp_barcode_score"));
    EXPECT_EQ(0.0F, metadata.get_value<float>("lamp_target_score"));
    EXPECT_EQ("", metadata.get_value<std::string>("barcode_front_foundseq"));
    EXPECT_EQ(0, metadata.get_value<int32_t>("barcode_front_foundseq_length"));
    EXPECT_EQ(0, metadata.get_value<int32_t>("barcode_mid_rear_end_index"));
}

TEST(BarcodingResults, ReplacesEarlierValuesWhateverTheirType) {
    const auto buffer = barcoding(true);
    Metadata metadata;
    metadata.insert("trim_front", std::string("stale"));
    metadata.insert<uint64_t>("barcode_front_id", 5);
    metadata.insert("unrelated", std::string("kept"));
    basecall_service::write_barcoding_results(root(buffer), metadata);

    EXPECT_EQ(-4, metadata.get_value<int32_t>("trim_front"));
    EXPECT_EQ("barcode03", metadata.get_value<std::string>("barcode_front_id"));
    EXPECT_EQ("kept", metadata.get_value<std::string>("unrelated"));
}

}  // namespace
