#include "python/vexil_client_py.h"

#include "python/conversions.h"
#include "python/interpreter_exit.h"
#include "python/option_types.h"
#include "python/read_conversions.h"

#include <gsl/gsl>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>

namespace vexil {

namespace {

constexpr long long MAX_CLIENTS = 100;

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
    return static_cast<unsigned int>(clamped_count(
            value, UINT32_MAX, py::value_error("wait_duration_ms. Must be greater than or equal to zero.")));
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
    : m_owner_pid(getpid()), m_address(address), m_config(config) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(num_threads.ptr(), &overflow);
    if (overflow != 0 || count < 1 || count > MAX_CLIENTS) {
        throw std::runtime_error("Invalid number of worker threads specified.");
    }
    m_clients.reserve(static_cast<std::size_t>(count));
    for (long long i = 0; i < count; ++i) {
        // Refusals are explained once, on the tessellpy logger, not printed by the library as well.
        m_clients.push_back(std::make_unique<VexilClient>(address, config, "", false));
    }
}

VexilClientPy::~VexilClientPy() {
    if (forked()) {
        // The parent's clients, threads and sockets: let go without a goodbye, a join or a close.
        for (auto& client : m_clients) {
            static_cast<void>(client.release());
        }
        for (auto& work : m_lifecycle_work) {
            tessellpy::let_go_inherited(std::move(work.call));
        }
        return;
    }
    end_all_clients();
}

bool VexilClientPy::forked() const { return getpid() != m_owner_pid; }

void VexilClientPy::refuse_if_forked() const {
    if (forked()) {
        throw std::runtime_error("This VexilClient was made in process " + std::to_string(m_owner_pid) +
                                 " and cannot be used in its forked child " + std::to_string(getpid()) +
                                 ": its connection belongs to the parent. Make a new VexilClient in the child.");
    }
}

void VexilClientPy::end_all_clients() {
    // Work its callers left behind uses the clients: a connect still under way stops at its next
    // client, and disconnecting ends the one it is in and any finish. All clients at once, so that a
    // server that stopped answering costs one client's time-out, not one per client.
    ++m_stop_generation;
    if (!m_clients.empty()) {
        disconnect_all();
    }
    m_lifecycle_work.clear();
    while (!m_clients.empty()) {
        m_clients.pop_back();
    }
}

void VexilClientPyDeleter::operator()(VexilClientPy* client) const {
    // pybind11 deallocates with the interpreter lock held.
    if (!tessellpy::may_end_when_deallocated(*client)) {
        return;  // let go as it is: its clients still end in the background, which uses it
    }
    std::shared_ptr<VexilClientPy> owned(client);
    if (client->forked()) {
        return;  // the destructor touches nothing there
    }
    const auto exit_wait = client->exit_wait();
    std::string ending = client->ending_text();
    std::shared_ptr<tessellpy::BackgroundCall> teardown;
    try {
        teardown = std::make_shared<tessellpy::BackgroundCall>([owned]() mutable {
            owned->end_all_clients();
            owned.reset();
        });
    } catch (const std::exception&) {
        // No thread to spare: the clients end here, other Python threads running meanwhile.
        const tessellpy::ReleasedGil released;
        owned.reset();
        return;
    }
    owned.reset();
    try {
        tessellpy::wait_for_calls({teardown});
    } catch (py::error_already_set& error) {
        // A deallocation cannot raise: the rest goes on in the background, and what the signal
        // handler raised (KeyboardInterrupt, SystemExit from sys.exit, the program's own) is raised
        // again just after, at the interpreter's next look at pending work.
        tessellpy::finish_at_exit({std::move(teardown), exit_wait, std::move(ending)});
        tessellpy::raise_later(error, "VexilClient deallocation");
    }
}

std::string VexilClientPy::ending_text() const {
    return "the goodbye of VexilClient clients to " + m_address + " (query_timeout " +
           std::to_string(m_query_timeout_ms.load()) + " ms)";
}

Result VexilClientPy::set_params(const py::dict& params) {
    refuse_if_forked();
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
    if (result == Result::success && settings.exists("query_timeout")) {
        m_query_timeout_ms.store(settings.get_value<uint32_t>("query_timeout"));
    }
    return result;
}

ConnectionStatus VexilClientPy::get_status() const {
    refuse_if_forked();
    // The worst of the clients' statuses: the error state, then disconnected, then the stages of a
    // connection in their order; connected only when every client is. While a connect is under way,
    // the clients it has not reached yet are left out: the status shows the attempt.
    const bool connecting = m_connecting.load();
    const auto rank = [](ConnectionStatus status) {
        return status == ConnectionStatus::error ? -1 : static_cast<int>(status);
    };
    std::optional<ConnectionStatus> worst;
    for (const auto& client : m_clients) {
        const ConnectionStatus status = client->get_status();
        if (connecting && status == ConnectionStatus::disconnected) {
            continue;
        }
        if (!worst || rank(status) < rank(*worst)) {
            worst = status;
        }
    }
    return worst.value_or(connecting ? ConnectionStatus::preparing_connection : ConnectionStatus::disconnected);
}

std::string VexilClientPy::get_error_message() const {
    refuse_if_forked();
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
    refuse_if_forked();
    // The process's report shows its most recent client only, maybe another object's: this one
    // gathers each of our clients' own reports, with what the module knows of them.
    const std::vector<std::size_t> in_flight = m_ledger.held_per_client(m_clients.size());
    const auto json = py::module_::import("json");
    const auto dumps = json.attr("dumps");
    const auto loads = json.attr("loads");
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
        // Its settings as it holds them, and its connection's read counts.
        state["library_client"] = loads(client.get_client_state())["VexilClient"];
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
                m_ended_in_background = false;
                const std::uint64_t generation = m_stop_generation.load();
                return {add_work([work = std::move(work), generation] { work(generation); }, true), generation};
            }
            for (const auto& earlier : m_lifecycle_work) {
                running.push_back(earlier.call);
            }
        }
        // Interrupted here, nothing of this call has started.
        tessellpy::wait_for_calls(running);
    }
}

std::shared_ptr<tessellpy::BackgroundCall> VexilClientPy::add_work(std::function<void()> work, bool holds_connection) {
    auto call = std::make_shared<tessellpy::BackgroundCall>(std::move(work));
    m_lifecycle_work.push_back({call, holds_connection});
    return call;
}

void VexilClientPy::stop_in_background(std::uint64_t generation, std::function<void()> cleanup) {
    const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
    m_stop_generation.compare_exchange_strong(generation, generation + 1);
    m_ended_in_background = true;
    add_work(std::move(cleanup), true);
}

Result VexilClientPy::on_every_client(const std::function<Result(VexilClient&)>& call) {
    std::vector<Result> results(m_clients.size(), Result::success);
    tessellpy::run_side_by_side(m_clients.size(), [&](std::size_t i) { results[i] = call(*m_clients[i]); });
    Result combined = results.front();
    for (const Result result : results) {
        if (result != Result::success) {
            combined = result;
        }
    }
    return combined;
}

Result VexilClientPy::disconnect_all() {
    return on_every_client([](VexilClient& client) { return client.disconnect(); });
}

Result VexilClientPy::connect() {
    refuse_if_forked();
    tessellpy::end_at_exit(*this);
    return run_holding_connection([this](std::uint64_t started) { return connect_all(started); });
}

Result VexilClientPy::run_holding_connection(std::function<Result(std::uint64_t)> work) {
    auto outcome = std::make_shared<Result>(Result::failed);
    const auto [call, generation] =
            start_when_idle([outcome, work = std::move(work)](std::uint64_t started) { *outcome = work(started); });
    bool finished = false;
    try {
        finished = tessellpy::wait_for_calls({call},
                                             [this, generation = generation] { return stopped_since(generation); });
    } catch (const py::error_already_set&) {
        // Interrupted: the connection is ended in the background, which ends a finish's waits and
        // gives its reads back uncalled (one whose finish has not begun yet takes a second at most,
        // finish_all); connect, finish and disconnect wait for that.
        stop_in_background(generation, [this] { disconnect_all(); });
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
    // Clients that are up stay up; those in the error state are disconnected and connected again
    // with the ones that are down, so that one failed client does not leave the object half
    // connected for good.
    Result result = Result::success;
    std::size_t failed = 0;
    bool brought_up = false;
    m_connecting.store(true);
    const auto connected_or_not = gsl::finally([this] { m_connecting.store(false); });
    for (; failed < m_clients.size() && !stopped_since(generation); ++failed) {
        VexilClient& client = *m_clients[failed];
        ConnectionStatus status = client.get_status();
        if (status == ConnectionStatus::error) {
            client.disconnect();
            status = client.get_status();
        }
        if (status != ConnectionStatus::disconnected) {
            continue;
        }
        keep_leftovers(failed);
        result = client.connect();
        if (result != Result::success) {
            break;
        }
        brought_up = true;
    }
    if (stopped_since(generation)) {
        // A client may have connected after the stop reached the others.
        disconnect_all();
        return Result::failed;
    }
    if (result == Result::success) {
        if (!brought_up) {
            return Result::already_connected;
        }
        return result;
    }
    if (failed == 0) {
        return result;  // nothing else is up: the first client shows the error state and its cause
    }
    // Every client goes back to disconnected, so that status, set_params and disconnect agree; the
    // cause stays readable through get_error_message.
    const std::string cause = m_clients[failed]->get_error_message();
    disconnect_all();
    const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
    m_connect_error = "Client " + std::to_string(failed) + " of " + std::to_string(m_clients.size()) +
                      " failed to connect (" + to_string(result) + ")" + (cause.empty() ? "" : ": " + cause) +
                      "; every client was disconnected.";
    return result;
}

void VexilClientPy::keep_leftovers(std::size_t index) {
    // Connecting replaces the library client's last connection with everything it still holds.
    Groups leftovers;
    m_clients[index]->get_completed_reads(leftovers);
    m_ledger.keep_leftovers(index, std::move(leftovers));
}

PassReadResult VexilClientPy::pass_in_slices(unsigned int wait_ms,
                                             const std::function<PassReadResult(unsigned int)>& call) {
    using Clock = std::chrono::steady_clock;
    const unsigned int total = wait_ms != 0 ? wait_ms : m_pass_read_timeout_ms.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(total);
    const tessellpy::ReleasedGil released;
    for (;;) {
        // A slice is never 0 unless the whole wait is: the library would wait its own setting, in
        // one piece, which is then 0 as well.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const auto slice =
                total == 0 ? 0U
                           : static_cast<unsigned int>(std::clamp<long long>(left, 1, tessellpy::SIGNAL_SLICE.count()));
        const PassReadResult result = call(slice);
        if (result != PassReadResult::queue_full || Clock::now() >= deadline) {
            return result;
        }
        tessellpy::check_signals();
    }
}

std::optional<PassReadResult> VexilClientPy::pass_to_next_client(
        const std::vector<std::uint64_t>& tags, unsigned int wait_ms, const char* refusal,
        const std::function<PassReadResult(VexilClient&, unsigned int)>& pass,
        const std::function<std::string(const VexilClient&)>& explain) {
    const std::size_t index = m_next_client;
    std::string reason;
    const auto pass_id = m_ledger.reserve(tags, index, reason);
    if (!pass_id) {
        tessellpy::log_warning(refusal + reason);
        return std::nullopt;
    }
    m_next_client = (m_next_client + 1) % m_clients.size();
    VexilClient& client = *m_clients[index];
    // The library takes a read, or a list, whole or not at all.
    const auto settle = [&](PassReadResult result) {
        m_ledger.settle(tags, *pass_id, result == PassReadResult::success);
    };
    PassReadResult result = PassReadResult::bad_read;
    try {
        result = pass_in_slices(wait_ms, [&](unsigned int slice) { return pass(client, slice); });
    } catch (...) {
        settle(PassReadResult::queue_full);  // interrupted between two slices
        throw;
    }
    settle(result);
    if (result == PassReadResult::bad_read) {
        tessellpy::log_warning(refusal + explain(client));
    }
    return result;
}

namespace {

std::string library_refusal(const VexilClient& client, const Read& read) {
    std::string message;
    return client.validate_read(read, message) ? std::string("the library refused it") : message;
}

// A refused list comes back whole, in its order: the first read the library refuses.
std::string library_refusal(const VexilClient& client, const std::vector<Read>& reads) {
    for (std::size_t i = 0; i < reads.size(); ++i) {
        std::string message;
        if (!client.validate_read(reads[i], message)) {
            return "read " + std::to_string(i) + ": " + message;
        }
    }
    return "the library refused it";
}

}  // namespace

PassReadResult VexilClientPy::pass_read(const py::dict& read_dict, const py::int_& wait_duration_ms) {
    refuse_if_forked();
    Read read;
    std::string reason;
    if (!tessellpy::dict_to_readholder(read_dict, read, reason)) {
        tessellpy::log_warning("pass_read refused the read: " + reason);
        return PassReadResult::bad_read;
    }
    const unsigned int wait_ms = wait_ms_of(wait_duration_ms);
    const auto result = pass_to_next_client(
            {read.get_read_tag()}, wait_ms, "pass_read refused the read: ",
            [&](VexilClient& client, unsigned int slice) { return client.pass_read(read, slice); },
            [&](const VexilClient& client) { return library_refusal(client, read); });
    return result.value_or(PassReadResult::bad_read);
}

PassReadResult VexilClientPy::pass_reads(const py::list& read_dicts, const py::int_& wait_duration_ms) {
    refuse_if_forked();
    std::vector<Read> reads;
    std::string reason;
    if (!tessellpy::read_list_to_readholders(read_dicts, reads, reason)) {
        tessellpy::log_warning("pass_reads refused the list: " + reason);
        return PassReadResult::bad_read;
    }
    std::vector<std::uint64_t> tags;
    tags.reserve(reads.size());
    for (const auto& read : reads) {
        tags.push_back(read.get_read_tag());
    }
    const unsigned int wait_ms = wait_ms_of(wait_duration_ms);
    const auto result = pass_to_next_client(
            tags, wait_ms, "pass_reads refused the list: ",
            [&](VexilClient& client, unsigned int slice) { return client.pass_reads(reads, slice); },
            [&](const VexilClient& client) { return library_refusal(client, reads); });
    return result.value_or(PassReadResult::bad_read);
}

py::list VexilClientPy::get_completed_reads() {
    refuse_if_forked();
    Groups groups;
    {
        const tessellpy::ReleasedGil released;
        groups = m_ledger.take_kept();
        std::vector<std::size_t> ends;  // where each client's groups end
        ends.reserve(m_clients.size());
        const std::size_t kept = groups.size();
        for (const auto& client : m_clients) {
            client->get_completed_reads(groups);
            ends.push_back(groups.size());
        }
        m_ledger.release_returned(groups, kept, ends);
    }
    return tessellpy::completed_reads_to_list(std::move(groups));
}

Result VexilClientPy::finish(const py::int_& timeout) {
    refuse_if_forked();
    const unsigned long long timeout_s =
            clamped_count(timeout, ULLONG_MAX, std::runtime_error("Negative timeout specified for finish() method."));
    return run_holding_connection([this, timeout_s](std::uint64_t started) { return finish_all(timeout_s, started); });
}

Result VexilClientPy::finish_all(unsigned long long timeout_s, std::uint64_t generation) {
    // A client reached after a stop is finished within a second rather than disconnected, which
    // would give its reads back uncalled.
    return on_every_client([this, timeout_s, generation](VexilClient& client) {
        return client.finish(stopped_since(generation) ? 1 : timeout_s);
    });
}

VexilClientPy::Disconnecting VexilClientPy::start_disconnect() {
    Disconnecting disconnecting;
    auto results = std::make_shared<std::vector<Result>>(m_clients.size(), Result::no_connection);
    disconnecting.results = results;
    const std::lock_guard<std::mutex> lock(m_lifecycle_mutex);
    forget_finished_work();
    ++m_stop_generation;
    m_connect_error.clear();
    disconnecting.ended_work = std::exchange(m_ended_in_background, false);
    for (const auto& work : m_lifecycle_work) {
        disconnecting.ended_work = disconnecting.ended_work || work.holds_connection;
        disconnecting.calls.push_back(work.call);
    }
    disconnecting.calls.push_back(add_work(
            [this, results] {
                tessellpy::run_side_by_side(m_clients.size(),
                                            [&](std::size_t i) { (*results)[i] = m_clients[i]->disconnect(); });
            },
            false));
    return disconnecting;
}

Result VexilClientPy::disconnect() {
    refuse_if_forked();
    const Disconnecting disconnecting = start_disconnect();
    // Returns once every client is disconnected; interrupted, the rest goes on in the background.
    tessellpy::wait_for_calls(disconnecting.calls);
    disconnecting.calls.back()->rethrow_failure();
    const auto& results = *disconnecting.results;
    const bool ended_connection =
            std::any_of(results.begin(), results.end(), [](Result result) { return result == Result::success; });
    return disconnecting.ended_work || ended_connection ? Result::success : Result::no_connection;
}

py::tuple VexilClientPy::get_basecalling_config() {
    refuse_if_forked();
    bass::data_wrappers::Metadata config;
    Result result = Result::success;
    {
        const tessellpy::ReleasedGil released;
        result = m_clients.front()->get_basecalling_config(config);
    }
    const py::dict details = result == Result::success ? tessellpy::metadata_to_dict(config) : py::dict();
    return py::make_tuple(details, result);
}

py::tuple VexilClientPy::get_alignment_sam_header() {
    refuse_if_forked();
    std::string header;
    Result result = Result::success;
    {
        const tessellpy::ReleasedGil released;
        result = m_clients.front()->get_alignment_sam_header(header);
    }
    return py::make_tuple(py::str(header), result);
}

std::string VexilClientPy::repr() const {
    refuse_if_forked();
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
