// Line layouts, function names and filters, read back from a stream sink on a string stream.
#include "common/logger.h"
#include "common/logging/filters.h"
#include "common/logging/formatters.h"
#include "common/logging/library_core.h"

#include <boost/log/attributes/constant.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/keywords/channel.hpp>
#include <boost/log/keywords/severity.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/make_shared.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

namespace {

using common::logging::FormatterSettings;
using common::logging::SeverityLevel;
using StreamSink = common::logging::LoggerGroup::StreamSink;

// A sink of its own on a string stream, detached again when the test ends: one of the library's,
// or, for records made with Boost.Log's own loggers, one of the core's.
class CapturedSink {
public:
    explicit CapturedSink(const FormatterSettings& settings, bool in_core = false) : m_in_core(in_core) {
        auto backend = boost::make_shared<boost::log::sinks::text_ostream_backend>();
        backend->add_stream(boost::shared_ptr<std::ostream>(&m_stream, common::logging::null_deleter()));
        backend->auto_flush(true);
        m_sink = boost::make_shared<StreamSink>(backend);
        m_sink->set_formatter(common::logging::CreateLogFormatters(settings));
        if (m_in_core) {
            boost::log::core::get()->add_sink(m_sink);
        } else {
            common::logging::attach_library_sink(m_sink);
        }
    }
    ~CapturedSink() {
        if (m_in_core) {
            boost::log::core::get()->remove_sink(m_sink);
        } else {
            common::logging::detach_library_sink(m_sink);
        }
    }

    std::string text() const { return m_stream.str(); }

private:
    const bool m_in_core;
    std::ostringstream m_stream;
    boost::shared_ptr<StreamSink> m_sink;
};

FormatterSettings settings_from_index(unsigned index) {
    FormatterSettings settings;
    settings.timestamp = (index & 16) != 0;
    settings.channel = (index & 8) != 0;
    settings.severity = (index & 4) != 0;
    settings.function = (index & 2) != 0;
    settings.thread_id = (index & 1) != 0;
    return settings;
}

// Placeholders in an expected line: any decimal digit, any lower-case hexadecimal digit.
constexpr char DIGIT = '\x01';
constexpr char HEX = '\x02';

bool matches(const std::string& text, const std::string& expected) {
    if (text.size() != expected.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool ok = expected[i] == DIGIT ? std::isdigit(c) != 0
                        : expected[i] == HEX ? (std::isdigit(c) != 0 || (c >= 'a' && c <= 'f'))
                                             : text[i] == expected[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The line that the settings must produce (time stamp and thread id as placeholders).
std::string expected_line(const FormatterSettings& settings, const std::string& function, const std::string& text) {
    const std::string d(1, DIGIT);
    std::string line;
    if (settings.timestamp) {
        line += d + d + d + d + "-" + d + d + "-" + d + d + " " + d + d + ":" + d + d + ":" + d + d + "." +
                std::string(6, DIGIT) + " ";
    }
    if (settings.channel) {
        line += "[zev/warning] ";
    }
    if (settings.severity) {
        line += "{warning} ";
    }
    if (settings.function) {
        line += function + ": ";
    }
    if (settings.thread_id) {
        line += "(thread: 0x" + std::string(16, HEX) + ") ";
    }
    return line + text + "\n";
}

void write_warning_from_named_function(const std::string& text) { ZEV_LOG(common::logging::warning) << text; }

class LogFormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        boost::log::add_common_attributes();
        boost::log::core::get()->reset_filter();
        boost::log::core::get()->set_logging_enabled(true);
    }
};

}  // namespace

namespace formatting_test_space {
void write_warning(const std::string& text) { ZEV_LOG(common::logging::warning) << text; }
}  // namespace formatting_test_space

TEST_F(LogFormatTest, every_combination_of_elements_has_its_exact_layout) {
    for (unsigned index = 0; index < 32; ++index) {
        const auto settings = settings_from_index(index);
        CapturedSink sink(settings);
        formatting_test_space::write_warning("hello world");
        EXPECT_TRUE(
                matches(sink.text(), expected_line(settings, "formatting_test_space::write_warning", "hello world")))
                << "index " << index << ": " << sink.text();
    }
}

TEST_F(LogFormatTest, default_standard_error_and_standard_output_layouts) {
    {
        FormatterSettings std_err{false, true, false, true, false};
        CapturedSink sink(std_err);
        formatting_test_space::write_warning("disk nearly full");
        EXPECT_EQ(sink.text(), "[zev/warning] formatting_test_space::write_warning: disk nearly full\n");
    }
    {
        FormatterSettings bare{false, false, false, false, false};
        CapturedSink sink(bare);
        formatting_test_space::write_warning("just the text");
        EXPECT_EQ(sink.text(), "just the text\n");
    }
}

TEST_F(LogFormatTest, function_in_unnamed_namespace_gives_an_empty_name) {
    CapturedSink sink(FormatterSettings{false, true, false, true, false});
    write_warning_from_named_function("x");
    EXPECT_EQ(sink.text(), "[zev/warning] : x\n");
}

TEST_F(LogFormatTest, lambda_in_named_function_is_named_after_the_function) {
    CapturedSink sink(FormatterSettings{false, false, false, true, false});
    [] { ZEV_LOG(common::logging::warning) << "from lambda"; }();
    EXPECT_EQ(sink.text(),
              "LogFormatTest_lambda_in_named_function_is_named_after_the_function_Test::TestBody: from lambda\n");
}

TEST_F(LogFormatTest, missing_attributes_keep_their_literal_parts) {
    CapturedSink sink(FormatterSettings{false, true, true, true, false}, true);
    boost::log::sources::severity_logger_mt<SeverityLevel> no_channel;
    BOOST_LOG_SEV(no_channel, SeverityLevel::warning) << "plain";
    EXPECT_EQ(sink.text(), "[zev/] {warning} : plain\n");
}

TEST_F(LogFormatTest, severity_above_the_scale_prints_unknown) {
    CapturedSink sink(FormatterSettings{false, false, true, false, false}, true);
    boost::log::sources::severity_logger_mt<SeverityLevel> logger;
    BOOST_LOG_SEV(logger, static_cast<SeverityLevel>(7)) << "odd";
    EXPECT_EQ(sink.text(), "{unknown} odd\n");
}

TEST_F(LogFormatTest, explicit_function_text_is_reduced_to_the_bare_name) {
    CapturedSink sink(FormatterSettings{false, true, false, true, false});
    ZEV_LOG_WITH_FUNCTION(common::logging::error,
                          "vexil::PassReadResult vexil::VexilClientImpl::pass_read(interfaces::ReadHolder &, uint32_t)")
            << "bad read";
    EXPECT_EQ(sink.text(), "[zev/error] vexil::VexilClientImpl::pass_read: bad read\n");
}

TEST_F(LogFormatTest, record_text_ending_in_a_line_break_gets_no_second_one) {
    CapturedSink sink(FormatterSettings{false, false, false, false, false});
    ZEV_LOG(common::logging::error) << "\nfirst\n";
    EXPECT_EQ(sink.text(), "\nfirst\n");
}

TEST_F(LogFormatTest, message_is_not_evaluated_when_no_record_opens) {
    CapturedSink sink(FormatterSettings{false, false, false, false, false});
    boost::log::core::get()->set_filter(common::logging::DefineRejectFilter());
    int evaluations = 0;
    auto count = [&evaluations] { return ++evaluations; };
    ZEV_LOG(common::logging::error) << count();
    EXPECT_EQ(evaluations, 0);
    EXPECT_EQ(sink.text(), "");
    boost::log::core::get()->reset_filter();
}

TEST(BareFunctionName, follows_the_pretty_function_rules) {
    using common::logging::bare_function_name;
    // Texts as another compiler writes them.
    EXPECT_EQ(bare_function_name("void (anonymous namespace)::ContractViolationHandler::handle_violation("
                                 "const std::string &, bool)"),
              "");
    EXPECT_EQ(bare_function_name("std::unordered_set<std::string> common::getReadIdWhitelist(const std::string &)"),
              "common::getReadIdWhitelist");
    EXPECT_EQ(bare_function_name("void basecall_service::BasecallClient::worker_loop(void (*)())"),
              "basecall_service::BasecallClient::worker_loop");
    EXPECT_EQ(bare_function_name("virtual void ContextBuilder::initialise()"), "ContextBuilder::initialise");
    EXPECT_EQ(bare_function_name("auto (anonymous namespace)::f()::(anonymous class)::operator()() const"), "");
    EXPECT_EQ(bare_function_name("no_parenthesis at all"), "no_parenthesis at all");
    EXPECT_EQ(bare_function_name("(starts with parenthesis)"), "");
    // The same functions as GCC writes them.
    EXPECT_EQ(bare_function_name("void {anonymous}::ContractViolationHandler::handle_violation("
                                 "const string&, bool)"),
              "");
    EXPECT_EQ(bare_function_name("std::unordered_set<std::__cxx11::basic_string<char> > "
                                 "common::getReadIdWhitelist(const string&)"),
              "common::getReadIdWhitelist");
    EXPECT_EQ(bare_function_name("{anonymous}::f()::<lambda()>"), "");
}

namespace {

// Attribute sets for filter checks.
boost::log::attribute_value_set values(boost::optional<SeverityLevel> severity, boost::optional<std::string> channel) {
    boost::log::attribute_set attributes;
    if (severity) {
        attributes.insert("Severity", boost::log::attributes::constant<SeverityLevel>(*severity));
    }
    if (channel) {
        attributes.insert("Channel", boost::log::attributes::constant<std::string>(*channel));
    }
    boost::log::attribute_set empty;
    boost::log::attribute_value_set result(attributes, empty, empty);
    result.freeze();
    return result;
}

}  // namespace

TEST(SeverityFilter, single_list_accepts_only_listed_severities) {
    auto filter = common::logging::DefineSeverityFilter({SeverityLevel::warning, SeverityLevel::error});
    EXPECT_TRUE(filter(values(SeverityLevel::warning, std::string("warning"))));
    EXPECT_TRUE(filter(values(SeverityLevel::error, boost::none)));
    EXPECT_FALSE(filter(values(SeverityLevel::info, std::string("info"))));
    EXPECT_FALSE(filter(values(boost::none, std::string("warning"))));
}

TEST(SeverityFilter, custom_traces_govern_trace_records) {
    auto filter = common::logging::DefineSeverityFilter({SeverityLevel::error, SeverityLevel::trace}, {"abc"});
    EXPECT_TRUE(filter(values(SeverityLevel::error, std::string("error"))));
    EXPECT_TRUE(filter(values(SeverityLevel::trace, std::string("abc"))));
    EXPECT_FALSE(filter(values(SeverityLevel::trace, std::string("xyz"))));
    EXPECT_TRUE(filter(values(SeverityLevel::trace, boost::none)));
    EXPECT_FALSE(filter(values(SeverityLevel::warning, std::string("warning"))));
    EXPECT_FALSE(filter(values(boost::none, std::string("abc"))));
}

TEST(SeverityFilter, global_filter_is_the_union_of_all_sinks) {
    common::logging::LoggerOptions options;
    options.sink(common::logging::Loggers::std_err).severities = {SeverityLevel::error};
    options.sink(common::logging::Loggers::verbose_log).severities = {SeverityLevel::verbose, SeverityLevel::trace};
    // Disabled sinks still widen the core filter.
    options.sink(common::logging::Loggers::main_log).severities = {SeverityLevel::info};
    auto filter = common::logging::DefineGlobalFilter(options);
    EXPECT_TRUE(filter(values(SeverityLevel::error, std::string("error"))));
    EXPECT_TRUE(filter(values(SeverityLevel::verbose, std::string("verbose"))));
    EXPECT_TRUE(filter(values(SeverityLevel::info, std::string("info"))));
    EXPECT_FALSE(filter(values(SeverityLevel::warning, std::string("warning"))));
    // No custom traces anywhere: trace records with a channel are rejected even though trace is listed.
    EXPECT_FALSE(filter(values(SeverityLevel::trace, std::string("abc"))));

    options.sink(common::logging::Loggers::std_out).custom_traces = {"abc"};
    auto with_trace = common::logging::DefineGlobalFilter(options);
    EXPECT_TRUE(with_trace(values(SeverityLevel::trace, std::string("abc"))));
    EXPECT_FALSE(with_trace(values(SeverityLevel::trace, std::string("xyz"))));
}

TEST(SeverityFilter, reject_filter_rejects_every_severity) {
    auto filter = common::logging::DefineRejectFilter();
    for (int level = 0; level <= 5; ++level) {
        EXPECT_FALSE(filter(values(static_cast<SeverityLevel>(level), std::string("x"))));
    }
}
