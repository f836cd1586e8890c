#pragma once
// The flash log's line for one finished device, as the station writes it from the command
// line too.
// SHARED-RECORD: a stand-in until the station's own helper that builds a FlashRecord from a
// finished device lands; then this file goes and the window calls that one.

#include "station/flash_log.h"
#include "station/station.h"

#include <cstdint>
#include <string>

namespace vumo::app {

struct StationFile {
    std::string path;
    std::string sha256;
    std::uint64_t size = 0;
};

station::FlashRecord MakeFlashRecord(const station::FinishedDevice& finished,
                                     const StationFile& file);

}  // namespace vumo::app
