#pragma once
// The application object: reads the command line, chooses the bus (the machine's hidraw
// devices, the simulated machine of --simulate or a replayed recording, recorded with
// --record), and runs the one window modally, or the station window with --station.

#include "app/command_line.h"
#include "frontend/bus_choice.h"
#include "platform/hid_bus.h"

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
    // The station window until it has been closed.
    void RunStation();

    CommandLine commandLine_;
    // The bus (and the simulation, recorder or replay behind it) outlives the window.
    std::unique_ptr<frontend::BusChoice> busChoice_;
    platform::HidBus* bus_ = nullptr;
};

}  // namespace vumo::app
