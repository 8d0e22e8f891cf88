// The replay machinery on which the throughput benchmarks' limit rests: recordings survive the
// file between processes, a proxy records per client, and the ROUTER answers each REQ socket from
// its own client's recording, in turn.

#include "bench/frame_replay.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

class FrameReplay : public ::testing::Test {
protected:
    void SetUp() override { m_folder = folder_for_sockets(); }
    void TearDown() override { std::filesystem::remove_all(m_folder); }
    std::string path(const std::string& name) const { return m_folder + "/" + name; }

    // Replies of distinct sizes, so that a reply from the wrong client or turn is noticed.
    static std::vector<ClientFrames> two_clients() {
        return {{{"push a", "r"}, {std::string("pull\0a", 6), "rr"}, {"pull b", "rrr"}},
                {{"push b", std::string(10, 'x')}, {"pull c", std::string(2000, '\0')}}};
    }

    std::string m_folder;
};

TEST_F(FrameReplay, RecordingsRoundTripAndDamagedFilesAreRefused) {
    const auto clients = two_clients();
    write_recording(clients, path("good"));
    const auto read = read_recording(path("good"));
    ASSERT_EQ(read.size(), 2U);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_EQ(read[i].size(), clients[i].size());
        for (std::size_t j = 0; j < clients[i].size(); ++j) {
            EXPECT_EQ(read[i][j].request, clients[i][j].request);
            EXPECT_EQ(read[i][j].reply, clients[i][j].reply);
        }
    }

    const std::string bytes = [&] {
        std::ifstream file(path("good"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }();
    const auto refused = [&](const std::string& content, const std::string& reason) {
        std::ofstream(path("bad"), std::ios::binary | std::ios::trunc) << content;
        try {
            read_recording(path("bad"));
            ADD_FAILURE() << "accepted a recording that " << reason;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
    };
    refused(bytes.substr(0, bytes.size() - 1), "ends inside a frame");
    refused(bytes.substr(0, 12), "ends before");
    refused(bytes + "x", "bytes after its last frame");
    refused(std::string(8, '\0'), "holds no client");
    refused(std::string(8, '\xff'), "is damaged");
    write_recording({{}}, path("bad"));
    EXPECT_THROW(read_recording(path("bad")), std::runtime_error);
    EXPECT_THROW(read_recording(path("missing")), std::runtime_error);
}

TEST_F(FrameReplay, EachSocketIsAnsweredFromItsOwnClientInTurn) {
    const auto clients = two_clients();
    write_recording(clients, path("recording"));
    {
        // Three sockets over two recorded clients, each cycling its recording more than twice.
        Replay replay(clients, path("recording"), 3, "ipc://" + path("replay.sock"));
        replay.run(3);
        const ReplayFigures figures = replay.run(21);
        EXPECT_GT(figures.seconds, 0.0);
        EXPECT_GE(figures.cpu.total(), 0.0);
        EXPECT_GE(figures.router_cpu, 0.0);
    }
    // A ROUTER serving the clients in another order is caught at its first answer.
    const std::vector<ClientFrames> swapped{clients[1], clients[0]};
    Replay wrong(swapped, path("recording"), 1, "ipc://" + path("wrong.sock"));
    try {
        wrong.run(1);
        ADD_FAILURE() << "a reply from another client's recording went unnoticed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "The replay's ROUTER answered out of order");
    }
}

TEST_F(FrameReplay, ProxyKeepsTheFirstClientsFramesAndCountsEveryExchange) {
    // A server that answers each request with its text reversed, whatever the envelope.
    zmq::context_t context(1);
    zmq::socket_t server(context, zmq::socket_type::router);
    server.set(zmq::sockopt::linger, 0);
    server.bind("ipc://" + path("server.sock"));
    std::atomic<bool> stop{false};
    std::thread serving([&] {
        while (!stop) {
            zmq_pollitem_t item{server.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 20) <= 0) {
                continue;
            }
            std::vector<zmq::message_t> parts;
            do {
                parts.emplace_back();
                ASSERT_TRUE(server.recv(parts.back()));
            } while (parts.back().more());
            std::string body = parts.back().to_string();
            std::reverse(body.begin(), body.end());
            parts.back().rebuild(body.data(), body.size());
            for (std::size_t i = 0; i < parts.size(); ++i) {
                server.send(parts[i], i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
            }
        }
    });

    {
        RecordingProxy proxy("ipc://" + path("proxy.sock"), "ipc://" + path("server.sock"), 1);
        std::vector<std::unique_ptr<zmq::socket_t>> clients;
        for (int i = 0; i < 2; ++i) {
            clients.push_back(std::make_unique<zmq::socket_t>(context, zmq::socket_type::req));
            clients.back()->set(zmq::sockopt::linger, 0);
            clients.back()->connect("ipc://" + path("proxy.sock"));
        }
        ipc_tools::ReplyPace pace;
        const auto exchange = [&](std::size_t client, const std::string& text) {
            clients[client]->send(zmq::buffer(text));
            zmq::message_t reply;
            ASSERT_TRUE(receive_reply(*clients[client], reply, std::chrono::seconds(10), pace, 0));
            EXPECT_EQ(reply.to_string(), std::string(text.rbegin(), text.rend()));
        };
        exchange(1, "before");
        proxy.take();
        exchange(0, "first");
        exchange(1, "other");
        exchange(0, "second");
        const Recording recording = proxy.take();
        EXPECT_EQ(recording.exchanges, 3U);
        ASSERT_EQ(recording.clients.size(), 1U);
        ASSERT_EQ(recording.clients[0].size(), 2U);
        EXPECT_EQ(recording.clients[0][0].request, "first");
        EXPECT_EQ(recording.clients[0][0].reply, "tsrif");
        EXPECT_EQ(recording.clients[0][1].request, "second");
        EXPECT_EQ(proxy.take().exchanges, 0U);
    }
    stop = true;
    serving.join();
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    // The replay starts its ROUTER through this program, and as this program.
    if (argc > 1 && argv[1] == bench::CHILD_MODE) {
        return bench::run_as_child(argc, argv);
    }
    if (argc == 4 && argv[1] == bench::ROUTER_MODE) {
        return bench::serve_recording(argv[2], argv[3]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
