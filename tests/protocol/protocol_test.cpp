#include "protocol/crc32.h"
#include "protocol/firmware_image.h"
#include "protocol/replies.h"
#include "protocol/reports.h"

#include <boost/crc.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <atomic>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

namespace vumo::protocol {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Known answers pin every parameter of the CRC: a change of initial value, reflection or final
// XOR changes at least one of them.
TEST(BlockCrc32, KnownAnswers) {
    EXPECT_EQ(BlockCrc32(Bytes("123456789")), 0x89A1897Fu);
    const std::array<std::uint8_t, 9> oneToNine{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(BlockCrc32(oneToNine), 0xFC86EA3Bu);
    // With initial value 0 and no final XOR a block of zeros checksums to 0. That is right:
    // the loader expects exactly this, so don't "fix" it to the zlib CRC.
    const std::array<std::uint8_t, 128> zeros{};
    EXPECT_EQ(BlockCrc32(zeros), 0u);
    std::array<std::uint8_t, 128> ones{};
    ones.fill(0xFF);
    EXPECT_EQ(BlockCrc32(ones), 0x8B75A1E5u);
    EXPECT_EQ(kCrcTable[0], 0u);
    EXPECT_EQ(kCrcTable[1], 0x04C11DB7u);
    EXPECT_EQ(kCrcTable[255], 0xB1F740B4u);
}

TEST(BlockCrc32, AgreesWithIndependentImplementation) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> data(rng() % 300);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        boost::crc_optimal<32, 0x04C11DB7, 0, 0, false, false> oracle;
        oracle.process_bytes(data.data(), data.size());
        EXPECT_EQ(BlockCrc32(data), oracle.checksum()) << "length " << data.size();
    }
}

TEST(Reports, HandshakeReportsByteForByte) {
    const auto ready = BuildReadyQuery();
    EXPECT_EQ(ready.size(), 133u);
    EXPECT_EQ(std::vector<std::uint8_t>(ready.begin(), ready.begin() + 7),
              (std::vector<std::uint8_t>{0, 0x52, 0x45, 0x41, 0x44, 0x59, 0x3F}));
    EXPECT_TRUE(std::all_of(ready.begin() + 7, ready.end(), [](auto b) { return b == 0; }));

    const auto location = BuildLocation(1);
    const std::vector<std::uint8_t> head{0x00, 0x4C, 0x4F, 0x43, 0x41, 0x54, 0x49, 0x4F, 0x4E, 0x01};
    EXPECT_EQ(std::vector<std::uint8_t>(location.begin(), location.begin() + 10), head);
    EXPECT_TRUE(std::all_of(location.begin() + 10, location.end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(BuildLocation(187)[9], 0xBB);

    // The device takes the block count modulo 256.
    EXPECT_EQ(BuildSize(300)[5], 44);
    EXPECT_EQ(BuildSize(256)[5], 0);
    EXPECT_EQ(BuildSize(1024)[5], 0);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(BuildSize(1).data() + 1), 4), "SIZE");

    const auto start = BuildStart();
    const auto end = BuildEnd();
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(start.data() + 1), 8), "DFUSTART");
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(end.data() + 1), 6), "DFUEND");
    EXPECT_EQ(start[0], 0);
    EXPECT_EQ(end[7], 0);
}

TEST(Reports, ModeSwitchInBothModes) {
    const auto app = BuildAppModeSwitch(kModeUpdate);
    EXPECT_EQ(app.size(), 21u);
    EXPECT_EQ(app[0], 0);
    EXPECT_EQ(app[1], 0xEE);
    EXPECT_EQ(app[2], 0xDF);
    EXPECT_TRUE(std::all_of(app.begin() + 3, app.end(), [](auto b) { return b == 0; }));
    const auto dfu = BuildDfuModeSwitch(kModeApplication);
    EXPECT_EQ(dfu.size(), 133u);
    EXPECT_EQ(dfu[1], 0xEE);
    EXPECT_EQ(dfu[2], 0x0D);
    EXPECT_TRUE(std::all_of(dfu.begin() + 3, dfu.end(), [](auto b) { return b == 0; }));
}

TEST(Reports, BlockCarriesDataAndCrcMostSignificantByteFirst) {
    auto image = std::make_unique<FirmwareImage>();
    image->blocks[1].fill(0xFF);
    for (std::size_t i = 0; i < kBlockSize; ++i) image->blocks[2][i] = static_cast<std::uint8_t>(i);
    image->blockCount = 3;
    image->ComputeBlockCrcs();

    const auto zero = BuildBlock(*image, 0);
    EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](auto b) { return b == 0; }));

    const auto ones = BuildBlock(*image, 1);
    EXPECT_EQ(ones[0], 0);
    EXPECT_TRUE(std::all_of(ones.begin() + 1, ones.begin() + 129, [](auto b) { return b == 0xFF; }));
    EXPECT_EQ((std::array<std::uint8_t, 4>{ones[129], ones[130], ones[131], ones[132]}),
              (std::array<std::uint8_t, 4>{0x8B, 0x75, 0xA1, 0xE5}));

    const auto counting = BuildBlock(*image, 2);
    EXPECT_EQ(counting[1], 0);
    EXPECT_EQ(counting[128], 127);
    const std::uint32_t crc = image->blockCrc[2];
    EXPECT_EQ(counting[129], crc >> 24);
    EXPECT_EQ(counting[132], crc & 0xFF);
}

TEST(FirmwareImage, ComputesOnlyBlocksInUse) {
    auto image = std::make_unique<FirmwareImage>();
    image->blockCrc[0] = 0xDEADBEEF;
    image->blockCount = 0;
    image->ComputeBlockCrcs();
    EXPECT_EQ(image->blockCrc[0], 0xDEADBEEFu);
    image->blocks[0].fill(0xFF);
    image->blockCount = 1;
    image->ComputeBlockCrcs();
    EXPECT_EQ(image->blockCrc[0], 0x8B75A1E5u);
}

// Input reports: the 17 bytes as the listener hands them on, report ID in byte 0.
std::array<std::uint8_t, 17> Reply(std::size_t at, std::string_view word) {
    std::array<std::uint8_t, 17> r{};
    std::copy(word.begin(), word.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
    return r;
}

struct ReplyCase {
    const char* name;
    std::array<std::uint8_t, 17> report;
    std::uint8_t passed;
};

class MatchReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(MatchReplyTest, RecognisesKeywordsOnlyWhereTheyBelong) {
    EXPECT_EQ(MatchReply(GetParam().report), GetParam().passed) << GetParam().name;
}

std::array<std::uint8_t, 17> StartAfterJunk() {
    auto r = Reply(6, "START");
    r[3] = 'x';
    r[4] = 'y';
    r[5] = 'z';
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MatchReplyTest,
    testing::Values(
        ReplyCase{"ready", Reply(3, "READY"), kReplyReady},
        ReplyCase{"locat", Reply(3, "LOCAT"), kReplyLocat},
        ReplyCase{"size", Reply(3, "SIZE"), kReplySize},
        ReplyCase{"image", Reply(3, "IMAGE"), kReplyImage},
        ReplyCase{"start", Reply(6, "START"), kReplyStart},
        ReplyCase{"start whatever bytes 3-5 hold", StartAfterJunk(), kReplyStart},
        ReplyCase{"end", Reply(6, "END"), kReplyEnd},
        ReplyCase{"SIZE and END overlap", Reply(3, "SIZEND"), kReplySize | kReplyEnd},
        ReplyCase{"lower case", Reply(3, "ready"), 0},
        ReplyCase{"keyword one byte off", Reply(4, "READY"), 0},
        ReplyCase{"start at byte 3 is not a start", Reply(3, "START"), 0},
        ReplyCase{"nothing", std::array<std::uint8_t, 17>{}, 0}),
    [](const auto& paramInfo) {
        std::string n = paramInfo.param.name;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(MatchReply, ShortReportsPassOnlyTestsThatFit) {
    const auto r = Reply(6, "START");
    EXPECT_EQ(MatchReply(std::span(r.data(), 10)), 0);
    EXPECT_EQ(MatchReply(std::span(r.data(), 11)), kReplyStart);
    EXPECT_EQ(MatchReply({}), 0);
}

TEST(ReplyFlags, EffectsAndOrder) {
    ReplyFlags flags;
    flags.Apply(kReplyStart);
    EXPECT_EQ(flags.Get(Flag::start), 1u);
    // END clears START and sets END, even when no START came before.
    flags.Apply(kReplyEnd);
    EXPECT_EQ(flags.Get(Flag::start), 0u);
    EXPECT_EQ(flags.Get(Flag::end), 1u);
    flags.Apply(MatchReply(Reply(3, "SIZEND")));
    EXPECT_EQ(flags.Get(Flag::size), 1u);
    EXPECT_EQ(flags.Get(Flag::start), 0u);
    // START and END in one report: START is applied first, then END clears it.
    flags.Apply(kReplyStart | kReplyEnd);
    EXPECT_EQ(flags.Get(Flag::start), 0u);
    flags.Apply(kReplyReady | kReplyImage | kReplyLocat);
    EXPECT_EQ(flags.Get(Flag::ready), 1u);
    EXPECT_EQ(flags.Get(Flag::image), 1u);
    EXPECT_EQ(flags.Get(Flag::location), 1u);
    flags.ClearAll();
    for (Flag f : {Flag::ready, Flag::start, Flag::size, Flag::image, Flag::location, Flag::end})
        EXPECT_EQ(flags.Get(f), 0u);
}

TEST(ReplyFlags, WaiterWakesAtTheChangeNotTheDeadline) {
    ReplyFlags flags;
    std::atomic<bool> stop{false};
    const auto begin = std::chrono::steady_clock::now();
    std::thread setter([&] { flags.Apply(kReplyReady); });
    EXPECT_TRUE(flags.WaitFor(Flag::ready, 1, begin + std::chrono::seconds(20), stop));
    setter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

TEST(ReplyFlags, WaitEndsAtDeadlineOrStop) {
    ReplyFlags flags;
    std::atomic<bool> stop{false};
    EXPECT_FALSE(flags.WaitFor(Flag::image, 1,
                               std::chrono::steady_clock::now() + std::chrono::milliseconds(20),
                               stop));
    const auto begin = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        stop = true;
        flags.Interrupt();
    });
    EXPECT_FALSE(flags.WaitFor(Flag::image, 1, begin + std::chrono::seconds(20), stop));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

}  // namespace
}  // namespace vumo::protocol
