#include "reference_server/fault_effect.h"

#include "reference_server/reply_builder.h"

namespace reference_server {

using namespace ipc_tools;

FaultEffect fault_effect(const FaultRule& rule, const std::string& client_id) {
    FaultEffect effect;
    switch (rule.action) {
        case FaultAction::loading:
            effect.answer = simple_reply(LOADING, client_id);
            break;
        case FaultAction::not_ready:
            effect.answer = simple_reply(NOT_READY, client_id);
            break;
        case FaultAction::none_pending:
            effect.answer = simple_reply(NONE_PENDING, client_id, 0);
            break;
        case FaultAction::reads_lost:
            effect.drop_reads = true;
            effect.answer = simple_reply(NONE_PENDING, client_id, 1);
            break;
        case FaultAction::client_not_recognised:
            effect.answer = simple_reply(CLIENT_NOT_RECOGNISED, client_id);
            break;
        case FaultAction::restart:
            effect.forget_clients = true;
            break;
        case FaultAction::bad_request:
            effect.answer =
                    simple_reply(BAD_REQUEST, client_id, 0,
                                 rule.text.empty() ? std::string("Request refused by fault injection") : rule.text);
            break;
        case FaultAction::silence:
            effect.answer = no_reply();
            break;
        case FaultAction::delay:
            effect.delay = rule.delay;
            break;
        case FaultAction::malformed_short:
            effect.answer = raw_reply(reply_builder::malformed_short_frame());
            break;
        case FaultAction::malformed_identifier:
            effect.answer = raw_reply(reply_builder::malformed_identifier_frame());
            break;
        case FaultAction::malformed_content:
            effect.answer = raw_reply(reply_builder::malformed_content_frame());
            break;
        case FaultAction::unknown_read_tag:
            effect.corruption.unknown_tag = true;
            break;
        case FaultAction::zero_duration:
            effect.corruption.zero_duration = true;
            break;
        case FaultAction::oversized_genome_name:
            effect.corruption.oversized_genome_name = true;
            break;
        case FaultAction::repeated_block:
            effect.corruption.repeated_block = true;
            break;
    }
    return effect;
}

}  // namespace reference_server
