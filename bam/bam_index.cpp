#include "bam/bam_index.h"

#include "bam/bam_record.h"
#include "bam/bam_utils.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <iostream>

namespace bass::bam::util {

namespace {

constexpr uint32_t PSEUDO_BIN = 37450;
constexpr int32_t PSEUDO_BIN_CHUNKS = 2;
constexpr uint32_t LINEAR_INTERVAL_SIZE = 16384;

// Reads one little-endian integer; the number of bytes actually read is left in `got`.
template <typename T>
bool read_le(std::istream& in, T& value, std::streamsize& got) {
    std::array<unsigned char, sizeof(T)> bytes{};
    in.read(reinterpret_cast<char*>(bytes.data()), sizeof(T));
    got = in.gcount();
    if (got != static_cast<std::streamsize>(sizeof(T))) {
        return false;
    }
    uint64_t assembled = 0;
    for (std::size_t i = sizeof(T); i > 0; --i) {
        assembled = (assembled << 8) | bytes[i - 1];
    }
    value = static_cast<T>(assembled);
    return true;
}

template <typename T>
bool read_le(std::istream& in, T& value) {
    std::streamsize got = 0;
    return read_le(in, value, got);
}

// Reads and prints the items of one index file; owns the stream and the path for messages.
class IndexPrinter {
public:
    IndexPrinter(std::istream& in, std::ostream& out, const std::string& path) : m_in(in), m_out(out), m_path(path) {}

    bool print(std::string& error) {
        std::array<char, 4> magic{};
        m_in.read(magic.data(), magic.size());
        if (m_in.gcount() != static_cast<std::streamsize>(magic.size()) ||
            std::string(magic.data(), magic.size()) != BAI_MAGIC_WORD) {
            error = "Encountered malformed BAI header in file " + m_path;
            return false;
        }
        int32_t n_ref = 0;
        if (!read_le(m_in, n_ref)) {
            return truncated(error);
        }
        m_out << "n_ref is " << n_ref << std::endl;
        for (int32_t ref = 0; ref < n_ref; ++ref) {
            if (!print_reference(ref, error)) {
                return false;
            }
        }
        print_trailer();
        return true;
    }

private:
    bool truncated(std::string& error) const {
        // Every count read past the end would be garbage driving the loops that follow.
        error = "Unexpected end of index file " + m_path;
        return false;
    }

    bool print_reference(int32_t ref, std::string& error) {
        int32_t n_bin = 0;
        if (!read_le(m_in, n_bin)) {
            return truncated(error);
        }
        m_out << "\nRef " << ref << " has " << n_bin << " bins" << std::endl;
        int64_t total_chunks = 0;
        for (int32_t i = 0; i < n_bin; ++i) {
            if (!print_bin(ref, total_chunks, error)) {
                return false;
            }
        }
        m_out << "Ref " << ref << " has " << total_chunks << " total real chunks" << std::endl;
        int32_t n_intv = 0;
        if (!read_le(m_in, n_intv)) {
            return truncated(error);
        }
        m_out << "Ref " << ref << " has " << n_intv << " linear intervals" << std::endl;
        uint32_t start = 0;
        for (int32_t k = 0; k < n_intv; ++k, start += LINEAR_INTERVAL_SIZE) {
            uint64_t ioffset = 0;
            if (!read_le(m_in, ioffset)) {
                return truncated(error);
            }
            uint64_t file_offset = 0;
            uint16_t block_offset = 0;
            internal::unpack_virtual_offset(ioffset, file_offset, block_offset);
            m_out << "Linear file offset " << file_offset << " block offset " << block_offset << " (" << start << " - "
                  << static_cast<uint32_t>(start + LINEAR_INTERVAL_SIZE - 1) << ")" << std::endl;
        }
        return true;
    }

    bool print_bin(int32_t ref, int64_t& total_chunks, std::string& error) {
        uint32_t bin = 0;
        int32_t n_chunk = 0;
        if (!read_le(m_in, bin) || !read_le(m_in, n_chunk)) {
            return truncated(error);
        }
        m_out << "Ref " << ref << " bin " << static_cast<int32_t>(bin) << " has " << n_chunk << " chunks" << std::endl;
        if (bin == PSEUDO_BIN) {
            return print_pseudo_bin(n_chunk, error);
        }
        total_chunks += n_chunk;
        for (int32_t i = 0; i < n_chunk; ++i) {
            uint64_t chunk_beg = 0;
            uint64_t chunk_end = 0;
            if (!read_le(m_in, chunk_beg) || !read_le(m_in, chunk_end)) {
                return truncated(error);
            }
            m_out << "Start is file offset " << (chunk_beg >> 16) << " block offset " << (chunk_beg & 0xFFFF)
                  << std::endl;
            m_out << "End is file offset " << (chunk_end >> 16) << " block offset " << (chunk_end & 0xFFFF)
                  << std::endl;
        }
        return true;
    }

    bool print_pseudo_bin(int32_t n_chunk, std::string& error) {
        if (n_chunk != PSEUDO_BIN_CHUNKS) {
            error = "Encountered malformed magic bin in index file " + m_path;
            return false;
        }
        uint64_t unmapped_begin = 0;
        uint64_t unmapped_end = 0;
        uint64_t mapped = 0;
        uint64_t unmapped = 0;
        if (!read_le(m_in, unmapped_begin) || !read_le(m_in, unmapped_end) || !read_le(m_in, mapped) ||
            !read_le(m_in, unmapped)) {
            return truncated(error);
        }
        m_out << "Magic bin says placed unmapped begin " << (unmapped_begin >> 16) << "," << (unmapped_begin & 0xFFFF)
              << " end " << (unmapped_end >> 16) << "," << (unmapped_end & 0xFFFF) << ", num mapped " << mapped
              << ", unmapped " << unmapped << std::endl;
        return true;
    }

    void print_trailer() {
        uint64_t n_no_coor = 0;
        std::streamsize got = 0;
        const bool has_n_no_coor = read_le(m_in, n_no_coor, got);
        if (has_n_no_coor) {
            m_out << "Got n_no_coor " << n_no_coor << std::endl;
        }
        char extra = 0;
        // A partial n_no_coor is trailing bytes too, not a clean end.
        if ((!has_n_no_coor && got > 0) || (has_n_no_coor && m_in.read(&extra, 1) && m_in.gcount() == 1)) {
            m_out << "Error: more bytes available in the index file!" << std::endl;
        }
    }

    std::istream& m_in;
    std::ostream& m_out;
    const std::string& m_path;
};

}  // namespace

bool print_index_from_file(const std::string& path, std::ostream& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        error = "Cannot open index file " + path;
        return false;
    }
    return IndexPrinter(in, out, path).print(error);
}

bool print_index_from_file(const std::string& path, std::string& error) {
    return print_index_from_file(path, std::cout, error);
}

}  // namespace bass::bam::util
