#pragma once

#include "data_wrappers/data_view.h"
#include "data_wrappers/metadata.h"
#include "interfaces/read_event_recorder.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace interfaces {

class ReadCoordinator;

/// Priority codes of a read; the holder stores the plain number so that any value survives a round trip.
enum ReadPriority : uint32_t {
    high_priority = 0,
    medium_priority = 1,
    low_priority = 2,
};

/// One read in memory. Exactly one place owns a read at a time, so the holder is move-only; a
/// moved-from holder is left cleared and ready for reuse.
class ReadHolder {
public:
    using DataSetMap = std::map<dataset, bass::data_wrappers::DataView>;

    ReadHolder();
    ReadHolder(ReadHolder&& other) noexcept;
    ReadHolder& operator=(ReadHolder&& other) noexcept;
    ReadHolder(const ReadHolder&) = delete;
    ReadHolder& operator=(const ReadHolder&) = delete;
    ~ReadHolder();

    /// Tag 0, medium priority, sub tag 0, no metadata, no datasets, no coordinator. The shared handle
    /// and the event recorder stay.
    void clear();

    /// Text of the metadata value under `name` ("TRUE"/"FALSE", numbers in decimal, non-finite
    /// floats as "0"); an empty text when there is none.
    std::string get_by_name(const std::string& name) const;

    /// "read <tag> : <sub tag>", naming a read in error texts.
    static std::string get_display_tag(const std::pair<uint64_t, uint64_t>& tags);
    std::string get_display_tag() const { return get_display_tag({read_tag, sub_tag}); }

    /// Takes ownership of the recorder (which may be null); a recorder held before is destroyed.
    void set_event_recorder(std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> recorder);
    /// Forwards to the recorder; does nothing without one.
    void create_read_event(common::diagnostics::timings::ReadEventId id, common::diagnostics::timings::EventMode mode);
    /// The recorder's time points; an empty list, valid for the whole process, without a recorder.
    const common::diagnostics::timings::ReadEventTimestamps& get_timestamps() const;

    /// The view of a dataset; std::out_of_range when the read has none under that id.
    const bass::data_wrappers::DataView& get_dataset(dataset id) const { return datasets.at(id); }
    bass::data_wrappers::DataView& get_dataset(dataset id) { return datasets.at(id); }
    bool has_dataset(dataset id) const { return datasets.count(id) != 0; }
    /// Puts a view made from `args` under `id`, replacing a view already there: a result takes the
    /// place of whatever the caller passed under its id. (Views cannot be assigned, hence the erase.)
    template <typename... Args>
    void set_dataset(dataset id, Args&&... args) {
        datasets.erase(id);
        datasets.try_emplace(id, std::forward<Args>(args)...);
    }

    // Derived reads (defined in interfaces/read_cloning.cpp). Both give this read a coordinator when
    // it has none; the new read shares it and takes the coordinator's next sub tag.

    /// A sub-read copy of this read: every dataset and all metadata, with a "strand_id" derived from
    /// this read's. Fails before changing this read.
    std::unique_ptr<ReadHolder> clone();
    /// Cuts this read at base `position`: this read keeps the bases before it, the returned read
    /// holds the bases from it on, with the move table, trace, state and base-modification data cut
    /// to match and the event counts, durations and ids updated. Every check is made before either
    /// read changes, so a failed split leaves this read and its coordinator as they were.
    std::unique_ptr<ReadHolder> split_at(uint64_t position);
    /// Recomputes "mean_qscore" from the qstring dataset; does nothing without one.
    void recalculate_mean_qscore();

    uint64_t read_tag = 0;
    uint32_t priority = medium_priority;
    bass::data_wrappers::Metadata metadata;
    /// At most one view per id; adding an id that is present keeps the present view.
    DataSetMap datasets;
    std::shared_ptr<ReadCoordinator> coordinator;
    uint64_t sub_tag = 0;
    /// Carried with the read: moved with it, shared by reads derived from it.
    std::shared_ptr<void> shared_data;
    std::unique_ptr<common::diagnostics::timings::ReadEventRecorder> event_recorder;
};

/// Exclusively owned reads, the unit in which reads pass between the public API and the engine.
using ReadList = std::list<std::unique_ptr<ReadHolder>>;

}  // namespace interfaces
