#include "python/vexil_client_py.h"

#include "python/conversions.h"
#include "python/option_types.h"
#include "python/read_conversions.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_set>

namespace vexil {

namespace {

constexpr long long MAX_CLIENTS = 100;
/// The holder of a tag whose read was kept from an earlier connection (keep_leftovers).
constexpr std::size_t KEPT = static_cast<std::size_t>(-1);

/// The value of a Python int of any size, clamped to `limit`; a negative value raises `negative`.
template <typename Error>
unsigned long long clamped_count(const py::int_& value, unsigned long long limit, const Error& negative) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && number < 0)) {
        throw negative;
    }
    if (overflow > 0 || static_cast<unsigned long long>(number) > limit) {
        return limit;
    }
    return static_cast<unsigned long long>(number);
}

unsigned int wait_ms_of(const py::int_& value) {
    return static_cast<unsigned int>(
            clamped_count(value, UINT32_MAX, py::value_error("wait_duration_ms. Must be greater than or equal to zero.")));
}

/// Where a parameter goes and as which type.
std::optional<tessellpy::OptionType> option_type_of(const std::string& key) {
    static const std::map<std::string, tessellpy::OptionType> connection_options = [] {
        const auto ordered = tessellpy::connection_option_types();
        return std::map<std::string, tessellpy::OptionType>(ordered.begin(), ordered.end());
    }();
    const auto& client_options = tessellpy::client_option_types();
    if (const auto found = connection_options.find(key); found != connection_options.end()) {
        return found->second;
    }
    if (const auto found = client_options.find(key); found != client_options.end()) {
        return found->second;
    }
    return std::nullopt;
}

}  // namespace

VexilClientPy::VexilClientPy(const std::string& address, const std::string& config, const py::int_& num_threads)
    : m_address(address), m_config(config) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(num_threads.ptr(), &overflow);
    if (overflow != 0 || count < 1 || count > MAX_CLIENTS) {
        throw std::runtime_error("Invalid number of worker threads specified.");
    }
    m_clients.reserve(static_cast<std::size_t>(count));
    for (long long i = 0; i < count; ++i) {
        m_clients.push_back(std::make_unique<VexilClient>(address, config, "", true));
    }
}

VexilClientPy::~VexilClientPy() {
    // Destroying a connected client joins its worker; other Python threads run meanwhile.
    std::optional<py::gil_scoped_release> release;
    if (PyGILState_Check() != 0) {
        release.emplace();
    }
    // Work its callers left behind uses the clients: it is ended and waited for first. A connect
    // still under way stops at its next client, and disconnecting ends the one it is in.
    ++m_stop_generation;
    bool work_left = false;
    {
        const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
        forget_finished_work();
        work_left = !m_lifecycle_work.empty();
    }
    if (work_left) {
        for (const auto& client : m_clients) {
            client->disconnect();
        }
    }
    m_lifecycle_work.clear();
    while (!m_clients.empty()) {
        m_clients.pop_back();
    }
}

Result VexilClientPy::set_params(const py::dict& params) {
    {
        // Work under way (or left by an interrupt) means the clients are, or are about to be, connected.
        const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
        forget_finished_work();
        if (!m_lifecycle_work.empty()) {
            return Result::already_connected;
        }
    }
    for (const auto& client : m_clients) {
        if (client->get_status() != ConnectionStatus::disconnected) {
            return Result::already_connected;
        }
    }
    bass::data_wrappers::Metadata settings;
    std::optional<Read::Priority> priority;
    try {
        for (const auto& [key_object, value] : params) {
            const auto name = py::isinstance<py::str>(key_object) ? tessellpy::utf8_of(key_object) : std::nullopt;
            if (!name) {
                throw py::cast_error("parameter names are str in UTF-8, got " + tessellpy::describe(key_object));
            }
            const std::string& key = *name;
            if (key == "priority") {
                if (!py::isinstance<Read::Priority>(value)) {
                    throw py::cast_error("'priority' takes a read_priority, got " + tessellpy::describe(value));
                }
                priority = value.cast<Read::Priority>();
                continue;
            }
            const auto type = option_type_of(key);
            if (!type) {
                throw py::cast_error("unknown parameter '" + key + "'");
            }
            tessellpy::set_metadata_from_python(settings, key, value, *type);
        }
    } catch (const std::exception& error) {
        // Nothing has reached a client yet.
        tessellpy::log_warning(std::string("set_params refused: ") + error.what());
        return Result::failed;
    }
    Result result = Result::success;
    const auto keep_first_failure = [&result](Result outcome) {
        if (result == Result::success) {
            result = outcome;
        }
    };
    for (const auto& client : m_clients) {
        if (priority) {
            keep_first_failure(client->set_priority(*priority));
        }
        if (!settings.empty()) {
            keep_first_failure(client->set_params(settings));
        }
    }
    if (result == Result::success && settings.exists("pass_read_timeout")) {
        m_pass_read_timeout_ms.store(settings.get_value<uint32_t>("pass_read_timeout"));
    }
    return result;
}

ConnectionStatus VexilClientPy::get_status() const { return m_clients.front()->get_status(); }

std::string VexilClientPy::get_error_message() const {
    std::string text;
    const auto add = [&text](const std::string& message) {
        if (message.empty()) {
            return;
        }
        if (!text.empty()) {
            text += "\n";
        }
        text += message;
    };
    for (const auto& client : m_clients) {
        add(client->get_error_message());
    }
    const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
    add(m_connect_error);
    return text;
}

std::string VexilClientPy::get_internal_state() const {
    // The library's own report covers the process's most recent client, maybe another object's:
    // this one is built from what each of our clients tells.
    std::vector<std::size_t> in_flight(m_clients.size(), 0);
    {
        const std::lock_guard<std::mutex> lock(m_reads_mutex);
        for (const auto& [tag, holder] : m_tags_in_flight) {
            if (holder < in_flight.size()) {
                ++in_flight[holder];
            }
        }
    }
    const auto dumps = py::module_::import("json").attr("dumps");
    std::string text;
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        VexilClient& client = *m_clients[i];
        py::dict state;
        state["client"] = i;
        state["address"] = m_address;
        state["config"] = m_config;
        state["status"] = to_string(client.get_status());
        state["error_message"] = client.get_error_message();
        state["reads_in_flight"] = in_flight[i];
        state["completed_reads_waiting"] = client.num_completed_reads();
        ConnectedServerInfo server;
        if (client.get_connected_server_info(server) == Result::success) {
            py::dict connected;
            connected["client_uid"] = server.client_uid;
            connected["server_version"] = server.server_version;
            connected["minimap_version"] = server.minimap_version;
            state["connected_server"] = connected;
        }
        py::dict report;
        report["VexilClient"] = state;
        if (!text.empty()) {
            text += "\n";
        }
        text += py::str(dumps(report)).cast<std::string>();
    }
    return text;
}

void VexilClientPy::forget_finished_work() {
    m_lifecycle_work.erase(std::remove_if(m_lifecycle_work.begin(), m_lifecycle_work.end(),
                                          [](const LifecycleCall& work) { return work.call->finished(); }),
                           m_lifecycle_work.end());
}

std::pair<std::shared_ptr<tessellpy::BackgroundCall>, std::uint64_t> VexilClientPy::start_when_idle(
        std::function<void(std::uint64_t)> work) {
    for (;;) {
        tessellpy::BackgroundCalls running;
        {
            const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
            forget_finished_work();
            if (m_lifecycle_work.empty()) {
                const std::uint64_t generation = m_stop_generation.load();
                auto call = std::make_shared<tessellpy::BackgroundCall>(
                        [work = std::move(work), generation] { work(generation); });
                m_lifecycle_work.push_back({call, true});
                return {call, generation};
            }
            for (const auto& earlier : m_lifecycle_work) {
                running.push_back(earlier.call);
            }
        }
        // Interrupted here, nothing of this call has started.
        tessellpy::wait_for_calls(running);
    }
}

void VexilClientPy::stop_in_background(std::uint64_t generation, std::function<void(std::size_t)> cleanup) {
    // One critical section with finish_all's look at the stop: the client it names is the one that
    // will not be finished within a second by itself.
    const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
    m_stop_generation.compare_exchange_strong(generation, generation + 1);
    const std::size_t finishing = m_finishing_client;
    m_lifecycle_work.push_back(
            {std::make_shared<tessellpy::BackgroundCall>([cleanup = std::move(cleanup), finishing] { cleanup(finishing); }),
             true});
}

Result VexilClientPy::connect() {
    auto outcome = std::make_shared<Result>(Result::failed);
    const auto [call, generation] = start_when_idle(
            [this, outcome](std::uint64_t started) { *outcome = connect_all(started); });
    bool finished = false;
    try {
        finished = tessellpy::wait_for_calls({call}, [this, generation = generation] {
            return stopped_since(generation);
        });
    } catch (const py::error_already_set&) {
        // Interrupted: the connection is ended in the background; connect, finish and disconnect
        // wait for that.
        stop_in_background(generation, [this](std::size_t) {
            for (const auto& client : m_clients) {
                client->disconnect();
            }
        });
        throw;
    }
    if (!finished) {
        return Result::failed;  // disconnect() from another thread ended it
    }
    call->rethrow_failure();
    return *outcome;
}

Result VexilClientPy::connect_all(std::uint64_t generation) {
    {
        const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
        m_connect_error.clear();
    }
    Result result = Result::success;
    std::size_t failed = 0;
    for (; failed < m_clients.size() && !stopped_since(generation); ++failed) {
        VexilClient& client = *m_clients[failed];
        if (client.get_status() == ConnectionStatus::disconnected) {
            keep_leftovers(failed);
        }
        result = client.connect();
        if (result != Result::success) {
            break;
        }
    }
    if (stopped_since(generation)) {
        // A client may have connected after the stop reached the others.
        for (const auto& client : m_clients) {
            client->disconnect();
        }
        return Result::failed;
    }
    if (result != Result::success && failed > 0) {
        // Every client goes back to disconnected, so that status, set_params and disconnect agree;
        // the cause stays readable through get_error_message.
        const std::string cause = m_clients[failed]->get_error_message();
        for (std::size_t i = 0; i < failed; ++i) {
            m_clients[i]->disconnect();
        }
        if (m_clients[failed]->get_status() == ConnectionStatus::error) {
            m_clients[failed]->disconnect();
        }
        const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
        m_connect_error = "Client " + std::to_string(failed) + " of " + std::to_string(m_clients.size()) +
                          " failed to connect (" + to_string(result) + ")" + (cause.empty() ? "" : ": " + cause) +
                          "; every client was disconnected.";
    }
    return result;
}

bool VexilClientPy::reserve_tags(const std::vector<std::uint64_t>& tags, std::size_t index, std::string& reason) {
    const std::lock_guard<std::mutex> lock(m_reads_mutex);
    // A single read cannot repeat a tag: pass_read needs no set.
    std::unordered_set<std::uint64_t> seen;
    for (const auto tag : tags) {
        if (m_tags_in_flight.count(tag) != 0) {
            reason = "read tag " + std::to_string(tag) + " is already in flight";
            return false;
        }
        if (tags.size() > 1 && !seen.insert(tag).second) {
            reason = "read tag " + std::to_string(tag) + " is repeated in the list";
            return false;
        }
    }
    for (const auto tag : tags) {
        m_tags_in_flight.emplace(tag, index);
    }
    return true;
}

void VexilClientPy::release_tags(const std::vector<std::uint64_t>& tags) {
    const std::lock_guard<std::mutex> lock(m_reads_mutex);
    for (const auto tag : tags) {
        m_tags_in_flight.erase(tag);
    }
}

void VexilClientPy::keep_leftovers(std::size_t index) {
    // Connecting replaces the library client's last connection with everything it still holds.
    Groups leftovers;
    m_clients[index]->get_completed_reads(leftovers);
    std::unordered_set<std::uint64_t> kept;
    for (const auto& group : leftovers) {
        for (const auto& read : group) {
            if (read.get_sub_tag() == 0) {
                kept.insert(read.get_read_tag());
            }
        }
    }
    const std::lock_guard<std::mutex> lock(m_reads_mutex);
    for (auto entry = m_tags_in_flight.begin(); entry != m_tags_in_flight.end();) {
        if (entry->second != index) {
            ++entry;
        } else if (kept.count(entry->first) != 0) {
            entry->second = KEPT;
            ++entry;
        } else {
            entry = m_tags_in_flight.erase(entry);
        }
    }
    std::move(leftovers.begin(), leftovers.end(), std::back_inserter(m_kept_reads));
}

PassReadResult VexilClientPy::pass_in_slices(unsigned int wait_ms,
                                             const std::function<PassReadResult(unsigned int)>& call) {
    using Clock = std::chrono::steady_clock;
    const unsigned int total = wait_ms != 0 ? wait_ms : m_pass_read_timeout_ms.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(total);
    py::gil_scoped_release release;
    for (;;) {
        // A slice is never 0 unless the whole wait is: the library would wait its own setting, in
        // one piece, which is then 0 as well.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const auto slice = total == 0 ? 0U
                                      : static_cast<unsigned int>(
                                                std::clamp<long long>(left, 1, tessellpy::SIGNAL_SLICE.count()));
        const PassReadResult result = call(slice);
        if (result != PassReadResult::queue_full || Clock::now() >= deadline) {
            return result;
        }
        tessellpy::check_signals();
    }
}

std::optional<PassReadResult> VexilClientPy::pass_to_next_client(
        const std::vector<std::uint64_t>& tags, unsigned int wait_ms, const char* refusal,
        const std::function<PassReadResult(VexilClient&, unsigned int)>& pass) {
    const std::size_t index = m_next_client;
    std::string reason;
    if (!reserve_tags(tags, index, reason)) {
        tessellpy::log_warning(std::string(refusal) + reason);
        return std::nullopt;
    }
    m_next_client = (m_next_client + 1) % m_clients.size();
    VexilClient& client = *m_clients[index];
    try {
        return pass_in_slices(wait_ms, [&](unsigned int slice) { return pass(client, slice); });
    } catch (...) {
        release_tags(tags);  // interrupted between two slices: nothing was passed
        throw;
    }
}

PassReadResult VexilClientPy::pass_read(const py::dict& read_dict, const py::int_& wait_duration_ms) {
    Read read;
    std::string reason;
    if (!tessellpy::dict_to_readholder(read_dict, read, reason)) {
        tessellpy::log_warning("pass_read refused the read: " + reason);
        return PassReadResult::bad_read;
    }
    const unsigned int wait_ms = wait_ms_of(wait_duration_ms);
    const std::vector<std::uint64_t> tags = {read.get_read_tag()};
    const auto result = pass_to_next_client(tags, wait_ms, "pass_read refused the read: ",
                                            [&](VexilClient& client, unsigned int slice) {
                                                return client.pass_read(read, slice);
                                            });
    if (!result) {
        return PassReadResult::bad_read;
    }
    if (*result != PassReadResult::success) {
        release_tags(tags);
    }
    return *result;
}

PassReadResult VexilClientPy::pass_reads(const py::list& read_dicts, const py::int_& wait_duration_ms) {
    std::vector<Read> reads;
    reads.reserve(read_dicts.size());
    std::vector<std::uint64_t> tags;
    tags.reserve(read_dicts.size());
    std::string reason;
    for (const py::handle item : read_dicts) {
        const py::dict read_dict = py::isinstance<py::dict>(item) ? py::reinterpret_borrow<py::dict>(item)
                                                                  : py::dict(py::reinterpret_borrow<py::object>(item));
        reads.emplace_back();
        if (!tessellpy::dict_to_readholder(read_dict, reads.back(), reason)) {
            tessellpy::log_warning("pass_reads refused the list: read " + std::to_string(reads.size() - 1) + ": " +
                                   reason);
            return PassReadResult::bad_read;
        }
        tags.push_back(reads.back().get_read_tag());
    }
    const unsigned int wait_ms = wait_ms_of(wait_duration_ms);
    const auto result = pass_to_next_client(tags, wait_ms, "pass_reads refused the list: ",
                                            [&](VexilClient& client, unsigned int slice) {
                                                return client.pass_reads(reads, slice);
                                            });
    if (!result) {
        return PassReadResult::bad_read;
    }
    // The library takes a list whole or not at all; should it ever take part of one, the tags of
    // the reads it took stay in flight, so that passing the list again cannot pass them twice.
    tags.clear();
    for (const auto& read : reads) {
        tags.push_back(read.get_read_tag());
    }
    release_tags(tags);
    return *result;
}

py::list VexilClientPy::get_completed_reads() {
    Groups groups;
    {
        py::gil_scoped_release release;
        {
            const std::lock_guard<std::mutex> lock(m_reads_mutex);
            groups = std::move(m_kept_reads);
            m_kept_reads.clear();
        }
        for (const auto& client : m_clients) {
            client->get_completed_reads(groups);
        }
        const std::lock_guard<std::mutex> lock(m_reads_mutex);
        for (const auto& group : groups) {
            for (const auto& read : group) {
                if (read.get_sub_tag() == 0) {
                    m_tags_in_flight.erase(read.get_read_tag());
                }
            }
        }
    }
    return tessellpy::completed_reads_to_list(std::move(groups));
}

Result VexilClientPy::finish(const py::int_& timeout) {
    const unsigned long long timeout_s =
            clamped_count(timeout, ULLONG_MAX, std::runtime_error("Negative timeout specified for finish() method."));
    auto outcome = std::make_shared<Result>(Result::failed);
    const auto [call, generation] = start_when_idle(
            [this, outcome, timeout_s](std::uint64_t started) { *outcome = finish_all(timeout_s, started); });
    bool finished = false;
    try {
        finished = tessellpy::wait_for_calls({call}, [this, generation = generation] {
            return stopped_since(generation);
        });
    } catch (const py::error_already_set&) {
        // Interrupted: the client being finished is disconnected, which ends its wait and gives its
        // reads back uncalled; the ones after it finish at once (finish_all sees the stop).
        stop_in_background(generation, [this](std::size_t finishing) { m_clients[finishing]->disconnect(); });
        throw;
    }
    if (!finished) {
        return Result::failed;  // disconnect() from another thread ended the connection
    }
    call->rethrow_failure();
    return *outcome;
}

Result VexilClientPy::finish_all(unsigned long long timeout_s, std::uint64_t generation) {
    Result combined = Result::success;
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        bool stopped = false;
        {
            const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
            stopped = stopped_since(generation);
            m_finishing_client = i;
        }
        // After a stop the rest are finished within a second rather than disconnected, which
        // would drop the reads they hold.
        const Result result = m_clients[i]->finish(stopped ? 1 : timeout_s);
        if (i == 0 || result != Result::success) {
            combined = result;
        }
    }
    return combined;
}

Result VexilClientPy::disconnect() {
    auto results = std::make_shared<std::vector<Result>>(m_clients.size(), Result::no_connection);
    std::shared_ptr<tessellpy::BackgroundCall> call;
    tessellpy::BackgroundCalls waiting;
    bool ended_work = false;
    {
        const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
        forget_finished_work();
        ++m_stop_generation;
        m_connect_error.clear();
        // Runs beside a connect or finish under way: the library's disconnect is what ends them.
        call = std::make_shared<tessellpy::BackgroundCall>([this, results] {
            for (std::size_t i = 0; i < m_clients.size(); ++i) {
                (*results)[i] = m_clients[i]->disconnect();
            }
        });
        for (const auto& work : m_lifecycle_work) {
            ended_work = ended_work || work.holds_connection;
            waiting.push_back(work.call);
        }
        m_lifecycle_work.push_back({call, false});
        waiting.push_back(call);
    }
    // Returns once every client is disconnected; interrupted, the rest goes on in the background.
    tessellpy::wait_for_calls(waiting);
    call->rethrow_failure();
    const bool ended_connection =
            std::any_of(results->begin(), results->end(), [](Result result) { return result == Result::success; });
    return ended_work || ended_connection ? Result::success : Result::no_connection;
}

py::tuple VexilClientPy::get_basecalling_config() {
    bass::data_wrappers::Metadata config;
    Result result = Result::success;
    {
        py::gil_scoped_release release;
        result = m_clients.front()->get_basecalling_config(config);
    }
    const py::dict details = result == Result::success ? tessellpy::metadata_to_dict(config) : py::dict();
    return py::make_tuple(details, result);
}

py::tuple VexilClientPy::get_alignment_sam_header() {
    std::string header;
    Result result = Result::success;
    {
        py::gil_scoped_release release;
        result = m_clients.front()->get_alignment_sam_header(header);
    }
    return py::make_tuple(py::str(header), result);
}

std::string VexilClientPy::repr() const {
    std::string text;
    for (const auto& client : m_clients) {
        if (!text.empty()) {
            text += "\n";
        }
        const ConnectionStatus status = client->get_status();
        text += "VexilClient(status=" + to_string(status);
        if (status == ConnectionStatus::error) {
            text += ", " + client->get_error_message();
        }
        text += ")";
    }
    return text;
}

}  // namespace vexil
