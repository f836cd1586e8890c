#include "sim/simulate_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>
#include <vector>

namespace vumo::sim {
namespace {

// Delays beyond ten minutes are typing mistakes, not tests.
constexpr std::uint32_t kMaxDelayMs = 600'000;
constexpr std::uint32_t kMaxBlockNumber = 1023;
// Fits every bus's serial field (uhid's is 64 bytes) with room for new-serial's suffix.
constexpr std::size_t kMaxSerialLength = 32;

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

// Seconds as a plain decimal with at most three decimals ("2", "0.5", "1.25"), in
// milliseconds within [1 ms, 600 s].
std::optional<std::chrono::milliseconds> Seconds(std::string_view s) {
    const auto dot = s.find('.');
    const auto whole = Number(s.substr(0, dot), 0, kMaxDelayMs / 1000);
    if (!whole) return std::nullopt;
    std::uint32_t ms = *whole * 1000;
    if (dot != std::string_view::npos) {
        const std::string_view decimals = s.substr(dot + 1);
        auto fraction = decimals.size() <= 3 ? Number(decimals, 0, 999) : std::nullopt;
        if (!fraction) return std::nullopt;
        for (std::size_t i = decimals.size(); i < 3; ++i) *fraction *= 10;
        ms += *fraction;
    }
    if (ms < 1 || ms > kMaxDelayMs) return std::nullopt;
    return std::chrono::milliseconds(ms);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// One item of the list: [N@]NAME[=VALUE].
struct Item {
    std::string_view text;  // the whole item, trimmed, for messages
    int device = 0;         // N of N@ (from 1); 0: every device
    std::string_view name;
    std::string_view value;
    bool hasValue = false;
};

bool SplitItem(std::string_view text, Item& item, std::string& error) {
    item.text = text;
    std::string_view rest = text;
    const auto eq = text.find('=');
    const auto at = text.find('@');
    // An @ after the = belongs to the value (a serial may hold one).
    if (at != std::string_view::npos && (eq == std::string_view::npos || at < eq)) {
        const auto n = Number(Trim(text.substr(0, at)), 1, kMaxSimulatedDevices);
        if (!n) {
            char range[64];
            std::snprintf(range, sizeof range, "1 to %d", kMaxSimulatedDevices);
            error = "simulate option " + Quoted(text) + ": N@ needs a device number from " +
                    range + " before the @";
            return false;
        }
        item.device = static_cast<int>(*n);
        rest = Trim(text.substr(at + 1));
    }
    const auto split = rest.find('=');
    item.name = Trim(rest.substr(0, split));
    item.hasValue = split != std::string_view::npos;
    item.value = item.hasValue ? Trim(rest.substr(split + 1)) : std::string_view{};
    return true;
}

enum class Applied { ok, invalid, notMine };

bool TakesNoValue(const Item& item, std::string& error) {
    if (!item.hasValue) return true;
    error = "simulate option " + std::string(item.name) + " takes no value (got " +
            Quoted(item.text) + ")";
    return false;
}

std::optional<std::uint32_t> ItemNumber(const Item& item, std::uint32_t low, std::uint32_t high,
                                        const char* what, std::string& error) {
    auto n = item.hasValue ? Number(item.value, low, high) : std::nullopt;
    if (!n) {
        char range[64];
        std::snprintf(range, sizeof range, "%u to %u", low, high);
        error = "simulate option " + std::string(item.name) + " needs " + what + " from " +
                range + " (got " + Quoted(item.text) + ")";
    }
    return n;
}

bool ParseSilent(const Item& item, Faults& faults, std::string& error) {
    const std::string_view value = item.value;
    if (!item.hasValue || value.empty()) {
        error = "simulate option silent needs a reply: READY, LOCAT, SIZE, START, END "
                "or IMAGE:N";
        return false;
    }
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
            error = "simulate option " + std::string(item.text) +
                    ": give IMAGE:N, N a block number from 0 to 1023";
            return false;
        }
        faults.silentBlocks.insert(*block);
        return true;
    }
    error = "simulate option " + std::string(item.text) +
            ": unknown reply (READY, LOCAT, SIZE, START, END or IMAGE:N)";
    return false;
}

bool ParseSerial(const Item& item, DeviceOptions& target, std::string& error) {
    const std::string_view value = item.value;
    const bool printable = std::all_of(value.begin(), value.end(), [](char c) {
        return c > ' ' && c < 0x7f;
    });
    if (!item.hasValue || value.empty() || value.size() > kMaxSerialLength || !printable) {
        error = "simulate option serial needs 1 to 32 printable characters without spaces or "
                "commas (got " + Quoted(item.text) + ")";
        return false;
    }
    target.serial = std::string(value);
    return true;
}

// The items that concern one device, applied to `target`.
Applied ApplyDeviceItem(const Item& item, DeviceOptions& target, std::string& error) {
    const auto ok = [](bool good) { return good ? Applied::ok : Applied::invalid; };
    const auto flag = [&](bool& field) {
        if (!TakesNoValue(item, error)) return Applied::invalid;
        field = true;
        return Applied::ok;
    };
    const auto millis = [&](std::chrono::milliseconds& field) {
        const auto n = ItemNumber(item, 0, kMaxDelayMs, "milliseconds", error);
        if (n) field = std::chrono::milliseconds(*n);
        return ok(n.has_value());
    };
    Faults& faults = target.faults;
    const std::string_view name = item.name;
    if (name == "no-return") return flag(faults.noReturn);
    if (name == "new-serial") return flag(faults.newSerial);
    if (name == "noise") return flag(faults.noise);
    if (name == "no-boot") return flag(faults.noBoot);
    if (name == "return-delay") return millis(target.returnDelay);
    if (name == "reply-delay") return millis(faults.replyDelay);
    if (name == "min-gap") return millis(faults.minGap);
    if (name == "ready-after") return millis(faults.readyAfter);
    if (name == "silent") return ok(ParseSilent(item, faults, error));
    if (name == "serial") return ok(ParseSerial(item, target, error));
    if (name == "unplug-at") {
        const auto n = ItemNumber(item, 0, kMaxBlockNumber, "a block number", error);
        if (n) faults.unplugAtBlock = *n;
        return ok(n.has_value());
    }
    return Applied::notMine;
}

// The items that concern the whole machine; they take no N@.
Applied ApplyMachineItem(const Item& item, SimulateOptions& target, bool& sawApp, bool& sawDfu,
                         std::string& error) {
    const std::string_view name = item.name;
    if (name != "app" && name != "dfu" && name != "devices" && name != "arrive")
        return Applied::notMine;
    if (item.device != 0) {
        error = "simulate option " + std::string(name) +
                " is for the whole machine and takes no N@ (got " + Quoted(item.text) + ")";
        return Applied::invalid;
    }
    if (name == "app" || name == "dfu") {
        if (!TakesNoValue(item, error)) return Applied::invalid;
        (name == "app" ? sawApp : sawDfu) = true;
    } else if (name == "devices") {
        const auto n = ItemNumber(item, 1, kMaxSimulatedDevices, "a device count", error);
        if (!n) return Applied::invalid;
        target.devices = static_cast<int>(*n);
    } else {
        const auto every = item.hasValue ? Seconds(item.value) : std::nullopt;
        if (!every) {
            error = "simulate option arrive needs seconds from 0.001 to 600, at most three "
                    "decimals (got " + Quoted(item.text) + ")";
            return Applied::invalid;
        }
        target.arriveEvery = *every;
    }
    return Applied::ok;
}

}  // namespace

const char* const kSimulateHelp =
    "--simulate[=OPTIONS] replaces the HID devices of this machine with emulated ones.\n"
    "OPTIONS is a comma-separated list of:\n"
    "  app              one device in application mode (the default)\n"
    "  dfu              the device starts in update mode\n"
    "  devices=N        N devices (1 to 64), serial numbers VUMO-0001, VUMO-0002, ...\n"
    "  arrive=SECONDS   one more device every SECONDS (e.g. 0.5), up to 64 in all\n"
    "  silent=REPLY     never send REPLY: READY, LOCAT, SIZE, START, END, or IMAGE:N for\n"
    "                   block N (counting from 0); may be given more than once\n"
    "  unplug-at=N      leave the bus when block N (from 0) arrives, and stay away\n"
    "  no-return        stay away after a mode switch or restart\n"
    "  no-boot          after a restart come back in update mode, not application mode\n"
    "  new-serial       come back from a mode switch or restart under another serial\n"
    "  serial=TEXT      this serial number (no commas); with N@, two devices can share one\n"
    "  noise            send malformed and unrelated reports before each reply\n"
    "  return-delay=MS  time off the bus during a mode switch or restart (default 1000)\n"
    "  reply-delay=MS   wait before each reply (default 0)\n"
    "  min-gap=MS       in update mode, drop reports sooner than MS after the last reply\n"
    "  ready-after=MS   in update mode, leave READY? unanswered for MS after coming on the bus\n"
    "  N@ITEM           ITEM for device N only (from 1); not app, dfu, devices, arrive\n"
    "Example: --simulate=dfu,devices=3,silent=IMAGE:3,2@serial=VUMO-0001,3@no-boot\n";

bool ParseSimulateOptions(std::string_view text, SimulateOptions& options, std::string& error) {
    SimulateOptions parsed;
    DeviceOptions common;    // the items without N@
    std::vector<Item> own;   // the N@ items, applied over the common ones at the end
    bool sawApp = false;
    bool sawDfu = false;
    if (Trim(text).empty()) {
        options = parsed;
        return true;
    }
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string_view itemText = Trim(text.substr(from, comma - from));
        from = comma + 1;

        if (itemText.empty()) {
            error = "empty item in simulate options " + Quoted(text);
            return false;
        }
        Item item;
        if (!SplitItem(itemText, item, error)) return false;
        Applied applied = ApplyMachineItem(item, parsed, sawApp, sawDfu, error);
        if (applied == Applied::notMine) {
            DeviceOptions checked;  // an N@ item is checked now, applied once all are read
            applied = ApplyDeviceItem(item, item.device != 0 ? checked : common, error);
            if (applied == Applied::ok && item.device != 0) own.push_back(item);
        }
        if (applied == Applied::notMine) error = "unknown simulate option " + Quoted(itemText);
        if (applied != Applied::ok) return false;
        if (comma == text.size()) break;
    }
    if (sawApp && sawDfu) {
        error = "simulate options app and dfu exclude each other";
        return false;
    }
    const int last = parsed.arriveEvery ? kMaxSimulatedDevices : parsed.devices;
    for (const Item& item : own) {
        if (item.device <= last) continue;
        error = "simulate option " + Quoted(item.text) + " is for device " +
                std::to_string(item.device) + ", but there " +
                (last == 1 ? "is only 1 device" : "are only " + std::to_string(last) + " devices");
        if (!parsed.arriveEvery) error += " (raise devices=N, or let more arrive=SECONDS)";
        return false;
    }
    parsed.startMode = sawDfu ? Mode::update : Mode::application;
    parsed.returnDelay = common.returnDelay;
    parsed.faults = common.faults;
    parsed.serial = common.serial;
    for (const Item& item : own) {
        DeviceOptions& target = parsed.perDevice.try_emplace(item.device, common).first->second;
        ApplyDeviceItem(item, target, error);  // checked above, cannot fail now
    }
    options = parsed;
    return true;
}

std::string SimulatedSerial(int index) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "VUMO-%04d", index + 1);
    return serial;
}

std::string SimulatedPort(int index) { return "sim-" + std::to_string(index + 1); }

DeviceOptions DeviceOptionsFor(const SimulateOptions& options, int index) {
    if (const auto it = options.perDevice.find(index + 1); it != options.perDevice.end())
        return it->second;
    DeviceOptions common;
    common.serial = options.serial;
    common.returnDelay = options.returnDelay;
    common.faults = options.faults;
    return common;
}

EmulatorConfig MakeEmulatorConfig(const SimulateOptions& options, int index) {
    const DeviceOptions device = DeviceOptionsFor(options, index);
    EmulatorConfig config;
    config.serial = device.serial.value_or(SimulatedSerial(index));
    config.port = SimulatedPort(index);
    config.startMode = options.startMode;
    config.returnDelay = device.returnDelay;
    config.faults = device.faults;
    return config;
}

}  // namespace vumo::sim
