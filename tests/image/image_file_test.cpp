// Loading a firmware file into the image: the block rule, the size limit, read errors, and
// Intel HEX decoding checked against objcopy.

#include "image/image_file.h"
#include "image/prepare.h"
#include "image/test_files.h"
#include "protocol/crc32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vumo::image {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>((x >> 16) | 1);  // never zero, so zero fill shows
    }
    return bytes;
}

// Every block in use is the file's bytes followed by zeros, every block after it is zero, and
// every CRC is that of its block.
void ExpectImageHolds(const protocol::FirmwareImage& image, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < protocol::kImageCapacity; ++i) {
        const std::uint8_t want = i < bytes.size() ? bytes[i] : 0;
        const std::uint8_t got = image.blocks[i / protocol::kBlockSize][i % protocol::kBlockSize];
        if (got != want) {
            ADD_FAILURE() << "byte " << i << " is " << int{got} << ", expected " << int{want};
            return;
        }
    }
    for (std::uint32_t i = 0; i < image.blockCount; ++i)
        EXPECT_EQ(image.blockCrc[i], protocol::BlockCrc32(image.blocks[i])) << "block " << i;
}

struct LengthCase {
    std::size_t length;
    std::uint32_t blockCount;
};

class LoaderLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LoaderLengths, BlockCountIsLengthOver128PlusOne) {
    const auto [length, blockCount] = GetParam();
    test::TempDir dir;
    const std::string path = dir.File("image.bin");
    const auto bytes = Pattern(length);
    test::WriteBytes(path, bytes);

    LoadedImage loaded = LoadImageFile(path);
    ASSERT_EQ(loaded.failure, PrepareFailure::none) << loaded.text;
    EXPECT_EQ(loaded.format, ImageFormat::binary);
    EXPECT_EQ(loaded.bytes, bytes);

    auto image = std::make_unique<protocol::FirmwareImage>();
    CommitImage(loaded.bytes, *image);
    EXPECT_EQ(image->blockCount, blockCount);
    ExpectImageHolds(*image, bytes);
}

INSTANTIATE_TEST_SUITE_P(Table, LoaderLengths,
                         ::testing::Values(LengthCase{0, 1}, LengthCase{1, 1}, LengthCase{127, 1},
                                           LengthCase{128, 2}, LengthCase{200, 2},
                                           LengthCase{256, 3}, LengthCase{131071, 1024}),
                         [](const auto& tpi) { return "L" + std::to_string(tpi.param.length); });

TEST(Loader, EmptyFileAndFullMultipleEndInAZeroBlock) {
    auto image = std::make_unique<protocol::FirmwareImage>();
    CommitImage({}, *image);
    EXPECT_EQ(image->blockCount, 1u);
    EXPECT_EQ(image->blockCrc[0], 0u);

    const std::vector<std::uint8_t> ones(128, 0xFF);
    CommitImage(ones, *image);
    EXPECT_EQ(image->blockCount, 2u);
    EXPECT_EQ(image->blockCrc[0], 0x8B75A1E5u);
    EXPECT_EQ(image->blockCrc[1], 0u);
}

TEST(Loader, ShorterImageAfterALongerOneLeavesNothingBehind) {
    auto image = std::make_unique<protocol::FirmwareImage>();
    CommitImage(Pattern(131071, 7), *image);
    const auto small = Pattern(10, 9);
    CommitImage(small, *image);
    EXPECT_EQ(image->blockCount, 1u);
    ExpectImageHolds(*image, small);
}

TEST(Loader, FileOfTheFullCapacityIsRefusedWithTheLimit) {
    test::TempDir dir;
    for (std::size_t length : {std::size_t{131072}, std::size_t{200000}, kMaxFileBytes + 5}) {
        const std::string path = dir.File("big.bin");
        test::WriteBytes(path, std::vector<std::uint8_t>(length, 0x55));
        const LoadedImage loaded = LoadImageFile(path);
        EXPECT_EQ(loaded.failure, PrepareFailure::tooLarge) << length;
        EXPECT_NE(loaded.text.find(GroupDigits(length) + " bytes"), std::string::npos) << loaded.text;
        EXPECT_NE(loaded.text.find("131,071"), std::string::npos) << loaded.text;
        EXPECT_TRUE(loaded.bytes.empty());
    }
}

TEST(Loader, FilesThatCannotBeOpened) {
    test::TempDir dir;
    for (const std::string& path : {dir.File("missing.bin"), dir.path()}) {
        const LoadedImage loaded = LoadImageFile(path);
        EXPECT_EQ(loaded.failure, PrepareFailure::fileOpen) << path;
        EXPECT_EQ(loaded.text, "File Open Error");
    }
}

// A read that fails part way: /proc/self/mem read across the end of a mapping delivers the
// mapped bytes and then fails with EIO, as a failing disk would.
TEST(Loader, ReadErrorInTheMiddleOfTheFile) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const auto size = static_cast<std::size_t>(page);
    void* map = ::mmap(nullptr, 3 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto* bytes = static_cast<std::uint8_t*>(map);
    std::fill(bytes, bytes + 2 * size, 0x42);
    ASSERT_EQ(::munmap(bytes + 2 * size, size), 0);

    const int fd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(reinterpret_cast<std::uintptr_t>(bytes)), SEEK_SET),
              static_cast<off_t>(reinterpret_cast<std::uintptr_t>(bytes)));
    const LoadedImage loaded = LoadImageFromDescriptor(fd, "image.bin");
    ::close(fd);
    ::munmap(bytes, 2 * size);

    EXPECT_EQ(loaded.failure, PrepareFailure::readError);
    EXPECT_EQ(loaded.text, "Read error in the firmware file after " + GroupDigits(2 * size) +
                               " bytes: Input/output error.");
}

TEST(Detect, ContentDecidesTheExtensionOnlyExcusesBlankLines) {
    const auto bytes = [](const char* text) {
        return std::vector<std::uint8_t>(text, text + std::strlen(text));
    };
    EXPECT_EQ(DetectImageFormat("a.bin", bytes(":00000001FF")), ImageFormat::intelHex);
    EXPECT_EQ(DetectImageFormat("a", bytes(":00000001FF")), ImageFormat::intelHex);
    EXPECT_EQ(DetectImageFormat("a.HEX", bytes("\r\n  :00000001FF")), ImageFormat::intelHex);
    EXPECT_EQ(DetectImageFormat("a.bin", bytes("\r\n  :00000001FF")), ImageFormat::binary);
    EXPECT_EQ(DetectImageFormat("a.hex", bytes("\x00\x80\x00\x10")), ImageFormat::binary);
    EXPECT_EQ(DetectImageFormat("a.hex", {}), ImageFormat::binary);
}

// ---- Intel HEX ----

std::string Record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data,
                   bool lower = false) {
    char text[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, lower ? ":%02x%04x%02x" : ":%02X%04X%02X",
                  static_cast<unsigned>(data.size()), address, type);
    std::string out = text;
    for (auto b : data) {
        std::snprintf(text, sizeof text, lower ? "%02x" : "%02X", b);
        out += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, lower ? "%02x" : "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return out + text;
}

std::string Linear(std::uint16_t upper) {
    return Record(4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}
std::string Segment(std::uint16_t segment) {
    return Record(2, 0, {static_cast<std::uint8_t>(segment >> 8), static_cast<std::uint8_t>(segment)});
}
const std::string kEnd = ":00000001FF";

struct HexCase {
    const char* name;
    std::string text;
};

std::string Lines(std::initializer_list<std::string> lines, const char* end = "\n") {
    std::string out;
    for (const auto& l : lines) out += l + end;
    return out;
}

std::vector<HexCase> WellFormed() {
    return {
        {"one record", Lines({Record(0, 0x0000, Pattern(16)), kEnd})},
        {"linear base with a gap",
         Lines({Linear(0x1A02), Record(0, 0x0000, Pattern(16, 2)), Record(0, 0x0040, Pattern(5, 3)),
                Record(5, 0, {0x1A, 0x02, 0x01, 0x01}), kEnd})},
        {"records out of order and CRLF",
         Lines({Linear(0x1A02), Record(0, 0x0100, Pattern(32, 4)), Record(0, 0x0000, Pattern(32, 5)),
                kEnd},
               "\r\n")},
        {"lower-case digits and blank lines",
         Lines({Record(0, 0x0010, Pattern(8, 6), true), "", Record(0, 0x0018, Pattern(8, 7), true),
                kEnd, ""})},
        {"segment addresses", Lines({Segment(0x1000), Record(0, 0x0000, Pattern(20, 8)),
                                     Record(0, 0x0030, Pattern(3, 9)), kEnd})},
        {"across a 64 KiB boundary",
         Lines({Linear(0x0000), Record(0, 0xFFF0, Pattern(16, 10)), Linear(0x0001),
                Record(0, 0x0000, Pattern(16, 11)), kEnd})},
    };
}

class HexAgainstObjcopy : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexAgainstObjcopy, DecodesToWhatObjcopyWrites) {
    const std::string objcopy = VUMO_TEST_OBJCOPY;
    if (objcopy.empty() || ::access(objcopy.c_str(), X_OK) != 0) GTEST_SKIP() << "no objcopy";
    test::TempDir dir;
    const std::string hexPath = dir.File("in.hex");
    const std::string binPath = dir.File("out.bin");
    test::WriteBytes(hexPath, GetParam().text);
    const std::string command = objcopy + " -I ihex -O binary '" + hexPath + "' '" + binPath + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const auto expected = test::ReadBytes(binPath);

    const auto& text = GetParam().text;
    const HexImage hex =
        DecodeIntelHex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, 1 << 20);
    ASSERT_EQ(hex.status, HexStatus::ok) << hex.message;
    EXPECT_EQ(hex.bytes, expected);

    // And the loader sends those bytes, not the text.
    const LoadedImage loaded = LoadImageFile(hexPath);
    ASSERT_EQ(loaded.failure, PrepareFailure::none) << loaded.text;
    EXPECT_EQ(loaded.format, ImageFormat::intelHex);
    EXPECT_EQ(loaded.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(Files, HexAgainstObjcopy, ::testing::ValuesIn(WellFormed()),
                         [](const auto& tpi) {
                             std::string name;
                             for (const char* p = tpi.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(Hex, BaseAddressAndGapFill) {
    const std::string text = Lines({Linear(0x1A02), Record(0, 0x0004, {1, 2}), Record(0, 0x0008, {3}), kEnd});
    const HexImage hex =
        DecodeIntelHex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, 1 << 20);
    ASSERT_EQ(hex.status, HexStatus::ok) << hex.message;
    EXPECT_EQ(hex.baseAddress, 0x1A020004u);
    EXPECT_EQ(hex.bytes, (std::vector<std::uint8_t>{1, 2, 0, 0, 3}));
}

TEST(Hex, OnlyTheEndRecordGivesAnEmptyImage) {
    const HexImage hex = DecodeIntelHex({reinterpret_cast<const std::uint8_t*>(kEnd.data()), kEnd.size()}, 16);
    EXPECT_EQ(hex.status, HexStatus::ok);
    EXPECT_TRUE(hex.bytes.empty());
}

TEST(Hex, SpanBeyondTheLimitIsTooLargeAndNotAllocated) {
    // 3.5 GiB apart: allocating the span would fail loudly.
    const std::string text =
        Lines({Record(0, 0, {1}), Linear(0xE000), Record(0, 0, {2}), kEnd});
    const HexImage hex =
        DecodeIntelHex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, kMaxImageBytes);
    EXPECT_EQ(hex.status, HexStatus::tooLarge);
    EXPECT_EQ(hex.span, 0xE0000001ull);

    test::TempDir dir;
    test::WriteBytes(dir.File("big.hex"), text);
    const LoadedImage loaded = LoadImageFile(dir.File("big.hex"));
    EXPECT_EQ(loaded.failure, PrepareFailure::tooLarge);
    EXPECT_NE(loaded.text.find("131,071"), std::string::npos) << loaded.text;
}

TEST(Hex, ImageOfExactlyTheLimitFits) {
    std::string text = Linear(0x1A02) + "\n";
    const auto bytes = Pattern(kMaxImageBytes, 3);
    for (std::size_t at = 0; at < bytes.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, bytes.size() - at);
        text += Linear(static_cast<std::uint16_t>(0x1A02 + (at >> 16))) + "\n";
        text += Record(0, static_cast<std::uint16_t>(at & 0xFFFF),
                       std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                 bytes.begin() + static_cast<std::ptrdiff_t>(at + n))) + "\n";
    }
    text += kEnd + "\n";
    test::TempDir dir;
    test::WriteBytes(dir.File("full.hex"), text);
    const LoadedImage loaded = LoadImageFile(dir.File("full.hex"));
    ASSERT_EQ(loaded.failure, PrepareFailure::none) << loaded.text;
    EXPECT_EQ(loaded.bytes, bytes);
    auto image = std::make_unique<protocol::FirmwareImage>();
    CommitImage(loaded.bytes, *image);
    EXPECT_EQ(image->blockCount, 1024u);
}

struct BadHex {
    const char* name;
    std::string text;
    std::string reason;  // part of the message
    bool looksLikeHex = true;  // false: by its content the loader takes it for binary
};

std::vector<BadHex> Malformed() {
    std::string badSum = Record(0, 0, {1, 2, 3});
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    std::string shortLength = Record(0, 0, {1, 2, 3});
    shortLength[2] = '4';  // says 4 bytes, holds 3 (and the checksum no longer fits either)
    return {
        {"bad checksum", Lines({badSum, kEnd}), "line 1: record checksum is wrong"},
        {"bad digit", Lines({":0100000G01FE", kEnd}), "line 1: 'G' is not a hex digit"},
        {"odd digits", Lines({":0100000001F", kEnd}), "line 1: odd number of hex digits"},
        {"no colon", Lines({"0100000001FE", kEnd}), "line 1: not a record", false},
        {"text line", Lines({Record(0, 0, {1}), "hello", kEnd}), "line 2: not a record"},
        {"too short", Lines({":0000", kEnd}), "line 1: record too short"},
        {"length mismatch", Lines({shortLength, kEnd}), "line 1: the length byte says 4"},
        {"unknown type", Lines({Record(6, 0, {}), kEnd}), "line 1: unknown record type 0x06"},
        {"bad linear record", Lines({Record(4, 0, {1}), kEnd}), "line 1: extended linear"},
        {"end record with data", Lines({Record(1, 0, {1})}), "line 1: end-of-file record with data"},
        {"no end record", Lines({Record(0, 0, {1, 2})}), "end-of-file record is missing"},
        {"empty file", "", "end-of-file record is missing", false},
        {"data after the end", Lines({kEnd, Record(0, 0, {1})}), "line 2: data after the end"},
        {"overlap", Lines({Record(0, 0x10, {1, 2, 3, 4}), Record(0, 0x12, {5}), kEnd}),
         "line 2: data at 0x00000012 overlaps the data of line 1"},
        {"beyond 4 GiB", Lines({Linear(0xFFFF), Record(0, 0xFFFF, {1, 2}), kEnd}),
         "line 2: data beyond the 4 GiB"},
        {"binary junk", std::string(":\x01\x02\x03\n", 5), "line 1: odd number"},
    };
}

class HexRefused : public ::testing::TestWithParam<BadHex> {};

TEST_P(HexRefused, WithAClearMessage) {
    const auto& c = GetParam();
    const HexImage hex =
        DecodeIntelHex({reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()}, 1 << 20);
    EXPECT_EQ(hex.status, HexStatus::malformed);
    EXPECT_NE(hex.message.find(c.reason), std::string::npos) << hex.message;
    EXPECT_TRUE(hex.bytes.empty());

    test::TempDir dir;
    test::WriteBytes(dir.File("bad.hex"), c.text);
    const LoadedImage loaded = LoadImageFile(dir.File("bad.hex"));
    if (!c.looksLikeHex) {
        EXPECT_EQ(loaded.format, ImageFormat::binary);
        return;
    }
    EXPECT_EQ(loaded.failure, PrepareFailure::malformedHex);
    EXPECT_EQ(loaded.text.rfind("Not a valid Intel HEX file: ", 0), 0u) << loaded.text;
}

INSTANTIATE_TEST_SUITE_P(Files, HexRefused, ::testing::ValuesIn(Malformed()),
                         [](const auto& tpi) {
                             std::string name;
                             for (const char* p = tpi.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(GroupDigits, Thousands) {
    EXPECT_EQ(GroupDigits(0), "0");
    EXPECT_EQ(GroupDigits(999), "999");
    EXPECT_EQ(GroupDigits(131071), "131,071");
    EXPECT_EQ(GroupDigits(1234567), "1,234,567");
}

}  // namespace
}  // namespace vumo::image
