#include "session/desktop_stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>


namespace vumo::session::test {

using namespace std::chrono_literals;

namespace {

std::optional<std::string> FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    dirs += ":/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

// Any session bus will do for the stand-ins: every name may be owned and every call sent.
constexpr const char* kConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

std::optional<std::string> MissingDbusDaemon() {
    if (FindProgram("dbus-daemon")) return std::nullopt;
    return "dbus-daemon is not installed (Debian package dbus-daemon): the test needs a bus of "
           "its own";
}

PrivateBus::PrivateBus() {
    const auto daemon = FindProgram("dbus-daemon");
    if (!daemon) {
        error_ = *MissingDbusDaemon();
        return;
    }
    char pattern[] = "/tmp/vumo-bus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error_ = std::string("no folder for the bus: ") + std::strerror(errno);
        return;
    }
    dir_ = pattern;
    std::string config = kConfig;
    config.replace(config.find("@SOCKET@"), 8, dir_ + "/bus");
    std::ofstream(dir_ + "/bus.conf") << config;

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        error_ = "no pipe";
        return;
    }
    std::vector<std::string> args{*daemon, "--nofork", "--nopidfile", "--print-address=3",
                                  "--config-file=" + dir_ + "/bus.conf"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec. The daemon ends with the test
        // process, however that ends, and holds none of its outputs: its complaints of a test
        // machine's limits (the open-file limit it may not raise) are no part of any test.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        // dup2 onto itself would keep close-on-exec.
        if (pipe[1] == 3) ::fcntl(3, F_SETFD, 0);
        else ::dup2(pipe[1], 3);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(devNull);
    ::close(pipe[1]);
    if (pid < 0) {
        ::close(pipe[0]);
        error_ = std::string("dbus-daemon did not start: ") + std::strerror(errno);
        return;
    }
    pid_ = pid;
    // The address comes once the daemon listens.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{pipe[0], POLLIN, 0};
        if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        const auto n = ::read(pipe[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipe[0]);
    if (line.find('\n') == std::string::npos) {
        error_ = "dbus-daemon gave no address";
        return;
    }
    address_ = line.substr(0, line.find('\n'));
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

struct DesktopStandIn::Impl {
    StandInOptions options;
    sd_bus* bus = nullptr;
    int stopFd = -1;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Inhibition> inhibitions;
    std::vector<Notification> notifications;
    int calls = 0;
    std::map<int, std::size_t> watched;  // read end of a lock's pipe -> its inhibition

    static int Filter(sd_bus_message* m, void* data, sd_bus_error*);
    int OnInhibit(sd_bus_message* m);
    int OnList(sd_bus_message* m);
    int OnNotify(sd_bus_message* m);
};

int DesktopStandIn::Impl::Filter(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<Impl*>(data);
    if (self->options.logind &&
        sd_bus_message_is_method_call(m, "org.freedesktop.login1.Manager", "Inhibit") > 0)
        return self->OnInhibit(m);
    if (self->options.logind &&
        sd_bus_message_is_method_call(m, "org.freedesktop.login1.Manager", "ListInhibitors") > 0)
        return self->OnList(m);
    if (self->options.notifications &&
        sd_bus_message_is_method_call(m, "org.freedesktop.Notifications", "Notify") > 0)
        return self->OnNotify(m);
    return 0;
}

int DesktopStandIn::Impl::OnInhibit(sd_bus_message* m) {
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
    {
        std::lock_guard lock(mutex);
        ++calls;
    }
    if (options.refuseInhibit) {
        changed.notify_all();
        return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.AccessDenied",
                                          "Access denied");
    }
    // As logind does: the caller gets one end of a pipe, and the lock ends when it is closed.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -errno;
    // Recorded before the answer goes: the caller may look at once.
    {
        std::lock_guard lock(mutex);
        inhibitions.push_back({what, who, why, mode, false});
        watched[ends[0]] = inhibitions.size() - 1;
    }
    changed.notify_all();
    const int r = sd_bus_reply_method_return(m, "h", ends[1]);
    ::close(ends[1]);
    return r < 0 ? r : 1;
}

int DesktopStandIn::Impl::OnList(sd_bus_message* m) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(ssssuu)");
    {
        std::lock_guard lock(mutex);
        for (const auto& i : inhibitions)
            if (!i.released && r >= 0)
                r = sd_bus_message_append(reply, "(ssssuu)", i.what.c_str(), i.who.c_str(),
                                          i.why.c_str(), i.mode.c_str(), ::getuid(), ::getpid());
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
}

int DesktopStandIn::Impl::OnNotify(sd_bus_message* m) {
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    std::uint32_t replaces = 0;
    if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -EINVAL;
    std::uint32_t id = 0;
    {
        std::lock_guard lock(mutex);
        notifications.push_back({app, summary, body});
        id = static_cast<std::uint32_t>(notifications.size());
    }
    changed.notify_all();
    if (sd_bus_message_get_expect_reply(m) > 0) sd_bus_reply_method_return(m, "u", id);
    return 1;
}

DesktopStandIn::DesktopStandIn(const std::string& address, StandInOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    impl_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return;
    impl_->bus = bus;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0)
        return;
    if (sd_bus_add_filter(bus, nullptr, &Impl::Filter, impl_.get()) < 0) return;
    if (options.logind && sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) return;
    if (options.notifications && sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0)
        return;
    ready_ = true;
    thread_ = std::thread([this] { Loop(); });
}

DesktopStandIn::~DesktopStandIn() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(impl_->stopFd, &one, sizeof one);
        thread_.join();
    }
    for (const auto& [fd, index] : impl_->watched) ::close(fd);
    if (impl_->bus != nullptr) sd_bus_flush_close_unref(impl_->bus);
    if (impl_->stopFd >= 0) ::close(impl_->stopFd);
}

void DesktopStandIn::Loop() {
    Impl& s = *impl_;
    for (;;) {
        while (sd_bus_process(s.bus, nullptr) > 0) {
        }
        std::vector<pollfd> waits{{sd_bus_get_fd(s.bus), static_cast<short>(sd_bus_get_events(s.bus)), 0},
                                  {s.stopFd, POLLIN, 0}};
        std::vector<int> pipes;
        {
            std::lock_guard lock(s.mutex);
            for (const auto& [fd, index] : s.watched) {
                waits.push_back({fd, POLLIN, 0});
                pipes.push_back(fd);
            }
        }
        int timeout = -1;
        std::uint64_t until = 0;
        if (sd_bus_get_timeout(s.bus, &until) > 0 && until != UINT64_MAX) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                        static_cast<std::uint64_t>(now.tv_nsec) / 1000;
            timeout = until <= nowUs ? 0 : static_cast<int>((until - nowUs + 999) / 1000);
        }
        if (::poll(waits.data(), waits.size(), timeout) < 0 && errno != EINTR) return;
        if (waits[1].revents & POLLIN) return;
        bool any = false;
        for (std::size_t i = 0; i < pipes.size(); ++i) {
            // The writing end is closed once no process holds it any more.
            if (!(waits[i + 2].revents & (POLLHUP | POLLERR))) continue;
            std::lock_guard lock(s.mutex);
            s.inhibitions[s.watched[pipes[i]]].released = true;
            s.watched.erase(pipes[i]);
            ::close(pipes[i]);
            any = true;
        }
        if (any) s.changed.notify_all();
    }
}

std::vector<DesktopStandIn::Inhibition> DesktopStandIn::inhibitions() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->inhibitions;
}

int DesktopStandIn::inhibitCalls() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->calls;
}

std::vector<DesktopStandIn::Notification> DesktopStandIn::notifications() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->notifications;
}

std::vector<DesktopStandIn::Inhibition> DesktopStandIn::held() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<Inhibition> out;
    for (const auto& i : impl_->inhibitions)
        if (!i.released) out.push_back(i);
    return out;
}

bool DesktopStandIn::WaitFor(
    const std::function<bool(const std::vector<Inhibition>&, const std::vector<Notification>&)>& done,
    std::chrono::milliseconds limit) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, limit, [&] {
        return done(impl_->inhibitions, impl_->notifications);
    });
}

namespace {

std::optional<std::string> Get(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
}
void Put(const char* name, const std::optional<std::string>& value) {
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
}

}  // namespace

BusEnvironment::BusEnvironment(const std::string& address, bool system, bool session)
    : oldSystem_(Get("DBUS_SYSTEM_BUS_ADDRESS")), oldSession_(Get("DBUS_SESSION_BUS_ADDRESS")) {
    const std::string nowhere = "unix:path=/nonexistent/vumo-no-bus";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", (system ? address : nowhere).c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", (session ? address : nowhere).c_str(), 1);
}

BusEnvironment::~BusEnvironment() {
    Put("DBUS_SYSTEM_BUS_ADDRESS", oldSystem_);
    Put("DBUS_SESSION_BUS_ADDRESS", oldSession_);
}

}  // namespace vumo::session::test
