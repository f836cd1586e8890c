#include "hid/dfu_device.h"

#include "hid/app_device.h"
#include "protocol/reports.h"
#include "vumo/build_config.h"

namespace vumo::hid {

namespace {
std::uint8_t Send(HidDevice& device, const protocol::DfuReport& report) {
    return device.WriteReport(report.data(), static_cast<std::uint32_t>(report.size()));
}
}  // namespace

DfuDevice::DfuDevice(platform::HidBus& bus) : HidDevice(bus, kVendorId, kDfuProductId) {
    StartListener();
}

DfuDevice::~DfuDevice() { StopListener(); }

std::uint8_t DfuDevice::SendReadyQuery() { return Send(*this, protocol::BuildReadyQuery()); }

std::uint8_t DfuDevice::SendLocation(std::uint8_t locationCode) {
    return Send(*this, protocol::BuildLocation(locationCode));
}

std::uint8_t DfuDevice::SendSize(std::uint32_t blockCount) {
    return Send(*this, protocol::BuildSize(blockCount));
}

std::uint8_t DfuDevice::SendStart() { return Send(*this, protocol::BuildStart()); }

std::uint8_t DfuDevice::SendBlock(const protocol::FirmwareImage& image, std::uint32_t index) {
    if (index >= image.blockCount || index >= protocol::kMaxBlocks) return kWriteCountMismatch;
    return Send(*this, protocol::BuildBlock(image, index));
}

std::uint8_t DfuDevice::SendEnd() { return Send(*this, protocol::BuildEnd()); }

std::uint8_t DfuDevice::SendModeSwitch(std::uint8_t argument) {
    const std::uint8_t result = Send(*this, protocol::BuildDfuModeSwitch(argument));
    flags_.ClearAll();
    return result;
}

void DfuDevice::ParseReply(std::span<const std::uint8_t> report) {
    flags_.Apply(protocol::MatchReply(report));
}

AppDevice::AppDevice(platform::HidBus& bus) : HidDevice(bus, kVendorId, kAppProductId) {
    StartListener();
}

AppDevice::~AppDevice() { StopListener(); }

std::uint8_t AppDevice::SendModeSwitch(std::uint8_t argument) {
    const auto report = protocol::BuildAppModeSwitch(argument);
    return WriteReport(report.data(), static_cast<std::uint32_t>(report.size()));
}

}  // namespace vumo::hid
