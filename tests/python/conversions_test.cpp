// Conversions that need views no server sends in good order, run inside an embedded interpreter.
#include "data_wrappers/data_table.h"
#include "data_wrappers/data_view.h"
#include "python/align_results.h"
#include "python/conversions.h"
#include "python/enums.h"
#include "python/read_conversions.h"

#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;
using bass::data_wrappers::DataSetType;
using bass::data_wrappers::DataTable;
using bass::data_wrappers::DataView;

namespace {

std::string runtime_error_of(const DataView& view) {
    try {
        tessellpy::dataview_to_ndarray(view);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(DataViewToArray, ElementSizeThatDiffersFromTheNumpyTypeIsRefused) {
    std::vector<double> values(3, 1.0);
    DataView view(values, false);
    view.m_info.type = DataSetType::float32;
    EXPECT_EQ(runtime_error_of(view), "Python data type size (4) for DataType 8 does not match input data size (8)");
}

TEST(DataViewToArray, CountThatDisagreesWithShapeOrDataIsRefused) {
    std::vector<float> values(12, 1.0F);
    DataView matrix(values, false);
    matrix.m_info.rows = 3;
    matrix.m_info.cols = 5;
    EXPECT_EQ(runtime_error_of(matrix),
              "Python array shape (3 x 5) for DataType 8 does not match input data size (12 elements)");

    DataView missing(values, false);
    missing.m_data = nullptr;
    EXPECT_EQ(runtime_error_of(missing), "Input data for DataType 8 holds no data for its 12 elements");

    std::vector<float> none;
    const auto empty = tessellpy::dataview_to_ndarray(DataView(none, false));
    EXPECT_EQ(empty.size(), 0);
    EXPECT_TRUE(empty.dtype().is(py::dtype::of<float>()));
}

TEST(DataViewToArray, MatrixIsCopiedRowMajor) {
    std::vector<uint8_t> values = {1, 2, 3, 4, 5, 6};
    DataView matrix(bass::data_wrappers::MatView<uint8_t>::view(values.data(), 2, 3, 3, 1), values);
    const auto array = tessellpy::dataview_to_ndarray(matrix);
    ASSERT_EQ(array.ndim(), 2);
    EXPECT_EQ(array.shape(0), 2);
    EXPECT_EQ(array.shape(1), 3);
    EXPECT_EQ(static_cast<const uint8_t*>(array.data())[4], 5);
}

TEST(DataViewToArray, TablesOtherThanAlignmentsAndStringsGiveAnEmptyFloatArray) {
    DataTable table;
    table.add_field("Other", DataSetType::int32, 0);
    table.allocate_rows(2);
    DataView table_view(table, true);
    std::string text = "ACGT";
    DataView string_view(text, false);
    for (const DataView* view : {&table_view, &string_view}) {
        const auto array = tessellpy::dataview_to_ndarray(*view);
        EXPECT_EQ(array.ndim(), 1);
        EXPECT_EQ(array.size(), 0);
        EXPECT_TRUE(array.dtype().is(py::dtype::of<double>()));
    }
}

/// The alignment table's columns, as the server's results fill it.
DataTable alignment_table() {
    DataTable table;
    table.add_field("Genome", DataSetType::fixed_string, 253);
    table.add_field("Direction", DataSetType::int8, 0);
    for (const char* name : {"GenomeStart", "GenomeEnd", "StrandStart", "StrandEnd", "NumEvents", "NumInsertions",
                             "NumDeletions", "NumAligned", "NumCorrect"}) {
        table.add_field(name, DataSetType::int32, 0);
    }
    for (const char* name : {"Coverage", "Identity", "Accuracy"}) {
        table.add_field(name, DataSetType::float32, 0);
    }
    for (const char* name : {"StrandScore", "BedHits", "MappingQuality"}) {
        table.add_field(name, DataSetType::int32, 0);
    }
    table.add_field("IsSecondary", DataSetType::uint8, 0);
    table.add_field("IsSupplementary", DataSetType::uint8, 0);
    table.allocate_rows(1);
    return table;
}

TEST(CompletedReads, ReadWhoseSamTextFailsComesBackWithoutItAndIsLogged) {
    py::exec(R"(
import logging
warnings = []
class Collect(logging.Handler):
    def emit(self, record):
        warnings.append(record.getMessage())
logging.getLogger("tessellpy").addHandler(Collect())
)");
    std::vector<std::vector<vexil::Read>> groups(1);
    groups[0].resize(2);
    vexil::Read& broken = groups[0][0];
    broken.set_read_tag(7);
    broken.get_metadata().insert("read_id", std::string("broken"));
    broken.get_metadata().insert("alignment_sam_record", std::string("not a SAM line"));
    DataTable table = alignment_table();
    broken.get_datasets().emplace(dataset::align_results, DataView(table, true));
    groups[0][1].set_read_tag(7);
    groups[0][1].get_metadata().insert("read_id", std::string("plain"));

    const py::list out = tessellpy::completed_reads_to_list(groups);
    ASSERT_EQ(out.size(), 1U);
    const auto group = out[0].cast<py::list>();
    ASSERT_EQ(group.size(), 2U);
    const auto broken_metadata = group[0].cast<py::dict>()["metadata"].cast<py::dict>();
    // The server's own record text stays as it came; no SAM line was built over it.
    EXPECT_EQ(broken_metadata["alignment_sam_record"].cast<std::string>(), "not a SAM line");
    EXPECT_EQ(broken_metadata["read_id"].cast<std::string>(), "broken");
    EXPECT_EQ(group[0].cast<py::dict>()["datasets"].cast<py::dict>()["align_results"].attr("itemsize").cast<int>(),
              320);
    EXPECT_EQ(group[1].cast<py::dict>()["metadata"].cast<py::dict>()["read_id"].cast<std::string>(), "plain");

    const auto warnings = py::globals()["warnings"].cast<std::vector<std::string>>();
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_NE(warnings[0].find("Could not build the SAM record of read 'broken' (tag 7)"), std::string::npos)
            << warnings[0];
}

TEST(ReadDict, SamplesAreCopiedWhateverTheArrayLayout) {
    const py::module_ numpy = py::module_::import("numpy");
    const py::object base = numpy.attr("arange")(-7, 13, py::arg("dtype") = "int16");
    const py::object layouts[] = {base, base[py::slice(0, 20, 3)], base[py::slice(19, -21, -1)],
                                  base[py::slice(0, 0, 1)]};
    for (const auto& samples : layouts) {
        py::dict source;
        source["read_tag"] = 1;
        source["read_id"] = "r";
        source["daq_offset"] = 1.0;
        source["daq_scaling"] = 1.0;
        source["raw_data"] = samples;
        vexil::Read read;
        std::string reason;
        ASSERT_TRUE(tessellpy::dict_to_readholder(source, read, reason)) << reason;
        const auto& view = read.get_datasets().at(dataset::raw_data);
        const auto expected = numpy.attr("ascontiguousarray")(samples).cast<std::vector<int16_t>>();
        ASSERT_EQ(view.m_info.size, expected.size());
        EXPECT_EQ(std::vector<int16_t>(view.get_data<int16_t>(), view.get_data<int16_t>() + view.m_info.size), expected)
                << std::string(py::repr(samples));
    }
}

TEST(CompletedReads, ArraysTakeOverOwnedBuffersAndOutliveTheReads) {
    std::vector<std::vector<vexil::Read>> groups(1);
    groups[0].resize(1);
    vexil::Read& read = groups[0][0];
    read.set_read_tag(3);
    read.get_datasets().emplace(dataset::raw_data, DataView(std::vector<int16_t>{5, -6, 7}));
    // A matrix whose data starts inside its buffer, and a borrowed buffer that must be copied.
    std::vector<uint8_t> cells = {0, 0, 1, 2, 3, 4, 5, 6};
    read.get_datasets().emplace(
            dataset::state_data,
            DataView(bass::data_wrappers::MatView<uint8_t>::view(cells.data() + 2, 2, 3, 3, 1), std::move(cells)));
    std::vector<float> borrowed = {1.5F, 2.5F};
    read.get_datasets().emplace(dataset::flipflop_trace, DataView(borrowed, false));

    const py::list out = tessellpy::completed_reads_to_list(std::move(groups));
    groups.clear();
    borrowed.assign(2, 0.0F);
    const auto datasets = out[0].cast<py::list>()[0].cast<py::dict>()["datasets"].cast<py::dict>();
    const auto raw = datasets["raw_data"].cast<py::array>();
    EXPECT_EQ(raw.cast<std::vector<int16_t>>(), (std::vector<int16_t>{5, -6, 7}));
    EXPECT_FALSE(raw.attr("flags")["OWNDATA"].cast<bool>());
    EXPECT_TRUE(raw.attr("flags")["WRITEABLE"].cast<bool>());
    const auto state = datasets["state_data"].cast<py::array>();
    ASSERT_EQ(state.ndim(), 2);
    EXPECT_EQ(state.attr("ravel")().cast<std::vector<uint8_t>>(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(datasets["flipflop_trace"].cast<std::vector<float>>(), (std::vector<float>{1.5F, 2.5F}));
}

TEST(MetadataToDict, RecordsOfOtherKeysAndManyKeysAreConvertedAlike) {
    bass::data_wrappers::Metadata many;
    for (int i = 0; i < 300; ++i) {
        many.insert<int32_t>("key_" + std::to_string(1000 + i), i);
    }
    bass::data_wrappers::Metadata other;
    other.insert("key_1000", std::string("text"));
    other.insert<double>("key_1001", 0.25);
    other.insert<bool>("zz", true);
    // Alternated, so that every position meets other keys and types than it met last.
    for (int round = 0; round < 2; ++round) {
        const py::dict converted = tessellpy::metadata_to_dict(many);
        ASSERT_EQ(converted.size(), 300U);
        for (int i = 0; i < 300; i += 37) {
            EXPECT_EQ(converted[py::str("key_" + std::to_string(1000 + i))].cast<int>(), i);
        }
        EXPECT_EQ(py::str(py::list(converted)[299]).cast<std::string>(), "key_1299");
        const py::dict small = tessellpy::metadata_to_dict(other);
        EXPECT_EQ(py::repr(small).cast<std::string>(), "{'key_1000': 'text', 'key_1001': 0.25, 'zz': True}");
    }
}

}  // namespace

// The types the conversions hand to Python, registered as the module registers them.
PYBIND11_EMBEDDED_MODULE(tessellpy_types, module) {
    apps::register_align_results_dtype();
    tessellpy::register_enums(module);
}

int main(int argc, char** argv) {
    py::scoped_interpreter interpreter;
    py::module_::import("tessellpy_types");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
