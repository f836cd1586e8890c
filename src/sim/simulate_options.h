#pragma once
// --simulate[=OPTIONS]: which emulated devices to put on the simulated bus, and how they
// misbehave. Shared by the command line and the window.

#include "sim/device_emulator.h"

#include <chrono>
#include <string>
#include <string_view>

namespace vumo::sim {

inline constexpr int kMaxSimulatedDevices = 10;

struct SimulateOptions {
    Mode startMode = Mode::application;  // `app` or `dfu`
    int devices = 1;
    std::chrono::milliseconds returnDelay{1000};
    Faults faults;

    bool operator==(const SimulateOptions&) const = default;
};

// Parses OPTIONS, a comma-separated list; empty text gives the defaults. On success `options`
// receives the result; on failure it is left alone and `error` names the offending item.
bool ParseSimulateOptions(std::string_view text, SimulateOptions& options, std::string& error);

// What --help shows for the options.
extern const char* const kSimulateHelp;

// Serial numbers of the simulated devices: VUMO-0001, VUMO-0002, ... (index counts from 0).
std::string SimulatedSerial(int index);

// The configuration of simulated device `index`.
EmulatorConfig MakeEmulatorConfig(const SimulateOptions& options, int index);

}  // namespace vumo::sim
