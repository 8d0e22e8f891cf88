#include "ipc_tools/descriptor_budget.h"

#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace ipc_tools {

namespace {

/// Descriptors opened to see that they can be, closed again when it ends.
class TrialDescriptors {
public:
    TrialDescriptors() = default;
    ~TrialDescriptors() {
        for (const int descriptor : m_descriptors) {
            close(descriptor);
        }
    }
    TrialDescriptors(const TrialDescriptors&) = delete;
    TrialDescriptors& operator=(const TrialDescriptors&) = delete;

    /// Opens one more; the error number when it cannot (0 on success).
    int open_one() {
        // An eventfd needs no file; ZeroMQ's own are eventfds and epolls, counted the same.
        const int descriptor = eventfd(0, EFD_CLOEXEC);
        if (descriptor < 0) {
            return errno;
        }
        m_descriptors.push_back(descriptor);
        return 0;
    }
    int count() const { return static_cast<int>(m_descriptors.size()); }

private:
    std::vector<int> m_descriptors;
};

}  // namespace

bool is_descriptor_shortage(int error_number) { return error_number == EMFILE || error_number == ENFILE; }

std::string descriptor_shortage_text(int error_number, int needed, int available) {
    std::string text = std::string(std::strerror(error_number)) + ": connecting needs " + std::to_string(needed) +
                       " more file descriptors and the process could open only " + std::to_string(available);
    rlimit limit{};
    if (error_number == EMFILE && getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        text += " (RLIMIT_NOFILE " + std::to_string(limit.rlim_cur) + ")";
    }
    return text + "; each connected client holds " + std::to_string(DESCRIPTORS_PER_BROKER) +
           " (ZeroMQ's context, I/O and reaper threads 5, its socket 1, the connection 1, the client's wake-up 1)";
}

namespace {

/// How many of `needed` more descriptors can be opened, by opening them; the error number that
/// stopped it, 0 when none did.
std::pair<int, int> try_descriptors(int needed) {
    TrialDescriptors trial;
    while (trial.count() < needed) {
        const int error_number = trial.open_one();
        if (error_number != 0) {
            return {trial.count(), error_number};
        }
    }
    return {trial.count(), 0};
}

/// The descriptor numbers under the limit that are free, counted in /proc/self/fd, which takes one
/// descriptor for a moment rather than all that are left (another thread of the process may need
/// one meanwhile); nullopt when it cannot be read.
std::optional<long> descriptors_under_limit_free() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    DIR* const folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        if (errno == EMFILE) {
            return 0;
        }
        return std::nullopt;
    }
    const int own = dirfd(folder);
    long open = 0;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && number != own && number >= 0 &&
            static_cast<rlim_t>(number) < limit.rlim_cur) {
            ++open;
        }
    }
    closedir(folder);
    return static_cast<long>(limit.rlim_cur) - open;
}

}  // namespace

void require_free_descriptors(int needed) {
    if (const auto free = descriptors_under_limit_free()) {
        if (*free < needed) {
            throw DescriptorShortage(descriptor_shortage_text(EMFILE, needed, static_cast<int>(std::max(*free, 0L))));
        }
        return;
    }
    const auto [available, error_number] = try_descriptors(needed);
    if (is_descriptor_shortage(error_number)) {
        throw DescriptorShortage(descriptor_shortage_text(error_number, needed, available));
    }
    // Another failure is not ours to judge: ZeroMQ reports it as it comes.
}

}  // namespace ipc_tools
