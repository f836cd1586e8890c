#pragma once
// The recording file: JSON Lines, one object a line. Line 1 is the header, every other line one
// event at the HID bus with "t", its time in milliseconds since the recording began (three
// decimals), and "e", what happened:
//
//   {"format":"vumo-dfu-recording","version":1,"program":"1.0.0.1","argv":["vumo-dfu",...]}
//   {"t":0.412,"e":"enumerate","devices":[{"path":"/dev/hidraw3","vid":4617,"pid":1,
//        "product":"...","serial":"...","manufacturer":"..."}]}
//   {"t":0.530,"e":"probe","path":"/dev/hidraw3","status":"ok","in":17,"out":65}
//   {"t":0.611,"e":"open-writer","path":"/dev/hidraw3","status":"ok","h":1}   (and open-reader)
//   {"t":0.702,"e":"write","h":1,"path":"/dev/hidraw3","data":"00...","ok":true,"n":65}
//   {"t":0.950,"e":"read","h":2,"path":"/dev/hidraw3","status":"report","data":"00..."}
//   {"t":9.000,"e":"close","kind":"writer","h":1,"path":"/dev/hidraw3","ok":true}
//   {"t":0.300,"e":"monitor","m":1}
//   {"t":5.100,"e":"removal","m":1,"path":"/dev/hidraw3"}                      (and arrival)
//   {"t":0.100,"e":"image","sha256":"...","size":3000}
//   {"t":40.00,"e":"end","exit":0}
//
// Bytes are lower-case hex. Strings are JSON strings; one that is not valid UTF-8 (a device may
// send anything) is written readable, with U+FFFD, and exactly as "<name>_hex" beside it, which
// a reader takes instead. Times never go backwards.

#include "platform/hid_bus.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vumo::recording {

inline constexpr const char* kFormatName = "vumo-dfu-recording";
inline constexpr int kFormatVersion = 1;

enum class EventKind {
    enumerate,
    probe,
    openWriter,
    openReader,
    close,
    write,
    read,
    monitor,
    arrival,
    removal,
    image,
    end,
};

struct Header {
    int version = kFormatVersion;
    std::string program;            // the program's version
    std::vector<std::string> argv;  // the command line
};

struct Event {
    EventKind kind = EventKind::end;
    std::int64_t micros = 0;  // since the recording began
    int line = 0;             // in the file, from 1 (the header's line)
    std::string path;
    std::vector<platform::HidInterfaceInfo> devices;                 // enumerate
    platform::OpenStatus status = platform::OpenStatus::ok;          // probe, open-*
    platform::ReportLengths lengths;                                 // probe
    platform::ReadStatus readStatus = platform::ReadStatus::report;  // read
    std::vector<std::uint8_t> data;                                  // write, read
    bool ok = false;                                                 // write, close
    std::size_t written = 0;                                         // write
    bool writerHandle = false;  // close: of a writer (else a reader)
    int handle = 0;             // open-*, write, read, close
    int monitor = 0;            // monitor, arrival, removal
    std::string sha256;         // image
    std::uint64_t size = 0;     // image
    int exitCode = 0;           // end
};

struct Recording {
    Header header;
    std::vector<Event> events;
};

// The header line and one event's line, each with its '\n'.
std::string FormatHeader(const Header& header);
std::string FormatEvent(const Event& event);

// A whole file. On failure returns false and fills `error` with one line that names the line
// of the file: "line 7: bad hex in \"data\"".
bool ParseRecording(std::string_view text, Recording& out, std::string& error);
bool LoadRecording(const std::string& file, Recording& out, std::string& error);

const char* EventName(EventKind kind);
const char* StatusName(platform::OpenStatus status);
const char* ReadStatusName(platform::ReadStatus status);

}  // namespace vumo::recording
