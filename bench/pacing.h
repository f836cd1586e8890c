#pragma once
// Fast pacing against standard pacing: whole updates of `vumo-dfu update --pacing fast|standard`
// on the simulated device, held against the floor of a conversation driven by the device's
// answers, the application-mode path with the device's second off the bus, and the figure of
// the same comparison on the real kernel, taken in the test machine (tests/vm).

#include "programs.h"
#include "report.h"

#include <string>

namespace vumo::bench {

struct PacingSetup {
    bool shortMode = false;
    int runs = 3;
    std::string vmFigures;  // file of "name value" lines the VM's pacing scenario left; may be empty
    std::string notes;      // appended to the section as it is (bench/pacing-notes.md)
};

// The page's "Fast pacing" section. `failed` is set when a figure could not be measured.
Section PacingSection(const PacingSetup& setup, const Programs& programs, bool& failed);

}  // namespace vumo::bench
