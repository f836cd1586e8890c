#pragma once
// The one portable wake-up of the program: a flag that one thread sets and another waits for,
// alone or together with others, with a deadline. It stands where a descriptor for poll() stood,
// so that nothing above the platform layer needs to know what the system waits on: an eventfd
// read with poll() on Linux, an event object waited for with WaitForMultipleObjects on Windows.

#include <chrono>
#include <optional>
#include <span>

namespace vumo::base {

// What the system waits on: a descriptor that is readable while set (Linux), or a handle that is
// signalled while set (Windows).
#ifdef _WIN32
using NativeWaitable = void*;  // HANDLE
#else
using NativeWaitable = int;
#endif

// A view of something that can be waited for, owned elsewhere (a WakeEvent, the signal
// catcher's readiness, a device monitor's queue). An empty Waitable is never set; waits skip it.
class Waitable {
public:
    Waitable() = default;
    static Waitable FromNative(NativeWaitable native) { return Waitable(native); }

    bool valid() const;
    explicit operator bool() const { return valid(); }
    NativeWaitable native() const { return native_; }
    // Set now? Never blocks.
    bool isSet() const;

private:
    explicit Waitable(NativeWaitable native) : native_(native) {}
#ifdef _WIN32
    NativeWaitable native_ = nullptr;
#else
    NativeWaitable native_ = -1;
#endif
};

inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitFailed = -2;

// Waits until one of `waitables` is set or `timeout` has passed (no timeout: until one is set).
// Returns the index of a set one (the lowest when several are), kWaitTimedOut, or kWaitFailed
// when the system refused the wait. Empty entries are skipped; with none but empty ones and no
// timeout it returns kWaitFailed rather than wait for ever.
int WaitAny(std::span<const Waitable> waitables,
            std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// A manual-reset wake-up flag. signal() sets it until clear(). Safe from any thread and from
// several at once. Construction can fail (the system's limit of descriptors or handles): check
// valid(); an invalid one ignores signal() and is never set.
class WakeEvent {
public:
    WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;
    ~WakeEvent();

    bool valid() const { return waitable_.valid(); }
    explicit operator bool() const { return valid(); }
    Waitable waitable() const { return waitable_; }
    bool isSet() const { return waitable_.isSet(); }

    void signal() const;
    // A signal() racing with it is kept or consumed, never half of each.
    void clear() const;
    // Waits for this one alone; true when set within `timeout`.
    bool waitFor(std::chrono::milliseconds timeout) const {
        const Waitable self[1] = {waitable_};
        return WaitAny(self, timeout) == 0;
    }
    // Releases the system object; false when the system reported a failure. Idempotent.
    bool close();

private:
    Waitable waitable_;
};

}  // namespace vumo::base
