#pragma once

#include "client_api/read.h"
#include "data_wrappers/metadata.h"

#include <cstdint>
#include <string>

namespace vexil {

/// What set_params configures, with the defaults a new client has.
struct ClientSettings {
    Read::Priority priority = Read::MEDIUM_PRIORITY;
    std::uint32_t connection_timeout_ms = 15000;
    std::string barcode_kits;
    std::string align_index_file;
    std::string bed_file;
    std::string minimap2_opt_string;
    std::string align_type = "auto";
    std::string client_name;
    std::uint32_t timeout_ms = 2000;
    std::uint32_t server_file_load_timeout_s = 180;
    std::uint32_t pass_read_timeout_ms = 0;
    std::uint32_t reconnect_timeout_s = 300;
    std::uint64_t block_size = 256000;
    std::uint64_t max_reads_queued = 20;
    std::uint64_t max_server_read_failures = 10;
    bool disable_events = true;
    bool enable_state_data = false;
    bool pair_by_channel = false;
    /// Every parameter given, merged; the registered connection options among them reach the server.
    bass::data_wrappers::Metadata params;
};

/// Takes "client_name" from `params` when it holds a string.
void take_client_name(ClientSettings& settings, const bass::data_wrappers::Metadata& params);

/// Takes the other settings, each only when its key holds exactly the listed type, then merges
/// `params` into the kept parameters. A "move_and_trace_enabled" that is not a bool throws
/// std::out_of_range before anything is merged.
void take_settings(ClientSettings& settings, const bass::data_wrappers::Metadata& params);

}  // namespace vexil
