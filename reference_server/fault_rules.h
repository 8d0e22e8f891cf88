#pragma once

#include "ipc_tools/message_type.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace reference_server {

/// What a fault rule makes the server do instead of (or besides) its normal reply.
enum class FaultAction {
    loading,                ///< reply LOADING
    not_ready,              ///< reply NOT_READY; a raw block or batch is not taken
    none_pending,           ///< reply NONE_PENDING (value 0); pending reads stay
    reads_lost,             ///< reply NONE_PENDING with value 1 and drop the client's reads
    client_not_recognised,  ///< reply CLIENT_NOT_RECOGNISED; the client stays registered
    restart,                ///< forget every client, then handle the request normally
    bad_request,            ///< reply BAD_REQUEST with the rule's text
    silence,                ///< send no reply at all
    delay,                  ///< send the normal reply after the rule's delay
    malformed_short,        ///< reply with a 4-byte frame (decodes as UNSET)
    malformed_identifier,   ///< reply with a frame whose file identifier is wrong
    malformed_content,      ///< reply with a frame that has the identifier but does not verify
    unknown_read_tag,       ///< the called read carries a tag the client never sent
    zero_duration,          ///< the called read carries duration 0
    oversized_genome_name,  ///< the called read carries an alignment with a 300-character genome
    repeated_block,         ///< a later block is answered with the later block sent before it
};

std::string to_string(FaultAction action);
/// Throws std::invalid_argument for an unknown name.
FaultAction fault_action_from_string(const std::string& name);
/// Whether the action changes a called read (and so applies only when a read is returned).
bool corrupts_called_read(FaultAction action);

/// One rule: which requests it applies to and which of their occurrences it fires on.
/// Every rule counts the requests that match its filter, 1-based, from server start (or from
/// the moment it was added); it fires on occurrences from `from` on, `count` times (for ever
/// when `count` is empty).
struct FaultRule {
    FaultAction action = FaultAction::bad_request;
    std::optional<ipc_tools::MessageType> request;  ///< any request type when empty
    std::optional<std::string> client;              ///< client id or client name; any when empty
    std::uint64_t from = 1;
    std::optional<std::uint64_t> count = 1;
    std::chrono::milliseconds delay{0};
    std::string text;  ///< BAD_REQUEST text; a default is used when empty
};

/// Parses "action[,request=TYPE][,client=ID][,from=N][,count=N|forever][,delay=MS][,text=...]".
/// `text` must come last (it may hold commas). Throws std::invalid_argument with a clear message.
FaultRule parse_fault_rule(const std::string& text);

/// Thread-safe rule set: tests add rules from their thread while the server consults them.
class FaultInjector {
public:
    struct Fired {
        std::size_t rule_index;
        FaultRule rule;
    };

    /// Returns the rule's index, for `times_fired`.
    std::size_t add(FaultRule rule);
    void clear();

    /// Counts the request against every rule whose filter it matches and returns the first rule
    /// that fires. Rules that change called reads only see requests for which `has_called_read`.
    std::optional<Fired> check(ipc_tools::MessageType type, const std::string& client_id,
                               const std::string& client_name, bool has_called_read);

    std::uint64_t times_fired(std::size_t rule_index) const;
    std::size_t size() const;

private:
    struct Entry {
        FaultRule rule;
        std::uint64_t seen = 0;
        std::uint64_t fired = 0;
    };
    mutable std::mutex m_mutex;
    std::vector<Entry> m_rules;
};

}  // namespace reference_server
