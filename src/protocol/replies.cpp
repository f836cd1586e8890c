#include "protocol/replies.h"

#include <string_view>
#include <utility>

namespace vumo::protocol {
namespace {

bool HasAt(std::span<const std::uint8_t> report, std::size_t at, std::string_view word) {
    if (report.size() < at + word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (report[at + i] != static_cast<std::uint8_t>(word[i])) return false;
    return true;
}

}  // namespace

std::uint8_t MatchReply(std::span<const std::uint8_t> report) {
    std::uint8_t passed = 0;
    if (HasAt(report, 6, "START")) passed |= kReplyStart;
    if (HasAt(report, 3, "READY")) passed |= kReplyReady;
    if (HasAt(report, 3, "SIZE")) passed |= kReplySize;
    if (HasAt(report, 6, "END")) passed |= kReplyEnd;
    if (HasAt(report, 3, "IMAGE")) passed |= kReplyImage;
    if (HasAt(report, 3, "LOCAT")) passed |= kReplyLocat;
    return passed;
}

std::atomic<std::uint32_t>& ReplyFlags::word(Flag f) {
    return const_cast<std::atomic<std::uint32_t>&>(std::as_const(*this).word(f));
}

const std::atomic<std::uint32_t>& ReplyFlags::word(Flag f) const {
    switch (f) {
        case Flag::ready: return ready_;
        case Flag::start: return start_;
        case Flag::size: return size_;
        case Flag::image: return image_;
        case Flag::location: return location_;
        case Flag::end: return end_;
    }
    return end_;
}

void ReplyFlags::notify() const {
    // Taking the lock orders the store before a waiter's predicate check, so no wake-up is lost.
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

void ReplyFlags::Set(Flag f, std::uint32_t value) {
    word(f).store(value, std::memory_order_release);
    notify();
}

void ReplyFlags::ClearAll() {
    for (Flag f : {Flag::ready, Flag::start, Flag::size, Flag::image, Flag::location, Flag::end})
        word(f).store(0, std::memory_order_release);
    notify();
}

void ReplyFlags::Apply(std::uint8_t passed) {
    if (passed == 0) return;
    if (passed & kReplyStart) start_.store(1, std::memory_order_release);
    if (passed & kReplyReady) ready_.store(1, std::memory_order_release);
    if (passed & kReplySize) size_.store(1, std::memory_order_release);
    if (passed & kReplyEnd) {
        start_.store(0, std::memory_order_release);
        end_.store(1, std::memory_order_release);
    }
    if (passed & kReplyImage) image_.store(1, std::memory_order_release);
    if (passed & kReplyLocat) location_.store(1, std::memory_order_release);
    notify();
}

bool ReplyFlags::WaitFor(Flag f, std::uint32_t want,
                         std::chrono::steady_clock::time_point deadline,
                         const std::atomic<bool>& stop) const {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] {
        return Get(f) == want || stop.load(std::memory_order_acquire);
    });
    return Get(f) == want;
}

void ReplyFlags::Interrupt() const { notify(); }

}  // namespace vumo::protocol
