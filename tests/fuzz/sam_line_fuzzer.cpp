// A SAM alignment line through parsing into a BAM record and writing back as a line.

#include "bam/sam_line.h"

#include <boost/any.hpp>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::vector<bass::bam::RefSeq>& references() {
    static const std::vector<bass::bam::RefSeq> refs{{"chr1", 248956422}, {"chr2", 242193529}, {"lambda", 48502}};
    return refs;
}

// Parses and writes back; the written line, or empty when either step refused the input. The
// documented errors of bad optional fields count as a refusal.
std::string parse_and_update(const std::string& line) {
    bass::bam::BamRecord record;
    std::string error;
    try {
        if (!bass::bam::util::parse_sam_line_to_bam_record(line, record, references(), error)) {
            if (error.empty()) {
                std::abort();  // a refusal says why
            }
            return {};
        }
        if (record.sam_line != line) {
            std::abort();
        }
        if (!bass::bam::util::update_sam_line(references(), record, error)) {
            return {};
        }
    } catch (const std::invalid_argument&) {
        return {};
    } catch (const std::out_of_range&) {
        return {};
    } catch (const std::runtime_error&) {
        return {};
    } catch (const boost::bad_any_cast&) {
        return {};
    }
    return record.sam_line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string written = parse_and_update(line);
    if (!written.empty()) {
        // A line the writer produced is read back and writes out the same.
        const std::string again = parse_and_update(written);
        if (again != written) {
            std::abort();
        }
    }
    return 0;
}
