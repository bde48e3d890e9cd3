// Event orders of the event socket over loopback: adoption of an accepted
// handle, peer close, owner close, failed and successful connects, stale and
// paused notifications, background exceptions and destruction.
#include <gtest/gtest.h>

#include "support/WSocketTestUtil.h"

using namespace wstest;
using testsupport::stepUntil;
namespace net = platform::net;

namespace {

using Events = std::vector<std::string>;

// A session handler that reads everything in 1024-byte steps and logs it.
void ReadAll(TCustomWSocket& s, EventLog& log, std::string& into) {
    s.OnDataAvailable = [&log, &into](TCustomWSocket* x, std::uint16_t e) {
        char buf[1024];
        int n = x->Receive(buf, sizeof buf);
        if (n > 0) into.append(buf, static_cast<std::size_t>(n));
        log.items.push_back(Ev("DataAvailable", e));
    };
}

void ConnectTo(TCustomWSocket& s, int port) {
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.SetProto("tcp");
    s.Connect();
}

TEST(WSocketEvents, AcceptAndDupReportConnectedWithoutSessionConnected) {
    EventLog listenerLog, sessionLog;
    Acceptor srv;
    ASSERT_TRUE(srv.start());
    auto avail = srv.listener->OnSessionAvailable;
    srv.listener->OnSessionAvailable = [&](TCustomWSocket* s, std::uint16_t e) {
        listenerLog.items.push_back(Ev("SessionAvailable", e));
        avail(s, e);
    };
    srv.setup = [&](TWSocket& s) { sessionLog.attach(s); };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    EXPECT_EQ(listenerLog.items, (Events{"SessionAvailable(0)"}));
    EXPECT_EQ(sessionLog.items, (Events{"ChangeState(wsClosed,wsConnected)"}));
    drainLoop();
    EXPECT_FALSE(sessionLog.has("SessionConnected(0)"));
    EXPECT_EQ(srv.sessions[0]->State(), wsConnected);
    EXPECT_EQ(srv.sessions[0]->GetPeerAddr(), "127.0.0.1");
    EXPECT_EQ(srv.listener->State(), wsListening);
}

TEST(WSocketEvents, PeerCloseDeliversDataThenClosesOnce) {
    EventLog log;
    Acceptor srv;
    std::string got;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) {
        log.attach(s);
        ReadAll(s, log, got);
    };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    TWSocket& s = *srv.sessions[0];
    ASSERT_TRUE(peer.sendAll("hello, world"));
    peer.close();
    ASSERT_TRUE(stepUntil([&] { return s.State() == wsClosed; }));
    drainLoop();
    EXPECT_EQ(got, "hello, world");
    EXPECT_EQ(log.count("SessionClosed(0)"), 1) << log.joined();
    // The data comes first, OnSessionClosed next, then the close itself.
    auto closedAt = std::find(log.items.begin(), log.items.end(), "SessionClosed(0)");
    auto changeAt = std::find(log.items.begin(), log.items.end(), "ChangeState(wsConnected,wsClosed)");
    ASSERT_NE(changeAt, log.items.end()) << log.joined();
    EXPECT_LT(closedAt, changeAt) << log.joined();
    EXPECT_NE(std::find(log.items.begin(), closedAt, "DataAvailable(0)"), closedAt) << log.joined();
    EXPECT_EQ(log.items.back(), "ChangeState(wsConnected,wsClosed)") << log.joined();
    // Back at the defaults.
    EXPECT_EQ(s.HSocket(), net::INVALID_SOCKET);
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
}

TEST(WSocketEvents, ReadAndCloseInOneNotification) {
    EventLog log;
    std::string got;
    Acceptor srv;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) { ReadAll(s, log, got); };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    TWSocket& s = *srv.sessions[0];
    drainLoop();
    log.attach(s);
    ReadAll(s, log, got);
    ASSERT_EQ(::send(peer.fd(), "tail", 4, 0), 4);
    while (s.RcvdCount() < 4) {
    }
    platform::loop().send(s.Handle(), WM_WSOCKET_SELECT, s.HSocket(), net::MAKELONG(net::FD_READ | net::FD_CLOSE, 0));
    EXPECT_EQ(got, "tail");
    ASSERT_GE(log.items.size(), 3u) << log.joined();
    EXPECT_EQ(log.items.front(), "DataAvailable(0)");
    EXPECT_EQ(log.count("SessionClosed(0)"), 1) << log.joined();
    EXPECT_EQ(log.items.back(), "ChangeState(wsConnected,wsClosed)") << log.joined();
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketEvents, OwnerCloseInsideHandler) {
    EventLog log;
    Acceptor srv;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) {
        log.attach(s);
        s.OnDataAvailable = [&log](TCustomWSocket* x, std::uint16_t) {
            x->ReceiveStr();
            log.items.clear();
            x->Close();
        };
    };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    ASSERT_TRUE(peer.sendAll("QUIT\r\n"));
    ASSERT_TRUE(stepUntil([&] { return srv.sessions[0]->State() == wsClosed; }));
    drainLoop();
    EXPECT_EQ(log.items, (Events{"ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(srv.sessions[0]->HSocket(), net::INVALID_SOCKET);
}

TEST(WSocketEvents, FailedConnectReportsConnectedWithErrorThenCloses) {
    EventLog log;
    int port = testsupport::freePort();
    TWSocket c;
    log.attach(c);
    ConnectTo(c, port);
    EXPECT_EQ(log.items, (Events{"ChangeState(wsClosed,wsOpened)", "ChangeState(wsOpened,wsConnecting)"}));
    ASSERT_TRUE(stepUntil([&] { return log.has("SessionClosed(0)"); }));
    drainLoop();
    EXPECT_EQ(log.items, (Events{"ChangeState(wsClosed,wsOpened)", "ChangeState(wsOpened,wsConnecting)",
                                 "ChangeState(wsConnecting,wsConnected)", "SessionConnected(10061)",
                                 "ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
    EXPECT_EQ(c.State(), wsClosed);
    EXPECT_EQ(c.HSocket(), net::INVALID_SOCKET);
}

TEST(WSocketEvents, ConnectReportsSessionConnectedThenDataSent) {
    EventLog log;
    RawListener l;
    TWSocket c;
    log.attach(c);
    ConnectTo(c, l.port());
    ASSERT_TRUE(stepUntil([&] { return log.has("DataSent(0)"); }));
    EXPECT_EQ(log.items, (Events{"ChangeState(wsClosed,wsOpened)", "ChangeState(wsOpened,wsConnecting)",
                                 "ChangeState(wsConnecting,wsConnected)", "SessionConnected(0)", "DataSent(0)"}));
    // The address setters refuse while open, unless nothing changes.
    log.items.clear();
    c.SetAddr("127.0.0.1");
    EXPECT_TRUE(log.items.empty());
    c.SetAddr("127.0.0.2");
    EXPECT_EQ(c.Addr(), "127.0.0.1");
    EXPECT_EQ(log.items, (Events{"Error(0)"}));
    c.OnError = nullptr;
    try {
        c.SetPort("1");
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Cannot change Port if not closed");
    }
    EXPECT_EQ(c.GetPeerPort(), std::to_string(l.port()));
}

TEST(WSocketEvents, CloseWhileConnectingIsIgnored) {
    EventLog log;
    RawListener l;
    TWSocket c;
    log.attach(c);
    ConnectTo(c, l.port());
    ASSERT_EQ(c.State(), wsConnecting);
    platform::loop().post(c.Handle(), WM_WSOCKET_SELECT, c.HSocket(), net::MAKELONG(net::FD_CLOSE, 0));
    ASSERT_TRUE(stepUntil([&] { return log.has("SessionConnected(0)"); }));
    drainLoop();
    EXPECT_FALSE(log.has("SessionClosed(0)")) << log.joined();
    EXPECT_EQ(c.State(), wsConnected);
}

TEST(WSocketEvents, NotificationForClosedHandleChangesNothing) {
    EventLog log;
    RawListener l;
    TWSocket c;
    std::string got;
    log.attach(c);
    ReadAll(c, log, got);
    ConnectTo(c, l.port());
    ASSERT_TRUE(stepUntil([&] { return c.State() == wsConnected; }));
    const TSocket oldHandle = c.HSocket();
    const int oldFd = net::descriptorOf(oldHandle);
    // Queued before the close, dispatched after the reconnect.
    platform::loop().post(c.Handle(), WM_WSOCKET_SELECT, oldHandle,
                          net::MAKELONG(net::FD_READ | net::FD_CLOSE | net::FD_CONNECT | net::FD_WRITE, 0));
    c.Close();
    ConnectTo(c, l.port());
    ASSERT_NE(c.HSocket(), oldHandle);
    EXPECT_EQ(net::descriptorOf(c.HSocket()), oldFd) << "the kernel handed out the same descriptor";
    log.items.clear();
    ASSERT_TRUE(stepUntil([&] { return c.State() == wsConnected; }));
    drainLoop();
    EXPECT_EQ(log.items, (Events{"ChangeState(wsConnecting,wsConnected)", "SessionConnected(0)", "DataSent(0)"}));
    EXPECT_EQ(c.State(), wsConnected);
}

TEST(WSocketEvents, PausedSocketIgnoresNotificationsUntilResumed) {
    EventLog log;
    Acceptor srv;
    std::string got;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) { ReadAll(s, log, got); };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    TWSocket& s = *srv.sessions[0];
    drainLoop();
    EXPECT_EQ(s.PauseEvents(), 0);
    ASSERT_TRUE(peer.sendAll("abc"));
    platform::loop().post(s.Handle(), WM_WSOCKET_SELECT, s.HSocket(), net::MAKELONG(net::FD_READ, 0));
    drainLoop();
    EXPECT_EQ(got, "");
    EXPECT_EQ(s.ResumeEvents(), 0);
    ASSERT_TRUE(stepUntil([&] { return got == "abc"; }));
}

// The peer's data and close come in one notification and the data handler
// pauses: the close is neither lost nor reported while paused. A receive
// pause lets the send queue drain meanwhile.
TEST(WSocketEvents, CloseThatComesWhilePausedIsReportedAfterTheResume) {
    struct Row {
        const char* name;
        int (TCustomWSocket::*pause)();
        int (TCustomWSocket::*resume)();
        bool sendsWhilePaused;
    } rows[] = {
        {"events", &TCustomWSocket::PauseEvents, &TCustomWSocket::ResumeEvents, false},
        {"receiving", &TCustomWSocket::PauseReceiving, &TCustomWSocket::ResumeReceiving, true},
    };
    for (const Row& r : rows) {
        EventLog log;
        Acceptor srv;
        std::string got;
        ASSERT_TRUE(srv.start());
        srv.setup = [&](TWSocket& s) {
            log.attach(s);
            s.OnDataAvailable = [&, r](TCustomWSocket* x, std::uint16_t) {
                char c;
                if (x->Receive(&c, 1) == 1) got += c;
                if (got == "a") (x->*r.pause)();
            };
        };
        RawPeer peer(srv.port);
        ASSERT_TRUE(srv.waitSessions(1));
        TWSocket& s = *srv.sessions[0];
        drainLoop();
        log.items.clear();
        ASSERT_TRUE(peer.sendAll("abc"));
        ::shutdown(peer.fd(), SHUT_WR);  // still reading: the reply must not meet a reset
        ASSERT_TRUE(stepUntil([&] { return !got.empty(); })) << r.name;
        s.SendStr("reply");
        drainLoop();
        EXPECT_EQ(got, "a") << r.name;
        EXPECT_EQ(log.has("DataSent(0)"), r.sendsWhilePaused) << r.name << ": " << log.joined();
        EXPECT_FALSE(log.has("SessionClosed(0)")) << r.name;
        EXPECT_EQ((s.*r.resume)(), 0) << r.name;
        ASSERT_TRUE(stepUntil([&] { return log.has("SessionClosed(0)"); })) << r.name << ": " << log.joined();
        EXPECT_EQ(got, "abc") << r.name;
        EXPECT_EQ(log.count("SessionClosed(0)"), 1) << r.name;
    }
}

TEST(WSocketEvents, ExceptionInDataAvailableEndsOnlyThatLoop) {
    Acceptor srv;
    int calls = 0, bg = 0;
    std::string got;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) {
        s.OnBgException = [&](TCustomWSocket*, const std::exception&, bool&) { ++bg; };
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            char c;
            if (x->Receive(&c, 1) == 1) got += c;
            if (++calls == 1) throw std::runtime_error("handler failed");
        };
    };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    ASSERT_TRUE(peer.sendAll("abc"));
    ASSERT_TRUE(stepUntil([&] { return got == "abc"; }));
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(srv.sessions[0]->State(), wsConnected);
    ASSERT_TRUE(peer.sendAll("d"));
    ASSERT_TRUE(stepUntil([&] { return got == "abcd"; }));
}

TEST(WSocketEvents, ExceptionInOtherEventGoesToBgExceptionAndAborts) {
    EventLog log;
    Acceptor srv;
    std::string what;
    bool keepOpen = false;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) {
        log.attach(s);
        s.OnDataSent = [](TCustomWSocket*, std::uint16_t) { throw std::runtime_error("sent handler failed"); };
        s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& canClose) {
            what = e.what();
            if (keepOpen) canClose = false;
        };
    };
    // First connection: the initial write notification's handler throws and
    // the socket is aborted.
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    ASSERT_TRUE(stepUntil([&] { return srv.sessions[0]->State() == wsClosed; }));
    EXPECT_EQ(what, "sent handler failed");
    EXPECT_TRUE(log.has("ChangeState(wsConnected,wsClosed)"));
    EXPECT_TRUE(peer.waitClosed());

    // Second: the handler clears CanClose and the socket stays open.
    keepOpen = true;
    what.clear();
    RawPeer peer2(srv.port);
    ASSERT_TRUE(srv.waitSessions(2));
    ASSERT_TRUE(stepUntil([&] { return !what.empty(); }));
    drainLoop();
    EXPECT_EQ(srv.sessions[1]->State(), wsConnected);
}

TEST(WSocketEvents, TestExceptionMessage) {
    EventLog log;
    Acceptor srv;
    std::string what;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) {
        log.attach(s);
        s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool&) { what = e.what(); };
    };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    TWSocket& s = *srv.sessions[0];
    drainLoop();
    log.items.clear();
    platform::loop().post(s.Handle(), WM_WSOCKET_TEST_EXCEPTION);
    ASSERT_TRUE(stepUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(what, "Test exception in WSocket");
    EXPECT_EQ(log.items, (Events{"ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn) << "the abort's linger change is undone by the defaults";
}

TEST(WSocketEvents, DestroyingFiresChangeStateButNoSessionClosed) {
    EventLog log;
    {
        EventLog log;
        auto s = std::make_unique<TWSocket>();
        log.attach(*s);
        s.reset();
        EXPECT_TRUE(log.items.empty());
    }
    RawListener l;
    auto c = std::make_unique<TWSocket>();
    log.attach(*c);
    ConnectTo(*c, l.port());
    ASSERT_TRUE(stepUntil([&] { return c->State() == wsConnected; }));
    int fd = l.accept();
    ASSERT_GE(fd, 0);
    RawPeer peer(fd, true);
    std::size_t open = net::openSocketCount();
    log.items.clear();
    c.reset();
    EXPECT_EQ(log.items, (Events{"ChangeState(wsConnected,wsClosed)"}));
    EXPECT_EQ(net::openSocketCount(), open - 1);
    EXPECT_TRUE(peer.waitClosed());
}

TEST(WSocketEvents, DestroyInsideOwnHandlerAndRelease) {
    Acceptor srv;
    ASSERT_TRUE(srv.start());
    int live = 0;
    srv.setup = [&](TWSocket& s) {
        s.OnDataAvailable = [&srv](TCustomWSocket* x, std::uint16_t) {
            x->ReceiveStr();
            // The owner frees the socket from inside its own event.
            for (auto& p : srv.sessions)
                if (p.get() == x) p.reset();
        };
    };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    ASSERT_TRUE(peer.sendAll("x"));
    ASSERT_TRUE(stepUntil([&] { return srv.sessions[0] == nullptr; }));
    EXPECT_TRUE(peer.waitClosed());

    // Release: a socket owned by nobody frees itself through its window.
    live = WSocketLiveCount();
    RawListener l;
    auto* c = new TWSocket();
    c->OnSessionClosed = [](TCustomWSocket* x, std::uint16_t) { x->Release(); };
    ConnectTo(*c, l.port());
    ASSERT_TRUE(stepUntil([&] { return c->State() == wsConnected; }));
    EXPECT_EQ(WSocketLiveCount(), live + 1);
    c->CloseDelayed();
    ASSERT_TRUE(stepUntil([&] { return WSocketLiveCount() == live; }));
}

}  // namespace
