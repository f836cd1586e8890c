#include "platform/windows/win_hid_rules.h"

#include "text/utf8.h"

#include <windows.h>
#include <dbt.h>

#include <cstddef>

namespace vumo::platform::windows {
namespace {

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// "A device which does not exist was specified"; mingw's headers lack the name.
constexpr std::uint32_t kErrorNoSuchDevice = 433;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        wchar_t a = text[i];
        if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - L'a' + L'A');
        if (a != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string Utf8FromWide(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const char32_t unit = static_cast<char16_t>(wide[i]);
        if (unit == 0) break;
        if (IsHighSurrogate(unit) && i + 1 < wide.size() &&
            IsLowSurrogate(static_cast<char16_t>(wide[i + 1]))) {
            const char32_t low = static_cast<char16_t>(wide[++i]);
            text::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            // AppendUtf8 turns a lone surrogate into U+FFFD.
            text::AppendUtf8(out, unit);
        }
    }
    return out;
}

std::wstring WideFromUtf8(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    for (text::Utf8Reader reader(utf8); !reader.done();) {
        const char32_t cp = reader.next().codePoint;
        if (cp >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }
    return out;
}

std::string CanonicalInterfacePath(std::string_view path) {
    std::string out(path);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

std::wstring WriterLockName(std::string_view path) {
    std::wstring name = L"Local\\vumo-dfu-writer:" + WideFromUtf8(CanonicalInterfacePath(path));
    for (std::size_t i = name.find(L':'); i < name.size(); ++i) {
        if (name[i] == L'\\') name[i] = L'/';
    }
    return name;
}

OpenStatus OpenStatusFromError(std::uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case kErrorNoSuchDevice:
        case ERROR_DEVICE_REMOVED:
            return OpenStatus::gone;
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenStatus::busy;
        case ERROR_ACCESS_DENIED:
            return OpenStatus::permissionDenied;
        default:
            return OpenStatus::failed;
    }
}

bool ErrorMeansGone(std::uint32_t error) {
    switch (error) {
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
        case kErrorNoSuchDevice:
        case ERROR_DEVICE_REMOVED:
        case ERROR_ACCESS_DENIED:
            return true;
        default:
            return false;
    }
}

std::string PortFromLocationPath(std::wstring_view locationPath) {
    const std::size_t nul = locationPath.find(L'\0');
    if (nul != std::wstring_view::npos) locationPath = locationPath.substr(0, nul);
    // Segments are separated by '#'; keep everything up to the last "USB(n)" segment.
    std::size_t keep = std::wstring_view::npos;
    std::size_t start = 0;
    while (start <= locationPath.size()) {
        std::size_t end = locationPath.find(L'#', start);
        if (end == std::wstring_view::npos) end = locationPath.size();
        if (StartsWithNoCase(locationPath.substr(start, end - start), L"USB(")) keep = end;
        start = end + 1;
    }
    return Utf8FromWide(keep == std::wstring_view::npos ? locationPath
                                                         : locationPath.substr(0, keep));
}

std::string PortFromParentInstance(std::wstring_view instanceId) {
    const std::size_t nul = instanceId.find(L'\0');
    if (nul != std::wstring_view::npos) instanceId = instanceId.substr(0, nul);
    if (!StartsWithNoCase(instanceId, L"USB\\")) return {};
    const std::size_t lastSlash = instanceId.rfind(L'\\');
    if (lastSlash <= 3) return {};  // no instance part after the hardware ID
    const std::wstring_view instance = instanceId.substr(lastSlash + 1);
    // A location-made instance part always holds '&' ("5&2A3B4C&0&2"); serial numbers hardly
    // ever do, and one that did would only make the port a second copy of the serial.
    if (instance.find(L'&') == std::wstring_view::npos) return {};
    return Utf8FromWide(instance);
}

std::optional<HotplugMonitor::Event> EventFromDeviceChange(WPARAM what, LPARAM record,
                                                           const GUID& hidClass) {
    HotplugMonitor::Action action;
    if (what == DBT_DEVICEARRIVAL) action = HotplugMonitor::Action::arrival;
    else if (what == DBT_DEVICEREMOVECOMPLETE) action = HotplugMonitor::Action::removal;
    else return std::nullopt;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return std::nullopt;
    constexpr std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (header->dbch_size <= nameOffset) return std::nullopt;
    const auto* change = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(record);
    if (!IsEqualGUID(change->dbcc_classguid, hidClass)) return std::nullopt;
    // The name runs to its NUL or to the end of the record, whichever comes first.
    const std::size_t units = (header->dbch_size - nameOffset) / sizeof(wchar_t);
    const std::string path = CanonicalInterfacePath(
        Utf8FromWide(std::wstring_view(change->dbcc_name, units)));
    if (path.empty()) return std::nullopt;
    return HotplugMonitor::Event{action, path};
}

}  // namespace vumo::platform::windows
