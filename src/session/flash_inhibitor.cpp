#include "session/flash_inhibitor.h"

#include "session/desktop_bus.h"

#include <utility>

namespace vumo::session {

FlashInhibitor::FlashInhibitor(Say say, Take take)
    : say_(std::move(say)), take_(take ? std::move(take) : Take(TakeInhibitLock)) {}

FlashInhibitor::~FlashInhibitor() = default;

std::string FlashInhibitor::ReasonFor(const std::map<int, std::string>& running) {
    if (running.size() == 1 && !running.begin()->second.empty())
        return "Flashing " + running.begin()->second;
    if (running.size() == 1) return "Flashing 1 device";
    return "Flashing " + std::to_string(running.size()) + " devices";
}

std::string FlashInhibitor::RefusalSentence(const std::string& error) {
    return "The machine is not kept from sleeping during the flash: " + error +
           ". Keep it awake and powered until the flash ends.";
}

std::string FlashInhibitor::FitLocked() {
    if (running_.empty()) {
        // No flash: the lock goes at once, and the next flash may ask again.
        lock_.reset();
        lockWhy_.clear();
        refused_ = false;
        return {};
    }
    const std::string why = ReasonFor(running_);
    if (refused_ || (lock_ && why == lockWhy_)) return {};
    std::string error;
    // The new lock before the old one goes: no moment between them without a lock.
    std::unique_ptr<InhibitLock> lock = take_(why, error);
    if (!lock) {
        if (lock_) return {};  // the lock held still covers the flashes
        refused_ = true;
        if (said_) return {};
        said_ = true;
        return RefusalSentence(error);
    }
    lock_ = std::move(lock);
    lockWhy_ = why;
    return {};
}

void FlashInhibitor::Begin(int key, const std::string& serial) {
    std::string refusal;
    {
        std::lock_guard lock(mutex_);
        if (!running_.emplace(key, serial).second) return;
        refusal = FitLocked();
    }
    if (!refusal.empty() && say_) say_(refusal);
}

void FlashInhibitor::End(int key) {
    std::lock_guard lock(mutex_);
    if (running_.erase(key) == 0) return;
    // The count has changed: the lock says so, or goes.
    [[maybe_unused]] const std::string ignored = FitLocked();
}

bool FlashInhibitor::held() const {
    std::lock_guard lock(mutex_);
    return lock_ != nullptr;
}

std::string FlashInhibitor::why() const {
    std::lock_guard lock(mutex_);
    return lockWhy_;
}

}  // namespace vumo::session
