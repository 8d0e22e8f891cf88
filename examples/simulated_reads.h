#pragma once

// Reads cut from a reference and turned into raw signal under the reference server's signal model:
// every base is `stride` samples at its own current level (A 70, C 90, G 110, T 130 pA, plus noise
// below half the spacing), current = (raw + daq_offset) * daq_scaling. Such a read is called back
// to exactly its source sequence.

#include "client_api/read.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace example {

struct Contig {
    std::string name;
    std::string sequence;
};

/// The records of a FASTA file, upper-cased.
inline std::vector<Contig> load_fasta(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("Cannot read the reference " + path);
    }
    std::vector<Contig> contigs;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '>') {
            std::istringstream header(line.substr(1));
            contigs.push_back(Contig{});
            header >> contigs.back().name;
        } else if (!contigs.empty()) {
            for (const char c : line) {
                if (!std::isspace(static_cast<unsigned char>(c))) {
                    contigs.back().sequence.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
                }
            }
        }
    }
    if (contigs.empty()) {
        throw std::runtime_error("No FASTA record in " + path);
    }
    return contigs;
}

inline std::string reverse_complement(const std::string& sequence) {
    std::string result(sequence.rbegin(), sequence.rend());
    for (char& base : result) {
        base = base == 'A' ? 'T' : base == 'C' ? 'G' : base == 'G' ? 'C' : base == 'T' ? 'A' : 'N';
    }
    return result;
}

/// Where a simulated read came from.
struct ReadSource {
    std::size_t contig = 0;
    std::uint64_t start = 0;  ///< 0-based
    std::uint64_t length = 0;
    bool reverse = false;
    std::uint64_t samples = 0;
};

class ReadSimulator {
public:
    ReadSimulator(const std::vector<Contig>& contigs, std::uint32_t stride, std::uint64_t min_bases,
                  std::uint64_t max_bases, std::uint32_t seed)
        : m_contigs(contigs), m_stride(stride), m_min_bases(min_bases), m_max_bases(max_bases), m_random(seed) {}

    /// A new read with `tag`; `source` says where it came from. Lengths are spread evenly on a
    /// log scale, so short and long reads are both common.
    vexil::Read make(std::uint64_t tag, ReadSource& source) {
        std::uniform_int_distribution<std::size_t> pick_contig(0, m_contigs.size() - 1);
        source.contig = pick_contig(m_random);
        const std::string& contig = m_contigs[source.contig].sequence;
        std::uniform_real_distribution<double> log_length(std::log(static_cast<double>(m_min_bases)),
                                                          std::log(static_cast<double>(m_max_bases)));
        source.length =
                std::min<std::uint64_t>(static_cast<std::uint64_t>(std::exp(log_length(m_random))), contig.size());
        std::uniform_int_distribution<std::uint64_t> pick_start(0, contig.size() - source.length);
        source.start = pick_start(m_random);
        source.reverse = std::bernoulli_distribution(0.5)(m_random);
        const std::string bases = sequence_of(source);

        std::uniform_real_distribution<double> noise(-6.0, 6.0);
        std::vector<std::int16_t> raw;
        raw.reserve(bases.size() * m_stride);
        for (const char base : bases) {
            const double level = 70.0 + 20.0 * static_cast<double>(std::string("ACGT").find(base));
            for (std::uint32_t i = 0; i < m_stride; ++i) {
                raw.push_back(
                        static_cast<std::int16_t>(std::lround((level + noise(m_random)) / DAQ_SCALING - DAQ_OFFSET)));
            }
        }
        source.samples = raw.size();

        vexil::Read read;
        read.set_read_tag(tag);
        read.get_metadata().insert("read_id", "example_read_" + std::to_string(tag));
        read.get_metadata().insert<float>("daq_offset", DAQ_OFFSET);
        read.get_metadata().insert<float>("daq_scaling", DAQ_SCALING);
        read.get_datasets().emplace(bass::data_wrappers::dataset::raw_data,
                                    bass::data_wrappers::DataView(std::move(raw)));
        return read;
    }

    /// The bases the read must be called as.
    std::string sequence_of(const ReadSource& source) const {
        const std::string forward = m_contigs[source.contig].sequence.substr(source.start, source.length);
        return source.reverse ? reverse_complement(forward) : forward;
    }

private:
    static constexpr float DAQ_OFFSET = 10.0F;
    static constexpr float DAQ_SCALING = 0.5F;

    const std::vector<Contig>& m_contigs;
    std::uint32_t m_stride;
    std::uint64_t m_min_bases;
    std::uint64_t m_max_bases;
    std::mt19937_64 m_random;
};

/// The regions of a BED file ("chrom start end ..." lines).
struct BedRegion {
    std::string chrom;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

inline std::vector<BedRegion> load_bed(const std::string& path) {
    std::vector<BedRegion> regions;
    if (path.empty()) {
        return regions;
    }
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("Cannot read the BED file " + path);
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        BedRegion region;
        if (line.empty() || line[0] == '#' || line.rfind("track", 0) == 0 || line.rfind("browser", 0) == 0) {
            continue;
        }
        if (!(fields >> region.chrom >> region.start >> region.end)) {
            throw std::runtime_error("Malformed BED line in " + path + ": " + line);
        }
        regions.push_back(region);
    }
    return regions;
}

}  // namespace example
