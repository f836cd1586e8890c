#pragma once
// Pure rules of the Windows back end: what the system's answers mean for the bus. No system
// calls here, so table tests can feed them the strings and codes Windows and Wine give.

#include "platform/hid_bus.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vumo::platform::windows {

// UTF-16 from the system (device strings, interface paths) as UTF-8, ending at the first NUL;
// a lone surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);
// UTF-8 as UTF-16 for the system's W functions; an invalid sequence becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);

// The one spelling of a device interface path that the bus hands out. Windows compares these
// names without regard to case, and Wine's notifications spell them in another case than its
// SetupDi enumeration does, so every path leaves the bus with its ASCII letters in lower case:
// an arrival or removal then names the same path as the list.
std::string CanonicalInterfacePath(std::string_view path);

// The name of the object a writer holds for `path` so that no second writer and no probe can
// open it, in this program or another of this session: Wine gives device handles no share
// modes, so share mode 0 alone excludes nobody there. One name per device whatever the case of
// the path; object names may not hold '\\', so those become '/'.
std::wstring WriterLockName(std::string_view path);

// The open result for a Win32 error from CreateFileW or a HidD_ query on the new handle.
// ERROR_SHARING_VIOLATION is another program's writer (or our own probe's) holding the device.
// ERROR_ACCESS_DENIED is the system keeping the device to itself (keyboards, mice) or a
// policy: this user may not open it so.
OpenStatus OpenStatusFromError(std::uint32_t error);

// Whether a Win32 error from I/O on an open handle means the device has left: a surprise
// removal completes pending I/O with "not connected" or, in Wine, with a pending delete
// (ERROR_ACCESS_DENIED).
bool ErrorMeansGone(std::uint32_t error);

// The port of a device from the first of its location paths (SPDRP_LOCATION_PATHS, e.g.
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)#USBMI(0)"): the path up to the USB device,
// without the interface or HID collection parts below it, so both modes of a device, which
// differ in those, give one port. A path without a USB part is kept whole; empty stays empty.
std::string PortFromLocationPath(std::wstring_view locationPath);

// The port of a device from its parent's instance ID, when its location paths are unknown.
// For a USB device without a serial number Windows makes the instance part from the hub and
// port ("USB\VID_1209&PID_0001\5&2A3B4C&0&2" gives "5&2A3B4C&0&2"), the same in both modes. A
// USB device with a serial uses the serial there, and other buses' IDs say nothing about the
// port: those give empty, and the serial alone identifies the device.
std::string PortFromParentInstance(std::wstring_view instanceId);

// The event for one WM_DEVICECHANGE: DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE about a
// device interface of class `hidClass`, its path in the bus's one spelling. Empty for every
// other message, another class, or a record too short to hold a name.
std::optional<HotplugMonitor::Event> EventFromDeviceChange(WPARAM what, LPARAM record,
                                                           const GUID& hidClass);

}  // namespace vumo::platform::windows
