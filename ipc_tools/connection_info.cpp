#include "ipc_tools/connection_info.h"

#include "ipc_tools/client_options.h"
#include "ipc_tools/connection_string.h"

#include "common/diagnostics/tracing/trace_domain.h"
#include "common/process_utils.h"

#include <limits>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <typeinfo>

namespace ipc_tools {

namespace {

using common::diagnostics::tracing::TraceDomain;
namespace cs = connection_string;

const char* const DEFAULT_ALIGN_TYPE = "auto";
const char* const PARSE_ERROR_PREFIX = "Failed to parse barcoding options in connection string: ";

void require_encodable_value(const std::string& key, const std::string& value) {
    if (value.find(cs::PAIR_SEPARATOR) != std::string::npos) {
        throw std::invalid_argument("Cannot encode the value of '" + key + "' in the connection string: it contains '" +
                                    cs::PAIR_SEPARATOR + "'.");
    }
}

// Formatted extraction as the server does it: an unreadable value is 0, an out-of-range one the limit.
template <typename T>
T read_number(const std::string& text) {
    T value{};
    std::istringstream stream(text);
    stream >> value;
    return value;
}

bool read_bool(const std::string& text) {
    long double number = 0;
    std::istringstream stream(text);
    stream >> number;
    return !stream.fail() && number != 0;
}

// Stores `text` under `key` as `type`; false for a type the codec does not know.
bool store_typed(bass::data_wrappers::Metadata& options, const std::string& key, const std::type_index& type,
                 const std::string& text) {
    if (type == typeid(bool)) {
        options.insert(key, read_bool(text));
    } else if (type == typeid(int)) {
        options.insert(key, read_number<int>(text));
    } else if (type == typeid(unsigned int)) {
        options.insert(key, read_number<unsigned int>(text));
    } else if (type == typeid(long long)) {
        options.insert(key, read_number<long long>(text));
    } else if (type == typeid(unsigned long long)) {
        options.insert(key, read_number<unsigned long long>(text));
    } else if (type == typeid(float)) {
        options.insert(key, read_number<float>(text));
    } else if (type == typeid(double)) {
        options.insert(key, read_number<double>(text));
    } else if (type == typeid(std::string)) {
        options.insert(key, text);
    } else {
        return false;
    }
    return true;
}

std::string string_option(const bass::data_wrappers::Metadata& options, const std::string& key) {
    const std::string* value = nullptr;
    return options.extract(key, value) && value != nullptr ? *value : std::string();
}

}  // namespace

std::string ConnectionInfo::build_connection_string() {
    align_ref = common::make_canonical_path(align_ref);
    bed_file = common::make_canonical_path(bed_file);

    if (config_name.find(cs::CONFIG_SEPARATOR) != std::string::npos) {
        throw std::invalid_argument("Cannot encode the configuration name '" + config_name +
                                    "' in the connection string: it contains '" + cs::CONFIG_SEPARATOR + "'.");
    }
    require_encodable_value(cs::KEY_CLIENT_NAME, client_name);

    std::string text = config_name + ":" + cs::create_kvp(cs::KEY_CONNECTION_CLIENT_TIMEOUT, timeout_interval) +
                       cs::create_kvp(cs::KEY_CLIENT_NAME, client_name);
    const client_options::RegisteredClientOptions registry;
    for (const auto& key : registry.keys()) {
        if (!options.exists(key)) {
            continue;
        }
        const std::string value = options.get_as_string(key);
        require_encodable_value(key, value);
        text += cs::create_kvp(key, value);
    }
    return text;
}

std::optional<ConnectionInfo> ConnectionInfo::parse(const std::string& text, std::string& error) {
    auto trace = TraceDomain<ConnectionInfo>::create_trace("parse");
    trace.message(text);

    ConnectionInfo info;
    const auto split = text.find(cs::CONFIG_SEPARATOR);
    info.config_name = split == std::string::npos ? text : text.substr(0, split);
    const std::string rest = split == std::string::npos ? text : text.substr(split + 1);
    if (rest.empty() || rest.front() != cs::PAIR_SEPARATOR.front()) {
        info.align_type = DEFAULT_ALIGN_TYPE;
        return info;
    }

    error = PARSE_ERROR_PREFIX + rest;
    const auto pairs = cs::get_kvps(rest);
    if (!pairs) {
        return std::nullopt;
    }
    const auto client_name = pairs->find(cs::KEY_CLIENT_NAME);
    if (client_name != pairs->end()) {
        info.client_name = client_name->second;
    }
    std::uint32_t timeout_interval = 0;
    const auto timeout = pairs->find(cs::KEY_CONNECTION_CLIENT_TIMEOUT);
    if (timeout != pairs->end() && !cs::parse_value(timeout->second, timeout_interval)) {
        return std::nullopt;
    }

    bass::data_wrappers::Metadata options;
    const client_options::RegisteredClientOptions registry;
    for (const auto& key : registry.keys()) {
        const auto pair = pairs->find(key);
        if (pair == pairs->end()) {
            continue;
        }
        const auto type = registry.type_of(key);
        if (!type) {
            throw std::runtime_error("Unexpected key in connection string.");
        }
        if (!store_typed(options, key, *type, pair->second)) {
            return std::nullopt;
        }
    }

    info.barcode_kits = string_option(options, "barcode_kits");
    info.align_ref = string_option(options, "align_ref");
    info.bed_file = string_option(options, "bed_file");
    info.align_type = string_option(options, "align_type");
    info.minimap_opt_string = string_option(options, "minimap_opt_string");
    info.timeout_interval = timeout_interval;
    info.options = std::move(options);
    error.clear();
    if (info.align_type.empty()) {
        info.align_type = DEFAULT_ALIGN_TYPE;
    }
    return info;
}

std::string ConnectedInfo::create_message_string() const {
    auto trace = TraceDomain<ConnectedInfo>::create_trace("create_message_string");
    const std::string text = cs::create_kvp(cs::KEY_CONNECTED_CLIENT_UID, client_uid) +
                             cs::create_kvp(cs::KEY_CONNECTED_SERVER_VERSION, server_version) +
                             cs::create_kvp(cs::KEY_CONNECTED_SERVER_MINIMAP_VERSION, minimap_version);
    trace.message(text);
    return text;
}

std::optional<ConnectedInfo> ConnectedInfo::parse(const std::string& text) {
    auto trace = TraceDomain<ConnectedInfo>::create_trace("parse");
    trace.message(text);
    const auto pairs = cs::get_kvps(text);
    if (!pairs) {
        return std::nullopt;
    }
    const auto client_uid = pairs->find(cs::KEY_CONNECTED_CLIENT_UID);
    const auto server_version = pairs->find(cs::KEY_CONNECTED_SERVER_VERSION);
    const auto minimap_version = pairs->find(cs::KEY_CONNECTED_SERVER_MINIMAP_VERSION);
    if (client_uid == pairs->end() || server_version == pairs->end() || minimap_version == pairs->end()) {
        return std::nullopt;
    }
    // Every later request of the connection carries this id; without one the connection is unusable.
    if (client_uid->second.empty()) {
        return std::nullopt;
    }
    ConnectedInfo info;
    info.server_version = server_version->second;
    info.minimap_version = minimap_version->second;
    info.client_uid = client_uid->second;
    return info;
}

}  // namespace ipc_tools
