#include "app/station_record.h"

#include "vumo/build_config.h"

namespace vumo::app {

station::FlashRecord MakeFlashRecord(const station::FinishedDevice& finished,
                                     const StationFile& file) {
    const update::UpdateResult& r = finished.result;
    station::FlashRecord record;
    record.time = finished.started;
    record.seconds = finished.seconds;
    record.serial = r.serial.empty() ? finished.device.serial : r.serial;
    record.port = r.port.empty() ? finished.device.port : r.port;
    record.modeAtStart = station::ModeName(finished.device.modeAtStart);
    record.file = file.path;
    record.sha256 = file.sha256;
    record.size = file.size;
    record.blocks = r.blocks;
    record.location = r.location;
    record.outcome = update::OutcomeName(r.outcome);
    record.step = update::StepName(r.step);
    record.message = r.message;
    record.cause = r.cause;
    record.toolVersion = kFileVersion;
    return record;
}

}  // namespace vumo::app
