// The send queue and the receive loop of the event socket over loopback.
#include <gtest/gtest.h>

#include <numeric>

#include "support/WSocketTestUtil.h"

using namespace wstest;
using testsupport::stepUntil;
namespace net = platform::net;

namespace {

using Events = std::vector<std::string>;

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

// One accepted session and the raw peer on the other end.
struct Pair {
    Acceptor srv;
    RawPeer peer;
    TWSocket* s = nullptr;
    explicit Pair(std::function<void(TWSocket&)> setup = {}) {
        srv.setup = std::move(setup);
        if (!srv.start()) return;
        peer.connectTo(srv.port);
        if (srv.waitSessions(1)) s = srv.sessions[0].get();
        drainLoop();  // the first write notification after the adoption
    }
};

TEST(WSocketSend, FiveThousandBytesLeaveInFourBlocksAndDataSentOnceLater) {
    EventLog log;
    std::vector<int> sends;
    Pair p([&](TWSocket& s) { log.attach(s); });
    ASSERT_NE(p.s, nullptr);
    p.s->OnSendData = [&](TCustomWSocket*, int n) { sends.push_back(n); };
    log.items.clear();
    const std::string data = Pattern(5000);
    EXPECT_EQ(p.s->Send(data.data(), 5000), 5000);
    EXPECT_EQ(sends, (std::vector<int>{1460, 1460, 1460, 620}));
    EXPECT_TRUE(log.items.empty()) << "OnDataSent never fires inside Send";
    EXPECT_TRUE(p.s->AllSent());
    EXPECT_EQ(p.s->SendQueueBlockCount(), 1u) << "the queue keeps one empty block";
    EXPECT_EQ(p.s->SendQueueBytes(), 0);
    ASSERT_TRUE(stepUntil([&] { return log.has("DataSent(0)"); }));
    drainLoop();
    EXPECT_EQ(log.items, (Events{"DataSent(0)"}));
    ASSERT_TRUE(p.peer.readUntilBytes(5000));
    EXPECT_EQ(p.peer.received(), data);
}

TEST(WSocketSend, SendOnClosedSocket) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    EXPECT_EQ(s.Send("x", 1), -1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(log.items, (Events{"ChangeState(wsClosed,wsClosed)", "Error(10057)"}));
    s.OnError = nullptr;
    try {
        s.SendStr("x");
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
    }
}

TEST(WSocketSend, EmptySendsQueueNothing) {
    EventLog log;
    Pair p([&](TWSocket& s) { log.attach(s); });
    ASSERT_NE(p.s, nullptr);
    log.items.clear();
    EXPECT_EQ(p.s->SendStr(""), 0);
    drainLoop();
    EXPECT_TRUE(log.items.empty()) << "an empty SendStr posts nothing";
    EXPECT_EQ(p.s->Send(nullptr, 0), 0);
    EXPECT_EQ(p.s->SendQueueBlockCount(), 0u);
    EXPECT_TRUE(p.s->AllSent());
    ASSERT_TRUE(stepUntil([&] { return log.has("DataSent(0)"); }));
}

TEST(WSocketSend, BackpressureKeepsOrderAndReportsDataSentAtTheEnd) {
    EventLog log;
    Pair p([&](TWSocket& s) { log.attach(s); });
    ASSERT_NE(p.s, nullptr);
    log.items.clear();
    const std::string data = Pattern(16 * 1024 * 1024);
    for (std::size_t off = 0; off < data.size(); off += 100000)
        p.s->SendStr(data.substr(off, 100000));
    EXPECT_FALSE(p.s->AllSent());
    EXPECT_GT(p.s->SendQueueBytes(), 0);
    drainLoop();
    EXPECT_FALSE(log.has("DataSent(0)")) << "nothing is sent while the peer does not read";
    ASSERT_TRUE(p.peer.readUntilBytes(data.size(), 30000));
    ASSERT_TRUE(stepUntil([&] { return log.has("DataSent(0)"); }));
    drainLoop();
    EXPECT_EQ(log.count("DataSent(0)"), 1);
    EXPECT_TRUE(p.peer.received() == data);
    EXPECT_EQ(p.s->SendQueueBlockCount(), 1u);
}

TEST(WSocketSend, PeerResetDuringSendClosesWithTheCode) {
    EventLog log;
    Pair p([&](TWSocket& s) { log.attach(s); });
    ASSERT_NE(p.s, nullptr);
    log.items.clear();
    const std::string data = Pattern(4 * 1024 * 1024);
    p.s->SendStr(data);
    ASSERT_FALSE(p.s->AllSent());
    ASSERT_TRUE(p.peer.readUntilBytes(10000));
    p.peer.reset();
    ASSERT_TRUE(stepUntil([&] { return p.s->State() == wsClosed; }));
    drainLoop();
    int closes = 0;
    for (const auto& e : log.items) closes += e.rfind("SessionClosed(", 0) == 0;
    EXPECT_EQ(closes, 1) << log.joined();
    EXPECT_TRUE(log.has("ChangeState(wsConnected,wsClosed)")) << log.joined();
    EXPECT_TRUE(log.has("SessionClosed(10054)") || log.has("SessionClosed(10053)"))
        << "the reset's own code is reported: " << log.joined();
    EXPECT_EQ(p.s->HSocket(), net::INVALID_SOCKET);
}

TEST(WSocketSend, LengthWithoutDataIsRefused) {
    EventLog log;
    Pair p([&](TWSocket& s) { log.attach(s); });
    ASSERT_NE(p.s, nullptr);
    log.items.clear();
    EXPECT_EQ(p.s->Send(nullptr, 1000), -1);
    EXPECT_EQ(log.items, (Events{"Error(10014)"}));
    EXPECT_EQ(p.s->SendQueueBytes(), 0);
    EXPECT_EQ(p.s->State(), wsConnected);
}

TEST(WSocketSend, SendFromOnSendDataPutsEachByteOnTheWireOnce) {
    Pair p;
    ASSERT_NE(p.s, nullptr);
    bool sentMore = false;
    p.s->OnSendData = [&](TCustomWSocket* x, int) {
        if (!sentMore) {
            sentMore = true;
            x->SendStr("B");
        }
    };
    p.s->SendStr("A");
    ASSERT_TRUE(p.peer.readUntilBytes(2));
    drainLoop();
    p.peer.readNow();
    EXPECT_EQ(p.peer.received(), "AB");
}

TEST(WSocketSend, SendAfterOwnShutdownFailsButDoesNotClose) {
    EventLog log;
    std::string got;
    Pair p([&](TWSocket& s) {
        log.attach(s);
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { got += x->ReceiveStr(); };
    });
    ASSERT_NE(p.s, nullptr);
    log.items.clear();
    p.s->ShutdownSocket(1);
    p.s->SendStr("late");
    EXPECT_EQ(log.items, (Events{"Error(10058)"}));
    EXPECT_EQ(p.s->State(), wsConnected);
    ASSERT_TRUE(p.peer.waitClosed());
    EXPECT_EQ(p.peer.received(), "");
    // Half closed: what the peer sends still comes in.
    ASSERT_TRUE(p.peer.sendAll("still here"));
    ASSERT_TRUE(stepUntil([&] { return got == "still here"; }));
    EXPECT_EQ(p.s->State(), wsConnected) << log.joined();
}

TEST(WSocketReceive, WithoutHandlerBytesAreDropped) {
    Pair p;
    ASSERT_NE(p.s, nullptr);
    ASSERT_TRUE(p.peer.sendAll(Pattern(50000)));
    ASSERT_TRUE(stepUntil([&] { return p.s->RcvdCount() == 0; }));
    drainLoop();
    EXPECT_EQ(p.s->RcvdCount(), 0);
    EXPECT_EQ(p.s->ReadCount(), 0);
    EXPECT_EQ(p.s->State(), wsConnected);
}

// Ten bytes wait in the kernel; one notification is dispatched at once.
int CallsForOneNotification(TWSocketOptions options) {
    int calls = 0;
    Pair p([&](TWSocket& s) {
        s.SetComponentOptions(options);
        s.OnDataAvailable = [&calls](TCustomWSocket* x, std::uint16_t) {
            char c;
            x->Receive(&c, 1);
            ++calls;
        };
    });
    if (!p.s) return -1;
    if (::send(p.peer.fd(), "0123456789", 10, 0) != 10) return -1;
    while (p.s->RcvdCount() < 10) {
    }
    platform::loop().send(p.s->Handle(), WM_WSOCKET_SELECT, p.s->HSocket(), net::MAKELONG(net::FD_READ, 0));
    int n = calls;
    EXPECT_EQ(p.s->ReadCount(), n);
    return n;
}

TEST(WSocketReceive, ReceiveLoopDrainsOneNotificationUnlessTurnedOff) {
    EXPECT_EQ(CallsForOneNotification({}), 10);
    EXPECT_EQ(CallsForOneNotification({wsoNoReceiveLoop}), 1);
}

TEST(WSocketReceive, ReceiveStrAndReadCount) {
    std::string got;
    int wouldBlock = 0;
    Pair p([&](TWSocket& s) {
        s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
            std::string part = x->ReceiveStr();
            if (part.empty() && x->LastError() == 10035) ++wouldBlock;
            got += part;
        };
    });
    ASSERT_NE(p.s, nullptr);
    EXPECT_EQ(p.s->ReceiveStr(), "");
    EXPECT_EQ(p.s->LastError(), 10035);
    const std::string data = Pattern(3000);
    ASSERT_TRUE(p.peer.sendAll(data));
    ASSERT_TRUE(stepUntil([&] { return got.size() == data.size(); }));
    EXPECT_EQ(got, data);
    EXPECT_EQ(p.s->ReadCount(), 3000);
}

TEST(WSocketReceive, HandlerThatNeverReadsDoesNotStallTheLoop) {
    Acceptor srv;
    int lazyCalls = 0;
    std::string echoed;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) {
        if (srv.sessions.empty()) {
            s.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++lazyCalls; };
        } else {
            s.OnDataAvailable = [](TCustomWSocket* x, std::uint16_t) { x->SendStr(x->ReceiveStr()); };
        }
    };
    RawPeer lazy(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    RawPeer busy(srv.port);
    ASSERT_TRUE(srv.waitSessions(2));
    ASSERT_TRUE(lazy.sendAll("unread bytes"));
    ASSERT_TRUE(stepUntil([&] { return lazyCalls > 0; }));
    // The loop goes quiet although the bytes stay unread.
    EXPECT_TRUE(stepUntil([] { return platform::loop().processMessages() == 0; }, 3000));
    int calls = lazyCalls;
    ASSERT_TRUE(busy.sendAll("ping"));
    ASSERT_TRUE(busy.readUntilBytes(4));
    EXPECT_EQ(busy.received(), "ping");
    EXPECT_LE(lazyCalls, calls + 1);
    EXPECT_EQ(srv.sessions[0]->RcvdCount(), 12);
}

}  // namespace
