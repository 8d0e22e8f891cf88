// A BAM index file through printing.

#include "bam/bam_index.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

namespace {

// Counts what is printed instead of keeping it, so long runs do not fill memory or the terminal.
class CountingBuffer : public std::streambuf {
public:
    std::size_t count = 0;

protected:
    int_type overflow(int_type c) override {
        ++count;
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        count += static_cast<std::size_t>(n);
        return n;
    }
};

const std::string& index_path() {
    static const std::string path = "/dev/shm/vexil_fuzz_bam_index_" + std::to_string(::getpid()) + ".bai";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream file(index_path(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!file) {
            std::abort();
        }
    }
    CountingBuffer buffer;
    std::ostream out(&buffer);
    std::string error;
    if (!bass::bam::util::print_index_from_file(index_path(), out, error) && error.empty()) {
        std::abort();  // a failure says why
    }
    // The printed text is bounded by the file: no count read from it may drive output of its own.
    if (buffer.count > 64 * (size + 16)) {
        std::abort();
    }
    return 0;
}
