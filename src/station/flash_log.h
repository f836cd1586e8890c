#pragma once
// The flash log: one JSON object per finished device, one line each (JSON Lines, which log
// collectors take as they are). Lines are only ever appended: each with one write on a file
// opened for appending (O_APPEND; FILE_APPEND_DATA on Windows), so two stations may share a file without tearing each other's lines,
// and flushed to disk before the device's outcome is told, so a power cut loses at most the
// line of a device that had not finished.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace vumo::station {

struct FlashRecord {
    std::chrono::system_clock::time_point time;  // when the device was taken
    double seconds = 0;
    std::string serial;
    std::string port;
    std::string modeAtStart;  // "application" or "update"
    std::string file;
    std::string sha256;       // of the file as loaded
    std::uint64_t size = 0;   // bytes of the file
    std::uint32_t blocks = 0;
    int location = 0;
    std::string outcome;      // "ok", "failed", "interrupted"
    std::string step;
    std::string message;
    std::string cause;
    std::string toolVersion;  // this program's version
};

// The record as one line, newline included.
std::string FlashLogLine(const FlashRecord& record);

// ISO 8601 in UTC with milliseconds: 2026-12-09T01:46:43.123Z.
std::string IsoUtc(std::chrono::system_clock::time_point time);

class FlashLog {
public:
    // Opens (creating it, mode 0644) for appending; null with `error` when it can't.
    static std::unique_ptr<FlashLog> Open(const std::string& path, std::string& error);
    ~FlashLog();
    FlashLog(const FlashLog&) = delete;
    FlashLog& operator=(const FlashLog&) = delete;

    // Appends the line and flushes it to the disk; false with `error` when either failed.
    bool Append(const FlashRecord& record, std::string& error);
    const std::string& path() const { return path_; }

private:
    FlashLog(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
};

}  // namespace vumo::station
