#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reference_server {

/// A barcode kit the reference server knows. Barcode i of a kit has the sequence
/// `barcode_sequence(i)`; its name is the naming pattern formatted with i.
struct BarcodeKit {
    std::string name;
    std::uint32_t first_index = 1;
    std::uint32_t last_index = 12;
    std::string naming_pattern = "barcode%02i";
    bool is_dual = false;
    bool is_both_ends = false;
    bool suffix_12a = false;
    std::uint32_t first_inner_index = 0;
    std::uint32_t last_inner_index = 0;
};

struct LampKit {
    std::string name;
    std::uint32_t first_index = 1;
    std::uint32_t last_index = 1;
    std::string naming_pattern;
    std::vector<std::string> targets;
};

/// The kits every reference server offers.
const std::vector<BarcodeKit>& builtin_barcode_kits();
const std::vector<LampKit>& builtin_lamp_kits();
const BarcodeKit* find_barcode_kit(const std::string& name);

/// The 16-base sequence of barcode `index` (index below 65536): "CAAG", eight base-4 digits of
/// the index, "TTGC". No barcode sequence is a prefix of another.
std::string barcode_sequence(std::uint32_t index);
/// The name of barcode `index` in a kit, e.g. "barcode03".
std::string barcode_name(const BarcodeKit& kit, std::uint32_t index);

/// Splits a "barcode_kits" option into kit names (separated by spaces or commas; quotes ignored).
std::vector<std::string> split_kit_list(const std::string& text);

struct BarcodeClassification {
    std::string kit;
    std::string arrangement = "unclassified";  ///< "<kit>_<name>" or "unclassified"
    std::string barcode_id;                    ///< e.g. "barcode03", empty when unclassified
    std::string refseq;
    std::string foundseq;
    float score = 0.0F;
    int trim_front = 0;
};

/// Looks for a barcode of the given kits at the front of the sequence (exact match).
BarcodeClassification classify_barcode(const std::string& sequence, const std::vector<std::string>& kits);

}  // namespace reference_server
