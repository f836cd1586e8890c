#include "proc_stats.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vumo::bench {

namespace {

std::optional<std::uint64_t> Field(std::string_view text, std::string_view name) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.substr(0, name.size()) == name && line.size() > name.size() &&
            line[name.size()] == ':') {
            std::string_view value = line.substr(name.size() + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            std::uint64_t number = 0;
            const auto [ptr, ec] =
                std::from_chars(value.data(), value.data() + value.size(), number);
            if (ec != std::errc{} || ptr == value.data()) return std::nullopt;
            return number;
        }
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<SwitchCount> ParseSwitchCount(std::string_view statusText) {
    const auto voluntary = Field(statusText, "voluntary_ctxt_switches");
    const auto involuntary = Field(statusText, "nonvoluntary_ctxt_switches");
    if (!voluntary || !involuntary) return std::nullopt;
    return SwitchCount{*voluntary, *involuntary};
}

ThreadSwitches ReadThreadSwitches(pid_t pid) {
    ThreadSwitches result;
    std::error_code ec;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, ec)) {
        const std::string name = entry.path().filename().string();
        pid_t tid = 0;
        const auto [ptr, parsed] = std::from_chars(name.data(), name.data() + name.size(), tid);
        if (parsed != std::errc{} || ptr != name.data() + name.size()) continue;
        std::ifstream file(entry.path() / "status");
        if (!file) continue;
        std::ostringstream text;
        text << file.rdbuf();
        if (const auto count = ParseSwitchCount(text.str())) result[tid] = *count;
    }
    return result;
}

WakeDelta Difference(const ThreadSwitches& before, const ThreadSwitches& after) {
    WakeDelta delta;
    for (const auto& [tid, count] : after) {
        ++delta.threads;
        const auto was = before.find(tid);
        if (was == before.end()) {
            ++delta.started;
            delta.switches += count.total();
        } else {
            delta.switches += count.total() - was->second.total();
        }
    }
    for (const auto& [tid, count] : before)
        if (!after.contains(tid)) ++delta.ended;
    return delta;
}

}  // namespace vumo::bench
