#pragma once
// The device in its update loader (product 2): sends the upload conversation's commands, and
// its listener turns every input report into reply flags.

#include "hid/hid_device.h"
#include "protocol/firmware_image.h"
#include "protocol/replies.h"

#include <atomic>
#include <cstdint>

namespace vumo::hid {

class DfuDevice final : public HidDevice {
public:
    explicit DfuDevice(platform::HidBus& bus);
    ~DfuDevice() override;

    // Each returns WriteReport's result unchanged. What to send comes with the call: the device
    // object holds no image and no location code of its own.
    std::uint8_t SendReadyQuery();
    std::uint8_t SendLocation(std::uint8_t locationCode);
    std::uint8_t SendSize(std::uint32_t blockCount);
    std::uint8_t SendStart();
    std::uint8_t SendBlock(const protocol::FirmwareImage& image, std::uint32_t index);
    std::uint8_t SendEnd();
    // Sends 0xEE and the argument, then clears all six reply flags whatever the write returned.
    std::uint8_t SendModeSwitch(std::uint8_t argument);

    // Examines one received input report (report ID in byte 0) and sets the reply flags.
    void ParseReply(std::span<const std::uint8_t> report);

    protocol::ReplyFlags& flags() { return flags_; }
    const protocol::ReplyFlags& flags() const { return flags_; }

    // 1 from the start of an upload until the procedure ends or fails.
    std::atomic<std::uint32_t> updateInProgress{0};

protected:
    void OnInputReport(std::span<const std::uint8_t> report) override { ParseReply(report); }

private:
    protocol::ReplyFlags flags_;
};

}  // namespace vumo::hid
