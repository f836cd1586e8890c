#pragma once
// The block checksum the update loader verifies: CRC-32 with polynomial 0x04C11DB7, most
// significant bit first, input and output not reflected, initial value 0, no final XOR.
// It is not the zlib CRC-32; with initial value 0 a block of zeros checksums to 0.

#include <array>
#include <cstdint>
#include <span>

namespace vumo::protocol {

inline constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;

using CrcTable = std::array<std::uint32_t, 256>;

constexpr CrcTable MakeCrcTable() {
    CrcTable table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ kCrcPolynomial : c << 1;
        table[i] = c;
    }
    return table;
}

inline constexpr CrcTable kCrcTable = MakeCrcTable();

constexpr std::uint32_t CrcUpdate(std::uint32_t crc, std::uint8_t byte) {
    return (crc << 8) ^ kCrcTable[((crc >> 24) ^ byte) & 0xFF];
}

std::uint32_t BlockCrc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

}  // namespace vumo::protocol
