#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace reference_server {

/// Largest alignment index or BED file the server loads unless told otherwise: far beyond any
/// test genome, yet small enough that a wrong path (a device, a whole genome) cannot take the
/// server's memory.
constexpr std::uint64_t default_max_load_file_bytes = std::uint64_t{256} << 20;

/// What a load of an index or BED file may do: only a regular file of at most `max_bytes` is
/// read, and a set `cancel` abandons the load (the server stopping).
struct LoadLimits {
    std::uint64_t max_bytes = default_max_load_file_bytes;
    const std::atomic<bool>* cancel = nullptr;
};

/// One alignment of a called sequence against a reference.
struct AlignmentHit {
    std::string genome;    ///< reference name, "*" for an unmapped read
    char direction = '*';  ///< '+', '-' or '*'
    std::uint32_t genome_start = 0;
    std::uint32_t genome_end = 0;
    std::uint32_t strand_start = 0;
    std::uint32_t strand_end = 0;
    std::uint32_t num_aligned = 0;
    std::uint32_t mapping_quality = 0;
    bool is_secondary = false;
    std::string sam_record;
    std::uint32_t bed_hits = 0;
    std::string bed_lines;
};

/// An alignment index loaded from a FASTA file. The aligner finds exact occurrences of the called
/// sequence on either strand; this is all a simulated read needs to find its true position.
class AlignmentIndex {
public:
    struct Reference {
        std::string name;
        std::string sequence;
    };

    /// Reads a FASTA file (">name description" headers, sequence lines, upper-cased).
    /// Throws std::runtime_error when the file cannot be read, is not a regular file, exceeds
    /// the limit or is not FASTA.
    static AlignmentIndex load_fasta(const std::string& path, const LoadLimits& limits = {});
    explicit AlignmentIndex(std::vector<Reference> references);

    const std::vector<Reference>& references() const { return m_references; }
    bool empty() const { return m_references.empty(); }
    /// "@HD", one "@SQ" per reference and an "@PG" line, each ended by a newline.
    std::string sam_header() const;

    /// Every exact hit, forward strand first, reference order then position; at most
    /// `max_hits`. The first hit is primary, the rest secondary. A read without a hit gives one
    /// unmapped record. SAM records carry the read id, sequence and qualities.
    std::vector<AlignmentHit> align(const std::string& read_id, const std::string& sequence, const std::string& qstring,
                                    std::size_t max_hits = 5) const;

private:
    std::vector<Reference> m_references;
};

/// A BED file: tab- or space-separated lines "chrom start end ...". Header, track and comment
/// lines are skipped.
class BedFile {
public:
    struct Entry {
        std::string chrom;
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::string line;
    };
    /// Throws std::runtime_error when the file cannot be read, is not a regular file, exceeds the
    /// limit or a data line is malformed.
    static BedFile load(const std::string& path, const LoadLimits& limits = {});
    explicit BedFile(std::vector<Entry> entries) : m_entries(std::move(entries)) {}

    /// The lines of all entries on `chrom` that overlap [start, end).
    std::vector<std::string> hits(const std::string& chrom, std::uint64_t start, std::uint64_t end) const;
    /// Fills bed_hits and bed_lines ("\n"-separated) of a mapped hit.
    void annotate(AlignmentHit& hit) const;

private:
    std::vector<Entry> m_entries;
};

}  // namespace reference_server
