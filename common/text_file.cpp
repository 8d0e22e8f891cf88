#include "common/text_file.h"

#include "common/text_utils.h"

#include <boost/filesystem/operations.hpp>

#include <fstream>
#include <stdexcept>

namespace common {
namespace {

// Splits at every tab; adjacent tabs give empty cells.
std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> cells;
    std::string::size_type begin = 0;
    while (true) {
        const auto tab = line.find('\t', begin);
        if (tab == std::string::npos) {
            cells.push_back(line.substr(begin));
            return cells;
        }
        cells.push_back(line.substr(begin, tab - begin));
        begin = tab + 1;
    }
}

}  // namespace

TextFile::TextFile(const std::string& path) {
    Open(path);
    m_filename = path;
}

void TextFile::Open(const std::string& path) {
    Clear();
    std::ifstream file(path, std::ios::in | std::ios::binary);
    // A directory opens on Linux but reads as nothing; it is no table.
    boost::system::error_code ignored;
    if (!file.is_open() || boost::filesystem::is_directory(path, ignored)) {
        throw std::runtime_error("Error: Failed to open file \"" + path + "\"");
    }
    std::stringstream content;
    content << file.rdbuf();
    read_input(content);
}

void TextFile::Clear() {
    m_column_names.clear();
    m_columns.clear();
    m_column_index.clear();
}

void TextFile::read_input(std::stringstream& in) {
    // A stream that runs out before a header leaves `header` empty: one column without a name.
    std::string header;
    std::string line;
    while (std::getline(in, line)) {
        header = clean_string(line);
        if (header.empty() || header[0] != '#') {
            break;
        }
        header.clear();
    }
    m_column_names = split_tabs(header);
    m_columns.assign(m_column_names.size(), {});
    for (std::size_t j = 0; j < m_column_names.size(); ++j) {
        m_column_index[m_column_names[j]] = static_cast<int32_t>(j);
    }

    std::size_t line_number = 1;
    while (std::getline(in, line)) {
        ++line_number;
        const auto cells = split_tabs(clean_string(line));
        if (cells.size() != m_columns.size()) {
            throw std::runtime_error("Error: Incomplete row in line " + std::to_string(line_number) + ": expecting " +
                                     std::to_string(m_columns.size()) + " columns but got " +
                                     std::to_string(cells.size()));
        }
        for (std::size_t j = 0; j < cells.size(); ++j) {
            m_columns[j].push_back(cells[j]);
        }
    }
}

template <typename T>
int TextFile::LoadColumn(int column, std::vector<T>& out, const T& default_value) const {
    if (column < 0 || static_cast<std::size_t>(column) >= m_columns.size()) {
        throw std::out_of_range("Column " + std::to_string(column) + " does not exist in a table of " +
                                std::to_string(m_columns.size()) + " columns.");
    }
    const auto& cells = m_columns[static_cast<std::size_t>(column)];
    out.resize(cells.size());
    int empty_cells = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].empty()) {
            out[i] = default_value;
            ++empty_cells;
            continue;
        }
        std::istringstream cell(cells[i]);
        T value{};
        cell >> value;
        out[i] = value;
    }
    return empty_cells;
}

template int TextFile::LoadColumn<float>(int, std::vector<float>&, const float&) const;

int load_model(const std::string& path, std::vector<float>& level_mean, std::vector<float>& level_stdv,
               std::vector<float>& sd_mean, std::vector<float>& sd_stdv) {
    const TextFile model(path);
    // A missing column would otherwise be read as column -1.
    const auto column = [&model, &path](const std::string& name) {
        const auto found = model.m_column_index.find(name);
        if (found == model.m_column_index.end()) {
            throw std::runtime_error("Model file \"" + path + "\" has no column \"" + name + "\".");
        }
        return found->second;
    };
    const int level_mean_column = column("level_mean");
    const int level_stdv_column = column("level_stdv");
    const int sd_mean_column = column("sd_mean");
    const int sd_stdv_column = column("sd_stdv");

    const float no_value = 0.0f;
    model.LoadColumn(level_mean_column, level_mean, no_value);
    model.LoadColumn(level_stdv_column, level_stdv, no_value);
    model.LoadColumn(sd_mean_column, sd_mean, no_value);
    model.LoadColumn(sd_stdv_column, sd_stdv, no_value);
    for (std::size_t i = 0; i < sd_stdv.size(); ++i) {
        sd_stdv[i] = sd_mean[i] * sd_mean[i] * sd_mean[i] / (sd_stdv[i] * sd_stdv[i]);
    }

    switch (level_mean.size()) {
        case 64:
            return 3;
        case 256:
            return 4;
        case 1024:
            return 5;
        case 4096:
            return 6;
        case 16384:
            return 7;
        default:
            throw std::runtime_error("Invalid model length.");
    }
}

}  // namespace common
