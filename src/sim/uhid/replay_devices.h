#pragma once
// The devices of a recording, made on a device port (the uhid port, for vumo-dfu-sim --replay):
// the side that record::DevicePlayer plays on.
//
// Each recorded appearance of a device becomes one attachment, described as the recording
// lists it (IDs, product name, serial, report lengths: the port builds a report descriptor
// that gives the host those lengths). The port names the attachment (a real kernel: the next
// free /dev/hidrawN), which need not be the recorded name; what the host writes to it reaches
// the player under the recorded name. A write that comes from an attachment that has since
// been unplugged is dropped.

#include "record/device_player.h"
#include "platform/device_port.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vumo::sim {

class ReplayDevices final : public record::DeviceSide {
public:
    // `note` gets a line for each device made or unplugged, with both of its names.
    explicit ReplayDevices(platform::DevicePort& port, std::function<void(const std::string&)> note = {});
    // Lets go of the player first: nothing reaches it once this returns.
    ~ReplayDevices() override;
    ReplayDevices(const ReplayDevices&) = delete;
    ReplayDevices& operator=(const ReplayDevices&) = delete;

    // Where the host's writes go. Set it before the player starts; clear it (nullptr) before
    // the player goes, so that a write still on its way finds no player.
    void setPlayer(record::DevicePlayer* player);

    bool plug(const record::RecordedDevice& device) override;
    void unplug(const std::string& recordedPath) override;
    void send(const std::string& recordedPath, std::span<const std::uint8_t> report) override;

    // The port's name for the device recorded as `recordedPath`; empty while it is not there.
    std::string nodeOf(const std::string& recordedPath) const;
    // Unplugs whatever is still there.
    void unplugAll();

    struct Link;

private:
    platform::DevicePort& port_;
    std::function<void(const std::string&)> note_;
    std::shared_ptr<Link> link_;
};

}  // namespace vumo::sim
