#pragma once
// Runs a function on the dialog's thread for another thread, and makes the caller wait until it
// has run - the way the update worker changes the dialog's controls and shows its boxes.
//
// A call from another thread is queued and announced with a posted message; the dialog runs the
// queue when that message comes (RunQueued). Close() releases every waiting caller at once and
// drops what is queued: the dialog closes this before it joins the worker, so a worker that
// waits for the dialog and a dialog that waits for the worker can't hold each other forever.

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace vumo::winapp {

// The message that asks the dialog to run the queue.
inline constexpr UINT kMsgRunCalls = WM_APP + 1;

class WindowCalls {
public:
    // Calls made on the current thread run at once.
    WindowCalls();
    ~WindowCalls();  // Close()
    WindowCalls(const WindowCalls&) = delete;
    WindowCalls& operator=(const WindowCalls&) = delete;

    // The window that receives kMsgRunCalls; calls from other threads are dropped until then.
    void Attach(HWND window);
    // On the owner's thread: runs `call` at once. On any other: queues it and waits until it has
    // run, or until Close(). The function must own what it uses.
    void Run(std::function<void()> call);
    // On the owner's thread, at kMsgRunCalls.
    void RunQueued();
    // Releases every waiting caller; later calls from other threads are dropped.
    void Close();

private:
    struct Call {
        std::function<void()> function;
        bool done = false;
    };
    const DWORD ownerThread_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Call>> queue_;  // guarded by mutex_
    HWND window_ = nullptr;                    // guarded by mutex_
    bool closed_ = false;                      // guarded by mutex_
};

}  // namespace vumo::winapp
