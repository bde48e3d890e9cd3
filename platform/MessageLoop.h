// The process's one message loop: hidden windows with FIFO posted messages,
// timers, and readiness of file descriptors, all dispatched on one thread.
//
// Contract:
//  - post() never runs a window procedure inside the call; send() runs it at
//    once. Posted messages are dispatched in posting order; a message for a
//    window destroyed meanwhile is dropped.
//  - post() is the only call that may be made from another thread (the host
//    name lookups of the socket layer use it to deliver their results).
//  - Every other call may be made from inside a handler, including
//    processMessages(), which re-enters the loop as a nested Windows message
//    loop would, and destroyWindow() of the window whose procedure is running.
//  - fd() is readable whenever something is ready (a posted message, a due
//    timer, a watched descriptor), so an outer event loop (Qt) can host this
//    one by watching fd() and calling processMessages().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using HWND = std::uint32_t;  // 0 is "no window"
constexpr HWND NullWindow = 0;

constexpr unsigned WM_TIMER = 0x0113;
constexpr unsigned WM_USER = 0x0400;

struct Message {
    unsigned msg = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::intptr_t result = 0;
};

using WindowProc = std::function<void(Message&)>;

// Readiness interest and report for watched descriptors (epoll bits).
enum FdEvents : std::uint32_t {
    FdIn = 0x001,      // EPOLLIN
    FdOut = 0x004,     // EPOLLOUT
    FdErr = 0x008,     // EPOLLERR
    FdHup = 0x010,     // EPOLLHUP
    FdRdHup = 0x2000,  // EPOLLRDHUP
    // Only in a report: FdRdHup was asked for when it was taken, so a report
    // without it means the peer had not ended its stream.
    FdRdHupWatched = 0x10000000,
};
using FdCallback = std::function<void(std::uint32_t events)>;

class MessageLoop {
public:
    static MessageLoop& instance();

    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // Hidden windows.
    HWND createWindow(WindowProc proc);
    void destroyWindow(HWND wnd);  // pending messages and timers of it are dropped
    bool isWindow(HWND wnd) const;

    // False when the window does not exist (the message is not queued).
    bool post(HWND wnd, unsigned msg, std::intptr_t wParam = 0, std::intptr_t lParam = 0);
    // Runs the procedure now; 0 when the window does not exist.
    std::intptr_t send(HWND wnd, unsigned msg, std::intptr_t wParam = 0, std::intptr_t lParam = 0);

    // Window timers as SetTimer/KillTimer: every `ms` milliseconds a WM_TIMER
    // with wParam = id is posted to the window (never two waiting at once).
    // Setting an existing id restarts it with the new interval.
    bool setTimer(HWND wnd, std::uintptr_t id, unsigned ms);
    bool killTimer(HWND wnd, std::uintptr_t id);

    // Descriptor readiness (level-triggered). The callback runs from the loop.
    void watchFd(int fd, std::uint32_t events, FdCallback cb);
    void modifyFd(int fd, std::uint32_t events);  // 0 keeps it registered but silent
    void unwatchFd(int fd);

    // Dispatch what is ready now without blocking; returns how many messages,
    // timers and descriptor callbacks ran. Re-entrant.
    int processMessages();
    // Block until something is ready (or timeoutMs passes; -1 waits without
    // limit), then dispatch it. Returns what processMessages() returns.
    int processOne(int timeoutMs);
    // Whether something becomes ready (a posted message, a due timer, a
    // watched descriptor) within the given time, looking without blocking
    // and without taking it: the next processMessages() finds it. For a
    // host that would rather look a little longer than put its thread to
    // sleep and be woken at once.
    bool readyWithin(int microseconds);
    // Run until quit(); quit() from a handler ends the innermost run().
    void run();
    void quit();
    // A quit() that no run() has taken yet: the application is ending.
    bool quitRequested() const;

    // Step the loop until pred() holds or timeoutMs passes; true when it held.
    bool runUntil(const std::function<bool()>& pred, int timeoutMs);

    int fd() const;

    // Bookkeeping for tests and benchmarks.
    std::size_t windowCount() const;
    std::size_t pendingMessages() const;

private:
    MessageLoop();
    ~MessageLoop();
    struct Impl;
    std::unique_ptr<Impl> d;
};

inline MessageLoop& loop() { return MessageLoop::instance(); }

// A component-style timer (the class library's TTimer): OnTimer runs every
// Interval ms while Enabled. Owns a hidden window; safe to destroy inside its
// own OnTimer.
class Timer {
public:
    Timer();
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void setInterval(unsigned ms);
    unsigned interval() const { return interval_; }
    void setEnabled(bool on);
    bool enabled() const { return enabled_; }

    std::function<void()> OnTimer;

private:
    void update();
    HWND wnd_ = NullWindow;
    unsigned interval_ = 1000;
    bool enabled_ = true;
};

}  // namespace platform
