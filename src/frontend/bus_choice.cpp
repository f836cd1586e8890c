#include "frontend/bus_choice.h"

#include "platform/observed_hid_bus.h"
#include "record/recorder.h"
#include "record/report_trace.h"
#include "sim/replay_bus.h"
#include "sim/simulation.h"
#include "vumo/build_config.h"

#include <cstdio>

// The one place where the system's own HID back end is chosen.
#ifdef _WIN32
#include "platform/windows/windows_hid_bus.h"
#else
#include "platform/linux/linux_hid_bus.h"
#endif

namespace vumo::frontend {

std::unique_ptr<BusChoice> BusChoice::Make(const BusOptions& options, std::string& error,
                                           BusFailure& failure) {
    failure = BusFailure::none;
    std::unique_ptr<BusChoice> choice(new BusChoice);
    if (options.replay) {
        recording::Recording recording;
        if (!recording::LoadRecording(*options.replay, recording, error)) {
            error = "The recording can't be replayed: " + error;
            failure = BusFailure::replay;
            return nullptr;
        }
        choice->replay_ = std::make_unique<sim::ReplayHidBus>(std::move(recording),
                                                              options.replaySpeed, *options.replay);
        choice->bus_ = choice->replay_.get();
    } else if (options.simulate) {
        sim::SimulateOptions simulate;
        if (!sim::ParseSimulateOptions(*options.simulate, simulate, error)) {
            failure = BusFailure::usage;
            return nullptr;
        }
        choice->simulation_ = std::make_unique<sim::Simulation>(simulate);
        choice->bus_ = &choice->simulation_->bus();
    } else {
#ifdef _WIN32
        choice->ownBus_ = platform::makeWindowsHidBus();
        constexpr const char* kNoBus =
            "The system's HID devices can't be listed: the Windows HID services are not "
            "available.";
#else
        choice->ownBus_ = platform::makeLinuxHidBus();
        constexpr const char* kNoBus =
            "The system's HID devices can't be listed: udev is not available.";
#endif
        if (!choice->ownBus_) {
            error = kNoBus;
            failure = BusFailure::system;
            return nullptr;
        }
        choice->bus_ = choice->ownBus_.get();
    }

    std::vector<platform::BusObserver*> observers;
    if (options.traceReports) {
        choice->trace_ = std::make_unique<record::ReportTrace>(stderr);
        observers.push_back(choice->trace_.get());
    }
    if (options.record) {
        recording::Header header;
        header.program = kFileVersion;
        header.argv = options.argv;
        choice->recorder_ = record::Recorder::Create(*options.record, header, error);
        if (!choice->recorder_) {
            failure = BusFailure::recording;
            return nullptr;
        }
        observers.push_back(choice->recorder_.get());
    }
    // Without observers the bus is used as it is, at no cost.
    if (!observers.empty()) {
        choice->observed_ = std::make_unique<platform::ObservedHidBus>(*choice->bus_, observers);
        choice->bus_ = choice->observed_.get();
    }
    return choice;
}

BusChoice::~BusChoice() = default;

void BusChoice::NoteImage(const std::string& sha256, std::uint64_t size) {
    if (observed_) observed_->noteImage(sha256, size);
    if (replay_) replay_->noteImage(sha256, size);
}

base::Waitable BusChoice::replayStop() const {
    return replay_ ? replay_->divergenceEvent() : base::Waitable();
}

BusChoice::Conclusion BusChoice::Conclude(int exitCode, int replayExitCode) {
    Conclusion c;
    if (concluded_) return c;
    concluded_ = true;
    if (replay_) {
        c.replayError = replay_->conclude();
        const auto recorded = replay_->recordedExit();
        if (c.replayError.empty() && recorded && *recorded != exitCode) {
            c.note = "the recorded run ended with exit status " + std::to_string(*recorded) +
                     ", this one with " + std::to_string(exitCode) + ".";
        }
    }
    if (observed_) observed_->noteEnd(c.replayError.empty() ? exitCode : replayExitCode);
    if (recorder_) c.recordError = recorder_->error();
    return c;
}

}  // namespace vumo::frontend
