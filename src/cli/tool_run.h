#pragma once
// The first stage as every command runs it: the firmware file checked by the checksum tool and
// loaded, before any device is touched.

#include "cli/output.h"
#include "image/prepare.h"
#include "platform/stop_signals.h"

#include <string>

namespace vumo::cli {

// Checks and loads `path`. A stop request (Ctrl-C, SIGTERM) ends the tool at once, not after
// its time limit; the tool's command line and what it wrote are shown at -v.
image::PrepareResult CheckFirmwareFile(const std::string& path,
                                       const platform::StopSignals& stops, StepLog& log);

}  // namespace vumo::cli
