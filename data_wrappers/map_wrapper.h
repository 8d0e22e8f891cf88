#pragma once

#include <boost/any.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

namespace bass {
namespace data_wrappers {

namespace detail {

/// The type under which a value is stored. Values are stored with fixed-width types only, so that
/// a value given as `long long` or `unsigned long long` is found again by `extract<int64_t>` /
/// `extract<uint64_t>` (on Linux those are `long` and `unsigned long`); a plain `char` is stored as
/// int8_t.
template <typename T>
struct StorageType {
    using type = T;
};
template <>
struct StorageType<long long> {
    using type = int64_t;
};
template <>
struct StorageType<unsigned long long> {
    using type = uint64_t;
};
template <>
struct StorageType<char> {
    using type = int8_t;
};

template <typename T>
using storage_type_t = typename StorageType<std::remove_cv_t<std::remove_reference_t<T>>>::type;

/// The twelve value types of a map entry.
template <typename T>
constexpr bool is_value_type_v =
        std::is_same<T, bool>::value || std::is_same<T, int8_t>::value || std::is_same<T, uint8_t>::value ||
        std::is_same<T, int16_t>::value || std::is_same<T, uint16_t>::value || std::is_same<T, int32_t>::value ||
        std::is_same<T, uint32_t>::value || std::is_same<T, int64_t>::value || std::is_same<T, uint64_t>::value ||
        std::is_same<T, float>::value || std::is_same<T, double>::value || std::is_same<T, std::string>::value;

/// Types accepted by insert/emplace: the twelve, plus those stored as one of them.
template <typename T>
constexpr bool is_storable_v = is_value_type_v<storage_type_t<T>>;

}  // namespace detail

/// An ordered map from a text key to one typed value (bool, 8- to 64-bit signed and unsigned
/// integers, float, double or string). A value keeps exactly the type it was stored with.
class MapWrapper {
public:
    using ValueMap = std::map<std::string, boost::any>;
    using Schema = std::map<std::string, std::type_index>;
    using KeyTypeList = std::vector<std::pair<std::string, std::type_index>>;

    MapWrapper();
    MapWrapper(const MapWrapper& other);
    /// Takes the source's entries; the source is left empty and usable.
    MapWrapper(MapWrapper&& other) noexcept;
    MapWrapper& operator=(const MapWrapper& other);
    /// Frees this map's entries and takes the source's; the source is left empty (not swapped).
    MapWrapper& operator=(MapWrapper&& other) noexcept;
    ~MapWrapper();

    void swap(MapWrapper& other) noexcept;

    /// Creates the entry or replaces its value, whatever type it held. A key given as a temporary
    /// (a literal, say) is moved into a new entry rather than copied.
    template <typename T, typename = std::enable_if_t<detail::is_storable_v<T> &&
                                                      !std::is_same<detail::storage_type_t<T>, std::string>::value>>
    void insert(const std::string& key, const T& value) {
        store(key, boost::any(static_cast<detail::storage_type_t<T>>(value)));
    }
    template <typename T, typename = std::enable_if_t<detail::is_storable_v<T> &&
                                                      !std::is_same<detail::storage_type_t<T>, std::string>::value>>
    void insert(std::string&& key, const T& value) {
        store(std::move(key), boost::any(static_cast<detail::storage_type_t<T>>(value)));
    }
    void insert(const std::string& key, const std::string& value);
    void insert(std::string&& key, const std::string& value);

    /// As insert, moving the value in (a moved string leaves the caller's string empty).
    template <typename T, typename = std::enable_if_t<detail::is_storable_v<T>>>
    void emplace(const std::string& key, T&& value) {
        store(key, stored_value(std::forward<T>(value)));
    }
    template <typename T, typename = std::enable_if_t<detail::is_storable_v<T>>>
    void emplace(std::string&& key, T&& value) {
        store(std::move(key), stored_value(std::forward<T>(value)));
    }

    /// Points `out` at the stored value when the key holds exactly a T. Another type: false, null
    /// `out`. Absent key: false, `out` untouched. Nothing is copied or removed.
    template <typename T>
    bool extract(const std::string& key, const T*& out) const {
        static_assert(detail::is_value_type_v<T>, "extract needs one of the twelve stored value types");
        const auto found = m_map->find(key);
        if (found == m_map->end()) {
            return false;
        }
        out = boost::any_cast<T>(&found->second);
        return out != nullptr;
    }

    /// As extract, handing out a pointer through which the stored value may be changed.
    template <typename T>
    bool extract(const std::string& key, T*& out) const {
        const T* found = out;
        const bool result = extract<T>(key, found);
        out = const_cast<T*>(found);
        return result;
    }

    /// A copy of the stored T; std::out_of_range when the key is absent or holds another type.
    template <typename T>
    T get_value(const std::string& key) const {
        using Stored = detail::storage_type_t<T>;
        const Stored* value = nullptr;
        if (!extract<Stored>(key, value)) {
            throw std::out_of_range("Could not find key '" + key + "' in map.");
        }
        return static_cast<T>(*value);
    }

    bool exists(const std::string& key) const;
    /// Type of the stored value; the type of void when the key is absent.
    const std::type_info& check_type(const std::string& key) const;
    /// The value as text by its stored type (see write_to_stream for the whole map).
    std::string get_as_string(const std::string& key) const;
    /// Every key with the type of its value, in key order.
    KeyTypeList get_keys() const;
    bool empty() const;
    std::size_t size() const;
    /// Every entry in key order, read in place: a walk that neither copies keys, as get_keys does,
    /// nor looks each value up again.
    const ValueMap& entries() const { return *m_map; }

    /// Same keys with values of the same types; floats and doubles equal within 1e-6.
    bool operator==(const MapWrapper& other) const;
    bool operator!=(const MapWrapper& other) const { return !(*this == other); }

    /// Writes "{ (k1=v1), (k2=v2) }"; an empty map as "{}".
    std::ostream& write_to_stream(std::ostream& stream) const;

    /// Copies every entry of `other` in; its values replace this map's under shared keys.
    void merge(const MapWrapper& other);
    /// As merge, moving the entries over rather than copying them; `other` is left empty.
    void merge(MapWrapper&& other);
    /// Erases the entry; std::out_of_range when the key is absent.
    void remove(const std::string& key);
    void clear();
    /// Entries whose key the schema lacks or whose stored type differs from the schema's, with their
    /// stored type; erased from the map when `remove` is true.
    Schema validate(const Schema& schema, bool remove);

private:
    template <typename Key>
    void store(Key&& key, boost::any&& value) {
        m_map->insert_or_assign(std::forward<Key>(key), std::move(value));
    }
    template <typename T>
    static boost::any stored_value(T&& value) {
        using Stored = detail::storage_type_t<T>;
        if constexpr (std::is_same<Stored, std::remove_cv_t<std::remove_reference_t<T>>>::value) {
            return boost::any(Stored(std::forward<T>(value)));
        } else {
            return boost::any(static_cast<Stored>(value));
        }
    }

    std::unique_ptr<ValueMap> m_map;
};

inline std::ostream& operator<<(std::ostream& stream, const MapWrapper& map) { return map.write_to_stream(stream); }

}  // namespace data_wrappers
}  // namespace bass
