#include "common/diagnostics/state/formatters.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <stdexcept>
#include <utility>

namespace {

using common::diagnostics::state::IndentationFormatter;
using common::diagnostics::state::JsonFormatter;
using common::diagnostics::state::StateRecord;
using common::diagnostics::state::StateRecordType;

StateRecord value(std::string name, boost::any v) { return {StateRecordType::value, std::move(name), std::move(v)}; }
StateRecord start(std::string name) { return {StateRecordType::section_start, std::move(name), {}}; }
StateRecord end(std::string name) { return {StateRecordType::section_end, std::move(name), {}}; }

// A report with nested sections and every value type.
std::vector<StateRecord> nested_report() {
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

TEST(JsonFormatter, GoldenNestedReport) {
    const std::string expected =
            "\n"
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

TEST(IndentationFormatter, GoldenNestedReport) {
    const std::string expected =
            "\n"
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

TEST(Formatters, EmptyReport) {
    EXPECT_EQ(JsonFormatter()({}), "\n{}");
    EXPECT_EQ(IndentationFormatter()({}), "\n");
}

TEST(Formatters, RepeatedNameKeepsFirstPlaceInJsonAndBothLinesInText) {
    const std::vector<StateRecord> records{value("a", 1LL), value("b", 2LL), value("a", 3LL)};
    EXPECT_EQ(JsonFormatter()(records), "\n{\n    \"a\": 3,\n    \"b\": 2\n}");
    EXPECT_EQ(IndentationFormatter()(records), "\na: 1\nb: 2\na: 3\n");
}

TEST(Formatters, UnsupportedValueTypeIsAnError) {
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

TEST(Formatters, MalformedLists) {
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

TEST(JsonFormatter, ReadSectionReturnsIndexOfItsEnd) {
    const auto records = nested_report();
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    EXPECT_EQ(common::diagnostics::state::read_section_to_json(object, records, 8), 11u);  // "ReadBuffer" end
    EXPECT_EQ(object.dump(), R"({"queued":-3,"Empty":{}})");
}

TEST(JsonFormatter, InvalidUtf8IsReplacedAndTheTextStaysParseable) {
    const std::vector<StateRecord> records{value("bad", std::string("a\xff\xfe"
                                                                    "b")),
                                           value("ok", std::string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")),
                                           value("cut", std::string("x\xE2\x82")),
                                           value("surrogate", std::string("\xED\xA0\x80"))};
    std::string text;
    ASSERT_NO_THROW(text = JsonFormatter()(records));
    const auto parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed["bad"].get<std::string>(),
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(parsed["ok"].get<std::string>(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // written as it is
    EXPECT_EQ(parsed["cut"].get<std::string>(), "x\xEF\xBF\xBD");  // one replacement for the cut sequence
    EXPECT_EQ(parsed["surrogate"].get<std::string>(), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(JsonFormatter, EscapesControlCharactersAndQuotes) {
    const std::vector<StateRecord> records{value("q", std::string("say \"hi\"\n\\"))};
    EXPECT_EQ(JsonFormatter()(records), "\n{\n    \"q\": \"say \\\"hi\\\"\\n\\\\\"\n}");
}

// Short escapes where there are any, \u00XX in upper-case hex for the other control characters and
// DEL; the solidus and non-ASCII text stay as they are, in names as in values.
TEST(JsonFormatter, EscapeForms) {
    const std::vector<StateRecord> records{
            value("c", std::string("\b\f\r\t\x01\x1b\x1f\x7f/")),
            value("n\xC3\xA9\x1b", std::string("\xC3\xA9")),
    };
    EXPECT_EQ(JsonFormatter()(records),
              "\n{\n"
              "    \"c\": \"\\b\\f\\r\\t\\u0001\\u001B\\u001F\\u007F/\",\n"
              "    \"n\xC3\xA9\\u001B\": \"\xC3\xA9\"\n"
              "}");
}

// Doubles: shortest round-trip digits, plain notation while the point lies within 17 digits to the
// left and 3 zeros to the right, always a "." or an exponent, exponents with a sign and two digits.
TEST(JsonFormatter, NumberForms) {
    const std::vector<std::pair<double, std::string>> doubles{
            {0.5, "0.5"},
            {1.0, "1.0"},
            {-2.0, "-2.0"},
            {0.0, "0.0"},
            {-0.0, "0.0"},
            {123.456, "123.456"},
            {0.1 + 0.2, "0.30000000000000004"},
            {0.0001, "0.0001"},
            {0.00001, "1e-05"},
            {0.000012345, "1.2345e-05"},
            {1e15, "1000000000000000.0"},
            {1e16, "10000000000000000.0"},
            {1.5e16, "15000000000000000.0"},
            {1e17, "1e+17"},
            {1.25e17, "1.25e+17"},
            {-2.5e-7, "-2.5e-07"},
            {1e100, "1e+100"},
            {1.7976931348623157e308, "1.7976931348623157e+308"},
            {5e-324, "5e-324"},
            {std::nan(""), "null"},
            {HUGE_VAL, "null"},
            {-HUGE_VAL, "null"},
    };
    for (const auto& [number, text] : doubles) {
        EXPECT_EQ(JsonFormatter()({value("d", number)}), "\n{\n    \"d\": " + text + "\n}") << text;
    }
    EXPECT_EQ(JsonFormatter()({value("u", 18446744073709551615ULL), value("i", -9223372036854775807LL - 1)}),
              "\n{\n    \"u\": 18446744073709551615,\n    \"i\": -9223372036854775808\n}");
}

}  // namespace
