#include "platform/linux/node_info.h"

#include "text/utf8.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace vumo::platform::hidraw {
namespace {

std::optional<std::uint16_t> parseHex16(std::string_view field) {
    if (field.empty() || field.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    const char* const end = field.data() + field.size();
    const auto [ptr, ec] = std::from_chars(field.data(), end, value, 16);
    if (ec != std::errc{} || ptr != end || value > 0xFFFF) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<HidId> parseHidId(std::string_view text) {
    const auto first = text.find(':');
    if (first == std::string_view::npos) return std::nullopt;
    const auto second = text.find(':', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto bus = parseHex16(text.substr(0, first));
    const auto vendor = parseHex16(text.substr(first + 1, second - first - 1));
    const auto product = parseHex16(text.substr(second + 1));
    if (!bus || !vendor || !product) return std::nullopt;
    return HidId{*bus, *vendor, *product};
}

std::optional<std::string_view> ueventValue(std::string_view uevent, std::string_view key) {
    while (!uevent.empty()) {
        const auto lineEnd = uevent.find('\n');
        const std::string_view line = uevent.substr(0, lineEnd);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=')
            return line.substr(key.size() + 1);
        if (lineEnd == std::string_view::npos) break;
        uevent.remove_prefix(lineEnd + 1);
    }
    return std::nullopt;
}

std::optional<HidInterfaceInfo> describeNode(const NodeFacts& facts) {
    const auto hidIdText = ueventValue(facts.hidUevent, "HID_ID");
    if (!hidIdText) return std::nullopt;
    const auto id = parseHidId(*hidIdText);
    if (!id) return std::nullopt;

    HidInterfaceInfo info;
    info.path = facts.devnode;
    info.vendorId = id->vendorId;
    info.productId = id->productId;
    const auto text = [](const std::optional<std::string>& value) {
        return value ? cleanDeviceString(*value) : std::string{};
    };
    const auto property = [&](std::string_view key) {
        const auto value = ueventValue(facts.hidUevent, key);
        return value ? cleanDeviceString(*value) : std::string{};
    };
    if (facts.hasUsbDevice) {
        // A USB device that lacks a string has none; HID_NAME would only repeat the others.
        info.manufacturer = text(facts.usbManufacturer);
        info.product = text(facts.usbProduct);
        info.serial = text(facts.usbSerial);
        info.port = facts.usbPort;
    } else {
        info.product = property("HID_NAME");
        info.serial = property("HID_UNIQ");
        info.port = property("HID_PHYS");
    }
    return info;
}

std::optional<unsigned> hidrawNumber(std::string_view pathOrName) {
    constexpr std::string_view prefix = "hidraw";
    const auto slash = pathOrName.rfind('/');
    const std::string_view name =
        slash == std::string_view::npos ? pathOrName : pathOrName.substr(slash + 1);
    if (!name.starts_with(prefix)) return std::nullopt;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                       [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned value = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc{} || ptr != digits.data() + digits.size()) return std::nullopt;
    return value;
}

void sortByNodeNumber(std::vector<HidInterfaceInfo>& interfaces) {
    std::stable_sort(interfaces.begin(), interfaces.end(),
                     [](const HidInterfaceInfo& a, const HidInterfaceInfo& b) {
                         const auto na = hidrawNumber(a.path);
                         const auto nb = hidrawNumber(b.path);
                         if (na && nb) return *na < *nb;
                         if (na || nb) return na.has_value();
                         return a.path < b.path;
                     });
}

std::string cleanDeviceString(std::string_view raw) {
    raw = raw.substr(0, raw.find('\0'));
    while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);
    return text::ValidUtf8(raw);
}

OpenStatus openStatusFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO: return OpenStatus::gone;
        case EACCES:
        case EPERM: return OpenStatus::permissionDenied;
        case EWOULDBLOCK:
        case EBUSY: return OpenStatus::busy;
        default: return OpenStatus::failed;
    }
}

}  // namespace vumo::platform::hidraw
