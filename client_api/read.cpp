#include "client_api/read.h"

#include "interfaces/read_alignment_helper.h"

#include <cmath>
#include <utility>

namespace vexil {

Read::Read() : m_read(std::make_unique<interfaces::ReadHolder>()) {}
Read::Read(std::unique_ptr<interfaces::ReadHolder> record) noexcept : m_read(std::move(record)) {}
Read::Read(Read&& other) noexcept = default;
Read::~Read() = default;

Read& Read::operator=(Read&& other) noexcept {
    if (this != &other) {
        m_read = std::move(other.m_read);
    }
    return *this;
}

unsigned long long Read::get_read_tag() const { return m_read->read_tag; }
void Read::set_read_tag(unsigned long long tag) { m_read->read_tag = tag; }
unsigned long long Read::get_sub_tag() const { return m_read->sub_tag; }

Read::Priority Read::get_priority() const {
    return m_read->priority <= LOW_PRIORITY ? static_cast<Priority>(m_read->priority) : static_cast<Priority>(-1);
}

void Read::set_priority(Priority priority) {
    if (priority >= HIGH_PRIORITY && priority <= LOW_PRIORITY) {
        m_read->priority = static_cast<std::uint32_t>(priority);
    } else if (priority == -1) {
        m_read->priority = MEDIUM_PRIORITY;
    }
}

bass::data_wrappers::Metadata& Read::get_metadata() { return m_read->metadata; }
const bass::data_wrappers::Metadata& Read::get_metadata() const { return m_read->metadata; }
interfaces::ReadHolder::DataSetMap& Read::get_datasets() { return m_read->datasets; }
const interfaces::ReadHolder::DataSetMap& Read::get_datasets() const { return m_read->datasets; }

void Read::set_readholder(interfaces::ReadHolder& source) {
    m_read = std::make_unique<interfaces::ReadHolder>(std::move(source));
}

interfaces::ReadHolder& Read::get_readholder() { return *m_read; }
const interfaces::ReadHolder& Read::get_readholder() const { return *m_read; }

void Read::clear() { m_read->clear(); }
std::string Read::get_by_name(const std::string& name) const { return m_read->get_by_name(name); }

bool Read::has_alignment_data() const {
    return interfaces::ReadAlignmentHelper::read_holder_contains_alignment_data(*m_read);
}

std::uint8_t modification_threshold(float percent) {
    // Outside (0, 100) the scaled value would leave the byte's range: 100 % used to wrap to 0 and
    // accept every call, and huge values are undefined to convert.
    if (std::isnan(percent) || percent <= 0.0F) {
        return 0;
    }
    if (percent >= 100.0F) {
        return 255;
    }
    const float scaled = percent / 100.0F * 256.0F;
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(scaled) & 0xFF);
}

std::vector<Read::AlignmentSamLine> Read::extract_sam_and_bed_lines(float percent) const {
    const bool with_moves = m_read->has_dataset(bass::data_wrappers::dataset::movement);
    auto lines = interfaces::ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(
            *m_read, modification_threshold(percent), with_moves);
    std::vector<AlignmentSamLine> result;
    result.reserve(lines.size());
    for (auto& line : lines) {
        result.push_back(AlignmentSamLine{std::move(line.sam_line), std::move(line.bed_lines)});
    }
    return result;
}

std::string to_string(Read::Priority priority) {
    switch (priority) {
        case Read::HIGH_PRIORITY:
            return "HIGH_PRIORITY";
        case Read::MEDIUM_PRIORITY:
            return "MEDIUM_PRIORITY";
        case Read::LOW_PRIORITY:
            return "LOW_PRIORITY";
    }
    return "invalid_priority_value";
}

}  // namespace vexil
