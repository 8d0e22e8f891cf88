#include "common/fork_safe_mutex.h"

#include "common/logging/logging_gate.h"

#include <algorithm>
#include <vector>

namespace common {

namespace {

// The mutexes that exist, in the order they were made. Its own lock is held across a fork too, so
// that no mutex is added or removed meanwhile.
struct Registry {
    std::mutex mutex;
    std::vector<std::mutex*> members;
};

Registry& registry() {
    // Never destroyed: a mutex of static storage may end after any other static.
    static Registry* const made = new Registry;
    return *made;
}

}  // namespace

ForkSafeMutex::ForkSafeMutex() {
    // The gate's fork handlers take the registered mutexes: they must exist before a fork can come.
    logging::LoggingGate::instance();
    Registry& members = registry();
    const std::lock_guard<std::mutex> lock(members.mutex);
    members.members.push_back(this);
}

ForkSafeMutex::~ForkSafeMutex() {
    Registry& members = registry();
    const std::lock_guard<std::mutex> lock(members.mutex);
    members.members.erase(std::find(members.members.begin(), members.members.end(), this));
}

void ForkSafeMutex::lock_all_for_fork() {
    Registry& members = registry();
    members.mutex.lock();
    for (std::mutex* const member : members.members) {
        member->lock();
    }
}

void ForkSafeMutex::unlock_all_after_fork() {
    Registry& members = registry();
    for (std::mutex* const member : members.members) {
        member->unlock();
    }
    members.mutex.unlock();
}

}  // namespace common
