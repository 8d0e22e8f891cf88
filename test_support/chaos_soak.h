#pragma once

// A chaos soak of the client engine against the in-process reference server: reads of mixed
// lengths go out singly and in batches while random faults strike the server, which may split
// every called read into sub-reads. Faults the engine survives come through one client; faults
// that end a connection end that client, and the soak connects a new one and passes on the reads it
// got back uncalled. Now and then it also passes a decoy under a tag that is in flight, or a list
// that repeats a tag: both must be refused and stay with the soak as they were. Every read passed
// must come back exactly once per pass, either called to its exact simulated sequence (with each
// sub-read holding its own part of it) or uncalled with exactly what was passed, and `finish` may
// report success only for a client that returned every read called. Shared by the bounded test
// and the longer program under bench/.

#include "basecall_client/basecall_client.h"
#include "basecall_client/read_processing_protocol.h"
#include "data_wrappers/data_view.h"
#include "interfaces/read_holder.h"
#include "reference_server/reference_server.h"
#include "test_support/simulated_reads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace chaos_soak {

using namespace std::chrono_literals;

struct SoakOptions {
    std::uint64_t seed = 1;
    std::size_t reads = 1000;
    std::uint64_t min_samples = 100;
    std::uint64_t max_samples = 1000000;
    std::uint32_t model_stride = 5;
    // Mean time between two faults, and the share of them that end a connection.
    std::chrono::milliseconds fault_interval{150};
    double fatal_share = 0.15;
    // Poll time-out of the link: a silent server costs four of them.
    std::uint32_t request_timeout_ms = 100;
    // Passes of one read before the soak stops retrying it (it then stays uncalled).
    unsigned max_passes = 6;
    // Parts the server splits every called read into (0: none).
    std::uint32_t split_reads = 2;
    // The share of passes that first try a decoy under a tag already taken.
    double decoy_share = 0.05;
    // The whole soak fails, rather than hangs, beyond this.
    std::chrono::seconds time_limit{600};
    // A line every this many settled reads on the progress stream (0: none).
    std::size_t progress_every = 0;
    std::function<void(const std::string&)> progress;
};

struct SoakReport {
    std::size_t reads = 0;
    std::size_t called = 0;
    std::size_t uncalled = 0;  // still uncalled after their last pass
    std::size_t passes = 0;
    std::size_t clients = 0;
    std::size_t faults_survivable = 0;
    std::size_t faults_fatal = 0;
    std::size_t returned_uncalled = 0;  // returns without results, over all passes
    std::size_t sub_reads = 0;          // sub-reads that came with a called read
    std::size_t decoys_refused = 0;
    std::uint64_t samples_called = 0;
    double seconds = 0;
    std::vector<std::string> errors;  // empty when every check held

    bool ok() const { return errors.empty(); }
    std::string summary() const {
        std::ostringstream text;
        text << reads << " reads, " << called << " called, " << uncalled << " uncalled, " << passes << " passes, "
             << clients << " clients, " << faults_survivable << " survivable and " << faults_fatal
             << " connection-ending faults, " << returned_uncalled << " returns uncalled, " << sub_reads
             << " sub-reads, " << decoys_refused << " decoys refused, " << samples_called << " samples called in "
             << seconds << " s";
        for (const auto& error : errors) {
            text << "\n  " << error;
        }
        return text.str();
    }
};

namespace detail {

using reference_server::FaultAction;
using reference_server::FaultRule;

// The length in samples of read `tag`: log-uniform between the bounds, so that every order of
// magnitude is well represented.
inline std::uint64_t read_length(std::uint64_t seed, std::uint64_t tag, const SoakOptions& options) {
    std::mt19937_64 random(seed * 1000003ULL + tag);
    const double low = std::log(static_cast<double>(options.min_samples));
    const double high = std::log(static_cast<double>(options.max_samples));
    const double length = std::exp(std::uniform_real_distribution<double>(low, high)(random));
    const auto stride = options.model_stride;
    // Whole bases, and never fewer than the 20 strides below which a read is not sent.
    return std::max<std::uint64_t>(static_cast<std::uint64_t>(length) / stride, 20) * stride;
}

// What the soak remembers of a read: fingerprints of its sequence and of the parts the server
// splits it into, never the sequence itself.
struct ReadRecord {
    std::size_t bases = 0;
    std::size_t sequence_hash = 0;
    std::vector<std::size_t> part_hashes;  // by sub tag - 1
    std::size_t parts_awaited = 0;         // sub-reads still to come with the called read
    unsigned passes = 0;
    bool outstanding = false;
    bool settled = false;
    bool called = false;
};

// The parts of a sequence as the server splits it: part i of k holds bases [n(i-1)/k, ni/k).
inline std::vector<std::size_t> part_hashes(const std::string& sequence, std::uint32_t parts) {
    std::vector<std::size_t> hashes;
    const std::size_t n = sequence.size();
    if (parts == 0 || n < parts) {
        return hashes;
    }
    for (std::size_t i = 1; i <= parts; ++i) {
        const std::size_t begin = n * (i - 1) / parts;
        const std::size_t end = n * i / parts;
        hashes.push_back(std::hash<std::string>{}(sequence.substr(begin, end - begin)));
    }
    return hashes;
}

class FaultMaker {
public:
    explicit FaultMaker(std::uint64_t seed, const SoakOptions& options)
        : m_random(seed ^ 0x9e3779b97f4a7c15ULL), m_options(options) {}

    // A rule that fires once on one of the next few requests of a random type.
    FaultRule next(bool& fatal) {
        // NOT_READY is survivable only for the first message of a group.
        static const ipc_tools::MessageType group_starts[] = {ipc_tools::PASS_FIRST_RAW_BLOCK,
                                                              ipc_tools::PASS_READ_BATCH};
        std::uniform_real_distribution<double> unit(0, 1);
        fatal = unit(m_random) < m_options.fatal_share;
        FaultRule rule;
        rule.from = std::uniform_int_distribution<std::uint64_t>(1, 4)(m_random);
        rule.count = 1;
        if (fatal) {
            static const FaultAction actions[] = {FaultAction::bad_request, FaultAction::malformed_short,
                                                  FaultAction::malformed_identifier, FaultAction::malformed_content,
                                                  FaultAction::unknown_read_tag};
            rule.action = pick(actions);
            rule.text = "chaos soak";
        } else {
            static const FaultAction actions[] = {FaultAction::client_not_recognised,
                                                  FaultAction::silence,
                                                  FaultAction::restart,
                                                  FaultAction::not_ready,
                                                  FaultAction::reads_lost,
                                                  FaultAction::delay,
                                                  FaultAction::none_pending};

            rule.action = pick(actions);
            rule.delay = std::chrono::milliseconds(std::uniform_int_distribution<int>(
                    1, static_cast<int>(m_options.request_timeout_ms / 2))(m_random));
        }
        static const ipc_tools::MessageType requests[] = {
                ipc_tools::PASS_FIRST_RAW_BLOCK, ipc_tools::PASS_NEXT_RAW_BLOCK, ipc_tools::PASS_READ_BATCH,
                ipc_tools::GET_FIRST_CALLED_BLOCK, ipc_tools::GET_NEXT_CALLED_BLOCK};
        rule.request = pick(requests);
        if (rule.action == FaultAction::reads_lost || rule.action == FaultAction::none_pending ||
            rule.action == FaultAction::unknown_read_tag) {
            rule.request = ipc_tools::GET_FIRST_CALLED_BLOCK;
        } else if (rule.action == FaultAction::not_ready) {
            rule.request = pick(group_starts);
        }
        return rule;
    }

    std::chrono::milliseconds pause() {
        const auto mean = static_cast<double>(m_options.fault_interval.count());
        return std::chrono::milliseconds(
                static_cast<long>(std::exponential_distribution<double>(1.0 / mean)(m_random)));
    }

private:
    template <typename T, std::size_t N>
    T pick(const T (&values)[N]) {
        return values[std::uniform_int_distribution<std::size_t>(0, N - 1)(m_random)];
    }
    std::mt19937_64 m_random;
    const SoakOptions& m_options;
};

// Adds faults to the server at random times until stopped.
class ChaosThread {
public:
    ChaosThread(reference_server::ReferenceServer& server, std::uint64_t seed, const SoakOptions& options)
        : m_server(server), m_maker(seed, options), m_thread([this] { run(); }) {}
    ~ChaosThread() { stop(); }
    ChaosThread(const ChaosThread&) = delete;
    ChaosThread& operator=(const ChaosThread&) = delete;

    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    std::size_t survivable() const { return m_survivable.load(); }
    std::size_t fatal() const { return m_fatal.load(); }

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, m_maker.pause(), [this] { return m_stop; })) {
            bool fatal = false;
            m_server.faults().add(m_maker.next(fatal));
            ++(fatal ? m_fatal : m_survivable);
        }
    }

    reference_server::ReferenceServer& m_server;
    FaultMaker m_maker;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::atomic<std::size_t> m_survivable{0};
    std::atomic<std::size_t> m_fatal{0};
    std::thread m_thread;  // last: starts once everything it uses exists
};

class Soak {
public:
    Soak(const SoakOptions& options, const std::string& address)
        : m_options(options), m_address(address), m_start(std::chrono::steady_clock::now()) {
        m_records.resize(options.reads + 1);
        for (std::uint64_t tag = 1; tag <= options.reads; ++tag) {
            m_to_pass.push_back(tag);
        }
        m_report.reads = options.reads;
    }

    SoakReport run(reference_server::ReferenceServer& server) {
        {
            ChaosThread chaos(server, m_options.seed, m_options);
            drive();
            chaos.stop();
            m_report.faults_survivable = chaos.survivable();
            m_report.faults_fatal = chaos.fatal();
        }
        // The faults have stopped: the last client takes whatever is left, and must finish.
        server.faults().clear();
        m_final_phase = true;
        drive();
        finish_client();
        for (std::uint64_t tag = 1; tag <= m_options.reads; ++tag) {
            const auto& record = m_records[tag];
            if (!record.settled) {
                error("read " + std::to_string(tag) + " never settled");
            }
            (record.called ? m_report.called : m_report.uncalled) += 1;
        }
        m_report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        return m_report;
    }

private:
    bool out_of_time() const { return std::chrono::steady_clock::now() - m_start > m_options.time_limit; }

    void error(const std::string& text) {
        if (m_report.errors.size() < 20) {
            m_report.errors.push_back(text);
        }
    }

    std::unique_ptr<interfaces::ReadHolder> make_read(std::uint64_t tag) {
        auto& record = m_records[tag];
        const std::uint64_t samples = read_length(m_options.seed, tag, m_options);
        const std::string sequence = test_support::random_sequence(
                samples / m_options.model_stride, static_cast<std::uint32_t>(m_options.seed * 7919 + tag));
        const auto read = test_support::simulated_read(static_cast<std::uint32_t>(tag), sequence,
                                                       m_options.model_stride, static_cast<std::uint32_t>(tag));
        record.bases = sequence.size();
        record.sequence_hash = std::hash<std::string>{}(sequence);
        record.part_hashes = part_hashes(sequence, m_options.split_reads);
        auto holder = std::make_unique<interfaces::ReadHolder>();
        holder->read_tag = tag;
        // A key of the caller's own, which an uncalled read must bring back.
        holder->metadata.insert("soak_note", "note_" + std::to_string(tag));
        holder->metadata.insert("read_id", read.read_id);
        holder->metadata.insert("strand_id", "strand_" + read.read_id);
        holder->metadata.insert<float>("daq_offset", read.daq_offset);
        holder->metadata.insert<float>("daq_scaling", read.daq_scaling);
        holder->metadata.insert<std::uint64_t>("duration", read.raw.size());
        holder->metadata.insert<std::uint64_t>("model_stride", m_options.model_stride);
        holder->datasets.emplace(bass::data_wrappers::dataset::raw_data,
                                 bass::data_wrappers::DataView(std::vector<std::int16_t>(read.raw)));
        return holder;
    }

    void new_client() {
        finish_client();
        m_client = std::make_unique<basecall_service::BasecallClient>(4000, 20, 10, false, false, nullptr);
        auto loop = std::make_shared<basecall_service::ReadProcessingProtocol>();
        loop->set_no_more_data_pause(10ms);
        m_client->set_read_processing_protocol(loop);
        m_client->set_reconnect_timeout(std::chrono::seconds(60));
        ipc_tools::ConnectionInfo info;
        info.config_name = "dna_sim_fast";
        info.client_name = "chaos_soak_" + std::to_string(m_report.clients);
        info.timeout_interval = 60000;
        m_client->connect(m_address, m_options.request_timeout_ms, 5, info);
        ++m_report.clients;
        m_session_uncalled = false;
        m_session_passed = 0;
    }

    // Ends the current client: finish, collect what is left, check finish's verdict.
    void finish_client() {
        if (!m_client) {
            return;
        }
        const auto outcome = m_client->finish_by(static_cast<unsigned long long>(m_options.time_limit.count()));
        const bool finished = outcome == basecall_service::FinishOutcome::success;
        // A connection that ended after every read came back called lost nothing; one that never
        // connected cannot finish.
        const bool connected_once = !m_client->get_connected_info().client_uid.empty();
        collect();
        for (auto& read : m_holding) {
            m_to_pass.push_front(read->read_tag);
            m_records[read->read_tag].passes -= 1;  // never accepted
            m_records[read->read_tag].outstanding = false;
        }
        m_holding.clear();
        for (std::uint64_t tag = 1; tag <= m_options.reads; ++tag) {
            if (m_records[tag].outstanding) {
                error("read " + std::to_string(tag) + " passed to client " + std::to_string(m_report.clients) +
                      " did not come back");
                m_records[tag].outstanding = false;
                m_records[tag].settled = true;
            }
        }
        const bool every_read_called = !m_session_uncalled && connected_once;
        if (finished != every_read_called) {
            error("client " + std::to_string(m_report.clients) + ": finish reported " + (finished ? "true" : "false") +
                  " though " + (every_read_called ? "every read was called" : "a read came back uncalled"));
        }
        m_client->disconnect();
        m_client.reset();
    }

    // A called read is followed, in the same collection, by every part split from it.
    void collect() {
        interfaces::ReadList out;
        m_client->get_completed_reads(out, interfaces::medium_priority);
        std::vector<std::uint64_t> called;
        for (const auto& read : out) {
            if (check(*read)) {
                called.push_back(read->read_tag);
            }
        }
        for (const auto tag : called) {
            if (m_records[tag].parts_awaited != 0) {
                error("read " + std::to_string(tag) + " came back without " +
                      std::to_string(m_records[tag].parts_awaited) + " of its sub-reads");
                m_records[tag].parts_awaited = 0;
            }
        }
    }

    void check_sub_read(const interfaces::ReadHolder& read) {
        using bass::data_wrappers::dataset;
        const auto tag = read.read_tag;
        if (tag == 0 || tag > m_options.reads || read.sub_tag > m_records[tag].part_hashes.size()) {
            error("unexpected read tag " + std::to_string(tag) + " sub tag " + std::to_string(read.sub_tag));
            return;
        }
        auto& record = m_records[tag];
        if (!read.has_dataset(dataset::sequence) ||
            std::hash<std::string>{}(read.get_dataset(dataset::sequence).get_string()) !=
                    record.part_hashes[read.sub_tag - 1]) {
            error("sub-read " + std::to_string(read.sub_tag) + " of read " + std::to_string(tag) +
                  " does not hold its own part of the sequence");
        }
        if (record.parts_awaited > 0) {
            --record.parts_awaited;
            ++m_report.sub_reads;
        }
    }

    // Exactly what make_read passed, and what preparing it for the server added: nothing else.
    bool is_as_passed(const interfaces::ReadHolder& read, const ReadRecord& record) const {
        using bass::data_wrappers::dataset;
        const auto& metadata = read.metadata;
        const std::string* note = nullptr;
        return read.datasets.size() == 1 && read.has_dataset(dataset::raw_data) &&
               read.get_dataset(dataset::raw_data).m_info.size == record.bases * m_options.model_stride &&
               metadata.size() == 7 && metadata.extract<std::string>("soak_note", note) && note != nullptr &&
               *note == "note_" + std::to_string(read.read_tag) &&
               metadata.get_value<std::uint64_t>("duration") == record.bases * m_options.model_stride;
    }

    // True for a read that came back called.
    bool check(const interfaces::ReadHolder& read) {
        using bass::data_wrappers::dataset;
        const auto tag = read.read_tag;
        if (read.sub_tag != 0) {
            check_sub_read(read);
            return false;
        }
        if (tag == 0 || tag > m_options.reads) {
            error("unexpected read tag " + std::to_string(tag));
            return false;
        }
        auto& record = m_records[tag];
        if (!record.outstanding) {
            error("read " + std::to_string(tag) + " returned twice");
            return false;
        }
        record.outstanding = false;
        if (read.has_dataset(dataset::sequence)) {
            const auto& sequence = read.get_dataset(dataset::sequence).get_string();
            if (sequence.size() != record.bases || std::hash<std::string>{}(sequence) != record.sequence_hash) {
                error("read " + std::to_string(tag) + " came back with a wrong sequence");
            }
            record.settled = true;
            record.called = true;
            record.parts_awaited = record.part_hashes.size();
            m_report.samples_called += record.bases * m_options.model_stride;
            ++m_settled;
            if (m_options.progress && m_options.progress_every != 0 && m_settled % m_options.progress_every == 0) {
                m_options.progress(std::to_string(m_settled) + " reads settled, " + std::to_string(m_report.clients) +
                                   " clients");
            }
            return true;
        }
        if (!is_as_passed(read, record)) {
            std::ostringstream text;
            text << "read " << tag << " came back uncalled, but not as it was passed: ";
            read.metadata.write_to_stream(text);
            text << " with " << read.datasets.size() << " datasets";
            error(text.str());
        }
        ++m_report.returned_uncalled;
        m_session_uncalled = true;
        if (record.passes >= m_options.max_passes) {
            record.settled = true;
            ++m_settled;
        } else {
            m_to_pass.push_back(tag);
        }
        return false;
    }

    // A read under the tag of a read in flight, alone or within a list, is refused and left as it
    // was; the list it spoiled goes back whole.
    void try_decoy(std::mt19937_64& random) {
        std::vector<std::uint64_t> in_flight;
        for (std::uint64_t tag = 1; tag <= m_options.reads; ++tag) {
            if (m_records[tag].outstanding) {
                in_flight.push_back(tag);
            }
        }
        if (in_flight.empty()) {
            return;
        }
        const auto tag = in_flight[std::uniform_int_distribution<std::size_t>(0, in_flight.size() - 1)(random)];
        auto decoy = make_read(tag);
        const auto expect_refused = [&](basecall_service::PassReadResult result, const char* how) {
            if (result == basecall_service::PassReadResult::bad_read) {
                ++m_report.decoys_refused;
            } else if (result != basecall_service::PassReadResult::not_accepting_reads) {
                error(std::string("a decoy under tag ") + std::to_string(tag) + " passed " + how + " gave " +
                      basecall_service::to_string(result));
            }
        };
        if (m_holding.empty()) {
            expect_refused(m_client->pass_read(*decoy, 10), "alone");
            if (decoy->read_tag != tag || !decoy->has_dataset(bass::data_wrappers::dataset::raw_data)) {
                error("a refused decoy was not left as it was");
            }
            return;
        }
        // Within the held list: its own reads' tags are repeated, or one in flight joins them.
        std::vector<const interfaces::ReadHolder*> before;
        for (const auto& read : m_holding) {
            before.push_back(read.get());
        }
        const bool repeat_in_list = std::uniform_int_distribution<int>(0, 1)(random) == 0;
        if (repeat_in_list) {
            decoy->read_tag = m_holding.front()->read_tag;
        }
        m_holding.push_back(std::move(decoy));
        expect_refused(m_client->pass_reads(m_holding, 10), "in a list");
        if (m_holding.size() != before.size() + 1) {
            error("a list with a repeated tag did not come back whole");
            m_holding.clear();
            return;
        }
        m_holding.pop_back();
        std::size_t i = 0;
        for (const auto& read : m_holding) {
            if (read.get() != before[i++]) {
                error("a list with a repeated tag came back in another order");
            }
        }
    }

    // Passes reads and collects results until everything is settled or this phase must end.
    void drive() {
        std::mt19937_64 random(m_options.seed + (m_final_phase ? 17 : 3));
        while (!out_of_time()) {
            // A client whose connection has ended (in error, or past its reconnect window) is replaced.
            if (!m_client || !m_client->connection_status_is_active()) {
                new_client();
                continue;
            }
            collect();
            if (m_holding.empty() && !m_to_pass.empty()) {
                const bool batch = std::uniform_int_distribution<int>(0, 2)(random) == 0;
                const std::size_t count = batch ? std::uniform_int_distribution<std::size_t>(2, 8)(random) : 1;
                for (std::size_t i = 0; i < count && !m_to_pass.empty(); ++i) {
                    const auto tag = m_to_pass.front();
                    m_to_pass.pop_front();
                    m_holding.push_back(make_read(tag));
                    m_records[tag].passes += 1;
                    m_records[tag].outstanding = true;
                }
                m_holding_as_batch = batch;
            }
            if (!m_final_phase && std::uniform_real_distribution<double>(0, 1)(random) < m_options.decoy_share) {
                try_decoy(random);
            }
            if (!m_holding.empty()) {
                pass_holding();
            } else if (outstanding() == 0) {
                return;
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        error("time limit reached with " + std::to_string(outstanding()) + " reads outstanding");
    }

    void pass_holding() {
        const std::size_t before = m_holding.size();
        basecall_service::PassReadResult result;
        if (m_holding_as_batch) {
            result = m_client->pass_reads(m_holding, 10);
        } else {
            result = m_client->pass_read(*m_holding.front(), 10);
            if (result == basecall_service::PassReadResult::success) {
                m_holding.pop_front();
            }
        }
        if (result == basecall_service::PassReadResult::success) {
            m_report.passes += before;
            m_session_passed += before;
        } else if (m_holding.size() != before) {
            error("a refused pass_reads did not give every read back");
        }
    }

    std::size_t outstanding() const {
        std::size_t count = 0;
        for (const auto& record : m_records) {
            count += record.outstanding ? 1 : 0;
        }
        return count - m_holding.size();
    }

    const SoakOptions& m_options;
    const std::string m_address;
    const std::chrono::steady_clock::time_point m_start;
    std::vector<ReadRecord> m_records;
    std::deque<std::uint64_t> m_to_pass;
    interfaces::ReadList m_holding;
    bool m_holding_as_batch = false;
    std::unique_ptr<basecall_service::BasecallClient> m_client;
    bool m_session_uncalled = false;
    std::size_t m_session_passed = 0;
    bool m_final_phase = false;
    std::size_t m_settled = 0;
    SoakReport m_report;
};

}  // namespace detail

// Runs the whole soak against a reference server of its own on `endpoint` (an ipc:// address).
inline SoakReport run(const SoakOptions& options, const std::string& endpoint) {
    reference_server::ServerOptions server_options;
    server_options.address = endpoint;
    server_options.quiet = true;
    // A bound on what the server holds per client keeps the soak's memory in check.
    server_options.max_reads_per_client = 40;
    server_options.split_reads = options.split_reads;
    reference_server::ReferenceServer server(server_options);
    return detail::Soak(options, endpoint).run(server);
}

}  // namespace chaos_soak
