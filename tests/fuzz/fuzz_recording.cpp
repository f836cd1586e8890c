// libFuzzer target: the recording parser, which reads files users send us. It must refuse bad
// input with a message naming a line, and never crash, hang or leak.

#include "recording/recording.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vumo::recording::Recording recording;
    std::string error;
    const bool ok = vumo::recording::ParseRecording(text, recording, error);
    // A refusal always says which line; an accepted recording formats and parses again.
    if (!ok && error.rfind("line ", 0) != 0) __builtin_trap();
    if (ok) {
        std::string again = vumo::recording::FormatHeader(recording.header);
        for (const auto& e : recording.events) again += vumo::recording::FormatEvent(e);
        vumo::recording::Recording second;
        if (!vumo::recording::ParseRecording(again, second, error)) __builtin_trap();
        if (second.events.size() != recording.events.size()) __builtin_trap();
    }
    return 0;
}
