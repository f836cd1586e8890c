// The checksum tool and the sample generator, run as the firmware check runs them.

#include "image/redirector.h"
#include "image/test_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace vumo::tools {
namespace {

using namespace std::chrono_literals;

struct Ran {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string output;
};

Ran RunProgram(const std::vector<std::string>& argv) {
    image::CRedirector runner;
    Ran ran;
    if (!runner.Open(argv) || !runner.WaitUntilDone(10s)) return ran;
    const int w = runner.WaitStatus();
    if (w >= 0 && WIFEXITED(w)) ran.status = WEXITSTATUS(w);
    ran.output = runner.Output();
    return ran;
}

Ran Checksum(std::vector<std::string> args) {
    args.insert(args.begin(), VUMO_TEST_CHECKSUM);
    return RunProgram(args);
}

Ran Generate(std::vector<std::string> args) {
    args.insert(args.begin(), VUMO_TEST_SAMPLE_IMAGE);
    return RunProgram(args);
}

std::uint32_t Word(const std::vector<std::uint8_t>& b, std::size_t i) {
    return std::uint32_t{b[4 * i]} | std::uint32_t{b[4 * i + 1]} << 8 |
           std::uint32_t{b[4 * i + 2]} << 16 | std::uint32_t{b[4 * i + 3]} << 24;
}

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

// What -v prints for an image: its seven words, then the checksum.
std::string ExpectedVerbose(const std::vector<std::uint8_t>& image) {
    std::string out;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        out += "Adding " + Hex(Word(image, i)) + "\n";
        sum += Word(image, i);
    }
    return out + "Checksum " + Hex(0u - sum) + "\n";
}

class ChecksumTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Generate({"--all", dir_.path(), "--size", "1000", "--seed", "3"}).status, 0);
    }
    test::TempDir dir_;
};

struct Sample {
    const char* name;
    std::uint8_t code;
    std::uint32_t resetRegion;  // the reset handler's top 16 bits
};

void PrintTo(const Sample& s, std::ostream* os) { *os << s.name; }

class ChecksumSample : public ChecksumTool, public ::testing::WithParamInterface<Sample> {};

TEST_P(ChecksumSample, VerboseDryRunPrintsTheWordsAndTheCheckSelectsTheCode) {
    const auto [name, code, region] = GetParam();
    const std::string bin = dir_.File(std::string("sample-loc-") + name + ".bin");
    const auto image = test::ReadBytes(bin);
    ASSERT_EQ(image.size(), 1000u);
    EXPECT_EQ(Word(image, 0), 0x10008000u);
    EXPECT_EQ(Word(image, 1) >> 16, region);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 8; ++i) sum += Word(image, i);
    EXPECT_EQ(sum, 0u) << "the generator writes a valid checksum";

    for (const std::string& path : {bin, dir_.File(std::string("sample-loc-") + name + ".hex")}) {
        SCOPED_TRACE(path);
        const auto before = test::ReadBytes(path);
        const Ran ran = Checksum({"-d", "-v", "-p", "LPC1857", path});
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.output, ExpectedVerbose(image));
        EXPECT_EQ(test::ReadBytes(path), before) << "-d writes nothing";
        const image::OutputVerdict verdict = image::OnOutput(ran.output, {});
        EXPECT_TRUE(verdict.isFirmware);
        EXPECT_EQ(verdict.location, code);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ChecksumSample,
    ::testing::Values(Sample{"bb", 0xBB, 0x1A00}, Sample{"1", 0x01, 0x1A02},
                      Sample{"2", 0x02, 0x1A04}, Sample{"3", 0x03, 0x1A06},
                      Sample{"ff", 0xFF, 0x1A08}, Sample{"df", 0xDF, 0x1B00},
                      Sample{"d1", 0xD1, 0x1B02}, Sample{"d2", 0xD2, 0x1B04},
                      Sample{"d3", 0xD3, 0x1B06}, Sample{"dd", 0xDD, 0x1B08}),
    [](const auto& tpi) { return std::string("loc_") + tpi.param.name; });

TEST_F(ChecksumTool, NotFirmwareSampleLacksTheMark) {
    for (const char* file : {"sample-not-firmware.bin", "sample-not-firmware.hex"}) {
        const Ran ran = Checksum({"-d", "-v", "-p", "LPC1857", dir_.File(file)});
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.output.find("Adding 0x10008000"), std::string::npos) << ran.output;
        EXPECT_NE(ran.output.find("Adding 0x20008000\n"), std::string::npos) << ran.output;
        EXPECT_FALSE(image::OnOutput(ran.output, {}).isFirmware);
    }
}

TEST_F(ChecksumTool, WritesWordSevenAtomicallyKeepingTheRest) {
    const std::string path = dir_.File("sample-loc-1.bin");
    const auto good = test::ReadBytes(path);
    auto broken = good;
    for (std::size_t i = 28; i < 32; ++i) broken.at(i) = 0;
    test::WriteBytes(path, broken);
    ::chmod(path.c_str(), 0640);

    const Ran ran = Checksum({path});
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_EQ(ran.output, "Checksum " + Hex(Word(good, 7)) + "\n");
    EXPECT_EQ(test::ReadBytes(path), good);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().filename().string().find(".sample-loc-1.bin."), std::string::npos)
            << "temporary file left: " << entry.path();
}

TEST_F(ChecksumTool, WritingThroughASymlinkUpdatesTheTarget) {
    const std::string path = dir_.File("sample-loc-2.bin");
    auto bytes = test::ReadBytes(path);
    const auto good = bytes;
    bytes[28] ^= 0xFF;
    test::WriteBytes(path, bytes);
    const std::string link = dir_.File("link.bin");
    std::filesystem::create_symlink(path, link);
    EXPECT_EQ(Checksum({"-p", "LPC4357", link}).status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(test::ReadBytes(path), good);
}

TEST_F(ChecksumTool, PartNames) {
    const std::string path = dir_.File("sample-loc-1.bin");
    for (const char* part : {"LPC1857", "lpc1857", "LPC1853", "LPC4337"})
        EXPECT_EQ(Checksum({"-d", "-p", part, path}).status, 0) << part;
    const Ran unknown = Checksum({"-d", "-p", "STM32F4", path});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.output.find("unknown part 'STM32F4'"), std::string::npos) << unknown.output;
    EXPECT_EQ(Checksum({"-d", "-p"}).status, 2);
}

TEST_F(ChecksumTool, BadInputIsAClearError) {
    const std::string shortFile = dir_.File("short.bin");
    test::WriteBytes(shortFile, std::string(31, '\x01'));
    const std::string badHex = dir_.File("bad.hex");
    test::WriteBytes(badHex, ":0100000001FF\n:00000001FF\n");

    const auto hexBefore = test::ReadBytes(dir_.File("sample-loc-1.hex"));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"-d", shortFile}, 1, "is too short for a vector table: 31 bytes, at least 32 needed"},
        {{"-d", dir_.File("missing.bin")}, 1, "cannot open"},
        {{"-d", dir_.path()}, 1, "is not a regular file"},
        {{"-d", "-v", badHex}, 1, "not a valid Intel HEX file: line 1: record checksum is wrong"},
        {{dir_.File("sample-loc-1.hex")}, 1, "cannot write into an Intel HEX file"},
        {{"-d"}, 2, "no FILE given"},
        {{"-d", "a", "b"}, 2, "only one FILE"},
        {{"-x", "a"}, 2, "unknown option"},
    };
    for (const auto& c : cases) {
        const Ran ran = Checksum(c.args);
        EXPECT_EQ(ran.status, c.status) << c.message;
        EXPECT_NE(ran.output.find(c.message), std::string::npos) << ran.output;
        EXPECT_EQ(ran.output.find("Adding 0x1"), std::string::npos) << "no verdict text on error";
    }
    EXPECT_EQ(test::ReadBytes(dir_.File("sample-loc-1.hex")), hexBefore)
        << "a refused write leaves the file as it was";
}

TEST(SampleGenerator, SameSeedSameImageOtherSeedOtherImage) {
    test::TempDir dir;
    ASSERT_EQ(Generate({"--seed", "7", "--size", "512", dir.File("a.bin")}).status, 0);
    ASSERT_EQ(Generate({"--seed", "7", "--size", "512", dir.File("b.bin")}).status, 0);
    ASSERT_EQ(Generate({"--seed", "8", "--size", "512", dir.File("c.bin")}).status, 0);
    const auto a = test::ReadBytes(dir.File("a.bin"));
    EXPECT_EQ(a.size(), 512u);
    EXPECT_EQ(a, test::ReadBytes(dir.File("b.bin")));
    EXPECT_NE(a, test::ReadBytes(dir.File("c.bin")));
}

TEST(SampleGenerator, HexIsTheSameImageAsObjcopySees) {
    const std::string objcopy = VUMO_TEST_OBJCOPY;
    if (objcopy.empty() || ::access(objcopy.c_str(), X_OK) != 0) GTEST_SKIP() << "no objcopy";
    test::TempDir dir;
    // Larger than 64 KiB, so the HEX needs a second extended address record.
    ASSERT_EQ(Generate({"--location", "3", "--size", "70001", dir.File("a.bin")}).status, 0);
    ASSERT_EQ(Generate({"--location", "3", "--size", "70001", dir.File("a.hex")}).status, 0);
    ASSERT_EQ(RunProgram({objcopy, "-I", "ihex", "-O", "binary", dir.File("a.hex"),
                          dir.File("o.bin")})
                  .status,
              0);
    EXPECT_EQ(test::ReadBytes(dir.File("o.bin")), test::ReadBytes(dir.File("a.bin")));
}

TEST(SampleGenerator, RefusesBadOptions) {
    test::TempDir dir;
    EXPECT_EQ(Generate({"--location", "7", dir.File("x.bin")}).status, 2);
    EXPECT_EQ(Generate({"--size", "31", dir.File("x.bin")}).status, 2);
    EXPECT_EQ(Generate({"--format", "elf", dir.File("x.bin")}).status, 2);
    EXPECT_EQ(Generate({}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.bin")));
}

}  // namespace
}  // namespace vumo::tools
