#include "ipc_tools/client_options.h"

#include <string>
#include <typeinfo>
#include <utility>

namespace client_options {

namespace {

struct OptionRow {
    const char* key;
    std::type_index type;
};

std::vector<OptionRow> option_table() {
    const std::type_index string_type(typeid(std::string));
    const std::type_index bool_type(typeid(bool));
    const std::type_index int_type(typeid(int));
    const std::type_index unsigned_type(typeid(unsigned int));
    const std::type_index unsigned_long_long_type(typeid(unsigned long long));
    const std::type_index float_type(typeid(float));
    return {
            {"barcode_kits", string_type},
            {"num_extra_bases_trim", int_type},
            {"require_barcodes_both_ends", bool_type},
            {"allow_inferior_barcodes", bool_type},
            {"detect_barcodes", bool_type},
            {"detect_adapter", bool_type},
            {"detect_primer", bool_type},
            {"detect_mid_strand_barcodes", bool_type},
            {"detect_mid_strand_adapter", bool_type},
            {"min_score_barcode_front", float_type},
            {"min_score_barcode_rear", float_type},
            {"min_score_barcode_mask", float_type},
            {"min_score_barcode_mid", float_type},
            {"min_score_adapter_mid", float_type},
            {"min_score_adapter", float_type},
            {"min_score_primer", float_type},
            {"enable_trim_barcodes", bool_type},
            {"trim_adapters", bool_type},
            {"trim_primers", bool_type},
            {"lamp_kit", string_type},
            {"min_score_lamp", float_type},
            {"min_score_lamp_mask", float_type},
            {"min_score_lamp_target", float_type},
            {"additional_lamp_context_bases", unsigned_long_long_type},
            {"min_length_lamp_context", unsigned_long_long_type},
            {"min_length_lamp_target", unsigned_long_long_type},
            {"align_ref", string_type},
            {"align_type", string_type},
            {"bed_file", string_type},
            {"minimap_opt_string", string_type},
            {"move_and_trace_enabled", bool_type},
            {"post_out", bool_type},
            {"do_read_splitting", bool_type},
            {"max_read_split_depth", unsigned_type},
            {"min_score_read_splitting", float_type},
            {"barcode_list", string_type},
            {"pair_by_channel", bool_type},
    };
}

}  // namespace

RegisteredClientOptions::RegisteredClientOptions() {
    for (const auto& row : option_table()) {
        m_types.emplace(row.key, row.type);
        m_keys.emplace_back(row.key);
    }
}

std::optional<std::type_index> RegisteredClientOptions::type_of(const std::string& key) const {
    const auto found = m_types.find(key);
    if (found == m_types.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace client_options

namespace apps {

std::string application_version_string(bool /*full*/) { return "7.2.15+74d612b19"; }

}  // namespace apps
