#include "platform/observed_hid_bus.h"

#include <mutex>

namespace vumo::platform {

struct ObservedHidBus::Core {
    explicit Core(std::vector<BusObserver*> list) : observers(std::move(list)) {}

    // Calls `f(observer, offset)` for every observer, under the lock.
    template <class F>
    void tell(F&& f) {
        std::lock_guard lock(mutex);
        const auto offset = std::chrono::duration_cast<BusObserver::Offset>(
            std::chrono::steady_clock::now() - start);
        for (BusObserver* o : observers) f(*o, offset);
    }

    int number(int& counter) {
        std::lock_guard lock(mutex);
        return counter++;
    }

    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    const std::vector<BusObserver*> observers;
    std::mutex mutex;
    int nextHandle = 1;   // guarded by mutex
    int nextMonitor = 1;  // guarded by mutex
};

namespace {

using Core = ObservedHidBus::Core;

class ObservedWriter final : public HidWriter {
public:
    ObservedWriter(std::shared_ptr<Core> core, std::unique_ptr<HidWriter> inner, std::string path,
                   int handle)
        : core_(std::move(core)), inner_(std::move(inner)), path_(std::move(path)),
          handle_(handle) {}
    ~ObservedWriter() override { close(); }

    WriteResult write(std::span<const std::uint8_t> report) override {
        // The lock is held across the write, so whatever the report causes (a reply read on
        // another thread, a removal) is told after it.
        std::lock_guard lock(core_->mutex);
        const auto offset = std::chrono::duration_cast<BusObserver::Offset>(
            std::chrono::steady_clock::now() - core_->start);
        const WriteResult result = inner_->write(report);
        for (BusObserver* o : core_->observers) o->onWrite(offset, handle_, path_, report, result);
        return result;
    }

    bool close() override {
        if (closed_) return true;
        closed_ = true;
        const bool ok = inner_->close();
        core_->tell([&](BusObserver& o, auto t) {
            o.onClose(t, HandleKind::writer, handle_, path_, ok);
        });
        return ok;
    }

private:
    std::shared_ptr<Core> core_;
    std::unique_ptr<HidWriter> inner_;
    const std::string path_;
    const int handle_;
    bool closed_ = false;  // close() is called by the owner only, never concurrently
};

class ObservedReader final : public HidReader {
public:
    ObservedReader(std::shared_ptr<Core> core, std::unique_ptr<HidReader> inner, std::string path,
                   int handle)
        : core_(std::move(core)), inner_(std::move(inner)), path_(std::move(path)),
          handle_(handle) {}
    ~ObservedReader() override { close(); }

    ReadResult read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        const ReadResult result = inner_->read(buffer, timeout);
        if (result.status == ReadStatus::timeout) return result;
        if (result.status != ReadStatus::report && result.status == lastEnd_) return result;
        lastEnd_ = result.status;
        const auto bytes = result.status == ReadStatus::report
                               ? std::span<const std::uint8_t>(buffer.data(), result.length)
                               : std::span<const std::uint8_t>();
        core_->tell([&](BusObserver& o, auto t) {
            o.onRead(t, handle_, path_, result.status, bytes);
        });
        return result;
    }

    void cancel() override { inner_->cancel(); }

    bool close() override {
        if (closed_) return true;
        closed_ = true;
        const bool ok = inner_->close();
        core_->tell([&](BusObserver& o, auto t) {
            o.onClose(t, HandleKind::reader, handle_, path_, ok);
        });
        return ok;
    }

private:
    std::shared_ptr<Core> core_;
    std::unique_ptr<HidReader> inner_;
    const std::string path_;
    const int handle_;
    ReadStatus lastEnd_ = ReadStatus::report;  // only the reading thread touches it
    bool closed_ = false;
};

class ObservedMonitor final : public HotplugMonitor {
public:
    ObservedMonitor(std::shared_ptr<Core> core, std::unique_ptr<HotplugMonitor> inner, int number)
        : core_(std::move(core)), inner_(std::move(inner)), number_(number) {}
    base::Waitable ready() const override { return inner_->ready(); }
    std::vector<Event> takeEvents() override {
        auto events = inner_->takeEvents();
        for (const auto& e : events)
            core_->tell([&](BusObserver& o, auto t) { o.onHotplug(t, number_, e.action, e.path); });
        return events;
    }

private:
    std::shared_ptr<Core> core_;
    std::unique_ptr<HotplugMonitor> inner_;
    const int number_;
};

}  // namespace

ObservedHidBus::ObservedHidBus(HidBus& inner, std::vector<BusObserver*> observers)
    : inner_(inner), core_(std::make_shared<Core>(std::move(observers))) {}

ObservedHidBus::~ObservedHidBus() = default;

std::vector<HidInterfaceInfo> ObservedHidBus::enumerate() {
    auto list = inner_.enumerate();
    core_->tell([&](BusObserver& o, auto t) { o.onEnumerate(t, list); });
    return list;
}

ProbeResult ObservedHidBus::probe(const std::string& path) {
    const auto result = inner_.probe(path);
    core_->tell([&](BusObserver& o, auto t) { o.onProbe(t, path, result); });
    return result;
}

Opened<HidWriter> ObservedHidBus::openWriter(const std::string& path) {
    auto opened = inner_.openWriter(path);
    const int handle = opened.handle ? core_->number(core_->nextHandle) : 0;
    core_->tell([&](BusObserver& o, auto t) {
        o.onOpen(t, HandleKind::writer, path, opened.status, handle);
    });
    if (opened.handle)
        opened.handle =
            std::make_unique<ObservedWriter>(core_, std::move(opened.handle), path, handle);
    return opened;
}

Opened<HidReader> ObservedHidBus::openReader(const std::string& path) {
    auto opened = inner_.openReader(path);
    const int handle = opened.handle ? core_->number(core_->nextHandle) : 0;
    core_->tell([&](BusObserver& o, auto t) {
        o.onOpen(t, HandleKind::reader, path, opened.status, handle);
    });
    if (opened.handle)
        opened.handle =
            std::make_unique<ObservedReader>(core_, std::move(opened.handle), path, handle);
    return opened;
}

std::unique_ptr<HotplugMonitor> ObservedHidBus::monitor() {
    auto inner = inner_.monitor();
    const int number = inner ? core_->number(core_->nextMonitor) : 0;
    core_->tell([&](BusObserver& o, auto t) { o.onMonitor(t, number); });
    if (!inner) return nullptr;
    return std::make_unique<ObservedMonitor>(core_, std::move(inner), number);
}

void ObservedHidBus::noteImage(const std::string& sha256, std::uint64_t size) {
    core_->tell([&](BusObserver& o, auto t) { o.onImage(t, sha256, size); });
}

void ObservedHidBus::noteEnd(int exitCode) {
    core_->tell([&](BusObserver& o, auto t) { o.onEnd(t, exitCode); });
}

}  // namespace vumo::platform
