#include "station/flash_log.h"

#include "base/error_text.h"
#include "text/json.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    // Read as well: each append looks at the last byte first.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
    // A record starts on a line of its own: after a write that was cut short (disk full, a
    // quota, a file-size limit), by this process or another, the file ends inside a line.
    struct stat st {};
    char last = '\n';
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 && ::pread(fd_, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        line.insert(line.begin(), '\n');
    // With O_APPEND every piece goes to the end; a piece that was cut short is followed by the
    // rest, or by the error that stopped it.
    std::size_t done = 0;
    int failure = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::flock(fd_, LOCK_UN);
    if (failure != 0) {
        error = "the flash log " + path_ + " could not be written (" + std::to_string(done) +
                " of " + std::to_string(line.size()) + " bytes): " + base::ErrorText(failure);
        return false;
    }
    if (::fdatasync(fd_) != 0) {
        error = "the flash log " + path_ + " could not be flushed to disk: " + base::ErrorText(errno);
        return false;
    }
    return true;
}

}  // namespace vumo::station
