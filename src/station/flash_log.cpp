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
    // Read as well: each append looks at the last byte first.
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
    std::string line = FlashLogLine(record);
    // Our stations sharing the file take turns, so that the look at its end and the write
    // that follows it are one step; the lock goes with the descriptor's close at the latest.
    const bool locked = base::LockExclusive(fd_);
    // A record starts on a line of its own: after a write that was cut short (disk full, a
    // quota, a file-size limit), by this process or another, the file ends inside a line.
    const int last = base::LastByte(fd_);
    if (last >= 0 && last != '\n') line.insert(line.begin(), '\n');
    // Opened for appending, every piece goes to the end; a piece that was cut short is followed
    // by the rest, or by the error that stopped it.
    std::size_t done = 0;
    int failure = 0;
    while (done < line.size()) {
        const long long n = base::WriteSome(fd_, line.data() + done, line.size() - done);
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (locked) base::Unlock(fd_);
    if (failure != 0) {
        error = "the flash log " + path_ + " could not be written (" + std::to_string(done) +
                " of " + std::to_string(line.size()) + " bytes): " + base::ErrorText(failure);
        return false;
    }
    if (!base::FlushToDisk(fd_)) {
        error = "the flash log " + path_ + " could not be flushed to disk: " + base::ErrorText(errno);
        return false;
    }
    return true;
}

}  // namespace vumo::station
