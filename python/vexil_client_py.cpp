#include "python/vexil_client_py.h"

#include "python/conversions.h"
#include "python/option_types.h"
#include "python/read_conversions.h"

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

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

VexilClientPy::VexilClientPy(const std::string& address, const std::string& config, const py::int_& num_threads) {
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
    while (!m_clients.empty()) {
        m_clients.pop_back();
    }
}

Result VexilClientPy::set_params(const py::dict& params) {
    // A connect, finish or disconnect in progress means the clients are (or are about to be) connected.
    std::unique_lock<std::mutex> lifecycle(m_lifecycle, std::try_to_lock);
    if (!lifecycle.owns_lock()) {
        return Result::already_connected;
    }
    for (const auto& client : m_clients) {
        if (client->get_status() != ConnectionStatus::disconnected) {
            return Result::already_connected;
        }
    }
    try {
        bass::data_wrappers::Metadata settings;
        std::optional<Read::Priority> priority;
        for (const auto& [key_object, value] : params) {
            const auto key = key_object.cast<std::string>();
            if (key == "priority") {
                priority = value.cast<Read::Priority>();
                continue;
            }
            const auto type = option_type_of(key);
            if (!type) {
                return Result::failed;
            }
            tessellpy::set_metadata_from_python(settings, key, value, *type);
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
        return result;
    } catch (const std::exception&) {
        return Result::failed;
    }
}

ConnectionStatus VexilClientPy::get_status() const { return m_clients.front()->get_status(); }

std::string VexilClientPy::get_error_message() const {
    std::string text;
    for (const auto& client : m_clients) {
        const auto message = client->get_error_message();
        if (message.empty()) {
            continue;
        }
        if (!text.empty()) {
            text += "\n";
        }
        text += message;
    }
    return text;
}

std::string VexilClientPy::get_internal_state() const {
    std::string text;
    for (const auto& client : m_clients) {
        if (!text.empty()) {
            text += "\n";
        }
        text += client->get_internal_state();
    }
    return text;
}

Result VexilClientPy::connect() {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        const Result result = m_clients[i]->connect();
        if (result != Result::success) {
            for (std::size_t j = 0; j < i; ++j) {
                m_clients[j]->disconnect();
            }
            return result;
        }
    }
    return Result::success;
}

VexilClient& VexilClientPy::next_in_rotation() {
    VexilClient& client = *m_clients[m_next_client];
    m_next_client = (m_next_client + 1) % m_clients.size();
    return client;
}

PassReadResult VexilClientPy::pass_read(const py::dict& read_dict, const py::int_& wait_duration_ms) {
    Read read;
    if (!tessellpy::dict_to_readholder(read_dict, read)) {
        return PassReadResult::bad_read;
    }
    const unsigned int wait_ms = wait_ms_of(wait_duration_ms);
    VexilClient& client = next_in_rotation();
    py::gil_scoped_release release;
    return client.pass_read(read, wait_ms);
}

PassReadResult VexilClientPy::pass_reads(const py::list& read_dicts, const py::int_& wait_duration_ms) {
    std::vector<Read> reads;
    reads.reserve(read_dicts.size());
    for (const py::handle item : read_dicts) {
        const py::dict read_dict = py::isinstance<py::dict>(item) ? py::reinterpret_borrow<py::dict>(item)
                                                                  : py::dict(py::reinterpret_borrow<py::object>(item));
        reads.emplace_back();
        if (!tessellpy::dict_to_readholder(read_dict, reads.back())) {
            return PassReadResult::bad_read;
        }
    }
    const unsigned int wait_ms = wait_ms_of(wait_duration_ms);
    VexilClient& client = next_in_rotation();
    py::gil_scoped_release release;
    return client.pass_reads(reads, wait_ms);
}

py::list VexilClientPy::get_completed_reads() {
    std::vector<std::vector<Read>> groups;
    {
        py::gil_scoped_release release;
        for (const auto& client : m_clients) {
            client->get_completed_reads(groups);
        }
    }
    return tessellpy::completed_reads_to_list(groups);
}

template <typename Call>
Result VexilClientPy::on_every_client(Call call) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    Result combined = Result::success;
    for (const auto& client : m_clients) {
        const Result result = call(*client);
        if (client == m_clients.front() || result != Result::success) {
            combined = result;
        }
    }
    return combined;
}

Result VexilClientPy::finish(const py::int_& timeout) {
    const unsigned long long timeout_s =
            clamped_count(timeout, ULLONG_MAX, std::runtime_error("Negative timeout specified for finish() method."));
    return on_every_client([timeout_s](VexilClient& client) { return client.finish(timeout_s); });
}

Result VexilClientPy::disconnect() {
    return on_every_client([](VexilClient& client) { return client.disconnect(); });
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
