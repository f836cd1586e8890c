#pragma once
// Made-up firmware for the benchmarks: the same bytes on every run. Only the size matters to
// what is measured, so no vector table is needed.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vumo::bench {

std::vector<std::uint8_t> SampleImage(std::size_t bytes);

// An Intel HEX text of `bytes` placed at `base`: 16-byte data records, an extended linear
// address record at every 64 KiB, and the end-of-file record.
std::string IntelHex(std::span<const std::uint8_t> bytes, std::uint32_t base);

}  // namespace vumo::bench
