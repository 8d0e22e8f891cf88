// The benchmarks' caller side fails loudly unless every read comes back called, once, as itself.

#include "bench/client_run.h"

#include <boost/log/core.hpp>
#include <gtest/gtest.h>

namespace bench {
namespace {

constexpr Pacing PACING{20, std::chrono::microseconds(1000)};

class ClientRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        boost::log::core::get()->set_logging_enabled(false);
        m_folder = folder_for_sockets();
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    /// The message of what a run of 40 reads against a server with `options` threw; empty if none.
    std::string failure_of(const std::vector<std::string>& options, std::size_t list_size) {
        const std::string address = "ipc://" + m_folder + "/server" + std::to_string(m_servers++) + ".sock";
        const ServerProcess server(VEXIL_REFERENCE_SERVER_PROGRAM, address, options);
        const ReadFactory factory(4000, false);
        try {
            ClientRun client(address, "client_run_test", PACING);
            client.run(made_reads(factory, 1, 40), list_size);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return {};
    }

    std::string m_folder;
    int m_servers = 0;
};

TEST_F(ClientRunTest, EveryReadComesBackSinglyAndInLists) {
    EXPECT_EQ(failure_of({"--no-model"}, 0), "");
    EXPECT_EQ(failure_of({"--no-model"}, 7), "");
}

TEST_F(ClientRunTest, ReadsLostOnTheServerFailTheRun) {
    const std::string failure =
            failure_of({"--no-model", "--fault", "reads_lost,request=GET_FIRST_CALLED_BLOCK,count=forever"}, 7);
    EXPECT_NE(failure.find("came back uncalled"), std::string::npos) << failure;
}

TEST_F(ClientRunTest, ReadsComingBackAsSeveralFailTheRun) {
    const std::string failure = failure_of({"--no-model", "--split-reads", "2"}, 0);
    EXPECT_NE(failure.find("A group of 3 reads tagged"), std::string::npos) << failure;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    // The server starts through this program.
    if (argc > 1 && argv[1] == bench::CHILD_MODE) {
        return bench::run_as_child(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
