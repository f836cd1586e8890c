#include "protocol/crc32.h"

namespace vumo::protocol {

static_assert(kCrcTable[1] == 0x04C11DB7);
static_assert(kCrcTable[255] == 0xB1F740B4);

std::uint32_t BlockCrc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
    for (std::uint8_t b : data) crc = CrcUpdate(crc, b);
    return crc;
}

}  // namespace vumo::protocol
