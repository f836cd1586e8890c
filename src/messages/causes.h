#pragma once
// Why something failed and what to do about it: the texts that both front ends show beside a
// fixed message, so that "Open Error (code : 17)" keeps its words and still tells the user why.
// The command line prints them as "  cause: ..." and "  hint: ..." lines under the message, the
// window as the detail text of its box. One table, so that both say the same.

#include "image/prepare.h"
#include "platform/hid_bus.h"

#include <string>
#include <string_view>

namespace vumo::messages {

struct Cause {
    std::string text;  // what went wrong, a phrase in lower case: "permission denied on /dev/hidraw3"
    std::string hint;  // what to do, a phrase in lower case; may be empty; shown only with a text
    bool empty() const { return text.empty() && hint.empty(); }
};

// Why opening the device at `path` failed. Empty for OpenStatus::ok.
Cause OpenCause(platform::OpenStatus status, std::string_view path);

// Why the firmware file check refused or failed, and what to do.
Cause PrepareCause(const image::PrepareResult& result);

// The update's failures that the table knows; `other` for those whose account is all in the
// engine's own detail (a refusal to guess among devices, a mode switch that could not be sent).
enum class UpdateFailure {
    other, readyTimeout, locationTimeout, sizeTimeout, startTimeout, blockTimeout, endTimeout,
    notOpened, didNotReturn,
};

// What happened behind one of the update's failures, and what to do. `detail` is the engine's
// own account when it has one (the device left the bus, why opening failed); it then stands as
// the cause and the table adds its hint, unless the account brings advice of its own after its
// first sentence: that advice is then the hint, so it is given once. Empty for `other` without
// a detail.
Cause UpdateCause(UpdateFailure failure, std::string_view detail = {});

// The cause as a box's detail text: each part a sentence of its own, on its own line. Empty
// without a cause text; the command line's lines (cli/output.h) follow the same rule.
std::string DetailText(const Cause& cause);

}  // namespace vumo::messages
