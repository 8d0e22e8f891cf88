#include "common/logging/library_core.h"

#include "common/logging/logging_gate.h"

#include <boost/log/core/core.hpp>
#include <boost/log/core/record_view.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <mutex>

namespace common {
namespace logging {

namespace {

// Set while this thread opens a record of the library's, for the entry sink below.
thread_local bool t_opening = false;

class OpeningMark {
public:
    OpeningMark() { t_opening = true; }
    ~OpeningMark() { t_opening = false; }
    OpeningMark(const OpeningMark&) = delete;
    OpeningMark& operator=(const OpeningMark&) = delete;
};

// The core makes a record only when one of its sinks takes it. Where the host's sinks take none of
// the library's, this sink takes them while they open (and nothing else), and writes nothing. It
// is in the core only for that moment: kept there, it would stop Boost.Log's default sink, which
// serves only a core without sinks, from printing the records of a host that set up nothing.
class EntrySink : public boost::log::sinks::sink {
public:
    EntrySink() : sink(false) {}
    bool will_consume(const boost::log::attribute_value_set&) override { return t_opening; }
    void consume(const boost::log::record_view&) override {}
    void flush() override {}
};

struct EntryPoint {
    std::mutex mutex;
    int users = 0;
    const boost::shared_ptr<EntrySink> sink = boost::make_shared<EntrySink>();
};

EntryPoint& entry_point() {
    // Never destroyed, with the library core.
    static auto* const point = new EntryPoint;
    return *point;
}

// The entry sink in the core while at least one thread opens a record through it.
class EntryAttachment {
public:
    EntryAttachment() : m_point(entry_point()) {
        const std::lock_guard<std::mutex> lock(m_point.mutex);
        if (m_point.users++ == 0) {
            boost::log::core::get()->add_sink(m_point.sink);
        }
    }
    ~EntryAttachment() {
        const std::lock_guard<std::mutex> lock(m_point.mutex);
        if (--m_point.users == 0) {
            boost::log::core::get()->remove_sink(m_point.sink);
        }
    }
    EntryAttachment(const EntryAttachment&) = delete;
    EntryAttachment& operator=(const EntryAttachment&) = delete;

private:
    EntryPoint& m_point;
};

const boost::log::attribute_set& no_attributes() {
    static const boost::log::attribute_set* const empty = new boost::log::attribute_set;
    return *empty;
}

}  // namespace

LibraryCore& LibraryCore::instance() {
    static LibraryCore* const core = new LibraryCore;
    return *core;
}

void LibraryCore::add_sink(const SinkPtr& sink) {
    if (sink && std::find(m_sinks.begin(), m_sinks.end(), sink) == m_sinks.end()) {
        m_sinks.push_back(sink);
    }
}

void LibraryCore::remove_sink(const SinkPtr& sink) {
    m_sinks.erase(std::remove(m_sinks.begin(), m_sinks.end(), sink), m_sinks.end());
}

void LibraryCore::remove_all_sinks() { m_sinks.clear(); }

void LibraryCore::set_logging_enabled(const bool enabled) { m_enabled = enabled; }

bool LibraryCore::wants(const boost::log::attribute_set& source) const {
    if (!m_enabled || m_sinks.empty()) {
        return false;
    }
    try {
        const boost::log::attribute_value_set values(source, no_attributes(), no_attributes());
        return std::any_of(m_sinks.begin(), m_sinks.end(),
                           [&values](const SinkPtr& sink) { return sink->will_consume(values); });
    } catch (...) {
        return false;  // a filter that fails takes nothing
    }
}

boost::log::record LibraryCore::open_record(const boost::log::attribute_set& source) const {
    if (!wants(source)) {
        return {};
    }
    // The host's filter and switch of the core apply; a host that lets nothing through silences
    // the library as well.
    try {
        const OpeningMark mark;
        const auto core = boost::log::core::get();
        auto record = core->open_record(source);
        if (record) {
            return record;
        }
        const EntryAttachment attached;
        return core->open_record(source);
    } catch (...) {
        return {};
    }
}

void LibraryCore::push_record(boost::log::record&& record) const {
    if (!record) {
        return;
    }
    const boost::log::record_view view = record.lock();
    for (const auto& sink : m_sinks) {
        try {
            if (sink->will_consume(view.attribute_values())) {
                sink->consume(view);
            }
        } catch (...) {
            // A sink that fails must not keep the record from the others, nor reach the code that logs.
        }
    }
}

void attach_library_sink(const LibraryCore::SinkPtr& sink) {
    const LoggingGate::Exclusive no_record_meanwhile;
    LibraryCore::instance().add_sink(sink);
}

void detach_library_sink(const LibraryCore::SinkPtr& sink) {
    const LoggingGate::Exclusive no_record_meanwhile;
    LibraryCore::instance().remove_sink(sink);
}

}  // namespace logging
}  // namespace common
