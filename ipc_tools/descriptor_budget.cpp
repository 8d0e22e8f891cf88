#include "ipc_tools/descriptor_budget.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

void require_free_descriptors(int needed) {
    TrialDescriptors trial;
    while (trial.count() < needed) {
        const int error_number = trial.open_one();
        if (error_number != 0) {
            if (is_descriptor_shortage(error_number)) {
                throw DescriptorShortage(descriptor_shortage_text(error_number, needed, trial.count()));
            }
            return;  // another failure is not ours to judge: ZeroMQ reports it as it comes
        }
    }
}

}  // namespace ipc_tools
