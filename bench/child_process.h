#pragma once
// A measured program run as a child: started with posix_spawn, waited for through a pidfd with
// a time limit, reaped with wait4 so that its own resource usage (and that of the children it
// reaped, such as the checksum tool) comes back with its exit status.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vumo::bench {

using Clock = std::chrono::steady_clock;

struct ChildOptions {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // NAME=value, added to (and overriding) this environment
    std::string stdoutPath;        // empty: /dev/null
    std::string stderrPath;        // empty: /dev/null
    bool stdinPipe = false;        // give the child a pipe as stdin; closing it is a request to end
    bool reportPipe = false;       // give the child a pipe on descriptor 3 to report on
};

struct ChildExit {
    bool timedOut = false;  // killed at the time limit
    int status = 0;         // as waitpid gives it
    rusage usage{};         // the child and the children it reaped
    Clock::duration wall{}; // from just before the spawn to the exit
    bool succeeded() const;
    std::string describe() const;
};

class Child {
public:
    // nullopt and `error` set when it could not be started.
    static std::optional<Child> Spawn(const ChildOptions& options, std::string& error);
    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    Child(const Child&) = delete;
    ~Child();  // kills and reaps a child still running

    pid_t pid() const { return pid_; }
    Clock::time_point started() const { return started_; }

    // One line from the report pipe, without its end; nullopt at the deadline or the pipe's end.
    std::optional<std::string> ReadReportLine(Clock::time_point deadline);
    // Closes the child's stdin pipe.
    void CloseStdin();
    void Signal(int signal);
    // Waits until the child ends or the deadline passes; then kills it and reaps it.
    ChildExit Wait(Clock::time_point deadline);

private:
    Child() = default;

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stdinFd_ = -1;
    int reportFd_ = -1;
    std::string reportBuffer_;
    Clock::time_point started_;
    bool reaped_ = false;
};

}  // namespace vumo::bench
