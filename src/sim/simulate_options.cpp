#include "sim/simulate_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>

namespace vumo::sim {
namespace {

// Delays beyond ten minutes are typing mistakes, not tests.
constexpr std::uint32_t kMaxDelayMs = 600'000;
constexpr std::uint32_t kMaxBlockNumber = 1023;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

// A plain decimal number within [low, high]: no sign, no spaces, no suffix.
std::optional<std::uint32_t> Number(std::string_view s, std::uint32_t low, std::uint32_t high) {
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

bool ParseSilent(std::string_view value, Faults& faults, std::string& error) {
    static constexpr std::pair<std::string_view, Reply> kNames[] = {
        {"READY", Reply::ready}, {"LOCAT", Reply::location}, {"SIZE", Reply::size},
        {"START", Reply::start}, {"END", Reply::end},
    };
    for (const auto& [name, reply] : kNames) {
        if (EqualsNoCase(value, name)) {
            faults.silent.insert(reply);
            return true;
        }
    }
    const auto colon = value.find(':');
    if (EqualsNoCase(value.substr(0, colon), "IMAGE")) {
        const auto block = colon == std::string_view::npos
                               ? std::nullopt
                               : Number(value.substr(colon + 1), 0, kMaxBlockNumber);
        if (!block) {
            error = "simulate option silent=" + std::string(value) +
                    ": give IMAGE:N, N a block number from 0 to 1023";
            return false;
        }
        faults.silentBlocks.insert(*block);
        return true;
    }
    error = "simulate option silent=" + std::string(value) +
            ": unknown reply (READY, LOCAT, SIZE, START, END or IMAGE:N)";
    return false;
}

}  // namespace

const char* const kSimulateHelp =
    "--simulate[=OPTIONS] replaces the HID devices of this machine with emulated ones.\n"
    "OPTIONS is a comma-separated list of:\n"
    "  app              one device in application mode (the default)\n"
    "  dfu              the device starts in update mode\n"
    "  devices=N        N devices (1 to 10), serial numbers VUMO-0001, VUMO-0002, ...\n"
    "  silent=REPLY     never send REPLY: READY, LOCAT, SIZE, START, END, or IMAGE:N for\n"
    "                   block N (counting from 0); may be given more than once\n"
    "  unplug-at=N      leave the bus when block N (from 0) arrives, and stay away\n"
    "  no-return        stay away after a mode switch or restart\n"
    "  new-serial       come back from a mode switch or restart under another serial\n"
    "  noise            send malformed and unrelated reports before each reply\n"
    "  return-delay=MS  time off the bus during a mode switch or restart (default 1000)\n"
    "  reply-delay=MS   wait before each reply (default 0)\n"
    "Example: --simulate=dfu,devices=2,silent=IMAGE:3\n";

bool ParseSimulateOptions(std::string_view text, SimulateOptions& options, std::string& error) {
    SimulateOptions parsed;
    bool sawApp = false;
    bool sawDfu = false;
    if (Trim(text).empty()) {
        options = parsed;
        return true;
    }
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string_view item = Trim(text.substr(from, comma - from));
        from = comma + 1;

        if (item.empty()) {
            error = "empty item in simulate options " + Quoted(text);
            return false;
        }
        const auto eq = item.find('=');
        const std::string_view name = Trim(item.substr(0, eq));
        const bool hasValue = eq != std::string_view::npos;
        const std::string_view value = hasValue ? Trim(item.substr(eq + 1)) : std::string_view{};

        const auto flag = [&](bool& target) {
            if (hasValue) {
                error = "simulate option " + std::string(name) + " takes no value (got " +
                        Quoted(item) + ")";
                return false;
            }
            target = true;
            return true;
        };
        const auto number = [&](std::uint32_t low, std::uint32_t high, const char* what)
            -> std::optional<std::uint32_t> {
            auto n = hasValue ? Number(value, low, high) : std::nullopt;
            if (!n) {
                char range[64];
                std::snprintf(range, sizeof range, "%u to %u", low, high);
                error = "simulate option " + std::string(name) + " needs " + what + " from " +
                        range + " (got " + Quoted(item) + ")";
            }
            return n;
        };

        if (name == "app") {
            if (!flag(sawApp)) return false;
        } else if (name == "dfu") {
            if (!flag(sawDfu)) return false;
        } else if (name == "no-return") {
            if (!flag(parsed.faults.noReturn)) return false;
        } else if (name == "new-serial") {
            if (!flag(parsed.faults.newSerial)) return false;
        } else if (name == "noise") {
            if (!flag(parsed.faults.noise)) return false;
        } else if (name == "devices") {
            const auto n = number(1, kMaxSimulatedDevices, "a device count");
            if (!n) return false;
            parsed.devices = static_cast<int>(*n);
        } else if (name == "unplug-at") {
            const auto n = number(0, kMaxBlockNumber, "a block number");
            if (!n) return false;
            parsed.faults.unplugAtBlock = *n;
        } else if (name == "return-delay") {
            const auto n = number(0, kMaxDelayMs, "milliseconds");
            if (!n) return false;
            parsed.returnDelay = std::chrono::milliseconds(*n);
        } else if (name == "reply-delay") {
            const auto n = number(0, kMaxDelayMs, "milliseconds");
            if (!n) return false;
            parsed.faults.replyDelay = std::chrono::milliseconds(*n);
        } else if (name == "silent") {
            if (!hasValue || value.empty()) {
                error = "simulate option silent needs a reply: READY, LOCAT, SIZE, START, END "
                        "or IMAGE:N";
                return false;
            }
            if (!ParseSilent(value, parsed.faults, error)) return false;
        } else {
            error = "unknown simulate option " + Quoted(item);
            return false;
        }
        if (comma == text.size()) break;
    }
    if (sawApp && sawDfu) {
        error = "simulate options app and dfu exclude each other";
        return false;
    }
    parsed.startMode = sawDfu ? Mode::update : Mode::application;
    options = parsed;
    return true;
}

std::string SimulatedSerial(int index) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "VUMO-%04d", index + 1);
    return serial;
}

EmulatorConfig MakeEmulatorConfig(const SimulateOptions& options, int index) {
    EmulatorConfig config;
    config.serial = SimulatedSerial(index);
    config.startMode = options.startMode;
    config.returnDelay = options.returnDelay;
    config.faults = options.faults;
    return config;
}

}  // namespace vumo::sim
