#pragma once
// What the update procedure asks of its front end. The window carries each call out on its
// own thread while the caller waits; the command line prints. Calls come from the thread that
// runs the step: the front end's own thread or the update worker.

#include <cstdint>
#include <string>

namespace vumo::update {

// Message box types, as the captioned box takes them.
inline constexpr int kBoxOk = 0;           // OK button, no icon
inline constexpr int kBoxError = 16;       // error icon, OK button

// Where an update is; the command line shows it, the window shows the progress bar instead.
enum class Phase {
    switchingMode,   // mode switch sent, waiting for the device to leave and come back
    settling,        // the device is back; giving it time on the bus before it is opened
    handshake,       // READY?, LOCATION, SIZE
    uploading,       // blocks
    finishing,       // DFUEND
    restarting,      // restart command sent
    confirming,      // waiting for the device to come back running its new firmware
};

enum class Outcome { ok, failed, interrupted };

// Which step an update ended at, for scripts.
enum class Step {
    none, modeSwitch, deviceReturn, open, ready, location, size, start, block, end,
    restart,  // uploaded, but the device did not come back in application mode
    done,
};

const char* StepName(Step step);
const char* OutcomeName(Outcome outcome);

struct UpdateResult {
    Outcome outcome = Outcome::failed;
    Step step = Step::none;
    std::string message;        // the text the user was shown (the completion text on success)
    std::string cause;          // what happened beside the fixed message, when known
    std::string note;           // said on success when there is more to know
    std::uint32_t blocks = 0;   // blocks of the image
    std::uint32_t blocksSent = 0;
    std::uint8_t location = 0;
    std::string serial;         // of the device that was updated, when known
    std::string port;           // where it is plugged in, when known
    bool restarted = false;     // the restart command was sent
};

class UpdateUi {
public:
    virtual ~UpdateUi() = default;
    virtual void SetProgressRange(int minimum, int maximum) = 0;
    virtual void SetProgress(int position) = 0;
    virtual void ShowWarning(bool visible) = 0;
    virtual void EnableOpenButton(bool enabled) = 0;
    virtual void EnableUpdateButton(bool enabled) = 0;
    // Shows a message box and returns once the user has closed it.
    virtual void ShowMessage(const std::string& text, const std::string& caption, int type) = 0;
    // The same box with a detail that says what happened and what to do. Front ends with room
    // for it show it (the window as the box's detail text, the command line on a line of its
    // own); the text and caption stay as they are.
    virtual void ShowMessageWithDetail(const std::string& text, const std::string& caption,
                                       int type, const std::string& detail) {
        (void)detail;
        ShowMessage(text, caption, type);
    }
    // The procedure opened the update-mode device itself (after a mode switch): the front end's
    // idea of what is open changes to it.
    virtual void DeviceOpened() {}
    virtual void PhaseChanged(Phase, std::uint32_t /*block*/, std::uint32_t /*blocks*/) {}
    // Once per update that reached the device, when it has ended one way or another.
    virtual void UpdateFinished(const UpdateResult&) {}
};

}  // namespace vumo::update
