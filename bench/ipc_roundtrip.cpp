// Round trip of one full read-block message (256,000 samples) through RequestBroker against a REP
// peer, next to the same exchange as bare cppzmq REQ/REP with a buffer of the same size.
// Prints both and the broker's share of the bare throughput.

#include "ipc_tools/request_broker.h"

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include <flatbuffers/flatbuffers.h>
#include <zmq.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdint>
#include <iostream>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t NUM_SAMPLES = 256000;
constexpr std::uint32_t QUERY_TIMEOUT_MS = 5000;

std::vector<std::int16_t> make_samples() {
    std::vector<std::int16_t> samples(NUM_SAMPLES);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = static_cast<std::int16_t>((index * 7919) % 4096 - 2048);
    }
    return samples;
}

const std::vector<std::int16_t>& samples() {
    static const std::vector<std::int16_t> s_samples = make_samples();
    return s_samples;
}

ipc_tools::Message make_read_block(const std::vector<std::int16_t>& raw) {
    flatbuffers::FlatBufferBuilder builder(raw.size() * sizeof(std::int16_t) + 1024);
    const auto read_id = builder.CreateString("0f3c9a52-5d1e-4b8e-9d0e-6b1d2d1a7c11");
    const auto strand_id = builder.CreateString("strand-1");
    const auto raw_data = builder.CreateVector(raw);
    vexil_ipc::ReadBlockDataBuilder block(builder);
    block.add_type(vexil_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK);
    block.add_read_tag(42);
    block.add_num_blocks(1);
    block.add_duration(static_cast<std::uint32_t>(raw.size()));
    block.add_daq_offset(4.0f);
    block.add_daq_scaling(0.15f);
    block.add_read_id(read_id);
    block.add_raw_data(raw_data);
    block.add_strand_id(strand_id);
    const auto content = block.Finish();
    const vexil_ipc::ProtocolVersion version(16, 0, 0);
    const auto root = vexil_ipc::CreateMessageData(builder, &version, builder.CreateString("client-1"),
                                                   vexil_ipc::Content_ReadBlockData, content.Union());
    vexil_ipc::FinishMessageDataBuffer(builder, root);
    return ipc_tools::Message(builder);
}

// A REP peer on an ipc:// endpoint that answers every request with the same small reply frame.
class EchoPeer {
public:
    EchoPeer()
        : m_folder(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("ipc-bench-%%%%-%%%%")),
          m_socket(m_context, zmq::socket_type::rep) {
        boost::filesystem::create_directories(m_folder);
        m_endpoint = "ipc://" + (m_folder / "peer").string();
        ipc_tools::Message reply(ipc_tools::RAW_BLOCK_ACCEPTED, "", 0, "");
        zmq::message_t frame;
        reply.transfer_to_zmq(frame);
        m_reply.assign(static_cast<const char*>(frame.data()), frame.size());
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.set(zmq::sockopt::rcvtimeo, 100);
        m_socket.bind(m_endpoint);
        m_thread = std::thread([this] { serve(); });
    }
    ~EchoPeer() {
        m_stop = true;
        m_thread.join();
        m_socket.close();
        boost::system::error_code ignored;
        boost::filesystem::remove_all(m_folder, ignored);
    }
    const std::string& endpoint() const { return m_endpoint; }
    std::size_t reply_size() const { return m_reply.size(); }

private:
    void serve() {
        while (!m_stop) {
            zmq::message_t request;
            if (!m_socket.recv(request)) {
                continue;
            }
            m_socket.send(zmq::buffer(m_reply), zmq::send_flags::none);
        }
    }

    boost::filesystem::path m_folder;
    std::string m_endpoint;
    std::string m_reply;
    zmq::context_t m_context;
    zmq::socket_t m_socket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::size_t request_size() {
    static const std::size_t s_size = [] {
        auto message = make_read_block(samples());
        zmq::message_t frame;
        message.transfer_to_zmq(frame);
        return frame.size();
    }();
    return s_size;
}

void BM_broker_read_block(benchmark::State& state) {
    EchoPeer peer;
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(peer.endpoint(), QUERY_TIMEOUT_MS);
    for (auto _ : state) {
        auto request = make_read_block(samples());
        ipc_tools::Message reply;
        broker.send_request(request, reply);
        if (reply.get_type() != ipc_tools::RAW_BLOCK_ACCEPTED) {
            state.SkipWithError("unexpected reply");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request_size()));
}

void BM_bare_zmq_same_size(benchmark::State& state) {
    EchoPeer peer;
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(peer.endpoint());
    // The same bytes as the broker's request, so both copy and send the same amount.
    std::vector<std::uint8_t> payload(request_size());
    std::memcpy(payload.data(), samples().data(), std::min(payload.size(), samples().size() * sizeof(std::int16_t)));
    for (auto _ : state) {
        zmq::message_t request(payload.data(), payload.size());
        socket.send(request, zmq::send_flags::none);
        zmq::message_t reply;
        if (!socket.recv(reply)) {
            state.SkipWithError("no reply");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request_size()));
}

// Repetitions in random interleaving, compared by their medians, so that load from other
// processes falls on both exchanges alike.
BENCHMARK(BM_broker_read_block)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->Repetitions(7)->UseRealTime();
BENCHMARK(BM_bare_zmq_same_size)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->Repetitions(7)->UseRealTime();

// Keeps the exchanges per second of each benchmark (the median when repeated) for the comparison.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const double seconds_per_exchange =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if ((median || single) && seconds_per_exchange > 0) {
                m_rate[run.run_name.function_name] = 1.0 / seconds_per_exchange;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double rate_of(const std::string& name) const {
        const auto found = m_rate.find(name);
        return found == m_rate.end() ? 0.0 : found->second;
    }

private:
    std::map<std::string, double> m_rate;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double broker = reporter.rate_of("BM_broker_read_block");
    const double bare = reporter.rate_of("BM_bare_zmq_same_size");
    std::cout << "\nrequest frame: " << request_size() << " bytes (" << NUM_SAMPLES << " samples)\n"
              << "broker exchanges/s: " << broker << "\n"
              << "bare   exchanges/s: " << bare << "\n";
    if (broker > 0 && bare > 0) {
        std::cout << "broker/bare throughput ratio: " << broker / bare << " (target >= 0.90)\n";
    }
    benchmark::Shutdown();
    return 0;
}
