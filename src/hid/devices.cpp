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

DfuDevice::DfuDevice(platform::HidBus& bus)
    : HidDevice(bus, kVendorId, kDfuProductId),
      image_(std::make_shared<protocol::FirmwareImage>()) {
    StartListener();
}

void DfuDevice::SetImage(std::shared_ptr<const protocol::FirmwareImage> image) {
    std::lock_guard lock(imageMutex_);
    image_ = image ? std::move(image) : std::make_shared<protocol::FirmwareImage>();
    ownImage_.reset();
}

std::shared_ptr<const protocol::FirmwareImage> DfuDevice::sharedImage() const {
    std::lock_guard lock(imageMutex_);
    return image_;
}

protocol::FirmwareImage& DfuDevice::image() {
    std::lock_guard lock(imageMutex_);
    if (!ownImage_) {
        ownImage_ = std::make_shared<protocol::FirmwareImage>(*image_);
        image_ = ownImage_;
    }
    return *ownImage_;
}

const protocol::FirmwareImage& DfuDevice::image() const {
    std::lock_guard lock(imageMutex_);
    return *image_;
}

DfuDevice::~DfuDevice() { StopListener(); }

std::uint8_t DfuDevice::SendReadyQuery() { return Send(*this, protocol::BuildReadyQuery()); }

std::uint8_t DfuDevice::SendLocation() {
    return Send(*this, protocol::BuildLocation(locationCode()));
}

std::uint8_t DfuDevice::SendSize() {
    return Send(*this, protocol::BuildSize(current()->blockCount));
}

std::uint8_t DfuDevice::SendStart() { return Send(*this, protocol::BuildStart()); }

std::uint8_t DfuDevice::SendBlock(std::uint32_t index) {
    const auto image = current();
    if (index >= image->blockCount || index >= protocol::kMaxBlocks) return kWriteCountMismatch;
    return Send(*this, protocol::BuildBlock(*image, index));
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
