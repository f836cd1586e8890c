// `vumo-dfu check FILE [--json]` through its command-line registration, with the real tool.

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "image/prepare.h"
#include "image/test_files.h"
#include "image/tool_lookup.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vumo::cli {
namespace {

using namespace std::chrono_literals;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class CheckCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv(image::kChecksumToolVariable, VUMO_TEST_CHECKSUM, 1);
        image::CRedirector generator;
        ASSERT_TRUE(generator.Open(
            {VUMO_TEST_SAMPLE_IMAGE, "--all", dir_.path(), "--size", "300", "--seed", "9"}));
        ASSERT_TRUE(generator.WaitUntilDone(10s));
        ASSERT_EQ(generator.WaitStatus(), 0);
    }
    void TearDown() override { ::unsetenv(image::kChecksumToolVariable); }

    static Outcome Run(std::vector<std::string> args) {
        CLI::App app{"test", "vumo-dfu"};
        app.require_subcommand(1);
        Outcome outcome;
        AddCheckCommand(app, outcome.exitCode);
        args.insert(args.begin(), "vumo-dfu");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        app.parse(static_cast<int>(argv.size()), argv.data());
        outcome.out = ::testing::internal::GetCapturedStdout();
        outcome.err = ::testing::internal::GetCapturedStderr();
        return outcome;
    }

    test::TempDir dir_;
};

TEST_F(CheckCommand, JsonForAFileThatWouldBeUploaded) {
    const std::string path = dir_.File("sample-loc-1.bin");
    auto image = std::make_unique<protocol::FirmwareImage>();
    image::CommitImage(test::ReadBytes(path), *image);

    const Outcome o = Run({"check", path, "--json"});
    EXPECT_EQ(o.exitCode, kExitOk) << o.err;
    EXPECT_EQ(o.out, "{\"firmware\": true, \"location\": 1, \"size\": 300, \"blocks\": 3, \"crc\": [" +
                         std::to_string(image->blockCrc[0]) + ", " +
                         std::to_string(image->blockCrc[1]) + ", " +
                         std::to_string(image->blockCrc[2]) + "]}\n");
}

TEST_F(CheckCommand, TextShowsVerdictLocationSizeBlocksAndCrcs) {
    const Outcome o = Run({"check", dir_.File("sample-loc-bb.hex")});
    EXPECT_EQ(o.exitCode, kExitOk) << o.err;
    EXPECT_NE(o.out.find("Format:        Intel HEX, image from 0x1A000000\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Firmware:      yes\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Location code: 187 (0xBB)\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Size:          300 bytes\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Blocks:        3 of 1024\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("     0: 0x"), std::string::npos) << o.out;
}

TEST_F(CheckCommand, AMissingFileSaysSoBesideTheFixedText) {
    const Outcome o = Run({"check", "/no/such/file"});
    EXPECT_EQ(o.exitCode, kExitFile);
    EXPECT_EQ(o.err.rfind("ERROR-CheckSum: This is not Vumo firmware file\n", 0), 0u) << o.err;
    EXPECT_NE(o.err.find("cause: the file /no/such/file does not exist"), std::string::npos)
        << o.err;
}

TEST_F(CheckCommand, NotFirmwareExitsWithTheFileStatus) {
    const std::string path = dir_.File("sample-not-firmware.bin");
    const Outcome json = Run({"check", "--json", path});
    EXPECT_EQ(json.exitCode, kExitFile);
    EXPECT_EQ(json.out.rfind("{\"firmware\": false, \"location\": 0, \"size\": 0, \"blocks\": 0, "
                             "\"crc\": [], \"message\": \"This is not Vumo firmware file\", "
                             "\"cause\": \"the checksum tool did not mark ", 0), 0u)
        << json.out;

    // The fixed text stands alone on its line; the cause follows on the next.
    const Outcome text = Run({"check", path});
    EXPECT_EQ(text.exitCode, kExitFile);
    EXPECT_EQ(text.err.rfind("ERROR-CheckSum: This is not Vumo firmware file\n  cause: the "
                             "checksum tool did not mark ", 0), 0u)
        << text.err;
}

TEST_F(CheckCommand, TooLargeFileNamesTheLimit) {
    const std::string path = dir_.File("big.bin");
    auto bytes = test::ReadBytes(dir_.File("sample-loc-2.bin"));
    bytes.resize(131072, 0);
    test::WriteBytes(path, bytes);
    const Outcome o = Run({"check", path, "--json"});
    EXPECT_EQ(o.exitCode, kExitFile);
    EXPECT_NE(o.out.find("\"firmware\": true, \"location\": 2,"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("at most 131,071 bytes"), std::string::npos) << o.out;
}

// A file replaced while the tool checks it is refused like any refused file.
TEST_F(CheckCommand, FileChangedDuringTheCheckExitsWithTheFileStatus) {
    const std::string path = dir_.File("sample-loc-1.bin");
    const std::string tool = test::WriteScript(
        dir_, "replacing",
        "cp \"$5\" \"$5.new\" && mv \"$5.new\" \"$5\"; echo 'Adding 0x10008000'");
    ::setenv(image::kChecksumToolVariable, tool.c_str(), 1);
    const Outcome o = Run({"check", path});
    EXPECT_EQ(o.exitCode, kExitFile);
    EXPECT_EQ(o.err.rfind("ERROR-File: The file changed while it was being checked; nothing was "
                          "sent. Choose it again.\n", 0), 0u) << o.err;
}

// Interrupted is 130 for `check` and `update` alike, not a refused file.
TEST(CheckExitCode, InterruptedCheckIsAnInterruption) {
    EXPECT_EQ(ExitCodeForCheck(image::PrepareFailure::interrupted), kExitInterrupted);
}

TEST_F(CheckCommand, MissingToolIsAFailureOfItsOwn) {
    ::setenv(image::kChecksumToolVariable, dir_.File("absent").c_str(), 1);
    const Outcome o = Run({"check", dir_.File("sample-loc-1.bin")});
    EXPECT_EQ(o.exitCode, kExitFailure);
    EXPECT_EQ(o.err.rfind("ERROR-CheckSum: Can not found checksum.exe\n  cause: the checksum tool " +
                              dir_.File("absent") + " does not exist",
                          0),
              0u)
        << o.err;
    EXPECT_NE(o.err.find("  hint: install the checksum tool"), std::string::npos) << o.err;
}

}  // namespace
}  // namespace vumo::cli
