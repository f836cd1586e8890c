#include "platform/linux/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vumo::platform::hidraw {
namespace {

using Bytes = std::vector<std::uint8_t>;

ReportDescriptorSummary parse(const Bytes& d) { return parseReportDescriptor(d); }

// The layout our own device family uses: a vendor page, 16-byte input and 132-byte output
// reports without IDs.
const Bytes kUnnumbered = {
    0x06, 0x00, 0xFF,        // Usage Page (vendor)
    0x09, 0x01,              // Usage
    0xA1, 0x01,              // Collection (Application)
    0x15, 0x00,              // Logical Minimum 0
    0x26, 0xFF, 0x00,        // Logical Maximum 255
    0x75, 0x08,              // Report Size 8
    0x95, 0x10,              // Report Count 16
    0x09, 0x01, 0x81, 0x02,  // Usage, Input
    0x96, 0x84, 0x00,        // Report Count 132
    0x09, 0x01, 0x91, 0x02,  // Usage, Output
    0xC0,                    // End Collection
};

// The standard boot keyboard (USB HID class definition, appendix B): 8-byte input, 5 LED bits
// and 3 bits of padding as output.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01,
    0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07,
    0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

TEST(ReportDescriptor, UnnumberedReportsCountTheIdByteAnyway) {
    const auto s = parse(kUnnumbered);
    EXPECT_TRUE(s.complete);
    EXPECT_FALSE(s.numberedReports);
    EXPECT_EQ(s.lengths.input, 17);
    EXPECT_EQ(s.lengths.output, 133);

    const auto keyboard = parse(kBootKeyboard);
    EXPECT_TRUE(keyboard.complete);
    EXPECT_FALSE(keyboard.numberedReports);
    EXPECT_EQ(keyboard.lengths.input, 9);
    EXPECT_EQ(keyboard.lengths.output, 2);
}

TEST(ReportDescriptor, NumberedReportsGiveTheLongestOfEachKind) {
    const Bytes d = {
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,
        0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02,  // ID 1: 8 input bytes
        0x85, 0x02, 0x95, 0x02, 0x81, 0x02,              // ID 2: 2 input bytes
        0x85, 0x01, 0x75, 0x01, 0x95, 0x03, 0x91, 0x02,  // ID 1: 3 output bits
        0x85, 0x03, 0x95, 0x09, 0x91, 0x02,              // ID 3: 9 output bits
        0x85, 0x04, 0x75, 0x08, 0x95, 0x40, 0xB1, 0x02,  // ID 4: 64 feature bytes, not counted
        0x85, 0x02, 0x75, 0x04, 0x95, 0x03, 0x81, 0x02,  // ID 2 again: 12 more input bits
        0xC0,
    };
    const auto s = parse(d);
    EXPECT_TRUE(s.complete);
    EXPECT_TRUE(s.numberedReports);
    EXPECT_EQ(s.lengths.input, 9);   // ID 1: 64 bits; ID 2: 16 + 12 bits -> 4 bytes
    EXPECT_EQ(s.lengths.output, 3);  // ID 3: 9 bits round up to 2 bytes
}

TEST(ReportDescriptor, KindsWithoutReportsAreZero) {
    EXPECT_EQ(parse({}).lengths.input, 0);
    EXPECT_TRUE(parse({}).complete);

    const auto featureOnly = parse({0x75, 0x08, 0x95, 0x04, 0xB1, 0x02});
    EXPECT_EQ(featureOnly.lengths.input, 0);
    EXPECT_EQ(featureOnly.lengths.output, 0);

    // An input item of no bits still declares a report: it is only its ID byte long.
    const auto empty = parse({0x75, 0x08, 0x81, 0x02});
    EXPECT_EQ(empty.lengths.input, 1);
    EXPECT_EQ(empty.lengths.output, 0);
}

TEST(ReportDescriptor, ReadsEveryShortItemSize) {
    // Report Size as a 1-byte item and Report Count as 0-, 2- and 4-byte items.
    EXPECT_EQ(parse({0x75, 0x08, 0x94, 0x81, 0x00}).lengths.input, 1);           // count 0
    EXPECT_EQ(parse({0x75, 0x08, 0x96, 0x00, 0x01, 0x81, 0x00}).lengths.input, 257);
    EXPECT_EQ(parse({0x75, 0x08, 0x97, 0x02, 0x01, 0x00, 0x00, 0x81, 0x00}).lengths.input, 259);
    // A 4-byte Report Size whose high bytes matter.
    EXPECT_EQ(parse({0x77, 0x00, 0x00, 0x01, 0x00, 0x95, 0x01, 0x81, 0x00}).lengths.input,
              65536 / 8 + 1);
}

TEST(ReportDescriptor, PushAndPopSaveAndRestoreTheGlobals) {
    const Bytes d = {
        0x85, 0x01, 0x75, 0x08, 0x95, 0x04,  // ID 1, 4 bytes
        0xA4,                                // Push
        0x85, 0x02, 0x95, 0x0A, 0x81, 0x02,  // ID 2: 10 bytes
        0xB4,                                // Pop: back to ID 1, count 4
        0x81, 0x02,                          // ID 1: 4 bytes
        0x91, 0x02,                          // ID 1 output: 4 bytes
    };
    const auto s = parse(d);
    EXPECT_TRUE(s.complete);
    EXPECT_EQ(s.lengths.input, 11);
    EXPECT_EQ(s.lengths.output, 5);  // would be 11 if Pop had kept ID 2's count
}

TEST(ReportDescriptor, PushStackIsBounded) {
    Bytes deep = {0x75, 0x08, 0x95, 0x01};
    deep.insert(deep.end(), kMaxGlobalStackDepth, 0xA4);
    deep.insert(deep.end(), kMaxGlobalStackDepth, 0xB4);
    deep.insert(deep.end(), {0x81, 0x02});
    const auto fits = parse(deep);
    EXPECT_TRUE(fits.complete);
    EXPECT_EQ(fits.lengths.input, 2);

    Bytes tooDeep = {0x75, 0x08, 0x95, 0x01, 0x81, 0x02};
    tooDeep.insert(tooDeep.end(), kMaxGlobalStackDepth + 1, 0xA4);
    tooDeep.insert(tooDeep.end(), {0x95, 0x09, 0x81, 0x02});
    const auto stopped = parse(tooDeep);
    EXPECT_FALSE(stopped.complete);
    EXPECT_EQ(stopped.lengths.input, 2);  // the walk ended at the extra Push

    const auto popFirst = parse({0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xB4, 0x95, 0x09, 0x81, 0x02});
    EXPECT_FALSE(popFirst.complete);
    EXPECT_EQ(popFirst.lengths.input, 3);
}

TEST(ReportDescriptor, LongItemsAreSkippedWhole) {
    // The long item's data looks like Report Count and Input items; none of it may count.
    const Bytes d = {0x75, 0x08, 0x95, 0x02,
                     0xFE, 0x04, 0x10, 0x95, 0x40, 0x81, 0x02,
                     0x81, 0x02};
    const auto s = parse(d);
    EXPECT_TRUE(s.complete);
    EXPECT_EQ(s.lengths.input, 3);

    const auto emptyLong = parse({0xFE, 0x00, 0x00, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02});
    EXPECT_TRUE(emptyLong.complete);
    EXPECT_EQ(emptyLong.lengths.output, 2);

    for (const Bytes& cut : {Bytes{0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xFE},
                             Bytes{0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xFE, 0x05},
                             Bytes{0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xFE, 0x05, 0x00, 0x81}}) {
        const auto t = parse(cut);
        EXPECT_FALSE(t.complete);
        EXPECT_EQ(t.lengths.input, 2);
    }
}

TEST(ReportDescriptor, TruncatedItemsEndTheWalkWithWhatCameBefore) {
    Bytes cut = kUnnumbered;
    cut.resize(22);  // inside the 2-byte Report Count 132
    const auto s = parse(cut);
    EXPECT_FALSE(s.complete);
    EXPECT_EQ(s.lengths.input, 17);
    EXPECT_EQ(s.lengths.output, 0);

    EXPECT_FALSE(parse({0x75}).complete);
    EXPECT_FALSE(parse({0x97, 0x01, 0x00, 0x00}).complete);

    // Every prefix parses; a prefix never reports more than the whole.
    const auto whole = parse(kBootKeyboard);
    for (std::size_t n = 0; n <= kBootKeyboard.size(); ++n) {
        const auto p = parse(Bytes(kBootKeyboard.begin(), kBootKeyboard.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_LE(p.lengths.input, whole.lengths.input);
        EXPECT_LE(p.lengths.output, whole.lengths.output);
    }
}

TEST(ReportDescriptor, ReservedOrOversizedReportIdsEndTheWalk) {
    const auto zero = parse({0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x00, 0x95, 0x05, 0x81, 0x02});
    EXPECT_FALSE(zero.complete);
    EXPECT_TRUE(zero.numberedReports);
    EXPECT_EQ(zero.lengths.input, 2);

    const auto big = parse({0x75, 0x08, 0x95, 0x05, 0x86, 0x00, 0x01, 0x81, 0x02});
    EXPECT_FALSE(big.complete);
    EXPECT_EQ(big.lengths.input, 0);

    const auto highest = parse({0x85, 0xFF, 0x75, 0x08, 0x95, 0x05, 0x81, 0x02});
    EXPECT_TRUE(highest.complete);
    EXPECT_EQ(highest.lengths.input, 6);
}

TEST(ReportDescriptor, HugeSizesSaturateInsteadOfWrapping) {
    const Bytes huge = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF,
                        0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x91, 0x02};
    const auto s = parse(huge);
    EXPECT_TRUE(s.complete);
    EXPECT_EQ(s.lengths.input, 0xFFFF);
    EXPECT_EQ(s.lengths.output, 0xFFFF);

    // Many modest items that add up past 16 bits saturate too.
    Bytes many = {0x75, 0x08, 0x96, 0x00, 0x10};  // 4096 bytes per item
    many.insert(many.end(), 40, 0x80);            // 40 Input items without data
    EXPECT_EQ(parse(many).lengths.input, 0xFFFF);
}

// Random descriptors, half of them built from the items that change the walk's state, must
// never crash, read out of bounds (the sanitizer build checks that) or break the prefix rule.
TEST(ReportDescriptor, RandomDescriptorsAreHandledSafely) {
    std::mt19937 rng(20240611);
    const std::uint8_t interesting[] = {0x75, 0x77, 0x95, 0x96, 0x97, 0x85, 0x86, 0x87, 0x81,
                                        0x80, 0x91, 0x92, 0xB1, 0xA4, 0xB4, 0xFE, 0xC0, 0xA1};
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(0, 96);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(interesting) - 1);
    Bytes d;
    constexpr int kRuns = 300000;
    for (int run = 0; run < kRuns; ++run) {
        d.resize(length(rng));
        const bool structured = run % 2 == 0;
        for (auto& b : d) {
            b = static_cast<std::uint8_t>(structured && byte(rng) < 128 ? interesting[pick(rng)]
                                                                       : byte(rng));
        }
        const auto whole = parseReportDescriptor(d);
        if (run % 64 == 0) {
            for (std::size_t n = 0; n < d.size(); ++n) {
                const auto p = parseReportDescriptor(std::span(d).first(n));
                ASSERT_LE(p.lengths.input, whole.lengths.input) << "run " << run << " prefix " << n;
                ASSERT_LE(p.lengths.output, whole.lengths.output) << "run " << run << " prefix " << n;
                ASSERT_LE(p.numberedReports, whole.numberedReports);
            }
        }
    }
}

}  // namespace
}  // namespace vumo::platform::hidraw
