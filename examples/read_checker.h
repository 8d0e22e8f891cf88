#pragma once

// Checks every completed read against where it was simulated from: returned exactly once, called
// to its source sequence, aligned to its source position and strand, with the BED lines of the
// regions it overlaps. Writes the SAM lines of every read for outside tools.

#include "client_api/read.h"
#include "simulated_reads.h"

#include <cstdint>
#include <iostream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace example {

struct Tally {
    std::uint64_t returned = 0;
    std::uint64_t called = 0;
    std::uint64_t exact = 0;
    std::uint64_t aligned = 0;
    std::uint64_t with_bed_hits = 0;
    std::uint64_t uncalled = 0;
    std::uint64_t wrong = 0;       ///< other sequence, unknown tag or returned twice
    std::uint64_t misaligned = 0;  ///< elsewhere, other strand, unmapped or other BED lines
    std::uint64_t lost = 0;
};

class ReadChecker {
public:
    ReadChecker(const ReadSimulator& simulator, const std::vector<Contig>& contigs, std::vector<BedRegion> regions,
                std::ostream* sam)
        : m_simulator(simulator), m_contigs(contigs), m_regions(std::move(regions)), m_sam(sam) {}

    void expect(std::uint64_t tag, const ReadSource& source) { m_outstanding[tag] = source; }
    std::size_t outstanding() const { return m_outstanding.size(); }
    const Tally& tally() const { return m_tally; }

    void check(std::vector<std::vector<vexil::Read>>& groups) {
        for (auto& group : groups) {
            for (auto& read : group) {
                check(read);
            }
        }
        groups.clear();
    }

    /// Counts (and names) the reads that never came back.
    void count_lost() {
        for (const auto& entry : m_outstanding) {
            std::cerr << "read " << entry.first << " never came back\n";
        }
        m_tally.lost += m_outstanding.size();
        m_outstanding.clear();
    }

private:
    void problem(std::uint64_t tag, const std::string& what) {
        if (++m_problems_shown <= 20) {
            std::cerr << "read " << tag << ": " << what << '\n';
        }
    }

    void check(const vexil::Read& read) {
        const std::uint64_t tag = read.get_read_tag();
        const auto found = m_outstanding.find(tag);
        if (found == m_outstanding.end()) {
            ++m_tally.wrong;
            problem(tag, "returned but not outstanding (unknown or returned twice)");
            return;
        }
        const ReadSource source = found->second;
        m_outstanding.erase(found);
        ++m_tally.returned;
        const auto sequence = read.get_datasets().find(bass::data_wrappers::dataset::sequence);
        if (sequence == read.get_datasets().end()) {
            ++m_tally.uncalled;
            problem(tag, "returned uncalled");
            return;
        }
        ++m_tally.called;
        if (sequence->second.get_string() != m_simulator.sequence_of(source)) {
            ++m_tally.wrong;
            problem(tag, "called to another sequence");
            return;
        }
        ++m_tally.exact;
        check_alignment(read, source);
    }

    void check_alignment(const vexil::Read& read, const ReadSource& source) {
        const std::uint64_t tag = read.get_read_tag();
        if (!read.has_alignment_data()) {
            ++m_tally.misaligned;
            problem(tag, "has no alignment");
            return;
        }
        const auto lines = read.extract_sam_and_bed_lines(5.0F);
        for (const auto& line : lines) {
            if (m_sam != nullptr) {
                *m_sam << line.sam_line << '\n';
            }
        }
        std::istringstream fields(lines.empty() ? std::string() : lines.front().sam_line);
        std::string qname;
        unsigned flag = 0;
        std::string rname;
        std::uint64_t pos = 0;
        fields >> qname >> flag >> rname >> pos;
        const std::string& contig = m_contigs[source.contig].name;
        if ((flag & 4U) != 0 || rname != contig || pos != source.start + 1 || ((flag & 16U) != 0) != source.reverse) {
            ++m_tally.misaligned;
            problem(tag, "aligned at " + rname + ":" + std::to_string(pos) + " flag " + std::to_string(flag) +
                                 ", simulated from " + contig + ":" + std::to_string(source.start + 1) +
                                 (source.reverse ? " reverse" : " forward"));
            return;
        }
        std::size_t overlapping = 0;
        for (const auto& region : m_regions) {
            overlapping +=
                    region.chrom == contig && region.start < source.start + source.length && source.start < region.end;
        }
        if (lines.front().bed_lines.size() != overlapping) {
            ++m_tally.misaligned;
            problem(tag, std::to_string(lines.front().bed_lines.size()) + " BED lines, expected " +
                                 std::to_string(overlapping));
            return;
        }
        ++m_tally.aligned;
        m_tally.with_bed_hits += overlapping > 0;
    }

    const ReadSimulator& m_simulator;
    const std::vector<Contig>& m_contigs;
    const std::vector<BedRegion> m_regions;
    std::ostream* m_sam;
    std::map<std::uint64_t, ReadSource> m_outstanding;
    Tally m_tally;
    unsigned m_problems_shown = 0;
};

}  // namespace example
