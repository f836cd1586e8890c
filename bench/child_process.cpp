#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

extern char** environ;

namespace vumo::bench {

namespace {

// Through syscall(): the C library's header of this release declares them without C linkage.
int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int PidfdSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::map<std::string, std::string> byName;
    std::vector<std::string> order;
    const auto add = [&](const std::string& item) {
        const std::string name = item.substr(0, item.find('='));
        if (!byName.contains(name)) order.push_back(name);
        byName[name] = item;
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) add(*e);
    for (const auto& item : extra) add(item);
    std::vector<std::string> result;
    for (const auto& name : order) result.push_back(byName[name]);
    return result;
}

}  // namespace

bool ChildExit::succeeded() const {
    return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ChildExit::describe() const {
    if (timedOut) return "killed at its time limit";
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("ended by signal ") + ::strsignal(WTERMSIG(status));
    return "ended oddly";
}

std::optional<Child> Child::Spawn(const ChildOptions& options, std::string& error) {
    if (options.argv.empty()) {
        error = "nothing to run";
        return std::nullopt;
    }
    int stdinPipe[2] = {-1, -1};
    int reportPipe[2] = {-1, -1};
    const auto cleanup = [&] {
        for (int* fd : {&stdinPipe[0], &stdinPipe[1], &reportPipe[0], &reportPipe[1]}) CloseFd(*fd);
    };
    if ((options.stdinPipe && ::pipe2(stdinPipe, O_CLOEXEC) != 0) ||
        (options.reportPipe && ::pipe2(reportPipe, O_CLOEXEC) != 0)) {
        error = std::string("pipe: ") + std::strerror(errno);
        cleanup();
        return std::nullopt;
    }
    if (options.reportPipe && reportPipe[1] == 3) {
        // dup2 onto itself would keep close-on-exec set: move it out of the way first.
        const int moved = ::fcntl(reportPipe[1], F_DUPFD_CLOEXEC, 4);
        CloseFd(reportPipe[1]);
        reportPipe[1] = moved;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdinPipe)
        posix_spawn_file_actions_adddup2(&actions, stdinPipe[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const auto output = [](const std::string& path) {
        return path.empty() ? "/dev/null" : path.c_str();
    };
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output(options.stdoutPath),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, output(options.stderrPath),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (options.reportPipe) posix_spawn_file_actions_adddup2(&actions, reportPipe[1], 3);

    std::vector<char*> argv;
    for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto environment = MergedEnvironment(options.env);
    std::vector<char*> envp;
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    Child child;
    child.started_ = Clock::now();
    const int spawned =
        ::posix_spawn(&child.pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = options.argv[0] + ": " + std::strerror(spawned);
        child.pid_ = -1;
        cleanup();
        return std::nullopt;
    }
    CloseFd(stdinPipe[0]);
    CloseFd(reportPipe[1]);
    child.stdinFd_ = stdinPipe[1];
    child.reportFd_ = reportPipe[0];
    child.pidfd_ = PidfdOpen(child.pid_);
    if (child.pidfd_ < 0) {
        error = std::string("pidfd_open: ") + std::strerror(errno);
        return std::nullopt;  // the destructor kills and reaps it
    }
    return std::optional<Child>(std::move(child));
}

Child::Child(Child&& other) noexcept
    : pid_(other.pid_),
      pidfd_(other.pidfd_),
      stdinFd_(other.stdinFd_),
      reportFd_(other.reportFd_),
      reportBuffer_(std::move(other.reportBuffer_)),
      started_(other.started_),
      reaped_(other.reaped_) {
    other.pid_ = -1;
    other.pidfd_ = other.stdinFd_ = other.reportFd_ = -1;
    other.reaped_ = true;
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseFd(pidfd_);
    CloseFd(stdinFd_);
    CloseFd(reportFd_);
}

std::optional<std::string> Child::ReadReportLine(Clock::time_point deadline) {
    for (;;) {
        if (const auto end = reportBuffer_.find('\n'); end != std::string::npos) {
            std::string line = reportBuffer_.substr(0, end);
            reportBuffer_.erase(0, end + 1);
            return line;
        }
        if (reportFd_ < 0) return std::nullopt;
        pollfd p{reportFd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[256];
        const ssize_t n = ::read(reportFd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            CloseFd(reportFd_);
            return std::nullopt;
        }
        reportBuffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void Child::CloseStdin() { CloseFd(stdinFd_); }

void Child::Signal(int signal) {
    if (pidfd_ >= 0 && !reaped_) PidfdSignal(pidfd_, signal);
}

ChildExit Child::Wait(Clock::time_point deadline) {
    ChildExit result;
    if (reaped_) return result;
    pollfd p{pidfd_, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, MillisecondsUntil(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        result.timedOut = true;
        PidfdSignal(pidfd_, SIGKILL);
    }
    // The pidfd turns readable at the exit; the moment is the end of the wall time.
    const auto ended = Clock::now();
    while (::wait4(pid_, &result.status, 0, &result.usage) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    result.wall = ended - started_;
    return result;
}

}  // namespace vumo::bench
