#pragma once
// One connection to a HID device of our vendor and a given product ID: the list of matching
// devices from the latest enumeration, the open connection, and the listener thread that reads
// input reports for the object's whole life.
//
// Threads: the owner (window or command line) and the update worker call EnumerateDevices,
// Open, Close and WriteReport; the listener thread reads. A mutex keeps an enumeration from
// rewriting the list under an Open; Close wakes the listener out of its read and waits until it
// has left it before any handle is released, so a handle is never used after it is closed.

#include "platform/hid_bus.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vumo::hid {

inline constexpr int kMaxListedDevices = 10;
// Longest strings kept from a device, in UTF-16 units, as the platform's 125-byte buffer holds.
inline constexpr std::size_t kMaxStringUnits = 62;
// A read cycle waits at most this long for an input report.
inline constexpr std::chrono::milliseconds kReadCycle{500};

// Open results.
inline constexpr std::uint8_t kOpenOk = 0;
inline constexpr std::uint8_t kOpenBadIndex = 1;     // not in the list (also: list empty)
inline constexpr std::uint8_t kOpenAlreadyOpen = 16;
inline constexpr std::uint8_t kOpenFailed = 17;      // gone, held by another writer, no access
// OpenIdentity only: the path is present but names another device than the one asked for.
inline constexpr std::uint8_t kOpenWrongDevice = 18;

// Close result bits, or-ed.
inline constexpr std::uint8_t kCloseEventFailed = 0x01;
inline constexpr std::uint8_t kCloseWriteFailed = 0x02;
inline constexpr std::uint8_t kCloseReadFailed = 0x04;
inline constexpr std::uint8_t kCloseEventInvalid = 0x10;
inline constexpr std::uint8_t kCloseWriteInvalid = 0x20;
inline constexpr std::uint8_t kCloseReadInvalid = 0x40;

// WriteReport results.
inline constexpr std::uint8_t kWriteOk = 0;
inline constexpr std::uint8_t kWriteNotOpen = 16;
inline constexpr std::uint8_t kWriteTooShort = 32;  // shorter than the device's output report
inline constexpr std::uint8_t kWriteCountMismatch = 64;
inline constexpr std::uint8_t kWriteFailed = 128;

struct DeviceListEntry {
    std::string path;
    std::string product;
    std::string serial;
    std::string manufacturer;
    platform::ReportLengths lengths;
    std::string port;  // where it is plugged in; empty when the platform does not say
    std::string instance;  // this appearance of the node (platform::HidInterfaceInfo::instance)
};

// What tells one device from another while it leaves the bus and comes back under a new node
// (mode switch, restart): its serial number and the port it is plugged into.
struct DeviceIdentity {
    std::string serial;
    std::string port;
    bool known() const { return !serial.empty() || !port.empty(); }
};

// Whether `entry` is the device known as `id`: the same serial number when the device has one,
// and the same port whenever both sides know it. A device with neither can't be recognised.
bool IsSameDevice(const DeviceIdentity& id, const DeviceListEntry& entry);

// A matching interface that the latest enumeration could not open, and why.
struct SkippedDevice {
    std::string path;
    platform::OpenStatus why;
};

// Cuts a UTF-8 string to at most `units` UTF-16 code units, never inside a character.
std::string TruncateUtf16Units(const std::string& utf8, std::size_t units);

class HidDevice {
public:
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;
    virtual ~HidDevice();

    // Rebuilds the list from the interfaces present; returns how many match (at most 10).
    int EnumerateDevices();
    // A fresh walk of the bus: every matching device that can be opened, in bus order, without
    // touching the list that EnumerateDevices keeps for the front end.
    std::vector<DeviceListEntry> Scan() const;
    // The same walk, with the matching devices that could not be opened and why.
    std::vector<DeviceListEntry> Scan(std::vector<SkippedDevice>& skipped) const;
    std::uint8_t Open(int index);
    // Opens the device at `path` only if it is ours and carries `serial` and, when `port` is
    // given, sits on that port (twins share a serial number), in one step that no enumeration
    // on another thread can come between. After the open the bus is asked again whether the
    // path still names that device (a node number freed by a departure can be given to the
    // next device that arrives); if not, the object is closed again and kOpenWrongDevice
    // returned. Results as Open, plus kOpenBadIndex when the path is absent.
    std::uint8_t OpenIdentity(const std::string& path, const std::string& serial,
                              const std::string& port);
    std::uint8_t Close();
    // Writes one output report of exactly the device's output report length.
    std::uint8_t WriteReport(const std::uint8_t* data, std::uint32_t length);

    bool isOpen() const { return isOpen_.load(std::memory_order_acquire); }
    int deviceCount() const;
    DeviceListEntry entry(int index) const;  // empty entry outside the list
    // The whole list of the latest enumeration, taken under one lock, so that it never mixes
    // two enumerations.
    std::vector<DeviceListEntry> list() const;
    std::vector<SkippedDevice> skipped() const;
    // Matching interfaces left out because the list was full.
    int overflowCount() const;
    // Why the latest Open returned kOpenFailed.
    platform::OpenStatus lastOpenStatus() const;
    // Report lengths of the last device matched by the latest enumeration.
    platform::ReportLengths caps() const;
    // Whether the bus still lists the open device on its node, with the serial number and port
    // it was opened with. A removal of that node handed on late may be of the device that had
    // the node number before it.
    bool OpenDeviceListed() const;
    // Path and serial of the open device; empty while closed.
    std::string openPath() const;
    std::string openSerial() const;
    std::string openPort() const;
    std::uint16_t productId() const { return productId_; }

    // False when the listener thread could not be started; the object then refuses to open,
    // since no reply would ever reach it. startError() says why.
    bool listenerStarted() const;
    std::string startError() const;

protected:
    HidDevice(platform::HidBus& bus, std::uint16_t vendorId, std::uint16_t productId);
    // The subclass starts the listener once it is fully built, and stops it in its destructor
    // before its own members go, so the listener never sees a half-built or half-gone object.
    void StartListener();
    void StopListener();
    // Called on the listener thread with each input report received (17 bytes, report ID in
    // byte 0, zero after the report's end).
    virtual void OnInputReport(std::span<const std::uint8_t> report) = 0;

private:
    enum class Slot { cleared, invalid, valid };

    void ListenerLoop();
    struct Walk {
        std::vector<DeviceListEntry> entries;  // every match that a probe could open
        std::vector<SkippedDevice> skipped;
        platform::ReportLengths lastLengths;
        bool matched = false;
    };
    Walk WalkBus() const;
    // Opens `entry` with both locks held.
    std::uint8_t OpenEntryLocked(const DeviceListEntry& entry);
    // Close with writeMutex_ held.
    std::uint8_t CloseLocked();

    platform::HidBus& bus_;
    const std::uint16_t vendorId_;
    const std::uint16_t productId_;

    // Guards everything below except the atomics; lock order: writeMutex_, then mutex_.
    mutable std::mutex writeMutex_;
    mutable std::mutex mutex_;
    std::condition_variable listenerWake_;

    std::array<DeviceListEntry, kMaxListedDevices> list_;
    int deviceCount_ = 0;
    int overflow_ = 0;
    std::vector<SkippedDevice> skipped_;
    platform::ReportLengths caps_;
    platform::OpenStatus lastOpenStatus_ = platform::OpenStatus::ok;

    std::unique_ptr<platform::HidWriter> writer_;
    std::unique_ptr<platform::HidReader> reader_;
    Slot writeSlot_ = Slot::cleared;
    Slot readSlot_ = Slot::cleared;
    Slot eventSlot_ = Slot::cleared;
    platform::ReportLengths openLengths_;  // of the device that is open
    std::string openPath_;
    std::string openSerial_;
    std::string openPort_;
    std::string startError_;
    std::array<std::uint8_t, 143> sendBuffer_{};  // room for the longest report and then some

    std::atomic<bool> isOpen_{false};
    bool listenerRunning_ = false;
    bool reading_ = false;  // the listener is inside a read on reader_
    std::array<std::uint8_t, 17> receiveBuffer_{};
    std::thread listener_;
};

}  // namespace vumo::hid
