#include "station/flash_log.h"

#include "base/error_text.h"
#include "base/files.h"
#include "text/json.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vumo::station {

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    // The calendar of <chrono>: the same on every system, no time zone and no shared buffer.
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(millis);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{millis - day};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string FlashLogLine(const FlashRecord& r) {
    using text::JsonString;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    std::string line = "{\"time\": " + JsonString(IsoUtc(r.time)) + ", \"seconds\": " + seconds +
                       ", \"serial\": " + JsonString(r.serial) + ", \"port\": " +
                       JsonString(r.port) + ", \"mode_at_start\": " + JsonString(r.modeAtStart) +
                       ", \"file\": " + JsonString(r.file) + ", \"sha256\": " +
                       JsonString(r.sha256) + ", \"size\": " + std::to_string(r.size) +
                       ", \"blocks\": " + std::to_string(r.blocks) + ", \"location\": " +
                       std::to_string(r.location) + ", \"outcome\": " + JsonString(r.outcome) +
                       ", \"step\": " + JsonString(r.step) + ", \"message\": " +
                       JsonString(r.message);
    if (!r.cause.empty()) line += ", \"cause\": " + JsonString(r.cause);
    line += ", \"tool_version\": " + JsonString(r.toolVersion) + "}\n";
    return line;
}

std::unique_ptr<FlashLog> FlashLog::Open(const std::string& path, std::string& error) {
    const int fd = base::OpenForAppending(path);
    if (fd < 0) {
        error = "the flash log " + path + " can't be opened for appending: " +
                base::ErrorText(errno);
        return nullptr;
    }
    return std::unique_ptr<FlashLog>(new FlashLog(fd, path));
}

FlashLog::~FlashLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool FlashLog::Append(const FlashRecord& record, std::string& error) {
    const std::string line = FlashLogLine(record);
    // One write: opened for appending, the system places it whole at the end, so lines of two
    // stations sharing the file never interleave. A regular file takes it whole or fails.
    const long long n = base::WriteSome(fd_, line.data(), line.size());
    if (n < 0 || static_cast<std::size_t>(n) != line.size()) {
        error = "the flash log " + path_ + " could not be written: " +
                (n < 0 ? base::ErrorText(errno) : std::string("short write"));
        return false;
    }
    if (!base::FlushToDisk(fd_)) {
        error = "the flash log " + path_ + " could not be flushed to disk: " + base::ErrorText(errno);
        return false;
    }
    return true;
}

}  // namespace vumo::station
