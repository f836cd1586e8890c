#pragma once
// The emulator's way onto the real kernel: every attached device becomes a HID device made
// through /dev/uhid, so the kernel gives it a hidraw node, sysfs entries and uevents exactly as
// for a plugged-in device, and the program under test reaches it through its Linux back end.
//
// One uhid file descriptor per device (closing it unplugs the device), one reader thread per
// port that waits on all of them. What uhid hands us, and what we hand it:
//
//  - UHID_OUTPUT carries an output report exactly as the host wrote it to hidraw: hidraw passes
//    the caller's whole buffer to the transport, byte 0 included, and for our unnumbered reports
//    that byte is the report ID 0. So the sink sees byte 0 = report ID, as the port promises,
//    without anything added or removed here (133 bytes for an update-mode report).
//  - UHID_INPUT2 takes the report as the device sends it on the wire. Unnumbered reports carry
//    no ID there, so sendInputReport() drops our byte 0; hidraw readers then get 16 bytes.
//  - UHID_GET_REPORT and UHID_SET_REPORT (feature requests) are refused at once with EIO; the
//    device has no feature reports, and an unanswered request would hold the caller for the
//    kernel's five-second limit.
//
// attach() returns the hidraw node, /dev/hidrawN. The kernel adds the device on a work queue
// after UHID_CREATE2, so attach() waits (with a limit) for UHID_START and then for the node to
// show in sysfs. Each device's `phys` is unique to this port and names the description's port
// (a token where it has none, or where another attached device has it): that is how its sysfs
// folder is told apart from those of other devices with the same IDs, and how the host knows
// the device again when it comes back from a mode switch or restart.

#include "base/event_fd.h"
#include "platform/device_port.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vumo::sim {

inline constexpr const char* kUhidDevicePath = "/dev/uhid";

// A vendor-defined report descriptor with one unnumbered input and one unnumbered output report,
// sized so that a host counting the report ID byte (as Windows and our Linux back end do) sees
// the given lengths. A length of 0 or 1 leaves that kind of report out.
std::vector<std::uint8_t> BuildReportDescriptor(std::uint16_t inputLength,
                                                std::uint16_t outputLength);

// Whether this process can make uhid devices, and if not, what the user can do about it.
struct UhidAccess {
    bool ok = false;
    int error = 0;        // errno of the failed open
    std::string message;  // empty when ok
};
UhidAccess CheckUhidAccess(const std::string& devicePath = kUhidDevicePath);

struct UhidPortSettings {
    std::string devicePath = kUhidDevicePath;
    // Where the kernel puts the HID devices made through uhid (the uhid misc device's folder).
    std::string sysfsFolder = "/sys/class/misc/uhid";
    std::string devFolder = "/dev";
    // Limit for a new device's driver to start and its hidraw node to appear.
    std::chrono::milliseconds arrivalTimeout{5000};
    // Opens one uhid descriptor (returns it, or -1 with errno set). Empty: open devicePath
    // read-write. Tests put a socket pair here to play the kernel's part.
    std::function<int()> openDevice;
};

class UhidPort final : public platform::DevicePort {
public:
    explicit UhidPort(UhidPortSettings settings = {});
    // Unplugs whatever is still attached and joins the reader thread.
    ~UhidPort() override;
    UhidPort(const UhidPort&) = delete;
    UhidPort& operator=(const UhidPort&) = delete;

    std::string attach(const platform::DeviceDescription& description,
                       std::shared_ptr<platform::OutputSink> sink) override;
    void detach(const std::string& path) override;
    bool sendInputReport(const std::string& path, std::span<const std::uint8_t> report) override;

    // Why the latest attach() returned an empty path; empty after a successful one.
    std::string lastError() const;

    struct Device;

private:
    void readerLoop();
    void setError(std::string text);

    UhidPortSettings settings_;
    std::string physPrefix_;
    base::EventFd wake_;  // attach, detach and destruction wake the reader
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Device>> devices_;  // by path
    std::set<std::string> goneFolders_;  // sysfs folders of devices let go of, until they go
    std::uint64_t nextToken_ = 0;
    bool stopping_ = false;
    std::string lastError_;
    std::thread reader_;
};

}  // namespace vumo::sim
