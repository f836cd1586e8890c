#pragma once
// One firmware update, from the mode switch to the restart, driven by a worker thread.
//
// The front end (window or command line) owns the device objects and this procedure, runs the
// first stage (check and load) and then StartSecondStage() on its own thread with what to flash
// and where (an UpdateJob), and hands every HID arrival and removal to
// OnDeviceArrival()/OnDeviceRemoval(). The worker waits for the update-mode device, runs the
// handshake and the upload, and answers in UpdateEvents.
//
// Every wait is on an event with a deadline: a reply flag, a request, or a stop. Stop() wakes
// all of them at once and joins the worker, so the device objects may be destroyed afterwards.

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "update/pacer.h"
#include "image/prepared_image.h"
#include "update/update_events.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vumo::update {

struct Limits {
    // How long each command waits for its reply. Flash erases make the first replies of such
    // loaders slow, so this is generous.
    std::chrono::milliseconds reply{10'000};
    // How long the device may take to leave the bus and come back in update mode after the
    // mode switch.
    std::chrono::milliseconds deviceReturn{30'000};
    // How long opening the returned device may keep failing (permissions still being applied,
    // node not yet ready) before the update gives up.
    std::chrono::milliseconds reopen{10'000};
    // With Checks::confirmBoot: how long the device may stay on the bus after a restart command
    // before the command is sent again (at most kRestartSends in all).
    std::chrono::milliseconds restartLeave{2'000};
};

// Restart commands sent at most, with Checks::confirmBoot, to a device that stays on the bus.
inline constexpr int kRestartSends = 3;

// Fixed pauses. The loader may rely on them, so the product keeps them as they are.
struct Pauses {
    std::chrono::milliseconds shortPause{1};     // before StartUpload's request, idle steps
    std::chrono::milliseconds command{10};       // before each command, around each block
    std::chrono::milliseconds settle{500};       // each of the twenty passes after the return
    int settlePasses = 20;                       // ten seconds on the bus before opening
};

// Steps beyond the conversation, which a front end turns on.
struct Checks {
    // After the restart command, the update is ok only once the device is back in application
    // mode under the same identity, within Limits::deviceReturn. The restart command then keeps
    // its 10 ms pause as every other command does (standard pacing), and is sent again while the
    // device stays on the bus (a loader still busy after its END reply may miss it).
    bool confirmBoot = false;
    // The device that comes back after the mode switch must carry the switched device's
    // identity; "the only new device in update mode" is not enough. Set where several devices
    // switch at once.
    bool requireIdentity = false;
};

// What one update is told: the image to flash, shared read-only, and the device it goes to,
// as the front end opened it.
struct UpdateJob {
    std::shared_ptr<const image::PreparedImage> image;
    hid::DeviceIdentity device;  // serial and port of the opened device
    std::uint8_t mode = 0;       // kModeApplication: switch it first; kModeUpdate: upload now
};

// Points where a test can step in between two steps that must not be torn apart.
struct Seams {
    std::function<void()> deviceChosen;    // the worker has chosen the returned device
    std::function<void()> arrivalDecided;  // an arrival was found to end the wait
    std::function<void()> arrivalTaken;    // the return was recorded; the worker not yet woken
    std::function<void()> secondStage;     // StartSecondStage, before it decides anything
};

// The text of an update that a stop ended before anything was sent to the device.
inline constexpr const char* kNotStartedText =
    "The update was stopped before anything was sent to the device.";

class UpdateProcedure {
public:
    UpdateProcedure(hid::AppDevice& app, hid::DfuDevice& dfu, UpdateEvents& events,
                    std::unique_ptr<Pacer> pacer = std::make_unique<RealPacer>(),
                    Limits limits = {}, Pauses pauses = {}, Checks checks = {});
    ~UpdateProcedure();
    UpdateProcedure(const UpdateProcedure&) = delete;
    UpdateProcedure& operator=(const UpdateProcedure&) = delete;

    // Starts the worker thread; false (with startError()) when the system could not give one.
    // After a Stop() nothing is started, and the next second stage reports that it was stopped.
    [[nodiscard]] bool Start();
    std::string startError() const { return startError_; }
    // Set before Start().
    void SetSeams(Seams seams) { seams_ = std::move(seams); }
    // Wakes every wait, ends the worker and joins it. Idempotent. An update under way ends as
    // interrupted, one whose second stage comes after the stop as not started (kNotStartedText);
    // either way with exactly one Finished event.
    void Stop();
    bool stopRequested() const;

    // What the open/close button has open: 0, kModeApplication or kModeUpdate.
    std::uint8_t openMode() const { return openMode_.load(); }
    void setOpenMode(std::uint8_t mode) { openMode_.store(mode); }

    // The second stage of the Update button, right after the image was loaded: by the job's
    // mode, sends the mode switch or starts the upload.
    void StartSecondStage(UpdateJob job);

    // The front end's share of a list refresh: while a mode switch is pending a refresh does
    // not rebuild the list (the window moves its bar one step instead); true then.
    bool RefreshWhileSwitching() const { return modeSwitchPending(); }
    // A HID interface arrived. Ends the wait for the update-mode device once one is present.
    void OnDeviceArrival();
    // A HID interface left (`path` empty when unknown). After a mode switch or restart this
    // closes the object that has gone; returns the close result (0 when nothing was closed).
    std::uint8_t OnDeviceRemoval(const std::string& path);

    bool modeSwitchPending() const;
    bool closeOnRemoval() const { return closeOnRemoval_.load(); }
    bool busy() const;  // an update is between its second stage and its end
    // The node of the device that came back in application mode after the restart, once the
    // boot has been confirmed: that arrival belonged to this update.
    std::string bootedPath() const;

private:
    // Where the update is. One state under one lock (mutex_): an update leaves idle at its
    // second stage and comes back to it exactly once, through End(), and only the caller that
    // brings it back reports the result. A stop is a request beside it: before the second stage
    // it wins (nothing is sent, the update reports "not started"); once the stage has left idle
    // it lands in a running step, which ends as interrupted.
    enum class Stage {
        idle,       // no update under way: before the first, after each end
        switching,  // the mode switch is out; waiting for the device's return (switchDeadline_)
        returned,   // the switched device is back in update mode; the worker opens it
        uploading,  // from StartUpload to the end of the conversation
        booting,    // restart command sent: waiting for the device to leave and come back
    };

    void WorkerThreadProc();
    void WaitForUpdateDevice();
    void WaitForReturn();
    bool ArrivalEndsSwitch();
    void ArrivalDuringBoot();
    // Which update-mode device is the one that was switched; empty entry and no refusal while
    // none is there yet.
    struct Choice {
        std::optional<hid::DeviceListEntry> entry;
        std::string refusal;
    };
    Choice ChooseReturnedDevice();
    // The device told to switch and the update-mode nodes present then, read under the lock.
    struct SwitchRecord {
        hid::DeviceIdentity device;
        std::vector<std::string> pathsBefore;
        bool isNew(const hid::DeviceListEntry& entry) const;  // not there at the switch
    };
    SwitchRecord switchRecord() const;
    void CloseApplicationObject();
    // Sends the restart command (again while the device stays on the bus) and waits for the
    // device's boot; fills in how it went.
    void RestartAndConfirmBoot(const hid::DeviceIdentity& identity, UpdateResult result);
    void StartUpload();
    void RunHandshake();
    // 0 when it went through to the end, 1 when it gave up.
    int UploadImage();

    void Reached(Milestone milestone) { events_.MilestoneReached(milestone); }
    // With fast pacing no fixed pause is made at all; only a stop ends the step.
    bool Pause(std::chrono::milliseconds duration) {
        if (fast()) return !stopRequested();
        return pacer_->Pause(duration);
    }
    bool fast() const { return pacer_->pacing() == Pacing::fast; }
    // Fast pacing after the device's return: READY? every 250 ms until READY comes, for at
    // most as long as the fixed settling would have taken.
    bool ProbeReady();
    bool WaitReply(protocol::Flag flag, std::uint32_t want);
    // Tells the user (unless stopped) and ends the update.
    void Fail(Step step, const std::string& message,
              messages::UpdateFailure failure = messages::UpdateFailure::other,
              const std::string& detail = {});
    void Finish(Outcome outcome, Step step, const std::string& message,
                const std::string& detail = {}, const messages::Cause& explanation = {});
    // Ends the update with `result` unless it has ended already; false then, and nothing is
    // reported.
    bool Finish(UpdateResult result);
    // Reports the end of an update that was brought back to idle by the caller (EndLocked), or
    // that a stop kept from leaving it.
    void Report(UpdateResult result);
    void ReportNotStarted();
    // With mutex_ held: brings the stage back to idle; false when it was there already.
    bool EndLocked();
    std::uint32_t blockCount() const;
    std::uint8_t location() const { return image_ ? image_->location : 0; }
    hid::DeviceIdentity identity() const;

    hid::AppDevice& app_;
    hid::DfuDevice& dfu_;
    UpdateEvents& events_;
    std::unique_ptr<Pacer> pacer_;
    const Limits limits_;
    const Pauses pauses_;
    const Checks checks_;
    Seams seams_;
    std::string startError_;
    // The image of the update in progress, as the second stage was given it.
    std::shared_ptr<const image::PreparedImage> image_;
    std::chrono::steady_clock::time_point began_;

    // Ends every reply wait: a stop, or the departure of the device being updated. An atomic,
    // as ReplyFlags::WaitFor reads it.
    std::atomic<bool> abort_{false};
    std::atomic<bool> deviceLeft_{false};
    // What the front end and the window's controls see, as the product has them.
    std::atomic<std::uint8_t> openMode_{0};
    std::atomic<std::uint32_t> closeOnRemoval_{0};
    std::atomic<std::uint32_t> blocksSent_{0};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Guarded by mutex_:
    Stage stage_ = Stage::idle;
    bool stopped_ = false;
    // The arrival that ended the switch has made its progress step: the worker may go on.
    bool returnReady_ = false;
    bool cameBack_ = false;  // the device was opened after its return
    std::chrono::steady_clock::time_point switchDeadline_;
    // The device that was told to switch modes; the returned device must be it.
    hid::DeviceIdentity switched_;
    hid::DeviceIdentity identity_;  // the device being updated: as given, then as reopened
    std::vector<std::string> pathsBeforeSwitch_;  // update-mode devices present at the switch
    hid::DeviceIdentity booting_;                 // the device told to restart
    std::string restartPath_;                     // its node when it was told
    bool leftAfterRestart_ = false;
    bool booted_ = false;
    std::string bootedPath_;

    std::mutex joinMutex_;  // Stop() may come from two threads at once; one joins
    std::thread worker_;
};

}  // namespace vumo::update
