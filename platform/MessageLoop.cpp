// epoll backend of the message loop. One epoll set holds the watched
// descriptors, an eventfd that is signalled while posted messages wait, and a
// timerfd armed for the earliest window timer; so the epoll descriptor itself
// is readable whenever anything is ready.
#include "MessageLoop.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

std::uint64_t nowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct Posted {
    HWND wnd;
    unsigned msg;
    std::intptr_t wParam;
    std::intptr_t lParam;
};

using TimerKey = std::pair<HWND, std::uintptr_t>;

struct TimerRec {
    unsigned ms;
    std::uint64_t due;
};

struct FdRec {
    std::shared_ptr<FdCallback> cb;
    std::uint32_t events;  // interest as the caller gave it
    bool inEpoll;
    std::uint32_t applied = 0;  // interest last handed to epoll
};

// Handlers must not let exceptions into the loop; if one does, it is reported
// and dropped here so that every other window and socket keeps being served.
template <class F>
void guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrin: exception escaped a %s handler: %s\n", what, e.what());
    } catch (...) {
        std::fprintf(stderr, "tavrin: exception escaped a %s handler\n", what);
    }
}

}  // namespace

struct MessageLoop::Impl {
    int epfd = -1;
    int evfd = -1;
    int tfd = -1;
    std::thread::id owner = std::this_thread::get_id();

    std::unordered_map<HWND, std::shared_ptr<WindowProc>> windows;
    HWND nextWnd = 1;

    mutable std::mutex qmu;
    std::deque<Posted> queue;

    std::map<TimerKey, TimerRec> timers;
    std::set<std::tuple<std::uint64_t, HWND, std::uintptr_t>> timerOrder;
    std::uint64_t armedFor = 0;  // due time the timerfd is armed for, 0 = disarmed

    std::unordered_map<int, FdRec> fds;
    // While a round runs, interest changes wait for its end: a socket whose
    // reading is turned off when its FD_READ is posted and on again when its
    // handler reads, in the same round, needs no epoll call at all. Every
    // wait, nested rounds' included, sees the interest brought up to date.
    int roundDepth = 0;
    std::vector<int> deferredFds;

    int quitRequests = 0;

    void signal() {
        std::uint64_t one = 1;
        ssize_t r = ::write(evfd, &one, sizeof one);
        (void)r;
    }

    void drainEventFd() {
        std::uint64_t v;
        ssize_t r = ::read(evfd, &v, sizeof v);
        (void)r;
    }

    void armTimerFd() {
        std::uint64_t due = timerOrder.empty() ? 0 : std::get<0>(*timerOrder.begin());
        if (due == armedFor) return;
        armedFor = due;
        itimerspec its{};
        if (due != 0) {
            // CLOCK_MONOTONIC and steady_clock share their origin on Linux.
            its.it_value.tv_sec = static_cast<time_t>(due / 1000);
            its.it_value.tv_nsec = static_cast<long>((due % 1000) * 1000000);
        }
        timerfd_settime(tfd, due != 0 ? TFD_TIMER_ABSTIME : 0, &its, nullptr);
    }

    void eraseTimer(std::map<TimerKey, TimerRec>::iterator it) {
        timerOrder.erase({it->second.due, it->first.first, it->first.second});
        timers.erase(it);
    }

    void applyFd(int fd, FdRec& rec) {
        // A descriptor with no interest leaves the set: epoll reports hang-ups
        // and errors even with an empty mask, which would spin the loop.
        epoll_event ev{};
        ev.events = rec.events;
        // The interest rides along, so a report tells what was asked for
        // when it was taken.
        ev.data.u64 = static_cast<std::uint32_t>(fd) | (static_cast<std::uint64_t>(rec.events) << 32);
        rec.applied = rec.events;
        if (rec.events == 0) {
            if (rec.inEpoll) epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
            rec.inEpoll = false;
        } else if (rec.inEpoll) {
            epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
        } else {
            if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0) rec.inEpoll = true;
        }
    }

    void applyDeferred() {
        for (int fd : deferredFds) {
            auto it = fds.find(fd);
            if (it != fds.end() && it->second.events != it->second.applied) applyFd(fd, it->second);
        }
        deferredFds.clear();
    }

    int waitTimeout(int timeoutMs) const {
        {
            std::lock_guard<std::mutex> lk(qmu);
            if (!queue.empty()) return 0;
        }
        if (!timerOrder.empty()) {
            std::uint64_t due = std::get<0>(*timerOrder.begin());
            std::uint64_t now = nowMs();
            int untilDue = due <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(due - now, 1u << 30));
            if (timeoutMs < 0 || untilDue < timeoutMs) return untilDue;
        }
        return timeoutMs;
    }

    int round(int timeoutMs, bool signalLeft = true);
    int dispatchPosted();
    int fireTimers();
};

int MessageLoop::Impl::fireTimers() {
    int n = 0;
    std::uint64_t now = nowMs();
    std::vector<TimerKey> due;
    for (auto& t : timerOrder) {
        if (std::get<0>(t) > now) break;
        due.emplace_back(std::get<1>(t), std::get<2>(t));
    }
    for (auto& key : due) {
        auto it = timers.find(key);
        if (it == timers.end()) continue;  // killed by an earlier timer's handler
        unsigned ms = it->second.ms;
        timerOrder.erase({it->second.due, key.first, key.second});
        it->second.due = now + (ms == 0 ? 1 : ms);
        timerOrder.insert({it->second.due, key.first, key.second});
        auto w = windows.find(key.first);
        if (w == windows.end()) continue;
        auto proc = w->second;  // keeps the procedure alive while it runs
        Message m{WM_TIMER, static_cast<std::intptr_t>(key.second), 0, 0};
        guarded("timer", [&] { (*proc)(m); });
        ++n;
    }
    armTimerFd();
    return n;
}

int MessageLoop::Impl::dispatchPosted() {
    std::size_t count;
    {
        std::lock_guard<std::mutex> lk(qmu);
        count = queue.size();
    }
    int n = 0;
    // Only what was queued when the round began: a handler that posts again
    // is served in the next round, after descriptors and timers had a turn.
    for (std::size_t i = 0; i < count; ++i) {
        Posted p;
        {
            std::lock_guard<std::mutex> lk(qmu);
            if (queue.empty()) break;  // a nested round took them
            p = queue.front();
            queue.pop_front();
        }
        auto w = windows.find(p.wnd);
        if (w == windows.end()) continue;
        auto proc = w->second;
        Message m{p.msg, p.wParam, p.lParam, 0};
        guarded("message", [&] { (*proc)(m); });
        ++n;
    }
    return n;
}

int MessageLoop::Impl::round(int timeoutMs, bool signalLeft) {
    applyDeferred();
    ++roundDepth;
    struct Leave {
        Impl* d;
        ~Leave() {
            --d->roundDepth;
            d->applyDeferred();
        }
    } leave{this};
    epoll_event evs[256];
    int wait = waitTimeout(timeoutMs);
    int got = epoll_wait(epfd, evs, 256, wait);
    int n = 0;
    bool timerDue = false;
    for (int i = 0; i < got; ++i) {
        const int fd = static_cast<int>(static_cast<std::uint32_t>(evs[i].data.u64));
        if (fd == evfd) {
            drainEventFd();
            continue;
        }
        if (fd == tfd) {
            std::uint64_t v;
            ssize_t r = ::read(tfd, &v, sizeof v);
            (void)r;
            armedFor = 0;
            timerDue = true;
            continue;
        }
        // An earlier callback of this batch may have dropped the descriptor
        // or its interest (the latter not yet handed to epoll).
        auto it = fds.find(fd);
        if (it == fds.end() || !it->second.inEpoll || it->second.events == 0) continue;
        auto cb = it->second.cb;
        std::uint32_t e = evs[i].events;
        if ((evs[i].data.u64 >> 32) & FdRdHup) e |= FdRdHupWatched;
        guarded("descriptor", [&] { (*cb)(e); });
        ++n;
    }
    if (timerDue || (!timerOrder.empty() && std::get<0>(*timerOrder.begin()) <= nowMs())) n += fireTimers();
    n += dispatchPosted();
    if (signalLeft) {
        std::lock_guard<std::mutex> lk(qmu);
        if (!queue.empty()) signal();
    }
    armTimerFd();
    return n;
}

MessageLoop::MessageLoop() : d(std::make_unique<Impl>()) {
    d->epfd = epoll_create1(EPOLL_CLOEXEC);
    d->evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    d->tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (d->epfd < 0 || d->evfd < 0 || d->tfd < 0) throw std::runtime_error("message loop: cannot create descriptors");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = d->evfd;
    epoll_ctl(d->epfd, EPOLL_CTL_ADD, d->evfd, &ev);
    ev.data.fd = d->tfd;
    epoll_ctl(d->epfd, EPOLL_CTL_ADD, d->tfd, &ev);
}

MessageLoop::~MessageLoop() {
    ::close(d->tfd);
    ::close(d->evfd);
    ::close(d->epfd);
}

MessageLoop& MessageLoop::instance() {
    // Never destroyed: lookup threads may still post while the process exits.
    static MessageLoop* loop = new MessageLoop();
    return *loop;
}

HWND MessageLoop::createWindow(WindowProc proc) {
    HWND h = d->nextWnd++;
    d->windows.emplace(h, std::make_shared<WindowProc>(std::move(proc)));
    return h;
}

void MessageLoop::destroyWindow(HWND wnd) {
    d->windows.erase(wnd);
    for (auto it = d->timers.lower_bound({wnd, 0}); it != d->timers.end() && it->first.first == wnd;)
        d->eraseTimer(it++);
}

bool MessageLoop::isWindow(HWND wnd) const { return d->windows.count(wnd) != 0; }

bool MessageLoop::post(HWND wnd, unsigned msg, std::intptr_t wParam, std::intptr_t lParam) {
    // From another thread the window table cannot be read; the message is
    // queued anyway and dropped at dispatch if the window is gone.
    const bool owner = std::this_thread::get_id() == d->owner;
    if (owner && !isWindow(wnd)) return false;
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lk(d->qmu);
        wasEmpty = d->queue.empty();
        d->queue.push_back({wnd, msg, wParam, lParam});
    }
    // Inside a round the loop itself looks at the queue before it waits
    // again (the end of every round signals what is left), so waking it
    // here would only cost a write and a read of the event descriptor.
    if (wasEmpty && !(owner && d->roundDepth > 0)) d->signal();
    return true;
}

std::intptr_t MessageLoop::send(HWND wnd, unsigned msg, std::intptr_t wParam, std::intptr_t lParam) {
    auto w = d->windows.find(wnd);
    if (w == d->windows.end()) return 0;
    auto proc = w->second;
    Message m{msg, wParam, lParam, 0};
    (*proc)(m);
    return m.result;
}

bool MessageLoop::setTimer(HWND wnd, std::uintptr_t id, unsigned ms) {
    if (!isWindow(wnd)) return false;
    auto it = d->timers.find({wnd, id});
    if (it != d->timers.end()) d->eraseTimer(it);
    std::uint64_t due = nowMs() + (ms == 0 ? 1 : ms);
    d->timers[{wnd, id}] = TimerRec{ms, due};
    d->timerOrder.insert({due, wnd, id});
    d->armTimerFd();
    return true;
}

bool MessageLoop::killTimer(HWND wnd, std::uintptr_t id) {
    auto it = d->timers.find({wnd, id});
    if (it == d->timers.end()) return false;
    d->eraseTimer(it);
    d->armTimerFd();
    return true;
}

void MessageLoop::watchFd(int fd, std::uint32_t events, FdCallback cb) {
    auto& rec = d->fds[fd];
    rec.cb = std::make_shared<FdCallback>(std::move(cb));
    rec.events = events;
    d->applyFd(fd, rec);
}

void MessageLoop::modifyFd(int fd, std::uint32_t events) {
    auto it = d->fds.find(fd);
    if (it == d->fds.end() || it->second.events == events) return;
    it->second.events = events;
    if (d->roundDepth > 0) {
        d->deferredFds.push_back(fd);
        return;
    }
    d->applyFd(fd, it->second);
}

void MessageLoop::unwatchFd(int fd) {
    auto it = d->fds.find(fd);
    if (it == d->fds.end()) return;
    if (it->second.inEpoll) epoll_ctl(d->epfd, EPOLL_CTL_DEL, fd, nullptr);
    d->fds.erase(it);
}

int MessageLoop::processMessages() {
    // Handlers often post for the next round (a send's completion notice
    // after a reply). A few rounds run here, each with its own look at the
    // descriptors and timers, rather than going back to the host's wait only
    // to be woken at once for what was just posted.
    constexpr int kRounds = 4;
    int n = 0;
    for (int i = 0; i < kRounds; ++i) {
        n += d->round(0, i + 1 == kRounds);
        if (pendingMessages() == 0) break;
    }
    return n;
}

int MessageLoop::processOne(int timeoutMs) { return d->round(timeoutMs); }

bool MessageLoop::readyWithin(int microseconds) {
    d->applyDeferred();
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    for (;;) {
        // Level-triggered: what is reported here is reported again to the
        // round that takes it.
        epoll_event ev;
        if (epoll_wait(d->epfd, &ev, 1, 0) > 0) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        // Whatever else waits for this processor (the client itself, on a
        // machine with few of them) runs first.
        sched_yield();
    }
}

void MessageLoop::run() {
    while (d->quitRequests == 0) d->round(-1);
    --d->quitRequests;
}

bool MessageLoop::quitRequested() const { return d->quitRequests > 0; }

void MessageLoop::quit() {
    ++d->quitRequests;
    d->signal();
}

bool MessageLoop::runUntil(const std::function<bool()>& pred, int timeoutMs) {
    std::uint64_t deadline = nowMs() + static_cast<std::uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
    while (!pred()) {
        std::uint64_t now = nowMs();
        if (now >= deadline) return pred();
        d->round(static_cast<int>(std::min<std::uint64_t>(deadline - now, 50)));
    }
    return true;
}

int MessageLoop::fd() const { return d->epfd; }

std::size_t MessageLoop::windowCount() const { return d->windows.size(); }

std::size_t MessageLoop::pendingMessages() const {
    std::lock_guard<std::mutex> lk(d->qmu);
    return d->queue.size();
}

// ---- Timer ---------------------------------------------------------------

Timer::Timer() {
    wnd_ = loop().createWindow([this](Message& m) {
        if (m.msg == WM_TIMER && OnTimer) {
            auto cb = OnTimer;  // the handler may replace OnTimer or destroy us
            cb();
        }
    });
    update();
}

Timer::~Timer() { loop().destroyWindow(wnd_); }

void Timer::setInterval(unsigned ms) {
    interval_ = ms;
    update();
}

void Timer::setEnabled(bool on) {
    enabled_ = on;
    update();
}

void Timer::update() {
    // As the class library's timer: an interval of 0 stops it.
    if (enabled_ && interval_ > 0)
        loop().setTimer(wnd_, 1, interval_);
    else
        loop().killTimer(wnd_, 1);
}

}  // namespace platform
