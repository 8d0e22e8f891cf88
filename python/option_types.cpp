#include "python/option_types.h"

namespace tessellpy {

const std::map<std::string, OptionType>& client_option_types() {
    static const std::map<std::string, OptionType> types = {
            {"client_name", OptionType::string},
            {"query_timeout", OptionType::uint32},
            {"pass_read_timeout", OptionType::uint32},
            {"server_file_load_timeout", OptionType::uint32},
            {"connection_timeout", OptionType::uint32},
            {"reconnect_timeout", OptionType::uint32},
            {"max_reads_queued", OptionType::uint64},
            {"max_message_size", OptionType::uint64},
            {"max_server_read_failures", OptionType::uint64},
    };
    return types;
}

std::vector<std::pair<std::string, OptionType>> connection_option_types() {
    return {
            {"barcode_kits", OptionType::string},
            {"num_extra_bases_trim", OptionType::int32},
            {"require_barcodes_both_ends", OptionType::boolean},
            {"allow_inferior_barcodes", OptionType::boolean},
            {"detect_barcodes", OptionType::boolean},
            {"detect_adapter", OptionType::boolean},
            {"detect_primer", OptionType::boolean},
            {"detect_mid_strand_barcodes", OptionType::boolean},
            {"detect_mid_strand_adapter", OptionType::boolean},
            {"min_score_barcode_front", OptionType::float32},
            {"min_score_barcode_rear", OptionType::float32},
            {"min_score_barcode_mask", OptionType::float32},
            {"min_score_barcode_mid", OptionType::float32},
            {"min_score_adapter_mid", OptionType::float32},
            {"min_score_adapter", OptionType::float32},
            {"min_score_primer", OptionType::float32},
            {"enable_trim_barcodes", OptionType::boolean},
            {"trim_adapters", OptionType::boolean},
            {"trim_primers", OptionType::boolean},
            {"lamp_kit", OptionType::string},
            {"min_score_lamp", OptionType::float32},
            {"min_score_lamp_mask", OptionType::float32},
            {"min_score_lamp_target", OptionType::float32},
            {"additional_lamp_context_bases", OptionType::uint64},
            {"min_length_lamp_context", OptionType::uint64},
            {"min_length_lamp_target", OptionType::uint64},
            {"align_ref", OptionType::string},
            {"align_type", OptionType::string},
            {"bed_file", OptionType::string},
            {"minimap_opt_string", OptionType::string},
            {"move_and_trace_enabled", OptionType::boolean},
            {"post_out", OptionType::boolean},
            {"do_read_splitting", OptionType::boolean},
            {"max_read_split_depth", OptionType::uint32},
            {"min_score_read_splitting", OptionType::float32},
            {"barcode_list", OptionType::string},
            {"pair_by_channel", OptionType::boolean},
    };
}

}  // namespace tessellpy
