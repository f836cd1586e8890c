#include "record/recorder.h"

#include "base/error_text.h"
#include "base/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vumo::record {

using namespace recording;

using platform::HandleKind;

std::unique_ptr<Recorder> Recorder::Create(const std::string& file, const Header& header,
                                           std::string& error) {
    const int fd = base::OpenForWriting(file);
    if (fd < 0) {
        error = "can't write the recording " + file + ": " + base::ErrorText(errno) + ".";
        return nullptr;
    }
    std::unique_ptr<Recorder> recorder(new Recorder(file, fd));
    recorder->PutLine(FormatHeader(header));
    if (!recorder->error_.empty()) {
        error = recorder->error_;
        return nullptr;
    }
    return recorder;
}

Recorder::~Recorder() {
    if (fd_ >= 0) ::close(fd_);
}

void Recorder::PutLine(const std::string& line) {
    if (!error_.empty()) return;
    std::size_t done = 0;
    while (done < line.size()) {
        const auto n = base::WriteSome(fd_, line.data() + done, line.size() - done);
        if (n <= 0) {
            error_ = "the recording " + file_ + " is incomplete: " +
                     (n < 0 ? base::ErrorText(errno) : std::string("nothing could be written")) +
                     ".";
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void Recorder::Put(Event& event, Offset at) {
    event.micros = std::chrono::duration_cast<std::chrono::microseconds>(at).count();
    PutLine(FormatEvent(event));
}

void Recorder::onEnumerate(Offset t, const std::vector<platform::HidInterfaceInfo>& list) {
    Event e;
    e.kind = EventKind::enumerate;
    e.devices = list;
    Put(e, t);
}

void Recorder::onProbe(Offset t, const std::string& path, const platform::ProbeResult& result) {
    Event e;
    e.kind = EventKind::probe;
    e.path = path;
    e.status = result.status;
    e.lengths = result.lengths;
    Put(e, t);
}

void Recorder::onOpen(Offset t, HandleKind kind, const std::string& path,
                      platform::OpenStatus status, int handle) {
    Event e;
    e.kind = kind == HandleKind::writer ? EventKind::openWriter : EventKind::openReader;
    e.path = path;
    e.status = status;
    e.handle = handle;
    Put(e, t);
}

void Recorder::onClose(Offset t, HandleKind kind, int handle, const std::string& path, bool ok) {
    Event e;
    e.kind = EventKind::close;
    e.writerHandle = kind == HandleKind::writer;
    e.handle = handle;
    e.path = path;
    e.ok = ok;
    Put(e, t);
}

void Recorder::onWrite(Offset t, int handle, const std::string& path,
                       std::span<const std::uint8_t> report, const platform::WriteResult& result) {
    Event e;
    e.kind = EventKind::write;
    e.handle = handle;
    e.path = path;
    e.data.assign(report.begin(), report.end());
    e.ok = result.ok;
    e.written = result.written;
    Put(e, t);
}

void Recorder::onRead(Offset t, int handle, const std::string& path, platform::ReadStatus status,
                      std::span<const std::uint8_t> report) {
    Event e;
    e.kind = EventKind::read;
    e.handle = handle;
    e.path = path;
    e.readStatus = status;
    e.data.assign(report.begin(), report.end());
    Put(e, t);
}

void Recorder::onMonitor(Offset t, int monitor) {
    Event e;
    e.kind = EventKind::monitor;
    e.monitor = monitor;
    Put(e, t);
}

void Recorder::onHotplug(Offset t, int monitor, platform::HotplugMonitor::Action action,
                         const std::string& path) {
    Event e;
    e.kind = action == platform::HotplugMonitor::Action::arrival ? EventKind::arrival
                                                                 : EventKind::removal;
    e.monitor = monitor;
    e.path = path;
    Put(e, t);
}

void Recorder::onImage(Offset t, const std::string& sha256, std::uint64_t size) {
    Event e;
    e.kind = EventKind::image;
    e.sha256 = sha256;
    e.size = size;
    Put(e, t);
}

void Recorder::onEnd(Offset t, int exitCode) {
    Event e;
    e.kind = EventKind::end;
    e.exitCode = exitCode;
    Put(e, t);
}

}  // namespace vumo::record
