#pragma once
// The lookups that a replay makes into its recording while it plays (what arrived under a
// path, the next recorded answer for a path, the report lengths of a device), answered from
// tables built in one pass when the replay begins. A lookup is then a search in a sorted
// table, never a walk through the rest of the recording, so that a replay's cost grows with
// the recording's size and not with its square.

#include "recording/recording.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vumo::recording {

class RecordingIndex {
public:
    explicit RecordingIndex(const Recording& recording);

    // For an arrival at `index`: the device that the first later listing shows under its path.
    const platform::HidInterfaceInfo* ArrivedDevice(std::size_t index) const;
    // The first event at or after `from` of `kind` on `path` whose status is not busy (with
    // `okOnly`: whose status is ok).
    std::optional<std::size_t> FirstOn(EventKind kind, const std::string& path, std::size_t from,
                                       bool okOnly = false) const;
    // The first listing that shows `path`.
    std::optional<std::size_t> FirstListing(const std::string& path) const;
    // The lengths of the first successful probe of a path that an earlier listing showed with
    // these IDs.
    const platform::ReportLengths* LengthsOfIds(std::uint16_t vendorId,
                                                std::uint16_t productId) const;

    // For tests: the entries visited so far, building and looking up. A replay's share of it
    // grows in proportion to the recording.
    std::uint64_t steps() const { return steps_; }

private:
    struct Key {
        EventKind kind;
        std::string path;
        bool operator<(const Key& o) const {
            return kind != o.kind ? kind < o.kind : path < o.path;
        }
    };
    std::optional<std::size_t> FirstIn(const std::vector<std::size_t>* list,
                                       std::size_t from) const;

    const Recording& rec_;
    std::unordered_map<std::size_t, platform::HidInterfaceInfo> arrived_;  // by event index
    std::map<Key, std::vector<std::size_t>> notBusy_;  // ascending event indices
    std::map<Key, std::vector<std::size_t>> ok_;
    std::unordered_map<std::string, std::size_t> firstListing_;
    std::map<std::uint32_t, platform::ReportLengths> lengthsOfIds_;  // vendor << 16 | product
    mutable std::uint64_t steps_ = 0;
};

}  // namespace vumo::recording
