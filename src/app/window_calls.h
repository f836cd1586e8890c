#pragma once
// Runs a function on a QObject's thread for another thread, and makes the caller wait until it
// has run - the way the update worker changes the window's controls and shows its boxes.
//
// Unlike a blocking queued connection, every waiting caller can be released at once by
// Close(): the window closes this before it joins the worker, so a worker that waits for the
// window and a window that waits for the worker can't hold each other forever. A call that is
// still queued when Close() comes is dropped unrun.

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace vumo::app {

class WindowCalls {
public:
    explicit WindowCalls(QObject& context);
    ~WindowCalls();  // Close()
    WindowCalls(const WindowCalls&) = delete;
    WindowCalls& operator=(const WindowCalls&) = delete;

    // On the context's thread: runs `call` at once. On any other thread: queues it to the
    // context's thread and waits until it has run, or until Close(). The function must own
    // what it uses: a released caller does not wait for it to end.
    void Run(std::function<void()> call);
    // Releases every waiting caller; from now on calls from other threads are dropped.
    void Close();
    bool closed() const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        bool closed = false;
    };
    QObject& context_;
    std::shared_ptr<State> state_;
};

}  // namespace vumo::app
