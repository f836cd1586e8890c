#pragma once
// What the utility's window shows, free of any toolkit: the rule that enables its controls and
// the way an update's events become its bar, its blinking warning, its buttons and its boxes.
// The Windows dialog is built on it; the Qt window keeps its own copy of the same rule for now
// (tests on both sides pin the same states).

#include "messages/causes.h"
#include "update/update_events.h"

#include <cstdint>
#include <string>

namespace vumo::frontend {

// What the enabling rule looks at.
struct ControlInputs {
    std::uint8_t openMode = 0;   // 0, or the mode of the object the open/close button has open
    int listLines = 0;           // lines in the device list
    bool pathEmpty = true;       // the path field, as last read
    bool updateRunning = false;  // between the second stage and the end of an update
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

// What a window does with an update's events. Calls come from the thread that runs the step;
// an implementation carries each out on its window's thread and returns once it is done (a
// box once it has been closed).
class UpdateView {
public:
    virtual ~UpdateView() = default;
    virtual void SetProgressRange(int minimum, int maximum) = 0;
    // One position further: each fixed step before the upload.
    virtual void ProgressStep() = 0;
    virtual void SetProgress(int position) = 0;
    virtual void ShowWarning(bool visible) = 0;
    // The update's own changes of the two buttons; they count only while it runs.
    virtual void EnableOpenButton(bool enabled) = 0;
    virtual void EnableUpdateButton(bool enabled) = 0;
    // A captioned box: the fixed text, its caption and type, and why and what to do as detail.
    virtual void ShowBox(const std::string& text, const std::string& caption, unsigned type,
                         const std::string& detail) = 0;
};

// The engine's events in the window's terms. The window keeps the events it handles itself
// (DeviceOpened, Finished) by overriding them.
class UpdatePresenter : public update::UpdateEvents {
public:
    explicit UpdatePresenter(UpdateView& view) : view_(view) {}

    void Began(std::uint32_t blocks) override;
    void MilestoneReached(update::Milestone milestone) override;
    void PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) override;
    void UploadClosed() override;
    void Failed(const update::Failure& failure) override;
    void Uploaded(const std::string& text) override;

private:
    UpdateView& view_;
};

// A failure's detail as a window shows it: the cause and hint, the engine's advice after a
// failure under fast pacing said in the window's terms (a window is started with the option,
// not given it at each update).
std::string WindowDetail(const messages::Cause& cause);

}  // namespace vumo::frontend
