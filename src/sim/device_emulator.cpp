#include "sim/device_emulator.h"

#include "protocol/crc32.h"
#include "protocol/firmware_image.h"
#include "protocol/replies.h"
#include "protocol/reports.h"
#include "sim/timer.h"
#include "vumo/build_config.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string_view>

namespace vumo::sim {
namespace {

using Report = std::vector<std::uint8_t>;

// A host that saw the arrival may write before attach() has handed us the path; the report then
// waits this long for it. attach() does not wait for the host, so this only bounds a bug.
constexpr std::chrono::seconds kPathWait{5};

std::size_t Index(Reply reply) { return static_cast<std::size_t>(reply); }

std::string_view ReplyText(Reply reply) {
    switch (reply) {
        case Reply::ready: return "READY";
        case Reply::location: return "LOCAT";
        case Reply::size: return "SIZE";
        case Reply::start: return "DFUSTART";
        case Reply::end: return "DFUEND";
        case Reply::image: return "IMAGE";
    }
    return {};
}

// The command's keyword where commands have it, its value byte (if any) at `valueAt`, zeros
// everywhere else. The zero tail is what tells a command from a block that starts with the same
// letters.
bool IsCommand(std::span<const std::uint8_t> r, std::string_view keyword,
               std::size_t valueAt = 0) {
    using protocol::kKeywordAt;
    if (r.size() < kKeywordAt + keyword.size()) return false;
    for (std::size_t i = 0; i < keyword.size(); ++i)
        if (r[kKeywordAt + i] != static_cast<std::uint8_t>(keyword[i])) return false;
    for (std::size_t i = kKeywordAt + keyword.size(); i < r.size(); ++i)
        if (i != valueAt && r[i] != 0) return false;
    return true;
}

bool IsModeSwitch(std::span<const std::uint8_t> r, std::uint8_t argument) {
    using protocol::kModeArgumentAt;
    if (r.size() <= kModeArgumentAt || r[protocol::kModeSwitchAt] != protocol::kModeSwitchCommand ||
        r[kModeArgumentAt] != argument)
        return false;
    return std::all_of(r.begin() + kModeArgumentAt + 1, r.end(),
                       [](std::uint8_t b) { return b == 0; });
}

bool PassesNoTest(const Report& report) {
    // The host reads a short report into a zeroed 17-byte buffer; test it the same way.
    Report padded(protocol::kInputReportLength, 0);
    std::copy_n(report.begin(), std::min(report.size(), padded.size()), padded.begin());
    return protocol::MatchReply(padded) == 0;
}

// Reports a confused or chatty device might send before the real reply: cut short, in lower
// case, one byte late, and random bytes. Only those that pass none of the host's tests are sent.
std::vector<Report> Noise(Reply reply, std::uint32_t& seed) {
    const Report real = BuildReply(reply);
    std::vector<Report> candidates;
    candidates.emplace_back(real.begin(), real.begin() + 4);
    Report lower = real;
    for (auto& b : lower) b = static_cast<std::uint8_t>(std::tolower(b));
    candidates.push_back(lower);
    Report late(real.size(), 0);
    std::copy(real.begin(), real.end() - 1, late.begin() + 1);
    candidates.push_back(late);
    Report garbage(real.size());
    for (auto& b : garbage) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    candidates.push_back(garbage);
    std::erase_if(candidates, [](const Report& r) { return !PassesNoTest(r); });
    return candidates;
}

}  // namespace

const char* ToString(Mode mode) {
    switch (mode) {
        case Mode::application: return "application";
        case Mode::update: return "update";
        case Mode::absent: return "absent";
    }
    return "?";
}

std::vector<std::uint8_t> BuildReply(Reply reply) {
    Report r(protocol::kInputReportLength, 0);
    const auto text = ReplyText(reply);
    std::copy(text.begin(), text.end(), r.begin() + 3);
    return r;
}

class DeviceEmulator::Core final : public std::enable_shared_from_this<Core> {
public:
    Core(platform::DevicePort& port, EmulatorConfig config)
        : port_(port), config_(std::move(config)), serial_(config_.serial) {
        status_.serial = serial_;
        status_.port = config_.port;
    }

    void start() {
        const Mode mode = config_.startMode == Mode::update ? Mode::update : Mode::application;
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            id = attachment_;
        }
        comeBack(id, mode);
    }

    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
        timer_.stop();
        std::string path;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return inFlight_ == 0; });
            ++attachment_;
            path = std::exchange(status_.path, {});
            status_.mode = Mode::absent;
        }
        changed_.notify_all();
        if (!path.empty()) port_.detach(path);
    }

    void onOutputReport(std::uint64_t id, std::span<const std::uint8_t> report) {
        Effects fx;
        {
            std::unique_lock lock(mutex_);
            if (closed_ || id != attachment_) return;
            changed_.wait_for(lock, kPathWait, [&] {
                return closed_ || id != attachment_ || !status_.path.empty();
            });
            if (closed_ || id != attachment_ || status_.path.empty()) return;
            if (tooSoon()) {
                ++status_.reportsDropped;
                lock.unlock();
                changed_.notify_all();
                return;
            }
            ++inFlight_;
            if (mode_ == Mode::application) handleApplication(report, fx);
            else handleUpdate(report, fx);
            fx.attachmentAfter = attachment_;
        }
        perform(id, fx);
        {
            std::lock_guard lock(mutex_);
            --inFlight_;
        }
        changed_.notify_all();
    }

    void unplug() {
        std::string path;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            path = leave();
        }
        changed_.notify_all();
        if (!path.empty()) port_.detach(path);
    }

    EmulatorStatus status() const {
        std::lock_guard lock(mutex_);
        return status_;
    }

    std::vector<std::uint8_t> firmware() const {
        std::lock_guard lock(mutex_);
        return firmware_;
    }

    bool waitUntil(const std::function<bool(const EmulatorStatus&)>& done,
                   Clock::time_point deadline) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return done(status_); });
    }

private:
    // What handling one report asks for once the lock is released.
    struct Effects {
        std::optional<Reply> reply;
        std::string detachPath;
        std::optional<Mode> returnTo;
        std::uint64_t attachmentAfter = 0;
    };

    Clock::time_point now() const { return config_.clock ? config_.clock() : Clock::now(); }

    // The loader's min-gap: a report this soon after its previous reply is dropped unseen.
    // Called with the lock held.
    bool tooSoon() const {
        if (mode_ != Mode::update || config_.faults.minGap.count() <= 0 || !lastReply_)
            return false;
        return now() - *lastReply_ < config_.faults.minGap;
    }

    void handleApplication(std::span<const std::uint8_t> r, Effects& fx) {
        if (r.size() != protocol::kAppReportLength) return;
        if (!IsModeSwitch(r, protocol::kModeUpdate)) return;
        ++status_.modeSwitches;
        fx.detachPath = leave();
        fx.returnTo = Mode::update;
    }

    void handleUpdate(std::span<const std::uint8_t> r, Effects& fx) {
        if (r.size() != protocol::kDfuReportLength) return;
        if (IsModeSwitch(r, protocol::kModeApplication)) {
            ++status_.restarts;
            fx.detachPath = leave();
            fx.returnTo = config_.faults.noBoot ? Mode::update : Mode::application;
        } else if (IsCommand(r, protocol::kReadyKeyword)) {
            if (!attachedAt_ || now() - *attachedAt_ >= config_.faults.readyAfter)
                fx.reply = Reply::ready;
        } else if (IsCommand(r, protocol::kLocationKeyword, protocol::kLocationValueAt)) {
            status_.locationCode = r[protocol::kLocationValueAt];
            fx.reply = Reply::location;
        } else if (IsCommand(r, protocol::kSizeKeyword, protocol::kSizeValueAt)) {
            status_.sizeByte = r[protocol::kSizeValueAt];
            fx.reply = Reply::size;
        } else if (IsCommand(r, protocol::kStartKeyword)) {
            status_.sessionOpen = true;
            status_.blocksReceived = 0;
            status_.blocksRejected = 0;
            blockArrivals_ = 0;
            firmware_.clear();
            fx.reply = Reply::start;
        } else if (IsCommand(r, protocol::kEndKeyword)) {
            status_.sessionOpen = false;
            fx.reply = Reply::end;
        } else if (status_.sessionOpen) {
            handleBlock(r, fx);
        }
        if (fx.reply && config_.faults.silent.contains(*fx.reply)) fx.reply.reset();
    }

    void handleBlock(std::span<const std::uint8_t> r, Effects& fx) {
        const std::uint32_t n = blockArrivals_++;
        if (config_.faults.unplugAtBlock == n) {
            // The cable comes out mid-transfer: no reply, and no way back.
            fx.detachPath = leave();
            return;
        }
        const auto data = r.subspan(protocol::kBlockDataAt, protocol::kBlockSize);
        const std::uint32_t sent = protocol::BlockCrcOf(r);
        if (protocol::BlockCrc32(data) != sent ||
            status_.blocksReceived >= protocol::kMaxBlocks) {
            ++status_.blocksRejected;
            return;
        }
        firmware_.insert(firmware_.end(), data.begin(), data.end());
        ++status_.blocksReceived;
        if (!config_.faults.silentBlocks.contains(n)) fx.reply = Reply::image;
    }

    // Off the bus, with every pending reply and return made stale. Returns the path to detach.
    // Called with the lock held.
    std::string leave() {
        ++attachment_;
        status_.sessionOpen = false;
        if (status_.path.empty()) return {};
        ++status_.departures;
        status_.mode = Mode::absent;
        return std::exchange(status_.path, {});
    }

    void perform(std::uint64_t id, const Effects& fx) {
        if (!fx.detachPath.empty()) port_.detach(fx.detachPath);
        if (fx.reply) {
            const Reply reply = *fx.reply;
            if (config_.faults.replyDelay.count() <= 0) {
                sendReply(id, reply);
            } else {
                timer_.schedule(Clock::now() + config_.faults.replyDelay,
                                [this, id, reply] { sendReply(id, reply); });
            }
        }
        if (fx.returnTo && !config_.faults.noReturn) {
            const Mode mode = *fx.returnTo;
            const std::uint64_t after = fx.attachmentAfter;
            timer_.schedule(Clock::now() + config_.returnDelay,
                            [this, after, mode] { comeBack(after, mode); });
        }
    }

    void sendReply(std::uint64_t id, Reply reply) {
        std::string path;
        std::vector<Report> reports;
        {
            std::lock_guard lock(mutex_);
            if (closed_ || id != attachment_ || status_.path.empty()) return;
            path = status_.path;
            if (config_.faults.noise) reports = Noise(reply, noiseSeed_);
            // Counted before it goes out, so that a host that has seen the reply finds it
            // counted.
            ++status_.repliesSent[Index(reply)];
            lastReply_ = now();
        }
        changed_.notify_all();
        reports.push_back(BuildReply(reply));
        for (const auto& r : reports) port_.sendInputReport(path, r);
    }

    // Attaches in `mode` unless something has happened since `expected` was current (another
    // leave, an unplug, destruction).
    void comeBack(std::uint64_t expected, Mode mode) {
        platform::DeviceDescription description;
        std::shared_ptr<platform::OutputSink> sink;
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            if (closed_ || attachment_ != expected) return;
            if (status_.arrivals > 0 && config_.faults.newSerial)
                serial_ = config_.serial + "-R" + std::to_string(status_.arrivals);
            mode_ = mode;
            lastReply_.reset();  // a loader that has just started has answered nothing yet
            attachedAt_ = now();
            id = ++attachment_;
            description = describe();
            sink = std::make_shared<Attachment>(weak_from_this(), id);
        }
        // Outside the lock: a port may deliver output reports from another thread at once.
        const std::string path = port_.attach(description, std::move(sink));
        bool stale = false;
        {
            std::lock_guard lock(mutex_);
            if (attachment_ != id) {
                stale = true;
            } else if (!path.empty()) {
                status_.path = path;
                status_.mode = mode;
                status_.serial = serial_;
                ++status_.arrivals;
            }
        }
        changed_.notify_all();
        // Unplugged while it was being plugged in.
        if (stale && !path.empty()) port_.detach(path);
    }

    platform::DeviceDescription describe() const {
        platform::DeviceDescription d;
        d.vendorId = kVendorId;
        d.serial = serial_;
        d.manufacturer = config_.manufacturer;
        d.port = config_.port;
        d.lengths.input = protocol::kInputReportLength;
        if (mode_ == Mode::update) {
            d.productId = kDfuProductId;
            d.product = config_.updateProduct;
            d.lengths.output = protocol::kDfuReportLength;
        } else {
            d.productId = kAppProductId;
            d.product = config_.applicationProduct;
            d.lengths.output = protocol::kAppReportLength;
        }
        return d;
    }

    // Output reports of one attachment. Holding the core only weakly lets the bus keep the
    // sink after the emulator has gone.
    class Attachment final : public platform::OutputSink {
    public:
        Attachment(std::weak_ptr<Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}
        void onOutputReport(std::span<const std::uint8_t> report) override {
            if (auto core = core_.lock()) core->onOutputReport(id_, report);
        }

    private:
        std::weak_ptr<Core> core_;
        std::uint64_t id_;
    };

    platform::DevicePort& port_;
    const EmulatorConfig config_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    EmulatorStatus status_;
    Mode mode_ = Mode::absent;  // what the device runs; set before it attaches
    std::string serial_;
    std::optional<Clock::time_point> attachedAt_;  // when it last came onto the bus
    // Changes at every attach and leave; reports and replies of an older attachment are stale.
    std::uint64_t attachment_ = 0;
    std::uint32_t blockArrivals_ = 0;  // block reports since DFUSTART, good or bad
    std::vector<std::uint8_t> firmware_;
    std::uint32_t noiseSeed_ = 0x2545F491;
    std::optional<Clock::time_point> lastReply_;  // when the loader last sent a reply
    int inFlight_ = 0;  // output reports being handled on the host's thread
    bool closed_ = false;

    // Last, so that it stops before anything its actions touch goes away.
    Timer timer_;
};

DeviceEmulator::DeviceEmulator(platform::DevicePort& port, EmulatorConfig config)
    : core_(std::make_shared<Core>(port, std::move(config))) {
    core_->start();
}

DeviceEmulator::~DeviceEmulator() { core_->shutdown(); }

EmulatorStatus DeviceEmulator::status() const { return core_->status(); }
Mode DeviceEmulator::mode() const { return status().mode; }
std::string DeviceEmulator::serial() const { return status().serial; }
std::string DeviceEmulator::path() const { return status().path; }
std::vector<std::uint8_t> DeviceEmulator::firmware() const { return core_->firmware(); }
std::uint32_t DeviceEmulator::blocksReceived() const { return status().blocksReceived; }
std::optional<std::uint8_t> DeviceEmulator::locationCode() const {
    return status().locationCode;
}
std::optional<std::uint8_t> DeviceEmulator::sizeByte() const { return status().sizeByte; }
std::uint32_t DeviceEmulator::modeSwitches() const { return status().modeSwitches; }
std::uint32_t DeviceEmulator::restarts() const { return status().restarts; }
std::uint32_t DeviceEmulator::repliesSent(Reply reply) const {
    return status().repliesSent[Index(reply)];
}

void DeviceEmulator::unplug() { core_->unplug(); }

bool DeviceEmulator::waitForMode(Mode mode, Clock::time_point deadline) const {
    return core_->waitUntil([mode](const EmulatorStatus& s) { return s.mode == mode; }, deadline);
}

bool DeviceEmulator::waitForBlocks(std::uint32_t count, Clock::time_point deadline) const {
    return core_->waitUntil(
        [count](const EmulatorStatus& s) { return s.blocksReceived >= count; }, deadline);
}

bool DeviceEmulator::waitForArrivals(std::uint32_t count, Clock::time_point deadline) const {
    return core_->waitUntil([count](const EmulatorStatus& s) { return s.arrivals >= count; },
                            deadline);
}

bool DeviceEmulator::waitForReplies(Reply reply, std::uint32_t count,
                                    Clock::time_point deadline) const {
    return core_->waitUntil(
        [reply, count](const EmulatorStatus& s) { return s.repliesSent[Index(reply)] >= count; },
        deadline);
}

}  // namespace vumo::sim
