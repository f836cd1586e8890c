#include "hid/hid_device.h"

#include "platform/start_thread.h"
#include "text/utf8.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace vumo::hid {

std::string TruncateUtf16Units(const std::string& utf8, std::size_t units) {
    return text::TruncateUtf16Units(utf8, units);
}

bool IsSameDevice(const DeviceIdentity& id, const DeviceListEntry& entry) {
    if (!id.known()) return false;
    if (!id.serial.empty() && entry.serial != id.serial) return false;
    if (!id.port.empty() && !entry.port.empty()) return entry.port == id.port;
    // Without ports on both sides only the serial number speaks.
    return !id.serial.empty();
}

HidDevice::HidDevice(platform::HidBus& bus, std::uint16_t vendorId, std::uint16_t productId)
    : bus_(bus), vendorId_(vendorId), productId_(productId) {}

HidDevice::~HidDevice() {
    // Subclasses stop the listener first; this is the last line of defence.
    StopListener();
}

void HidDevice::StartListener() {
    std::lock_guard lock(mutex_);
    if (listener_.joinable()) return;
    listenerRunning_ = true;
    std::string error;
    if (!platform::StartNamedThread("listener", listener_, [this] { ListenerLoop(); }, &error)) {
        listenerRunning_ = false;
        startError_ = "the thread that reads the device's replies could not be started: " + error;
    }
}

bool HidDevice::listenerStarted() const {
    std::lock_guard lock(mutex_);
    return listener_.joinable();
}

std::string HidDevice::startError() const {
    std::lock_guard lock(mutex_);
    return startError_;
}

void HidDevice::StopListener() {
    {
        std::lock_guard lock(mutex_);
        if (!listener_.joinable()) return;
        listenerRunning_ = false;
        if (reader_) reader_->cancel();
    }
    listenerWake_.notify_all();
    listener_.join();
    // A cancelled reader stays cancelled; give the next Open a fresh one.
}

HidDevice::Walk HidDevice::WalkBus() const {
    // The walk happens without the lock: the bus's own I/O needs no guarding, and the listener
    // is not kept from its next cycle while udev answers.
    Walk walk;
    for (const auto& info : bus_.enumerate()) {
        if (info.vendorId != vendorId_ || info.productId != productId_) continue;
        const auto probe = bus_.probe(info.path);
        if (probe.status != platform::OpenStatus::ok) {
            walk.skipped.push_back({info.path, probe.status});
            continue;
        }
        walk.matched = true;
        walk.lastLengths = probe.lengths;
        walk.entries.push_back({info.path, TruncateUtf16Units(info.product, kMaxStringUnits),
                                TruncateUtf16Units(info.serial, kMaxStringUnits),
                                TruncateUtf16Units(info.manufacturer, kMaxStringUnits),
                                probe.lengths, info.port, info.instance});
    }
    return walk;
}

std::vector<DeviceListEntry> HidDevice::Scan() const { return WalkBus().entries; }

std::vector<DeviceListEntry> HidDevice::Scan(std::vector<SkippedDevice>& skipped) const {
    Walk walk = WalkBus();
    skipped = std::move(walk.skipped);
    return std::move(walk.entries);
}

int HidDevice::EnumerateDevices() {
    Walk walk = WalkBus();
    const int count = std::min<int>(static_cast<int>(walk.entries.size()), kMaxListedDevices);
    std::lock_guard lock(mutex_);
    // Entries past the count keep what they held; nobody reads them.
    std::copy_n(walk.entries.begin(), count, list_.begin());
    deviceCount_ = count;
    overflow_ = static_cast<int>(walk.entries.size()) - count;
    skipped_ = std::move(walk.skipped);
    if (walk.matched) caps_ = walk.lastLengths;
    return count;
}

std::uint8_t HidDevice::Open(int index) {
    std::lock_guard writeLock(writeMutex_);
    std::unique_lock lock(mutex_);
    if (index < 0 || index >= deviceCount_) return kOpenBadIndex;
    if (isOpen()) return kOpenAlreadyOpen;
    const DeviceListEntry entry = list_[static_cast<std::size_t>(index)];
    return OpenEntryLocked(entry);
}

std::uint8_t HidDevice::OpenIdentity(const std::string& path, const std::string& serial,
                                     const std::string& port) {
    std::lock_guard writeLock(writeMutex_);
    if (isOpen()) return kOpenAlreadyOpen;
    // Asks the bus itself, not the list: the list may be rewritten by another thread at any
    // time, and an index into it may name another device by then.
    const auto describe = [&]() -> std::optional<DeviceListEntry> {
        for (const auto& info : bus_.enumerate()) {
            if (info.path != path) continue;
            if (info.vendorId != vendorId_ || info.productId != productId_) return std::nullopt;
            return DeviceListEntry{info.path, TruncateUtf16Units(info.product, kMaxStringUnits),
                                   TruncateUtf16Units(info.serial, kMaxStringUnits),
                                   TruncateUtf16Units(info.manufacturer, kMaxStringUnits),
                                   {}, info.port, info.instance};
        }
        return std::nullopt;
    };
    // Each look compares with what the caller chose, never with what an earlier look saw: the
    // node may have been given to a twin (same serial, another port) before the first look.
    const std::string wantSerial = TruncateUtf16Units(serial, kMaxStringUnits);
    const auto chosen = [&](const DeviceListEntry& e) {
        return e.serial == wantSerial && (port.empty() || e.port == port);
    };
    auto entry = describe();
    if (!entry) {
        std::lock_guard lock(mutex_);
        lastOpenStatus_ = platform::OpenStatus::gone;
        return kOpenBadIndex;
    }
    if (!chosen(*entry)) return kOpenWrongDevice;
    const auto probe = bus_.probe(path);
    if (probe.status != platform::OpenStatus::ok) {
        std::lock_guard lock(mutex_);
        lastOpenStatus_ = probe.status;
        return kOpenFailed;
    }
    entry->lengths = probe.lengths;
    {
        std::lock_guard lock(mutex_);
        const std::uint8_t opened = OpenEntryLocked(*entry);
        if (opened != kOpenOk) return opened;
    }
    // The open handle keeps the node from being handed to another device from now on; make
    // sure it had not been already.
    const auto now = describe();
    if (now && chosen(*now) && now->port == entry->port) return kOpenOk;
    CloseLocked();
    return kOpenWrongDevice;
}

std::uint8_t HidDevice::OpenEntryLocked(const DeviceListEntry& entry) {
    if (!listener_.joinable()) {
        // Without a listener no reply would ever arrive.
        lastOpenStatus_ = platform::OpenStatus::failed;
        return kOpenFailed;
    }
    auto writer = bus_.openWriter(entry.path);
    if (writer.status != platform::OpenStatus::ok) {
        writer_.reset();
        writeSlot_ = Slot::invalid;
        lastOpenStatus_ = writer.status;
        return kOpenFailed;
    }
    auto reader = bus_.openReader(entry.path);
    if (reader.status != platform::OpenStatus::ok) {
        // Without a reader no reply would ever arrive and every update would time out in
        // silence; refuse the open instead and let go of the write side.
        writer.handle->close();
        writeSlot_ = Slot::invalid;
        readSlot_ = Slot::invalid;
        lastOpenStatus_ = reader.status;
        return kOpenFailed;
    }
    writer_ = std::move(writer.handle);
    reader_ = std::move(reader.handle);
    writeSlot_ = Slot::valid;
    readSlot_ = Slot::valid;
    eventSlot_ = Slot::valid;
    openLengths_ = entry.lengths;
    openPath_ = entry.path;
    openSerial_ = entry.serial;
    openPort_ = entry.port;
    lastOpenStatus_ = platform::OpenStatus::ok;
    // Last, so that the listener never starts a read on a half-made connection.
    isOpen_.store(true, std::memory_order_release);
    listenerWake_.notify_all();
    return kOpenOk;
}

std::uint8_t HidDevice::Close() {
    std::lock_guard writeLock(writeMutex_);
    return CloseLocked();
}

std::uint8_t HidDevice::CloseLocked() {
    std::unique_lock lock(mutex_);
    isOpen_.store(false, std::memory_order_release);
    if (reader_) reader_->cancel();
    // The listener may be inside a read on reader_: wait until it has left it.
    listenerWake_.wait(lock, [this] { return !reading_; });

    std::uint8_t bits = 0;
    const auto release = [&bits](Slot& slot, auto& handle, std::uint8_t failed,
                                 std::uint8_t invalid) {
        if (slot == Slot::invalid) {
            bits |= invalid;
        } else if (slot == Slot::cleared || !handle || !handle->close()) {
            // Closing a handle that is already cleared fails, as a second Close shows.
            bits |= failed;
        }
        handle.reset();
        slot = Slot::cleared;
    };
    if (eventSlot_ == Slot::invalid) bits |= kCloseEventInvalid;
    else if (eventSlot_ == Slot::cleared) bits |= kCloseEventFailed;
    eventSlot_ = Slot::cleared;
    release(writeSlot_, writer_, kCloseWriteFailed, kCloseWriteInvalid);
    release(readSlot_, reader_, kCloseReadFailed, kCloseReadInvalid);
    openPath_.clear();
    openSerial_.clear();
    openPort_.clear();
    openLengths_ = {};
    listenerWake_.notify_all();
    return bits;
}

std::uint8_t HidDevice::WriteReport(const std::uint8_t* data, std::uint32_t length) {
    std::lock_guard writeLock(writeMutex_);
    if (!isOpen()) return kWriteNotOpen;
    const std::size_t reportLength = openLengths_.output;
    if (length < reportLength) return kWriteTooShort;
    // A device whose output report is longer than any we send can't be written from here.
    if (reportLength > sendBuffer_.size()) return kWriteCountMismatch;
    std::memcpy(sendBuffer_.data(), data, std::min<std::size_t>(length, sendBuffer_.size()));
    platform::WriteResult result;
    if (writeSlot_ == Slot::valid && writer_)
        result = writer_->write(std::span(sendBuffer_.data(), reportLength));
    if (result.written != length) return kWriteCountMismatch;
    if (!result.ok) return kWriteFailed;
    return kWriteOk;
}

void HidDevice::ListenerLoop() {
    std::unique_lock lock(mutex_);
    while (listenerRunning_) {
        if (!isOpen() || !reader_) {
            // Idle: sleep until opened or stopped, not in 10 ms steps.
            listenerWake_.wait(lock, [this] { return !listenerRunning_ || (isOpen() && reader_); });
            continue;
        }
        platform::HidReader* reader = reader_.get();
        reading_ = true;
        lock.unlock();

        receiveBuffer_.fill(0);
        const auto result = reader->read(receiveBuffer_, kReadCycle);
        if (result.status == platform::ReadStatus::report) OnInputReport(receiveBuffer_);

        lock.lock();
        reading_ = false;
        listenerWake_.notify_all();
        if (result.status == platform::ReadStatus::gone ||
            result.status == platform::ReadStatus::failed) {
            // A vanished device answers every read at once; rest until the owner closes the
            // object instead of spinning, as a silent device would make us.
            listenerWake_.wait_for(lock, kReadCycle, [&] {
                return !listenerRunning_ || !isOpen() || reader_.get() != reader;
            });
        }
    }
}

bool HidDevice::OpenDeviceListed() const {
    std::string path, serial, port;
    {
        std::lock_guard lock(mutex_);
        if (!isOpen()) return false;
        path = openPath_;
        serial = openSerial_;
        port = openPort_;
    }
    for (const auto& info : bus_.enumerate()) {
        if (info.path != path) continue;
        return info.vendorId == vendorId_ && info.productId == productId_ &&
               TruncateUtf16Units(info.serial, kMaxStringUnits) == serial && info.port == port;
    }
    return false;
}

int HidDevice::deviceCount() const {
    std::lock_guard lock(mutex_);
    return deviceCount_;
}

DeviceListEntry HidDevice::entry(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= deviceCount_) return {};
    return list_[static_cast<std::size_t>(index)];
}

std::vector<DeviceListEntry> HidDevice::list() const {
    std::lock_guard lock(mutex_);
    return {list_.begin(), list_.begin() + deviceCount_};
}

std::vector<SkippedDevice> HidDevice::skipped() const {
    std::lock_guard lock(mutex_);
    return skipped_;
}

int HidDevice::overflowCount() const {
    std::lock_guard lock(mutex_);
    return overflow_;
}

platform::OpenStatus HidDevice::lastOpenStatus() const {
    std::lock_guard lock(mutex_);
    return lastOpenStatus_;
}

platform::ReportLengths HidDevice::caps() const {
    std::lock_guard lock(mutex_);
    return caps_;
}

std::string HidDevice::openPath() const {
    std::lock_guard lock(mutex_);
    return openPath_;
}

std::string HidDevice::openSerial() const {
    std::lock_guard lock(mutex_);
    return openSerial_;
}

std::string HidDevice::openPort() const {
    std::lock_guard lock(mutex_);
    return openPort_;
}

}  // namespace vumo::hid
