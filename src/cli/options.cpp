#include "cli/options.h"

#include "platform/linux/linux_hid_bus.h"
#include "sim/simulation.h"
#include "text/json.h"

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

std::string JsonString(std::string_view text) { return text::JsonString(text); }

}  // namespace vumo::cli
