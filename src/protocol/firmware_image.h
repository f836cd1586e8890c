#pragma once
// The image to upload: up to 1024 blocks of 128 bytes in file order, with one CRC per block.

#include "protocol/crc32.h"

#include <array>
#include <cstdint>
#include <span>

namespace vumo::protocol {

inline constexpr std::size_t kBlockSize = 128;
inline constexpr std::size_t kMaxBlocks = 1024;
inline constexpr std::size_t kImageCapacity = kBlockSize * kMaxBlocks;  // 131,072 bytes

struct FirmwareImage {
    std::array<std::uint32_t, kMaxBlocks> blockCrc{};
    std::array<std::array<std::uint8_t, kBlockSize>, kMaxBlocks> blocks{};
    std::uint32_t blockCount = 0;  // never above kMaxBlocks

    // One CRC for each block in use, zero fill included.
    void ComputeBlockCrcs() {
        for (std::uint32_t i = 0; i < blockCount && i < kMaxBlocks; ++i)
            blockCrc[i] = BlockCrc32(blocks[i]);
    }
};

}  // namespace vumo::protocol
