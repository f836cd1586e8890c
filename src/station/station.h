#pragma once
// A production station: flashes every device present and every one that arrives, several at
// once, each by the same UpdateProcedure as a single update, and follows each device by its
// identity (serial number and port) through its mode switch and restart.
//
// Threads: the station runs a watcher (hot-plug events, handed to every running update and
// then to the supervisor) and a supervisor (decides which devices are new, starts updates,
// reaps finished ones). Each running device has its own device objects, listeners and update
// worker. Observer calls come from the supervisor and from the update workers, never while a
// lock of the station is held.

#include "base/wake_event.h"
#include "hid/hid_device.h"
#include "image/prepared_image.h"
#include "platform/hid_bus.h"
#include "update/pacer.h"
#include "update/update_procedure.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vumo::update {
class DeviceWatcher;
}

namespace vumo::station {

struct StationOptions {
    // The image every device receives, shared read-only.
    std::shared_ptr<const image::PreparedImage> image;

    int maxParallel = 0;               // devices flashed at once; 0: no limit
    std::set<std::string> serials;     // only these; empty: every device
    bool again = false;                // flash a serial again that was flashed ok in this run
    // Serials already flashed ok in this run by an earlier station (a window's Stop and Start
    // make one run of two stations): skipped as if this station had flashed them.
    std::set<std::string> flashedOk;
    int count = 0;                     // stop after this many finished; 0: until stopped
    update::Limits limits;
    update::Pauses pauses;
    update::Pacing pacing = update::Pacing::standard;
    // A pacer for each device; null: real time.
    std::function<std::unique_ptr<update::Pacer>()> makePacer;
};

// One device as the station knows it.
struct StationDevice {
    int id = 0;  // from 1, in the order the station took the devices
    std::string serial;
    std::string port;
    std::string path;              // its node when the station took it
    std::uint8_t modeAtStart = 0;  // kModeApplication or kModeUpdate
};

struct FinishedDevice {
    StationDevice device;
    update::UpdateResult result;
    std::chrono::system_clock::time_point started;
    double seconds = 0;
};

class StationObserver {
public:
    virtual ~StationObserver() = default;
    // A device the station will flash (now, or when a place is free).
    virtual void DeviceArrived(const StationDevice&) {}
    // A device the station will not flash, and why ("VUMO-0007: already flashed in this run").
    virtual void DeviceSkipped(const StationDevice&, const std::string& /*why*/) {}
    virtual void PhaseChanged(const StationDevice&, update::Phase, std::uint32_t /*block*/,
                              std::uint32_t /*blocks*/) {}
    // Once per flashed device, after the flash log (if any) has its line.
    virtual void DeviceFinished(const FinishedDevice&) {}
    // A device the station has seen left the bus (not during its own mode switch or restart).
    virtual void DeviceLeft(const StationDevice&) {}
    // Something the user should know of the station itself, in one sentence ("The device
    // monitor failed ...; it was restarted ...").
    virtual void StationNotice(const std::string& /*text*/) {}
};

// An observer that hands every report on to another one. Observers that step in between (the
// sleep inhibitor) derive from it and override only what they add to, so no report is lost.
class ForwardingStationObserver : public StationObserver {
public:
    explicit ForwardingStationObserver(StationObserver& next) : next_(next) {}
    void DeviceArrived(const StationDevice& device) override { next_.DeviceArrived(device); }
    void DeviceSkipped(const StationDevice& device, const std::string& why) override {
        next_.DeviceSkipped(device, why);
    }
    void PhaseChanged(const StationDevice& device, update::Phase phase, std::uint32_t block,
                      std::uint32_t blocks) override {
        next_.PhaseChanged(device, phase, block, blocks);
    }
    void DeviceFinished(const FinishedDevice& finished) override {
        next_.DeviceFinished(finished);
    }
    void DeviceLeft(const StationDevice& device) override { next_.DeviceLeft(device); }
    void StationNotice(const std::string& text) override { next_.StationNotice(text); }

protected:
    StationObserver& next() { return next_; }

private:
    StationObserver& next_;
};

// Called for each finished device before the observer hears of it; the front end writes its
// log line here. An error text is passed on to the observer as the result's cause.
using FinishHook = std::function<std::string(const FinishedDevice&)>;

class Station {
public:
    Station(platform::HidBus& bus, StationOptions options, StationObserver& observer,
            FinishHook onFinish = {});
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Starts watching and flashing. False with a reason when it can't (no hot-plug monitor,
    // no thread to be had).
    [[nodiscard]] bool Start(std::string& error);
    // No new device is started; the running ones finish.
    void Drain();
    // The running updates are stopped as well (each ends as interrupted).
    void Abort();
    // Takes the device known as `identity` again at the next look at the bus, whatever was
    // seen of it before and whether it was ok in this run (a retry, or "flash again"), if it is
    // present then or comes later. False when the station is stopping.
    bool Retry(const hid::DeviceIdentity& identity);
    // Set once the station is done: --count reached, or drained with none running. The front
    // end waits for it beside its signals.
    base::Waitable doneEvent() const;
    bool done() const;

    struct Counts {
        int ok = 0;
        int failed = 0;
        int running = 0;
        int waiting = 0;  // taken, waiting for a free place
    };
    Counts counts() const;
    std::vector<FinishedDevice> finished() const;

private:
    struct Job;
    class JobUi;
    struct Candidate {
        hid::DeviceListEntry entry;
        std::uint8_t mode = 0;
    };

    void HandleEvent(const platform::HotplugMonitor::Event& event);
    void SupervisorLoop();
    void Survey();
    void StartJob(const Candidate& candidate, int id);
    void JobFinished(Job& job, const update::UpdateResult& result);
    void ReapFinished();
    bool CheckDone();  // with mutex_ held
    bool OwnedByAJob(const hid::DeviceListEntry& entry) const;  // with mutex_ held
    // With mutex_ held: whether the device now on the entry's node was looked at already.
    bool Seen(const hid::DeviceListEntry& entry, std::uint8_t mode) const;
    void MarkSeen(const hid::DeviceListEntry& entry, std::uint8_t mode);  // with mutex_ held

    platform::HidBus& bus_;
    const StationOptions options_;
    StationObserver& observer_;
    FinishHook onFinish_;

    // Walks only: these objects are never opened.
    std::unique_ptr<hid::AppDevice> appScanner_;
    std::unique_ptr<hid::DfuDevice> dfuScanner_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool draining_ = false;
    bool aborted_ = false;
    bool busChanged_ = true;  // the first survey finds the devices already present
    bool recheck_ = false;    // whether the station is done may have changed
    bool done_ = false;
    int nextId_ = 1;
    int started_ = 0;
    std::vector<std::shared_ptr<Job>> jobs_;       // running or finished, not yet reaped
    std::vector<std::shared_ptr<Job>> reapable_;
    std::vector<Candidate> waiting_;               // taken, waiting for a free place
    // The devices already looked at, by the node they were on, until they leave it. The kernel
    // gives a freed node number to the next device, so what is on a node (its identity and
    // mode), not the node, says whether a device is new.
    struct SeenDevice {
        hid::DeviceIdentity identity;
        std::uint8_t mode = 0;
        std::string instance;  // which appearance on the node; a late removal of another keeps it
    };
    std::map<std::string, SeenDevice> seen_;
    std::set<std::string> flashedOk_;              // serials flashed ok in this run
    std::vector<hid::DeviceIdentity> retry_;       // devices asked for again
    struct LastSeen {
        StationDevice device;
        std::string instance;
    };
    std::map<std::string, LastSeen> lastPaths_;  // finished devices, by their last node
    std::vector<FinishedDevice> finished_;

    base::WakeEvent doneEvent_;
    std::unique_ptr<platform::HotplugMonitor> monitor_;
    std::unique_ptr<update::DeviceWatcher> watcher_;
    std::thread supervisor_;
};

// "application" or "update".
const char* ModeName(std::uint8_t mode);

}  // namespace vumo::station
