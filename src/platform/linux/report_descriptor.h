#pragma once
// Report lengths from a HID report descriptor, counted the way Windows reports them to a HID
// client: the longest input and the longest output report in bytes, plus one byte for the
// report ID whether or not the device numbers its reports. hidraw gives us only the raw
// descriptor, so we walk its items ourselves.
//
// The descriptor comes from the device, so nothing in it is trusted: the walk never reads past
// the end, keeps a fixed-size state, and stops at the first item it cannot make sense of.

#include "platform/hid_bus.h"

#include <cstdint>
#include <span>

namespace vumo::platform::hidraw {

struct ReportDescriptorSummary {
    // 0 for a kind of report the descriptor declares none of.
    ReportLengths lengths;
    // The descriptor declares report IDs, so every report travels with its ID in byte 0.
    bool numberedReports = false;
    // False when the walk stopped early: an item ran past the end, a Pop without a Push, a
    // Push beyond the stack's depth, or a report ID outside 1 ... 255. The lengths and the
    // numbering then describe the items before that point.
    bool complete = true;
};

// Depth of the Push/Pop stack of global items; deeper nesting ends the walk.
inline constexpr int kMaxGlobalStackDepth = 16;

ReportDescriptorSummary parseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace vumo::platform::hidraw
