#pragma once
// The device in its update loader (product 2): sends the upload conversation's commands, and
// its listener turns every input report into reply flags.

#include "hid/hid_device.h"
#include "protocol/firmware_image.h"
#include "protocol/replies.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vumo::hid {

class DfuDevice final : public HidDevice {
public:
    explicit DfuDevice(platform::HidBus& bus);
    ~DfuDevice() override;

    // Each returns WriteReport's result unchanged.
    std::uint8_t SendReadyQuery();
    std::uint8_t SendLocation();
    std::uint8_t SendSize();
    std::uint8_t SendStart();
    std::uint8_t SendBlock(std::uint32_t index);
    std::uint8_t SendEnd();
    // Sends 0xEE and the argument, then clears all six reply flags whatever the write returned.
    std::uint8_t SendModeSwitch(std::uint8_t argument);

    void SetLocationCode(std::uint8_t code) { locationCode_.store(code); }
    std::uint8_t locationCode() const { return locationCode_.load(); }
    void ComputeBlockCrcs() { image().ComputeBlockCrcs(); }

    // Examines one received input report (report ID in byte 0) and sets the reply flags.
    void ParseReply(std::span<const std::uint8_t> report);

    // The image to upload. Several devices may share one image read-only (a station flashes
    // the same file onto all of them); SetImage hands one over, sharedImage() takes it for the
    // length of an update. image() for writing gives this object an image of its own first
    // (copied if it is shared), so loading into one device never changes another's. Neither is
    // called while an upload runs.
    void SetImage(std::shared_ptr<const protocol::FirmwareImage> image);
    std::shared_ptr<const protocol::FirmwareImage> sharedImage() const;
    protocol::FirmwareImage& image();
    const protocol::FirmwareImage& image() const;
    protocol::ReplyFlags& flags() { return flags_; }
    const protocol::ReplyFlags& flags() const { return flags_; }

    // 1 from the start of an upload until the procedure ends or fails.
    std::atomic<std::uint32_t> updateInProgress{0};

protected:
    void OnInputReport(std::span<const std::uint8_t> report) override { ParseReply(report); }

private:
    protocol::ReplyFlags flags_;
    std::atomic<std::uint8_t> locationCode_{0};
    mutable std::mutex imageMutex_;
    std::shared_ptr<const protocol::FirmwareImage> image_;  // never null
    std::shared_ptr<protocol::FirmwareImage> ownImage_;     // image_ when this object owns it
    // The image of the upload in progress, for SendSize and SendBlock on the worker's thread.
    std::shared_ptr<const protocol::FirmwareImage> current() const { return sharedImage(); }
};

}  // namespace vumo::hid
