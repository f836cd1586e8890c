#include "platform/linux/linux_hid_bus.h"

#include "platform/linux/hidraw_io.h"
#include "platform/linux/node_info.h"
#include "platform/linux/udev_handles.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::platform {
namespace {

using hidraw::UdevDevicePtr;
using hidraw::UdevEnumeratePtr;
using hidraw::UdevMonitorPtr;
using hidraw::UdevPtr;

// Present while a udev daemon runs; without one, nobody re-broadcasts processed events.
constexpr const char* kUdevControlSocket = "/run/udev/control";

// At most this many events are taken per call, so a flood can't hold the caller; the fd stays
// readable while more wait.
constexpr std::size_t kMaxEventsPerTake = 256;

std::optional<std::string> sysattr(udev_device* device, const char* name) {
    const char* value = udev_device_get_sysattr_value(device, name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// The hid device's uevent text: the sysfs file when it can be read, otherwise the same
// KEY=VALUE lines rebuilt from the properties udev holds.
std::string hidUevent(udev_device* hid) {
    if (auto text = sysattr(hid, "uevent")) return std::move(*text);
    std::string text;
    for (udev_list_entry* entry = udev_device_get_properties_list_entry(hid); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        const char* name = udev_list_entry_get_name(entry);
        const char* value = udev_list_entry_get_value(entry);
        if (name == nullptr) continue;
        text.append(name).append("=").append(value == nullptr ? "" : value).append("\n");
    }
    return text;
}

std::string devnodeOf(udev_device* device) {
    if (const char* node = udev_device_get_devnode(device)) return node;
    // Without udev's database the node name still follows the kernel's naming.
    const char* name = udev_device_get_sysname(device);
    return name == nullptr ? std::string{} : std::string("/dev/") + name;
}

std::optional<HidInterfaceInfo> describeHidraw(udev* context, const char* syspath) {
    const UdevDevicePtr node(udev_device_new_from_syspath(context, syspath));
    if (!node) return std::nullopt;
    // Parents belong to the child and are released with it.
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(node.get(), "hid", nullptr);
    if (hid == nullptr) return std::nullopt;

    hidraw::NodeFacts facts;
    facts.devnode = devnodeOf(node.get());
    facts.hidUevent = hidUevent(hid);
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(node.get(), "usb", "usb_device")) {
        facts.hasUsbDevice = true;
        facts.usbManufacturer = sysattr(usb, "manufacturer");
        facts.usbProduct = sysattr(usb, "product");
        facts.usbSerial = sysattr(usb, "serial");
        if (const char* name = udev_device_get_sysname(usb)) facts.usbPort = name;
    }
    auto info = hidraw::describeNode(facts);
    // The sysfs path names the hid device's appearance ("0003:VVVV:PPPP.NNNN" counts up with
    // every connection), where the /dev node's number is reused.
    if (info) info->instance = syspath;
    return info;
}

class UdevHotplugMonitor final : public HotplugMonitor {
public:
    UdevHotplugMonitor(UdevPtr context, UdevMonitorPtr monitor, int fd)
        : context_(std::move(context)), monitor_(std::move(monitor)), fd_(fd) {}

    base::Waitable ready() const override { return base::Waitable::FromNative(fd_); }

    std::vector<Event> takeEvents() override {
        std::vector<Event> events;
        for (std::size_t taken = 0; taken < kMaxEventsPerTake; ++taken) {
            const UdevDevicePtr device(udev_monitor_receive_device(monitor_.get()));
            if (!device) break;
            const char* action = udev_device_get_action(device.get());
            if (action == nullptr) continue;
            const std::string_view what(action);
            const char* syspath = udev_device_get_syspath(device.get());
            std::string instance = syspath == nullptr ? std::string{} : std::string(syspath);
            if (what == "add")
                events.push_back({Action::arrival, devnodeOf(device.get()), std::move(instance)});
            else if (what == "remove")
                events.push_back({Action::removal, devnodeOf(device.get()), std::move(instance)});
        }
        return events;
    }

private:
    UdevPtr context_;
    UdevMonitorPtr monitor_;
    int fd_;  // owned by monitor_
};

class LinuxHidBus final : public HidBus {
public:
    std::vector<HidInterfaceInfo> enumerate() override {
        std::vector<HidInterfaceInfo> found;
        const UdevPtr context(udev_new());
        if (!context) return found;
        const UdevEnumeratePtr walk(udev_enumerate_new(context.get()));
        if (!walk) return found;
        if (udev_enumerate_add_match_subsystem(walk.get(), "hidraw") < 0) return found;
        if (udev_enumerate_scan_devices(walk.get()) < 0) return found;
        for (udev_list_entry* entry = udev_enumerate_get_list_entry(walk.get()); entry != nullptr;
             entry = udev_list_entry_get_next(entry)) {
            const char* syspath = udev_list_entry_get_name(entry);
            if (syspath == nullptr) continue;
            if (auto info = describeHidraw(context.get(), syspath)) found.push_back(std::move(*info));
        }
        // udev lists in sysfs order, which puts hidraw10 before hidraw2.
        hidraw::sortByNodeNumber(found);
        return found;
    }

    ProbeResult probe(const std::string& path) override { return hidraw::probeNode(path); }

    Opened<HidWriter> openWriter(const std::string& path) override {
        return hidraw::openWriterNode(path);
    }

    Opened<HidReader> openReader(const std::string& path) override {
        return hidraw::openReaderNode(path);
    }

    std::unique_ptr<HotplugMonitor> monitor() override {
        UdevPtr context(udev_new());
        if (!context) return nullptr;
        // Events processed by udev come after its rules have set the node's permissions, so a
        // device can be opened as soon as its arrival is seen. Without a daemon only the
        // kernel's own events exist.
        const char* source = ::access(kUdevControlSocket, F_OK) == 0 ? "udev" : "kernel";
        UdevMonitorPtr monitor(udev_monitor_new_from_netlink(context.get(), source));
        if (!monitor) return nullptr;
        if (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0)
            return nullptr;
        if (udev_monitor_enable_receiving(monitor.get()) < 0) return nullptr;
        const int fd = udev_monitor_get_fd(monitor.get());
        if (fd < 0) return nullptr;
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return nullptr;
        return std::make_unique<UdevHotplugMonitor>(std::move(context), std::move(monitor), fd);
    }
};

}  // namespace

std::unique_ptr<HidBus> makeLinuxHidBus() { return std::make_unique<LinuxHidBus>(); }

}  // namespace vumo::platform
