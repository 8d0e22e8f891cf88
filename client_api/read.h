#pragma once

#include "client_api/export.h"
#include "data_wrappers/data_view.h"
#include "data_wrappers/metadata.h"
#include "interfaces/read_holder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexil {

/// One read: the caller fills it with raw signal and metadata before passing it, and receives
/// completed reads in this form. It owns exactly one read record; it moves, it does not copy.
class VEXIL_EXPORT Read {
public:
    /// Priority of a read and of a client. -1, which has no enumerator, stands for a stored
    /// priority outside 0 to 2 (get_priority) and asks for medium priority (set_priority).
    enum Priority : std::int32_t {
        HIGH_PRIORITY = 0,
        MEDIUM_PRIORITY = 1,
        LOW_PRIORITY = 2,
    };

    /// One SAM record line with the BED lines that belong to it.
    struct AlignmentSamLine {
        std::string sam_line;
        std::vector<std::string> bed_lines;
    };

    /// A new record: tag 0, sub tag 0, medium priority, no metadata, no datasets.
    Read();
    /// Takes the other read's record; the other may then only be destroyed or assigned to (a
    /// client refuses it as bad_read).
    Read(Read&& other) noexcept;
    Read& operator=(Read&& other) noexcept;
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    ~Read();

    unsigned long long get_read_tag() const;
    void set_read_tag(unsigned long long tag);
    /// 0 for a whole read, non-zero for a part the server split from it.
    unsigned long long get_sub_tag() const;

    /// The stored priority when it is 0, 1 or 2, otherwise -1.
    Priority get_priority() const;
    /// 0 to 2 are stored as they are, -1 stores medium priority, any other value changes nothing.
    void set_priority(Priority priority);

    bass::data_wrappers::Metadata& get_metadata();
    const bass::data_wrappers::Metadata& get_metadata() const;
    interfaces::ReadHolder::DataSetMap& get_datasets();
    const interfaces::ReadHolder::DataSetMap& get_datasets() const;

    /// Replaces the owned record by one moved from `source`, which is left cleared.
    void set_readholder(interfaces::ReadHolder& source);
    interfaces::ReadHolder& get_readholder();
    const interfaces::ReadHolder& get_readholder() const;

    /// Tag 0, medium priority, no metadata, no datasets, sub tag 0.
    void clear();
    /// The text of one metadata value; empty when there is none.
    std::string get_by_name(const std::string& name) const;
    /// True when the read holds alignment results.
    bool has_alignment_data() const;
    /// The read's SAM lines, each with its BED lines; base modifications are tagged when their
    /// probability reaches `percent` (0 or less, or NaN: all; 100 or more: only certain ones).
    std::vector<AlignmentSamLine> extract_sam_and_bed_lines(float percent) const;

private:
    // The client refuses a read without a record (moved from) rather than reach through it, and
    // hands records between reads and the engine without copying or reallocating them.
    friend class VexilClient;
    friend class VexilClientImpl;
    explicit Read(std::unique_ptr<interfaces::ReadHolder> record) noexcept;
    std::unique_ptr<interfaces::ReadHolder> m_read;
};

/// "HIGH_PRIORITY", "MEDIUM_PRIORITY", "LOW_PRIORITY"; any other value "invalid_priority_value".
VEXIL_EXPORT std::string to_string(Read::Priority priority);

/// The base-modification threshold (0 to 255) for a percentage, as extract_sam_and_bed_lines uses it.
VEXIL_EXPORT std::uint8_t modification_threshold(float percent);

}  // namespace vexil
