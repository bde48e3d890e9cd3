// The message loop: ordering, re-entrancy, window lifetime, timers and the
// readiness descriptor used to host the loop inside another event loop.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "MessageLoop.h"
#include "support/TestSupport.h"

using platform::loop;
using platform::Message;
using platform::WM_USER;

namespace {

struct Recorder {
    std::vector<unsigned> seen;
    platform::HWND wnd;
    Recorder() { wnd = loop().createWindow([this](Message& m) { seen.push_back(m.msg); }); }
    ~Recorder() { loop().destroyWindow(wnd); }
};

bool fdReadable() {
    pollfd p{loop().fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

void drainLoop() {
    for (int i = 0; i < 10 && loop().processMessages() > 0;) ++i;
}

}  // namespace

TEST(MessageLoop, PostedMessagesRunLaterAndInOrder) {
    Recorder r;
    for (unsigned i = 1; i <= 5; ++i) ASSERT_TRUE(loop().post(r.wnd, WM_USER + i));
    EXPECT_TRUE(r.seen.empty());
    ASSERT_TRUE(testsupport::stepUntil([&] { return r.seen.size() == 5; }));
    EXPECT_EQ(r.seen, (std::vector<unsigned>{WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 4, WM_USER + 5}));
}

TEST(MessageLoop, SendRunsAtOnceAndReturnsResult) {
    auto w = loop().createWindow([](Message& m) { m.result = m.wParam + m.lParam; });
    EXPECT_EQ(loop().send(w, WM_USER, 40, 2), 42);
    loop().destroyWindow(w);
    EXPECT_EQ(loop().send(w, WM_USER, 40, 2), 0);
}

TEST(MessageLoop, MessagesForDestroyedWindowAreDropped) {
    auto r = std::make_unique<Recorder>();
    auto keep = std::make_unique<Recorder>();
    loop().post(r->wnd, WM_USER);
    loop().post(keep->wnd, WM_USER);
    r.reset();  // delivering its message now would touch freed memory
    EXPECT_FALSE(loop().post(12345678, WM_USER));
    ASSERT_TRUE(testsupport::stepUntil([&] { return keep->seen.size() == 1; }));
}

TEST(MessageLoop, WindowMayDestroyItselfInItsProcedure) {
    int calls = 0;
    platform::HWND w = 0;
    w = loop().createWindow([&](Message&) {
        ++calls;
        loop().destroyWindow(w);
    });
    loop().post(w, WM_USER);
    loop().post(w, WM_USER);
    drainLoop();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(loop().isWindow(w));
}

TEST(MessageLoop, ProcessMessagesIsReentrant) {
    std::vector<int> order;
    platform::HWND w = loop().createWindow([&](Message& m) {
        order.push_back(static_cast<int>(m.wParam));
        if (m.wParam == 1) loop().processMessages();  // a nested pump, as a modal loop does
    });
    loop().post(w, WM_USER, 1);
    loop().post(w, WM_USER, 2);
    loop().post(w, WM_USER, 3);
    ASSERT_TRUE(testsupport::stepUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    loop().destroyWindow(w);
}

TEST(MessageLoop, RunEndsAtQuit) {
    platform::HWND w = loop().createWindow([](Message&) { loop().quit(); });
    loop().post(w, WM_USER);
    loop().run();  // returns only because the handler asked it to
    loop().destroyWindow(w);
    SUCCEED();
}

TEST(MessageLoop, PostFromAnotherThreadWakesTheLoop) {
    Recorder r;
    std::thread t([&] { loop().post(r.wnd, WM_USER + 7); });
    t.join();
    ASSERT_TRUE(testsupport::stepUntil([&] { return r.seen.size() == 1; }));
    EXPECT_EQ(r.seen[0], WM_USER + 7);
}

TEST(MessageLoop, DescriptorIsReadableWhileSomethingIsReady) {
    drainLoop();
    EXPECT_FALSE(fdReadable());
    Recorder r;
    loop().post(r.wnd, WM_USER);
    EXPECT_TRUE(fdReadable());
    drainLoop();
    EXPECT_FALSE(fdReadable());

    // A due timer makes it readable too, so a host loop wakes for it.
    ASSERT_TRUE(loop().setTimer(r.wnd, 9, 20));
    pollfd p{loop().fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
    loop().killTimer(r.wnd, 9);
}

// Interest changed while a round runs reaches epoll by the round's end: a
// host loop waiting on the loop's descriptor must neither spin on a
// descriptor turned off nor sleep through one turned on. A descriptor turned
// off by an earlier callback of the same batch gets no callback.
TEST(MessageLoop, InterestChangedDuringARoundHoldsAfterIt) {
    drainLoop();
    int a[2], b[2];
    ASSERT_EQ(::pipe(a), 0);
    ASSERT_EQ(::pipe(b), 0);
    ASSERT_EQ(::write(a[1], "x", 1), 1);
    ASSERT_EQ(::write(b[1], "x", 1), 1);
    int calls = 0;
    const auto off = [&](std::uint32_t) {
        ++calls;
        loop().modifyFd(a[0], 0);
        loop().modifyFd(b[0], 0);
    };
    loop().watchFd(a[0], platform::FdIn, off);
    loop().watchFd(b[0], platform::FdIn, off);
    EXPECT_EQ(loop().processMessages(), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fdReadable());

    platform::HWND w = loop().createWindow([&](Message&) { loop().modifyFd(a[0], platform::FdIn); });
    loop().post(w, WM_USER);
    EXPECT_EQ(loop().processMessages(), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(fdReadable());
    loop().destroyWindow(w);
    for (int fd : {a[0], b[0]}) loop().unwatchFd(fd);
    for (int fd : {a[0], a[1], b[0], b[1]}) ::close(fd);
    drainLoop();
}

// A handler that posts wakes nobody while the round runs; whatever is still
// queued when processMessages() returns must leave the descriptor readable,
// or a host waiting on it would sleep on a waiting message.
TEST(MessageLoop, MessagesPostedByHandlersAreNeverSleptOn) {
    drainLoop();
    int left = 12;
    platform::HWND w = 0;
    w = loop().createWindow([&](Message&) {
        if (--left > 0) loop().post(w, WM_USER);
    });
    loop().post(w, WM_USER);
    for (int i = 0; i < 20 && left > 0; ++i) {
        ASSERT_TRUE(fdReadable()) << "a message waits with the descriptor quiet, " << left << " left";
        loop().processMessages();
    }
    EXPECT_EQ(left, 0);
    EXPECT_FALSE(fdReadable());
    loop().destroyWindow(w);
}

// readyWithin looks without taking: what it saw is dispatched afterwards.
TEST(MessageLoop, ReadyWithinSeesWithoutTaking) {
    drainLoop();
    EXPECT_FALSE(loop().readyWithin(200));

    Recorder r;
    std::thread t([&] { loop().post(r.wnd, WM_USER + 3); });
    t.join();
    EXPECT_TRUE(loop().readyWithin(200));
    EXPECT_TRUE(r.seen.empty());
    EXPECT_EQ(loop().processMessages(), 1);
    EXPECT_EQ(r.seen, (std::vector<unsigned>{WM_USER + 3}));

    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    int calls = 0;
    loop().watchFd(p[0], platform::FdIn, [&](std::uint32_t) {
        char c;
        calls += static_cast<int>(::read(p[0], &c, 1));
    });
    EXPECT_FALSE(loop().readyWithin(200));
    ASSERT_EQ(::write(p[1], "x", 1), 1);
    EXPECT_TRUE(loop().readyWithin(200));
    EXPECT_EQ(loop().processMessages(), 1);
    EXPECT_EQ(calls, 1);
    loop().unwatchFd(p[0]);
    ::close(p[0]);
    ::close(p[1]);
}

TEST(MessageLoop, WindowTimersRepeatUntilKilled) {
    std::vector<std::intptr_t> ids;
    platform::HWND w = loop().createWindow([&](Message& m) {
        if (m.msg == platform::WM_TIMER) ids.push_back(m.wParam);
    });
    ASSERT_TRUE(loop().setTimer(w, 5, 10));
    ASSERT_TRUE(testsupport::stepUntil([&] { return ids.size() >= 3; }));
    EXPECT_TRUE(loop().killTimer(w, 5));
    size_t n = ids.size();
    for (int i = 0; i < 5; ++i) loop().processOne(15);
    EXPECT_EQ(ids.size(), n);
    for (auto id : ids) EXPECT_EQ(id, 5);
    EXPECT_FALSE(loop().killTimer(w, 5));
    loop().destroyWindow(w);
    EXPECT_FALSE(loop().setTimer(w, 5, 10));
}

TEST(MessageLoop, TimerComponentMayBeDestroyedInItsOwnEvent) {
    auto t = std::make_unique<platform::Timer>();
    int fired = 0;
    t->setInterval(5);
    t->OnTimer = [&] {
        ++fired;
        t.reset();
    };
    ASSERT_TRUE(testsupport::stepUntil([&] { return t == nullptr; }));
    EXPECT_EQ(fired, 1);

    platform::Timer off;
    int offFired = 0;
    off.setInterval(5);
    off.OnTimer = [&] { ++offFired; };
    off.setEnabled(false);
    for (int i = 0; i < 4; ++i) loop().processOne(10);
    EXPECT_EQ(offFired, 0);
}
