#include "station/flash_log.h"

#include "base/error_text.h"
#include "text/json.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vumo::station {

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
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
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
    // One write: with O_APPEND the kernel places it whole at the end, so lines of two
    // stations sharing the file never interleave. A regular file takes it whole or fails.
    ssize_t n;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<std::size_t>(n) != line.size()) {
        error = "the flash log " + path_ + " could not be written: " +
                (n < 0 ? base::ErrorText(errno) : std::string("short write"));
        return false;
    }
    if (::fdatasync(fd_) != 0) {
        error = "the flash log " + path_ + " could not be flushed to disk: " + base::ErrorText(errno);
        return false;
    }
    return true;
}

}  // namespace vumo::station
