#include "station/station.h"

#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "platform/start_thread.h"
#include "protocol/reports.h"
#include "update/device_watcher.h"

#include <algorithm>
#include <map>

namespace vumo::station {

namespace {

// Whether two records of a node are of one appearance; a bus that doesn't tell leaves it to the
// path.
bool SameAppearance(const std::string& a, const std::string& b) {
    return a.empty() || b.empty() || a == b;
}

}  // namespace

const char* ModeName(std::uint8_t mode) {
    return mode == protocol::kModeUpdate ? "update" : "application";
}

// The station's side of one device's update: no boxes to show (the result carries every
// message), phases handed on to the observer, the end handed to the station.
class Station::JobUi final : public update::UpdateEvents {
public:
    JobUi(Station& station, Job& job) : station_(station), job_(job) {}
    void PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) override;
    void Finished(const update::UpdateResult& result) override {
        station_.JobFinished(job_, result);
    }

private:
    Station& station_;
    Job& job_;
};

struct Station::Job {
    StationDevice device;
    hid::DeviceIdentity identity;
    std::chrono::system_clock::time_point started;
    std::chrono::steady_clock::time_point startedSteady;
    std::unique_ptr<hid::AppDevice> app;
    std::unique_ptr<hid::DfuDevice> dfu;
    std::unique_ptr<JobUi> ui;
    std::unique_ptr<update::UpdateProcedure> procedure;
    bool finished = false;  // guarded by the station's mutex_

    ~Job() {
        // The worker first: it uses the objects below.
        if (procedure) procedure->Stop();
        procedure.reset();
        if (app && app->isOpen()) app->Close();
        if (dfu && dfu->isOpen()) dfu->Close();
    }
};

void Station::JobUi::PhaseChanged(update::Phase phase, std::uint32_t block, std::uint32_t blocks) {
    station_.observer_.PhaseChanged(job_.device, phase, block, blocks);
}

Station::Station(platform::HidBus& bus, StationOptions options, StationObserver& observer,
                 FinishHook onFinish)
    : bus_(bus),
      options_(std::move(options)),
      observer_(observer),
      onFinish_(std::move(onFinish)),
      flashedOk_(options_.flashedOk) {}

Station::~Station() {
    Abort();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    // Events stop first, so nothing is handed to a job that is going away.
    watcher_.reset();
    if (supervisor_.joinable()) supervisor_.join();
    std::vector<std::shared_ptr<Job>> jobs;
    {
        std::lock_guard lock(mutex_);
        jobs.swap(jobs_);
        reapable_.clear();
    }
    jobs.clear();  // joins every worker
    appScanner_.reset();
    dfuScanner_.reset();
}

bool Station::Start(std::string& error) {
    if (!doneEvent_) {
        error = "the station could not make its notification event";
        return false;
    }
    appScanner_ = std::make_unique<hid::AppDevice>(bus_);
    dfuScanner_ = std::make_unique<hid::DfuDevice>(bus_);
    // Watching starts before the first survey, so a device that arrives meanwhile is not
    // missed: it is found either by the survey or by its event.
    monitor_ = bus_.monitor();
    if (!monitor_) {
        error = "device arrivals and removals can't be watched (udev monitor unavailable)";
        return false;
    }
    watcher_ = std::make_unique<update::DeviceWatcher>(
        *monitor_, [this](const platform::HotplugMonitor::Event& event) { HandleEvent(event); },
        update::DeviceWatcher::Recovery{
            [this] { return bus_.monitor(); },
            [this](const std::string& text) { observer_.StationNotice(text); }});
    if (!watcher_->running()) {
        error = watcher_->error();
        watcher_.reset();
        return false;
    }
    std::string why;
    if (!platform::StartNamedThread("station supervisor", supervisor_,
                                    [this] { SupervisorLoop(); }, &why)) {
        error = "the station's supervising thread could not be started: " + why;
        watcher_.reset();
        return false;
    }
    return true;
}

void Station::Drain() {
    {
        std::lock_guard lock(mutex_);
        draining_ = true;
        waiting_.clear();
        recheck_ = true;
    }
    wake_.notify_all();
}

void Station::Abort() {
    std::vector<std::shared_ptr<Job>> running;
    {
        std::lock_guard lock(mutex_);
        draining_ = true;
        aborted_ = true;
        waiting_.clear();
        recheck_ = true;
        for (const auto& job : jobs_)
            if (!job->finished) running.push_back(job);
    }
    // Each ends as interrupted and reports; Stop() joins the worker.
    for (const auto& job : running)
        if (job->procedure) job->procedure->Stop();
    wake_.notify_all();
}

bool Station::Retry(const hid::DeviceIdentity& identity) {
    if (!identity.known()) return false;
    {
        std::lock_guard lock(mutex_);
        if (draining_) return false;
        retry_.push_back(identity);
        busChanged_ = true;
    }
    wake_.notify_all();
    return true;
}

base::Waitable Station::doneEvent() const { return doneEvent_.waitable(); }

bool Station::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

Station::Counts Station::counts() const {
    std::lock_guard lock(mutex_);
    Counts c;
    for (const auto& f : finished_)
        (f.result.outcome == update::Outcome::ok ? c.ok : c.failed)++;
    for (const auto& job : jobs_)
        if (!job->finished) ++c.running;
    c.waiting = static_cast<int>(waiting_.size());
    return c;
}

std::vector<FinishedDevice> Station::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void Station::HandleEvent(const platform::HotplugMonitor::Event& event) {
    // Every running update hears of every change first and acts only on its own device; the
    // supervisor then sees what is left over: devices that are new to the station.
    std::vector<std::shared_ptr<Job>> jobs;
    {
        std::lock_guard lock(mutex_);
        for (const auto& job : jobs_)
            if (!job->finished) jobs.push_back(job);
    }
    for (const auto& job : jobs)
        if (job->procedure) update::ForwardDeviceChange(*job->procedure, event);
    std::optional<StationDevice> left;
    {
        std::lock_guard lock(mutex_);
        if (event.action == platform::HotplugMonitor::Action::removal) {
            // Node numbers are reused at once: by the time a removal is handled, the bus may
            // hold a newer appearance on that node (a device's own return after its restart
            // takes the number its loader had), recorded already; the removal is not of that.
            const auto isTheOneThatLeft = [&](const std::string& instance) {
                return SameAppearance(instance, event.instance);
            };
            if (const auto it = seen_.find(event.path);
                it != seen_.end() && isTheOneThatLeft(it->second.instance))
                seen_.erase(it);
            std::erase_if(waiting_, [&](const Candidate& c) {
                return c.entry.path == event.path && isTheOneThatLeft(c.entry.instance);
            });
            if (const auto it = lastPaths_.find(event.path);
                it != lastPaths_.end() && isTheOneThatLeft(it->second.instance)) {
                left = it->second.device;
                lastPaths_.erase(it);
            }
        }
        busChanged_ = true;
    }
    if (left) observer_.DeviceLeft(*left);
    wake_.notify_all();
}

bool Station::OwnedByAJob(const hid::DeviceListEntry& entry) const {
    for (const auto& job : jobs_) {
        if (!job->finished && hid::IsSameDevice(job->identity, entry)) return true;
    }
    return false;
}

bool Station::Seen(const hid::DeviceListEntry& entry, std::uint8_t mode) const {
    const auto it = seen_.find(entry.path);
    return it != seen_.end() && it->second.mode == mode &&
           it->second.identity.serial == entry.serial && it->second.identity.port == entry.port &&
           SameAppearance(it->second.instance, entry.instance);
}

void Station::MarkSeen(const hid::DeviceListEntry& entry, std::uint8_t mode) {
    seen_[entry.path] = {{entry.serial, entry.port}, mode, entry.instance};
}

void Station::Survey() {
    // Both walks before the lock: the bus's I/O needs no guarding.
    std::vector<Candidate> present;
    for (auto& e : appScanner_->Scan()) present.push_back({std::move(e), protocol::kModeApplication});
    for (auto& e : dfuScanner_->Scan()) present.push_back({std::move(e), protocol::kModeUpdate});

    struct Verdict {
        StationDevice device;
        std::string skipped;  // empty: taken
    };
    std::vector<Verdict> verdicts;
    std::vector<std::pair<Candidate, int>> toStart;
    {
        std::lock_guard lock(mutex_);
        // Two present devices with one serial number and nothing else to tell them apart:
        // which is which can't be known, so neither is flashed.
        std::map<std::string, int> twins;
        for (std::size_t i = 0; i < present.size(); ++i) {
            const auto& a = present[i].entry;
            if (a.serial.empty()) continue;
            for (std::size_t j = 0; j < present.size(); ++j) {
                const auto& b = present[j].entry;
                if (i == j || a.serial != b.serial) continue;
                if (a.port.empty() || b.port.empty() || a.port == b.port) ++twins[a.serial];
            }
        }
        for (const auto& candidate : present) {
            const auto& e = candidate.entry;
            // Asked for again: found by its identity, taken whatever was seen of it before.
            const auto again = std::find_if(retry_.begin(), retry_.end(), [&](const auto& identity) {
                return hid::IsSameDevice(identity, e);
            });
            const bool running = std::any_of(jobs_.begin(), jobs_.end(), [&](const auto& job) {
                return !job->finished && hid::IsSameDevice(job->identity, e);
            });
            if (again != retry_.end() && !draining_ && !running) {
                lastPaths_.erase(e.path);  // its new job says where it is last seen
                retry_.erase(again);
                MarkSeen(e, candidate.mode);
                waiting_.push_back(candidate);
                continue;
            }
            if (Seen(e, candidate.mode)) continue;
            // A running update's own device (back in update mode, or booted): whether it is
            // new once that update has ended is decided then.
            if (OwnedByAJob(e)) continue;
            if (!options_.serials.empty() && options_.serials.count(e.serial) == 0) {
                // Not one of ours to flash; say nothing about every keyboard-like stranger.
                MarkSeen(e, candidate.mode);
                continue;
            }
            if (draining_) continue;
            StationDevice device{0, e.serial, e.port, e.path, candidate.mode};
            if (twins.count(e.serial) != 0) {
                MarkSeen(e, candidate.mode);
                verdicts.push_back({device, e.serial + ": another device with this serial number "
                                            "is present and their ports can't tell them apart; "
                                            "neither is flashed"});
                continue;
            }
            if (!e.serial.empty() && !options_.again && flashedOk_.count(e.serial) != 0) {
                MarkSeen(e, candidate.mode);
                verdicts.push_back({device, e.serial + ": already flashed in this run"});
                continue;
            }
            // Enough taken for --count: left alone, and never taken once the count is reached.
            if (options_.count > 0 &&
                started_ + static_cast<int>(waiting_.size()) >= options_.count)
                continue;
            MarkSeen(e, candidate.mode);
            waiting_.push_back(candidate);
        }
        // Start what the limit allows, oldest first.
        int running = 0;
        for (const auto& job : jobs_)
            if (!job->finished) ++running;
        while (!waiting_.empty() && !draining_ &&
               (options_.maxParallel <= 0 || running < options_.maxParallel)) {
            toStart.emplace_back(waiting_.front(), nextId_++);
            waiting_.erase(waiting_.begin());
            ++running;
            ++started_;
        }
    }
    for (const auto& v : verdicts) observer_.DeviceSkipped(v.device, v.skipped);
    for (const auto& [candidate, id] : toStart) StartJob(candidate, id);
}

void Station::StartJob(const Candidate& candidate, int id) {
    auto job = std::make_shared<Job>();
    job->device = {id, candidate.entry.serial, candidate.entry.port, candidate.entry.path,
                   candidate.mode};
    job->identity = {candidate.entry.serial, candidate.entry.port};
    job->started = std::chrono::system_clock::now();
    job->startedSteady = std::chrono::steady_clock::now();
    job->app = std::make_unique<hid::AppDevice>(bus_);
    job->dfu = std::make_unique<hid::DfuDevice>(bus_);
    job->ui = std::make_unique<JobUi>(*this, *job);
    update::Checks checks;
    checks.confirmBoot = true;
    // Several devices switch at once: "the only new device" could be another's.
    checks.requireIdentity = true;
    job->procedure = std::make_unique<update::UpdateProcedure>(
        *job->app, *job->dfu, *job->ui,
        options_.makePacer ? options_.makePacer()
                           : std::make_unique<update::RealPacer>(options_.pacing),
        options_.limits, options_.pauses, checks);
    {
        // Registered before it is announced, and in the same step as the look at the abort:
        // an Abort() either comes first (the device is left alone, as a waiting one is) or
        // finds the job and stops it.
        std::lock_guard lock(mutex_);
        if (aborted_) {
            --started_;
            return;
        }
        jobs_.push_back(job);
    }
    observer_.DeviceArrived(job->device);

    const auto refuse = [&](const std::string& message, const std::string& cause) {
        update::UpdateResult result;
        bool aborted = false;
        {
            std::lock_guard lock(mutex_);
            aborted = aborted_;
        }
        result.outcome = aborted ? update::Outcome::interrupted : update::Outcome::failed;
        result.step = update::Step::open;
        result.message = message;
        result.cause = cause;
        result.explanation = {cause, {}};
        result.serial = job->device.serial;
        result.port = job->device.port;
        result.blocks = options_.image ? options_.image->image.blockCount : 0;
        result.location = options_.image ? options_.image->location : 0;
        JobFinished(*job, result);
    };
    hid::HidDevice& object = candidate.mode == protocol::kModeUpdate
                                 ? static_cast<hid::HidDevice&>(*job->dfu)
                                 : static_cast<hid::HidDevice&>(*job->app);
    if (!object.listenerStarted()) return refuse("The device could not be opened.", object.startError());
    const std::uint8_t opened = object.OpenIdentity(candidate.entry.path, candidate.entry.serial,
                                                   candidate.entry.port);
    if (opened != hid::kOpenOk) {
        return refuse("Open Error (code : " + std::to_string(opened) + ")",
                      opened == hid::kOpenWrongDevice
                          ? candidate.entry.path + " names another device now"
                          : std::string(platform::describe(object.lastOpenStatus())) + " on " +
                                candidate.entry.path);
    }
    if (!job->procedure->Start()) return refuse("The update could not be started.", job->procedure->startError());
    job->procedure->setOpenMode(candidate.mode);
    job->procedure->StartSecondStage({options_.image, job->identity, candidate.mode});
}

void Station::JobFinished(Job& job, const update::UpdateResult& result) {
    FinishedDevice finished;
    finished.device = job.device;
    finished.result = result;
    finished.started = job.started;
    finished.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                     job.startedSteady)
                           .count();
    // The log has its line before anyone is told the outcome.
    if (onFinish_) {
        const std::string problem = onFinish_(finished);
        if (!problem.empty()) {
            for (std::string* cause : {&finished.result.cause, &finished.result.explanation.text}) {
                if (!cause->empty()) *cause += "; ";
                *cause += problem;
            }
        }
    }
    const std::string booted = job.procedure ? job.procedure->bootedPath() : std::string{};
    // Where the device was last seen, so that its departure can be told to the front end.
    // Its nodes were held by the job, so no survey has taken them; without this a device that
    // failed and stays on the bus would be taken as new once the job lets go of it.
    std::vector<std::string> held{job.device.path};
    if (job.dfu) held.push_back(job.dfu->openPath());
    if (job.app) held.push_back(job.app->openPath());
    std::string last = booted;
    for (const auto& path : held)
        if (last.empty() && !path.empty()) last = path;
    if (!booted.empty()) held.push_back(booted);
    {
        std::lock_guard lock(mutex_);
        job.finished = true;
        // Only what is still there, carrying this device's identity: a node whose removal has
        // been handled already stays free for whatever arrives on it next (this device plugged
        // in again, or another). The walk is made under the lock so that a removal from now on
        // is handled after it, and clears what it records.
        for (const auto& info : bus_.enumerate()) {
            if (std::find(held.begin(), held.end(), info.path) == held.end()) continue;
            hid::DeviceListEntry entry;
            entry.path = info.path;
            entry.serial = hid::TruncateUtf16Units(info.serial, hid::kMaxStringUnits);
            entry.port = info.port;
            entry.instance = info.instance;
            if (!hid::IsSameDevice(job.identity, entry)) continue;
            // Its departure from there is told to the front end; one that has left already
            // was the job's own.
            if (info.path == last) lastPaths_[last] = {job.device, info.instance};
            if (info.productId == appScanner_->productId())
                MarkSeen(entry, protocol::kModeApplication);
            else if (info.productId == dfuScanner_->productId())
                MarkSeen(entry, protocol::kModeUpdate);
        }
        if (result.outcome == update::Outcome::ok && !job.device.serial.empty())
            flashedOk_.insert(job.device.serial);
        finished_.push_back(finished);
        for (const auto& j : jobs_)
            if (j.get() == &job) reapable_.push_back(j);
        busChanged_ = true;  // a place is free
    }
    observer_.DeviceFinished(finished);
    wake_.notify_all();
}

void Station::ReapFinished() {
    std::vector<std::shared_ptr<Job>> reap;
    {
        std::lock_guard lock(mutex_);
        reap.swap(reapable_);
        for (const auto& job : reap) std::erase(jobs_, job);
    }
    // Destroying a job joins its worker; never under the lock, which the worker may want.
    reap.clear();
}

bool Station::CheckDone() {
    if (done_) return false;
    int running = 0;
    for (const auto& job : jobs_)
        if (!job->finished) ++running;
    const bool countReached =
        options_.count > 0 && static_cast<int>(finished_.size()) >= options_.count;
    if (countReached) draining_ = true;
    if (!(countReached || draining_) || running != 0) return false;
    done_ = true;
    return true;
}

void Station::SupervisorLoop() {
    for (;;) {
        bool survey = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] {
                return stop_ || busChanged_ || recheck_ || !reapable_.empty();
            });
            if (stop_) return;
            survey = busChanged_ && !done_;
            busChanged_ = false;
            recheck_ = false;
        }
        ReapFinished();
        if (survey) Survey();
        bool nowDone = false;
        {
            std::lock_guard lock(mutex_);
            nowDone = CheckDone();
        }
        if (nowDone) doneEvent_.signal();
    }
}

}  // namespace vumo::station
