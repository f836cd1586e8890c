#pragma once
// What the utility's window shows, free of any toolkit: the rule that enables its controls and
// the way an update's events become its bar, its blinking warning, its buttons, its status line
// and its boxes. Both windows (Qt on Linux, the Windows dialog) are built on it.

#include "frontend/update_status.h"
#include "hid/hid_device.h"
#include "messages/causes.h"
#include "update/update_events.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vumo::frontend {

// What the enabling rule looks at.
struct ControlInputs {
    std::uint8_t openMode = 0;   // 0, or the mode of the object the open/close button has open
    int listLines = 0;           // lines in the device list
    bool pathEmpty = true;       // the path field, as last read
    bool updateRunning = false;  // between the second stage and the end of an update
    // After the restart command, while the engine watches for the device's return: it takes
    // no second update then.
    bool watchingForBoot = false;
};

// The states it gives.
struct ControlStates {
    bool list = false;
    bool open = false;  // the open/close button
    bool update = false;
    bool browse = false;
    bool close = false;
    bool closeCaption = false;  // the open/close button reads "Close Device"
    bool pathReadOnly = false;  // the update reads the file it was started with
    bool operator==(const ControlStates&) const = default;
};

ControlStates ControlRule(const ControlInputs& in);

inline constexpr const char* kOpenDeviceCaption = "Open Device";
inline constexpr const char* kCloseDeviceCaption = "Close Device";
inline constexpr const char* kWarningText =
    "Warning:\r\nDo not turn off the power during updating the firmware.";
// What a window says instead of the engine's advice after a failure under fast pacing: a
// window is started with the option, not given it at each update.
inline constexpr std::string_view kWindowFastPacingAdvice =
    "close the window and start the utility again without --pacing fast: it then keeps the "
    "standard pauses that some loaders need.";

// The bar's range for an image of `blocks` blocks leaves 30 positions for the fixed steps
// before the first block.
constexpr int ProgressMaximum(std::uint32_t blocks) { return static_cast<int>(blocks) + 30; }
// Where the bar stands while block `block` (from 0) goes out.
constexpr int UploadPosition(std::uint32_t block) { return static_cast<int>(block) + 31; }
// The warning blinks in runs of five blocks.
constexpr bool WarningShownAt(std::uint32_t block) { return block % 10 < 5; }

// Message box types, as a captioned box takes them (the Windows API's values).
inline constexpr unsigned kBoxOk = 0x00;
inline constexpr unsigned kBoxYesNo = 0x04;
inline constexpr unsigned kBoxIconError = 0x10;
inline constexpr unsigned kBoxIconWarning = 0x30;

// A captioned box: the fixed text, its caption and type, and why and what to do.
struct WindowBox {
    std::string text;
    std::string caption;
    unsigned type = kBoxOk;
    messages::Cause cause;
};

// What one of the engine's events changes in the window. A window carries each out in one
// hand-over to its thread: the worker waits for every hand-over, so one per block is what the
// upload's pace allows.
struct WindowChange {
    std::optional<UpdateStatus> status;  // the status line, when the event changed it
    std::optional<int> progressMaximum;  // the bar's range becomes 0 .. this
    bool progressStep = false;           // the bar one position further: a fixed step
    std::optional<int> progress;         // the bar's position
    std::optional<bool> warning;         // shown or hidden, only when that changes
    // The update's own changes of the two buttons; they count only while it runs.
    bool openButtonOff = false;
    bool updateButtonOff = false;
    // The restart is sent: what is left is a watch for the device's return that writes nothing.
    bool bootWatchBegan = false;
    std::optional<WindowBox> box;                     // shown last; the window waits for it
    std::optional<hid::DeviceIdentity> deviceOpened;  // the update opened this device
    std::optional<update::UpdateResult> finished;     // the update has ended
    bool empty() const;
};

// A window as the update sees it.
class UpdateView {
public:
    virtual ~UpdateView() = default;
    // Called from the thread that runs the step: carries `change` out on the window's thread
    // and returns once it is done (a box once it has been closed).
    virtual void Apply(const WindowChange& change) = 0;
};

// The engine's events in the window's terms. Events come one at a time, from the worker or the
// window's own thread; the presenter keeps the status and the warning's state between them.
class UpdatePresenter final : public update::UpdateEvents {
public:
    // `pauses`: the settling passes and their length, for the status line's countdown.
    explicit UpdatePresenter(UpdateView& view, update::Pauses pauses = {})
        : view_(view), tracker_(pauses) {}

    void Began(std::uint32_t blocks) override;
    void MilestoneReached(update::Milestone milestone) override;
    void PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) override;
    void UploadClosed() override;
    void Failed(const update::Failure& failure) override;
    void Uploaded(const std::string& text) override;
    void DeviceOpened(const hid::DeviceIdentity& device) override;
    void Finished(const update::UpdateResult& result) override;

private:
    // Under the lock: the tracker's new status, if `changed`.
    void TakeStatus(bool changed, WindowChange& change) const;
    void ShowWarningLocked(bool shown, WindowChange& change);
    void Send(const WindowChange& change);

    UpdateView& view_;
    std::mutex mutex_;
    StatusTracker tracker_;     // guarded by mutex_
    bool warningShown_ = true;  // guarded by mutex_; the label starts shown
};

// A failure's detail as a window shows it: the cause and hint, with the engine's advice after a
// failure under fast pacing replaced by `windowAdvice`.
std::string WindowDetail(const messages::Cause& cause,
                         std::string_view windowAdvice = kWindowFastPacingAdvice);

}  // namespace vumo::frontend
