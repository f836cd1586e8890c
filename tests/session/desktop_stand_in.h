#pragma once
// A desktop of the test's own: a private dbus-daemon started from a configuration file written
// by the test, and on it stand-ins for logind (Inhibit, ListInhibitors) and for a notification
// server (Notify), which record every call and see when an inhibitor's descriptor is closed.
// The program under test finds them through DBUS_SYSTEM_BUS_ADDRESS and
// DBUS_SESSION_BUS_ADDRESS, as it would find the real ones.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vumo::session::test {

// Why the test can't have its own bus (dbus-daemon is not installed), or nothing.
std::optional<std::string> MissingDbusDaemon();

// A dbus-daemon on a socket in a folder of its own, ended with the object.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    // Empty when the daemon did not start (error() says why).
    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

private:
    std::string dir_;
    std::string address_;
    std::string error_;
    int pid_ = -1;
};

struct StandInOptions {
    bool logind = true;          // own org.freedesktop.login1
    bool refuseInhibit = false;  // answer Inhibit with an access-denied error
    bool notifications = true;   // own org.freedesktop.Notifications
};

class DesktopStandIn {
public:
    struct Inhibition {
        std::string what, who, why, mode;
        bool released = false;
    };
    struct Notification {
        std::string app, summary, body;
    };

    DesktopStandIn(const std::string& address, StandInOptions options = {});
    ~DesktopStandIn();
    DesktopStandIn(const DesktopStandIn&) = delete;
    DesktopStandIn& operator=(const DesktopStandIn&) = delete;

    bool ready() const { return ready_; }
    std::vector<Inhibition> inhibitions() const;
    int inhibitCalls() const;
    std::vector<Notification> notifications() const;
    // Locks whose descriptor is still open.
    std::vector<Inhibition> held() const;
    // Waits (at most `limit`) until `done` holds; it is asked with the records' lock held, so
    // it reads the records through the arguments only.
    bool WaitFor(const std::function<bool(const std::vector<Inhibition>&,
                                          const std::vector<Notification>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    struct Impl;
    void Loop();

    std::unique_ptr<Impl> impl_;
    bool ready_ = false;
    std::thread thread_;
};

// Points the program's bus lookups at `bus` for as long as it lives; `system` or `session`
// false points that one at a socket that is not there.
class BusEnvironment {
public:
    BusEnvironment(const std::string& address, bool system = true, bool session = true);
    ~BusEnvironment();
    BusEnvironment(const BusEnvironment&) = delete;
    BusEnvironment& operator=(const BusEnvironment&) = delete;

private:
    std::optional<std::string> oldSystem_, oldSession_;
};

}  // namespace vumo::session::test

// Skips the test where the machine has no dbus-daemon, except in CI, which installs it.
#define VUMO_NEED_DBUS_DAEMON()                                                      \
    do {                                                                             \
        if (const auto missing = ::vumo::session::test::MissingDbusDaemon()) {       \
            const char* ci = std::getenv("CI");                                      \
            if (ci != nullptr && std::string(ci) == "true")                          \
                FAIL() << *missing << " (CI must install it: scripts/install-deps.sh)"; \
            GTEST_SKIP() << *missing;                                                \
        }                                                                            \
    } while (false)
