#pragma once
// Owners of the system's handles. A moved-from owner holds nothing; destructors never throw.

#include <windows.h>
#include <setupapi.h>

// mingw's HID headers lack the C linkage block that the system's other headers carry.
extern "C" {
// hidsdi.h brings hidpi.h (HidP_GetCaps) after the types it needs.
#include <hidsdi.h>
}

#include <utility>

namespace vumo::platform::windows {

// A kernel object handle (file, event). Both INVALID_HANDLE_VALUE and null count as none:
// CreateFileW fails with the first, CreateEventW with the second.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { close(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    // False when the system reported a failure; closing nothing succeeds.
    bool close() {
        const HANDLE h = std::exchange(handle_, nullptr);
        if (h == nullptr || h == INVALID_HANDLE_VALUE) return true;
        return ::CloseHandle(h) != 0;
    }

private:
    HANDLE handle_ = nullptr;
};

// A device information set from SetupDiGetClassDevsW or SetupDiCreateDeviceInfoList.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    ~DeviceInfoSet() {
        if (valid()) ::SetupDiDestroyDeviceInfoList(set_);
    }
    HDEVINFO get() const { return set_; }
    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }

private:
    HDEVINFO set_;
};

// The parsed report descriptor of an open device (HidD_GetPreparsedData).
class PreparsedData {
public:
    PreparsedData() = default;
    PreparsedData(const PreparsedData&) = delete;
    PreparsedData& operator=(const PreparsedData&) = delete;
    ~PreparsedData() {
        if (data_ != nullptr) ::HidD_FreePreparsedData(data_);
    }
    PHIDP_PREPARSED_DATA* out() { return &data_; }
    PHIDP_PREPARSED_DATA get() const { return data_; }

private:
    PHIDP_PREPARSED_DATA data_ = nullptr;
};

}  // namespace vumo::platform::windows
