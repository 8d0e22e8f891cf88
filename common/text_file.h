#pragma once

// Tab-separated text tables with a header line, and k-mer model tables read through them.

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace common {

/// A tab-separated table held in memory column by column. Lines starting with "#" before the
/// header are comments; every row must have as many cells as the header has names.
class TextFile {
public:
    /// Reads the table; std::runtime_error when the file cannot be opened or a row is incomplete.
    explicit TextFile(const std::string& path);

    void Open(const std::string& path);
    void Clear();
    void read_input(std::stringstream& in);

    /// The column's cells as numbers, an empty cell taking `default_value`; returns the number of
    /// empty cells. std::out_of_range for a column number the table does not have.
    template <typename T>
    int LoadColumn(int column, std::vector<T>& out, const T& default_value) const;

    std::vector<std::string> m_column_names;
    std::vector<std::vector<std::string>> m_columns;
    std::map<std::string, int32_t> m_column_index;
    std::string m_filename;
};

extern template int TextFile::LoadColumn<float>(int, std::vector<float>&, const float&) const;

/// Loads the level and noise columns of a k-mer model table and returns k (3 to 7, from the row
/// count). sd_stdv comes back as sd_mean^3 / sd_stdv^2. std::runtime_error "Invalid model length."
/// for another row count, and for a table that lacks one of the four columns.
int load_model(const std::string& path, std::vector<float>& level_mean, std::vector<float>& level_stdv,
               std::vector<float>& sd_mean, std::vector<float>& sd_stdv);

}  // namespace common
