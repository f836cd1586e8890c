// The --simulate option parser on arbitrary text, as a user may type it.
//
// Checked:
//  - a refusal leaves the options alone and names a reason;
//  - accepted options are within their documented ranges (1 to 64 devices, N@ items for
//    devices 1 to 64, delays up to ten minutes, block numbers 0 to 1023, only the replies the
//    option can silence);
//  - accepted options written back as option text parse to the same options;
//  - blanks around the whole text change nothing;
//  - every simulated device of the result gets a configuration with its own serial.

#include "fuzz_check.h"
#include "sim/simulate_options.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace {

using namespace vumo::sim;

const char* ReplyName(Reply r) {
    switch (r) {
        case Reply::ready: return "READY";
        case Reply::location: return "LOCAT";
        case Reply::size: return "SIZE";
        case Reply::start: return "START";
        case Reply::end: return "END";
        case Reply::image: break;
    }
    return nullptr;
}

std::string Write(const SimulateOptions& o) {
    std::string text = o.startMode == Mode::update ? "dfu" : "app";
    text += ",devices=" + std::to_string(o.devices);
    text += ",return-delay=" + std::to_string(o.returnDelay.count());
    text += ",reply-delay=" + std::to_string(o.faults.replyDelay.count());
    if (o.faults.unplugAtBlock) text += ",unplug-at=" + std::to_string(*o.faults.unplugAtBlock);
    if (o.faults.noReturn) text += ",no-return";
    if (o.faults.newSerial) text += ",new-serial";
    if (o.faults.noise) text += ",noise";
    if (o.faults.noBoot) text += ",no-boot";
    if (o.faults.minGap.count() > 0) text += ",min-gap=" + std::to_string(o.faults.minGap.count());
    if (o.faults.readyAfter.count() > 0)
        text += ",ready-after=" + std::to_string(o.faults.readyAfter.count());
    for (Reply r : o.faults.silent) text += std::string(",silent=") + ReplyName(r);
    for (std::uint32_t block : o.faults.silentBlocks)
        text += ",silent=IMAGE:" + std::to_string(block);
    return text;
}

// Options no parse gives, to tell "left alone" from "overwritten".
SimulateOptions Sentinel() {
    SimulateOptions o;
    o.devices = -7;
    o.returnDelay = std::chrono::milliseconds(-3);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SimulateOptions options = Sentinel();
    std::string error;
    const bool ok = ParseSimulateOptions(text, options, error);

    SimulateOptions padded = Sentinel();
    std::string paddedError;
    const bool paddedOk =
        ParseSimulateOptions(" \t" + std::string(text) + "\t ", padded, paddedError);
    FUZZ_CHECK(paddedOk == ok);

    if (!ok) {
        FUZZ_CHECK(options == Sentinel());
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(padded == Sentinel());
        return 0;
    }
    FUZZ_CHECK(padded == options);
    FUZZ_CHECK(options.devices >= 1 && options.devices <= kMaxSimulatedDevices);
    for (const auto& entry : options.perDevice)
        FUZZ_CHECK(entry.first >= 1 && entry.first <= kMaxSimulatedDevices);
    FUZZ_CHECK(options.returnDelay.count() >= 0 && options.returnDelay.count() <= 600'000);
    FUZZ_CHECK(options.faults.replyDelay.count() >= 0 &&
               options.faults.replyDelay.count() <= 600'000);
    FUZZ_CHECK(!options.faults.unplugAtBlock || *options.faults.unplugAtBlock <= 1023);
    for (std::uint32_t block : options.faults.silentBlocks) FUZZ_CHECK(block <= 1023);
    FUZZ_CHECK(options.faults.silent.count(Reply::image) == 0);

    // Options that every device shares can be written back as text; items aimed at one
    // device (N@), a shared serial and arrivals are checked by the ordinary tests.
    if (!options.perDevice.empty() || options.serial || options.arriveEvery) return 0;
    const std::string written = Write(options);
    SimulateOptions again = Sentinel();
    std::string againError;
    FUZZ_CHECK(ParseSimulateOptions(written, again, againError));
    FUZZ_CHECK(again == options);

    std::set<std::string> serials;
    for (int i = 0; i < options.devices; ++i) {
        const EmulatorConfig config = MakeEmulatorConfig(options, i);
        FUZZ_CHECK(config.startMode == options.startMode);
        FUZZ_CHECK(config.faults == options.faults);
        serials.insert(config.serial);
    }
    FUZZ_CHECK(serials.size() == static_cast<std::size_t>(options.devices));
    return 0;
}
