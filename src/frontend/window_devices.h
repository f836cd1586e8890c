#pragma once
// What a window's device list and its open/close button stand for, free of any toolkit: the
// two device objects and the update procedure over them, the lines of the list with the device
// each one showed, the button's open and close, and the orderly end. Both windows keep their
// controls and call this from their own thread.

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "messages/causes.h"
#include "platform/hid_bus.h"
#include "update/pacer.h"
#include "update/update_procedure.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vumo::frontend {

// One line of the device list: the object that serves it (13: application mode, 223: update
// mode) and the device's place in that object's latest enumeration.
struct DeviceEntry {
    std::uint8_t mode = 0;
    std::uint8_t index = 0;
};

inline constexpr int kMaxDeviceEntries = 30;

// A failed open or close, as "Open Error (code : %d)" and why.
struct DeviceError {
    std::uint8_t code = 0;
    messages::Cause cause;
};

class WindowDevices {
public:
    explicit WindowDevices(platform::HidBus& bus) : bus_(bus) {}
    ~WindowDevices();  // Stop() and Close()
    WindowDevices(const WindowDevices&) = delete;
    WindowDevices& operator=(const WindowDevices&) = delete;

    // The device objects first, then the procedure over them with its worker: the worker and
    // the listeners live only while the objects do. Returns why the worker could not be
    // started; empty when it runs.
    std::string Start(update::UpdateEvents& events, std::unique_ptr<update::Pacer> pacer,
                      const update::Limits& limits, const update::Pauses& pauses,
                      const update::Checks& checks = {});
    bool started() const { return procedure_ != nullptr; }

    // Enumerates both objects, in that order. False while a mode switch is pending: the list
    // keeps its lines, and the window moves its bar instead. Otherwise the lines are new.
    bool Refresh();
    // The lines' texts: product, ": ", serial, each made safe so that a line stays one line
    // whatever the device sent.
    const std::vector<std::string>& lines() const { return lines_; }
    int count() const { return static_cast<int>(lines_.size()); }
    DeviceEntry entry(int line) const;
    // Devices that the latest refresh left out because this user may not open them.
    int denied() const { return denied_; }

    // The open/close button, `line` being the selected line: with nothing open, opens the
    // device that line showed (even if the object's list has moved since; never whatever now
    // stands at that index); otherwise closes what is open. A failure is shown through `show`
    // (a failed close before the button's state changes: the device counts as open while its
    // box is up).
    using ShowError = std::function<void(const DeviceError& error)>;
    void OpenOrClose(int line, const ShowError& show);
    // After a failed update: the open device, if it has left the bus, is closed as a removal
    // closes it; a failed close is shown and keeps it recorded as open, so that the button can
    // close it again.
    void CloseDeparted(const ShowError& show);

    // Stops the worker (releasing any wait of its; the window releases its own first).
    void Stop();
    // Closes what is open, telling `closeFailed` of each close that failed, and destroys the
    // procedure and the objects; each destructor joins that object's thread.
    void Close(const std::function<void(std::uint8_t code)>& closeFailed = {});

    std::uint8_t openMode() const { return procedure_ ? procedure_->openMode() : 0; }
    // The upload is under way (the engine's flag, set until the restart command).
    bool uploading() const { return dfu_ && dfu_->updateInProgress.load() != 0; }
    // The device the button has open, as it was listed, or as the update reopened it: what an
    // update is told to flash.
    const hid::DeviceIdentity& openDevice() const { return openDevice_; }
    void setOpenDevice(const hid::DeviceIdentity& device) { openDevice_ = device; }

    hid::AppDevice* app() { return app_.get(); }
    hid::DfuDevice* dfu() { return dfu_.get(); }
    update::UpdateProcedure* procedure() { return procedure_.get(); }

private:
    hid::HidDevice* ObjectFor(std::uint8_t mode);

    platform::HidBus& bus_;
    std::unique_ptr<hid::DfuDevice> dfu_;
    std::unique_ptr<hid::AppDevice> app_;
    std::unique_ptr<update::UpdateProcedure> procedure_;
    std::vector<std::string> lines_;
    std::array<DeviceEntry, kMaxDeviceEntries> entries_{};
    // The device each line showed, as listed: what the open/close button opens.
    std::array<hid::DeviceListEntry, kMaxDeviceEntries> listed_{};
    hid::DeviceIdentity openDevice_;
    int denied_ = 0;
};

}  // namespace vumo::frontend
