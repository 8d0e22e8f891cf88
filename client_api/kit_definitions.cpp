#include "client_api/kit_conversion.h"
#include "client_api/server_query.h"

#include "bam/barcode_naming.h"

#include <stdexcept>
#include <utility>

namespace vexil {
namespace server_query {

namespace {

std::string range_error(const char* operation, int index, int first, int last) {
    return std::string(operation) + " index " + std::to_string(index) + " out of range [" + std::to_string(first) +
           " .. " + std::to_string(last) + "]";
}

/// A kit whose first index is negative or past its last names no numbered barcodes.
bool is_valid_range(int first, int last) { return first >= 0 && first <= last; }

}  // namespace

class BarcodeKitDefinition::KitDefinitionImpl {
public:
    KitDefinitionImpl(std::string kit_name, int first_index, int last_index, int first_inner_index,
                      int last_inner_index, bool is_dual, bool is_both_ends, bool suffix_12a,
                      std::string naming_pattern)
        : kit_name(std::move(kit_name)),
          first_index(first_index),
          last_index(last_index),
          first_inner_index(first_inner_index),
          last_inner_index(last_inner_index),
          is_dual(is_dual),
          is_both_ends(is_both_ends),
          suffix_12a(suffix_12a),
          naming_pattern(std::move(naming_pattern)) {}

    std::string generate_barcode_name(int outer_index, int inner_index) const {
        if (!is_valid_range(first_index, last_index)) {
            return naming_pattern;
        }
        if (!is_dual) {
            return get_outer_barcode(outer_index);
        }
        return bass::util::barcode_naming::generate_dual_normalised_id(get_outer_barcode(outer_index),
                                                                       get_inner_barcode(inner_index));
    }

    const std::string kit_name;
    const int first_index;
    const int last_index;
    const int first_inner_index;
    const int last_inner_index;
    const bool is_dual;
    const bool is_both_ends;
    const bool suffix_12a;
    const std::string naming_pattern;

private:
    std::string get_outer_barcode(int index) const {
        if (index < first_index || index > last_index) {
            throw std::out_of_range(range_error("get_outer_barcode", index, first_index, last_index));
        }
        return bass::util::barcode_naming::generate_normalised_id(naming_pattern, index, suffix_12a);
    }

    std::string get_inner_barcode(int index) const {
        if (index < first_inner_index || index > last_inner_index) {
            throw std::out_of_range(range_error("get_inner_barcode", index, first_inner_index, last_inner_index));
        }
        return bass::util::barcode_naming::generate_normalised_id(naming_pattern, index, suffix_12a);
    }
};

BarcodeKitDefinition::BarcodeKitDefinition(std::string kit_name, int first_index, int last_index, int first_inner_index,
                                           int last_inner_index, bool is_dual, bool is_both_ends, bool suffix_12a,
                                           std::string naming_pattern)
    : m_impl(std::make_shared<const KitDefinitionImpl>(std::move(kit_name), first_index, last_index, first_inner_index,
                                                       last_inner_index, is_dual, is_both_ends, suffix_12a,
                                                       std::move(naming_pattern))) {}

std::string BarcodeKitDefinition::kit_name() const { return m_impl->kit_name; }
int BarcodeKitDefinition::first_index() const { return m_impl->first_index; }
int BarcodeKitDefinition::last_index() const { return m_impl->last_index; }
int BarcodeKitDefinition::first_inner_index() const { return m_impl->first_inner_index; }
int BarcodeKitDefinition::last_inner_index() const { return m_impl->last_inner_index; }
bool BarcodeKitDefinition::is_dual() const { return m_impl->is_dual; }
bool BarcodeKitDefinition::is_both_ends() const { return m_impl->is_both_ends; }

std::string BarcodeKitDefinition::generate_barcode_name(int outer_index, int inner_index) const {
    return m_impl->generate_barcode_name(outer_index, inner_index);
}

class LampKitDefinition::LampKitDefinitionImpl {
public:
    LampKitDefinitionImpl(std::string kit_name, int first_index, int last_index, std::string naming_pattern,
                          std::vector<std::string> targets)
        : kit_name(std::move(kit_name)),
          first_index(first_index),
          last_index(last_index),
          naming_pattern(std::move(naming_pattern)),
          targets(std::move(targets)) {}

    std::string generate_barcode_name(int index) const {
        return is_valid_range(first_index, last_index) ? get_barcode(index) : naming_pattern;
    }

    const std::string kit_name;
    const int first_index;
    const int last_index;
    const std::string naming_pattern;
    const std::vector<std::string> targets;

private:
    std::string get_barcode(int index) const {
        if (index < first_index || index > last_index) {
            throw std::out_of_range(range_error("get_barcode", index, first_index, last_index));
        }
        return bass::util::barcode_naming::generate_normalised_id(naming_pattern, index, false);
    }
};

LampKitDefinition::LampKitDefinition(std::string kit_name, int first_index, int last_index, std::string naming_pattern,
                                     std::vector<std::string> targets)
    : m_impl(std::make_shared<const LampKitDefinitionImpl>(std::move(kit_name), first_index, last_index,
                                                           std::move(naming_pattern), std::move(targets))) {}

std::string LampKitDefinition::kit_name() const { return m_impl->kit_name; }
int LampKitDefinition::first_index() const { return m_impl->first_index; }
int LampKitDefinition::last_index() const { return m_impl->last_index; }
const std::vector<std::string>& LampKitDefinition::targets() const { return m_impl->targets; }
std::string LampKitDefinition::generate_barcode_name(int index) const { return m_impl->generate_barcode_name(index); }

BarcodeKitDefinition create_barcode_kit_definition(const basecall_service::server_proxy::BarcodeKit& kit) {
    return BarcodeKitDefinition(kit.kit_name, kit.first_index, kit.last_index, kit.first_inner_index,
                                kit.last_inner_index, kit.is_dual, kit.is_both_ends, kit.suffix_12a,
                                kit.naming_pattern);
}

LampKitDefinition create_lamp_kit_definition(const basecall_service::server_proxy::LampKit& kit) {
    return LampKitDefinition(kit.kit_name, kit.first_index, kit.last_index, kit.naming_pattern, kit.targets);
}

}  // namespace server_query
}  // namespace vexil
