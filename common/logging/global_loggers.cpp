#include "common/logging/global_loggers.h"

#include "common/logging/library_core.h"
#include "common/logging/logger_options.h"

#include <boost/log/attributes/clock.hpp>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/detail/default_attribute_names.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/keywords/channel.hpp>
#include <boost/log/keywords/severity.hpp>

#include <atomic>

namespace common {
namespace logging {

using attributes::SeverityLevel;
namespace keywords = boost::log::keywords;

namespace {

// The time and thread of a record are the library's own attributes, not the core's: the core's
// global attributes belong to the host.
boost::log::attribute_set source_attributes(SeverityLevel severity, const std::string& channel) {
    boost::log::attribute_set attributes;
    attributes.insert(attributes::severity.get_name(), boost::log::attributes::constant<SeverityLevel>(severity));
    attributes.insert(attributes::log_channel.get_name(), boost::log::attributes::constant<std::string>(channel));
    attributes.insert(attributes::timestamp.get_name(), boost::log::attributes::local_clock());
    attributes.insert(attributes::thread_id.get_name(), boost::log::attributes::current_thread_id());
    attributes.insert(attributes::names::library(), boost::log::attributes::constant<std::string>("vexil_client"));
    return attributes;
}

struct GlobalLogger {
    explicit GlobalLogger(SeverityLevel level)
        : logger(keywords::severity = level, keywords::channel = to_string(level)),
          source(source_attributes(level, to_string(level))) {}

    BoostLoggerWrapper logger;
    const boost::log::attribute_set source;
};

// Never destroyed: the Boost.Log core and the loggers that a client ending during static
// destruction writes through.
struct GlobalLoggers {
    const boost::log::core_ptr core = boost::log::core::get();
    LibraryCore& library = LibraryCore::instance();
    GlobalLogger error{SeverityLevel::error};
    GlobalLogger warning{SeverityLevel::warning};
    GlobalLogger info{SeverityLevel::info};
    GlobalLogger verbose{SeverityLevel::verbose};
    // Set once Boost.Log's own globals may be gone: from then on no record is opened.
    std::atomic<bool> ended{false};

    GlobalLogger& of(SeverityLevel level) {
        switch (level) {
            case SeverityLevel::error:
                return error;
            case SeverityLevel::warning:
                return warning;
            case SeverityLevel::info:
                return info;
            default:
                return verbose;
        }
    }
};

// Boost.Log keeps lazily made globals that a record needs (the attribute-name registry, the default
// names, the per-thread id) and destroys them at exit in the reverse order of their making. Made
// here, before the end marker below, they outlive it; whatever ends after the marker (a client
// held by a namespace-scope pointer, made before any of this) writes nothing and ends quietly.
void make_boost_log_globals() {
    boost::log::attribute_name("Severity");
    boost::log::aux::default_attribute_names::message();
    boost::log::attributes::current_thread_id().get_value();
    boost::log::attributes::local_clock().get_value();
}

// At exit, or when the library is unloaded: from then on no record is opened. The library core
// keeps its sinks, never destroyed: in a child forked while a record was stuck in a sink, that
// sink's lock is held for ever and must not be destroyed. A library loaded again makes its own.
struct EndOfLogging {
    explicit EndOfLogging(std::atomic<bool>& ended) : m_ended(ended) {}
    ~EndOfLogging() {
        const LoggingGate::Exclusive no_record_meanwhile;
        m_ended.store(true);
    }
    EndOfLogging(const EndOfLogging&) = delete;
    EndOfLogging& operator=(const EndOfLogging&) = delete;

private:
    std::atomic<bool>& m_ended;
};

GlobalLoggers& global_loggers() {
    static GlobalLoggers* const loggers = [] {
        make_boost_log_globals();
        auto* const made = new GlobalLoggers;
        static const EndOfLogging end_of_logging(made->ended);
        return made;
    }();
    return *loggers;
}

boost::log::record open_record(const boost::log::attribute_set& source) {
    auto& loggers = global_loggers();
    // In a child forked while a record was stuck in a sink, that sink's locks may never be free.
    if (loggers.ended.load() || !LoggingGate::instance().usable()) {
        return {};
    }
    return loggers.library.open_record(source);
}

// The library's records go through its own sinks from the first one on: a record written before
// any configuration (the trace configuration's, say) gets the library's default sinks, rather
// than Boost.Log's default sink on standard output. Outside the gate: configuring closes it.
void set_up_sinks() { LoggerOptionsUtils::SetDefaultLogOptions(); }

}  // namespace

namespace detail {

void make_global_loggers() { global_loggers(); }

template <SeverityLevel Level>
BoostLoggerWrapper& GlobalLoggerTag<Level>::get() {
    return global_loggers().of(Level).logger;
}

template <SeverityLevel Level>
const boost::log::attribute_set& GlobalLoggerTag<Level>::source() {
    return global_loggers().of(Level).source;
}

template struct GlobalLoggerTag<SeverityLevel::error>;
template struct GlobalLoggerTag<SeverityLevel::warning>;
template struct GlobalLoggerTag<SeverityLevel::info>;
template struct GlobalLoggerTag<SeverityLevel::verbose>;

SinksSetUp::SinksSetUp() { set_up_sinks(); }

RecordWriter::RecordWriter(const boost::log::attribute_set& source, const char* function_text)
    : m_record(open_record(source)), m_uncaught_at_start(std::uncaught_exceptions()) {
    if (m_record) {
        attach_function(function_text ? std::string(function_text) : std::string());
    }
}

RecordWriter::RecordWriter(const std::string& function_text, SeverityLevel severity, const std::string& channel)
    : m_record(open_record(source_attributes(severity, channel))), m_uncaught_at_start(std::uncaught_exceptions()) {
    if (m_record) {
        attach_function(function_text);
    }
}

RecordWriter::~RecordWriter() {
    // A message whose streaming threw is dropped rather than written half-formed.
    if (m_record && std::uncaught_exceptions() == m_uncaught_at_start) {
        push();
    }
}

void RecordWriter::attach_function(const std::string& function_text) {
    m_record.attribute_values().insert(attributes::names::function(),
                                       boost::log::attributes::make_attribute_value(function_text));
    m_stream.attach_record(m_record);
}

void RecordWriter::push() {
    m_stream.flush();
    m_stream.detach_from_record();
    global_loggers().library.push_record(std::move(m_record));
}

}  // namespace detail

void write_record(const boost::log::attribute_set& source, const std::string& function_text, const std::string& text) {
    detail::RecordWriter writer(source, function_text.c_str());
    if (writer) {
        writer.stream() << text;
    }
}

bool accepts_records(const boost::log::attribute_set& source) {
    set_up_sinks();
    const LoggingGate::Shared gate;
    const auto& loggers = global_loggers();
    return !loggers.ended.load() && LoggingGate::instance().usable() && loggers.library.wants(source);
}

}  // namespace logging
}  // namespace common
