#include "record/report_trace.h"

namespace vumo::record {

std::string TraceLine(platform::BusObserver::Offset at, bool out,
                      std::span<const std::uint8_t> report) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at).count();
    char head[64];
    std::snprintf(head, sizeof head, "+%lld.%03lld ms  %s %zu ",
                  static_cast<long long>(micros / 1000), static_cast<long long>(micros % 1000),
                  out ? "out" : "in", report.size());
    std::string line = head;
    line.reserve(line.size() + report.size() * 3 + 2);
    for (const std::uint8_t b : report) {
        line += ' ';
        line += kDigits[b >> 4];
        line += kDigits[b & 15];
    }
    line += '\n';
    return line;
}

void ReportTrace::onWrite(Offset t, int, const std::string&, std::span<const std::uint8_t> report,
                          const platform::WriteResult&) {
    const auto line = TraceLine(t, true, report);
    std::fputs(line.c_str(), to_);
    std::fflush(to_);
}

void ReportTrace::onRead(Offset t, int, const std::string&, platform::ReadStatus status,
                         std::span<const std::uint8_t> report) {
    if (status != platform::ReadStatus::report) return;
    const auto line = TraceLine(t, false, report);
    std::fputs(line.c_str(), to_);
    std::fflush(to_);
}

}  // namespace vumo::record
