#pragma once

// A sink of the host's own that counts what reaches it: the host's records (those with Boost.Log's
// trivial severity) and any other record.

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>

#include <atomic>
#include <string>

namespace host {

struct Counts {
    std::atomic<int> host{0};
    std::atomic<int> forwarded{0};  // host records whose text the library forwarded
    std::atomic<int> other{0};
};

class CountingBackend : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    explicit CountingBackend(Counts& counts) : m_counts(counts) {}
    void consume(const boost::log::record_view& record) {
        if (!boost::log::extract<boost::log::trivial::severity_level>("Severity", record)) {
            ++m_counts.other;
            return;
        }
        const auto text = boost::log::extract<std::string>("Message", record);
        ++(text && text->rfind("forwarded: ", 0) == 0 ? m_counts.forwarded : m_counts.host);
    }

private:
    Counts& m_counts;
};

using CountingSink = boost::log::sinks::synchronous_sink<CountingBackend>;

// The host's sink, filtered as hosts do: info and above of its own severity.
inline boost::shared_ptr<CountingSink> add_counting_sink(Counts& counts) {
    auto sink = boost::make_shared<CountingSink>(boost::make_shared<CountingBackend>(counts));
    sink->set_filter(boost::log::trivial::severity >= boost::log::trivial::info);
    boost::log::core::get()->add_sink(sink);
    return sink;
}

inline void host_records(int count) {
    for (int i = 0; i < count; ++i) {
        BOOST_LOG_TRIVIAL(info) << "host record " << i;
    }
    BOOST_LOG_TRIVIAL(debug) << "below the host's filters";
}

}  // namespace host
