// The pure rules of the Windows back end, fed what Windows and Wine give.

#include "platform/windows/win_hid_rules.h"
#include "platform/windows/win_handle.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace vumo::platform::windows {
namespace {

TEST(WinHidRules, Utf16BecomesUtf8AndBack) {
    struct Case {
        std::wstring wide;
        std::string utf8;
    };
    const Case cases[] = {
        {L"Vumo DFU", "Vumo DFU"},
        {L"Gr\u00fc\u00dfe \u20ac", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"},
        // A surrogate pair is one character outside the BMP.
        {std::wstring{L'A', wchar_t(0xD83D), wchar_t(0xDE00)}, "A\xf0\x9f\x98\x80"},
        {L"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8FromWide(c.wide), c.utf8);
        EXPECT_EQ(WideFromUtf8(c.utf8), c.wide);
    }
}

TEST(WinHidRules, DeviceStringsEndAtTheirNulAndLoneSurrogatesAreReplaced) {
    const wchar_t buffer[] = {L'S', L'N', L'1', 0, L'x', L'y'};
    EXPECT_EQ(Utf8FromWide(std::wstring_view(buffer, 6)), "SN1");
    EXPECT_EQ(Utf8FromWide(std::wstring{wchar_t(0xD800), L'a'}), "\xef\xbf\xbd" "a");
    EXPECT_EQ(Utf8FromWide(std::wstring{L'a', wchar_t(0xDC00)}), "a\xef\xbf\xbd");
    EXPECT_EQ(WideFromUtf8("\xff"), std::wstring(1, wchar_t(0xFFFD)));
}

TEST(WinHidRules, WinesTwoSpellingsOfOnePathBecomeOne) {
    // SetupDi lists the interface in upper case; the removal names it in lower case.
    const std::string listed =
        "\\\\?\\HID#VID_1209&PID_0001#1&2D595CA7&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const std::string notified =
        "\\\\?\\hid#vid_1209&pid_0001#1&2d595ca7&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(CanonicalInterfacePath(listed), CanonicalInterfacePath(notified));
    EXPECT_EQ(CanonicalInterfacePath(listed), notified);
    // Only ASCII letters fold; anything else stays as it is.
    EXPECT_EQ(CanonicalInterfacePath("\xc3\x84-Z"), "\xc3\x84-z");
}

TEST(WinHidRules, OneWriterLockNamePerDeviceWhateverTheCase) {
    const std::string upper = "\\\\?\\HID#VID_1209&PID_0001#1&2D595CA7&0&0000#{4d1e55b2}";
    const std::string lower = "\\\\?\\hid#vid_1209&pid_0001#1&2d595ca7&0&0000#{4d1e55b2}";
    const std::string other = "\\\\?\\hid#vid_1209&pid_0001#1&2d595ca7&0&0001#{4d1e55b2}";
    EXPECT_EQ(WriterLockName(upper), WriterLockName(lower));
    EXPECT_NE(WriterLockName(lower), WriterLockName(other));
    const std::wstring name = WriterLockName(lower);
    // The namespace is the only backslash an object name may hold.
    EXPECT_EQ(name.rfind(L'\\'), std::wstring(L"Local").size());
    EXPECT_LT(name.size(), static_cast<std::size_t>(MAX_PATH));
}

TEST(WinHidRules, OpenErrorsMapToWhatTheUserIsTold) {
    struct Case {
        DWORD error;
        OpenStatus status;
    };
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, OpenStatus::gone},
        {ERROR_PATH_NOT_FOUND, OpenStatus::gone},
        {ERROR_DEVICE_NOT_CONNECTED, OpenStatus::gone},
        {ERROR_DEV_NOT_EXIST, OpenStatus::gone},
        {433, OpenStatus::gone},  // no such device
        {ERROR_SHARING_VIOLATION, OpenStatus::busy},
        {ERROR_BUSY, OpenStatus::busy},
        {ERROR_ACCESS_DENIED, OpenStatus::permissionDenied},
        {ERROR_INVALID_PARAMETER, OpenStatus::failed},
        {ERROR_NOT_ENOUGH_MEMORY, OpenStatus::failed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpenStatusFromError(c.error), c.status) << "error " << c.error;
    }
    EXPECT_TRUE(ErrorMeansGone(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(ErrorMeansGone(ERROR_ACCESS_DENIED));  // Wine: the device's delete is pending
    EXPECT_FALSE(ErrorMeansGone(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(ErrorMeansGone(ERROR_GEN_FAILURE));
}

TEST(WinHidRules, ThePortIsTheLocationOfTheUsbDevice) {
    struct Case {
        std::wstring location;
        std::string port;
    };
    const Case cases[] = {
        // An interface of a composite device, and the device itself: one port.
        {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)#USBMI(0)",
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)"},
        {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)",
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)"},
        {L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USBMI(1)#HID(0)",
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"},
        // The first of a REG_MULTI_SZ list.
        {std::wstring(L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)\0ACPI(_SB_)#ACPI(PCI0)", 61),
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"},
        // The root hub itself is not a port; a path without a USB device stays whole.
        {L"PCIROOT(0)#PCI(1400)#USBROOT(0)", "PCIROOT(0)#PCI(1400)#USBROOT(0)"},
        {L"ACPI(_SB_)#ACPI(I2C1)#HID(0)", "ACPI(_SB_)#ACPI(I2C1)#HID(0)"},
        {L"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PortFromLocationPath(c.location), c.port);
}

TEST(WinHidRules, OnlyALocationMadeInstanceIdNamesAPort) {
    struct Case {
        std::wstring instance;
        std::string port;
    };
    const Case cases[] = {
        {L"USB\\VID_1209&PID_0001\\5&2A3B4C5D&0&2", "5&2A3B4C5D&0&2"},
        {L"usb\\vid_1209&pid_0002\\5&2a3b4c5d&0&2", "5&2a3b4c5d&0&2"},
        {L"USB\\VID_1209&PID_0001\\SN0001", ""},        // the serial, not a place
        {L"USB\\VID_1209&PID_0001&MI_00\\6&1&0&0000", "6&1&0&0000"},
        {L"WINEBUS\\VID_1209&PID_0001\\0&ABC&0", ""},  // not USB: nothing about a port
        {L"HID\\VID_1209&PID_0001\\1&2D595CA7&0&0000", ""},
        {L"USB\\VID_1209&PID_0001", ""},
        {L"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortFromParentInstance(c.instance), c.port) << Utf8FromWide(c.instance);
}

// A WM_DEVICECHANGE record as the system builds it: the name runs past the struct's end.
std::vector<std::byte> InterfaceRecord(const GUID& guid, const std::wstring& name) {
    const std::size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<std::byte> record(offset + (name.size() + 1) * sizeof(wchar_t));
    DEV_BROADCAST_DEVICEINTERFACE_W head{};
    head.dbcc_size = static_cast<DWORD>(record.size());
    head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = guid;
    std::memcpy(record.data(), &head, offset);
    std::memcpy(record.data() + offset, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return record;
}

LPARAM AsParam(std::vector<std::byte>& record) { return reinterpret_cast<LPARAM>(record.data()); }

TEST(WinHidRules, DeviceChangesOfTheHidClassBecomeEvents) {
    GUID hid;
    HidD_GetHidGuid(&hid);
    const std::wstring name = L"\\\\?\\HID#VID_1209&PID_0002#7&1&0&0000#{4d1e55b2}";
    auto record = InterfaceRecord(hid, name);

    const auto arrival = EventFromDeviceChange(DBT_DEVICEARRIVAL, AsParam(record), hid);
    ASSERT_TRUE(arrival.has_value());
    EXPECT_EQ(arrival->action, HotplugMonitor::Action::arrival);
    EXPECT_EQ(arrival->path, "\\\\?\\hid#vid_1209&pid_0002#7&1&0&0000#{4d1e55b2}");

    const auto removal = EventFromDeviceChange(DBT_DEVICEREMOVECOMPLETE, AsParam(record), hid);
    ASSERT_TRUE(removal.has_value());
    EXPECT_EQ(removal->action, HotplugMonitor::Action::removal);
    EXPECT_EQ(removal->path, arrival->path);

    // Other messages, other classes, other record kinds and cut records say nothing.
    EXPECT_FALSE(EventFromDeviceChange(DBT_DEVICEQUERYREMOVE, AsParam(record), hid));
    EXPECT_FALSE(EventFromDeviceChange(DBT_DEVNODES_CHANGED, 0, hid));
    GUID other = hid;
    other.Data1 ^= 1;
    auto otherRecord = InterfaceRecord(other, name);
    EXPECT_FALSE(EventFromDeviceChange(DBT_DEVICEARRIVAL, AsParam(otherRecord), hid));
    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    EXPECT_FALSE(EventFromDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume), hid));
    auto cut = InterfaceRecord(hid, L"");
    EXPECT_FALSE(EventFromDeviceChange(DBT_DEVICEARRIVAL, AsParam(cut), hid));
}

TEST(WinHidRules, ANameWithoutItsNulEndsWithTheRecord) {
    GUID hid;
    HidD_GetHidGuid(&hid);
    auto record = InterfaceRecord(hid, L"\\\\?\\HID#AB");
    // Drop the NUL: the size then ends the name.
    auto* head = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
    head->dbcc_size -= sizeof(wchar_t);
    const auto event = EventFromDeviceChange(DBT_DEVICEARRIVAL, AsParam(record), hid);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->path, "\\\\?\\hid#ab");
}

}  // namespace
}  // namespace vumo::platform::windows
