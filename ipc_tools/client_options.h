#pragma once

#include <map>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

namespace client_options {

/// The closed set of options a client may hand to the server when it connects, each with its one
/// value type. Only registered keys travel in the connection string, in registration order.
class RegisteredClientOptions {
public:
    RegisteredClientOptions();

    /// The keys in registration order.
    const std::vector<std::string>& keys() const { return m_keys; }

    /// The registered type of `key`; none for a key that is not registered.
    std::optional<std::type_index> type_of(const std::string& key) const;

private:
    std::map<std::string, std::type_index> m_types;
    std::vector<std::string> m_keys;
};

}  // namespace client_options

namespace apps {

/// The library's version text (release and build identifier). The flag has no effect.
std::string application_version_string(bool full);

}  // namespace apps
