#include "reference_server/barcode_kits.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace reference_server {

const std::vector<BarcodeKit>& builtin_barcode_kits() {
    static const std::vector<BarcodeKit> kits = [] {
        std::vector<BarcodeKit> result;
        BarcodeKit twelve;
        twelve.name = "SIM-BC12";
        result.push_back(twelve);
        BarcodeKit ninety_six;
        ninety_six.name = "SIM-BC96";
        ninety_six.last_index = 96;
        ninety_six.is_both_ends = true;
        ninety_six.suffix_12a = true;
        result.push_back(ninety_six);
        return result;
    }();
    return kits;
}

const std::vector<LampKit>& builtin_lamp_kits() {
    static const std::vector<LampKit> kits = [] {
        LampKit lamp;
        lamp.name = "SIM-LAMP";
        lamp.first_index = 1;
        lamp.last_index = 8;
        lamp.naming_pattern = "FIP%02i";
        lamp.targets = {"target_a", "target_b"};
        return std::vector<LampKit>{lamp};
    }();
    return kits;
}

const BarcodeKit* find_barcode_kit(const std::string& name) {
    const auto& kits = builtin_barcode_kits();
    const auto it = std::find_if(kits.begin(), kits.end(), [&](const BarcodeKit& kit) { return kit.name == name; });
    return it == kits.end() ? nullptr : &*it;
}

std::string barcode_sequence(std::uint32_t index) {
    if (index >= 65536U) {
        throw std::invalid_argument("Barcode index out of range");
    }
    std::string sequence = "CAAG";
    for (int digit = 7; digit >= 0; --digit) {
        sequence.push_back("ACGT"[(index >> (2 * digit)) & 3U]);
    }
    sequence += "TTGC";
    return sequence;
}

std::string barcode_name(const BarcodeKit& kit, std::uint32_t index) {
    // The naming patterns are the server's own constants, each with one integer conversion.
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), kit.naming_pattern.c_str(), static_cast<int>(index));
    std::string name = buffer;
    if (kit.suffix_12a && index == 12) {
        name += 'a';
    }
    return name;
}

std::vector<std::string> split_kit_list(const std::string& text) {
    std::vector<std::string> kits;
    std::string current;
    for (const char c : text + " ") {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!current.empty()) {
                kits.push_back(current);
                current.clear();
            }
        } else if (c != '"' && c != '\'') {
            current.push_back(c);
        }
    }
    return kits;
}

BarcodeClassification classify_barcode(const std::string& sequence, const std::vector<std::string>& kits) {
    BarcodeClassification result;
    for (const auto& kit_name : kits) {
        const BarcodeKit* kit = find_barcode_kit(kit_name);
        if (kit == nullptr) {
            continue;
        }
        for (std::uint32_t index = kit->first_index; index <= kit->last_index; ++index) {
            const std::string refseq = barcode_sequence(index);
            if (sequence.compare(0, refseq.size(), refseq) == 0) {
                result.kit = kit->name;
                result.barcode_id = barcode_name(*kit, index);
                result.arrangement = kit->name + "_" + result.barcode_id;
                result.refseq = refseq;
                result.foundseq = refseq;
                result.score = 100.0F;
                result.trim_front = static_cast<int>(refseq.size());
                return result;
            }
        }
    }
    if (!kits.empty()) {
        result.kit = kits.front();
    }
    return result;
}

}  // namespace reference_server
