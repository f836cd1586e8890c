#pragma once
// Opening a hidraw node and moving reports through it.
//
// Locks: a writer holds flock(LOCK_EX) on the node for as long as it is open, a probe takes
// flock(LOCK_SH) for a moment. So a probe fails with `busy` while any process writes to the
// device, probes don't exclude each other, and a second writer fails with `busy`. Readers take
// no lock: the kernel gives every open file its own queue of input reports.

#include "platform/hid_bus.h"
#include "base/unique_fd.h"

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vumo::platform::hidraw {

using base::UniqueFd;

ProbeResult probeNode(const std::string& path);
Opened<HidWriter> openWriterNode(const std::string& path);
Opened<HidReader> openReaderNode(const std::string& path);

// A writer and a reader over an fd that is already open. The reader's fd must be non-blocking
// and give one whole report per read(), as hidraw does (a SOCK_SEQPACKET socket does too, which
// is how tests drive it); `numberedReports` tells whether reports arrive with their ID.
// The reader is null when its cancel event can't be made.
std::unique_ptr<HidWriter> makeNodeWriter(UniqueFd node);
std::unique_ptr<HidReader> makeNodeReader(UniqueFd node, bool numberedReports);

// What one read of a report did: `received` is what the read call returned (-1 with errno set
// on failure), `length` the bytes now in the caller's buffer, report ID included.
struct PlacedReport {
    ssize_t received = -1;
    std::size_t length = 0;
};

// Reads one report into `buffer` with the report ID in byte 0. hidraw delivers a numbered
// report with its ID in front and an unnumbered one without any, so for a device that doesn't
// number its reports the data goes to buffer[1...] and byte 0 becomes 0. `readFn(dest, count)`
// stands for ::read on the node; a report longer than `count` is cut, as the kernel does.
template <class ReadFn>
PlacedReport placeReport(std::span<std::uint8_t> buffer, bool numberedReports, ReadFn&& readFn) {
    // The report must be taken off the queue even when there is no room for its data.
    std::uint8_t discard = 0;
    const std::size_t offset = numberedReports ? 0 : 1;
    const bool room = buffer.size() > offset;
    std::uint8_t* const dest = room ? buffer.data() + offset : &discard;
    const std::size_t count = room ? buffer.size() - offset : 1;

    PlacedReport placed;
    placed.received = readFn(static_cast<void*>(dest), count);
    if (placed.received < 0) return placed;
    const std::size_t data =
        room ? std::min(static_cast<std::size_t>(placed.received), count) : 0;
    if (!numberedReports && !buffer.empty()) buffer[0] = 0;
    placed.length = std::min(buffer.size(), data + offset);
    return placed;
}

}  // namespace vumo::platform::hidraw
