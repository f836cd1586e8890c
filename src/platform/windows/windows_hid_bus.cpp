#include "platform/windows/windows_hid_bus.h"

#include "platform/windows/win_device_monitor.h"
#include "platform/windows/win_handle.h"
#include "platform/windows/win_hid_io.h"
#include "platform/windows/win_hid_rules.h"

#include <cfgmgr32.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace vumo::platform {
namespace {

using windows::CanonicalInterfacePath;
using windows::DeviceInfoSet;
using windows::UniqueHandle;
using windows::Utf8FromWide;

// USB string descriptors hold at most 126 UTF-16 units; the rest is room for the NUL.
constexpr std::size_t kStringUnits = 128;

// How far up from the HID collection the USB device may be: its parent, or for a composite
// device the interface's parent.
constexpr int kParentLevels = 2;

std::optional<std::wstring> InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                                          SP_DEVINFO_DATA& device) {
    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return std::nullopt;
    // DWORD-sized storage keeps the record aligned as the system expects.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr,
                                            &device))
        return std::nullopt;
    const std::size_t units = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
                              sizeof(wchar_t);
    std::wstring path(detail->DevicePath, units);
    path.resize(std::wcslen(path.c_str()));
    return path;
}

template <class Query>
std::string DeviceString(HANDLE device, Query query) {
    wchar_t text[kStringUnits] = {};
    // The size is in bytes; one unit stays NUL whatever the driver writes.
    if (!query(device, text, static_cast<ULONG>(sizeof text - sizeof(wchar_t)))) return {};
    return Utf8FromWide(std::wstring_view(text, kStringUnits));
}

std::wstring LocationPaths(HDEVINFO set, SP_DEVINFO_DATA& device) {
    DWORD type = 0;
    DWORD required = 0;
    ::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_LOCATION_PATHS, &type, nullptr, 0,
                                        &required);
    if (required == 0) return {};
    std::vector<wchar_t> text(required / sizeof(wchar_t) + 1, L'\0');
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_LOCATION_PATHS, &type,
                                             reinterpret_cast<BYTE*>(text.data()), required,
                                             nullptr) ||
        type != REG_MULTI_SZ)
        return {};
    // The first of the list; the rest name the same place in other schemes.
    return std::wstring(text.data());
}

// Where the device is plugged in: the location path of the HID collection or of the USB device
// above it; failing that, the location part of the USB device's instance ID; else nothing.
std::string PortOf(HDEVINFO set, SP_DEVINFO_DATA& collection) {
    if (auto own = windows::PortFromLocationPath(LocationPaths(set, collection)); !own.empty())
        return own;
    DEVINST node = collection.DevInst;
    for (int level = 0; level < kParentLevels; ++level) {
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
        if (::CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
        const DeviceInfoSet one(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
        SP_DEVINFO_DATA parentData{};
        parentData.cbSize = sizeof parentData;
        if (one.valid() && ::SetupDiOpenDeviceInfoW(one.get(), id, nullptr, 0, &parentData)) {
            const auto port = windows::PortFromLocationPath(LocationPaths(one.get(), parentData));
            if (!port.empty()) return port;
        }
        if (auto port = windows::PortFromParentInstance(id); !port.empty()) return port;
        node = parent;
    }
    return {};
}

std::optional<HidInterfaceInfo> Describe(const std::wstring& path) {
    // No access asked: enough for the attributes and strings, and granted even for devices the
    // system keeps to itself (keyboards, mice).
    const UniqueHandle device(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!device) return std::nullopt;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!::HidD_GetAttributes(device.get(), &attributes)) return std::nullopt;
    HidInterfaceInfo info;
    info.path = CanonicalInterfacePath(Utf8FromWide(path));
    info.vendorId = attributes.VendorID;
    info.productId = attributes.ProductID;
    info.product = DeviceString(device.get(), ::HidD_GetProductString);
    info.serial = DeviceString(device.get(), ::HidD_GetSerialNumberString);
    info.manufacturer = DeviceString(device.get(), ::HidD_GetManufacturerString);
    return info;
}

class WindowsHidBus final : public HidBus {
public:
    std::vector<HidInterfaceInfo> enumerate() override {
        std::vector<HidInterfaceInfo> found;
        GUID hidClass;
        ::HidD_GetHidGuid(&hidClass);
        const DeviceInfoSet set(::SetupDiGetClassDevsW(&hidClass, nullptr, nullptr,
                                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!set.valid()) return found;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA interfaceData{};
            interfaceData.cbSize = sizeof interfaceData;
            // Ends with ERROR_NO_MORE_ITEMS, or on any failure: the list is then what was found.
            if (!::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidClass, index,
                                               &interfaceData))
                break;
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            const auto path = InterfacePath(set.get(), interfaceData, device);
            if (!path) continue;
            // A device that left meanwhile, or one that won't answer, can't be ours.
            auto info = Describe(*path);
            if (!info) continue;
            info->port = PortOf(set.get(), device);
            found.push_back(std::move(*info));
        }
        // SetupDi lists in the order devices arrived; the path gives the same order for the
        // same devices.
        std::sort(found.begin(), found.end(),
                  [](const HidInterfaceInfo& a, const HidInterfaceInfo& b) { return a.path < b.path; });
        return found;
    }

    ProbeResult probe(const std::string& path) override { return windows::ProbeDevice(path); }

    Opened<HidWriter> openWriter(const std::string& path) override {
        return windows::OpenDeviceWriter(path);
    }

    Opened<HidReader> openReader(const std::string& path) override {
        return windows::OpenDeviceReader(path);
    }

    std::unique_ptr<HotplugMonitor> monitor() override { return windows::MakeDeviceMonitor(); }
};

}  // namespace

std::unique_ptr<HidBus> makeWindowsHidBus() { return std::make_unique<WindowsHidBus>(); }

}  // namespace vumo::platform
