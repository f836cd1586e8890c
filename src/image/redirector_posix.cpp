#include "image/redirector.h"

#include "image/child_reaper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

extern char** environ;

namespace vumo::image {
namespace {

// Without a process descriptor (kernels before 5.3) the reader looks for the child's end at
// this interval.
constexpr std::chrono::milliseconds kReapInterval{10};
// One call of ReadAvailableOutput reads at most this much before the reader looks at its stop
// request and the clock again, so a child that floods the pipe cannot keep it from either.
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
constexpr int kChunksPerWake = 16;

// A descriptor that is not 0, 1 or 2: when the owner runs with a standard stream closed, a new
// pipe can land there, and the child's dup2 onto that very number would then be a no-op that
// leaves close-on-exec set.
bool AboveStdio(UniqueFd& fd) {
    if (fd.get() > STDERR_FILENO) return true;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return AboveStdio(readEnd) && AboveStdio(writeEnd);
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int PollTimeout(std::chrono::steady_clock::duration left) {
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Owns the attributes and file actions of one posix_spawn call.
class SpawnSetup {
public:
    SpawnSetup() {
        okActions_ = ::posix_spawn_file_actions_init(&actions_) == 0;
        okAttr_ = ::posix_spawnattr_init(&attr_) == 0;
    }
    ~SpawnSetup() {
        if (okActions_) ::posix_spawn_file_actions_destroy(&actions_);
        if (okAttr_) ::posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // 0 or an errno value.
    int Prepare(int stdinFd, int outputFd) {
        if (!okActions_ || !okAttr_) return ENOMEM;
        int rc = ::posix_spawn_file_actions_adddup2(&actions_, stdinFd, STDIN_FILENO);
        if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, outputFd, STDOUT_FILENO);
        if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, outputFd, STDERR_FILENO);
        if (rc != 0) return rc;
        // Signals the owner ignores or blocks (SIGPIPE, say) would otherwise stay so in the
        // tool; its own process group lets a time-out end whatever the tool started.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        rc = ::posix_spawnattr_setsigmask(&attr_, &none);
        if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &all);
        if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr_, 0);
        if (rc == 0) {
            rc = ::posix_spawnattr_setflags(
                &attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        }
        return rc;
    }

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attr() const { return &attr_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attr_{};
    bool okActions_ = false;
    bool okAttr_ = false;
};

}  // namespace

bool CRedirector::Open(const std::vector<std::string>& argv, base::Waitable cancel) {
    std::lock_guard lock(ownerMutex_);
    CloseLocked();
    lastError_ = 0;

    const auto fail = [this](int error) {
        lastError_ = error;
        WriteDiagnostic("Redirect console error");
        CloseLocked();
        return false;
    };

    // A bare name would be looked up in the current folder; the caller resolves it first.
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') return fail(ENOENT);

    if (!stop_) return fail(EMFILE);
    stop_.clear();
    UniqueFd outRead, outWrite, inRead, inWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(inRead, inWrite)) return fail(errno);
    // Only our end: the child's end of the output pipe stays blocking.
    if (!SetNonBlocking(outRead.get())) return fail(errno);

    SpawnSetup setup;
    if (const int rc = setup.Prepare(inRead.get(), outWrite.get()); rc != 0) return fail(rc);

    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (const auto& arg : argv) cargv.push_back(const_cast<char*>(arg.c_str()));
    cargv.push_back(nullptr);

    // glibc's posix_spawn waits until the exec has happened and returns its error, reaping the
    // child that could not exec.
    pid_t pid = -1;
    if (const int rc = ::posix_spawn(&pid, argv[0].c_str(), setup.actions(), setup.attr(),
                                     cargv.data(), environ);
        rc != 0) {
        return fail(rc);
    }
    child_ = pid;
    reaped_ = false;
    childPid_.store(pid, std::memory_order_release);
    // The child's ends: with ours closed, the pipe reports its end once the child has closed
    // its copies.
    outWrite.reset();
    inRead.reset();

    childPidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    // pidfd_open sets close-on-exec itself. Without it (ENOSYS) the reader looks for the
    // child's end at intervals.
    if (childPidFd_ && !AboveStdio(childPidFd_)) childPidFd_.reset();

    stdoutRead_ = std::move(outRead);
    stdinWrite_ = std::move(inWrite);
    if (const int error = StartReader(cancel); error != 0) return fail(error);
    return true;
}

void CRedirector::CloseLocked() {
    StopReader();
    childPidFd_.reset();
    stdinWrite_.reset();
    stdoutRead_.reset();
}

bool CRedirector::ReadAvailableOutput(bool& eof) {
    char buffer[kReadChunk];
    for (int i = 0; i < kChunksPerWake; ++i) {
        const ssize_t n = ::read(stdoutRead_.get(), buffer, sizeof buffer);
        if (n > 0) {
            KeepOutput(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            eof = true;
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        WriteDiagnostic("Read stdout pipe error\r\n");
        return false;
    }
    return true;
}

bool CRedirector::TryReap() {
    if (reaped_) return true;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(child_, &status, WNOHANG);
        if (r == child_) {
            waitStatus_.store(status, std::memory_order_release);
            reaped_ = true;
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        // ECHILD: somebody else reaped it (SIGCHLD set to SIG_IGN reaps automatically).
        reaped_ = true;
        return true;
    }
}

void CRedirector::EndChild() {
    if (reaped_ || child_ <= 0) return;
    if (killer_) {
        killer_(child_);
    } else {
        ::kill(-child_, SIGKILL);
        ::kill(child_, SIGKILL);
    }
    const auto until = std::chrono::steady_clock::now() + killGrace_;
    while (!TryReap()) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            WriteDiagnostic("The child did not end after SIGKILL\r\n");
            // Its own copy of the process descriptor: ours stays the owner's to close.
            UniqueFd pidFd;
            if (childPidFd_) pidFd.reset(::fcntl(childPidFd_.get(), F_DUPFD_CLOEXEC, 0));
            ChildReaper::Instance().Adopt(child_, std::move(pidFd));
            reaped_ = true;
            return;
        }
        if (childPidFd_) {
            pollfd p{childPidFd_.get(), POLLIN, 0};
            ::poll(&p, 1, PollTimeout(left));
        } else {
            ::poll(nullptr, 0, PollTimeout(std::min<std::chrono::steady_clock::duration>(
                                   left, kReapInterval)));
        }
    }
}

ChildEnd CRedirector::End() const {
    ChildEnd end;
    const int status = WaitStatus();
    if (status == -1) return end;
    if (WIFEXITED(status)) end.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    return end;
}

void CRedirector::ReaderThread() {
    using Clock = std::chrono::steady_clock;
    RunLimits limits{Clock::now() + timeLimit_};
    bool eof = false;
    int cancelFd = cancel_.native();
    RunOutcome outcome = RunOutcome::ended;

    for (;;) {
        const auto now = Clock::now();
        Clock::time_point wakeAt;
        if (const auto end = PassEnds(eof, limits, now, wakeAt)) {
            outcome = *end;
            break;
        }
        if (!reaped_ && !childPidFd_) wakeAt = std::min(wakeAt, now + kReapInterval);

        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {stop_.waitable().native(), POLLIN, 0};
        // A negative descriptor is skipped by poll().
        const nfds_t cancelSlot = count;
        fds[count++] = {cancelFd, POLLIN, 0};
        const nfds_t pipeSlot = eof ? 0 : count;
        if (!eof) fds[count++] = {stdoutRead_.get(), POLLIN, 0};
        const nfds_t childSlot = (!reaped_ && childPidFd_) ? count : 0;
        if (childSlot) fds[count++] = {childPidFd_.get(), POLLIN, 0};

        const int n = ::poll(fds, count, PollTimeout(wakeAt - now));
        if (n < 0) {
            if (errno == EINTR) continue;
            EndChild();
            outcome = RunOutcome::readError;
            break;
        }
        if (fds[0].revents != 0) {
            EndChild();
            outcome = RunOutcome::stopped;
            break;
        }
        if (fds[cancelSlot].revents & POLLNVAL) {
            cancelFd = -1;  // not open: it can never ask for anything
        } else if (fds[cancelSlot].revents != 0) {
            EndChild();
            outcome = RunOutcome::cancelled;
            break;
        }
        if (pipeSlot && fds[pipeSlot].revents != 0 && !ReadAvailableOutput(eof)) {
            EndChild();
            outcome = RunOutcome::readError;
            break;
        }
        if (!reaped_ && (childSlot == 0 || fds[childSlot].revents != 0) && TryReap())
            Reaped(limits);
    }
    Publish(outcome);
}

}  // namespace vumo::image
