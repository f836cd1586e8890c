#pragma once
// The Cortex-M vector table's first eight words, as the LPC18xx/43xx boot ROM checks them: the
// ROM accepts an image only when words 0 to 7 add up to zero, so word 7 holds the two's
// complement of the sum of words 0 to 6.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vumo::tools {

inline constexpr std::size_t kSummedWords = 7;        // stack pointer, reset, NMI, HardFault,
                                                      // MemManage, BusFault, UsageFault
inline constexpr std::size_t kChecksumWord = 7;
inline constexpr std::size_t kVectorTableBytes = 32;  // the eight words

inline std::uint32_t ReadWord(std::span<const std::uint8_t> bytes, std::size_t index) {
    const std::size_t at = index * 4;
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

inline void WriteWord(std::span<std::uint8_t> bytes, std::size_t index, std::uint32_t value) {
    const std::size_t at = index * 4;
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The word 7 that makes words 0..7 sum to zero (mod 2^32).
inline std::uint32_t VectorChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kSummedWords; ++i) sum += ReadWord(bytes, i);
    return 0u - sum;
}

}  // namespace vumo::tools
