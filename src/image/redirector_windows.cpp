// The checksum tool's runner on Windows: CreateProcessW with the tool's output going into a
// pipe that the reader thread reads with overlapped I/O, so that one wait covers the output,
// the tool's end, the stop and cancel requests and the time limit. The tool runs in a job
// object that ends it and everything it started when it is killed or when we end.
#include "image/redirector.h"

#include "base/files.h"
#include "base/windows_text.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

namespace vumo::image {
namespace {

constexpr DWORD kReadChunk = 64 * 1024;
// The exit code a killed tool gets; nothing else ends it with this one.
constexpr UINT kKilledExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT

void CloseIfOpen(void*& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    handle = nullptr;
}

// One argument as CommandLineToArgvW and the C runtime's start-up code split it back: quoted
// when it holds a blank or a quote, with backslashes doubled only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += arg[i];
    }
    line += L'"';
}

DWORD WaitMs(std::chrono::steady_clock::duration left) {
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
}

}  // namespace

bool CRedirector::Open(const std::vector<std::string>& argv, base::Waitable cancel) {
    std::lock_guard lock(ownerMutex_);
    CloseLocked();
    lastError_ = 0;

    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    const auto fail = [&](int error) {
        lastError_ = error;
        WriteDiagnostic("Redirect console error");
        for (HANDLE h : {outRead, outWrite, inRead, inWrite})
            if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
        CloseLocked();
        return false;
    };
    const auto failWindows = [&] { return fail(base::ErrnoFromWindows(::GetLastError())); };

    // A bare name would be looked up in the current folder; the caller resolves it first.
    if (argv.empty() || !base::IsAbsolutePath(argv[0])) return fail(ENOENT);
    if (!stop_) return fail(EMFILE);
    stop_.clear();

    // Our end of the output pipe is a named pipe's server end, so that it can be read with
    // overlapped I/O (an anonymous pipe can't); the tool gets the client end. The name is ours
    // alone: process id and a counter.
    static std::atomic<unsigned> serial{0};
    const std::wstring name = L"\\\\.\\pipe\\vumo-dfu-checksum-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(serial.fetch_add(1));
    outRead = ::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        kReadChunk, 0, nullptr);
    if (outRead == INVALID_HANDLE_VALUE) {
        outRead = nullptr;
        return failWindows();
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    outWrite = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (outWrite == INVALID_HANDLE_VALUE) {
        outWrite = nullptr;
        return failWindows();
    }
    // The tool's input: a pipe we keep open and never write, so a tool that reads waits (and
    // runs into the time limit) instead of seeing an end of input.
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) return failWindows();
    if (!::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0)) return failWindows();

    job_ = ::CreateJobObjectW(nullptr, nullptr);
    if (job_ == nullptr) return failWindows();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits))
        return failWindows();

    std::wstring commandLine;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i != 0) commandLine += L' ';
        AppendQuoted(commandLine, base::Widen(argv[i]));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION process{};
    // Suspended until it is in the job, so nothing it starts can escape it. Its own process
    // group: a Ctrl-C in the console is ours to act on, not the tool's.
    const std::wstring program = base::Widen(argv[0]);
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                          &process))
        return failWindows();
    process_ = process.hProcess;
    if (!::AssignProcessToJobObject(job_, process.hProcess)) {
        ::TerminateProcess(process.hProcess, kKilledExitCode);
        ::CloseHandle(process.hThread);
        reaped_ = false;
        child_ = static_cast<pid_t>(process.dwProcessId);
        return failWindows();
    }
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    child_ = static_cast<pid_t>(process.dwProcessId);
    reaped_ = false;
    childPid_.store(child_, std::memory_order_release);
    // The tool's ends: with ours closed, the pipe ends once the tool (and whatever it started)
    // has closed its copies.
    ::CloseHandle(outWrite);
    outWrite = nullptr;
    ::CloseHandle(inRead);
    inRead = nullptr;
    stdoutRead_ = outRead;
    outRead = nullptr;
    stdinWrite_ = inWrite;
    inWrite = nullptr;
    if (const int error = StartReader(cancel); error != 0) return fail(error);
    return true;
}

void CRedirector::CloseLocked() {
    StopReader();
    CloseIfOpen(process_);
    // Closing the job ends anything the tool started that is still running.
    CloseIfOpen(job_);
    CloseIfOpen(stdinWrite_);
    CloseIfOpen(stdoutRead_);
}

bool CRedirector::ReadAvailableOutput(bool&) { return true; }  // the reader reads itself

bool CRedirector::TryReap() {
    if (reaped_) return true;
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (::GetExitCodeProcess(process_, &code))
        waitStatus_.store(static_cast<int>(code), std::memory_order_release);
    reaped_ = true;
    return true;
}

void CRedirector::EndChild() {
    if (reaped_ || process_ == nullptr) return;
    if (killer_) {
        killer_(child_);
    } else {
        // The job holds the tool and everything it started.
        if (job_ == nullptr || !::TerminateJobObject(job_, kKilledExitCode))
            ::TerminateProcess(process_, kKilledExitCode);
    }
    if (::WaitForSingleObject(process_, WaitMs(killGrace_)) == WAIT_OBJECT_0) {
        TryReap();
        return;
    }
    // Not ended within the grace: Windows keeps no zombies, and closing the job at Close
    // ends it at the latest.
    WriteDiagnostic("The child did not end after TerminateProcess\r\n");
    reaped_ = true;
}

ChildEnd CRedirector::End() const {
    ChildEnd end;
    if (const int status = WaitStatus(); status != -1) end.exitStatus = status;
    return end;
}

void CRedirector::ReaderThread() {
    using Clock = std::chrono::steady_clock;
    RunLimits limits{Clock::now() + timeLimit_};
    bool eof = false;
    RunOutcome outcome = RunOutcome::ended;

    base::WakeEvent readDone;
    OVERLAPPED overlapped{};
    overlapped.hEvent = readDone.waitable().native();
    std::vector<char> buffer(kReadChunk);
    bool pending = false;
    // Starts the next read; false on a read error. A read that completes at once also sets
    // the event, so every completion is taken in one place below.
    const auto startRead = [&] {
        readDone.clear();
        if (::ReadFile(stdoutRead_, buffer.data(), kReadChunk, nullptr, &overlapped) ||
            ::GetLastError() == ERROR_IO_PENDING) {
            pending = true;
            return true;
        }
        if (::GetLastError() == ERROR_BROKEN_PIPE) {
            eof = true;
            return true;
        }
        return false;
    };
    if (!readDone || !startRead()) {
        EndChild();
        Publish(RunOutcome::readError);
        return;
    }

    for (;;) {
        const auto now = Clock::now();
        Clock::time_point wakeAt;
        if (const auto end = PassEnds(eof, limits, now, wakeAt)) {
            outcome = *end;
            break;
        }

        const base::Waitable waits[4] = {
            stop_.waitable(), cancel_, eof ? base::Waitable() : readDone.waitable(),
            reaped_ ? base::Waitable() : base::Waitable::FromNative(process_)};
        const int woken = base::WaitAny(
            waits, std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::milliseconds(WaitMs(wakeAt - now))));
        if (woken == base::kWaitFailed) {
            EndChild();
            outcome = RunOutcome::readError;
            break;
        }
        if (woken == 0) {
            EndChild();
            outcome = RunOutcome::stopped;
            break;
        }
        if (woken == 1) {
            EndChild();
            outcome = RunOutcome::cancelled;
            break;
        }
        if (woken == 2) {
            DWORD got = 0;
            pending = false;
            if (::GetOverlappedResult(stdoutRead_, &overlapped, &got, FALSE)) {
                KeepOutput(buffer.data(), got);
                if (!startRead()) {
                    EndChild();
                    outcome = RunOutcome::readError;
                    break;
                }
            } else if (::GetLastError() == ERROR_BROKEN_PIPE) {
                eof = true;
            } else {
                WriteDiagnostic("Read stdout pipe error\r\n");
                EndChild();
                outcome = RunOutcome::readError;
                break;
            }
        }
        if (!reaped_ && TryReap()) Reaped(limits);
    }
    if (pending) {
        // The read must be over before its buffer and event go.
        ::CancelIoEx(stdoutRead_, &overlapped);
        DWORD got = 0;
        ::GetOverlappedResult(stdoutRead_, &overlapped, &got, TRUE);
    }
    Publish(outcome);
}

}  // namespace vumo::image
