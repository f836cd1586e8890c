#include "cli/options.h"

#include "platform/linux/linux_hid_bus.h"
#include "sim/simulation.h"
#include "text/utf8.h"

#include <cstdio>

namespace vumo::cli {

void AddSimulateOption(CLI::App& command, SimulateFlag& flag) {
    command
        .add_option_function<std::string>(
            "--simulate", [&flag](const std::string& value) { flag.options = value; },
            std::string(sim::kSimulateHelp))
        ->expected(0, 1)
        ->default_str("")
        ->type_name("[=OPTIONS]");
}

std::unique_ptr<BusChoice> BusChoice::Make(const SimulateFlag& flag, std::string& error) {
    std::unique_ptr<BusChoice> choice(new BusChoice);
    if (flag.options) {
        sim::SimulateOptions options;
        if (!sim::ParseSimulateOptions(*flag.options, options, error)) return nullptr;
        choice->simulation_ = std::make_unique<sim::Simulation>(options);
        choice->bus_ = &choice->simulation_->bus();
        return choice;
    }
    choice->ownBus_ = platform::makeLinuxHidBus();
    if (!choice->ownBus_) {
        error = "The system's HID devices can't be listed: udev is not available.";
        return nullptr;
    }
    choice->bus_ = choice->ownBus_.get();
    return choice;
}

BusChoice::~BusChoice() = default;

std::string JsonString(std::string_view value) {
    std::string out = "\"";
    for (text::Utf8Reader reader(value); !reader.done();) {
        const text::Decoded d = reader.next();
        const char32_t c = d.codePoint;
        if (!d.valid) {
            text::AppendUtf8(out, text::kReplacementCharacter);
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            // DEL and the C1 controls need no escape in JSON, but JSON printed on a terminal
            // must not carry them either.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += reader.lastBytes();
        }
    }
    out += '"';
    return out;
}

}  // namespace vumo::cli
