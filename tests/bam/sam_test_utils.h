#pragma once

// Checks shared by the SAM text tests: feeding lines to samtools, and the MM/ML count rule.

#include <gtest/gtest.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vexil_test {

/// A temporary file that is removed when it goes out of scope.
class TempFile {
public:
    TempFile() {
        const char* dir = std::getenv("TMPDIR");
        std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vexil_sam_XXXXXX";
        const int fd = ::mkstemp(name.data());
        if (fd >= 0) {
            ::close(fd);
            m_path = name;
        }
    }
    ~TempFile() {
        if (!m_path.empty()) {
            std::remove(m_path.c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    boost::algorithm::split(fields, line, [](char c) { return c == '\t'; });
    return fields;
}

/// Writes the lines as a SAM file with a header naming every reference they use (each 1 Mb
/// long), runs `samtools view` on it and expects a clean parse: exit status 0, nothing on
/// standard error, and every record written back unchanged.
inline ::testing::AssertionResult samtools_accepts(const std::vector<std::string>& lines) {
    std::ostringstream sam;
    sam << "@HD\tVN:1.6\tSO:unknown\n";
    std::vector<std::string> references;
    for (const auto& line : lines) {
        const auto fields = split_tabs(line);
        if (fields.size() > 2 && fields[2] != "*") {
            bool known = false;
            for (const auto& reference : references) {
                known = known || reference == fields[2];
            }
            if (!known) {
                references.push_back(fields[2]);
                sam << "@SQ\tSN:" << fields[2] << "\tLN:1000000\n";
            }
        }
    }
    std::string expected;
    for (const auto& line : lines) {
        sam << line << '\n';
        expected += line + '\n';
    }

    TempFile input;
    TempFile output;
    TempFile errors;
    if (input.path().empty() || output.path().empty() || errors.path().empty()) {
        return ::testing::AssertionFailure() << "could not create temporary files";
    }
    {
        std::ofstream file(input.path(), std::ios::binary);
        file << sam.str();
    }
    const std::string command = "samtools view " + input.path() + " > " + output.path() + " 2> " + errors.path();
    const int status = std::system(command.c_str());
    const std::string error_text = read_file(errors.path());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return ::testing::AssertionFailure()
               << "samtools view failed (status " << status << "): " << error_text << "\ninput:\n"
               << sam.str();
    }
    if (!error_text.empty()) {
        return ::testing::AssertionFailure() << "samtools view warned: " << error_text << "\ninput:\n" << sam.str();
    }
    const std::string written = read_file(output.path());
    if (written != expected) {
        return ::testing::AssertionFailure() << "samtools view changed the records:\n"
                                             << written << "\nexpected:\n"
                                             << expected;
    }
    return ::testing::AssertionSuccess();
}

/// Number of positions that the MM entries report and number of ML values; SAM readers pair
/// them one to one, so they must agree.
inline std::pair<std::size_t, std::size_t> count_mm_and_ml(const std::string& tags) {
    std::size_t mm_count = 0;
    std::size_t ml_count = 0;
    for (const auto& tag : split_tabs(tags)) {
        if (boost::algorithm::starts_with(tag, "MM:Z:")) {
            std::vector<std::string> entries;
            const std::string body = tag.substr(5);
            boost::algorithm::split(entries, body, [](char c) { return c == ';'; });
            for (const auto& entry : entries) {
                for (const char c : entry) {
                    mm_count += c == ',' ? 1 : 0;
                }
            }
        } else if (boost::algorithm::starts_with(tag, "ML:B:C")) {
            for (const char c : tag) {
                ml_count += c == ',' ? 1 : 0;
            }
        }
    }
    return {mm_count, ml_count};
}

inline ::testing::AssertionResult mm_and_ml_agree(const std::string& tags) {
    if (tags.find("MM:Z:") == std::string::npos || tags.find("ML:B:C") == std::string::npos) {
        return ::testing::AssertionFailure() << "no MM and ML tags in: " << tags;
    }
    const auto [mm, ml] = count_mm_and_ml(tags);
    if (mm != ml) {
        return ::testing::AssertionFailure()
               << "MM reports " << mm << " positions, ML holds " << ml << " values: " << tags;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace vexil_test
