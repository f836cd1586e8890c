#include "sim/uhid/uhid_port.h"

#include "base/unique_fd.h"
#include "platform/hidraw_text.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace vumo::sim {

using base::UniqueFd;

struct UhidPort::Device {
    UniqueFd fd;
    std::shared_ptr<platform::OutputSink> sink;
    std::string path;
    std::string folder;  // its HID device's folder in sysfs
    std::string phys;
    // Cleared by detach(): events still queued for the device are dropped, not delivered.
    std::atomic<bool> attached{true};
    // A read failed; the reader stops watching the descriptor rather than spin on it.
    std::atomic<bool> broken{false};
};

namespace {

constexpr std::uint16_t kBusUsb = 0x03;
constexpr std::uint32_t kDeviceVersion = 0x0100;

void PutItem(std::vector<std::uint8_t>& d, std::initializer_list<std::uint8_t> bytes) {
    d.insert(d.end(), bytes);
}

// One whole event per call, as uhid wants it.
bool WriteEvent(int fd, const uhid_event& event) {
    for (;;) {
        const ssize_t n = ::write(fd, &event, sizeof event);
        if (n >= 0) return static_cast<std::size_t>(n) == sizeof event;
        if (errno != EINTR) return false;
    }
}

// Reads one event; false on end of file or an error other than EINTR.
bool ReadEvent(int fd, uhid_event& event) {
    for (;;) {
        std::memset(&event, 0, sizeof event);
        const ssize_t n = ::read(fd, &event, sizeof event);
        if (n > 0) return static_cast<std::size_t>(n) >= sizeof event.type;
        if (n == 0 || errno != EINTR) return false;
    }
}

void Destroy(int fd) {
    uhid_event event{};
    event.type = UHID_DESTROY;
    WriteEvent(fd, event);
}

// Feature requests: the device has no feature reports. Answering at once keeps the caller from
// waiting out the kernel's limit.
void RefuseRequest(int fd, const uhid_event& request) {
    uhid_event reply{};
    if (request.type == UHID_GET_REPORT) {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = request.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
    } else {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = request.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
    }
    WriteEvent(fd, reply);
}

// Copies `text` into a fixed NUL-terminated field of `size` bytes, cut to fit. (The event
// structures are packed, so the fields are passed as plain byte pointers.)
void PutString(std::uint8_t* field, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
    field[n] = 0;
}

std::string ReadSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct FoundNode {
    std::string node;    // /dev/hidrawN
    std::string folder;  // the HID device's folder in sysfs
};

// The hidraw node of the HID device whose HID_PHYS is `phys`; empty while there is none. A device
// keeps its port across a re-attach, so the folder of one this port let go of may still carry
// that port for a moment where destroying is not synchronous: such folders are passed over.
FoundNode FindNode(const UhidPortSettings& settings, const std::string& phys,
                   const std::set<std::string>& goneFolders) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator it(settings.sysfsFolder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (goneFolders.count(it->path().string()) != 0) continue;
        const std::string uevent = ReadSmallFile(it->path() / "uevent");
        const auto value = platform::hidraw::ueventValue(uevent, "HID_PHYS");
        if (!value || *value != phys) continue;
        std::error_code ec2;
        for (fs::directory_iterator node(it->path() / "hidraw", ec2), nend; !ec2 && node != nend;
             node.increment(ec2)) {
            const std::string name = node->path().filename().string();
            if (platform::hidraw::hidrawNumber(name))
                return {settings.devFolder + "/" + name, it->path().string()};
        }
        return {};
    }
    return {};
}

int Remaining(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
}

}  // namespace

std::vector<std::uint8_t> BuildReportDescriptor(std::uint16_t inputLength,
                                                std::uint16_t outputLength) {
    std::vector<std::uint8_t> d;
    PutItem(d, {0x06, 0x00, 0xFF});  // Usage Page (vendor defined 0xFF00)
    PutItem(d, {0x09, 0x01});        // Usage (1)
    PutItem(d, {0xA1, 0x01});        // Collection (Application)
    PutItem(d, {0x15, 0x00});        //   Logical Minimum (0)
    PutItem(d, {0x26, 0xFF, 0x00});  //   Logical Maximum (255)
    PutItem(d, {0x75, 0x08});        //   Report Size (8 bits)
    // The lengths count the report ID byte; unnumbered reports carry only the data.
    const auto report = [&d](std::uint16_t length, std::uint8_t mainItem) {
        if (length <= 1) return;
        const auto count = static_cast<std::uint16_t>(length - 1);
        PutItem(d, {0x96, static_cast<std::uint8_t>(count & 0xFF),
                    static_cast<std::uint8_t>(count >> 8)});  // Report Count (16-bit)
        PutItem(d, {0x09, 0x01});                             // Usage (1)
        PutItem(d, {mainItem, 0x02});                         // Data, Variable, Absolute
    };
    report(inputLength, 0x81);   // Input
    report(outputLength, 0x91);  // Output
    PutItem(d, {0xC0});          // End Collection
    return d;
}

UhidAccess CheckUhidAccess(const std::string& devicePath) {
    UhidAccess access;
    UniqueFd fd(::open(devicePath.c_str(), O_RDWR | O_CLOEXEC));
    if (fd) {
        access.ok = true;
        return access;
    }
    access.error = errno;
    switch (access.error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            access.message = devicePath + " is not there: this kernel has no uhid support "
                                          "loaded (try: sudo modprobe uhid)";
            break;
        case EACCES:
        case EPERM:
            access.message = devicePath + " may not be opened by this user: run as root, or "
                                          "grant access to " + devicePath +
                             " (devices made there reach every program on the machine)";
            break;
        default:
            access.message = devicePath + ": " + std::generic_category().message(access.error);
            break;
    }
    return access;
}

UhidPort::UhidPort(UhidPortSettings settings) : settings_(std::move(settings)) {
    physPrefix_ = "vumo-uhid/" + std::to_string(::getpid()) + "/" +
                  std::to_string(reinterpret_cast<std::uintptr_t>(this) & 0xFFFFFF);
    if (wake_) reader_ = std::thread([this] { readerLoop(); });
}

UhidPort::~UhidPort() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.signal();
    if (reader_.joinable()) reader_.join();
    std::map<std::string, std::shared_ptr<Device>> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(devices_);
    }
    for (auto& [path, device] : left) {
        device->attached = false;
        Destroy(device->fd.get());
    }
}

void UhidPort::setError(std::string text) {
    std::lock_guard lock(mutex_);
    lastError_ = std::move(text);
}

std::string UhidPort::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::string UhidPort::attach(const platform::DeviceDescription& description,
                             std::shared_ptr<platform::OutputSink> sink) {
    std::string phys;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !wake_) {
            lastError_ = "the port is not running";
            return {};
        }
        // The device's port is its physical path, which the host reads as where it is plugged
        // in: kept across a mode switch or restart, so that the host knows the device that
        // comes back. A port too long for the field, or one another attached device has,
        // gets a token instead.
        phys = physPrefix_ + "/" + description.port;
        const bool taken =
            description.port.empty() || phys.size() >= sizeof(uhid_create2_req{}.phys) ||
            std::any_of(devices_.begin(), devices_.end(),
                        [&](const auto& d) { return d.second->phys == phys; });
        if (taken) phys = physPrefix_ + "/#" + std::to_string(++nextToken_);
    }

    auto device = std::make_shared<Device>();
    device->sink = std::move(sink);
    device->phys = phys;
    device->fd = UniqueFd(settings_.openDevice ? settings_.openDevice()
                                               : ::open(settings_.devicePath.c_str(),
                                                        O_RDWR | O_CLOEXEC));
    if (!device->fd) {
        const int error = errno;
        setError(settings_.openDevice
                     ? std::string("uhid: ") + std::generic_category().message(error)
                     : CheckUhidAccess(settings_.devicePath).message);
        return {};
    }
    const int fd = device->fd.get();

    uhid_event create{};
    create.type = UHID_CREATE2;
    PutString(create.u.create2.name, sizeof create.u.create2.name, description.product);
    PutString(create.u.create2.phys, sizeof create.u.create2.phys, phys);
    PutString(create.u.create2.uniq, sizeof create.u.create2.uniq, description.serial);
    const auto rd = BuildReportDescriptor(description.lengths.input, description.lengths.output);
    std::copy(rd.begin(), rd.end(), create.u.create2.rd_data);
    create.u.create2.rd_size = static_cast<std::uint16_t>(rd.size());
    create.u.create2.bus = kBusUsb;
    create.u.create2.vendor = description.vendorId;
    create.u.create2.product = description.productId;
    create.u.create2.version = kDeviceVersion;
    if (!WriteEvent(fd, create)) {
        setError(std::string("the kernel refused the new uhid device: ") +
                 std::generic_category().message(errno));
        return {};
    }

    // The kernel adds the device on a work queue; UHID_START says a driver has taken it. Only
    // feature requests can come before it, and nothing from the host: the hidraw node is made
    // after the start.
    const auto deadline = std::chrono::steady_clock::now() + settings_.arrivalTimeout;
    for (bool started = false; !started;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR) continue;
        uhid_event event;
        if (ready <= 0 || !ReadEvent(fd, event)) {
            setError("no HID driver took the uhid device within " +
                     std::to_string(settings_.arrivalTimeout.count()) +
                     " ms (is the hid-generic module loaded?)");
            Destroy(fd);
            return {};
        }
        if (event.type == UHID_START) started = true;
        else if (event.type == UHID_GET_REPORT || event.type == UHID_SET_REPORT)
            RefuseRequest(fd, event);
    }

    // The node follows the start within the same work item, but sysfs tells no one when: look
    // again after short, growing pauses, up to the same deadline.
    std::chrono::milliseconds pause{1};
    for (;;) {
        std::set<std::string> gone;
        {
            std::lock_guard lock(mutex_);
            // Folders that have really gone are forgotten: sysfs never gives a name twice.
            std::erase_if(goneFolders_, [](const std::string& f) {
                std::error_code ec;
                return !std::filesystem::exists(f, ec);
            });
            gone = goneFolders_;
        }
        const FoundNode found = FindNode(settings_, phys, gone);
        device->path = found.node;
        device->folder = found.folder;
        if (!device->path.empty()) break;
        if (std::chrono::steady_clock::now() + pause > deadline) {
            setError("the uhid device got no hidraw node within " +
                     std::to_string(settings_.arrivalTimeout.count()) +
                     " ms (is hidraw enabled in this kernel?)");
            Destroy(fd);
            return {};
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds{32});
    }

    std::string path = device->path;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            Destroy(fd);
            lastError_ = "the port is shutting down";
            return {};
        }
        // A node number is reused only after its earlier device has gone.
        if (auto old = devices_.find(path); old != devices_.end()) old->second->attached = false;
        devices_[path] = std::move(device);
        lastError_.clear();
    }
    wake_.signal();
    return path;
}

void UhidPort::detach(const std::string& path) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(mutex_);
        const auto it = devices_.find(path);
        if (it == devices_.end()) return;
        device = std::move(it->second);
        devices_.erase(it);
        if (!device->folder.empty()) goneFolders_.insert(device->folder);
    }
    device->attached = false;
    // Synchronous: when this returns the hidraw node is gone and the removal uevent sent. The
    // descriptor itself closes when the reader lets go of its copy.
    Destroy(device->fd.get());
    wake_.signal();
}

bool UhidPort::sendInputReport(const std::string& path, std::span<const std::uint8_t> report) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(mutex_);
        const auto it = devices_.find(path);
        if (it == devices_.end()) return false;
        device = it->second;
    }
    if (report.empty() || report.size() - 1 > UHID_DATA_MAX) return false;
    uhid_event event{};
    event.type = UHID_INPUT2;
    // Byte 0 is our report ID; unnumbered reports go on the wire without it.
    const auto data = report.subspan(1);
    event.u.input2.size = static_cast<std::uint16_t>(data.size());
    std::copy(data.begin(), data.end(), event.u.input2.data);
    return device->attached && WriteEvent(device->fd.get(), event);
}

void UhidPort::readerLoop() {
    std::vector<std::shared_ptr<Device>> watched;
    std::vector<pollfd> fds;
    for (;;) {
        watched.clear();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            for (const auto& [path, device] : devices_)
                if (!device->broken) watched.push_back(device);
        }
        fds.assign(1, pollfd{wake_.fd(), POLLIN, 0});
        for (const auto& device : watched) fds.push_back({device->fd.get(), POLLIN, 0});

        // No limit needed: attach, detach and destruction all wake this wait.
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents & POLLIN) wake_.clear();
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (fds[i + 1].revents == 0) continue;
            Device& device = *watched[i];
            uhid_event event;
            if (!ReadEvent(device.fd.get(), event)) {
                device.broken = true;
                continue;
            }
            switch (event.type) {
                case UHID_OUTPUT: {
                    if (!device.attached || event.u.output.rtype != UHID_OUTPUT_REPORT) break;
                    const std::size_t size =
                        std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX);
                    device.sink->onOutputReport(
                        std::span<const std::uint8_t>(event.u.output.data, size));
                    break;
                }
                case UHID_GET_REPORT:
                case UHID_SET_REPORT:
                    RefuseRequest(device.fd.get(), event);
                    break;
                default:  // START, STOP, OPEN, CLOSE: nothing to do
                    break;
            }
        }
    }
}

}  // namespace vumo::sim
