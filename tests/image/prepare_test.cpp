// The first stage of the Update button: the real checksum tool on sample images, substitute
// tools that misbehave, awkward paths, and the failures with their texts and captions.

#include "image/prepare.h"
#include "image/test_files.h"
#include "image/tool_lookup.h"
#include "protocol/crc32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vumo::image {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kSampleSize = 300;  // three blocks

class PrepareTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        CRedirector generator;
        ASSERT_TRUE(generator.Open({VUMO_TEST_SAMPLE_IMAGE, "--all", dir_.path(), "--size",
                                    std::to_string(kSampleSize), "--seed", "5"}));
        ASSERT_TRUE(generator.WaitUntilDone(10s));
        ASSERT_EQ(generator.WaitStatus(), 0) << generator.Output();

        // Something to show whether a failure touched the image.
        before_ = std::vector<std::uint8_t>(5000, 0xA5);
        CommitImage(before_, *image_);
        snapshot_ = std::make_unique<protocol::FirmwareImage>(*image_);
        runner_.SetTimeLimit(5s);
    }

    PrepareResult Prepare(const std::string& path, const std::string& tool = VUMO_TEST_CHECKSUM) {
        PrepareOptions options;
        options.toolPath = tool;
        return PrepareImage(path, *image_, [this](std::uint8_t code) { stored_.push_back(code); },
                            runner_, options);
    }

    void ExpectImageUntouched() {
        EXPECT_EQ(image_->blockCount, snapshot_->blockCount);
        EXPECT_TRUE(image_->blocks == snapshot_->blocks);
        EXPECT_TRUE(image_->blockCrc == snapshot_->blockCrc);
    }

    std::string Accepting() {
        return test::WriteScript(dir_, "accepting", "echo 'Adding 0x10008000'; echo 'Adding 0x1a04'");
    }

    test::TempDir dir_;
    CRedirector runner_;
    std::unique_ptr<protocol::FirmwareImage> image_ = std::make_unique<protocol::FirmwareImage>();
    std::unique_ptr<protocol::FirmwareImage> snapshot_;
    std::vector<std::uint8_t> before_;
    std::vector<std::uint8_t> stored_;
};

struct Sample {
    const char* name;
    std::uint8_t code;
};

class PrepareSample : public PrepareTest, public ::testing::WithParamInterface<Sample> {};

TEST_P(PrepareSample, LoadsWithItsLocationCode) {
    const auto [name, code] = GetParam();
    const std::string binary = dir_.File(std::string("sample-loc-") + name + ".bin");
    const auto bytes = test::ReadBytes(binary);
    ASSERT_EQ(bytes.size(), kSampleSize);

    for (const std::string& path : {binary, dir_.File(std::string("sample-loc-") + name + ".hex")}) {
        SCOPED_TRACE(path);
        stored_.clear();
        const PrepareResult result = Prepare(path);
        ASSERT_TRUE(result.ok()) << result.caption << ": " << result.text;
        EXPECT_TRUE(result.firmware);
        EXPECT_EQ(result.location, code);
        EXPECT_EQ(stored_, std::vector<std::uint8_t>{code});
        EXPECT_EQ(result.imageSize, kSampleSize);
        EXPECT_EQ(image_->blockCount, 3u);
        for (std::size_t i = 0; i < protocol::kImageCapacity; ++i) {
            const std::uint8_t want = i < bytes.size() ? bytes[i] : 0;
            ASSERT_EQ(image_->blocks[i / 128][i % 128], want) << "byte " << i;
        }
        for (std::uint32_t i = 0; i < 3; ++i)
            EXPECT_EQ(image_->blockCrc[i], protocol::BlockCrc32(image_->blocks[i]));
        EXPECT_TRUE(runner_.IsFinished()) << "the results stay readable";
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, PrepareSample,
                         ::testing::Values(Sample{"bb", 0xBB}, Sample{"1", 0x01}, Sample{"2", 0x02},
                                           Sample{"3", 0x03}, Sample{"ff", 0xFF},
                                           Sample{"d1", 0xD1}),
                         [](const auto& tpi) { return std::string("loc_") + tpi.param.name; });

TEST_F(PrepareTest, NotFirmware) {
    for (const char* file : {"sample-not-firmware.bin", "sample-not-firmware.hex"}) {
        const PrepareResult result = Prepare(dir_.File(file));
        EXPECT_EQ(result.failure, PrepareFailure::notFirmware);
        EXPECT_EQ(result.text, "This is not Vumo firmware file");
        EXPECT_EQ(result.caption, "ERROR-CheckSum");
        EXPECT_FALSE(result.firmware);
    }
    EXPECT_TRUE(stored_.empty()) << "no location code is stored for a refused file";
    ExpectImageUntouched();
}

TEST_F(PrepareTest, ToolThatCannotBeFoundOrStarted) {
    for (const std::string& tool : {dir_.File("no-such-tool"), std::string("checksum")}) {
        const PrepareResult result = Prepare(dir_.File("sample-loc-1.bin"), tool);
        EXPECT_EQ(result.failure, PrepareFailure::toolNotFound);
        EXPECT_EQ(result.text, "Can not found checksum.exe");
        EXPECT_EQ(result.caption, "ERROR-CheckSum");
    }
    ExpectImageUntouched();
}

TEST_F(PrepareTest, ToolThatHangsIsStoppedAtTheTimeLimit) {
    runner_.SetTimeLimit(300ms);
    const auto start = std::chrono::steady_clock::now();
    const PrepareResult result =
        Prepare(dir_.File("sample-loc-1.bin"),
                test::WriteScript(dir_, "hang", "echo 'Adding 0x10008000'; exec sleep 30"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(result.failure, PrepareFailure::toolTimedOut);
    EXPECT_EQ(result.caption, "ERROR-CheckSum");
    EXPECT_EQ(result.text,
              "The checksum tool did not finish within 0.3 seconds and was stopped. The file was "
              "not checked.");
    EXPECT_TRUE(stored_.empty());
    ExpectImageUntouched();
    EXPECT_TRUE(test::NoChildren());
}

TEST_F(PrepareTest, FileThatCannotBeOpenedAfterTheCheckStillStoresTheCode) {
    const PrepareResult result = Prepare(dir_.File("gone.bin"), Accepting());
    EXPECT_EQ(result.failure, PrepareFailure::fileOpen);
    EXPECT_EQ(result.text, "File Open Error");
    EXPECT_EQ(result.caption, "ERROR-File");
    EXPECT_EQ(stored_, std::vector<std::uint8_t>{0x02});
    ExpectImageUntouched();
}

TEST_F(PrepareTest, FileTooLargeIsRefusedAndTheImageKept) {
    const std::string path = dir_.File("big.bin");
    test::WriteBytes(path, std::vector<std::uint8_t>(131072, 0x11));
    const PrepareResult result = Prepare(path, Accepting());
    EXPECT_EQ(result.failure, PrepareFailure::tooLarge);
    EXPECT_EQ(result.caption, "ERROR-File");
    EXPECT_EQ(result.text,
              "The firmware image is 131,072 bytes long; at most 131,071 bytes fit the device's "
              "1024 blocks of 128 bytes.");
    ExpectImageUntouched();
}

TEST_F(PrepareTest, MalformedHexIsRefusedAndTheImageKept) {
    const std::string path = dir_.File("cut.hex");
    auto text = test::ReadBytes(dir_.File("sample-loc-1.hex"));
    text.resize(text.size() - 13);  // the end-of-file record and a little more
    test::WriteBytes(path, text);
    const PrepareResult result = Prepare(path, Accepting());
    EXPECT_EQ(result.failure, PrepareFailure::malformedHex);
    EXPECT_EQ(result.caption, "ERROR-File");
    EXPECT_EQ(result.text.rfind("Not a valid Intel HEX file: ", 0), 0u) << result.text;
    ExpectImageUntouched();

    // The real tool refuses it too, so it never gets as far as the loader.
    const PrepareResult real = Prepare(path);
    EXPECT_EQ(real.failure, PrepareFailure::notFirmware);
}

// Paths the tool must receive as one argument, untouched.
TEST_F(PrepareTest, AwkwardPathsReachTheToolWhole) {
    // Were a shell involved, these would create "pwned" in its current folder.
    const std::vector<std::string> names = {
        "with  blanks and\ttab.bin", "quote\"d 'single'.bin", "semi;colon; touch pwned.bin",
        "$(touch pwned).bin", "`touch pwned`.bin", "latin-1 \xe9\xff\xfe.bin",
        " leading blank.bin", "-dash.bin"};
    const auto sample = test::ReadBytes(dir_.File("sample-loc-2.bin"));
    const std::string echo = test::WriteScript(
        dir_, "echo-args",
        "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; echo 'Adding 0x10008000'");
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir_.File(name);
        test::WriteBytes(path, sample);

        stored_.clear();
        const PrepareResult result = Prepare(path);
        ASSERT_TRUE(result.ok()) << result.caption << ": " << result.text;
        EXPECT_EQ(result.location, 0x02);

        ASSERT_TRUE(Prepare(path, echo).ok());
        EXPECT_EQ(runner_.Output(),
                  "[-d]\n[-v]\n[-p]\n[LPC1857]\n[" + path + "]\nAdding 0x10008000\n");
    }
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_FALSE(std::filesystem::exists(dir_.File("pwned")));
}

TEST(ChecksumCommand, PathIsOneArgumentAndNeverAnOption) {
    EXPECT_EQ(ChecksumCommand("/t/checksum", "/a b/c.bin"),
              (std::vector<std::string>{"/t/checksum", "-d", "-v", "-p", "LPC1857", "/a b/c.bin"}));
    EXPECT_EQ(ChecksumCommand("/t/checksum", "-v.bin").back(), "./-v.bin");
    EXPECT_EQ(ChecksumCommand("/t/checksum", "a-v.bin").back(), "a-v.bin");
}

// Without a tool path the search runs, and the variable can name the tool.
TEST_F(PrepareTest, ToolNamedByTheEnvironment) {
    ::setenv(kChecksumToolVariable, VUMO_TEST_CHECKSUM, 1);
    const PrepareResult result = Prepare(dir_.File("sample-loc-3.bin"), "");
    ::setenv(kChecksumToolVariable, dir_.File("absent").c_str(), 1);
    const PrepareResult absent = Prepare(dir_.File("sample-loc-3.bin"), "");
    ::unsetenv(kChecksumToolVariable);
    EXPECT_TRUE(result.ok()) << result.text;
    EXPECT_EQ(result.location, 0x03);
    EXPECT_EQ(absent.failure, PrepareFailure::toolNotFound);
}

}  // namespace
}  // namespace vumo::image
