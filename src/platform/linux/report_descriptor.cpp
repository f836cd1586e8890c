#include "platform/linux/report_descriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace vumo::platform::hidraw {
namespace {

// Item prefix fields (HID 1.11, 6.2.2.2): bits 0-1 size code, 2-3 type, 4-7 tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint8_t kTypeMain = 0;
constexpr std::uint8_t kTypeGlobal = 1;

constexpr std::uint8_t kMainInput = 0x8;
constexpr std::uint8_t kMainOutput = 0x9;

constexpr std::uint8_t kGlobalReportSize = 0x7;
constexpr std::uint8_t kGlobalReportId = 0x8;
constexpr std::uint8_t kGlobalReportCount = 0x9;
constexpr std::uint8_t kGlobalPush = 0xA;
constexpr std::uint8_t kGlobalPop = 0xB;

constexpr std::uint32_t kMaxReportId = 255;

// A report's byte length must fit the 16-bit length fields with the ID byte added, so the
// bit totals stop growing there; this also keeps the sums from overflowing.
constexpr std::uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;

struct GlobalState {
    std::uint32_t reportId = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
};

// Bits declared so far for each report ID of one kind (input or output).
struct ReportTotals {
    std::array<std::uint32_t, kMaxReportId + 1> bits{};
    std::array<bool, kMaxReportId + 1> declared{};

    void add(std::uint32_t id, std::uint64_t moreBits) {
        const std::uint64_t sum = std::min<std::uint64_t>(bits[id] + std::min(moreBits, kMaxReportBits),
                                                          kMaxReportBits);
        bits[id] = static_cast<std::uint32_t>(sum);
        declared[id] = true;
    }

    // The longest report in bytes with the ID byte counted; 0 when none is declared.
    std::uint16_t longestWithIdByte() const {
        std::uint64_t longest = 0;
        for (std::size_t id = 0; id < bits.size(); ++id) {
            if (!declared[id]) continue;
            longest = std::max<std::uint64_t>(longest, (bits[id] + 7) / 8 + 1);
        }
        return static_cast<std::uint16_t>(longest);
    }
};

std::size_t dataSize(std::uint8_t prefix) {
    constexpr std::array<std::size_t, 4> sizes{0, 1, 2, 4};
    return sizes[prefix & 0x3];
}

}  // namespace

ReportDescriptorSummary parseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    ReportDescriptorSummary summary;
    ReportTotals input;
    ReportTotals output;
    GlobalState global;
    std::array<GlobalState, kMaxGlobalStackDepth> stack{};
    int depth = 0;

    const std::size_t end = descriptor.size();
    std::size_t pos = 0;
    // Every pass consumes at least one byte, so the walk ends after at most `end` passes.
    while (pos < end) {
        const std::uint8_t prefix = descriptor[pos];
        const std::size_t left = end - pos;

        if (prefix == kLongItemPrefix) {
            // Long items (prefix, data size, tag, data) carry no report layout; step over them.
            if (left < 3) {
                summary.complete = false;
                break;
            }
            const std::size_t itemLength = 3 + std::size_t{descriptor[pos + 1]};
            if (left < itemLength) {
                summary.complete = false;
                break;
            }
            pos += itemLength;
            continue;
        }

        const std::size_t size = dataSize(prefix);
        if (left - 1 < size) {
            summary.complete = false;
            break;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= std::uint32_t{descriptor[pos + 1 + i]} << (8 * i);
        pos += 1 + size;

        const std::uint8_t type = (prefix >> 2) & 0x3;
        const std::uint8_t tag = prefix >> 4;
        bool stop = false;

        if (type == kTypeMain) {
            // Constant (padding) fields count too: they take room in the report.
            const std::uint64_t bits = std::uint64_t{global.reportSize} * global.reportCount;
            if (tag == kMainInput) input.add(global.reportId, bits);
            else if (tag == kMainOutput) output.add(global.reportId, bits);
        } else if (type == kTypeGlobal) {
            switch (tag) {
                case kGlobalReportSize: global.reportSize = value; break;
                case kGlobalReportCount: global.reportCount = value; break;
                case kGlobalReportId:
                    summary.numberedReports = true;
                    // ID 0 is reserved for devices that don't number their reports.
                    if (value == 0 || value > kMaxReportId) stop = true;
                    else global.reportId = value;
                    break;
                case kGlobalPush:
                    if (depth == kMaxGlobalStackDepth) stop = true;
                    else stack[static_cast<std::size_t>(depth++)] = global;
                    break;
                case kGlobalPop:
                    if (depth == 0) stop = true;
                    else global = stack[static_cast<std::size_t>(--depth)];
                    break;
                default: break;
            }
        }
        // Local and reserved items don't change the layout.

        if (stop) {
            summary.complete = false;
            break;
        }
    }

    summary.lengths.input = input.longestWithIdByte();
    summary.lengths.output = output.longestWithIdByte();
    return summary;
}

}  // namespace vumo::platform::hidraw
