#pragma once
// A bench of 64: `vumo-dfu station` flashing 64 simulated devices from application mode, with
// standard and with fast pacing, held against the same station flashing one; its CPU over its
// wall time; and what its terminal display costs (the time of one redraw of 64 live lines, in
// this process, and the bytes a whole run writes to a terminal).

#include "programs.h"
#include "report.h"

namespace vumo::bench {

struct Station64Setup {
    bool shortMode = false;  // fast pacing only, a 16-block image: seconds, for CI
    int runs = 3;
};

// The page's "A bench of 64" section. `failed` is set when a figure could not be measured.
Section Station64Section(const Station64Setup& setup, const Programs& programs, bool& failed);

}  // namespace vumo::bench
