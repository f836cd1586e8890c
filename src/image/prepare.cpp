#include "image/prepare.h"

#include "base/error_text.h"
#include "image/sha256.h"
#include "image/tool_lookup.h"


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
    case ReadStatus::ok:
        out.fileSize = content.bytes.size();
        out.sha256 = Sha256Hex(content.bytes);
        break;
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

namespace {

std::string ShortSeconds(std::chrono::milliseconds limit) {
    char text[32];
    if (limit.count() % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(limit.count() / 1000));
    else
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(limit.count()) / 1000);
    return text;
}

// Why our own open of the firmware file failed.
std::string WhyFileUnusable(const std::string& path, const OpenedFile& file) {
    if (file.status == ReadStatus::notAFile) {
        return file.error == EISDIR ? path + " is a folder, not a file"
                                    : path + " is not a regular file";
    }
    switch (file.error) {
    case ENOENT: return "the file " + path + " does not exist";
    case ENOTDIR: return "a part of the path " + path + " is not a folder";
    case EACCES:
    case EPERM: return "permission denied on " + path;
    default: return path + " could not be opened: " + base::ErrorText(file.error);
    }
}

// The last line the tool printed that says anything, kept short.
std::string LastLine(const std::string& output) {
    std::size_t end = output.size();
    while (end > 0) {
        const std::size_t start = output.rfind('\n', end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        std::string line = output.substr(from, end - from);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) return line.size() > 200 ? line.substr(0, 200) + "..." : line;
        if (start == std::string::npos) break;
        end = start;
    }
    return {};
}

// Why the tool gave no firmware verdict on a file we could open.
std::string WhyNotFirmware(const std::string& path, const CRedirector& runner) {
    std::string cause = "the checksum tool did not mark " + path + " as firmware";
    const ChildEnd end = runner.End();
    if (end.exitStatus && *end.exitStatus != 0)
        cause += " and ended with exit status " + std::to_string(*end.exitStatus);
    else if (end.signal)
        cause += std::string(" and was ended by signal ") + std::to_string(*end.signal) + " (" +
                 base::SignalText(*end.signal) + ")";
    if (const std::string said = LastLine(runner.Output()); !said.empty())
        cause += "; it said: " + said;
    return cause;
}

std::string WhyChanged(const std::string& path, const base::FileIdentity& before) {
    base::FileIdentity now;
    if (!base::IdentifyPath(path, now)) return path + " was removed or renamed during the check";
    if (!now.sameFile(before))
        return path + " names another file than the one that was checked";
    return path + " was modified during the check";
}

}  // namespace

PrepareResult PrepareImage(const std::string& path, CRedirector& runner,
                           const PrepareOptions& options) {
    PrepareResult result;
    const auto fail = [&result](PrepareFailure failure, std::string text, const char* caption,
                                std::string cause = {}) {
        result.failure = failure;
        result.text = std::move(text);
        result.caption = caption;
        result.cause = std::move(cause);
        return result;
    };
    const auto interrupted = [&] {
        return fail(PrepareFailure::interrupted, kTextInterrupted, kCaptionCheckSum,
                    "the check was cancelled before it ended");
    };

    // Opened before the tool sees the path, so that what is loaded is what was checked. A
    // failure is only noted here: the tool's verdict comes first.
    OpenedFile file = OpenForReading(path);

    if (options.cancel.isSet()) return interrupted();
    const std::string tool = options.toolPath.empty() ? FindChecksumTool() : options.toolPath;
    runner.Close();
    runner.ResetResults();
    if (tool.empty()) {
        return fail(PrepareFailure::toolNotFound, kTextToolNotFound, kCaptionCheckSum,
                    WhyToolNotFound(kChecksumToolName, CurrentToolSearch()));
    }
    result.toolCommand = ChecksumCommand(tool, path);
    if (!runner.Open(result.toolCommand, options.cancel)) {
        return fail(PrepareFailure::toolNotFound, kTextToolNotFound, kCaptionCheckSum,
                    WhyToolDidNotStart(tool, runner.LastError()));
    }

    // The reader ends the run at the time limit itself; this wait only backs it up.
    const bool done = runner.WaitUntilDone(runner.TimeLimit() + kWaitMargin);
    runner.Close();
    result.toolOutput = runner.Output();
    const RunOutcome outcome = done ? runner.Outcome() : RunOutcome::timedOut;
    if (outcome == RunOutcome::cancelled) return interrupted();
    if (outcome == RunOutcome::timedOut) {
        return fail(PrepareFailure::toolTimedOut,
                    "The checksum tool did not finish within " + Seconds(runner.TimeLimit()) +
                        " and was stopped. The file was not checked.",
                    kCaptionCheckSum,
                    "the checksum tool " + tool + " was killed after " +
                        ShortSeconds(runner.TimeLimit()));
    }
    if (outcome != RunOutcome::ended || !runner.IsFinished()) {
        return fail(PrepareFailure::toolFailed,
                    std::string("The output of the checksum tool could not be read (") +
                        describe(outcome) + "). The file was not checked.",
                    kCaptionCheckSum,
                    std::string("reading the output of ") + tool + " failed: " + describe(outcome));
    }

    const std::string fileProblem =
        file.status == ReadStatus::ok ? std::string{} : WhyFileUnusable(path, file);
    result.firmware = runner.IsFirmwareFile();
    if (!result.firmware) {
        return fail(PrepareFailure::notFirmware, kTextNotFirmware, kCaptionCheckSum,
                    fileProblem.empty() ? WhyNotFirmware(path, runner) : fileProblem);
    }
    result.location = runner.GetLocation();
    if (!fileProblem.empty())
        return fail(PrepareFailure::fileOpen, kTextFileOpen, kCaptionFile, fileProblem);

    // The tool checked whatever the path named while it ran; only if that is still the file
    // we hold open, unchanged, is its content what was checked.
    base::FileIdentity now;
    if (!base::IdentifyPath(path, now) || !SameUnchangedFile(file.info, now)) {
        return fail(PrepareFailure::fileChanged, kTextFileChanged, kCaptionFile,
                    WhyChanged(path, file.info));
    }

    LoadedImage loaded = LoadImageFromDescriptor(file.fd.get(), path);
    result.format = loaded.format;
    result.baseAddress = loaded.baseAddress;
    if (loaded.failure != PrepareFailure::none)
        return fail(loaded.failure, std::move(loaded.text), kCaptionFile);
    // Written to in place while we read it: the bytes read may be neither version.
    if (!base::IdentifyOpenFile(file.fd.get(), now) || !SameUnchangedFile(file.info, now)) {
        return fail(PrepareFailure::fileChanged, kTextFileChanged, kCaptionFile,
                    path + " was modified while it was being read");
    }

    auto prepared = std::make_shared<PreparedImage>();
    CommitImage(loaded.bytes, prepared->image);
    prepared->location = result.location;
    prepared->format = loaded.format;
    prepared->baseAddress = loaded.baseAddress;
    prepared->size = loaded.bytes.size();
    prepared->fileSize = loaded.fileSize;
    prepared->sha256 = std::move(loaded.sha256);
    prepared->path = path;
    result.imageSize = prepared->size;
    result.prepared = std::move(prepared);
    return result;
}

}  // namespace vumo::image
