#pragma once
// Words for an errno value or a signal, safe from any thread (strerror and strsignal may share
// one buffer between threads).

#include <string.h>

#include <string>
#include <system_error>

namespace vumo::base {

inline std::string ErrorText(int error) { return std::generic_category().message(error); }

inline std::string SignalText(int signal) {
#ifdef _WIN32
    // Windows ends programs with an exit code, not a signal: only our own numbers come here.
    return "signal " + std::to_string(signal);
#else
    const char* text = ::sigdescr_np(signal);
    return text != nullptr ? text : "signal " + std::to_string(signal);
#endif
}

}  // namespace vumo::base
