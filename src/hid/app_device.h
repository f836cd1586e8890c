#pragma once
// The device running its application (product 1). It is only ever told to switch to its
// update loader; its input reports are read and dropped.

#include "hid/hid_device.h"

#include <cstdint>

namespace vumo::hid {

class AppDevice final : public HidDevice {
public:
    explicit AppDevice(platform::HidBus& bus);
    ~AppDevice() override;

    std::uint8_t SendModeSwitch(std::uint8_t argument);

protected:
    void OnInputReport(std::span<const std::uint8_t>) override {}
};

}  // namespace vumo::hid
