#include "common/diagnostics/state/formatters.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace {

using common::diagnostics::state::IndentationFormatter;
using common::diagnostics::state::JsonFormatter;
using common::diagnostics::state::StateRecord;
using common::diagnostics::state::StateRecordType;

StateRecord value(std::string name, boost::any v) { return {StateRecordType::value, std::move(name), std::move(v)}; }
StateRecord start(std::string name) { return {StateRecordType::section_start, std::move(name), {}}; }
StateRecord end(std::string name) { return {StateRecordType::section_end, std::move(name), {}}; }

// A report with nested sections and every value type.
std::vector<StateRecord> nested_report()
{
    return {
            start("VexilClient"),
            value("address", std::string("ipc:///tmp/5555")),
            value("connected", true),
            value("reads_passed", 12LL),
            value("bytes", 18446744073709551615ULL),
            value("ratio", 0.5),
            value("nothing", boost::any()),
            start("ReadBuffer"),
            value("queued", -3LL),
            start("Empty"),
            end("Empty"),
            end("ReadBuffer"),
            end("VexilClient"),
            start("other"),
            value("n", 5LL),
            end("other"),
    };
}

TEST(JsonFormatter, GoldenNestedReport)
{
    const std::string expected = "\n"
                                 "{\n"
                                 "    \"VexilClient\": {\n"
                                 "        \"address\": \"ipc:///tmp/5555\",\n"
                                 "        \"connected\": true,\n"
                                 "        \"reads_passed\": 12,\n"
                                 "        \"bytes\": 18446744073709551615,\n"
                                 "        \"ratio\": 0.5,\n"
                                 "        \"nothing\": null,\n"
                                 "        \"ReadBuffer\": {\n"
                                 "            \"queued\": -3,\n"
                                 "            \"Empty\": {}\n"
                                 "        }\n"
                                 "    },\n"
                                 "    \"other\": {\n"
                                 "        \"n\": 5\n"
                                 "    }\n"
                                 "}";
    EXPECT_EQ(JsonFormatter()(nested_report()), expected);
}

TEST(IndentationFormatter, GoldenNestedReport)
{
    const std::string expected = "\n"
                                 "VexilClient\n"
                                 "    address: ipc:///tmp/5555\n"
                                 "    connected: true\n"
                                 "    reads_passed: 12\n"
                                 "    bytes: 18446744073709551615\n"
                                 "    ratio: 0.500000\n"
                                 "    nothing: \n"
                                 "    ReadBuffer\n"
                                 "        queued: -3\n"
                                 "        Empty\n"
                                 "other\n"
                                 "    n: 5\n";
    EXPECT_EQ(IndentationFormatter()(nested_report()), expected);
}

TEST(Formatters, EmptyReport)
{
    EXPECT_EQ(JsonFormatter()({}), "\n{}");
    EXPECT_EQ(IndentationFormatter()({}), "\n");
}

TEST(Formatters, RepeatedNameKeepsFirstPlaceInJsonAndBothLinesInText)
{
    const std::vector<StateRecord> records{value("a", 1LL), value("b", 2LL), value("a", 3LL)};
    EXPECT_EQ(JsonFormatter()(records), "\n{\n    \"a\": 3,\n    \"b\": 2\n}");
    EXPECT_EQ(IndentationFormatter()(records), "\na: 1\nb: 2\na: 3\n");
}

TEST(Formatters, UnsupportedValueTypeIsAnError)
{
    const std::vector<StateRecord> records{value("n", 5)};
    const std::string prefix = "invalid type held as state record value: ";
    try {
        JsonFormatter()(records);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), prefix + typeid(int).name());
    }
    try {
        IndentationFormatter()(records);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), prefix + typeid(int).name());
    }
}

TEST(Formatters, MalformedLists)
{
    const std::vector<StateRecord> unterminated{start("s"), value("a", true)};
    EXPECT_THROW(
            {
                try {
                    JsonFormatter()(unterminated);
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ(e.what(), "malformed state_table");
                    throw;
                }
            },
            std::runtime_error);
    EXPECT_EQ(IndentationFormatter()(unterminated), "\ns\n    a: true\n");

    const std::vector<StateRecord> stray_end{value("a", true), end("s")};
    EXPECT_THROW(JsonFormatter()(stray_end), std::runtime_error);
    try {
        IndentationFormatter()(stray_end);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Malformed StateTable detected while formatting.");
    }
}

TEST(JsonFormatter, ReadSectionReturnsIndexOfItsEnd)
{
    const auto records = nested_report();
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    EXPECT_EQ(common::diagnostics::state::read_section_to_json(object, records, 8), 11u);  // "ReadBuffer" end
    EXPECT_EQ(object.dump(), R"({"queued":-3,"Empty":{}})");
}

TEST(JsonFormatter, InvalidUtf8DoesNotThrow)
{
    const std::vector<StateRecord> records{value("bad", std::string("a\xff\xfe" "b")), value("ok", std::string("é"))};
    std::string text;
    ASSERT_NO_THROW(text = JsonFormatter()(records));
    const auto parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed["bad"].get<std::string>(), "a\xEF\xBF\xBD\xEF\xBF\xBD" "b");
    EXPECT_EQ(parsed["ok"].get<std::string>(), "é");
}

TEST(JsonFormatter, EscapesControlCharactersAndQuotes)
{
    const std::vector<StateRecord> records{value("q", std::string("say \"hi\"\n\\"))};
    EXPECT_EQ(JsonFormatter()(records), "\n{\n    \"q\": \"say \\\"hi\\\"\\n\\\\\"\n}");
}

}  // namespace
