#include "cli/options.h"

#include "platform/linux/linux_hid_bus.h"
#include "sim/simulation.h"
#include "text/utf8.h"

#include <cstdio>

namespace vumo::cli {

namespace {

// A flag that may carry a value ("--simulate=dfu") stands in CLI11's help as "--simulate{ }";
// show it as users type it.
class HelpFormatter final : public CLI::Formatter {
public:
    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        std::string name = CLI::Formatter::make_option_name(option, positional);
        for (std::size_t at; (at = name.find(kFlagDefault)) != std::string::npos;)
            name.erase(at, kFlagDefault.size());
        return name;
    }
    std::string make_option_opts(const CLI::Option* option) const override {
        // "[=OPTIONS]" belongs to the name without a blank, as it is typed.
        if (option->get_option_text().starts_with("[=")) return option->get_option_text();
        return CLI::Formatter::make_option_opts(option);
    }

    static constexpr std::string_view kFlagDefault = "{ }";
};

// What CLI11 hands over for a bare --simulate: the flag's default, " ".
constexpr std::string_view kBareFlag = " ";

}  // namespace

const char* const kCommonOptionsFooter =
    "Options of every command, accepted before or after it (see vumo-dfu --help):\n"
    "  --simulate[=OPTIONS]        work on simulated devices instead of the machine's\n"
    "  -v,--verbose                print the steps with times; -vv also every report\n";

void AddSimulateOption(CLI::App& command, SimulateFlag& flag) {
    command.formatter(std::make_shared<HelpFormatter>());
    command.add_flag("--simulate{ }")
        ->description("Work on simulated devices instead of the machine's (OPTIONS below)")
        ->each([&flag](const std::string& value) {
            flag.options = value == kBareFlag ? std::string() : value;
        })
        ->option_text("[=OPTIONS]");
}

void AddCommonOptions(CLI::App& app, CommonOptions& common) {
    AddSimulateOption(app, common.simulate);
    app.add_flag("-v,--verbose", common.verbosity,
                 "Print each step with its time and the checksum tool's run; -vv also every "
                 "report written and read");
    // Commands created after this pass the options above up to the program.
    app.fallthrough();
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
