#include "update/update_procedure.h"

#include "protocol/reports.h"

#include <algorithm>
#include <cstdio>

namespace vumo::update {

using protocol::Flag;
using namespace std::chrono_literals;

namespace {

constexpr const char* kErrorCaption = "ERROR";
constexpr auto kReopenRetry = 200ms;

std::string DidNotReturnMessage(std::chrono::milliseconds limit) {
    return "The device did not come back in update mode within " +
           std::to_string(limit.count() / 1000) +
           " seconds. Unplug it, plug it in again and run the update once more; a device that "
           "comes back in update mode can be updated directly.";
}

}  // namespace

const char* StepName(Step step) {
    switch (step) {
        case Step::none: return "none";
        case Step::modeSwitch: return "mode-switch";
        case Step::deviceReturn: return "device-return";
        case Step::open: return "open";
        case Step::ready: return "ready";
        case Step::location: return "location";
        case Step::size: return "size";
        case Step::start: return "start";
        case Step::block: return "block";
        case Step::end: return "end";
        case Step::done: return "done";
    }
    return "none";
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::ok: return "ok";
        case Outcome::failed: return "failed";
        case Outcome::interrupted: return "interrupted";
    }
    return "failed";
}

UpdateProcedure::UpdateProcedure(hid::AppDevice& app, hid::DfuDevice& dfu, UpdateUi& ui,
                                 std::unique_ptr<Pacer> pacer, Limits limits, Pauses pauses)
    : app_(app), dfu_(dfu), ui_(ui), pacer_(std::move(pacer)), limits_(limits), pauses_(pauses) {}

UpdateProcedure::~UpdateProcedure() { Stop(); }

void UpdateProcedure::Start() {
    if (worker_.joinable() || stop_) return;
    worker_ = std::thread([this] { WorkerThreadProc(); });
}

void UpdateProcedure::Stop() {
    stop_.store(true);
    pacer_->Stop();
    dfu_.flags().Interrupt();
    Wake();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool UpdateProcedure::busy() const {
    return modeSwitchPending_.load() || awaitingReturn_.load() || updateDeviceFound_.load() ||
           uploadRequest_.load() || dfu_.updateInProgress.load();
}

void UpdateProcedure::Wake() {
    { std::lock_guard lock(wakeMutex_); }
    wake_.notify_all();
}

void UpdateProcedure::ProgressStep() {
    // Both the front end's thread and the worker make steps; each is one atomic increment.
    ui_.SetProgress(progressStep_.fetch_add(1));
}

bool UpdateProcedure::WaitReply(Flag flag, std::uint32_t want) {
    return dfu_.flags().WaitFor(flag, want, std::chrono::steady_clock::now() + limits_.reply,
                                stop_);
}

void UpdateProcedure::Finish(Outcome outcome, Step step, const std::string& message) {
    UpdateResult result;
    result.outcome = outcome;
    result.step = step;
    result.message = message;
    result.blocks = dfu_.image().blockCount;
    result.blocksSent = blocksSent_.load();
    result.location = dfu_.locationCode();
    result.serial = dfu_.openSerial();
    if (result.serial.empty()) {
        std::lock_guard lock(serialMutex_);
        result.serial = switchedSerial_;
    }
    ui_.UpdateFinished(result);
}

void UpdateProcedure::Fail(Step step, const std::string& message) {
    if (stop_) {
        dfu_.updateInProgress.store(0);
        Finish(Outcome::interrupted, step, "The update was interrupted.");
        return;
    }
    ui_.ShowMessage(message, kErrorCaption, kBoxError);
    dfu_.updateInProgress.store(0);
    Finish(Outcome::failed, step, message);
}

void UpdateProcedure::StartSecondStage() {
    Pause(pauses_.shortPause);
    blocksSent_.store(0);
    ui_.SetProgressRange(0, static_cast<int>(dfu_.image().blockCount) + 30);
    ProgressStep();
    switch (openMode_.load()) {
        case protocol::kModeApplication: {
            {
                std::lock_guard lock(serialMutex_);
                switchedSerial_ = app_.openSerial();
                pathsBeforeSwitch_.clear();
                const int present = dfu_.EnumerateDevices();
                for (int i = 0; i < present; ++i)
                    pathsBeforeSwitch_.push_back(dfu_.entry(i).path);
            }
            {
                std::lock_guard lock(wakeMutex_);
                switchDeadline_ = std::chrono::steady_clock::now() + limits_.deviceReturn;
            }
            closeOnRemoval_.store(1);
            modeSwitchPending_.store(1);
            ui_.PhaseChanged(Phase::switchingMode, 0, dfu_.image().blockCount);
            const std::uint8_t written = app_.SendModeSwitch(protocol::kModeUpdate);
            if (written != hid::kWriteOk) {
                // The device will not leave the bus: say so now instead of waiting out the
                // return limit.
                closeOnRemoval_.store(0);
                modeSwitchPending_.store(0);
                const std::string message =
                    "The command to switch the device to update mode could not be sent (code " +
                    std::to_string(written) + "). Check the connection and try again.";
                ui_.ShowMessage(message, kErrorCaption, kBoxError);
                Finish(Outcome::failed, Step::modeSwitch, message);
                return;
            }
            awaitingReturn_.store(true);
            Wake();
            break;
        }
        case protocol::kModeUpdate:
            StartUpload();
            break;
        default:
            break;
    }
}

bool UpdateProcedure::RefreshWhileSwitching() {
    if (!modeSwitchPending_.load()) return false;
    ProgressStep();
    return true;
}

void UpdateProcedure::OnDeviceArrival() {
    if (!modeSwitchPending_.load()) return;
    // Any HID interface may arrive meanwhile (a keyboard, a mouse, another of our devices);
    // only an update-mode device that was not there at the switch, or that carries the
    // switched device's serial number, ends the wait.
    const int found = dfu_.EnumerateDevices();
    bool returned = false;
    {
        std::lock_guard lock(serialMutex_);
        for (int i = 0; i < found && !returned; ++i) {
            const auto entry = dfu_.entry(i);
            returned = (!switchedSerial_.empty() && entry.serial == switchedSerial_) ||
                       std::find(pathsBeforeSwitch_.begin(), pathsBeforeSwitch_.end(),
                                 entry.path) == pathsBeforeSwitch_.end();
        }
    }
    if (!returned) return;
    modeSwitchPending_.store(0);
    awaitingReturn_.store(false);
    ProgressStep();
    updateDeviceFound_.store(static_cast<std::uint8_t>(found));
    Wake();
}

std::uint8_t UpdateProcedure::OnDeviceRemoval(const std::string& path) {
    if (!closeOnRemoval_.load()) return 0;
    const std::uint8_t mode = openMode_.load();
    hid::HidDevice* object = nullptr;
    if (mode == protocol::kModeApplication) object = &app_;
    if (mode == protocol::kModeUpdate) object = &dfu_;
    if (object != nullptr && !path.empty()) {
        // Only the departure of the device we talk to counts, not that of any HID interface.
        const std::string open = object->openPath();
        if (!open.empty() && open != path) return 0;
    }
    std::uint8_t result = 0;
    if (object != nullptr) result = object->Close();
    if (result == 0) openMode_.store(0);
    closeOnRemoval_.store(0);
    return result;
}

void UpdateProcedure::WorkerThreadProc() {
    while (!stop_.load()) {
        {
            std::unique_lock lock(wakeMutex_);
            const auto ready = [this] {
                return stop_.load() || updateDeviceFound_.load() != 0 ||
                       uploadRequest_.load() != 0 ||
                       (awaitingReturn_.load() &&
                        std::chrono::steady_clock::now() >= switchDeadline_);
            };
            // A request may turn the wait into one with a deadline, so the kind of wait is
            // chosen afresh after every wake-up.
            while (!ready()) {
                if (awaitingReturn_.load())
                    wake_.wait_until(lock, switchDeadline_);
                else
                    wake_.wait(lock);
            }
        }
        if (stop_.load()) break;
        if (updateDeviceFound_.load() != 0) {
            updateDeviceFound_.store(0);
            WaitForUpdateDevice();
        } else if (uploadRequest_.load() != 0) {
            RunHandshake();
        } else if (awaitingReturn_.load()) {
            WaitForReturn();
        }
    }
    if (awaitingReturn_.exchange(false) || dfu_.updateInProgress.load()) {
        dfu_.updateInProgress.store(0);
        Finish(Outcome::interrupted, Step::deviceReturn, "The update was interrupted.");
    }
}

void UpdateProcedure::WaitForReturn() {
    {
        std::lock_guard lock(wakeMutex_);
        if (std::chrono::steady_clock::now() < switchDeadline_) return;
    }
    if (!awaitingReturn_.exchange(false)) return;
    if (!modeSwitchPending_.exchange(0)) return;
    closeOnRemoval_.store(0);
    const std::string message = DidNotReturnMessage(limits_.deviceReturn);
    ui_.ShowMessage(message, kErrorCaption, kBoxError);
    Finish(Outcome::failed, Step::deviceReturn, message);
}

void UpdateProcedure::WaitForUpdateDevice() {
    ui_.PhaseChanged(Phase::settling, 0, dfu_.image().blockCount);
    for (int pass = 0; pass < pauses_.settlePasses; ++pass) {
        ui_.EnableOpenButton(false);
        ui_.EnableUpdateButton(false);
        ProgressStep();
        if (!Pause(pauses_.settle)) return Fail(Step::open, {});
    }
    if (dfu_.isOpen()) dfu_.Close();

    std::string serial;
    {
        std::lock_guard lock(serialMutex_);
        serial = switchedSerial_;
    }
    // Open the device that was switched: the one with its serial number, or the only one in
    // update mode. Never guess among several.
    const auto deadline = std::chrono::steady_clock::now() + limits_.reopen;
    std::uint8_t lastResult = hid::kOpenBadIndex;
    for (;;) {
        const int count = dfu_.EnumerateDevices();
        int index = -1;
        for (int i = 0; i < count && !serial.empty(); ++i)
            if (dfu_.entry(i).serial == serial) index = i;
        if (index < 0 && count == 1) index = 0;
        if (index < 0 && count > 1) {
            return Fail(Step::open,
                        "Several devices are in update mode and none carries the serial number "
                        "of the device that was switched (" +
                            serial +
                            "). Unplug the other devices and run the update again; nothing was "
                            "sent.");
        }
        if (index >= 0) {
            lastResult = dfu_.Open(index);
            if (lastResult == hid::kOpenOk) break;
        }
        if (std::chrono::steady_clock::now() >= deadline || stop_.load())
            return Fail(Step::open, "Net Connect");
        std::unique_lock lock(wakeMutex_);
        wake_.wait_for(lock, kReopenRetry, [this] { return stop_.load(); });
    }
    openMode_.store(protocol::kModeUpdate);
    ui_.DeviceOpened();
    if (!Pause(pauses_.command)) return Fail(Step::open, {});
    StartUpload();
}

void UpdateProcedure::StartUpload() {
    dfu_.updateInProgress.store(1);
    Pause(pauses_.shortPause);
    uploadRequest_.store(1);
    ProgressStep();
    Wake();
}

void UpdateProcedure::RunHandshake() {
    ui_.EnableOpenButton(false);
    if (dfu_.updateInProgress.load() == 0) {
        uploadRequest_.store(0);
        return;
    }
    ui_.PhaseChanged(Phase::handshake, 0, dfu_.image().blockCount);
    struct Command {
        Flag flag;
        std::uint8_t (hid::DfuDevice::*send)();
        const char* timeout;
        Step step;
    };
    static constexpr Command kHandshake[] = {
        {Flag::ready, &hid::DfuDevice::SendReadyQuery, "Ready Time out", Step::ready},
        {Flag::location, &hid::DfuDevice::SendLocation, "DFU Location time out", Step::location},
        {Flag::size, &hid::DfuDevice::SendSize, "DFU Size time out", Step::size},
    };
    for (const Command& c : kHandshake) {
        if (!Pause(pauses_.command)) return Fail(c.step, {});
        ProgressStep();
        // A flag left over from an earlier update must not answer for this command.
        dfu_.flags().Set(c.flag, 0);
        (dfu_.*c.send)();
        if (!WaitReply(c.flag, 1)) return Fail(c.step, c.timeout);
    }
    if (!Pause(pauses_.command)) return Fail(Step::start, {});
    ProgressStep();
    const int uploaded = UploadImage();
    if (uploaded != 0) return;  // UploadImage has reported

    if (dfu_.flags().Get(Flag::end) == 1) {
        ui_.ShowMessage("Firmware uploaded.\r\nNow Rebooting.", "Update Complete ", kBoxOk);
        // Only after the user has closed the box.
        if (dfu_.locationCode() == 1) {
            ui_.PhaseChanged(Phase::restarting, dfu_.image().blockCount, dfu_.image().blockCount);
            closeOnRemoval_.store(1);
            dfu_.SendModeSwitch(protocol::kModeApplication);
        }
        dfu_.updateInProgress.store(0);
        Finish(Outcome::ok, Step::done, {});
    } else {
        dfu_.updateInProgress.store(0);
        Finish(stop_ ? Outcome::interrupted : Outcome::failed, Step::end,
               stop_ ? "The update was interrupted." : "DFU end time out");
    }
}

int UpdateProcedure::UploadImage() {
    const std::uint32_t blocks = dfu_.image().blockCount;
    if (!Pause(pauses_.command)) return Fail(Step::start, {}), 1;
    ProgressStep();
    dfu_.flags().Set(Flag::start, 0);
    dfu_.SendStart();
    if (!WaitReply(Flag::start, 1)) return Fail(Step::start, "DFU start time out"), 1;

    for (std::uint32_t i = 0; i < blocks; ++i) {
        if (!Pause(pauses_.command)) return Fail(Step::block, {}), 1;
        ui_.SetProgress(static_cast<int>(i) + 31);
        // The warning blinks in runs of five blocks.
        ui_.ShowWarning(i % 10 < 5);
        ui_.PhaseChanged(Phase::uploading, i, blocks);
        dfu_.flags().Set(Flag::image, 0);
        dfu_.SendBlock(i);
        if (!WaitReply(Flag::image, 1)) {
            char text[48];
            std::snprintf(text, sizeof text, "DFU upload time out : %u", i);
            return Fail(Step::block, text), 1;
        }
        blocksSent_.store(i + 1);
        if (!Pause(pauses_.command)) return Fail(Step::block, {}), 1;
    }

    if (!Pause(pauses_.command)) return Fail(Step::end, {}), 1;
    ui_.PhaseChanged(Phase::finishing, blocks, blocks);
    dfu_.flags().Set(Flag::end, 0);
    dfu_.SendEnd();
    if (!WaitReply(Flag::start, 0)) {
        if (stop_) return Fail(Step::end, {}), 1;
        // The completion box still follows if the END reply came after all.
        ui_.ShowMessage("DFU end time out", kErrorCaption, kBoxError);
    }
    ui_.ShowWarning(true);
    return 0;
}

}  // namespace vumo::update
