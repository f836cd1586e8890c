// vumo-dfu check FILE [--json]: the firmware check and load of the Update button, without a
// device. Shows the verdict, the location code, the image's size, its block count and the
// block CRCs; exits 0 only for a file that an update would upload.

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/tool_run.h"
#include "image/prepare.h"
#include "messages/causes.h"
#include "image/redirector.h"
#include "protocol/firmware_image.h"
#include "text/utf8.h"
#include "platform/stop_signals.h"

#include <cstdio>
#include <memory>
#include <string>

namespace vumo::cli {
namespace {

struct CheckOptions {
    std::string file;
    bool json = false;
};

void PrintJson(const image::PrepareResult& result, const protocol::FirmwareImage& image,
               const messages::Cause& cause) {
    const std::uint32_t blocks = result.ok() ? image.blockCount : 0;
    std::string out = "{\"firmware\": ";
    out += result.firmware ? "true" : "false";
    out += ", \"location\": " + std::to_string(result.location);
    out += ", \"size\": " + std::to_string(result.imageSize);
    out += ", \"blocks\": " + std::to_string(blocks);
    out += ", \"crc\": [";
    for (std::uint32_t i = 0; i < blocks; ++i) {
        if (i) out += ", ";
        out += std::to_string(image.blockCrc[i]);
    }
    out += "]";
    if (!result.ok()) {
        out += ", \"message\": " + JsonString(result.text);
        if (!cause.text.empty()) out += ", \"cause\": " + JsonString(cause.text);
    }
    out += "}\n";
    std::fputs(out.c_str(), stdout);
}

void PrintText(const std::string& file, const image::PrepareResult& result,
               const protocol::FirmwareImage& image) {
    std::printf("File:          %s\n", text::TerminalSafe(file).c_str());
    if (result.format == image::ImageFormat::intelHex)
        std::printf("Format:        Intel HEX, image from 0x%08X\n", result.baseAddress);
    else
        std::printf("Format:        binary\n");
    std::printf("Firmware:      yes\n");
    std::printf("Location code: %u (0x%02X)\n", result.location, result.location);
    std::printf("Size:          %s bytes\n", image::GroupDigits(result.imageSize).c_str());
    std::printf("Blocks:        %u of %zu\n", image.blockCount, protocol::kMaxBlocks);
    std::printf("Block CRCs:\n");
    for (std::uint32_t i = 0; i < image.blockCount; ++i) {
        if (i % 4 == 0) std::printf("  %4u:", i);
        std::printf(" 0x%08X", image.blockCrc[i]);
        if (i % 4 == 3 || i + 1 == image.blockCount) std::printf("\n");
    }
}

int RunCheck(const CheckOptions& options, const CommonOptions& common) {
    StepLog log(common.verbosity, stderr);
    // 132 KiB: too large for the stack of a command.
    auto image = std::make_unique<protocol::FirmwareImage>();
    // Ctrl-C and SIGTERM end the tool at once (exit 130), not after its time limit.
    platform::StopSignals stops;
    log.Step("checking the firmware file");
    const image::PrepareResult result = CheckFirmwareFile(options.file, stops, log);
    if (result.prepared) *image = result.prepared->image;
    log.Step(result.ok() ? "the file is firmware and loaded" : "the file was refused");
    const messages::Cause cause = messages::PrepareCause(result);

    if (options.json) {
        PrintJson(result, *image, cause);
    } else if (result.ok()) {
        PrintText(options.file, result, *image);
    } else {
        std::fflush(stdout);
        std::fputs(FailureText(result.caption + ": ", result.text, cause).c_str(), stderr);
    }
    return ExitCodeForCheck(result.failure);
}

}  // namespace

void AddCheckCommand(CLI::App& app, const CommonOptions& common, int& exitCode) {
    auto options = std::make_shared<CheckOptions>();
    CLI::App* check = app.add_subcommand(
        "check", "Check a firmware file as the Update button does, without a device: the "
                 "checksum tool's verdict, location code, size, block count and block CRCs.");
    check->add_option("FILE", options->file, "Firmware file: binary, or Intel HEX")->required();
    check->add_flag("--json", options->json,
                    "Print one JSON object: firmware, location, size, blocks, crc, and message "
                    "and cause on failure");
    check->footer(
        "The checksum tool is looked for in the program's own folder, then in the installed "
        "helper folder, then in PATH (never in the current folder); VUMO_CHECKSUM_TOOL may name "
        "it with an absolute path instead.\n\n" +
        std::string(kCommonOptionsFooter));
    check->callback([options, &common, &exitCode] { exitCode = RunCheck(*options, common); });
}

void AddCheckCommand(CLI::App& app, int& exitCode) {
    static const CommonOptions kDefaults;
    AddCheckCommand(app, kDefaults, exitCode);
}

}  // namespace vumo::cli
