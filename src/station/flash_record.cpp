#include "station/flash_record.h"

#include "image/prepare.h"
#include "station/station.h"
#include "update/update_procedure.h"
#include "vumo/build_config.h"

namespace vumo::station {

FlashRecord FlashRecordOf(const image::PreparedImage& image, const FlashStart& start,
                          const update::UpdateResult& result) {
    FlashRecord r;
    r.time = start.time;
    r.seconds = start.seconds;
    // The device as the update last knew it: the one it was given, or the one it reopened.
    r.serial = result.serial;
    r.port = result.port;
    r.modeAtStart = ModeName(start.mode);
    r.file = image.path;
    r.sha256 = image.sha256;
    r.size = image.fileSize;
    r.blocks = image.image.blockCount;
    r.location = image.location;
    r.outcome = update::OutcomeName(result.outcome);
    r.step = update::StepName(result.step);
    r.message = result.message;
    r.cause = result.cause;
    r.toolVersion = kFileVersion;
    return r;
}

FlashRecord FlashRecordOf(const image::PreparedImage& image, const FinishedDevice& finished) {
    const FlashStart start{finished.started, finished.seconds, finished.device.modeAtStart};
    return FlashRecordOf(image, start, finished.result);
}

}  // namespace vumo::station
