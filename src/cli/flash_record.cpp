#include "cli/flash_record.h"

#include "image/prepare.h"
#include "station/station.h"
#include "update/update_procedure.h"
#include "vumo/build_config.h"

namespace vumo::cli {

std::string SentenceOf(std::string reason) {
    if (!reason.empty() && reason[0] >= 'a' && reason[0] <= 'z')
        reason[0] = static_cast<char>(reason[0] - 'a' + 'A');
    return reason;
}

station::FlashRecord FlashRecordOf(const image::PreparedImage& image, const FlashStart& start,
                                   const update::UpdateResult& result) {
    station::FlashRecord r;
    r.time = start.time;
    r.seconds = start.seconds;
    // The result names the device as the update last saw it; a failure before it was opened
    // leaves that to the listing.
    r.serial = result.serial.empty() ? start.serial : result.serial;
    r.port = result.port.empty() ? start.port : result.port;
    r.modeAtStart = station::ModeName(start.mode);
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

}  // namespace vumo::cli
