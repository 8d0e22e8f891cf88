#pragma once

#include <boost/log/attributes/attribute_set.hpp>
#include <boost/log/attributes/attribute_value_set.hpp>
#include <boost/log/core/record.hpp>
#include <boost/log/sinks/sink.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

#include <vector>

namespace common {
namespace logging {

// The library's own sinks and on/off switch. The Boost.Log core is one per process and belongs to
// the host: the library changes nothing in it (no filter, no switch, no exception handler, no
// attributes, no sink kept there), so the host's records meet only the host's sinks, in whatever
// order the two set up, and a library that is unloaded leaves nothing of its code behind in the
// core. The core only makes the library's records; they are handed to these sinks alone, so the
// host's sinks never see them (the host takes them through a log forwarder when it wants them).
//
// Changes are made with the logging gate closed, reads with it held (see LoggingGate).
class LibraryCore {
public:
    using SinkPtr = boost::shared_ptr<boost::log::sinks::sink>;

    // Never destroyed: records may be written during static destruction.
    static LibraryCore& instance();

    LibraryCore(const LibraryCore&) = delete;
    LibraryCore& operator=(const LibraryCore&) = delete;

    void add_sink(const SinkPtr& sink);
    void remove_sink(const SinkPtr& sink);
    void remove_all_sinks();
    void set_logging_enabled(bool enabled);
    bool get_logging_enabled() const { return m_enabled; }

    // Whether some sink of the library takes a record of these source attributes; nothing is made.
    bool wants(const boost::log::attribute_set& source) const;
    // A record of the core when some sink of the library takes it, else an empty one.
    boost::log::record open_record(const boost::log::attribute_set& source) const;
    // Hands the record to the library's sinks that take it, and to no other.
    void push_record(boost::log::record&& record) const;

private:
    LibraryCore() = default;

    std::vector<SinkPtr> m_sinks;
    bool m_enabled = true;
};

// Adds or removes a sink of the library's own (a test's recorder, say), closing the logging gate.
void attach_library_sink(const LibraryCore::SinkPtr& sink);
void detach_library_sink(const LibraryCore::SinkPtr& sink);

}  // namespace logging
}  // namespace common
