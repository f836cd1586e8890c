#pragma once
// --record FILE: writes what passes the HID bus to a recording as it happens. Each line goes
// out in one write() the moment it is known, with nothing held back in a buffer, so a crash or
// a Ctrl-C leaves every event up to that moment in the file.

#include "platform/observed_hid_bus.h"
#include "recording/recording.h"

#include <memory>
#include <string>

namespace vumo::record {

// The recorder writes the recording format's events.
using recording::Event;
using recording::EventKind;
using recording::Header;

class Recorder final : public platform::BusObserver {
public:
    // Creates (or empties) `file` and writes the header. Null with `error` set on failure.
    static std::unique_ptr<Recorder> Create(const std::string& file, const Header& header,
                                            std::string& error);
    ~Recorder() override;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The first write that failed (disk full, ...), empty while all went well. The bus keeps
    // working; the front end says that the recording is incomplete.
    std::string error() const { return error_; }
    const std::string& file() const { return file_; }

    void onEnumerate(Offset, const std::vector<platform::HidInterfaceInfo>&) override;
    void onProbe(Offset, const std::string& path, const platform::ProbeResult&) override;
    void onOpen(Offset, platform::HandleKind, const std::string& path, platform::OpenStatus,
                int handle) override;
    void onClose(Offset, platform::HandleKind, int handle, const std::string& path,
                 bool ok) override;
    void onWrite(Offset, int handle, const std::string& path, std::span<const std::uint8_t>,
                 const platform::WriteResult&) override;
    void onRead(Offset, int handle, const std::string& path, platform::ReadStatus,
                std::span<const std::uint8_t>) override;
    void onMonitor(Offset, int monitor) override;
    void onHotplug(Offset, int monitor, platform::HotplugMonitor::Action,
                   const std::string& path) override;
    void onImage(Offset, const std::string& sha256, std::uint64_t size) override;
    void onEnd(Offset, int exitCode) override;

private:
    Recorder(std::string file, int fd) : file_(std::move(file)), fd_(fd) {}
    void Put(Event& event, Offset at);
    void PutLine(const std::string& line);

    std::string file_;
    int fd_;
    std::string error_;  // the observed bus calls observers one at a time
};

}  // namespace vumo::record
