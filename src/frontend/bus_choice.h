#pragma once
// Which bus a front end works on and who watches it: the built-in simulated machine, a
// replayed recording, or the machine's hidraw devices; observed by the report trace and the
// recorder when asked for. Free of any command-line parser, so the window and the command line
// build their bus the same way.

#include "platform/hid_bus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vumo::sim {
class ReplayHidBus;
class Simulation;
}  // namespace vumo::sim
namespace vumo::platform {
class ObservedHidBus;
}
namespace vumo::record {
class Recorder;
class ReportTrace;
}  // namespace vumo::record

namespace vumo::frontend {

struct BusOptions {
    std::optional<std::string> simulate;  // --simulate's OPTIONS ("" for none) when given
    std::optional<std::string> record;    // --record FILE
    std::optional<std::string> replay;    // --replay FILE
    double replaySpeed = 1;               // --replay-speed X; 0 plays without delays
    bool traceReports = false;            // every report on stderr
    // The program's command line, for the recording's header.
    std::vector<std::string> argv;
};

// Why a bus could not be had, for the front end's exit status.
enum class BusFailure {
    none,
    usage,      // --simulate's options do not parse
    replay,     // the recording can't be replayed
    recording,  // the recording can't be written
    system,     // the machine's devices can't be listed
};

class BusChoice {
public:
    // Null with `error` (a sentence) and `failure` set when it can't.
    static std::unique_ptr<BusChoice> Make(const BusOptions& options, std::string& error,
                                           BusFailure& failure);
    ~BusChoice();
    BusChoice(const BusChoice&) = delete;
    BusChoice& operator=(const BusChoice&) = delete;

    platform::HidBus& bus() { return *bus_; }
    sim::Simulation* simulation() { return simulation_.get(); }

    // The firmware file of this run, for the recording's header events and the replay's
    // messages. Call once the image is known.
    void NoteImage(const std::string& sha256, std::uint64_t size);
    // Set once a replay has stopped at a difference; empty without a replay.
    base::Waitable replayStop() const;

    struct Conclusion {
        std::string replayError;  // the replay's difference; empty when it matched
        std::string note;         // the recorded run ended with another status
        std::string recordError;  // the recording is incomplete
    };
    // Ends the run with `exitCode` and writes the recording's end (`replayExitCode` instead
    // when the replay differed). Once; later calls return an empty conclusion.
    Conclusion Conclude(int exitCode, int replayExitCode);

private:
    BusChoice() = default;
    std::unique_ptr<sim::Simulation> simulation_;
    std::unique_ptr<platform::HidBus> ownBus_;
    std::unique_ptr<sim::ReplayHidBus> replay_;
    std::unique_ptr<record::Recorder> recorder_;
    std::unique_ptr<record::ReportTrace> trace_;
    std::unique_ptr<platform::ObservedHidBus> observed_;
    platform::HidBus* bus_ = nullptr;
    bool concluded_ = false;
};

}  // namespace vumo::frontend
