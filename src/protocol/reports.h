#pragma once
// The output reports the device understands, byte for byte. Byte 0 is the report ID and always
// 0 (the device does not number its reports); every byte not named is 0. Letters are ASCII
// without terminator or length byte.

#include "protocol/firmware_image.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace vumo::protocol {

inline constexpr std::size_t kDfuReportLength = 133;  // update loader: report ID + 132
inline constexpr std::size_t kAppReportLength = 21;   // application: report ID + 20
inline constexpr std::size_t kInputReportLength = 17; // both modes, report ID included

// Mode codes: the argument of the mode-switch command, and what a device-list entry and the
// window's open mode say about a device.
inline constexpr std::uint8_t kModeApplication = 13;   // 0x0D
inline constexpr std::uint8_t kModeUpdate = 223;       // 0xDF
inline constexpr std::uint8_t kModeSwitchCommand = 0xEE;

// Where things stand in an output report; the host builds reports with these and the emulator
// reads them with the same.
inline constexpr std::size_t kKeywordAt = 1;        // a command's letters start here
inline constexpr std::size_t kLocationValueAt = 9;  // LOCATION's code, after its 8 letters
inline constexpr std::size_t kSizeValueAt = 5;      // SIZE's block count (mod 256), after 4
inline constexpr std::size_t kModeSwitchAt = 1;     // 0xEE, then its argument
inline constexpr std::size_t kModeArgumentAt = 2;
inline constexpr std::size_t kBlockDataAt = 1;      // a block's 128 bytes: 1-128
inline constexpr std::size_t kBlockCrcAt = 129;     // its CRC, most significant byte first: 129-132

inline constexpr std::string_view kReadyKeyword = "READY?";
inline constexpr std::string_view kLocationKeyword = "LOCATION";
inline constexpr std::string_view kSizeKeyword = "SIZE";
inline constexpr std::string_view kStartKeyword = "DFUSTART";
inline constexpr std::string_view kEndKeyword = "DFUEND";

// The CRC carried by a block report.
std::uint32_t BlockCrcOf(std::span<const std::uint8_t> report);

using DfuReport = std::array<std::uint8_t, kDfuReportLength>;
using AppReport = std::array<std::uint8_t, kAppReportLength>;

DfuReport BuildReadyQuery();                          // "READY?"
DfuReport BuildLocation(std::uint8_t locationCode);   // "LOCATION", code in byte 9
DfuReport BuildSize(std::uint32_t blockCount);        // "SIZE", blockCount mod 256 in byte 5
DfuReport BuildStart();                               // "DFUSTART"
DfuReport BuildEnd();                                 // "DFUEND"
DfuReport BuildDfuModeSwitch(std::uint8_t argument);  // 0xEE, argument
// Block i: its 128 bytes in 1-128, its CRC most significant byte first in 129-132.
DfuReport BuildBlock(const FirmwareImage& image, std::uint32_t index);
AppReport BuildAppModeSwitch(std::uint8_t argument);

}  // namespace vumo::protocol
