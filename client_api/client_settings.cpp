#include "client_api/client_settings.h"

#include "common/logger.h"

namespace vexil {

namespace {

/// Copies the value of `key` into `member` only when it is stored as exactly a T.
template <typename T>
bool take(const bass::data_wrappers::Metadata& params, const char* key, T& member) {
    const T* value = nullptr;
    if (!params.extract<T>(key, value)) {
        return false;
    }
    member = *value;
    return true;
}

}  // namespace

void take_client_name(ClientSettings& settings, const bass::data_wrappers::Metadata& params) {
    take(params, "client_name", settings.client_name);
}

void take_settings(ClientSettings& settings, const bass::data_wrappers::Metadata& params) {
    take(params, "query_timeout", settings.timeout_ms);
    take(params, "server_file_load_timeout", settings.server_file_load_timeout_s);
    take(params, "pass_read_timeout", settings.pass_read_timeout_ms);
    take(params, "connection_timeout", settings.connection_timeout_ms);
    take(params, "reconnect_timeout", settings.reconnect_timeout_s);
    std::uint64_t block_size = 0;
    if (take(params, "max_message_size", block_size)) {
        // A block of no samples would divide by zero when reads are cut into blocks.
        if (block_size == 0) {
            ZEV_LOG(common::logging::warning) << "max_message_size 0 ignored; it stays " << settings.block_size;
        } else {
            settings.block_size = block_size;
        }
    }
    take(params, "max_reads_queued", settings.max_reads_queued);
    take(params, "barcode_kits", settings.barcode_kits);
    take(params, "align_ref", settings.align_index_file);
    take(params, "bed_file", settings.bed_file);
    take(params, "minimap_opt_string", settings.minimap2_opt_string);
    take(params, "align_type", settings.align_type);
    take(params, "post_out", settings.enable_state_data);
    take(params, "pair_by_channel", settings.pair_by_channel);
    take(params, "max_server_read_failures", settings.max_server_read_failures);
    if (params.exists(client_options::move_and_trace_enabled::key)) {
        settings.disable_events = !params.get<client_options::move_and_trace_enabled>();
    }
    settings.params.merge(params);
    if (!settings.barcode_kits.empty()) {
        settings.params.insert("detect_barcodes", true);
    }
}

}  // namespace vexil
