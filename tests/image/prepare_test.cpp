// The first stage of the Update button: the real checksum tool on sample images, substitute
// tools that misbehave, awkward paths, and the failures with their texts and captions.

#include "base/wake_event.h"
#include "image/prepare.h"
#include "image/test_files.h"
#include "image/tool_lookup.h"
#include "protocol/crc32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
        // What a front end keeps of it: the tool's location code once the file is marked as
        // firmware, and the image only when the whole stage succeeded.
        PrepareResult result = PrepareImage(path, runner_, options);
        if (result.firmware) stored_.push_back(result.location);
        if (result.prepared) *image_ = result.prepared->image;
        return result;
    }

    // The value-returning first stage, as the station and the command line use it.
    PrepareResult PrepareValue(const std::string& path, const std::string& tool = VUMO_TEST_CHECKSUM,
                               base::Waitable cancel = {}) {
        PrepareOptions options;
        options.toolPath = tool;
        options.cancel = cancel;
        return PrepareImage(path, runner_, options);
    }

    // What the system's sha256sum says of a file.
    static std::string Sha256sum(const std::string& path) {
        CRedirector tool;
        EXPECT_TRUE(tool.Open({"/usr/bin/sha256sum", path}));
        EXPECT_TRUE(tool.WaitUntilDone(10s));
        return tool.Output().substr(0, 64);
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

// The prepared image as a value: the image, the code, the format, the sizes and the file's
// SHA-256, equal to what the device object's copy gets.
TEST_P(PrepareSample, ReturnsThePreparedImageAsAValue) {
    const auto [name, code] = GetParam();
    for (const char* ext : {".bin", ".hex"}) {
        const std::string path = dir_.File(std::string("sample-loc-") + name + ext);
        SCOPED_TRACE(path);
        const PrepareResult result = PrepareValue(path);
        ASSERT_TRUE(result.ok()) << result.caption << ": " << result.text;
        ASSERT_TRUE(result.prepared);
        const PreparedImage& p = *result.prepared;
        EXPECT_EQ(p.location, code);
        EXPECT_EQ(p.format, std::string(ext) == ".hex" ? ImageFormat::intelHex : ImageFormat::binary);
        EXPECT_EQ(p.size, kSampleSize);
        EXPECT_EQ(p.fileSize, test::ReadBytes(path).size());
        EXPECT_EQ(p.sha256, Sha256sum(path));
        EXPECT_EQ(p.path, path);
        EXPECT_EQ(p.baseAddress, result.baseAddress);

        auto expected = std::make_unique<protocol::FirmwareImage>();
        CommitImage(test::ReadBytes(dir_.File(std::string("sample-loc-") + name + ".bin")), *expected);
        EXPECT_EQ(p.image.blockCount, 3u);
        EXPECT_TRUE(p.image.blocks == expected->blocks);
        EXPECT_TRUE(p.image.blockCrc == expected->blockCrc);

        // The command line and what the tool said, for the command line's -v.
        EXPECT_EQ(result.toolCommand, ChecksumCommand(VUMO_TEST_CHECKSUM, path));
        EXPECT_NE(result.toolOutput.find("Adding 0x10008000"), std::string::npos) << result.toolOutput;
        EXPECT_EQ(result.toolOutput, runner_.Output());
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

// Every failure leaves the value unset; a fixed text keeps its bytes and the cause says why.
TEST_F(PrepareTest, MissingFileIsNotFirmwareWithTheCauseFromOurOwnOpen) {
    const std::string path = dir_.File("no-such-file.bin");
    const PrepareResult result = PrepareValue(path);
    EXPECT_EQ(result.failure, PrepareFailure::notFirmware) << "the tool decides first";
    EXPECT_EQ(result.text, "This is not Vumo firmware file");
    EXPECT_EQ(result.caption, "ERROR-CheckSum");
    EXPECT_EQ(result.cause, "the file " + path + " does not exist");
    EXPECT_FALSE(result.prepared);
}

TEST_F(PrepareTest, CausesOfFilesThatCannotBeLoaded) {
    const std::string missing = dir_.File("gone.bin");
    const PrepareResult gone = PrepareValue(missing, Accepting());
    EXPECT_EQ(gone.failure, PrepareFailure::fileOpen);
    EXPECT_EQ(gone.text, "File Open Error");
    EXPECT_EQ(gone.cause, "the file " + missing + " does not exist");

    const PrepareResult folder = PrepareValue(dir_.path(), Accepting());
    EXPECT_EQ(folder.failure, PrepareFailure::fileOpen);
    EXPECT_EQ(folder.text, "File Open Error");
    EXPECT_EQ(folder.cause, dir_.path() + " is a folder, not a file");
    EXPECT_FALSE(folder.prepared);

    const std::string fifo = dir_.File("fifo.bin");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const PrepareResult pipe = PrepareValue(fifo, Accepting());
    EXPECT_EQ(pipe.failure, PrepareFailure::fileOpen) << "refused, without waiting for a writer";
    EXPECT_EQ(pipe.cause, fifo + " is not a regular file");

    if (::geteuid() != 0) {  // root may read anything
        const std::string locked = dir_.File("locked.bin");
        test::WriteBytes(locked, test::ReadBytes(dir_.File("sample-loc-1.bin")));
        ::chmod(locked.c_str(), 0);
        const PrepareResult denied = PrepareValue(locked, Accepting());
        EXPECT_EQ(denied.failure, PrepareFailure::fileOpen);
        EXPECT_EQ(denied.cause, "permission denied on " + locked);
    }
}

TEST_F(PrepareTest, CausesOfAToolThatCannotRun) {
    const std::string sample = dir_.File("sample-loc-1.bin");

    const std::string plain = dir_.File("plain-tool");
    test::WriteBytes(plain, "#!/bin/sh\necho 'Adding 0x10008000'\n");
    ::chmod(plain.c_str(), 0644);
    const PrepareResult notExecutable = PrepareValue(sample, plain);
    EXPECT_EQ(notExecutable.failure, PrepareFailure::toolNotFound);
    EXPECT_EQ(notExecutable.text, "Can not found checksum.exe");
    EXPECT_EQ(notExecutable.caption, "ERROR-CheckSum");
    EXPECT_EQ(notExecutable.cause, "the checksum tool " + plain + " is not executable");

    const std::string garbage = dir_.File("garbage-tool");
    test::WriteBytes(garbage, std::string("\x01\x02 not a program\n"));
    ::chmod(garbage.c_str(), 0755);
    const PrepareResult wrongFormat = PrepareValue(sample, garbage);
    EXPECT_EQ(wrongFormat.failure, PrepareFailure::toolNotFound);
    EXPECT_EQ(wrongFormat.text, "Can not found checksum.exe");
    EXPECT_EQ(wrongFormat.cause,
              "the checksum tool " + garbage + " could not be started: Exec format error");

    const PrepareResult absent = PrepareValue(sample, dir_.File("absent"));
    EXPECT_EQ(absent.cause, "the checksum tool " + dir_.File("absent") + " does not exist");

    // Found through the variable: the cause names it.
    ::setenv(kChecksumToolVariable, plain.c_str(), 1);
    const PrepareResult named = PrepareValue(sample, "");
    ::unsetenv(kChecksumToolVariable);
    EXPECT_EQ(named.failure, PrepareFailure::toolNotFound);
    EXPECT_EQ(named.cause, "the checksum tool " + plain + " is not executable (named by " +
                               kChecksumToolVariable + ")");
}

TEST_F(PrepareTest, CauseOfATimeOutAndOfARefusal) {
    runner_.SetTimeLimit(300ms);
    const std::string hang = test::WriteScript(dir_, "hang", "exec sleep 30");
    const PrepareResult slow = PrepareValue(dir_.File("sample-loc-1.bin"), hang);
    EXPECT_EQ(slow.failure, PrepareFailure::toolTimedOut);
    EXPECT_EQ(slow.cause, "the checksum tool " + hang + " was killed after 0.3 s");
    EXPECT_EQ(slow.toolCommand, ChecksumCommand(hang, dir_.File("sample-loc-1.bin")));

    runner_.SetTimeLimit(5s);
    const std::string path = dir_.File("sample-not-firmware.bin");
    const PrepareResult refused = PrepareValue(
        path, test::WriteScript(dir_, "refusing", "echo 'checksum: too short' >&2; exit 1"));
    EXPECT_EQ(refused.failure, PrepareFailure::notFirmware);
    EXPECT_EQ(refused.cause, "the checksum tool did not mark " + path +
                                 " as firmware and ended with exit status 1; it said: "
                                 "checksum: too short");
    EXPECT_EQ(refused.toolOutput, "checksum: too short\n");
}

// The tool checks the path; a file put there while it runs must not be what is uploaded.
TEST_F(PrepareTest, FileReplacedOrChangedDuringTheCheckIsRefused) {
    const auto sample = test::ReadBytes(dir_.File("sample-loc-2.bin"));
    const auto other = dir_.File("sample-loc-3.bin");
    struct Case {
        const char* what;
        std::string body;  // the tool's own doing; the path is its fifth argument
    };
    const std::vector<Case> cases = {
        {"replaced by another file", "cp '" + other + "' \"$5.new\" && mv \"$5.new\" \"$5\""},
        {"written to in place", "printf 'x' >> \"$5\""},
        {"removed", "rm \"$5\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir_.File("checked.bin");
        test::WriteBytes(path, sample);
        const std::string tool = test::WriteScript(
            dir_, "changing", c.body + "\necho 'Adding 0x10008000'; echo 'Adding 0x1a04'");
        stored_.clear();
        const PrepareResult result = Prepare(path, tool);
        EXPECT_EQ(result.failure, PrepareFailure::fileChanged);
        EXPECT_EQ(result.caption, "ERROR-File");
        EXPECT_EQ(result.text,
                  "The file changed while it was being checked; nothing was sent. Choose it again.");
        EXPECT_FALSE(result.cause.empty());
        EXPECT_FALSE(result.prepared);
        ExpectImageUntouched();
    }
}

// Ctrl-C during the check: the tool (which ignores SIGTERM and sleeps) is killed and reaped at
// once and the check ends as interrupted. Here the tool itself makes the cancel descriptor
// readable, through a FIFO, so the request comes while it is surely running.
TEST_F(PrepareTest, CancelDuringTheCheckEndsItAtOnce) {
    runner_.SetTimeLimit(60s);  // without cancellation the wait would end only here
    const std::string fifo = dir_.File("cancel");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int cancel = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(cancel, 0);
    const std::string tool = test::WriteScript(
        dir_, "stubborn",
        "trap '' TERM INT HUP; echo 'Adding 0x10008000'; echo go > '" + fifo + "'; exec sleep 30");
    const PrepareResult result = PrepareValue(dir_.File("sample-loc-1.bin"), tool,
                                              base::Waitable::FromNative(cancel));
    ::close(cancel);
    EXPECT_EQ(result.failure, PrepareFailure::interrupted);
    EXPECT_EQ(result.caption, "ERROR-CheckSum");
    EXPECT_EQ(result.text, "The file check was interrupted; nothing was sent.");
    EXPECT_FALSE(result.prepared);
    EXPECT_TRUE(test::NoChildren());
}

TEST_F(PrepareTest, CancelBeforeTheCheckStartsNoTool) {
    base::WakeEvent cancel;
    cancel.signal();
    const std::string marker = dir_.File("started");
    const PrepareResult result = PrepareValue(
        dir_.File("sample-loc-1.bin"), test::WriteScript(dir_, "marking", "touch '" + marker + "'"),
        cancel.waitable());
    EXPECT_EQ(result.failure, PrepareFailure::interrupted);
    EXPECT_FALSE(std::filesystem::exists(marker));
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
