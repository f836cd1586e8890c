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
    // Stopped already: there is nothing to run, and the second stage says so.
    if (stopRequested()) return true;
    std::string error;
    if (!platform::StartNamedThread("update worker", worker_, [this] { WorkerThreadProc(); },
                                    &error)) {
        startError_ = "the update's worker thread could not be started: " + error;
        return false;
    }
    return true;
}

void UpdateProcedure::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        abort_.store(true);
    }
    pacer_->Stop();
    dfu_.flags().Interrupt();
    wake_.notify_all();
    std::lock_guard join(joinMutex_);
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool UpdateProcedure::stopRequested() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

bool UpdateProcedure::modeSwitchPending() const {
    std::lock_guard lock(mutex_);
    return stage_ == Stage::switching;
}

bool UpdateProcedure::busy() const {
    std::lock_guard lock(mutex_);
    return stage_ != Stage::idle;
}

std::string UpdateProcedure::bootedPath() const {
    std::lock_guard lock(mutex_);
    return bootedPath_;
}

bool UpdateProcedure::EndLocked() {
    if (stage_ == Stage::idle) return false;
    stage_ = Stage::idle;
    returnReady_ = false;
    return true;
}

std::uint32_t UpdateProcedure::blockCount() const {
    return image_ ? image_->image.blockCount : 0;
}

hid::DeviceIdentity UpdateProcedure::identity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

bool UpdateProcedure::WaitReply(Flag flag, std::uint32_t want) {
    return dfu_.flags().WaitFor(flag, want, std::chrono::steady_clock::now() + limits_.reply,
                                abort_);
}

void UpdateProcedure::Report(UpdateResult result) {
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

bool UpdateProcedure::Finish(UpdateResult result) {
    {
        std::lock_guard lock(mutex_);
        if (!EndLocked()) return false;
    }
    Report(std::move(result));
    return true;
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

void UpdateProcedure::ReportNotStarted() {
    dfu_.updateInProgress.store(0);
    UpdateResult result;
    result.outcome = Outcome::interrupted;
    result.step = Step::none;
    result.message = kNotStartedText;
    Report(std::move(result));
}

void UpdateProcedure::Fail(Step step, const std::string& message,
                           messages::UpdateFailure failure, const std::string& detail) {
    if (stopRequested()) {
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
    const Failure told{step, message, messages::UpdateCause(failure, why)};
    events_.Failed(told);
    dfu_.updateInProgress.store(0);
    Finish(Outcome::failed, step, message, why, told.cause);
}

void UpdateProcedure::StartSecondStage(UpdateJob job) {
    if (seams_.secondStage) seams_.secondStage();
    Pause(pauses_.shortPause);
    blocksSent_.store(0);
    image_ = std::move(job.image);
    began_ = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        identity_ = job.device;
    }
    deviceLeft_.store(false);
    events_.Began(blockCount());
    Reached(Milestone::begun);
    switch (job.mode) {
        case protocol::kModeApplication: {
            const hid::DeviceIdentity identity = job.device;
            std::vector<std::string> before;
            for (const auto& entry : dfu_.Scan()) before.push_back(entry.path);
            bool stopped = false;
            {
                // The stop and the switch are one decision: either the stop came first and
                // nothing goes out, or the update is under way and the stop ends it.
                std::lock_guard lock(mutex_);
                stopped = stopped_;
                if (!stopped) {
                    abort_.store(false);
                    cameBack_ = false;
                    switched_ = identity;
                    pathsBeforeSwitch_ = std::move(before);
                    switchDeadline_ = std::chrono::steady_clock::now() + limits_.deviceReturn;
                    stage_ = Stage::switching;
                }
            }
            if (stopped) return ReportNotStarted();
            closeOnRemoval_.store(1);
            events_.PhaseChanged(Phase::switchingMode, 0, blockCount());
            const std::uint8_t written = app_.SendModeSwitch(protocol::kModeUpdate);
            if (written != hid::kWriteOk) {
                // The device will not leave the bus: say so now instead of waiting out the
                // return limit.
                {
                    std::lock_guard lock(mutex_);
                    if (!EndLocked()) return;  // a stop has ended it meanwhile
                }
                closeOnRemoval_.store(0);
                const std::string message =
                    "The command to switch the device to update mode could not be sent (code " +
                    std::to_string(written) + "). Check the connection and try again.";
                events_.Failed({Step::modeSwitch, message, {}});
                UpdateResult result;
                result.step = Step::modeSwitch;
                result.message = message;
                Report(std::move(result));
                return;
            }
            wake_.notify_all();
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
    hid::DeviceIdentity switched;
    std::vector<std::string> before;
    {
        std::lock_guard lock(mutex_);
        switched = switched_;
        before = pathsBeforeSwitch_;
    }
    for (const auto& entry : found) {
        if (IsSameDevice(switched, entry)) return true;
        if (!checks_.requireIdentity &&
            std::find(before.begin(), before.end(), entry.path) == before.end())
            return true;
    }
    return false;
}

void UpdateProcedure::ArrivalDuringBoot() {
    hid::DeviceIdentity identity;
    {
        std::lock_guard lock(mutex_);
        if (stage_ != Stage::booting || booted_) return;
        identity = booting_;
    }
    for (const auto& entry : app_.Scan()) {
        if (!IsSameDevice(identity, entry)) continue;
        {
            std::lock_guard lock(mutex_);
            // The worker may have given up meanwhile; then this return comes too late.
            if (stage_ != Stage::booting || booted_) return;
            booted_ = true;
            bootedPath_ = entry.path;
        }
        wake_.notify_all();
        return;
    }
}

void UpdateProcedure::OnDeviceArrival() {
    ArrivalDuringBoot();
    if (!modeSwitchPending()) return;
    if (!ArrivalEndsSwitch()) return;
    if (seams_.arrivalDecided) seams_.arrivalDecided();
    {
        std::lock_guard lock(mutex_);
        // The worker may have given up meanwhile, or a stop ended the update; then this
        // arrival comes too late.
        if (stage_ != Stage::switching || stopped_) return;
        stage_ = Stage::returned;
    }
    Reached(Milestone::deviceBack);
    if (seams_.arrivalTaken) seams_.arrivalTaken();
    {
        // Only now: the worker's settling steps come after this arrival's.
        std::lock_guard lock(mutex_);
        if (stage_ == Stage::returned) returnReady_ = true;
    }
    wake_.notify_all();
}

std::uint8_t UpdateProcedure::OnDeviceRemoval(const std::string& path) {
    // The kernel gives a freed node number to the next device, and a removal may be handed on
    // after that device has taken the node: a node that still lists the device we hold open
    // there has not lost it.
    const auto left = [&path](const hid::HidDevice& object) {
        return !path.empty() && path == object.openPath() && !object.OpenDeviceListed();
    };
    const bool dfuLeft = left(dfu_);
    if (dfuLeft && dfu_.updateInProgress.load()) {
        // The device being updated has gone: no reply can come, so end the wait now instead of
        // at its limit.
        deviceLeft_.store(true);
        abort_.store(true);
        dfu_.flags().Interrupt();
    }
    {
        std::lock_guard lock(mutex_);
        // A removal without a path may be ours: the restart is not sent again then.
        if (stage_ == Stage::booting &&
            (path.empty() || (path == restartPath_ && (dfuLeft || !dfu_.isOpen()))))
            leftAfterRestart_ = true;
    }
    wake_.notify_all();
    if (!closeOnRemoval_.load()) return 0;
    const std::uint8_t mode = openMode_.load();
    hid::HidDevice* object = nullptr;
    if (mode == protocol::kModeApplication) object = &app_;
    if (mode == protocol::kModeUpdate) object = &dfu_;
    if (object != nullptr && !path.empty()) {
        // Only the departure of the device we talk to counts, not that of any HID interface.
        const std::string open = object->openPath();
        if (!open.empty() && !left(*object)) return 0;
    }
    std::uint8_t result = 0;
    if (object != nullptr) result = object->Close();
    if (result == 0) openMode_.store(0);
    closeOnRemoval_.store(0);
    return result;
}

void UpdateProcedure::WorkerThreadProc() {
    for (;;) {
        Stage stage = Stage::idle;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] {
                return stopped_ || (stage_ == Stage::returned && returnReady_) ||
                       stage_ == Stage::uploading ||
                       (stage_ == Stage::switching &&
                        std::chrono::steady_clock::now() >= switchDeadline_);
            };
            // A second stage may turn the wait into one with a deadline, so the kind of wait
            // is chosen afresh after every wake-up.
            while (!ready()) {
                if (stage_ == Stage::switching)
                    wake_.wait_until(lock, switchDeadline_);
                else
                    wake_.wait(lock);
            }
            if (stopped_) break;
            stage = stage_;
        }
        if (stage == Stage::returned)
            WaitForUpdateDevice();
        else if (stage == Stage::uploading)
            RunHandshake();
        else
            WaitForReturn();
    }
    // Stopped. Each step ends its own update; one that no step holds (waiting for the device's
    // return, the return not yet taken, the upload not yet begun) ends here.
    Stage stage = Stage::idle;
    bool cameBack = false;
    {
        std::lock_guard lock(mutex_);
        stage = stage_;
        cameBack = cameBack_;
        if (!EndLocked()) return;
    }
    dfu_.updateInProgress.store(0);
    UpdateResult result;
    result.outcome = Outcome::interrupted;
    if (stage == Stage::uploading && !cameBack) {
        // Opened in update mode, and the worker had not yet asked it anything.
        result.step = Step::none;
        result.message = kNotStartedText;
    } else {
        result.step = stage == Stage::uploading ? Step::ready : Step::deviceReturn;
        result.message = "The update was interrupted.";
    }
    Report(std::move(result));
}

void UpdateProcedure::WaitForReturn() {
    {
        std::lock_guard lock(mutex_);
        if (stage_ != Stage::switching) return;
        if (std::chrono::steady_clock::now() < switchDeadline_) return;
        EndLocked();  // gave up: an arrival from now on comes too late
    }
    closeOnRemoval_.store(0);
    const Failure failure{Step::deviceReturn, DidNotReturnMessage(limits_.deviceReturn),
                          messages::UpdateCause(messages::UpdateFailure::didNotReturn)};
    events_.Failed(failure);
    UpdateResult result;
    result.step = Step::deviceReturn;
    result.message = failure.message;
    result.explanation = failure.cause;
    Report(std::move(result));
}

UpdateProcedure::Choice UpdateProcedure::ChooseReturnedDevice() {
    const auto present = dfu_.Scan();
    hid::DeviceIdentity switched;
    std::vector<std::string> before;
    {
        std::lock_guard lock(mutex_);
        switched = switched_;
        before = pathsBeforeSwitch_;
    }
    std::vector<hid::DeviceListEntry> same;
    for (const auto& entry : present)
        if (IsSameDevice(switched, entry)) same.push_back(entry);
    if (same.size() == 1) return {same.front(), {}};
    if (same.size() > 1) {
        return {std::nullopt,
                "Several devices in update mode carry the serial number " + switched.serial +
                    " and their ports can't tell them apart. Unplug all but one and run the "
                    "update again; nothing was sent."};
    }
    if (present.empty()) return {};
    const bool isNew = present.size() == 1 &&
                       std::find(before.begin(), before.end(), present.front().path) ==
                           before.end();
    if (isNew && !checks_.requireIdentity) {
        // A device that comes back under another serial number is still ours if it is the
        // only update-mode device and it was not there before the switch, and the switched
        // device is not still in application mode.
        for (const auto& app : app_.Scan()) {
            if (IsSameDevice(switched, app)) {
                return {std::nullopt,
                        "The device that was switched (" + DescribeIdentity(switched) +
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
                switched.serial +
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
            const std::uint8_t opened = dfu_.OpenIdentity(choice.entry->path, choice.entry->serial,
                                                          choice.entry->port);
            if (opened == hid::kOpenOk) {
                std::lock_guard lock(mutex_);
                identity_ = {choice.entry->serial, choice.entry->port};
                break;
            }
            lastCause = opened == hid::kOpenWrongDevice
                            ? choice.entry->path + " names another device now"
                            : std::string(platform::describe(dfu_.lastOpenStatus())) + " on " +
                                  choice.entry->path;
        }
        std::unique_lock lock(mutex_);
        if (std::chrono::steady_clock::now() >= deadline || stopped_) {
            const bool stopped = stopped_;
            lock.unlock();
            CloseApplicationObject();
            return Fail(Step::open, "Net Connect", messages::UpdateFailure::notOpened,
                        stopped ? std::string{} : lastCause);
        }
        wake_.wait_for(lock, fast() ? kReopenRetryFast : kReopenRetry,
                       [this] { return stopped_; });
    }
    openMode_.store(protocol::kModeUpdate);
    {
        std::lock_guard lock(mutex_);
        cameBack_ = true;
    }
    events_.DeviceOpened(identity());
    if (!Pause(pauses_.command)) return Fail(Step::open, {});
    StartUpload();
}

void UpdateProcedure::StartUpload() {
    dfu_.updateInProgress.store(1);
    Pause(pauses_.shortPause);
    Reached(Milestone::uploadRequested);
    bool notStarted = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            if (stage_ == Stage::idle) {
                // Straight from the second stage, with the device open in update mode.
                abort_.store(false);
                cameBack_ = false;
            }
            stage_ = Stage::uploading;
        } else {
            // From the second stage nothing was sent yet; from the worker, the device's return
            // is ended by the worker as it stops.
            notStarted = stage_ == Stage::idle;
        }
    }
    if (notStarted) return ReportNotStarted();
    wake_.notify_all();
}

void UpdateProcedure::RunHandshake() {
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
    bool cameBack = false;
    {
        std::lock_guard lock(mutex_);
        cameBack = cameBack_;
    }
    for (const Command& c : kHandshake) {
        if (!Pause(pauses_.command)) return Fail(c.step, {});
        Reached(Milestone::command);
        // A flag left over from an earlier update must not answer for this command.
        dfu_.flags().Set(c.flag, 0);
        if (c.flag == Flag::ready && fast() && cameBack) {
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
        if (stopRequested())
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
        if (checks_.confirmBoot) return RestartAndConfirmBoot(identity, std::move(result));
        closeOnRemoval_.store(1);
        dfu_.SendModeSwitch(protocol::kModeApplication);
        result.restarted = true;
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

void UpdateProcedure::RestartAndConfirmBoot(const hid::DeviceIdentity& identity,
                                            UpdateResult result) {
    {
        std::lock_guard lock(mutex_);
        stage_ = Stage::booting;
        booting_ = identity;
        restartPath_ = dfu_.openPath();
        leftAfterRestart_ = false;
        booted_ = false;
        bootedPath_.clear();
    }
    closeOnRemoval_.store(1);
    // A loader may still be busy right after its END reply: the restart keeps the pause that
    // comes before every other command.
    Pause(pauses_.command);
    int sends = 0;
    bool stayed = false;  // still on the bus after the last restart command
    for (;;) {
        dfu_.SendModeSwitch(protocol::kModeApplication);
        ++sends;
        if (sends == 1) {
            result.restarted = true;
            events_.PhaseChanged(Phase::confirming, blockCount(), blockCount());
            // The device may be back before its arrival is handed to us.
            ArrivalDuringBoot();
        }
        std::unique_lock lock(mutex_);
        const bool moved = wake_.wait_for(lock, limits_.restartLeave, [this] {
            return stopped_ || leftAfterRestart_ || booted_;
        });
        if (moved) break;
        if (sends == kRestartSends) {
            stayed = true;
            break;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + limits_.deviceReturn;
    bool booted = false;
    bool stopped = false;
    {
        std::unique_lock lock(mutex_);
        if (!stayed) {
            wake_.wait_until(lock, deadline, [this] { return stopped_ || booted_; });
        }
        // "Back" and "gave up" are one transition: a return after it belongs to no update.
        booted = booted_;
        stopped = stopped_;
        EndLocked();
    }
    dfu_.updateInProgress.store(0);
    result.confirmed = booted;
    if (!booted) {
        result.step = Step::restart;
        if (stopped) {
            result.outcome = Outcome::interrupted;
            result.message = "The update was interrupted.";
        } else {
            result.outcome = Outcome::failed;
            result.message = kDidNotBoot;
            result.cause =
                stayed ? "the image was uploaded, but " + DescribeIdentity(identity) +
                             " stayed on the bus in update mode after " +
                             std::to_string(kRestartSends) +
                             " restart commands. Unplug it and plug it in again; if it comes "
                             "back in update mode, run the update again."
                       : "the image was uploaded and the device was told to restart, but " +
                             DescribeIdentity(identity) +
                             " was not back in application mode within " +
                             std::to_string(limits_.deviceReturn.count() / 1000) +
                             " seconds. It may not have started the new firmware; if it is in "
                             "update mode, run the update again.";
            result.explanation = {result.cause, {}};
            events_.Failed({Step::restart,
                            "The device did not come back in application mode after the "
                            "update: it may not have started the new firmware.",
                            result.explanation});
        }
    }
    Report(std::move(result));
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
        // The 10 ms after the block before and the 10 ms before this one are one wait: the
        // same gap on the wire, one wake-up of this thread fewer per block (a station flashing
        // dozens of devices spends a good part of its CPU on these wake-ups).
        if (!Pause(i == 0 ? pauses_.command : 2 * pauses_.command))
            return Fail(Step::block, {}), 1;
        events_.PhaseChanged(Phase::uploading, i, blocks);
        dfu_.flags().Set(Flag::image, 0);
        dfu_.SendBlock(image_->image, i);
        if (!WaitReply(Flag::image, 1)) {
            char text[48];
            std::snprintf(text, sizeof text, "DFU upload time out : %u", i);
            return Fail(Step::block, text, messages::UpdateFailure::blockTimeout), 1;
        }
        blocksSent_.store(i + 1);
    }
    if (blocks > 0 && !Pause(pauses_.command)) return Fail(Step::block, {}), 1;

    if (!Pause(pauses_.command)) return Fail(Step::end, {}), 1;
    events_.PhaseChanged(Phase::finishing, blocks, blocks);
    dfu_.flags().Set(Flag::end, 0);
    dfu_.SendEnd();
    if (!WaitReply(Flag::start, 0)) {
        if (stopRequested() || deviceLeft_)
            return Fail(Step::end, "DFU end time out", messages::UpdateFailure::endTimeout), 1;
        // The completion box still follows if the END reply came after all.
        events_.Failed({Step::end, "DFU end time out",
                        messages::UpdateCause(messages::UpdateFailure::endTimeout)});
    }
    events_.UploadClosed();
    return 0;
}

}  // namespace vumo::update
