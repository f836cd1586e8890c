#pragma once
// Running vumo-dfu (or any program of the build) as a child process in the command-line tests:
// both outputs on pipes, read as they come, every wait with a deadline.
//
// The same tests serve the Windows build: VUMO_TEST_DFU_PROGRAM names the vumo-dfu.exe to test
// instead of the build's vumo-dfu, and a program whose name ends in ".exe" is started through
// VUMO_TEST_EMULATOR (wine64) when that is set (scripts/build-windows.sh sets both).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace vumo::cli::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The vumo-dfu under test: `built`, or the one VUMO_TEST_DFU_PROGRAM names.
inline std::string DfuProgram(const char* built) {
    const char* other = std::getenv("VUMO_TEST_DFU_PROGRAM");
    return other != nullptr && *other != '\0' ? other : built;
}

// The program with both its outputs on pipes, read as they come.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        const char* emulator = std::getenv("VUMO_TEST_EMULATOR");
        if (emulator != nullptr && *emulator != '\0' && !args.empty() &&
            args[0].size() > 4 && args[0].compare(args[0].size() - 4, 4, ".exe") == 0)
            args.insert(args.begin(), emulator);
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }

    // Reads until `text` is on stdout (or stderr) or the deadline passes.
    bool WaitForOut(const std::string& text, Clock::time_point deadline) {
        while (out_.find(text) == std::string::npos)
            if (!ReadSome(deadline)) return false;
        return true;
    }
    bool WaitForErr(const std::string& text, Clock::time_point deadline) {
        while (err_.find(text) == std::string::npos)
            if (!ReadSome(deadline)) return false;
        return true;
    }

    void Signal(int sig) { ::kill(pid_, sig); }

    // Closes our ends of the child's outputs, as a reader that goes away does: its next
    // writes fail (or kill it, if it let SIGPIPE do so).
    void CloseOutputs() {
        for (int& fd : fds_) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }

    // Reads both outputs to their end and collects the status; -1 when the child outlives the
    // deadline.
    int Wait(Clock::time_point deadline) {
        while (ReadSome(deadline)) {
        }
        if (fds_[0] >= 0 || fds_[1] >= 0) return -1;
        // Its outputs may have been closed before it ended: wait for the process itself.
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && ::poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) == 1;
        if (pidfd >= 0) ::close(pidfd);
        if (!ended) return -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // False once both outputs ended or the deadline passed.
    bool ReadSome(Clock::time_point deadline) {
        if (fds_[0] < 0 && fds_[1] < 0) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) return false;
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(left.count())) <= 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const auto n = ::read(fds_[i], buf, sizeof buf);
            if (n <= 0) {
                ::close(fds_[i]);
                fds_[i] = -1;
                continue;
            }
            (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::string out_;
    std::string err_;
};

struct RunResult {
    int exitCode = -1;  // -1: still running at the deadline (then killed)
    std::string out;
    std::string err;
};

// Runs `args` to its end, or for at most `limit`.
inline RunResult Run(std::vector<std::string> args, Clock::duration limit) {
    Child child(std::move(args));
    RunResult run;
    run.exitCode = child.Wait(Clock::now() + limit);
    run.out = child.out();
    run.err = child.err();
    return run;
}

}  // namespace vumo::cli::test
