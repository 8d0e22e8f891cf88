#pragma once

#include <memory>

namespace common {

// A process-wide instance created on first use and destroyed at exit. No lock: the users configure
// it from one thread at a time.
template <typename T>
class Singleton {
public:
    static T& instance() {
        auto& owner = storage();
        if (!owner) {
            owner = std::make_unique<T>();
        }
        return *owner;
    }

private:
    static std::unique_ptr<T>& storage() {
        static std::unique_ptr<T> s_instance;
        return s_instance;
    }
};

}  // namespace common
