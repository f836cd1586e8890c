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
};

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
    // mode under the same identity, within Limits::deviceReturn.
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
};

class UpdateProcedure {
public:
    UpdateProcedure(hid::AppDevice& app, hid::DfuDevice& dfu, UpdateEvents& events,
                    std::unique_ptr<Pacer> pacer = std::make_unique<RealPacer>(),
                    Limits limits = {}, Pauses pauses = {}, Checks checks = {});
    ~UpdateProcedure();
    UpdateProcedure(const UpdateProcedure&) = delete;
    UpdateProcedure& operator=(const UpdateProcedure&) = delete;

    // Starts the worker thread; false (with startError()) when the system could not give one.
    [[nodiscard]] bool Start();
    std::string startError() const { return startError_; }
    // Set before Start().
    void SetSeams(Seams seams) { seams_ = std::move(seams); }
    // Wakes every wait, ends the worker and joins it. Idempotent.
    void Stop();
    bool stopRequested() const { return stop_.load(); }

    // What the open/close button has open: 0, kModeApplication or kModeUpdate.
    std::uint8_t openMode() const { return openMode_.load(); }
    void setOpenMode(std::uint8_t mode) { openMode_.store(mode); }

    // The second stage of the Update button, right after the image was loaded: by the job's
    // mode, sends the mode switch or starts the upload.
    void StartSecondStage(UpdateJob job);

    // The front end's share of a list refresh: while a mode switch is pending a refresh does
    // not rebuild the list (the window moves its bar one step instead); true then.
    bool RefreshWhileSwitching() const { return modeSwitchPending_.load() != 0; }
    // A HID interface arrived. Ends the wait for the update-mode device once one is present.
    void OnDeviceArrival();
    // A HID interface left (`path` empty when unknown). After a mode switch or restart this
    // closes the object that has gone; returns the close result (0 when nothing was closed).
    std::uint8_t OnDeviceRemoval(const std::string& path);

    bool modeSwitchPending() const { return modeSwitchPending_.load(); }
    bool closeOnRemoval() const { return closeOnRemoval_.load(); }
    bool busy() const;  // an update is between its second stage and its end
    // The node of the device that came back in application mode after the restart, once the
    // boot has been confirmed: that arrival belonged to this update.
    std::string bootedPath() const;

private:
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
    void CloseApplicationObject();
    void ConfirmBoot(const hid::DeviceIdentity& identity, UpdateResult& result);
    void StartUpload();
    void RunHandshake();
    // 0 when it went through to the end, 1 when it gave up.
    int UploadImage();

    void Reached(Milestone milestone) { events_.MilestoneReached(milestone); }
    // With fast pacing no fixed pause is made at all; only a stop ends the step.
    bool Pause(std::chrono::milliseconds duration) {
        if (fast()) return !stop_.load();
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
    void Finish(UpdateResult result);
    std::uint32_t blockCount() const;
    std::uint8_t location() const { return image_ ? image_->location : 0; }
    hid::DeviceIdentity identity() const;
    void Wake();

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

    std::atomic<bool> stop_{false};
    // Ends every reply wait: a stop, or the departure of the device being updated.
    std::atomic<bool> abort_{false};
    std::atomic<bool> deviceLeft_{false};
    std::atomic<bool> cameBack_{false};  // the device was opened after its return
    std::atomic<std::uint32_t> uploadRequest_{0};
    std::atomic<std::uint8_t> openMode_{0};
    std::atomic<std::uint32_t> closeOnRemoval_{0};
    std::atomic<std::uint8_t> updateDeviceFound_{0};
    std::atomic<std::uint32_t> modeSwitchPending_{0};
    std::atomic<bool> bootPending_{false};

    // The device that was told to switch modes; the returned device must be it.
    mutable std::mutex serialMutex_;
    hid::DeviceIdentity switched_;
    hid::DeviceIdentity identity_;  // the device being updated: as given, then as reopened
    std::vector<std::string> pathsBeforeSwitch_;  // update-mode devices present at the switch
    hid::DeviceIdentity booting_;                 // the device told to restart
    std::string bootedPath_;

    std::atomic<std::uint32_t> blocksSent_{0};

    // The wait for the device's return after the mode switch, and for its boot after the
    // restart, each end exactly one way: "arrived" and "gave up" are one transition under
    // wakeMutex_, so an arrival at the deadline can never both fail and go on.
    enum class Await { idle, waiting, arrived, gaveUp };
    mutable std::mutex wakeMutex_;
    std::condition_variable wake_;
    Await returnState_ = Await::idle;                       // guarded by wakeMutex_
    std::chrono::steady_clock::time_point switchDeadline_;  // guarded by wakeMutex_
    Await bootState_ = Await::idle;                         // guarded by wakeMutex_
    std::thread worker_;
};

}  // namespace vumo::update
