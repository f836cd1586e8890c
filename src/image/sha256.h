#pragma once
// SHA-256 (FIPS 180-4) of bytes in memory or fed in pieces: the fingerprint of a firmware file
// as it was loaded, for the flash log. Small enough to keep our own rather than link a crypto
// library for one digest of at most a few MiB.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vumo::image {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text);
    // The digest of everything fed so far; the object must not be fed again afterwards.
    Digest Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingBytes_ = 0;
    std::uint64_t totalBytes_ = 0;
};

// Lower-case hex, 64 characters.
std::string ToHex(const Sha256::Digest& digest);
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace vumo::image
