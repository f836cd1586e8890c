// The desktop's buses through sd-bus.

#include "session/desktop_bus.h"

#include "base/error_text.h"
#include "base/unique_fd.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cerrno>

namespace vumo::session {
namespace {

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    sd_bus_error* get() { return &error_; }
    // The bus's own sentence when it gave one, else the system error's.
    std::string Text(int r) const {
        if (sd_bus_error_is_set(&error_) && error_.message != nullptr) return error_.message;
        return base::ErrorText(r < 0 ? -r : r);
    }

private:
    // SD_BUS_ERROR_NULL is a C compound literal: the same all-empty value, spelled for C++.
    sd_bus_error error_{nullptr, nullptr, 0};
};

constexpr std::uint64_t kCallLimitMicroseconds =
    static_cast<std::uint64_t>(std::chrono::microseconds(kBusCallLimit).count());

// logind keeps the lock while any copy of its descriptor is open.
class LogindLock final : public InhibitLock {
public:
    explicit LogindLock(base::UniqueFd fd) : fd_(std::move(fd)) {}

private:
    base::UniqueFd fd_;
};

}  // namespace

std::unique_ptr<InhibitLock> TakeInhibitLock(const std::string& why, std::string& error) {
    sd_bus* raw = nullptr;
    if (const int r = sd_bus_open_system(&raw); r < 0) {
        error = "no system bus (" + base::ErrorText(-r) + ")";
        return {};
    }
    const BusPtr bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), kCallLimitMicroseconds);
    BusError callError;
    sd_bus_message* rawReply = nullptr;
    // Never interactive: a password prompt in the middle of a flash helps nobody; a refusal
    // is said and the flash goes on.
    const int r = sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit", callError.get(),
                                     &rawReply, "ssss", kInhibitWhat, kInhibitWho, why.c_str(),
                                     "block");
    const MessagePtr reply(rawReply);
    if (r < 0) {
        error = "logind: " + callError.Text(r);
        return {};
    }
    int fd = -1;
    if (const int rr = sd_bus_message_read(reply.get(), "h", &fd); rr < 0) {
        error = "logind's answer could not be read (" + base::ErrorText(-rr) + ")";
        return {};
    }
    // The reply owns its descriptor: the lock is a copy of our own, closed on exec so that a
    // child (the checksum tool) never keeps the machine awake after we let go.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) {
        error = "the lock could not be kept (" + base::ErrorText(errno) + ")";
        return {};
    }
    return std::make_unique<LogindLock>(base::UniqueFd(own));
}

struct DesktopNotifier::Bus {
    BusPtr bus;
};

DesktopNotifier::DesktopNotifier() = default;
DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::Notify(const std::string& summary, const std::string& body,
                             std::string* why) {
    if (!bus_) {
        sd_bus* raw = nullptr;
        if (const int r = sd_bus_open_user(&raw); r < 0) {
            if (why != nullptr) *why = "no session bus (" + base::ErrorText(-r) + ")";
            return false;
        }
        bus_ = std::make_unique<Bus>();
        bus_->bus.reset(raw);
        sd_bus_set_method_call_timeout(raw, kCallLimitMicroseconds);
    }
    sd_bus* bus = bus_->bus.get();
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.Notifications",
                                           "/org/freedesktop/Notifications",
                                           "org.freedesktop.Notifications", "Notify");
    const MessagePtr m(raw);
    if (r >= 0)
        r = sd_bus_message_append(m.get(), "susssas", "vumo-dfu", 0U, "org.vumo.dfu_utility",
                                  summary.c_str(), body.c_str(), 0);
    // One hint: the desktop entry, so that the desktop can group and badge the notices.
    if (r >= 0) r = sd_bus_message_append(m.get(), "a{sv}", 1, "desktop-entry", "s",
                                          "org.vumo.dfu_utility");
    if (r >= 0) r = sd_bus_message_append(m.get(), "i", -1);
    // No answer is awaited: without a notification server the bus drops the call, and the
    // window never waits for a desktop that may not be there.
    if (r >= 0) r = sd_bus_message_set_expect_reply(m.get(), 0);
    if (r >= 0) r = sd_bus_send(bus, m.get(), nullptr);
    if (r >= 0) r = sd_bus_flush(bus);
    if (r < 0) {
        if (why != nullptr) *why = "the notice was not sent (" + base::ErrorText(-r) + ")";
        // A broken connection is opened afresh next time.
        bus_.reset();
        return false;
    }
    return true;
}

}  // namespace vumo::session
