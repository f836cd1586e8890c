#pragma once
// The application object: reads the command line, chooses the bus (the machine's hidraw
// devices, or the simulated machine of --simulate), and runs the one window modally.

#include "platform/hid_bus.h"
#include "sim/simulation.h"

#include <memory>
#include <string>

namespace vumo::app {

// The program's file name: the caption of every application message box.
inline constexpr const char* kProgramName = VUMO_APP_PROGRAM_NAME;

class CVumo_DFU_UtilityApp {
public:
    CVumo_DFU_UtilityApp() = default;
    CVumo_DFU_UtilityApp(const CVumo_DFU_UtilityApp&) = delete;
    CVumo_DFU_UtilityApp& operator=(const CVumo_DFU_UtilityApp&) = delete;

    // The whole program; returns its exit status.
    int Run(int argc, char** argv);

    // Constructs the window on the chosen bus, runs it until it ends and destroys it. Always
    // false: the program ends with the window.
    bool InitInstance();

private:
    // The simulation, if any, outlives the window that uses its bus.
    std::unique_ptr<sim::Simulation> simulation_;
    std::unique_ptr<platform::HidBus> ownBus_;
    platform::HidBus* bus_ = nullptr;
};

}  // namespace vumo::app
