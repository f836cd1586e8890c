#pragma once
// Recognising the device's replies, and the flags they set.
//
// A reply is told by a keyword at a fixed place in the 17-byte input report (byte 0 being the
// report ID): START in bytes 6-10, END in 6-8, READY, SIZE, IMAGE and LOCAT from byte 3. The six
// tests are independent: a report that passes two has both effects, in table order. Nothing
// else in a reply is read.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>

namespace vumo::protocol {

enum ReplyTest : std::uint8_t {
    kReplyStart = 1 << 0,
    kReplyReady = 1 << 1,
    kReplySize = 1 << 2,
    kReplyEnd = 1 << 3,
    kReplyImage = 1 << 4,
    kReplyLocat = 1 << 5,
};

// The tests a report passes, as a set of ReplyTest bits. Bytes beyond the span count as
// absent, so a short report passes no test that would read past it.
std::uint8_t MatchReply(std::span<const std::uint8_t> report);

enum class Flag { ready, start, size, image, location, end };

// The six reply flags. The listener thread sets them, the update worker waits on them and
// clears some; each is one word, written whole and read afresh at every test. A waiter sleeps
// on a condition variable instead of spinning and wakes at the change, at its deadline, or
// when Interrupt() is called.
class ReplyFlags {
public:
    std::uint32_t Get(Flag f) const { return word(f).load(std::memory_order_acquire); }
    void Set(Flag f, std::uint32_t value);
    void ClearAll();
    // Applies the effects of the tests in `passed`, in order: START, READY, SIZE, END (which
    // clears START and then sets END), IMAGE, LOCAT.
    void Apply(std::uint8_t passed);

    // Waits until flag f holds `want`, `stop` becomes true, or the deadline passes; returns
    // whether the flag holds `want`.
    bool WaitFor(Flag f, std::uint32_t want, std::chrono::steady_clock::time_point deadline,
                 const std::atomic<bool>& stop) const;
    // Wakes every waiter so that it looks at its stop condition again.
    void Interrupt() const;

private:
    std::atomic<std::uint32_t>& word(Flag f);
    const std::atomic<std::uint32_t>& word(Flag f) const;
    void notify() const;

    std::atomic<std::uint32_t> ready_{0}, start_{0}, size_{0}, image_{0}, location_{0}, end_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

}  // namespace vumo::protocol
