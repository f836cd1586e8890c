// The report-descriptor walk on arbitrary bytes, as a device may hand them to hidraw.
//
// Besides "no crash, no read past the end", it checks what follows from the walk going item by
// item and only ever adding to its totals:
//  - a shorter descriptor (any prefix) never gives longer reports, nor numbering the whole
//    does not have, because its walk sees a subset of the items the whole one sees;
//  - numbering needs a Report ID item (prefix 0x84..0x87) somewhere in the bytes, input
//    reports need an Input item (0x80..0x83), output reports an Output item (0x90..0x93);
//  - the walk is deterministic and the empty descriptor is complete and declares nothing.

#include "fuzz_check.h"
#include "platform/linux/report_descriptor.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace {

using vumo::platform::hidraw::parseReportDescriptor;
using vumo::platform::hidraw::ReportDescriptorSummary;

bool HasByteIn(std::span<const std::uint8_t> bytes, std::uint8_t low, std::uint8_t high) {
    return std::any_of(bytes.begin(), bytes.end(),
                       [=](std::uint8_t b) { return b >= low && b <= high; });
}

bool Same(const ReportDescriptorSummary& a, const ReportDescriptorSummary& b) {
    return a.lengths.input == b.lengths.input && a.lengths.output == b.lengths.output &&
           a.numberedReports == b.numberedReports && a.complete == b.complete;
}

void CheckPrefix(std::span<const std::uint8_t> whole, const ReportDescriptorSummary& all,
                 std::size_t length) {
    const auto part = parseReportDescriptor(whole.first(length));
    FUZZ_CHECK(part.lengths.input <= all.lengths.input);
    FUZZ_CHECK(part.lengths.output <= all.lengths.output);
    FUZZ_CHECK(!part.numberedReports || all.numberedReports);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> descriptor(data, size);
    const auto summary = parseReportDescriptor(descriptor);

    FUZZ_CHECK(Same(summary, parseReportDescriptor(descriptor)));
    if (size == 0) {
        FUZZ_CHECK(summary.complete && !summary.numberedReports);
        FUZZ_CHECK(summary.lengths.input == 0 && summary.lengths.output == 0);
    }
    if (summary.numberedReports) FUZZ_CHECK(HasByteIn(descriptor, 0x84, 0x87));
    if (summary.lengths.input != 0) FUZZ_CHECK(HasByteIn(descriptor, 0x80, 0x83));
    if (summary.lengths.output != 0) FUZZ_CHECK(HasByteIn(descriptor, 0x90, 0x93));

    if (size > 0) {
        CheckPrefix(descriptor, summary, size - 1);
        CheckPrefix(descriptor, summary, size / 2);
    }
    return 0;
}
