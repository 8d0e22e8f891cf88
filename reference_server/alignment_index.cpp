#include "reference_server/alignment_index.h"

#include "reference_server/signal_model.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace reference_server {

namespace {

std::string sam_line(const std::string& read_id, int flag, const AlignmentHit& hit, const std::string& sequence,
                     const std::string& qstring) {
    std::ostringstream out;
    const bool mapped = hit.genome != "*";
    out << (read_id.empty() ? std::string("*") : read_id) << '\t' << flag << '\t' << hit.genome << '\t'
        << (mapped ? hit.genome_start + 1 : 0) << '\t' << hit.mapping_quality << '\t'
        << (mapped ? std::to_string(sequence.size()) + "M" : std::string("*")) << "\t*\t0\t0\t"
        << (sequence.empty() ? std::string("*") : sequence) << '\t' << (qstring.empty() ? std::string("*") : qstring);
    if (mapped) {
        out << "\tNM:i:0";
    }
    return out.str();
}

}  // namespace

AlignmentIndex::AlignmentIndex(std::vector<Reference> references) : m_references(std::move(references)) {}

AlignmentIndex AlignmentIndex::load_fasta(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("Could not open alignment index file: " + path);
    }
    std::vector<Reference> references;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        if (line[0] == '>') {
            std::istringstream header(line.substr(1));
            Reference reference;
            header >> reference.name;
            if (reference.name.empty()) {
                throw std::runtime_error("FASTA record without a name in " + path);
            }
            references.push_back(std::move(reference));
            continue;
        }
        if (references.empty()) {
            throw std::runtime_error("Not a FASTA file (sequence before the first header): " + path);
        }
        for (const char c : line) {
            if (!std::isspace(static_cast<unsigned char>(c))) {
                references.back().sequence.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
            }
        }
    }
    return AlignmentIndex(std::move(references));
}

std::string AlignmentIndex::sam_header() const {
    std::ostringstream out;
    out << "@HD\tVN:1.6\tSO:unsorted\n";
    for (const auto& reference : m_references) {
        out << "@SQ\tSN:" << reference.name << "\tLN:" << reference.sequence.size() << '\n';
    }
    out << "@PG\tID:reference_aligner\tPN:reference_aligner\tVN:1.0\n";
    return out.str();
}

std::vector<AlignmentHit> AlignmentIndex::align(const std::string& read_id, const std::string& sequence,
                                                const std::string& qstring, std::size_t max_hits) const {
    std::vector<AlignmentHit> hits;
    const auto length = static_cast<std::uint32_t>(sequence.size());
    if (!sequence.empty()) {
        const std::string reverse = reverse_complement(sequence);
        for (const char direction : {'+', '-'}) {
            const std::string& needle = direction == '+' ? sequence : reverse;
            for (const auto& reference : m_references) {
                for (auto pos = reference.sequence.find(needle); pos != std::string::npos && hits.size() < max_hits;
                     pos = reference.sequence.find(needle, pos + 1)) {
                    AlignmentHit hit;
                    hit.genome = reference.name;
                    hit.direction = direction;
                    hit.genome_start = static_cast<std::uint32_t>(pos);
                    hit.genome_end = static_cast<std::uint32_t>(pos + length);
                    hit.strand_end = length;
                    hit.num_aligned = length;
                    hits.push_back(std::move(hit));
                }
            }
        }
    }
    if (hits.empty()) {
        AlignmentHit unmapped;
        unmapped.genome = "*";
        unmapped.sam_record = sam_line(read_id, 4, unmapped, sequence, qstring);
        hits.push_back(std::move(unmapped));
        return hits;
    }
    const std::uint32_t mapq = hits.size() == 1 ? 60 : 0;
    const std::string reverse_sequence = reverse_complement(sequence);
    const std::string reverse_qstring(qstring.rbegin(), qstring.rend());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        auto& hit = hits[i];
        hit.is_secondary = i > 0;
        hit.mapping_quality = mapq;
        const bool reverse = hit.direction == '-';
        const int flag = (reverse ? 16 : 0) | (hit.is_secondary ? 256 : 0);
        hit.sam_record = sam_line(read_id, flag, hit, reverse ? reverse_sequence : sequence,
                                  reverse ? reverse_qstring : qstring);
    }
    return hits;
}

BedFile BedFile::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("Could not open BED file: " + path);
    }
    std::vector<Entry> entries;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#' || line.rfind("track", 0) == 0 || line.rfind("browser", 0) == 0) {
            continue;
        }
        std::istringstream fields(line);
        Entry entry;
        long long start = -1;
        long long end = -1;
        if (!(fields >> entry.chrom >> start >> end) || start < 0 || end < start) {
            throw std::runtime_error("Malformed BED line " + std::to_string(number) + " in " + path);
        }
        entry.start = static_cast<std::uint64_t>(start);
        entry.end = static_cast<std::uint64_t>(end);
        entry.line = line;
        entries.push_back(std::move(entry));
    }
    return BedFile(std::move(entries));
}

std::vector<std::string> BedFile::hits(const std::string& chrom, std::uint64_t start, std::uint64_t end) const {
    std::vector<std::string> lines;
    for (const auto& entry : m_entries) {
        if (entry.chrom == chrom && entry.start < end && start < entry.end) {
            lines.push_back(entry.line);
        }
    }
    return lines;
}

void BedFile::annotate(AlignmentHit& hit) const {
    if (hit.genome == "*") {
        return;
    }
    const auto lines = hits(hit.genome, hit.genome_start, hit.genome_end);
    hit.bed_hits = static_cast<std::uint32_t>(lines.size());
    hit.bed_lines.clear();
    for (const auto& line : lines) {
        if (!hit.bed_lines.empty()) {
            hit.bed_lines += '\n';
        }
        hit.bed_lines += line;
    }
}

}  // namespace reference_server
