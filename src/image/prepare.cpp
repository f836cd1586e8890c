#include "image/prepare.h"

#include "image/tool_lookup.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace vumo::image {
namespace {

// Beyond the tool's own time limit, the reader needs a moment to kill and reap it.
constexpr std::chrono::milliseconds kWaitMargin{5000};

std::string Seconds(std::chrono::milliseconds limit) {
    char text[32];
    if (limit.count() % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld seconds", static_cast<long long>(limit.count() / 1000));
    else
        std::snprintf(text, sizeof text, "%.1f seconds", static_cast<double>(limit.count()) / 1000);
    return text;
}

std::string TooLargeText(std::uint64_t size) {
    return "The firmware image is " + GroupDigits(size) + " bytes long; at most " +
           GroupDigits(kMaxImageBytes) + " bytes fit the device's " +
           std::to_string(protocol::kMaxBlocks) + " blocks of " +
           std::to_string(protocol::kBlockSize) + " bytes.";
}

LoadedImage FromContent(FileContent content, std::string_view fileName) {
    LoadedImage out;
    switch (content.status) {
    case ReadStatus::ok: break;
    case ReadStatus::openFailed:
    case ReadStatus::notAFile:
        out.failure = PrepareFailure::fileOpen;
        out.text = kTextFileOpen;
        return out;
    case ReadStatus::tooLarge:
        out.failure = PrepareFailure::tooLarge;
        out.text = TooLargeText(content.fileSize);
        return out;
    case ReadStatus::readError:
        out.failure = PrepareFailure::readError;
        out.text = "Read error in the firmware file after " + GroupDigits(content.bytes.size()) +
                   " bytes: " + std::generic_category().message(content.error) + ".";
        return out;
    }

    out.format = DetectImageFormat(fileName, content.bytes);
    if (out.format == ImageFormat::binary) {
        if (content.bytes.size() > kMaxImageBytes) {
            out.failure = PrepareFailure::tooLarge;
            out.text = TooLargeText(content.bytes.size());
            return out;
        }
        out.bytes = std::move(content.bytes);
        return out;
    }

    HexImage hex = DecodeIntelHex(content.bytes, kMaxImageBytes);
    out.baseAddress = hex.baseAddress;
    switch (hex.status) {
    case HexStatus::ok: out.bytes = std::move(hex.bytes); break;
    case HexStatus::malformed:
        out.failure = PrepareFailure::malformedHex;
        out.text = "Not a valid Intel HEX file: " + hex.message + ".";
        break;
    case HexStatus::tooLarge: {
        char range[64];
        std::snprintf(range, sizeof range, " (addresses 0x%08X to 0x%08llX)", hex.baseAddress,
                      static_cast<unsigned long long>(hex.baseAddress + hex.span - 1));
        out.failure = PrepareFailure::tooLarge;
        out.text = TooLargeText(hex.span);
        out.text.insert(out.text.find(';'), range);
        break;
    }
    }
    return out;
}

}  // namespace

std::vector<std::string> ChecksumCommand(const std::string& toolPath, const std::string& path) {
    // A relative path that begins with '-' would be read as an option; "./" keeps it a file.
    return {toolPath, "-d", "-v", "-p", kChecksumPart, path.starts_with('-') ? "./" + path : path};
}

LoadedImage LoadImageFile(const std::string& path) {
    return FromContent(ReadFileContent(path, kMaxFileBytes), path);
}

LoadedImage LoadImageFromDescriptor(int fd, std::string_view fileName) {
    return FromContent(ReadFileContent(fd, kMaxFileBytes), fileName);
}

void CommitImage(std::span<const std::uint8_t> bytes, protocol::FirmwareImage& image) {
    bytes = bytes.first(std::min(bytes.size(), kMaxImageBytes));
    for (auto& block : image.blocks) block.fill(0);
    for (std::size_t i = 0; i < bytes.size(); i += protocol::kBlockSize) {
        const auto part = bytes.subspan(i, std::min(protocol::kBlockSize, bytes.size() - i));
        std::copy(part.begin(), part.end(), image.blocks[i / protocol::kBlockSize].begin());
    }
    image.blockCount = static_cast<std::uint32_t>(bytes.size() / protocol::kBlockSize + 1);
    image.ComputeBlockCrcs();
}

PrepareResult PrepareImage(const std::string& path, protocol::FirmwareImage& image,
                           const LocationSetter& setLocation, CRedirector& runner,
                           const PrepareOptions& options) {
    PrepareResult result;
    const auto fail = [&result](PrepareFailure failure, std::string text, const char* caption) {
        result.failure = failure;
        result.text = std::move(text);
        result.caption = caption;
        return result;
    };

    const std::string tool = options.toolPath.empty() ? FindChecksumTool() : options.toolPath;
    runner.Close();
    runner.ResetResults();
    if (tool.empty() || !runner.Open(ChecksumCommand(tool, path)))
        return fail(PrepareFailure::toolNotFound, kTextToolNotFound, kCaptionCheckSum);

    // The reader ends the run at the time limit itself; this wait only backs it up.
    const bool done = runner.WaitUntilDone(runner.TimeLimit() + kWaitMargin);
    runner.Close();
    const RunOutcome outcome = done ? runner.Outcome() : RunOutcome::timedOut;
    if (outcome == RunOutcome::timedOut) {
        return fail(PrepareFailure::toolTimedOut,
                    "The checksum tool did not finish within " + Seconds(runner.TimeLimit()) +
                        " and was stopped. The file was not checked.",
                    kCaptionCheckSum);
    }
    if (outcome != RunOutcome::ended || !runner.IsFinished()) {
        return fail(PrepareFailure::toolFailed,
                    std::string("The output of the checksum tool could not be read (") +
                        describe(outcome) + "). The file was not checked.",
                    kCaptionCheckSum);
    }

    result.firmware = runner.IsFirmwareFile();
    if (!result.firmware) return fail(PrepareFailure::notFirmware, kTextNotFirmware, kCaptionCheckSum);
    result.location = runner.GetLocation();
    if (setLocation) setLocation(result.location);

    LoadedImage loaded = LoadImageFile(path);
    result.format = loaded.format;
    result.baseAddress = loaded.baseAddress;
    if (loaded.failure != PrepareFailure::none)
        return fail(loaded.failure, std::move(loaded.text), kCaptionFile);

    CommitImage(loaded.bytes, image);
    result.imageSize = loaded.bytes.size();
    return result;
}

}  // namespace vumo::image
