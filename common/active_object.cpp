#include "common/active_object.h"

#include "common/contract.h"
#include "common/logger.h"
#include "common/synchronisation.h"

#include <gsl/gsl>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

constexpr const char* DEFAULT_NAME = "active_object";

// Set on a worker thread whose task destroyed the worker's own active object: the worker must
// then leave without touching the object again.
thread_local bool t_owner_destroyed = false;

// Logs the exception and rethrows it; called inside the worker's catch clause, so the exception
// leaves the worker thread and ends the process.
void default_exception_handler(const std::exception& exception) {
    ZEV_LOG(common::logging::error) << exception.what();
    throw;
}

}  // namespace

namespace common {

ActiveObject::ActiveObject() : ActiveObject(DEFAULT_NAME) {}

ActiveObject::ActiveObject(const std::string& name) : m_name(name), m_num_threads(1) { launch_threads(true); }

ActiveObject::ActiveObject(const std::string& name, ExceptionHandlingPolicy policy) : m_name(name), m_num_threads(1) {
    launch_threads(policy != ExceptionHandlingPolicy::propagate);
}

ActiveObject::ActiveObject(const std::string& name, ExceptionHandler handler)
    : m_name(name), m_num_threads(1), m_exception_handler(std::move(handler)) {
    launch_threads(true);
}

ActiveObject::ActiveObject(const std::string& name, unsigned int num_threads)
    : ActiveObject(name, num_threads, ExceptionHandler()) {}

ActiveObject::ActiveObject(const std::string& name, unsigned int num_threads, ExceptionHandler handler)
    : m_name(name), m_num_threads(num_threads), m_exception_handler(std::move(handler)) {
    COMMON_CONTRACT_CHECK(num_threads > 0 && num_threads <= MAX_NUM_THREADS,
                          "num_threads must be in range 1..MAX_NUM_THREADS", "common/active_object");
    launch_threads(true);
}

ActiveObject::~ActiveObject() {
    join();
    if (m_origin.inherited()) {
        let_go(std::move(m_message_queue));
    }
}

void ActiveObject::send(Task task) { m_message_queue->send(std::move(task)); }

void ActiveObject::send_blocking(Task task) {
    auto done = std::make_shared<synchronisation::Flag>();
    send([done, &task] {
        // Released whether the task returns or throws; the exception goes on to the worker.
        const auto release = gsl::finally([&done] { done->count_down(); });
        task();
    });
    done->wait();
}

void ActiveObject::flush() {
    COMMON_CONTRACT_CHECK(!m_done.load(std::memory_order_relaxed), "Cannot flush an inactive active object.",
                          "common/active_object");
    std::lock_guard<InstrumentedMutex> lock(m_flush_mutex);
    auto barrier = std::make_shared<synchronisation::Latch>(m_num_threads);
    // Each worker takes exactly one barrier: having taken it, it waits until all are taken.
    for (unsigned int i = 0; i < m_num_threads; ++i) {
        send([barrier] {
            barrier->count_down();
            barrier->wait();
        });
    }
    barrier->wait();
}

void ActiveObject::join() {
    if (m_origin.inherited()) {
        // The workers are the parent's: joining them is undefined here, and a stop task could wait
        // for a queue lock that one of them held at the fork.
        let_go(std::move(m_threads));
        m_threads.clear();
        return;
    }
    for (unsigned int i = 0; i < m_num_threads; ++i) {
        send([this] { m_done.store(true, std::memory_order_relaxed); });
    }
    const auto self = std::this_thread::get_id();
    for (auto& thread : m_threads) {
        if (!thread.joinable()) {
            continue;
        }
        if (thread.get_id() == self) {
            // Destroyed from one of its own tasks: a thread cannot join itself. It leaves its loop as
            // soon as the task returns, without touching this object again.
            t_owner_destroyed = true;
            thread.detach();
            continue;
        }
        thread.join();
    }
}

void ActiveObject::launch_threads(bool catch_exceptions) {
    if (!m_exception_handler) {
        m_exception_handler = default_exception_handler;
    }
    m_threads.reserve(m_num_threads);
    try {
        for (unsigned int i = 0; i < m_num_threads; ++i) {
            if (catch_exceptions) {
                m_threads.emplace_back([this] { run_catching(); });
            } else {
                m_threads.emplace_back([this] { run(m_name); });
            }
        }
    } catch (const std::system_error&) {
        // Stop the workers already started before the error leaves the constructor.
        join();
        throw;
    }
}

void ActiveObject::run_catching() {
    try {
        run(m_name);
    } catch (const std::exception& exception) {
        if (t_owner_destroyed) {
            throw;
        }
        m_exception_handler(exception);
    } catch (...) {
        if (t_owner_destroyed) {
            throw;
        }
        m_exception_handler(std::runtime_error("Unhandled error thrown in thread: " + m_name));
    }
}

void ActiveObject::run(const std::string& name) {
    bass::util::set_thread_name(name.c_str());
    if (m_done.load(std::memory_order_relaxed)) {
        return;
    }
    for (;;) {
        {
            Task task = m_message_queue->receive();
            task();
        }
        if (t_owner_destroyed || m_done.load(std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace common
