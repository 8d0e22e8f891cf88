#pragma once

// The caller's side of a throughput run through the public client: reads made as a sequencing
// application makes them, passed singly or in lists, and every read checked back called.

#include "bench/frame_replay.h"
#include "client_api/vexil_client.h"
#include "data_wrappers/data_view.h"
#include "data_wrappers/metadata.h"
#include "reference_server/signal_model.h"

#include <functional>
#include <optional>
#include <random>
#include <unordered_set>

namespace bench {

using bass::data_wrappers::dataset;
using ReadList = std::vector<vexil::Read>;

/// The configuration every benchmark client asks for.
inline const char* const CONFIG = "dna_sim_fast";
/// The client's default "max_reads_queued", with which the benchmarks run it.
constexpr unsigned long MAX_READS_QUEUED = 20;
/// And its default "max_message_size": the most samples a batch, or one block of a read, carries.
constexpr std::size_t BLOCK_SAMPLES = 256000;
constexpr std::size_t READS_PER_PASS_READS = 100;
constexpr std::chrono::seconds RUN_LIMIT{120};

/// Reads of the given length that travel in one batch message.
inline std::size_t reads_per_group(std::size_t samples) {
    return samples > BLOCK_SAMPLES ? 1 : BLOCK_SAMPLES / samples;
}

/// Reads in each pass_reads list: 100, but never more than fill the client's queue once. A longer
/// list is built whole before any of it is queued, so the worker would sit idle while it is built.
inline std::size_t reads_per_list(std::size_t samples) {
    return std::min(READS_PER_PASS_READS, reads_per_group(samples) * MAX_READS_QUEUED);
}

/// Reads that take the client's queue to the deepest it goes in a run: a full queue, and one
/// pass_reads list past it, which is queued whole.
inline std::size_t reads_to_fill_queue(std::size_t samples, bool batched) {
    return batched ? reads_per_group(samples) * MAX_READS_QUEUED + reads_per_list(samples) : MAX_READS_QUEUED;
}

/// Reads of one length. Simulated reads carry a signal the model calls back exactly; the others
/// a cheap pattern, enough for the fast mode, which does not look at the samples.
class ReadFactory {
public:
    ReadFactory(std::size_t samples, bool simulated) : m_raw(samples) {
        if (simulated) {
            reference_server::SimulationParameters params;
            params.daq_offset = m_daq_offset;
            params.daq_scaling = m_daq_scaling;
            std::mt19937 random(samples);
            std::string sequence(samples / params.model_stride, 'A');
            for (auto& base : sequence) {
                base = "ACGT"[random() & 3U];
            }
            m_raw = reference_server::simulate_read(sequence, params);
        } else {
            for (std::size_t i = 0; i < m_raw.size(); ++i) {
                m_raw[i] = static_cast<std::int16_t>((i * 7919) % 1024);
            }
        }
    }

    std::size_t samples() const { return m_raw.size(); }

    /// A read that owns a copy of the samples, as one fresh from a device does.
    vexil::Read make(std::uint64_t tag) const {
        vexil::Read read;
        read.set_read_tag(tag);
        read.get_metadata().insert("read_id", "bench_read_" + std::to_string(tag));
        read.get_metadata().insert<float>("daq_offset", m_daq_offset);
        read.get_metadata().insert<float>("daq_scaling", m_daq_scaling);
        read.get_datasets().emplace(dataset::raw_data, bass::data_wrappers::DataView(std::vector<std::int16_t>(m_raw)));
        return read;
    }

    /// Reads tagged `first_tag` onwards.
    ReadList make_many(std::size_t count, std::uint64_t first_tag = 1) const {
        ReadList reads;
        reads.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            reads.push_back(make(first_tag + i));
        }
        return reads;
    }

private:
    float m_daq_offset = 10.0F;
    float m_daq_scaling = 0.5F;
    std::vector<std::int16_t> m_raw;
};

/// Supplies a run's reads: moves up to `count` more into `out`, which is empty; none once all are given.
using ReadSource = std::function<void(std::size_t count, ReadList& out)>;

/// Reads made by `factory` as they are wanted, tagged `first_tag` onwards, `total` in all: a long
/// run then holds no more reads than the client queues.
inline ReadSource made_reads(const ReadFactory& factory, std::uint64_t first_tag, std::size_t total) {
    return [&factory, next = first_tag, end = first_tag + total](std::size_t count, ReadList& out) mutable {
        for (; count > 0 && next < end; --count) {
            out.push_back(factory.make(next++));
        }
    };
}

/// How a caller waits: for room in a full queue, within pass_read or pass_reads, for up to
/// `wait_ms` (it collects called reads between two tries); and once every read is passed, it looks
/// for the rest every `idle_poll`.
struct Pacing {
    unsigned int wait_ms;
    std::chrono::microseconds idle_poll;
};

/// One public client, connected with its default settings, with the caller's side of a run:
/// pass every read, collect every called read, and fail loudly unless each comes back once, called.
class ClientRun {
public:
    ClientRun(const std::string& address, const std::string& name, Pacing pacing)
        : m_client(address, CONFIG, "", false), m_pacing(pacing) {
        bass::data_wrappers::Metadata params;
        params.insert("client_name", name);
        vexil::Result configured = vexil::Result::failed;
        {
            // set_params sets up the library's process-wide tracing unguarded: two threads that
            // configure clients at once can free its settings twice. One at a time, then.
            static std::mutex configuring;
            const std::lock_guard<std::mutex> lock(configuring);
            configured = m_client.set_params(params);
        }
        if (configured != vexil::Result::success || m_client.connect() != vexil::Result::success) {
            throw std::runtime_error("Cannot connect to " + address + ": " + m_client.get_error_message());
        }
    }
    ~ClientRun() { m_client.disconnect(); }
    ClientRun(const ClientRun&) = delete;
    ClientRun& operator=(const ClientRun&) = delete;

    /// Passes the source's reads, singly when `list_size` is 0 and otherwise in lists of that many,
    /// and returns once every one has come back. Returns the seconds since the first of them was
    /// queued: in a continuing stream, building the first reads' messages overlaps the traffic of
    /// the reads before them.
    double run(const ReadSource& source, std::size_t list_size) {
        const auto deadline = Clock::now() + RUN_LIMIT;
        m_first_queued.reset();
        ReadList pending;
        while (true) {
            if (pending.empty()) {
                source(list_size == 0 ? 1 : list_size, pending);
                if (pending.empty()) {
                    break;
                }
            }
            if (list_size == 0) {
                pass(pending.front(), deadline);
                pending.clear();
            } else {
                pass_list(pending);
                collect();
                check_deadline(deadline);
            }
        }
        wait_for_all(deadline);
        return m_first_queued ? seconds_since(*m_first_queued) : 0.0;
    }

    /// The same, for reads made beforehand; they are taken from the list.
    double run(ReadList& reads, bool batched) {
        const std::size_t list_size =
                batched && !reads.empty()
                        ? reads_per_list(reads.front().get_datasets().at(dataset::raw_data).m_info.size)
                        : 0;
        std::size_t next = 0;
        return run(
                [&](std::size_t count, ReadList& out) {
                    for (; count > 0 && next < reads.size(); --count) {
                        out.push_back(std::move(reads[next++]));
                    }
                },
                list_size);
    }

    /// Passes one read, collecting called reads while the queue is full.
    void pass(vexil::Read& read, Clock::time_point deadline) {
        const std::uint64_t tag = read.get_read_tag();
        while (true) {
            const auto result = m_client.pass_read(read, m_pacing.wait_ms);
            check(result);
            if (result == vexil::PassReadResult::success) {
                accepted(tag);
            }
            collect();
            if (result == vexil::PassReadResult::success) {
                return;
            }
            check_deadline(deadline);
        }
    }

    void wait_for_all(Clock::time_point deadline) {
        while (!m_in_flight.empty()) {
            collect();
            check_deadline(deadline);
            if (!m_in_flight.empty()) {
                std::this_thread::sleep_for(m_pacing.idle_poll);
            }
        }
    }

    /// Called reads are dropped as they come, so the caller holds none of them.
    void collect() {
        if (m_client.num_completed_reads() == 0) {
            return;
        }
        m_done.clear();
        m_client.get_completed_reads(m_done);
        for (const auto& group : m_done) {
            for (const auto& read : group) {
                if (read.get_datasets().count(dataset::sequence) == 0) {
                    throw std::runtime_error("Read " + std::to_string(read.get_read_tag()) + " came back uncalled");
                }
            }
            // The server splits no read here, so a group is one read.
            if (group.size() != 1 || m_in_flight.erase(group.front().get_read_tag()) == 0) {
                throw std::runtime_error(
                        "A group of " + std::to_string(group.size()) + " reads tagged " +
                        (group.empty() ? std::string("-") : std::to_string(group.front().get_read_tag())) +
                        " came back that was not in flight");
            }
        }
    }

private:
    static void check(vexil::PassReadResult result) {
        if (result != vexil::PassReadResult::success && result != vexil::PassReadResult::queue_full) {
            throw std::runtime_error("The client refused reads: " + vexil::to_string(result));
        }
    }
    void check_deadline(Clock::time_point deadline) const {
        if (Clock::now() > deadline) {
            throw std::runtime_error("Run took too long: " + std::to_string(m_in_flight.size()) +
                                     " reads still in flight");
        }
    }
    void accepted(std::uint64_t tag) {
        if (!m_first_queued) {
            m_first_queued = Clock::now();
        }
        m_in_flight.insert(tag);
    }

    /// Passes a list; the reads not taken stay in it, in order, to go again.
    void pass_list(ReadList& reads) {
        m_tags.clear();
        for (const auto& read : reads) {
            m_tags.push_back(read.get_read_tag());
        }
        const auto result = m_client.pass_reads(reads, m_pacing.wait_ms);
        check(result);
        // A list is taken whole or not at all.
        if (result == vexil::PassReadResult::success) {
            for (const std::uint64_t tag : m_tags) {
                accepted(tag);
            }
        }
    }

    vexil::VexilClient m_client;
    const Pacing m_pacing;
    std::unordered_set<std::uint64_t> m_in_flight;
    std::vector<std::uint64_t> m_tags;
    std::vector<ReadList> m_done;
    std::optional<Clock::time_point> m_first_queued;
};

/// The option that has a benchmark's server answer a pull whose read is still being called with
/// NONE_PENDING at once, instead of holding it until the read is called.
inline const std::string NO_HELD_PULLS = "--no-held-pulls";

/// The reference server program started with a request log, which it keeps for the pulls it
/// counts once stopped.
class LoggedServer {
public:
    LoggedServer(const std::string& program, const std::string& folder, const std::string& name,
                 std::vector<std::string> options)
        : address("ipc://" + folder + "/" + name + ".sock"), m_log_path(folder + "/" + name + "_requests.log") {
        std::filesystem::remove(m_log_path);
        options.insert(options.end(), {"--request-log", m_log_path});
        m_server = std::make_unique<ServerProcess>(program, address, options);
    }

    /// Stops the server and counts the GET_FIRST_CALLED_BLOCK requests it received.
    std::size_t stop_and_count_pulls() {
        m_server.reset();
        std::ifstream log(m_log_path);
        std::size_t pulls = 0;
        for (std::string line; std::getline(log, line);) {
            pulls += line.find(" GET_FIRST_CALLED_BLOCK ") != std::string::npos ? 1 : 0;
        }
        return pulls;
    }

    const std::string address;

private:
    std::string m_log_path;
    std::unique_ptr<ServerProcess> m_server;
};

/// Runs `body(i)` on `count` threads at once and rethrows the text of the first exception.
inline void on_threads(std::size_t count, const std::function<void(std::size_t)>& body) {
    std::mutex mutex;
    std::string failure;
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            try {
                body(i);
            } catch (const std::exception& error) {
                const std::lock_guard<std::mutex> lock(mutex);
                failure = error.what();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (!failure.empty()) {
        throw std::runtime_error(failure);
    }
}

/// What clients cost while their reads wait on the server.
struct WaitingFigures {
    double seconds = 0.0;     // from the first read passed to the last one back
    std::size_t pulls = 0;    // GET_FIRST_CALLED_BLOCK requests the server received
    double client_cpu = 0.0;  // this process's CPU seconds over the same time
    double pulls_per_second() const { return static_cast<double>(pulls) / seconds; }
    double core_share() const { return client_cpu / seconds; }
};

/// Each of `clients` clients passes two reads of 40,000 samples to a server `program` that calls
/// them on one thread and answers the first `none_pending` pulls NONE_PENDING, as a busy server
/// does; its pulls are held otherwise unless `held_pulls` is false. The callers look for their
/// reads every 10 ms, so that the CPU measured is the clients' own.
inline WaitingFigures measure_waiting(const std::string& program, const std::string& folder, std::size_t clients,
                                      bool held_pulls, std::size_t none_pending) {
    std::vector<std::string> options{
            "--calling-threads", "1", "--fault",
            "none_pending,request=GET_FIRST_CALLED_BLOCK,count=" + std::to_string(none_pending)};
    if (!held_pulls) {
        options.push_back(NO_HELD_PULLS);
    }
    LoggedServer server(program, folder, "waiting", options);
    const ReadFactory factory(40000, true);
    std::vector<std::unique_ptr<ClientRun>> runs;
    std::vector<ReadList> reads;
    for (std::size_t i = 0; i < clients; ++i) {
        runs.push_back(
                std::make_unique<ClientRun>(server.address, "waiting", Pacing{20, std::chrono::milliseconds(10)}));
        reads.push_back(factory.make_many(2));
    }
    WaitingFigures figures;
    const CpuTimes cpu_before = own_cpu_times();
    const auto start = Clock::now();
    on_threads(clients, [&](std::size_t i) { runs[i]->run(reads[i], false); });
    figures.seconds = seconds_since(start);
    figures.client_cpu = (own_cpu_times() - cpu_before).total();
    runs.clear();
    figures.pulls = server.stop_and_count_pulls();
    return figures;
}

/// Times from passing a read to having it back.
struct ReturnTimes {
    std::vector<double> milliseconds;
    double pulls_per_read = 0.0;
};

/// `clients` clients each pass `reads` reads one at a time to a server `program` started with
/// `options`, looking for each every 50 us: against a server that calls a read as soon as it
/// arrives, what the client adds to a read's return.
inline ReturnTimes measure_return_times(const std::string& program, const std::string& folder,
                                        const std::vector<std::string>& options, std::size_t clients, std::size_t reads,
                                        const ReadFactory& factory) {
    LoggedServer server(program, folder, "return_times", options);
    std::mutex mutex;
    ReturnTimes times;
    on_threads(clients, [&](std::size_t) {
        ClientRun client(server.address, "return_time", Pacing{20, std::chrono::microseconds(50)});
        std::vector<double> own;
        const auto deadline = Clock::now() + RUN_LIMIT;
        for (std::uint64_t tag = 1; tag <= reads; ++tag) {
            vexil::Read read = factory.make(tag);
            const auto start = Clock::now();
            client.pass(read, deadline);
            client.wait_for_all(deadline);
            own.push_back(1e3 * seconds_since(start));
        }
        const std::lock_guard<std::mutex> lock(mutex);
        times.milliseconds.insert(times.milliseconds.end(), own.begin(), own.end());
    });
    times.pulls_per_read = static_cast<double>(server.stop_and_count_pulls()) / static_cast<double>(clients * reads);
    return times;
}

/// The value below which `share` of `values` lie.
inline double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[index];
}

}  // namespace bench
