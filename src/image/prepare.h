#pragma once
// The first stage of the Update button, for the window and the command line alike: check the
// file with the checksum tool, take the location code from its output, load the file into the
// image and compute the block CRCs. No device is touched.
//
// The image is loaded into a buffer of its own first and copied into the FirmwareImage only
// when the whole file has been read and accepted, so a failure leaves the image as it was.

#include "image/image_file.h"
#include "image/redirector.h"
#include "protocol/firmware_image.h"

#include <cstdint>
#include <functional>
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
};

struct PrepareResult {
    PrepareFailure failure = PrepareFailure::none;
    std::string text;     // the message box's text
    std::string caption;  // and its caption
    bool firmware = false;          // the tool's output marked the file as firmware
    std::uint8_t location = 0;      // the location code stored (once the tool has run)
    ImageFormat format = ImageFormat::binary;
    std::uint32_t baseAddress = 0;  // of an Intel HEX image
    std::size_t imageSize = 0;      // bytes of the image (decoded, for Intel HEX)
    bool ok() const { return failure == PrepareFailure::none; }
};

struct PrepareOptions {
    std::string toolPath;  // empty: FindChecksumTool()
};

// Sets `dfu`'s location code.
using LocationSetter = std::function<void(std::uint8_t)>;

// The tool's command line: the tool, "-d -v -p LPC1857", and the path as one argument (with
// "./" in front when it begins with '-').
std::vector<std::string> ChecksumCommand(const std::string& toolPath, const std::string& path);

// Runs the whole first stage. `runner` is closed and reset first and keeps its results.
// setLocation is called once the tool has marked the file as firmware, before the file is
// opened; the image is written only on success.
PrepareResult PrepareImage(const std::string& path, protocol::FirmwareImage& image,
                           const LocationSetter& setLocation, CRedirector& runner,
                           const PrepareOptions& options = {});

// Loading alone, without the tool.
struct LoadedImage {
    PrepareFailure failure = PrepareFailure::none;  // fileOpen, readError, tooLarge, malformedHex
    std::string text;
    ImageFormat format = ImageFormat::binary;
    std::uint32_t baseAddress = 0;
    std::vector<std::uint8_t> bytes;
};
LoadedImage LoadImageFile(const std::string& path);
// Reads from `fd`'s current position; `fileName` only helps to tell Intel HEX (see
// DetectImageFormat).
LoadedImage LoadImageFromDescriptor(int fd, std::string_view fileName);

// Zero-fills all 1024 blocks, copies `bytes` (at most kMaxImageBytes; longer input is cut
// there), sets blockCount = size / 128 + 1 and computes the CRCs.
void CommitImage(std::span<const std::uint8_t> bytes, protocol::FirmwareImage& image);

}  // namespace vumo::image
