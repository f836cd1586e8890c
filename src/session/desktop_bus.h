#pragma once
// The two calls this program makes on the desktop. Linux: logind on the system bus and the
// notification server on the session bus, found as every D-Bus client finds them
// (DBUS_SYSTEM_BUS_ADDRESS, DBUS_SESSION_BUS_ADDRESS, else the usual sockets). Windows: a power
// request, and no notifications (the dialog is on screen while it flashes).

#include <chrono>
#include <memory>
#include <string>

namespace vumo::session {

// What is held off while a lock is held: sleep, shutdown, the idle action, and the lid
// switch and the power and suspend keys, which would otherwise suspend or power off.
inline constexpr const char* kInhibitWhat =
    "sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key";
inline constexpr const char* kInhibitWho = "vumo-dfu";

// How long a call on a bus may take before it is given up: a logind or a notification server
// that does not answer must not hold up a flash.
inline constexpr std::chrono::milliseconds kBusCallLimit{5000};

// Keeps the machine awake for as long as it lives: a logind inhibitor lock in "block" mode (its
// descriptor), a Windows power request.
class InhibitLock {
public:
    virtual ~InhibitLock() = default;
};

// Null with `error` set when there is nobody to ask or the answer is no.
std::unique_ptr<InhibitLock> TakeInhibitLock(const std::string& why, std::string& error);

// One connection to the session bus, kept for the notifications of one window.
class DesktopNotifier {
public:
    DesktopNotifier();
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // Sends org.freedesktop.Notifications.Notify without waiting for an answer: a desktop
    // without a notification server is not an error. False only when there is no session bus
    // to send it on (`why` says so, for a debug line).
    bool Notify(const std::string& summary, const std::string& body, std::string* why = nullptr);

private:
    struct Bus;
    std::unique_ptr<Bus> bus_;
};

}  // namespace vumo::session
