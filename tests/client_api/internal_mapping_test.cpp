// The library-internal conversions: engine codes to public codes, and exceptions to results.

#include "client_api/get_result.h"
#include "client_api/status_mapping.h"
#include "ipc_tools/request_errors.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using basecall_service::ClientStatus;
using basecall_service::ConnectionError;
using vexil::Result;

TEST(StatusMapping, EveryConnectionErrorMapsByTableAndUnknownValuesThrow) {
    const std::vector<Result> expected{Result::success,
                                       Result::bad_request,
                                       Result::bad_reply,
                                       Result::timed_out,
                                       Result::invalid_response,
                                       Result::basecall_config_unavailable,
                                       Result::barcode_kit_unavailable,
                                       Result::align_index_unavailable,
                                       Result::bed_file_unavailable,
                                       Result::align_index_no_seq,
                                       Result::invalid_aligner_options,
                                       Result::file_load_timeout,
                                       Result::failed};
    for (int code = 0; code < 13; ++code) {
        EXPECT_EQ(expected[code], vexil::to_result(static_cast<ConnectionError>(code))) << code;
    }
    // Where the two enums' numbers part ways.
    EXPECT_EQ(Result::invalid_aligner_options, vexil::to_result(ConnectionError::invalid_aligner_options));
    EXPECT_EQ(Result(11), vexil::to_result(ConnectionError(11)));
    for (int code : {13, -1}) {
        try {
            vexil::to_result(static_cast<ConnectionError>(code));
            FAIL() << code;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ("unrecognised ConnectionError value", error.what());
        }
    }
    for (int status = 0; status < 8; ++status) {
        EXPECT_EQ(status, static_cast<int>(vexil::to_connection_status(static_cast<ClientStatus>(status))));
    }
    EXPECT_THROW(vexil::to_connection_status(ClientStatus(8)), std::runtime_error);
}

TEST(GetResult, EachTransportErrorBecomesItsCodeAfterTheCallbackGotItsText) {
    const auto run = [](const std::function<Result()>& query, std::vector<std::string>& texts) {
        return vexil::get_result(query, [&](std::string text) { texts.push_back(std::move(text)); });
    };
    struct Case {
        std::function<void()> raise;
        Result expected;
    };
    const std::vector<Case> cases{
            {[] { throw ipc_tools::TimeoutError("T1"); }, Result::timed_out},
            {[] { throw ipc_tools::BadRequest("T2"); }, Result::bad_request},
            {[] { throw ipc_tools::BadReply("T3"); }, Result::bad_reply},
            {[] { throw ipc_tools::InvalidResponse("T4"); }, Result::invalid_response},
            {[] { throw std::out_of_range("T5"); }, Result::failed},
    };
    for (const auto& item : cases) {
        std::vector<std::string> texts;
        EXPECT_EQ(item.expected, run(
                                         [&]() -> Result {
                                             item.raise();
                                             return Result::success;
                                         },
                                         texts));
        ASSERT_EQ(1U, texts.size());
    }
    std::vector<std::string> texts;
    EXPECT_EQ(Result::timed_out, run([] { return Result::timed_out; }, texts));
    EXPECT_TRUE(texts.empty());
    // An empty query is a failure of its own; an empty callback, or one that throws, leaves.
    EXPECT_EQ(Result::failed, run(std::function<Result()>(), texts));
    EXPECT_EQ(1U, texts.size());
    EXPECT_THROW(vexil::get_result([]() -> Result { throw ipc_tools::BadReply("x"); }, {}), std::bad_function_call);
    EXPECT_THROW(vexil::get_result([]() -> Result { throw 7; }, [](std::string) {}), int);
}
