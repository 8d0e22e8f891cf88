// The exported texts, the read object and the version tags, through the shared library only.

#include "client_api/read.h"
#include "client_api/result.h"
#include "client_api/vexil_client.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

using vexil::Read;

namespace {

template <typename Enum>
std::string thrown_text(Enum value) {
    try {
        vexil::to_string(value);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(PublicEnums, TextsAndUnknownValues) {
    const char* const results[] = {"success",
                                   "no_connection",
                                   "already_connected",
                                   "not_ready",
                                   "timed_out",
                                   "invalid_response",
                                   "basecall_config_unavailable",
                                   "barcode_kit_unavailable",
                                   "align_index_unavailable",
                                   "bed_file_unavailable",
                                   "align_index_no_seq",
                                   "file_load_timeout",
                                   "failed",
                                   "bad_request",
                                   "bad_reply",
                                   "invalid_aligner_options"};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(results[i], vexil::to_string(vexil::Result(i)));
    }
    EXPECT_EQ("unrecognised Result value", thrown_text(vexil::Result(16)));
    EXPECT_EQ("unrecognised Result value", thrown_text(vexil::Result(-1)));
    EXPECT_EQ("error", vexil::to_string(vexil::ConnectionStatus(7)));
    EXPECT_EQ("loading_alignment_index", vexil::to_string(vexil::ConnectionStatus(3)));
    EXPECT_EQ("unrecognised connection status", thrown_text(vexil::ConnectionStatus(8)));
    EXPECT_EQ("bad_read", vexil::to_string(vexil::PassReadResult(3)));
    EXPECT_EQ("unrecognised PassReadResult", thrown_text(vexil::PassReadResult(4)));

    std::ostringstream out;
    out << vexil::PassReadResult(2) << '|' << vexil::Result::bad_reply << '|' << vexil::ConnectionStatus::connected;
    EXPECT_EQ("queue_full|bad_reply|connected", out.str());
    std::ostringstream untouched;
    EXPECT_THROW(untouched << vexil::PassReadResult(4), std::runtime_error);
    EXPECT_EQ("", untouched.str());

    EXPECT_EQ("HIGH_PRIORITY", vexil::to_string(Read::Priority(0)));
    EXPECT_EQ("MEDIUM_PRIORITY", vexil::to_string(Read::Priority(1)));
    EXPECT_EQ("LOW_PRIORITY", vexil::to_string(Read::Priority(2)));
    EXPECT_EQ("invalid_priority_value", vexil::to_string(Read::Priority(-1)));
    EXPECT_EQ("invalid_priority_value", vexil::to_string(Read::Priority(3)));
}

TEST(ReadObject, NewReadPriorityRulesAndMoves) {
    Read read;
    EXPECT_EQ(0U, read.get_read_tag());
    EXPECT_EQ(0U, read.get_sub_tag());
    EXPECT_EQ(Read::MEDIUM_PRIORITY, read.get_priority());
    EXPECT_TRUE(read.get_metadata().empty());
    EXPECT_TRUE(read.get_datasets().empty());
    EXPECT_FALSE(read.has_alignment_data());

    read.set_priority(Read::Priority(0));
    EXPECT_EQ(0, read.get_priority());
    read.set_priority(Read::Priority(2));
    EXPECT_EQ(2, read.get_priority());
    read.set_priority(Read::Priority(7));
    EXPECT_EQ(2, read.get_priority());
    read.set_priority(Read::Priority(-1));
    EXPECT_EQ(1, read.get_priority());
    read.get_readholder().priority = 5;
    EXPECT_EQ(-1, read.get_priority());
    EXPECT_EQ("invalid_priority_value", vexil::to_string(read.get_priority()));

    read.set_read_tag(42);
    read.get_metadata().insert("read_id", std::string("r42"));
    read.get_metadata().insert<float>("daq_scaling", 0.5F);
    EXPECT_EQ("r42", read.get_by_name("read_id"));
    EXPECT_EQ("", read.get_by_name("absent"));
    Read moved(std::move(read));
    EXPECT_EQ(42U, moved.get_read_tag());
    read = Read();  // a moved-from read may be assigned to
    EXPECT_EQ(0U, read.get_read_tag());
    moved = std::move(moved);
    EXPECT_EQ(42U, moved.get_read_tag());

    interfaces::ReadHolder holder;
    holder.read_tag = 9;
    holder.metadata.insert("read_id", std::string("h9"));
    read.set_readholder(holder);
    EXPECT_EQ(9U, read.get_read_tag());
    EXPECT_EQ("h9", read.get_by_name("read_id"));
    EXPECT_EQ(0U, holder.read_tag);
    EXPECT_TRUE(holder.metadata.empty());

    read.clear();
    EXPECT_EQ(0U, read.get_read_tag());
    EXPECT_EQ(Read::MEDIUM_PRIORITY, read.get_priority());
    EXPECT_TRUE(read.get_metadata().empty());
}

TEST(ReadObject, ModificationThresholdStaysInsideTheByte) {
    EXPECT_EQ(12, vexil::modification_threshold(5.0F));
    EXPECT_EQ(128, vexil::modification_threshold(50.0F));
    EXPECT_EQ(255, vexil::modification_threshold(99.9F));
    // 100 % used to wrap to 0, accepting every call; huge values were undefined.
    EXPECT_EQ(255, vexil::modification_threshold(100.0F));
    EXPECT_EQ(255, vexil::modification_threshold(1e30F));
    EXPECT_EQ(255, vexil::modification_threshold(std::numeric_limits<float>::infinity()));
    EXPECT_EQ(0, vexil::modification_threshold(0.0F));
    EXPECT_EQ(0, vexil::modification_threshold(-20.0F));
    EXPECT_EQ(0, vexil::modification_threshold(std::nanf("")));
}

TEST(ReadObject, UnalignedReadGivesOneUnmappedSamLine) {
    Read read;
    read.get_metadata().insert("read_id", std::string("r1"));
    read.get_metadata().insert("strand_id", std::string("r1"));
    read.get_datasets().emplace(bass::data_wrappers::dataset::sequence,
                                bass::data_wrappers::DataView(std::string("ACGT")));
    read.get_datasets().emplace(bass::data_wrappers::dataset::qstring,
                                bass::data_wrappers::DataView(std::string("IIII")));
    const auto lines = read.extract_sam_and_bed_lines(5.0F);
    ASSERT_EQ(1U, lines.size());
    EXPECT_EQ(0U, lines[0].sam_line.rfind("r1\t4\t*", 0)) << lines[0].sam_line;
    EXPECT_TRUE(lines[0].bed_lines.empty());
}

TEST(VersionTags, NumbersAndTexts) {
    const auto software = vexil::VexilClient::get_software_version();
    EXPECT_EQ(7, software.major);
    EXPECT_EQ(2, software.minor);
    EXPECT_EQ(15, software.patch);
    EXPECT_EQ("7.2.15+74d612b19", software.text);
    EXPECT_EQ("16.0.0", vexil::VexilClient::get_protocol_version().text);
    EXPECT_EQ("7.1.0", vexil::VexilClient::get_api_version().text);
    EXPECT_EQ("1.1.0", vexil::VexilClient::get_data_wrappers_version().text);
}
