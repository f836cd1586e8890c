#pragma once
// The first stage of the Update button, for the window and the command line alike: check the
// file with the checksum tool, take the location code from its output, load the file into the
// image and compute the block CRCs. No device is touched.
//
// What is uploaded is exactly what was checked: the file is opened before the tool runs, and
// after the tool has ended the path must still name that same, unchanged file; the image is
// then read from the descriptor opened first, never from the path again.
//
// The result is a value: a PreparedImage shared read-only by whoever uploads it, made only
// when the whole file has been read and accepted.

#include "image/image_file.h"
#include "image/redirector.h"
#include "protocol/firmware_image.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::image {

// The largest image the 1024 blocks hold: every read counts a block, the last and shorter one
// included, so an image of L bytes takes L / 128 + 1 blocks.
inline constexpr std::size_t kMaxImageBytes = protocol::kImageCapacity - 1;  // 131,071
// Intel HEX text is about 2.8 times the image it describes; this leaves room for short records.
inline constexpr std::size_t kMaxFileBytes = std::size_t{8} << 20;

inline constexpr const char* kChecksumPart = "LPC1857";

inline constexpr const char* kCaptionCheckSum = "ERROR-CheckSum";
inline constexpr const char* kCaptionFile = "ERROR-File";
inline constexpr const char* kTextToolNotFound = "Can not found checksum.exe";
inline constexpr const char* kTextNotFirmware = "This is not Vumo firmware file";
inline constexpr const char* kTextFileOpen = "File Open Error";
inline constexpr const char* kTextFileChanged =
    "The file changed while it was being checked; nothing was sent. Choose it again.";
inline constexpr const char* kTextInterrupted =
    "The file check was interrupted; nothing was sent.";

enum class PrepareFailure {
    none,
    toolNotFound,  // the tool could not be found or started
    toolTimedOut,  // the tool did not end within its time limit and was killed
    toolFailed,    // its output could not be read
    notFirmware,   // its output did not mark the file as firmware
    fileOpen,      // the file could not be opened for reading
    readError,     // reading failed part way
    tooLarge,      // more than kMaxImageBytes
    malformedHex,  // an Intel HEX file that does not decode
    fileChanged,   // the path named another file, or the file changed, after the check
    interrupted,   // the cancel descriptor became readable; the tool was killed
};

struct PrepareResult {
    PrepareFailure failure = PrepareFailure::none;
    std::string text;     // the message box's text
    std::string caption;  // and its caption
    // Why, in a few plain words ("the file /x/y does not exist"), for the front end to show
    // beside the fixed text; empty when the text says it all.
    std::string cause;
    bool firmware = false;          // the tool's output marked the file as firmware
    std::uint8_t location = 0;      // the location code stored (once the tool has run)
    ImageFormat format = ImageFormat::binary;
    std::uint32_t baseAddress = 0;  // of an Intel HEX image
    std::size_t imageSize = 0;      // bytes of the image (decoded, for Intel HEX)
    std::shared_ptr<const PreparedImage> prepared;  // set on success only
    std::vector<std::string> toolCommand;  // the tool's command line, once the tool is known
    std::string toolOutput;                // what it printed (the kept part), once it ran
    bool ok() const { return failure == PrepareFailure::none; }
};

struct PrepareOptions {
    std::string toolPath;  // empty: FindChecksumTool()
    // Owned elsewhere; empty for none. Once set (the command's stop requests, say) the check
    // ends at once as interrupted, the tool killed and reaped. Only tested, never cleared.
    base::Waitable cancel;
};

// The tool's command line: the tool, "-d -v -p LPC1857", and the path as one argument (with
// "./" in front when it begins with '-').
std::vector<std::string> ChecksumCommand(const std::string& toolPath, const std::string& path);

// Runs the whole first stage. `runner` is closed and reset first and keeps its results.
// The order is fixed: the file is opened (a failure is only remembered), the tool gives its
// verdict, then the file is loaded. So a missing file is "not firmware" when the tool says
// so, with the cause from our own open.
PrepareResult PrepareImage(const std::string& path, CRedirector& runner,
                           const PrepareOptions& options = {});

// Loading alone, without the tool.
struct LoadedImage {
    PrepareFailure failure = PrepareFailure::none;  // fileOpen, readError, tooLarge, malformedHex
    std::string text;
    ImageFormat format = ImageFormat::binary;
    std::uint32_t baseAddress = 0;
    std::vector<std::uint8_t> bytes;
    std::uint64_t fileSize = 0;  // bytes read from the file
    std::string sha256;          // of those bytes, when loaded
};
LoadedImage LoadImageFile(const std::string& path);
// Reads from `fd`'s current position; `fileName` only helps to tell Intel HEX (see
// DetectImageFormat).
LoadedImage LoadImageFromDescriptor(int fd, std::string_view fileName);

// Zero-fills all 1024 blocks, copies `bytes` (at most kMaxImageBytes; longer input is cut
// there), sets blockCount = size / 128 + 1 and computes the CRCs.
void CommitImage(std::span<const std::uint8_t> bytes, protocol::FirmwareImage& image);

}  // namespace vumo::image
