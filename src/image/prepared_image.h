#pragma once
// A firmware image as it will be uploaded: the blocks with their CRCs and what the check and the
// load learned of the file. One is shared read-only by everything that flashes it: the update
// it is given to, every device of a station, the log record.

#include "protocol/firmware_image.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vumo::image {

enum class ImageFormat { binary, intelHex };
const char* describe(ImageFormat format);

struct PreparedImage {
    protocol::FirmwareImage image;  // blocks, blockCount, CRCs
    std::uint8_t location = 0;
    ImageFormat format = ImageFormat::binary;
    std::uint32_t baseAddress = 0;
    std::size_t size = 0;           // image bytes (decoded for Intel HEX)
    std::uint64_t fileSize = 0;     // bytes of the file as loaded
    std::string sha256;             // lower-case hex of the file's bytes as loaded
    std::string path;
};

}  // namespace vumo::image
