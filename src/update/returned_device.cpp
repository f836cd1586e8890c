// UpdateProcedure: the device after its mode switch. Which arrival ends the wait, the deadline
// that gives up, and choosing and opening the update-mode device that is the one switched.

#include "update/update_procedure.h"

#include "protocol/reports.h"
#include "update/procedure_texts.h"

#include <algorithm>
#include <cstdio>

namespace vumo::update {

using protocol::Flag;
using namespace detail;

bool UpdateProcedure::ArrivalEndsSwitch() {
    // Any HID interface may arrive meanwhile (a keyboard, a mouse, another of our devices);
    // only the switched device, or (unless identity is required) an update-mode device that
    // was not there at the switch, ends the wait.
    const auto found = dfu_.Scan();
    const SwitchRecord switched = switchRecord();
    for (const auto& entry : found) {
        if (IsSameDevice(switched.device, entry)) return true;
        if (!checks_.requireIdentity && switched.isNew(entry)) return true;
    }
    return false;
}

UpdateProcedure::SwitchRecord UpdateProcedure::switchRecord() const {
    std::lock_guard lock(mutex_);
    return {switched_, pathsBeforeSwitch_};
}

bool UpdateProcedure::SwitchRecord::isNew(const hid::DeviceListEntry& entry) const {
    return std::find(pathsBefore.begin(), pathsBefore.end(), entry.path) == pathsBefore.end();
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
    const SwitchRecord record = switchRecord();
    const hid::DeviceIdentity& switched = record.device;
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
    const bool isNew = present.size() == 1 && record.isNew(present.front());
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

}  // namespace vumo::update
