#include "recording/recording_index.h"

#include <algorithm>
#include <set>
#include <utility>

namespace vumo::recording {

RecordingIndex::RecordingIndex(const Recording& recording) : rec_(recording) {
    const auto& events = rec_.events;
    // Backwards: for each path, what the nearest later listing shows under it.
    std::unordered_map<std::string, const platform::HidInterfaceInfo*> listedNext;
    for (std::size_t i = events.size(); i-- > 0;) {
        ++steps_;
        const Event& e = events[i];
        if (e.kind == EventKind::enumerate) {
            // The first of a listing's entries for a path wins.
            for (auto d = e.devices.rbegin(); d != e.devices.rend(); ++d, ++steps_)
                listedNext[d->path] = &*d;
        } else if (e.kind == EventKind::arrival) {
            if (const auto it = listedNext.find(e.path); it != listedNext.end())
                arrived_.emplace(i, *it->second);
        }
    }
    // Forwards: the answers by kind and path, the first listings, and which IDs each path was
    // listed with before its probes.
    std::unordered_map<std::string, std::set<std::uint32_t>> idsOfPath;
    for (std::size_t i = 0; i < events.size(); ++i) {
        ++steps_;
        const Event& e = events[i];
        if (e.kind == EventKind::enumerate) {
            for (const auto& d : e.devices) {
                ++steps_;
                firstListing_.emplace(d.path, i);
                idsOfPath[d.path].insert(std::uint32_t{d.vendorId} << 16 | d.productId);
            }
            continue;
        }
        if (e.path.empty()) continue;
        if (e.status != platform::OpenStatus::busy) notBusy_[{e.kind, e.path}].push_back(i);
        if (e.status == platform::OpenStatus::ok) ok_[{e.kind, e.path}].push_back(i);
        if (e.kind == EventKind::probe && e.status == platform::OpenStatus::ok) {
            if (const auto it = idsOfPath.find(e.path); it != idsOfPath.end())
                for (const std::uint32_t ids : it->second) {
                    ++steps_;
                    lengthsOfIds_.emplace(ids, e.lengths);
                }
        }
    }
}

const platform::HidInterfaceInfo* RecordingIndex::ArrivedDevice(std::size_t index) const {
    ++steps_;
    const auto it = arrived_.find(index);
    return it == arrived_.end() ? nullptr : &it->second;
}

std::optional<std::size_t> RecordingIndex::FirstIn(const std::vector<std::size_t>* list,
                                                   std::size_t from) const {
    ++steps_;
    if (list == nullptr) return std::nullopt;
    const auto it = std::lower_bound(list->begin(), list->end(), from);
    if (it == list->end()) return std::nullopt;
    return *it;
}

std::optional<std::size_t> RecordingIndex::FirstOn(EventKind kind, const std::string& path,
                                                   std::size_t from, bool okOnly) const {
    const auto& table = okOnly ? ok_ : notBusy_;
    const auto it = table.find(Key{kind, path});
    return FirstIn(it == table.end() ? nullptr : &it->second, from);
}

std::optional<std::size_t> RecordingIndex::FirstListing(const std::string& path) const {
    ++steps_;
    const auto it = firstListing_.find(path);
    if (it == firstListing_.end()) return std::nullopt;
    return it->second;
}

const platform::ReportLengths* RecordingIndex::LengthsOfIds(std::uint16_t vendorId,
                                                            std::uint16_t productId) const {
    ++steps_;
    const auto it = lengthsOfIds_.find(std::uint32_t{vendorId} << 16 | productId);
    return it == lengthsOfIds_.end() ? nullptr : &it->second;
}

}  // namespace vumo::recording
