#include "protocol/reports.h"

#include <algorithm>

namespace vumo::protocol {
namespace {

DfuReport WithWord(std::string_view word) {
    DfuReport r{};
    std::copy(word.begin(), word.end(), r.begin() + kKeywordAt);
    return r;
}

}  // namespace

std::uint32_t BlockCrcOf(std::span<const std::uint8_t> report) {
    if (report.size() < kBlockCrcAt + 4) return 0;
    return (std::uint32_t{report[kBlockCrcAt]} << 24) |
           (std::uint32_t{report[kBlockCrcAt + 1]} << 16) |
           (std::uint32_t{report[kBlockCrcAt + 2]} << 8) | std::uint32_t{report[kBlockCrcAt + 3]};
}

DfuReport BuildReadyQuery() { return WithWord(kReadyKeyword); }

DfuReport BuildLocation(std::uint8_t locationCode) {
    DfuReport r = WithWord(kLocationKeyword);
    r[kLocationValueAt] = locationCode;
    return r;
}

DfuReport BuildSize(std::uint32_t blockCount) {
    DfuReport r = WithWord(kSizeKeyword);
    // The device takes one byte: a 256-block image reads as 0 here.
    r[kSizeValueAt] = static_cast<std::uint8_t>(blockCount & 0xFF);
    return r;
}

DfuReport BuildStart() { return WithWord(kStartKeyword); }

DfuReport BuildEnd() { return WithWord(kEndKeyword); }

DfuReport BuildDfuModeSwitch(std::uint8_t argument) {
    DfuReport r{};
    r[kModeSwitchAt] = kModeSwitchCommand;
    r[kModeArgumentAt] = argument;
    return r;
}

DfuReport BuildBlock(const FirmwareImage& image, std::uint32_t index) {
    DfuReport r{};
    const auto& block = image.blocks.at(index);
    std::copy(block.begin(), block.end(), r.begin() + kBlockDataAt);
    const std::uint32_t crc = image.blockCrc.at(index);
    r[kBlockCrcAt] = static_cast<std::uint8_t>(crc >> 24);
    r[kBlockCrcAt + 1] = static_cast<std::uint8_t>(crc >> 16);
    r[kBlockCrcAt + 2] = static_cast<std::uint8_t>(crc >> 8);
    r[kBlockCrcAt + 3] = static_cast<std::uint8_t>(crc);
    return r;
}

AppReport BuildAppModeSwitch(std::uint8_t argument) {
    AppReport r{};
    r[kModeSwitchAt] = kModeSwitchCommand;
    r[kModeArgumentAt] = argument;
    return r;
}

}  // namespace vumo::protocol
