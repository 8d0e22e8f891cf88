#include "common/logging/formatters.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/expressions/formatters/date_time.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/expressions/formatters/stream.hpp>
#include <boost/log/support/date_time.hpp>

#include <array>

namespace common {
namespace logging {

namespace {

namespace expr = boost::log::expressions;

// GCC writes "{anonymous}" where the line layout expects "(anonymous namespace)"; both name an
// unnamed namespace, and the layout's rules are written for the latter.
constexpr const char* GCC_ANONYMOUS = "{anonymous}";
constexpr const char* ANONYMOUS_NAMESPACE = "(anonymous namespace)";

void normalise_anonymous_namespaces(std::string& text) {
    const std::string gcc_form(GCC_ANONYMOUS);
    for (auto pos = text.find(gcc_form); pos != std::string::npos;
         pos = text.find(gcc_form, pos + std::char_traits<char>::length(ANONYMOUS_NAMESPACE))) {
        text.replace(pos, gcc_form.size(), ANONYMOUS_NAMESPACE);
    }
}

// One fixed line layout; which elements it writes is decided when the sink is created.
template <bool TimeStamp, bool Channel, bool Severity, bool Function, bool ThreadId>
class LineFormatter {
public:
    LineFormatter() {
        if constexpr (TimeStamp) {
            m_timestamp = expr::stream << expr::format_date_time<boost::posix_time::ptime>("TimeStamp",
                                                                                           "%Y-%m-%d %H:%M:%S.%f ");
        }
    }

    void operator()(const boost::log::record_view& record, boost::log::formatting_ostream& stream) const {
        if constexpr (TimeStamp) {
            m_timestamp(record, stream);
        }
        if constexpr (Channel) {
            stream << "[zev/";
            if (const auto channel = record[attributes::log_channel]) {
                stream << *channel;
            }
            stream << "] ";
        }
        if constexpr (Severity) {
            stream << "{";
            if (const auto severity = record[attributes::severity]) {
                stream << attributes::to_string(*severity);
            }
            stream << "} ";
        }
        if constexpr (Function) {
            expressions::detail::format_pretty_function(record, stream);
            stream << ": ";
        }
        if constexpr (ThreadId) {
            stream << "(thread: ";
            if (const auto thread_id = record[attributes::thread_id]) {
                stream << *thread_id;
            }
            stream << ") ";
        }
        if (const auto message = record[expr::smessage]) {
            stream << *message;
        }
    }

private:
    boost::log::formatter m_timestamp;
};

template <std::size_t Index>
boost::log::formatter make_formatter() {
    return LineFormatter<(Index & 16) != 0, (Index & 8) != 0, (Index & 4) != 0, (Index & 2) != 0, (Index & 1) != 0>();
}

template <std::size_t... Indices>
boost::log::formatter select_formatter(std::size_t index, std::index_sequence<Indices...>) {
    using Factory = boost::log::formatter (*)();
    static constexpr std::array<Factory, sizeof...(Indices)> factories{&make_formatter<Indices>...};
    return factories[index]();
}

}  // namespace

boost::log::formatter CreateLogFormatters(const FormatterSettings& settings) {
    const std::size_t index = (settings.timestamp ? 16u : 0u) + (settings.channel ? 8u : 0u) +
                              (settings.severity ? 4u : 0u) + (settings.function ? 2u : 0u) +
                              (settings.thread_id ? 1u : 0u);
    return select_formatter(index, std::make_index_sequence<32>());
}

std::string bare_function_name(std::string text) {
    normalise_anonymous_namespaces(text);
    const auto open_paren = text.find('(');
    if (open_paren == std::string::npos) {
        return text;
    }
    text.erase(open_paren);
    // Blanks inside template arguments of the return type must not count as the separator below.
    const auto first_angle = text.find('<');
    const auto last_angle = text.rfind('>');
    if (first_angle != std::string::npos && last_angle != std::string::npos && first_angle < last_angle) {
        text.erase(first_angle + 1, last_angle - first_angle - 1);
    }
    const auto last_blank = text.rfind(' ');
    if (last_blank != std::string::npos) {
        text.erase(0, last_blank + 1);
    }
    return text;
}

namespace expressions {
namespace detail {
void format_pretty_function(const boost::log::record_view& record, boost::log::formatting_ostream& stream) {
    const auto function = record[attributes::function];
    if (!function) {
        return;
    }
    stream << bare_function_name(*function);
}
}  // namespace detail
}  // namespace expressions

}  // namespace logging
}  // namespace common
