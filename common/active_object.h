#pragma once

#include "common/process_origin.h"
#include "common/process_utils.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace common {

namespace details {

// First-in, first-out blocking queue.
template <typename T>
class MessageQueue {
public:
    void send(T item) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(std::move(item));
        }
        m_condition.notify_one();
    }

    T receive() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return !m_queue.empty(); });
        T item = std::move(m_queue.front());
        m_queue.pop_front();
        return item;
    }

private:
    std::mutex m_mutex;
    std::deque<T> m_queue;
    std::condition_variable_any m_condition;
};

}  // namespace details

// A named pool of worker threads running queued tasks in queue order. In a forked child, a copy made
// before the fork has no workers: it lets go of their queue and threads instead of stopping them.
class ActiveObject {
public:
    using Task = std::function<void()>;
    using ExceptionHandler = std::function<void(const std::exception&)>;

    static constexpr unsigned int MAX_NUM_THREADS = 50;

    enum class ExceptionHandlingPolicy {
        propagate = 0,     // an exception leaves the worker thread and ends the process
        call_handler = 1,  // the exception is passed to the handler
    };

    ActiveObject();
    explicit ActiveObject(const std::string& name);
    ActiveObject(const std::string& name, ExceptionHandlingPolicy policy);
    ActiveObject(const std::string& name, ExceptionHandler handler);
    ActiveObject(const std::string& name, unsigned int num_threads);
    ActiveObject(const std::string& name, unsigned int num_threads, ExceptionHandler handler);
    ~ActiveObject();

    ActiveObject(const ActiveObject&) = delete;
    ActiveObject& operator=(const ActiveObject&) = delete;
    ActiveObject(ActiveObject&&) = delete;
    ActiveObject& operator=(ActiveObject&&) = delete;

    // Queues a task and returns.
    void send(Task task);
    // Queues a task and returns once it has run (returned or thrown).
    void send_blocking(Task task);
    // Returns once every task queued before the call has finished.
    void flush();
    // Stops the workers after the tasks queued so far and joins them.
    void join();
    // True in a forked child of the process that made this object: its workers do not run here, so
    // tasks sent to it never run.
    bool inherited() const { return m_origin.inherited(); }

    const std::string& name() const { return m_name; }

private:
    void launch_threads(bool catch_exceptions);
    void run(const std::string& name);
    void run_catching();

    // On the heap, so that an inherited object can let go of it: the parent's workers may be shown
    // waiting on its condition variable, which could then never be destroyed.
    std::unique_ptr<details::MessageQueue<Task>> m_message_queue = std::make_unique<details::MessageQueue<Task>>();
    std::vector<std::thread> m_threads;
    std::string m_name;
    unsigned int m_num_threads;
    ExceptionHandler m_exception_handler;
    std::atomic<bool> m_done{false};
    InstrumentedMutex m_flush_mutex;
    const ProcessOrigin m_origin;
};

}  // namespace common
