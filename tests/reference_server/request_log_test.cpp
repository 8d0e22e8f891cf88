#include "reference_server/request_log.h"

#include <gtest/gtest.h>

#include <thread>

using namespace reference_server;
using namespace std::chrono_literals;

namespace {

LoggedRequest request(ipc_tools::MessageType type, const std::string& client = {}) {
    LoggedRequest entry;
    entry.type = type;
    entry.client_id = client;
    return entry;
}

}  // namespace

TEST(RequestLog, KeepsTheNewestEntriesUpToItsCapacity) {
    RequestLog log(3);
    for (int i = 0; i < 5; ++i) {
        log.append(request(ipc_tools::HEARTBEAT_PING));
    }
    const auto entries = log.snapshot();
    ASSERT_EQ(3U, entries.size());
    EXPECT_EQ(2U, entries.front().sequence);
    EXPECT_EQ(4U, entries.back().sequence);
    ASSERT_EQ(1U, log.entries_from(4).size());
    EXPECT_EQ(3U, log.entries_from(0).size());
    EXPECT_TRUE(log.entries_from(5).empty());
    // Numbers go on after a clear, and a reader's position still finds only the newer entries.
    log.clear();
    log.append(request(ipc_tools::CONNECT));
    log.append(request(ipc_tools::DISCONNECT));
    const auto after_clear = log.entries_from(6);
    ASSERT_EQ(1U, after_clear.size());
    EXPECT_EQ(6U, after_clear.front().sequence);
    EXPECT_EQ(2U, log.entries_from(3).size());
}

TEST(RequestLog, WaitsForRequestsFromAnotherThread) {
    RequestLog log;
    EXPECT_FALSE(log.wait_for_count(ipc_tools::CONNECT, 1, 10ms));
    std::thread writer([&log] {
        log.append(request(ipc_tools::GET_CONFIGS));
        log.append(request(ipc_tools::CONNECT));
        log.append(request(ipc_tools::CONNECT));
    });
    EXPECT_TRUE(log.wait_for_count(ipc_tools::CONNECT, 2, 5s));
    writer.join();
    EXPECT_EQ(2U, log.count(ipc_tools::CONNECT));
    EXPECT_EQ(1U, log.count(ipc_tools::GET_CONFIGS));
}

TEST(RequestLog, FormatsOneLinePerRequest) {
    LoggedRequest entry = request(ipc_tools::LOAD_CONFIG, "client_3");
    entry.sequence = 12;
    entry.value = 4;
    entry.text = "dna_sim_fast";
    EXPECT_EQ("12 LOAD_CONFIG client=client_3 value=4 text=dna_sim_fast", RequestLog::format(entry));
}
