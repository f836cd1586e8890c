#include "cli/output.h"

#include "text/utf8.h"

namespace vumo::cli {

std::string FailureText(std::string_view prefix, std::string_view message,
                        const messages::Cause& cause, bool messageIsSafe) {
    std::string out = text::TerminalSafeMessage(prefix);
    out += messageIsSafe ? std::string(message) : text::TerminalSafeMessage(message);
    out += '\n';
    // A hint goes with a cause: alone it would be a guess at why.
    if (cause.text.empty()) return out;
    out += "  cause: " + text::TerminalSafe(cause.text) + "\n";
    if (!cause.hint.empty()) out += "  hint: " + text::TerminalSafe(cause.hint) + "\n";
    return out;
}

std::string ShellQuoted(const std::vector<std::string>& argv) {
    std::string out;
    for (const std::string& raw : argv) {
        if (!out.empty()) out += ' ';
        const std::string arg = text::TerminalSafe(raw);
        const bool plain =
            !arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU"
                                                  "VWXYZ0123456789-_./=:,+@%") == std::string::npos;
        if (plain) {
            out += arg;
            continue;
        }
        out += '\'';
        for (const char c : arg) {
            if (c == '\'') {
                out += "'\\''";
            } else {
                out += c;
            }
        }
        out += '\'';
    }
    return out;
}

StepLog::StepLog(int verbosity, std::FILE* to)
    : verbosity_(verbosity), to_(to), start_(std::chrono::steady_clock::now()) {}

std::string StepLog::Stamp(std::chrono::steady_clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "[%7.3f s] ", seconds < 0 ? 0.0 : seconds);
    return buffer;
}

void StepLog::Line(std::string_view line) {
    const std::string out =
        Stamp(std::chrono::steady_clock::now()) + text::TerminalSafe(line) + "\n";
    std::lock_guard lock(mutex_);
    std::fputs(out.c_str(), to_);
    std::fflush(to_);
}

void StepLog::Step(std::string_view line) {
    if (enabled()) Line(line);
}

void StepLog::ToolRun(const std::vector<std::string>& command, std::string_view output) {
    if (!enabled()) return;
    if (command.empty()) {
        Line("checksum tool: not run");
        return;
    }
    Line("checksum tool: " + ShellQuoted(command));
    if (output.empty()) {
        Line("checksum tool output: (none)");
        return;
    }
    std::string block = Stamp(std::chrono::steady_clock::now()) + "checksum tool output:\n";
    while (!output.empty()) {
        const auto end = output.find('\n');
        std::string_view line = output.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        block += "    " + text::TerminalSafe(line) + "\n";
        output = end == std::string_view::npos ? std::string_view{} : output.substr(end + 1);
    }
    std::lock_guard lock(mutex_);
    std::fputs(block.c_str(), to_);
    std::fflush(to_);
}

void SayError(std::string_view message) {
    std::fputs(FailureText("vumo-dfu: ", message, {}).c_str(), stderr);
    std::fflush(stderr);
}

std::string SentenceOf(std::string reason) {
    if (!reason.empty() && reason[0] >= 'a' && reason[0] <= 'z')
        reason[0] = static_cast<char>(reason[0] - 'a' + 'A');
    return reason;
}

}  // namespace vumo::cli
