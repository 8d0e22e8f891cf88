#include "client_api/log_forwarding.h"

#include "common/logging/attributes.h"
#include "common/logging/filters.h"
#include "common/logging/library_core.h"
#include "common/logging/logger_group.h"
#include "common/logging/logger_options.h"
#include "common/logging/logging_gate.h"
#include "common/logging/singleton.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/unlocked_frontend.hpp>
#include <boost/make_shared.hpp>

#include <iostream>
#include <streambuf>
#include <utility>

namespace vexil {

namespace {

namespace logging = common::logging;
using logging::attributes::SeverityLevel;

/// A sink backend that hands warnings and errors to the installed forwarder.
class ForwardingBackend : public boost::log::sinks::basic_sink_backend<boost::log::sinks::concurrent_feeding> {
public:
    explicit ForwardingBackend(LogForwarder forwarder) : m_forwarder(std::move(forwarder)) {}

    void consume(const boost::log::record_view& record) {
        const auto level = record[logging::attributes::severity];
        if (!level || (*level != SeverityLevel::warning && *level != SeverityLevel::error)) {
            return;
        }
        const auto text = record[boost::log::expressions::smessage];
        try {
            m_forwarder(*level == SeverityLevel::error ? LogSeverity::error : LogSeverity::warning,
                        text ? text.get() : std::string());
        } catch (...) {
            // A failing forwarder must not reach the code that logged.
        }
    }

private:
    const LogForwarder m_forwarder;
};

// Unlocked: the forwarder runs on each logging thread at once, so that one that forks from inside
// it does not leave others waiting for it in a record, which the fork would wait for in turn.
using ForwardingSink = boost::log::sinks::unlocked_sink<ForwardingBackend>;

/// Swallows what the standard-error sink writes while the records go to the forwarder instead.
class DiscardingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type character) override { return traits_type::not_eof(character); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

struct ForwardingState {
    boost::shared_ptr<ForwardingSink> sink;
    DiscardingBuffer discard_buffer;
    std::ostream discard{&discard_buffer};
};

ForwardingState& state() {
    // Never destroyed: library threads may still log while the process's statics are torn down.
    static auto* const instance = new ForwardingState;
    return *instance;
}

}  // namespace

void set_log_forwarder(LogForwarder forwarder) {
    // The library's default configuration first, so that the first client made later keeps ours.
    // Outside the gate: a first configuration under way on another thread closes it too.
    logging::LoggerOptionsUtils::SetDefaultLogOptions();
    // No record is written while the sinks change, so each one meets either the old forwarding or
    // the new, whole.
    const logging::LoggingGate::Exclusive no_record_meanwhile;
    if (!no_record_meanwhile) {
        return;  // a child whose log is off (see LoggingGate)
    }
    ForwardingState& forwarding = state();
    auto& library = logging::LibraryCore::instance();
    if (forwarding.sink) {
        library.remove_sink(forwarding.sink);
        forwarding.sink.reset();
    }
    auto& group = common::Singleton<logging::LoggerGroup>::instance();
    if (forwarder) {
        forwarding.sink =
                boost::make_shared<ForwardingSink>(boost::make_shared<ForwardingBackend>(std::move(forwarder)));
        // Only what it forwards: other records need not be made for it.
        forwarding.sink->set_filter(logging::DefineSeverityFilter({SeverityLevel::warning, SeverityLevel::error}));
        library.add_sink(forwarding.sink);
    }
    // The standard-error sink stays and writes nowhere while the records are forwarded. Recreating
    // the sinks applies the stream.
    group.SetStreams(forwarding.sink ? &forwarding.discard : nullptr, nullptr);
    group.SetLoggerOptions(group.GetLoggerOptions());
}

}  // namespace vexil
