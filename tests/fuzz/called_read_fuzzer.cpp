// A called-read reply (a first block with the further blocks it asks for, or a completed batch)
// through decoding into reads, with their barcoding and alignment results, as the read loop's pull
// step takes it: the reply frame is verified and typed, each read block goes to
// decode_called_read, and every decoded read is then read as a caller reads it.
//
// Input: frames (fuzz_support.h). Frame 0 holds the request options and the reads in flight
// (byte 0: bit 0 disable events, bit 1 pull state data; bytes 1..4: raw samples of each read in
// flight, tags 1 to 4). Frame 1 answers GET_FIRST_CALLED_BLOCK; each later frame answers one
// GET_NEXT_CALLED_BLOCK, and once they run out the link times out.

#include "basecall_client/called_read_decoder.h"
#include "interfaces/read_alignment_helper.h"
#include "ipc_tools/message.h"
#include "tests/fuzz/fuzz_support.h"

#include <zmq.hpp>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using basecall_service::ConnectionError;
using basecall_service::ErrorState;
using interfaces::ReadHolder;

constexpr std::uint32_t MAX_SAMPLES = 1U << 20;
constexpr std::uint64_t NUM_READS_IN_FLIGHT = 4;

// The read buffer's side of decoding: reads in flight, and sub-reads parked under (tag, sub tag).
class ReadsInFlight {
public:
    explicit ReadsInFlight(std::uint32_t samples) {
        for (std::uint64_t tag = 1; tag <= NUM_READS_IN_FLIGHT; ++tag) {
            auto read = std::make_unique<ReadHolder>();
            read->read_tag = tag;
            read->metadata.insert("read_id", "read_" + std::to_string(tag));
            read->metadata.insert<std::uint64_t>("duration", samples);
            read->datasets.emplace(dataset::raw_data,
                                   bass::data_wrappers::DataView(std::vector<std::int16_t>(samples, 3)));
            m_submitted[tag] = std::move(read);
        }
    }
    ReadHolder* get_submitted_read_holder(unsigned long long tag) const {
        const auto found = m_submitted.find(tag);
        return found == m_submitted.end() ? nullptr : found->second.get();
    }
    ReadHolder* results_of(unsigned long long tag) {
        results_asked.push_back(tag);
        return get_submitted_read_holder(tag);
    }
    ReadHolder make_sub_read(unsigned long long tag, unsigned long long sub_tag) const {
        ReadHolder sub_read;
        if (const ReadHolder* parent = get_submitted_read_holder(tag)) {
            sub_read.read_tag = parent->read_tag;
            sub_read.metadata = parent->metadata;
        }
        sub_read.sub_tag = sub_tag;
        return sub_read;
    }
    ReadHolder* add_temp_sub_read(ReadHolder& sub_read) {
        auto& slot = m_sub_reads[{sub_read.read_tag, sub_read.sub_tag}];
        if (!slot) {
            slot = std::make_unique<ReadHolder>(std::move(sub_read));
        }
        return slot.get();
    }

    std::vector<unsigned long long> results_asked;

private:
    std::map<std::uint64_t, std::unique_ptr<ReadHolder>> m_submitted;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::unique_ptr<ReadHolder>> m_sub_reads;
};

// Takes a frame in as the request broker does: one that does not verify or has no readable type is
// a bad reply.
bool receive(const std::string& frame, ipc_tools::Message& reply, ErrorState& error) {
    try {
        reply = ipc_tools::Message(zmq::message_t(frame.data(), frame.size()));
    } catch (const std::runtime_error& e) {
        error = {ConnectionError::bad_reply, e.what()};
        return false;
    }
    if (reply.get_type() == ipc_tools::UNSET || reply.get_type() == ipc_tools::INVALID_PROTOCOL) {
        error = {ConnectionError::bad_reply, "Could not interpret message from server"};
        return false;
    }
    return true;
}

// The broker adapter's side: the scripted replies to GET_NEXT_CALLED_BLOCK.
class ScriptedServer {
public:
    ScriptedServer(std::vector<std::string>::const_iterator next, std::vector<std::string>::const_iterator end)
        : m_next(next), m_end(end) {}
    ~ScriptedServer() {
        if (m_asked) {
            std::abort();  // a request left unanswered would block the socket's next one
        }
    }
    bool start_request(ipc_tools::Message& request) {
        // Decoding asks for nothing else, and for one block at a time.
        if (request.get_type() != ipc_tools::GET_NEXT_CALLED_BLOCK || m_asked) {
            std::abort();
        }
        m_asked = true;
        return true;
    }
    bool finish_request(ipc_tools::Message& reply) {
        if (!m_asked) {
            std::abort();
        }
        m_asked = false;
        if (m_next == m_end) {
            m_error = {ConnectionError::timed_out, "Timeout waiting for reply"};
            return false;
        }
        return receive(*m_next++, reply, m_error);
    }
    const ErrorState& error_state() const { return m_error; }
    std::string server_address() const { return "fuzzed server"; }

private:
    std::vector<std::string>::const_iterator m_next;
    std::vector<std::string>::const_iterator m_end;
    ErrorState m_error;
    bool m_asked = false;
};

volatile std::uint8_t g_sink;

// Reads every byte a dataset claims to hold, so a view that claims more than it owns is caught.
void touch(const bass::data_wrappers::DataView& view) {
    if (view.m_info.type == bass::data_wrappers::DataSetType::string) {
        g_sink = static_cast<std::uint8_t>(view.get_string().size());
        return;
    }
    const std::uint64_t bytes = view.m_info.size * view.m_info.type_size;
    if (bytes > 0 && view.m_data == nullptr) {
        std::abort();
    }
    const auto* data = static_cast<const std::uint8_t*>(view.m_data);
    std::uint8_t sum = 0;
    for (std::uint64_t i = 0; i < bytes; ++i) {
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    g_sink = sum;
}

// What a caller does with a finished read: its metadata as text, its datasets, its SAM lines.
void read_as_caller(const ReadHolder& read) {
    for (const auto& [key, type] : read.metadata.get_keys()) {
        (void)type;
        (void)read.metadata.get_as_string(key);
    }
    for (const auto& entry : read.datasets) {
        touch(entry.second);
    }
    try {
        (void)interfaces::ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, 128, true);
    } catch (const std::exception&) {
        // A read the SAM writer refuses gives its caller an error, which is acceptable here.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> frames = fuzz_support::split_frames(data, size);
    if (frames.size() < 2 || frames[0].size() < 5) {
        return 0;
    }
    const auto& control = frames[0];
    basecall_service::CalledReadOptions options;
    options.disable_events = (control[0] & 1) != 0;
    options.pull_state_data = (control[0] & 2) != 0;
    options.connection_id = "client-1";
    std::uint32_t samples = 0;
    for (int i = 4; i >= 1; --i) {
        samples = (samples << 8) | static_cast<std::uint8_t>(control[static_cast<std::size_t>(i)]);
    }
    ReadsInFlight reads(samples % MAX_SAMPLES);
    ScriptedServer server(frames.begin() + 2, frames.end());
    ErrorState error;
    basecall_service::BoundedReadWarning warning;

    ipc_tools::Message reply;
    if (!receive(frames[1], reply, error)) {
        return 0;
    }
    const auto decode = [&](const vexil_ipc::ReadBlockData* block) {
        ReadHolder* read = basecall_service::decode_called_read(reads, server, options, error, nullptr, warning, block);
        if (read == nullptr && error.code == ConnectionError::no_error) {
            std::abort();  // a refused read must say why
        }
        return read;
    };
    if (reply.get_type() == ipc_tools::RETURN_FIRST_CALLED_BLOCK) {
        const auto* block = reply.get_message_data()->content_as_ReadBlockData();
        if (block == nullptr) {
            return 0;
        }
        if (ReadHolder* read = decode(block)) {
            read_as_caller(*read);
        }
    } else if (reply.get_type() == ipc_tools::RETURN_COMPLETED_BATCH) {
        const auto* batch = reply.get_message_data()->content_as_ReadBatchData();
        if (batch == nullptr || batch->read_blocks() == nullptr) {
            return 0;
        }
        std::set<ReadHolder*> seen;
        for (const auto* block : *batch->read_blocks()) {
            ReadHolder* read = decode(block);
            if (read == nullptr || !seen.insert(read).second) {
                return 0;
            }
        }
        for (ReadHolder* read : seen) {
            read_as_caller(*read);
        }
    }
    return 0;
}
