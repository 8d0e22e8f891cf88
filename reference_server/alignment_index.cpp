#include "reference_server/alignment_index.h"

#include "reference_server/signal_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace reference_server {

namespace {

/// Reads a file line by line, refusing anything but a regular file within the size limit: a
/// device such as /dev/zero never ends, and a folder reads as an empty file.
class LimitedFile {
public:
    /// `what` names the file in errors, e.g. "BED file".
    LimitedFile(const std::string& path, std::string what, const LoadLimits& limits)
        : m_path(path), m_what(std::move(what)), m_limits(limits) {
        // Non-blocking, so that opening a FIFO does not wait for a writer; it is refused below.
        m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            throw std::runtime_error("Could not open " + m_what + ": " + path + " (" + std::strerror(errno) + ")");
        }
        struct stat info {};
        if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(m_fd);
            throw std::runtime_error(capitalised() + " is not a regular file: " + path);
        }
        if (static_cast<std::uint64_t>(info.st_size) > m_limits.max_bytes) {
            ::close(m_fd);
            throw std::runtime_error(capitalised() + " has " + std::to_string(info.st_size) +
                                     " bytes, more than the server's limit of " + std::to_string(m_limits.max_bytes) +
                                     ": " + path);
        }
    }
    ~LimitedFile() { ::close(m_fd); }
    LimitedFile(const LimitedFile&) = delete;
    LimitedFile& operator=(const LimitedFile&) = delete;

    /// The next line without its newline; false at the end of the file.
    bool next_line(std::string& line) {
        line.clear();
        while (true) {
            if (m_pos == m_end) {
                if (m_eof) {
                    return !line.empty();
                }
                fill();
                continue;
            }
            const char* start = m_chunk.data() + m_pos;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', m_end - m_pos));
            if (newline != nullptr) {
                line.append(start, newline);
                m_pos += static_cast<std::size_t>(newline - start) + 1;
                return true;
            }
            line.append(start, m_end - m_pos);
            m_pos = m_end;
        }
    }

private:
    void fill() {
        if (m_limits.cancel != nullptr && m_limits.cancel->load(std::memory_order_relaxed)) {
            throw std::runtime_error("Loading abandoned as the server stops: " + m_path);
        }
        ssize_t got = 0;
        do {
            got = ::read(m_fd, m_chunk.data(), m_chunk.size());
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            throw std::runtime_error("Could not read " + m_what + ": " + m_path + " (" + std::strerror(errno) + ")");
        }
        m_pos = 0;
        m_end = static_cast<std::size_t>(got);
        m_eof = got == 0;
        m_bytes += m_end;
        // The size was checked when the file was opened, but it may grow while it is read.
        if (m_bytes > m_limits.max_bytes) {
            throw std::runtime_error(capitalised() + " grew past the server's limit of " +
                                     std::to_string(m_limits.max_bytes) + " bytes while loading: " + m_path);
        }
    }
    std::string capitalised() const {
        std::string text = m_what;
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        return text;
    }

    std::string m_path;
    std::string m_what;
    LoadLimits m_limits;
    int m_fd = -1;
    std::vector<char> m_chunk = std::vector<char>(std::size_t{1} << 16);
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    std::uint64_t m_bytes = 0;
    bool m_eof = false;
};

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

AlignmentIndex AlignmentIndex::load_fasta(const std::string& path, const LoadLimits& limits) {
    LimitedFile in(path, "alignment index file", limits);
    std::vector<Reference> references;
    std::string line;
    while (in.next_line(line)) {
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

BedFile BedFile::load(const std::string& path, const LoadLimits& limits) {
    LimitedFile in(path, "BED file", limits);
    std::vector<Entry> entries;
    std::string line;
    std::size_t number = 0;
    while (in.next_line(line)) {
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
