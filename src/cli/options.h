#pragma once
// Pieces every command shares: the --simulate option and the bus it selects, JSON output, and
// the wording of device problems.

#include "frontend/bus_choice.h"
#include "platform/hid_bus.h"
#include "update/pacer.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vumo::sim {
class Simulation;
}

namespace vumo::cli {

// --simulate[=OPTIONS]: the value is set when the option was given (empty without "=...").
// Its options come only after "=", so "update --simulate FILE" keeps FILE as the file.
struct SimulateFlag {
    std::optional<std::string> options;  // set when --simulate was given
};
void AddSimulateOption(CLI::App& command, SimulateFlag& flag);

// Options that apply to every command. They sit on the program itself and the commands pass
// what they don't know on to it, so each is accepted before or after the command:
// "vumo-dfu --simulate list" and "vumo-dfu list --simulate" are the same.
// Everything that decides which bus a command works on and who watches it.
struct BusSetup {
    SimulateFlag simulate;
    std::optional<std::string> record;  // --record FILE
    std::optional<std::string> replay;  // --replay FILE
    double replaySpeed = 1;             // --replay-speed X; 0 plays without delays
    bool traceReports = false;          // -vv (or --trace-reports): every report on stderr
};

struct CommonOptions {
    BusSetup bus;
    // -v: 1 (phases with times, the checksum tool's command line and output); -vv: 2 (also
    // every report written and read).
    int verbosity = 0;
    // The bus setup as the options left it, -vv included.
    BusSetup Bus() const {
        BusSetup setup = bus;
        setup.traceReports = setup.traceReports || verbosity >= 2;
        return setup;
    }
};
void AddCommonOptions(CLI::App& app, CommonOptions& common);

// What the command help says about the options above, which it does not list itself.
extern const char* const kCommonOptionsFooter;

// The bus the command works on: the built-in simulated one, a replayed recording, or the
// machine's hidraw devices; observed by the report trace and the recorder when asked for.
// Keeps the simulation alive as long as the bus.
class BusChoice {
public:
    // On failure returns null, fills `error` and sets `exitCode` to the status to end with.
    static std::unique_ptr<BusChoice> Make(const BusSetup& setup, std::string& error,
                                           int& exitCode);
    static std::unique_ptr<BusChoice> Make(const SimulateFlag& flag, std::string& error);
    ~BusChoice();
    platform::HidBus& bus() { return bus_->bus(); }
    sim::Simulation* simulation() { return bus_->simulation(); }

    // The firmware file of this run, for the recording's header events and the replay's
    // messages. Call once the image is known.
    void NoteImage(const std::string& sha256, std::uint64_t size) { bus_->NoteImage(sha256, size); }
    // Set once a replay has stopped at a difference; empty without a replay.
    base::Waitable replayStop() const { return bus_->replayStop(); }
    // Ends the run with `exitCode`: writes the recording's end, says on stderr when the
    // recording is incomplete or the recorded run ended otherwise, and returns the replay's
    // difference in `replayError` (the command then ends with kExitReplay).
    void Conclude(int exitCode, std::string& replayError);

private:
    explicit BusChoice(std::unique_ptr<frontend::BusChoice> bus) : bus_(std::move(bus)) {}
    std::unique_ptr<frontend::BusChoice> bus_;
};

// --pacing standard|fast, for the commands that update devices.
void AddPacingOption(CLI::App& command, update::Pacing& pacing);

// A JSON string literal for `value`: invalid UTF-8 becomes U+FFFD, control characters are
// escaped, so the output is always valid JSON in valid UTF-8.
std::string JsonString(std::string_view value);

}  // namespace vumo::cli
