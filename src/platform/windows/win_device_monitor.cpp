#include "platform/windows/win_device_monitor.h"
#include "platform/windows/win_handle.h"

#include "base/wake_event.h"
#include "platform/start_thread.h"
#include "platform/windows/win_hid_rules.h"

#include <windows.h>
#include <dbt.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vumo::platform::windows {
namespace {

using namespace std::chrono_literals;

// How long the monitor's thread may take to have its window registered. Under Wine a
// process's first window waits for Wine's own start, which takes seconds on a slow machine.
constexpr auto kStartLimit = 60s;

constexpr const wchar_t* kWindowClass = L"VumoDfuDeviceMonitor";

class DeviceMonitor final : public HotplugMonitor {
public:
    ~DeviceMonitor() override { stop(); }

    // Starts the thread and waits until its window is registered for notifications.
    bool start() {
        if (!ready_) return false;
        if (!StartNamedThread("device monitor", thread_, [this] { run(); })) return false;
        std::unique_lock lock(mutex_);
        started_.wait_for(lock, kStartLimit, [&] { return state_ != State::starting; });
        return state_ == State::running;
    }

    base::Waitable ready() const override { return ready_.waitable(); }

    std::vector<Event> takeEvents() override {
        std::lock_guard lock(mutex_);
        std::vector<Event> events = std::move(events_);
        events_.clear();
        // Under the lock, so an event queued meanwhile sets it again after this.
        ready_.clear();
        return events;
    }

    // On the monitor's thread, from the window procedure.
    void queue(Event event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        ready_.signal();
    }

private:
    enum class State { starting, running, failed, stopped };

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopRequested_ = true;
            // WM_CLOSE ends the thread's message loop; before the window exists the thread
            // sees stopRequested_ instead.
            if (window_ != nullptr) ::PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        if (thread_.joinable()) thread_.join();
    }

    void finishStart(State state, HWND window) {
        {
            std::lock_guard lock(mutex_);
            state_ = state;
            window_ = window;
        }
        started_.notify_all();
    }

    void run() {
        const HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                              nullptr, ::GetModuleHandleW(nullptr), this);
        if (window == nullptr) {
            finishStart(State::failed, nullptr);
            return;
        }
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        ::HidD_GetHidGuid(&filter.dbcc_classguid);
        const HDEVNOTIFY registration =
            ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        bool stopNow = registration == nullptr;
        {
            std::lock_guard lock(mutex_);
            stopNow = stopNow || stopRequested_;
        }
        if (!stopNow) {
            finishStart(State::running, window);
            MSG message;
            // 0 on WM_QUIT, -1 on failure: both end the loop.
            while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
        if (registration != nullptr) ::UnregisterDeviceNotification(registration);
        {
            std::lock_guard lock(mutex_);
            window_ = nullptr;
        }
        ::DestroyWindow(window);
        finishStart(registration == nullptr ? State::failed : State::stopped, nullptr);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == WM_DEVICECHANGE) {
            auto* self =
                reinterpret_cast<DeviceMonitor*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
            GUID hid;
            ::HidD_GetHidGuid(&hid);
            if (self != nullptr) {
                if (auto event = EventFromDeviceChange(wParam, lParam, hid))
                    self->queue(std::move(*event));
            }
            return TRUE;
        } else if (message == WM_CLOSE) {
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    friend bool RegisterWindowClass();

    std::mutex mutex_;
    std::condition_variable started_;
    State state_ = State::starting;  // guarded by mutex_
    HWND window_ = nullptr;          // guarded by mutex_; set while the message loop runs
    bool stopRequested_ = false;     // guarded by mutex_
    std::vector<Event> events_;      // guarded by mutex_
    base::WakeEvent ready_;          // set while events_ holds events
    std::thread thread_;
};

bool RegisterWindowClass() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &DeviceMonitor::WindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return ::RegisterClassExW(&windowClass) != 0 ||
               ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

}  // namespace

std::unique_ptr<HotplugMonitor> MakeDeviceMonitor() {
    if (!RegisterWindowClass()) return nullptr;
    auto monitor = std::make_unique<DeviceMonitor>();
    if (!monitor->start()) return nullptr;
    return monitor;
}

}  // namespace vumo::platform::windows
