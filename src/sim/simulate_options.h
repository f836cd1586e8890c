#pragma once
// --simulate[=OPTIONS]: which emulated devices to put on the simulated bus, and how they
// misbehave. Shared by the command line and the window.

#include "sim/device_emulator.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vumo::sim {

// Devices on the bus at once, those that arrive later (arrive=) included: as many as a bench
// of powered hubs holds.
inline constexpr int kMaxSimulatedDevices = 64;

// What the items that concern a single device set for it.
struct DeviceOptions {
    std::optional<std::string> serial;  // unset: VUMO-0001, VUMO-0002, ... by device
    std::chrono::milliseconds returnDelay{1000};
    Faults faults;

    bool operator==(const DeviceOptions&) const = default;
};

struct SimulateOptions {
    Mode startMode = Mode::application;  // `app` or `dfu`
    int devices = 1;                     // present from the start
    // Items without N@: every device gets these.
    std::chrono::milliseconds returnDelay{1000};
    Faults faults;
    std::optional<std::string> serial;
    // arrive=SECONDS: one more device after each such interval, up to kMaxSimulatedDevices.
    std::optional<std::chrono::milliseconds> arriveEvery;
    // Devices given items of their own with N@ITEM, by N (counting from 1). Each entry is that
    // device's whole setting: the items without N@, then the device's own over them in the
    // order given (a value given both ways is the device's own; sets and flags add up).
    std::map<int, DeviceOptions> perDevice;

    bool operator==(const SimulateOptions&) const = default;
};

// Parses OPTIONS, a comma-separated list; empty text gives the defaults. On success `options`
// receives the result; on failure it is left alone and `error` names the offending item.
bool ParseSimulateOptions(std::string_view text, SimulateOptions& options, std::string& error);

// What --help shows for the options.
extern const char* const kSimulateHelp;

// Serial numbers of the simulated devices: VUMO-0001, VUMO-0002, ... (index counts from 0).
std::string SimulatedSerial(int index);

// Ports of the simulated devices: sim-1, sim-2, ... (index counts from 0).
std::string SimulatedPort(int index);

// The setting of simulated device `index` (counting from 0): its own, or the common one.
DeviceOptions DeviceOptionsFor(const SimulateOptions& options, int index);

// The configuration of simulated device `index`.
EmulatorConfig MakeEmulatorConfig(const SimulateOptions& options, int index);

}  // namespace vumo::sim
