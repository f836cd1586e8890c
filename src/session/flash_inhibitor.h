#pragma once
// Keeps the machine from sleeping, shutting down or being suspended by its lid or keys while
// devices are being flashed: a device cut off halfway starts in its update loader.
//
// A front end has one FlashInhibitor and tells it of each flash that starts and ends; it holds
// one logind lock ("Flashing VUMO-0001", or "Flashing 3 devices") while any runs and closes it
// as soon as none does. Where logind is absent or refuses (no system bus, a session over SSH),
// it says so once, through the front end's `say`, and the flashes go on without a lock; it does
// not ask again until every flash has ended.
//
// Thread-safe: a station's threads begin and end flashes; `say` is called on the thread of
// the Begin that was refused, with no lock of this object held.

#include "session/desktop_bus.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace vumo::session {

class FlashInhibitor {
public:
    using Say = std::function<void(const std::string& sentence)>;
    // Takes the lock; the default asks logind. Tests put their own in.
    using Take =
        std::function<std::unique_ptr<InhibitLock>(const std::string& why, std::string& error)>;

    explicit FlashInhibitor(Say say = {}, Take take = {});
    ~FlashInhibitor();
    FlashInhibitor(const FlashInhibitor&) = delete;
    FlashInhibitor& operator=(const FlashInhibitor&) = delete;

    // Flash `key` (a station's device id, or 0 for a single update) has started on the device
    // with this serial number. Again for a key that runs: nothing.
    void Begin(int key, const std::string& serial);
    // Flash `key` has ended, however; an unknown key: nothing.
    void End(int key);

    bool held() const;
    // What the lock says now ("" while none is held).
    std::string why() const;

    // "Flashing VUMO-0001", "Flashing 3 devices".
    static std::string ReasonFor(const std::map<int, std::string>& running);
    // The sentence said when the lock can't be had.
    static std::string RefusalSentence(const std::string& error);

private:
    // With mutex_ held: the lock made to fit the running flashes; the refusal to say, if any.
    std::string FitLocked();

    const Say say_;
    const Take take_;
    mutable std::mutex mutex_;
    std::map<int, std::string> running_;  // key -> serial
    std::unique_ptr<InhibitLock> lock_;
    std::string lockWhy_;
    bool refused_ = false;  // no asking again until every flash has ended
    bool said_ = false;     // the refusal is said once in the object's life
};

// One flash held as long as the object lives: the window's update, the command line's.
class SleepGuard {
public:
    SleepGuard(FlashInhibitor& inhibitor, const std::string& serial, int key = 0)
        : inhibitor_(inhibitor), serial_(serial), key_(key),
          started_(std::chrono::steady_clock::now()) {
        inhibitor_.Begin(key_, serial);
    }
    ~SleepGuard() { inhibitor_.End(key_); }
    SleepGuard(const SleepGuard&) = delete;
    SleepGuard& operator=(const SleepGuard&) = delete;

    // Since the flash began, for the notice of its end.
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }
    const std::string& serial() const { return serial_; }

private:
    FlashInhibitor& inhibitor_;
    const std::string serial_;
    const int key_;
    const std::chrono::steady_clock::time_point started_;
};

}  // namespace vumo::session
