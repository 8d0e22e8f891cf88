#pragma once

#include "common/logging/attributes.h"
#include "common/logging/formatters.h"
#include "common/logging/library_core.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/smart_ptr/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// Every record of the library's log, its text and severity, kept until the recorder goes.
class LogRecorder {
public:
    using Severity = common::logging::attributes::SeverityLevel;

    LogRecorder() : m_sink(boost::make_shared<Sink>(boost::make_shared<Backend>())) {
        common::logging::attach_library_sink(m_sink);
    }
    ~LogRecorder() { common::logging::detach_library_sink(m_sink); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    struct Line {
        std::string text;
        std::string function;  // as the log's formatter labels it
        std::chrono::steady_clock::time_point at;
    };

    std::vector<std::string> lines() const { return m_sink->locked_backend()->lines; }
    // The first record holding every one of `parts`.
    std::optional<Line> find(const std::vector<std::string>& parts) const {
        const auto backend = m_sink->locked_backend();
        for (std::size_t index = 0; index < backend->lines.size(); ++index) {
            const std::string& line = backend->lines[index];
            if (std::all_of(parts.begin(), parts.end(),
                            [&line](const std::string& part) { return line.find(part) != std::string::npos; })) {
                return Line{line, backend->functions[index], backend->times[index]};
            }
        }
        return std::nullopt;
    }
    // The records at `severity`, each as its text.
    std::vector<std::string> at(Severity severity) const {
        const auto backend = m_sink->locked_backend();
        std::vector<std::string> found;
        for (std::size_t index = 0; index < backend->lines.size(); ++index) {
            if (backend->severities[index] == severity) {
                found.push_back(backend->lines[index]);
            }
        }
        return found;
    }

private:
    struct Backend : boost::log::sinks::basic_formatted_sink_backend<char> {
        void consume(const boost::log::record_view& record, const string_type& text) {
            lines.push_back(text);
            const auto severity = boost::log::extract<Severity>("Severity", record);
            severities.push_back(severity ? severity.get() : Severity::trace);
            const auto function = boost::log::extract<std::string>("Function", record);
            functions.push_back(function ? common::logging::bare_function_name(function.get()) : std::string());
            times.push_back(std::chrono::steady_clock::now());
        }
        std::vector<std::string> lines;
        std::vector<Severity> severities;
        std::vector<std::string> functions;
        std::vector<std::chrono::steady_clock::time_point> times;
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;
    boost::shared_ptr<Sink> m_sink;
};

}  // namespace test_support
