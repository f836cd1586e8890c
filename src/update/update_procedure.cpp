#include "update/update_procedure.h"

#include "platform/start_thread.h"
#include "protocol/reports.h"

#include <algorithm>
#include <cstdio>

namespace vumo::update {

using protocol::Flag;
using namespace std::chrono_literals;

namespace {

constexpr auto kReopenRetry = 200ms;
constexpr auto kReopenRetryFast = 20ms;
constexpr auto kReadyProbe = 250ms;

std::string DidNotReturnMessage(std::chrono::milliseconds limit) {
    return "The device did not come back in update mode within " +
           std::to_string(limit.count() / 1000) +
           " seconds. Unplug it, plug it in again and run the update once more; a device that "
           "comes back in update mode can be updated directly.";
}

std::string DescribeIdentity(const hid::DeviceIdentity& id) {
    if (!id.serial.empty() && !id.port.empty()) return id.serial + " on port " + id.port;
    if (!id.serial.empty()) return id.serial;
    if (!id.port.empty()) return "the device on port " + id.port;
    return "a device without a serial number";
}

constexpr const char* kCompletionText = "Firmware uploaded.\r\nNow Rebooting.";
constexpr const char* kDidNotBoot =
    "uploaded, but the device did not come back in application mode";

}  // namespace

const char* PacingName(Pacing pacing) { return pacing == Pacing::fast ? "fast" : "standard"; }

std::optional<Pacing> ParsePacing(std::string_view name) {
    if (name == "standard") return Pacing::standard;
    if (name == "fast") return Pacing::fast;
    return std::nullopt;
}

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
        case Step::restart: return "restart";
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

UpdateProcedure::UpdateProcedure(hid::AppDevice& app, hid::DfuDevice& dfu, UpdateEvents& events,
                                 std::unique_ptr<Pacer> pacer, Limits limits, Pauses pauses,
                                 Checks checks)
    : app_(app),
      dfu_(dfu),
      events_(events),
      pacer_(std::move(pacer)),
      limits_(limits),
      pauses_(pauses),
      checks_(checks) {}

UpdateProcedure::~UpdateProcedure() { Stop(); }

bool UpdateProcedure::Start() {
    if (worker_.joinable()) return true;
    if (stop_) return false;
    std::string error;
    if (!platform::StartNamedThread("update worker", worker_, [this] { WorkerThreadProc(); },
                                    &error)) {
        startError_ = "the update's worker thread could not be started: " + error;
        return false;
    }
    return true;
}

void UpdateProcedure::Stop() {
    stop_.store(true);
    abort_.store(true);
    pacer_->Stop();
    dfu_.flags().Interrupt();
    Wake();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool UpdateProcedure::busy() const {
    {
        std::lock_guard lock(wakeMutex_);
        if (returnState_ == Await::waiting || bootState_ == Await::waiting) return true;
    }
    return modeSwitchPending_.load() || updateDeviceFound_.load() || uploadRequest_.load() ||
           dfu_.updateInProgress.load();
}

std::string UpdateProcedure::bootedPath() const {
    std::lock_guard lock(serialMutex_);
    return bootedPath_;
}

void UpdateProcedure::Wake() {
    { std::lock_guard lock(wakeMutex_); }
    wake_.notify_all();
}

std::uint32_t UpdateProcedure::blockCount() const {
    return image_ ? image_->image.blockCount : 0;
}

hid::DeviceIdentity UpdateProcedure::identity() const {
    std::lock_guard lock(serialMutex_);
    return identity_;
}

bool UpdateProcedure::WaitReply(Flag flag, std::uint32_t want) {
    return dfu_.flags().WaitFor(flag, want, std::chrono::steady_clock::now() + limits_.reply,
                                abort_);
}

void UpdateProcedure::Finish(UpdateResult result) {
    result.blocks = blockCount();
    result.blocksSent = blocksSent_.load();
    result.location = location();
    const hid::DeviceIdentity device = identity();
    result.serial = device.serial;
    result.port = device.port;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    events_.Finished(result);
}

void UpdateProcedure::Finish(Outcome outcome, Step step, const std::string& message,
                             const std::string& detail, const messages::Cause& explanation) {
    UpdateResult result;
    result.outcome = outcome;
    result.step = step;
    result.message = message;
    result.cause = detail;
    result.explanation = explanation;
    Finish(std::move(result));
}

void UpdateProcedure::Fail(Step step, const std::string& message,
                           messages::UpdateFailure failure, const std::string& detail) {
    if (stop_) {
        dfu_.updateInProgress.store(0);
        Finish(Outcome::interrupted, step, "The update was interrupted.");
        return;
    }
    std::string why = detail;
    if (deviceLeft_.load() && why.empty()) {
        // The departure ended the wait at once; the fixed message stays, the detail says why.
        why = step == Step::block
                  ? "the device left the bus at block " + std::to_string(blocksSent_.load()) +
                        ". Plug it in again: it stays in its update loader, and running the "
                        "update again flashes it directly."
                  : "the device left the bus. Plug it in again and run the update once more; a "
                    "device that comes back in update mode is flashed directly.";
    }
    if (fast() && step >= Step::ready && step <= Step::end) {
        // The device may need the pauses that fast pacing leaves out.
        if (!why.empty()) why += " ";
        why += "This update used fast pacing: try again with --pacing standard.";
    }
    const Failure failure_{step, message, messages::UpdateCause(failure, why)};
    events_.Failed(failure_);
    dfu_.updateInProgress.store(0);
    Finish(Outcome::failed, step, message, why, failure_.cause);
}

void UpdateProcedure::StartSecondStage(UpdateJob job) {
    Pause(pauses_.shortPause);
    blocksSent_.store(0);
    image_ = std::move(job.image);
    began_ = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(serialMutex_);
        identity_ = job.device;
    }
    if (!stop_) abort_.store(false);
    deviceLeft_.store(false);
    cameBack_.store(false);
    events_.Began(blockCount());
    Reached(Milestone::begun);
    switch (job.mode) {
        case protocol::kModeApplication: {
            {
                std::lock_guard lock(serialMutex_);
                switched_ = job.device;
                pathsBeforeSwitch_.clear();
                for (const auto& entry : dfu_.Scan()) pathsBeforeSwitch_.push_back(entry.path);
            }
            {
                std::lock_guard lock(wakeMutex_);
                switchDeadline_ = std::chrono::steady_clock::now() + limits_.deviceReturn;
                returnState_ = Await::waiting;
            }
            closeOnRemoval_.store(1);
            modeSwitchPending_.store(1);
            events_.PhaseChanged(Phase::switchingMode, 0, blockCount());
            const std::uint8_t written = app_.SendModeSwitch(protocol::kModeUpdate);
            if (written != hid::kWriteOk) {
                // The device will not leave the bus: say so now instead of waiting out the
                // return limit.
                {
                    std::lock_guard lock(wakeMutex_);
                    returnState_ = Await::gaveUp;
                }
                closeOnRemoval_.store(0);
                modeSwitchPending_.store(0);
                const std::string message =
                    "The command to switch the device to update mode could not be sent (code " +
                    std::to_string(written) + "). Check the connection and try again.";
                events_.Failed({Step::modeSwitch, message, {}});
                Finish(Outcome::failed, Step::modeSwitch, message);
                return;
            }
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

bool UpdateProcedure::ArrivalEndsSwitch() {
    // Any HID interface may arrive meanwhile (a keyboard, a mouse, another of our devices);
    // only the switched device, or (unless identity is required) an update-mode device that
    // was not there at the switch, ends the wait.
    const auto found = dfu_.Scan();
    std::lock_guard lock(serialMutex_);
    for (const auto& entry : found) {
        if (IsSameDevice(switched_, entry)) return true;
        if (!checks_.requireIdentity &&
            std::find(pathsBeforeSwitch_.begin(), pathsBeforeSwitch_.end(), entry.path) ==
                pathsBeforeSwitch_.end())
            return true;
    }
    return false;
}

void UpdateProcedure::ArrivalDuringBoot() {
    hid::DeviceIdentity identity;
    {
        std::lock_guard lock(serialMutex_);
        identity = booting_;
    }
    for (const auto& entry : app_.Scan()) {
        if (!IsSameDevice(identity, entry)) continue;
        {
            std::lock_guard lock(serialMutex_);
            bootedPath_ = entry.path;
        }
        {
            std::lock_guard lock(wakeMutex_);
            if (bootState_ == Await::waiting) bootState_ = Await::arrived;
        }
        wake_.notify_all();
        return;
    }
}

void UpdateProcedure::OnDeviceArrival() {
    if (bootPending_.load()) ArrivalDuringBoot();
    if (!modeSwitchPending_.load()) return;
    if (!ArrivalEndsSwitch()) return;
    if (seams_.arrivalDecided) seams_.arrivalDecided();
    {
        std::lock_guard lock(wakeMutex_);
        // The worker may have given up meanwhile; then this arrival comes too late.
        if (returnState_ != Await::waiting) return;
        returnState_ = Await::arrived;
        modeSwitchPending_.store(0);
    }
    Reached(Milestone::deviceBack);
    // The worker counts the devices itself; any non-zero value sends it on.
    updateDeviceFound_.store(static_cast<std::uint8_t>(std::max<std::size_t>(1, dfu_.Scan().size())));
    Wake();
}

std::uint8_t UpdateProcedure::OnDeviceRemoval(const std::string& path) {
    if (!path.empty() && dfu_.updateInProgress.load() && path == dfu_.openPath()) {
        // The device being updated has gone: no reply can come, so end the wait now instead of
        // at its limit.
        deviceLeft_.store(true);
        abort_.store(true);
        dfu_.flags().Interrupt();
    }
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
                       (returnState_ == Await::waiting &&
                        std::chrono::steady_clock::now() >= switchDeadline_);
            };
            // A request may turn the wait into one with a deadline, so the kind of wait is
            // chosen afresh after every wake-up.
            while (!ready()) {
                if (returnState_ == Await::waiting)
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
        } else {
            WaitForReturn();
        }
    }
    bool wasWaiting = false;
    {
        std::lock_guard lock(wakeMutex_);
        wasWaiting = returnState_ == Await::waiting;
        if (wasWaiting) returnState_ = Await::gaveUp;
    }
    if (wasWaiting || dfu_.updateInProgress.load()) {
        dfu_.updateInProgress.store(0);
        Finish(Outcome::interrupted, Step::deviceReturn, "The update was interrupted.");
    }
}

void UpdateProcedure::WaitForReturn() {
    {
        std::lock_guard lock(wakeMutex_);
        if (returnState_ != Await::waiting) return;
        if (std::chrono::steady_clock::now() < switchDeadline_) return;
        returnState_ = Await::gaveUp;
        modeSwitchPending_.store(0);
    }
    closeOnRemoval_.store(0);
    const Failure failure{Step::deviceReturn, DidNotReturnMessage(limits_.deviceReturn),
                          messages::UpdateCause(messages::UpdateFailure::didNotReturn)};
    events_.Failed(failure);
    Finish(Outcome::failed, Step::deviceReturn, failure.message, {}, failure.cause);
}

UpdateProcedure::Choice UpdateProcedure::ChooseReturnedDevice() {
    const auto present = dfu_.Scan();
    std::lock_guard lock(serialMutex_);
    std::vector<hid::DeviceListEntry> same;
    for (const auto& entry : present)
        if (IsSameDevice(switched_, entry)) same.push_back(entry);
    if (same.size() == 1) return {same.front(), {}};
    if (same.size() > 1) {
        return {std::nullopt,
                "Several devices in update mode carry the serial number " + switched_.serial +
                    " and their ports can't tell them apart. Unplug all but one and run the "
                    "update again; nothing was sent."};
    }
    if (present.empty()) return {};
    const bool isNew = present.size() == 1 &&
                       std::find(pathsBeforeSwitch_.begin(), pathsBeforeSwitch_.end(),
                                 present.front().path) == pathsBeforeSwitch_.end();
    if (isNew && !checks_.requireIdentity) {
        // A device that comes back under another serial number is still ours if it is the
        // only update-mode device and it was not there before the switch, and the switched
        // device is not still in application mode.
        for (const auto& app : app_.Scan()) {
            if (IsSameDevice(switched_, app)) {
                return {std::nullopt,
                        "The device that was switched (" + DescribeIdentity(switched_) +
                            ") is still in application mode, and another device (" +
                            DescribeIdentity({present.front().serial, present.front().port}) +
                            ") is in update mode. Unplug the other device and run the update "
                            "again; nothing was sent."};
            }
        }
        return {present.front(), {}};
    }
    if (checks_.requireIdentity) return {};
    return {std::nullopt,
            "Several devices are in update mode and none carries the serial number of the "
            "device that was switched (" +
                switched_.serial +
                "). Unplug the other devices and run the update again; nothing was sent."};
}

void UpdateProcedure::CloseApplicationObject() {
    // The application-mode object has done its part. If the device never left the bus, the
    // object still holds it (and its lock) with nothing left that would close it.
    if (!app_.isOpen()) return;
    app_.Close();
    if (openMode_.load() == protocol::kModeApplication) {
        openMode_.store(0);
        closeOnRemoval_.store(0);
    }
}

void UpdateProcedure::WaitForUpdateDevice() {
    events_.PhaseChanged(Phase::settling, 0, blockCount());
    for (int pass = 0; pass < pauses_.settlePasses; ++pass) {
        Reached(Milestone::settlePass);
        if (!Pause(pauses_.settle)) return Fail(Step::open, {});
    }
    if (dfu_.isOpen()) dfu_.Close();
    // Let go of the application-mode object before looking: if the device never left, our own
    // handle would hide it from the walk that tells whether it is still there.
    CloseApplicationObject();

    // Open the device that was switched, by its node and serial number in one step, and only
    // after making sure no other device has taken its place. Never guess among several.
    const auto deadline = std::chrono::steady_clock::now() + limits_.reopen;
    std::string lastCause = "the device in update mode could not be found";
    for (;;) {
        const Choice choice = ChooseReturnedDevice();
        if (!choice.refusal.empty()) {
            CloseApplicationObject();
            return Fail(Step::open, choice.refusal);
        }
        if (choice.entry) {
            if (seams_.deviceChosen) seams_.deviceChosen();
            CloseApplicationObject();
            const std::uint8_t opened = dfu_.OpenIdentity(choice.entry->path, choice.entry->serial);
            if (opened == hid::kOpenOk) {
                std::lock_guard lock(serialMutex_);
                identity_ = {choice.entry->serial, choice.entry->port};
                break;
            }
            lastCause = opened == hid::kOpenWrongDevice
                            ? choice.entry->path + " names another device now"
                            : std::string(platform::describe(dfu_.lastOpenStatus())) + " on " +
                                  choice.entry->path;
        }
        if (std::chrono::steady_clock::now() >= deadline || stop_.load()) {
            CloseApplicationObject();
            return Fail(Step::open, "Net Connect", messages::UpdateFailure::notOpened,
                        stop_ ? std::string{} : lastCause);
        }
        std::unique_lock lock(wakeMutex_);
        wake_.wait_for(lock, fast() ? kReopenRetryFast : kReopenRetry,
                       [this] { return stop_.load(); });
    }
    openMode_.store(protocol::kModeUpdate);
    cameBack_.store(true);
    events_.DeviceOpened(identity());
    if (!Pause(pauses_.command)) return Fail(Step::open, {});
    StartUpload();
}

void UpdateProcedure::StartUpload() {
    dfu_.updateInProgress.store(1);
    Pause(pauses_.shortPause);
    uploadRequest_.store(1);
    Reached(Milestone::uploadRequested);
    Wake();
}

void UpdateProcedure::RunHandshake() {
    if (dfu_.updateInProgress.load() == 0) {
        uploadRequest_.store(0);
        return;
    }
    events_.PhaseChanged(Phase::handshake, 0, blockCount());
    struct Command {
        Flag flag;
        const char* timeout;
        messages::UpdateFailure failure;
        Step step;
    };
    static constexpr Command kHandshake[] = {
        {Flag::ready, "Ready Time out", messages::UpdateFailure::readyTimeout, Step::ready},
        {Flag::location, "DFU Location time out", messages::UpdateFailure::locationTimeout,
         Step::location},
        {Flag::size, "DFU Size time out", messages::UpdateFailure::sizeTimeout, Step::size},
    };
    for (const Command& c : kHandshake) {
        if (!Pause(pauses_.command)) return Fail(c.step, {});
        Reached(Milestone::command);
        // A flag left over from an earlier update must not answer for this command.
        dfu_.flags().Set(c.flag, 0);
        if (c.flag == Flag::ready && fast() && cameBack_.load()) {
            if (!ProbeReady()) return Fail(c.step, c.timeout, c.failure);
            continue;
        }
        if (c.flag == Flag::ready) dfu_.SendReadyQuery();
        if (c.flag == Flag::location) dfu_.SendLocation(location());
        if (c.flag == Flag::size) dfu_.SendSize(blockCount());
        if (!WaitReply(c.flag, 1)) return Fail(c.step, c.timeout, c.failure);
    }
    if (!Pause(pauses_.command)) return Fail(Step::start, {});
    Reached(Milestone::startRequested);
    const int uploaded = UploadImage();
    if (uploaded != 0) return;  // UploadImage has reported

    if (dfu_.flags().Get(Flag::end) != 1) {
        dfu_.updateInProgress.store(0);
        if (stop_)
            Finish(Outcome::interrupted, Step::end, "The update was interrupted.");
        else
            Finish(Outcome::failed, Step::end, "DFU end time out", {},
                   messages::UpdateCause(messages::UpdateFailure::endTimeout));
        return;
    }
    events_.Uploaded(kCompletionText);
    UpdateResult result;
    result.outcome = Outcome::ok;
    result.step = Step::done;
    result.message = kCompletionText;
    const hid::DeviceIdentity identity = this->identity();
    // Only after the user has closed the box.
    if (location() == 1) {
        events_.PhaseChanged(Phase::restarting, blockCount(), blockCount());
        if (checks_.confirmBoot) {
            std::lock_guard lock(serialMutex_);
            booting_ = identity;
            bootedPath_.clear();
            std::lock_guard wakeLock(wakeMutex_);
            bootState_ = Await::waiting;
        }
        bootPending_.store(checks_.confirmBoot);
        closeOnRemoval_.store(1);
        dfu_.SendModeSwitch(protocol::kModeApplication);
        result.restarted = true;
        if (checks_.confirmBoot) ConfirmBoot(identity, result);
    } else if (checks_.confirmBoot) {
        result.note = "The device stays in its update loader: images of location code " +
                      std::to_string(location()) + " are not followed by a restart.";
    }
    dfu_.updateInProgress.store(0);
    Finish(std::move(result));
}

bool UpdateProcedure::ProbeReady() {
    const auto deadline = std::chrono::steady_clock::now() + pauses_.settle * pauses_.settlePasses;
    for (;;) {
        // The flag is not cleared between probes: an answer to an earlier one counts too.
        dfu_.SendReadyQuery();
        const auto slice = std::min(std::chrono::steady_clock::now() + kReadyProbe, deadline);
        if (dfu_.flags().WaitFor(Flag::ready, 1, slice, abort_)) return true;
        if (abort_.load() || std::chrono::steady_clock::now() >= deadline) return false;
    }
}

void UpdateProcedure::ConfirmBoot(const hid::DeviceIdentity& identity, UpdateResult& result) {
    events_.PhaseChanged(Phase::confirming, blockCount(), blockCount());
    // The device may be back before its arrival is handed to us.
    ArrivalDuringBoot();
    const auto deadline = std::chrono::steady_clock::now() + limits_.deviceReturn;
    Await outcome;
    {
        std::unique_lock lock(wakeMutex_);
        wake_.wait_until(lock, deadline,
                         [this] { return stop_.load() || bootState_ != Await::waiting; });
        if (bootState_ == Await::waiting) bootState_ = Await::gaveUp;
        outcome = bootState_;
    }
    bootPending_.store(false);
    if (outcome == Await::arrived) {
        result.confirmed = true;
        return;
    }
    if (stop_) {
        result.outcome = Outcome::interrupted;
        result.step = Step::restart;
        result.message = "The update was interrupted.";
        return;
    }
    result.outcome = Outcome::failed;
    result.step = Step::restart;
    result.message = kDidNotBoot;
    result.cause = "the image was uploaded and the device was told to restart, but " +
                   DescribeIdentity(identity) + " was not back in application mode within " +
                   std::to_string(limits_.deviceReturn.count() / 1000) +
                   " seconds. It may not have started the new firmware; if it is in update "
                   "mode, run the update again.";
    result.explanation = {result.cause, {}};
    events_.Failed({Step::restart,
                    "The device did not come back in application mode after the update: it may "
                    "not have started the new firmware.",
                    result.explanation});
}

int UpdateProcedure::UploadImage() {
    const std::uint32_t blocks = blockCount();
    if (!Pause(pauses_.command)) return Fail(Step::start, {}), 1;
    Reached(Milestone::startSent);
    dfu_.flags().Set(Flag::start, 0);
    dfu_.SendStart();
    if (!WaitReply(Flag::start, 1))
        return Fail(Step::start, "DFU start time out", messages::UpdateFailure::startTimeout), 1;

    for (std::uint32_t i = 0; i < blocks; ++i) {
        if (!Pause(pauses_.command)) return Fail(Step::block, {}), 1;
        events_.PhaseChanged(Phase::uploading, i, blocks);
        dfu_.flags().Set(Flag::image, 0);
        dfu_.SendBlock(image_->image, i);
        if (!WaitReply(Flag::image, 1)) {
            char text[48];
            std::snprintf(text, sizeof text, "DFU upload time out : %u", i);
            return Fail(Step::block, text, messages::UpdateFailure::blockTimeout), 1;
        }
        blocksSent_.store(i + 1);
        if (!Pause(pauses_.command)) return Fail(Step::block, {}), 1;
    }

    if (!Pause(pauses_.command)) return Fail(Step::end, {}), 1;
    events_.PhaseChanged(Phase::finishing, blocks, blocks);
    dfu_.flags().Set(Flag::end, 0);
    dfu_.SendEnd();
    if (!WaitReply(Flag::start, 0)) {
        if (stop_ || deviceLeft_)
            return Fail(Step::end, "DFU end time out", messages::UpdateFailure::endTimeout), 1;
        // The completion box still follows if the END reply came after all.
        events_.Failed({Step::end, "DFU end time out",
                        messages::UpdateCause(messages::UpdateFailure::endTimeout)});
    }
    events_.UploadClosed();
    return 0;
}

}  // namespace vumo::update
