#include "update/update_procedure.h"

#include "update/procedure_texts.h"

#include "platform/start_thread.h"
#include "protocol/reports.h"

#include <algorithm>
#include <cstdio>

namespace vumo::update {

using protocol::Flag;
using namespace std::chrono_literals;
using namespace detail;

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

}  // namespace vumo::update
