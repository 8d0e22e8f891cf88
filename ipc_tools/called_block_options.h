#pragma once

// The option bits that a GET_FIRST_CALLED_BLOCK request carries in its value: what the client asks
// to be sent with each called block. Client and server read them from here alone.

#include <cstdint>

namespace ipc_tools::called_block_option {

/// No move, trace, run-length or modified-base data.
constexpr std::uint32_t disable_events = 1U;
/// The state data of each block as well.
constexpr std::uint32_t pull_state_data = 2U;

}  // namespace ipc_tools::called_block_option
