#include "protocol/reports.h"

#include <algorithm>

namespace vumo::protocol {
namespace {

DfuReport WithWord(std::string_view word) {
    DfuReport r{};
    std::copy(word.begin(), word.end(), r.begin() + 1);
    return r;
}

}  // namespace

DfuReport BuildReadyQuery() { return WithWord("READY?"); }

DfuReport BuildLocation(std::uint8_t locationCode) {
    DfuReport r = WithWord("LOCATION");
    r[9] = locationCode;
    return r;
}

DfuReport BuildSize(std::uint32_t blockCount) {
    DfuReport r = WithWord("SIZE");
    // The device takes one byte: a 256-block image reads as 0 here.
    r[5] = static_cast<std::uint8_t>(blockCount & 0xFF);
    return r;
}

DfuReport BuildStart() { return WithWord("DFUSTART"); }

DfuReport BuildEnd() { return WithWord("DFUEND"); }

DfuReport BuildDfuModeSwitch(std::uint8_t argument) {
    DfuReport r{};
    r[1] = kModeSwitchCommand;
    r[2] = argument;
    return r;
}

DfuReport BuildBlock(const FirmwareImage& image, std::uint32_t index) {
    DfuReport r{};
    const auto& block = image.blocks.at(index);
    std::copy(block.begin(), block.end(), r.begin() + 1);
    const std::uint32_t crc = image.blockCrc.at(index);
    r[129] = static_cast<std::uint8_t>(crc >> 24);
    r[130] = static_cast<std::uint8_t>(crc >> 16);
    r[131] = static_cast<std::uint8_t>(crc >> 8);
    r[132] = static_cast<std::uint8_t>(crc);
    return r;
}

AppReport BuildAppModeSwitch(std::uint8_t argument) {
    AppReport r{};
    r[1] = kModeSwitchCommand;
    r[2] = argument;
    return r;
}

}  // namespace vumo::protocol
