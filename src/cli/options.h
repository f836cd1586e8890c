#pragma once
// Pieces every command shares: the --simulate option and the bus it selects, JSON output, and
// the wording of device problems.

#include "platform/hid_bus.h"

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
struct CommonOptions {
    SimulateFlag simulate;
    // -v: 1 (phases with times, the checksum tool's command line and output); -vv: 2 (also
    // every report written and read).
    int verbosity = 0;
};
void AddCommonOptions(CLI::App& app, CommonOptions& common);

// What the command help says about the options above, which it does not list itself.
extern const char* const kCommonOptionsFooter;

// The bus the command works on: the built-in simulated one, or the machine's hidraw devices.
// Keeps the simulation alive as long as the bus.
class BusChoice {
public:
    // On failure returns null and fills `error`.
    static std::unique_ptr<BusChoice> Make(const SimulateFlag& flag, std::string& error);
    ~BusChoice();
    platform::HidBus& bus() { return *bus_; }
    sim::Simulation* simulation() { return simulation_.get(); }

private:
    BusChoice() = default;
    std::unique_ptr<sim::Simulation> simulation_;
    std::unique_ptr<platform::HidBus> ownBus_;
    platform::HidBus* bus_ = nullptr;
};

// A JSON string literal for `value`: invalid UTF-8 becomes U+FFFD, control characters are
// escaped, so the output is always valid JSON in valid UTF-8.
std::string JsonString(std::string_view value);

}  // namespace vumo::cli
