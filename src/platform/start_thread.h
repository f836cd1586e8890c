#pragma once
// Starting a thread can fail: the process or the user may be at its limit of threads, and
// std::thread then throws. Every long-lived thread of the program is started through here, so
// that the failure becomes a result its owner reports instead of an exception that ends the
// program in std::terminate, and so that tests can make a start fail.

#include <functional>
#include <string>
#include <thread>

namespace vumo::platform {

// Starts `body` on `thread`, which must not be joinable. On failure `thread` is left empty and
// `error` (when given) says why, as a sentence fragment ("resource temporarily unavailable").
[[nodiscard]] bool StartThread(std::thread& thread, std::function<void()> body,
                               std::string* error = nullptr);

// For tests: while set, a start for which the hook returns true fails as if the system had no
// thread to give. `what` is the caller's name for the thread ("listener", "update worker", …).
using ThreadStartFailure = std::function<bool(const char* what)>;
void SetThreadStartFailureForTesting(ThreadStartFailure hook);

// The same as StartThread, naming the thread for the test hook.
[[nodiscard]] bool StartNamedThread(const char* what, std::thread& thread,
                                    std::function<void()> body, std::string* error = nullptr);

}  // namespace vumo::platform
