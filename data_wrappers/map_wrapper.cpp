#include "data_wrappers/map_wrapper.h"

#include <cmath>
#include <string>

namespace bass {
namespace data_wrappers {

namespace {

template <typename T>
const T* as(const boost::any& value) {
    return boost::any_cast<T>(&value);
}

std::string value_as_string(const boost::any& value) {
    if (const auto* v = as<std::string>(value)) {
        return *v;
    }
    if (const auto* v = as<bool>(value)) {
        return *v ? "1" : "0";
    }
    // The narrow types are widened first, so that an 8-bit value prints as a number.
    if (const auto* v = as<int8_t>(value)) {
        return std::to_string(static_cast<int32_t>(*v));
    }
    if (const auto* v = as<uint8_t>(value)) {
        return std::to_string(static_cast<int32_t>(*v));
    }
    if (const auto* v = as<int16_t>(value)) {
        return std::to_string(static_cast<int32_t>(*v));
    }
    if (const auto* v = as<uint16_t>(value)) {
        return std::to_string(static_cast<int32_t>(*v));
    }
    if (const auto* v = as<int32_t>(value)) {
        return std::to_string(*v);
    }
    if (const auto* v = as<uint32_t>(value)) {
        return std::to_string(*v);
    }
    if (const auto* v = as<int64_t>(value)) {
        return std::to_string(*v);
    }
    if (const auto* v = as<uint64_t>(value)) {
        return std::to_string(*v);
    }
    if (const auto* v = as<float>(value)) {
        return std::to_string(*v);
    }
    if (const auto* v = as<double>(value)) {
        return std::to_string(*v);
    }
    throw std::runtime_error("Unsupported type for conversion to string.");
}

template <typename T>
bool equal_as(const boost::any& lhs, const boost::any& rhs, bool& decided) {
    const T* left = as<T>(lhs);
    if (left == nullptr) {
        return false;
    }
    decided = true;
    const T* right = as<T>(rhs);
    if (right == nullptr) {
        return false;
    }
    if constexpr (std::is_floating_point<T>::value) {
        // Strictly below the tolerance; NaN is never equal, not even to NaN.
        return std::fabs(*left - *right) < static_cast<T>(1e-6);
    } else {
        return *left == *right;
    }
}

/// Values of the same stored type compared by type; an unknown type is never equal.
bool values_equal(const boost::any& lhs, const boost::any& rhs) {
    bool decided = false;
    bool equal = false;
    equal = equal_as<std::string>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<bool>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<int8_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<uint8_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<int16_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<uint16_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<int32_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<uint32_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<int64_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<uint64_t>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<float>(lhs, rhs, decided);
    if (!decided)
        equal = equal_as<double>(lhs, rhs, decided);
    return decided && equal;
}

}  // namespace

MapWrapper::MapWrapper() : m_map(std::make_unique<ValueMap>()) {}

MapWrapper::MapWrapper(const MapWrapper& other) : m_map(std::make_unique<ValueMap>(*other.m_map)) {}

MapWrapper::MapWrapper(MapWrapper&& other) noexcept : m_map(std::move(other.m_map)) {
    other.m_map = std::make_unique<ValueMap>();
}

MapWrapper& MapWrapper::operator=(const MapWrapper& other) {
    if (this != &other) {
        auto copy = std::make_unique<ValueMap>(*other.m_map);
        m_map = std::move(copy);
    }
    return *this;
}

MapWrapper& MapWrapper::operator=(MapWrapper&& other) noexcept {
    m_map = std::move(other.m_map);
    other.m_map = std::make_unique<ValueMap>();
    return *this;
}

MapWrapper::~MapWrapper() = default;

void MapWrapper::swap(MapWrapper& other) noexcept { m_map.swap(other.m_map); }

void MapWrapper::insert(const std::string& key, const std::string& value) { store(key, boost::any(value)); }
void MapWrapper::insert(std::string&& key, const std::string& value) { store(std::move(key), boost::any(value)); }

bool MapWrapper::exists(const std::string& key) const { return m_map->count(key) != 0; }

const std::type_info& MapWrapper::check_type(const std::string& key) const {
    const auto found = m_map->find(key);
    return found == m_map->end() ? typeid(void) : found->second.type();
}

std::string MapWrapper::get_as_string(const std::string& key) const {
    const auto found = m_map->find(key);
    if (found == m_map->end()) {
        throw std::out_of_range("Key '" + key + "' not found.");
    }
    return value_as_string(found->second);
}

MapWrapper::KeyTypeList MapWrapper::get_keys() const {
    KeyTypeList keys;
    keys.reserve(m_map->size());
    for (const auto& entry : *m_map) {
        keys.emplace_back(entry.first, std::type_index(entry.second.type()));
    }
    return keys;
}

bool MapWrapper::empty() const { return m_map->empty(); }

std::size_t MapWrapper::size() const { return m_map->size(); }

bool MapWrapper::operator==(const MapWrapper& other) const {
    if (m_map->size() != other.m_map->size()) {
        return false;
    }
    for (const auto& entry : *m_map) {
        const auto found = other.m_map->find(entry.first);
        if (found == other.m_map->end() || found->second.type() != entry.second.type()) {
            return false;
        }
        if (!values_equal(entry.second, found->second)) {
            return false;
        }
    }
    return true;
}

std::ostream& MapWrapper::write_to_stream(std::ostream& stream) const {
    stream << "{";
    std::size_t position = 0;
    for (const auto& entry : *m_map) {
        stream << " (" << entry.first << "=" << value_as_string(entry.second) << ")";
        stream << (position + 1 < m_map->size() ? "," : " ");
        ++position;
    }
    stream << "}";
    return stream;
}

void MapWrapper::merge(const MapWrapper& other) {
    if (&other == this) {
        return;
    }
    for (const auto& entry : *other.m_map) {
        (*m_map)[entry.first] = entry.second;
    }
}

void MapWrapper::merge(MapWrapper&& other) {
    if (&other == this) {
        return;
    }
    // One walk through both maps in key order: shared keys take the other's values in place, the
    // other's own entries move over whole, each inserted just before where the walk stands. Nothing
    // is allocated or copied, and no key is looked up from the root.
    auto mine = m_map->begin();
    auto theirs = other.m_map->begin();
    while (theirs != other.m_map->end()) {
        while (mine != m_map->end() && mine->first < theirs->first) {
            ++mine;
        }
        if (mine != m_map->end() && mine->first == theirs->first) {
            mine->second.swap(theirs->second);
            ++mine;
            ++theirs;
        } else {
            const auto next = std::next(theirs);
            m_map->insert(mine, other.m_map->extract(theirs));
            theirs = next;
        }
    }
    other.m_map->clear();
}

void MapWrapper::remove(const std::string& key) {
    if (m_map->erase(key) == 0) {
        throw std::out_of_range("Key '" + key + "' not found.");
    }
}

void MapWrapper::clear() { m_map->clear(); }

MapWrapper::Schema MapWrapper::validate(const Schema& schema, bool remove) {
    Schema offending;
    for (const auto& entry : get_keys()) {
        const auto expected = schema.find(entry.first);
        if (expected == schema.end() || expected->second != entry.second) {
            offending.emplace(entry.first, entry.second);
        }
    }
    if (remove) {
        for (const auto& entry : offending) {
            m_map->erase(entry.first);
        }
    }
    return offending;
}

}  // namespace data_wrappers
}  // namespace bass
