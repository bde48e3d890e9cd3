// The POP3 listener: binding and its failures, the status events, stop and
// shutdown with sessions open, the inactivity sweep on an injected clock,
// release requests, and a thousand clients at once.
#include <sys/resource.h>

#include <filesystem>

#include "platform/Clock.h"
#include "support/Pop3Fixture.h"

namespace fs = std::filesystem;
using pop3test::Peer;

namespace {

class Pop3Server : public pop3test::Pop3Fixture {
protected:
    std::vector<std::pair<bool, int>> statusPairs() const {
        std::vector<std::pair<bool, int>> v;
        for (const auto& s : statuses) v.emplace_back(s.active, s.count);
        return v;
    }
    using Pairs = std::vector<std::pair<bool, int>>;
};

// A listening socket of another program on the given port.
int occupy(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 5) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Pop3Server, StartReportsListeningOnce) {
    EXPECT_EQ(statusPairs(), (Pairs{{true, 0}}));
    EXPECT_TRUE(errors.empty());
    server->Stop();
    EXPECT_FALSE(server->IsListening());
    // Closing the listener: the change of state, then its close report.
    EXPECT_EQ(statusPairs(), (Pairs{{true, 0}, {false, 0}, {false, 0}}));
}

TEST_F(Pop3Server, PortInUseIsReportedAndTheServiceCanStartLater) {
    server->Stop();
    statuses.clear();
    int fd = occupy(port);
    ASSERT_GE(fd, 0);
    server->Start();
    EXPECT_FALSE(server->IsListening());
    EXPECT_TRUE(hasLog("Can't Bind to 127.0.0.1:" + std::to_string(port), 1));
    EXPECT_EQ(errors, (std::vector<std::uint8_t>{1}));
    for (const auto& s : statuses) EXPECT_FALSE(s.active);
    ::close(fd);
    server->Start();
    EXPECT_TRUE(server->IsListening());
    Peer p(port);
    EXPECT_EQ(p.line().substr(0, 4), "+OK ");
}

TEST_F(Pop3Server, OtherListenerErrorsAreKindTwo) {
    server->Stop();
    si().Pop3BindAddress = "192.0.2.1";  // no address of this host
    server->Start();
    EXPECT_FALSE(server->IsListening());
    EXPECT_TRUE(hasLog("Error #10049", 1));
    EXPECT_EQ(errors, (std::vector<std::uint8_t>{2}));
}

TEST_F(Pop3Server, StartWhileListeningReopensWithTheCurrentSettings) {
    const int oldPort = port;
    si().Pop3ListenPort = port = testsupport::freePort();
    statuses.clear();
    server->Start();
    EXPECT_TRUE(server->IsListening());
    EXPECT_EQ(statusPairs(), (Pairs{{false, 0}, {false, 0}, {true, 0}}));
    Peer p(port);
    EXPECT_EQ(p.line().substr(0, 4), "+OK ");
    wstest::RawPeer old;
    EXPECT_FALSE(old.connectTo(oldPort));
}

TEST_F(Pop3Server, StatusCountsSessionsBeforeTheGreeting) {
    std::vector<std::string> order;
    server->OnStatus = [&](void*, bool active, int count) {
        order.push_back("status " + std::to_string(active) + " " + std::to_string(count));
    };
    server->OnLog = [&](void*, const std::string& text, int) {
        order.push_back(text.substr(text.find('>') + 2));
    };
    {
        Peer p(port);
        EXPECT_EQ(p.line().substr(0, 4), "+OK ");
        EXPECT_EQ(p.cmd("QUIT"), "+OK Signing Off");
        EXPECT_TRUE(p.waitClosed());
        ASSERT_TRUE(waitSessions(0));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"status 1 1", "Accepted", "Connected", "Command: QUIT", "NOT Updated",
                                               "Closed", "status 1 0"}));
    server->OnStatus = nullptr;  // `order` goes before the fixture's shutdown
    server->OnLog = nullptr;
}

TEST_F(Pop3Server, StopKeepsTheSessionsGoing) {
    addUser("bob", "secret");
    Peer a(port), b(port);
    a.line();
    b.line();
    ASSERT_TRUE(waitSessions(2));
    statuses.clear();
    server->Stop();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statusPairs().back(), std::make_pair(false, 2));
    EXPECT_EQ(a.cmd("USER bob"), "+OK Send Password");
    EXPECT_EQ(b.cmd("NOOP"), "-ERR Unrecognized Command");
    wstest::RawPeer refused;
    EXPECT_FALSE(refused.connectTo(port));
    EXPECT_EQ(a.cmd("QUIT"), "+OK Signing Off");
    EXPECT_EQ(b.cmd("QUIT"), "+OK Signing Off");
    ASSERT_TRUE(waitSessions(0));
    EXPECT_EQ(statusPairs().back(), std::make_pair(false, 0));
}

TEST_F(Pop3Server, ShutdownFreesEverySession) {
    Peer a(port), b(port), c(port);
    a.line();
    b.line();
    c.line();
    ASSERT_TRUE(waitSessions(3));
    statuses.clear();
    server->Shutdown();
    EXPECT_EQ(server->ConnectionCount(), 0u);
    EXPECT_EQ(statusPairs(), (Pairs{{false, 3}, {false, 3}, {false, 2}, {false, 1}, {false, 0}}));
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    EXPECT_TRUE(c.waitClosed());
}

TEST_F(Pop3Server, DestructionFiresNothing) {
    Peer a(port);
    a.line();
    ASSERT_TRUE(waitSessions(1));
    const std::size_t before = statuses.size(), logsBefore = logs.size();
    server.reset();
    EXPECT_EQ(statuses.size(), before);
    EXPECT_EQ(logs.size(), logsBefore);
    EXPECT_TRUE(a.waitClosed());
    testsupport::stepUntil([] { return false; }, 100);  // stale notifications find nothing
}

TEST_F(Pop3Server, InactivitySweepOnTheInjectedClock) {
    platform::setNowOverride(45000.5);
    addUser("bob", "secret");
    deliver("bob", {"Subject: kept", "", "x"});
    auto busy = login("bob", "secret");
    EXPECT_EQ(busy->cmd("DELE 1"), "+OK Message 1 Deleted");
    Peer idle(port);
    idle.line();
    ASSERT_TRUE(waitSessions(2));
    // Let the greeting's "all sent" report arrive while the clock stands.
    testsupport::stepUntil([] { return platform::loop().pendingMessages() == 0; }, 1000);
    const std::int32_t idleId = server->Connections()[1]->ID;

    platform::advanceNow(890.0 / 86400);
    server->CloseIdleConnections(15);  // limit 15 x 59.616 s = 894.24 s
    EXPECT_EQ(server->ConnectionCount(), 2u);
    EXPECT_EQ(busy->cmd("NOOP"), "+OK");  // activity now
    platform::advanceNow(5.0 / 86400);    // idle: 895 s, busy: 5 s
    server->CloseIdleConnections(0);
    server->CloseIdleConnections(-3);
    EXPECT_EQ(server->ConnectionCount(), 2u);
    statuses.clear();
    server->CloseIdleConnections(15);
    ASSERT_EQ(server->ConnectionCount(), 1u);
    EXPECT_TRUE(hasLog("<POP3 ID " + std::to_string(idleId) + "> Closing due to inactivity (15 minutes).", 1));
    EXPECT_EQ(statusPairs(), (Pairs{{true, 1}}));
    EXPECT_TRUE(idle.waitClosed());
    EXPECT_TRUE(idle.quiet());  // closed without a reply

    platform::advanceNow(901.0 / 86400);  // 15 minutes and 1 second
    server->CloseIdleConnections(15);
    EXPECT_EQ(server->ConnectionCount(), 0u);
    EXPECT_TRUE(busy->waitClosed());
    EXPECT_EQ(messageFiles("bob").size(), 1u);  // a swept session deletes nothing
}

TEST_F(Pop3Server, ReleaseRequestsAreCheckedAgainstTheLiveSession) {
    Peer a(port);
    a.line();
    ASSERT_TRUE(waitSessions(1));
    TPop3Connection* s = server->Connections()[0].get();
    // A request left over from an earlier session at the same address.
    platform::loop().post(server->Handle, TPop3Server::WM_RELEASE_CONNECTION, reinterpret_cast<std::intptr_t>(s),
                          s->ID + 1);
    platform::loop().post(server->Handle, TPop3Server::WM_RELEASE_CONNECTION, 12345, 7);
    testsupport::stepUntil([] { return platform::loop().pendingMessages() == 0; }, 1000);
    EXPECT_EQ(server->ConnectionCount(), 1u);
    EXPECT_EQ(a.cmd("NOOP"), "-ERR Unrecognized Command");
    platform::loop().post(server->Handle, TPop3Server::WM_RELEASE_CONNECTION, reinterpret_cast<std::intptr_t>(s),
                          s->ID);
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(a.waitClosed());
}

TEST_F(Pop3Server, AThousandClientsAtOnce) {
    rlimit rl{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 2600 && rl.rlim_max >= 2600) {
        rl.rlim_cur = 2600;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur < 2600) GTEST_SKIP() << "not enough file descriptors";
    addUser("bob", "secret");
    deliver("bob", {"Subject: during the crowd", "", "still served"});

    std::vector<std::unique_ptr<Peer>> crowd;
    for (int i = 0; i < 1000; ++i) {
        crowd.push_back(std::make_unique<Peer>(port));
        ASSERT_GE(crowd.back()->raw().fd(), 0);
    }
    auto p = login("bob", "secret");
    EXPECT_EQ(p->cmd("RETR 1").substr(0, 4), "+OK ");
    EXPECT_EQ(p->body(), "Subject: during the crowd\r\n\r\nstill served\r\n");
    ASSERT_TRUE(waitSessions(1001, 30000));
    int greeted = 0;
    for (auto& c : crowd) greeted += c->line(10000).substr(0, 4) == "+OK ";
    EXPECT_EQ(greeted, 1000);
    EXPECT_EQ(p->cmd("QUIT"), "+OK 0 Messages Deleted.  Bye.");
    crowd.clear();
    ASSERT_TRUE(waitSessions(0, 30000));
    EXPECT_EQ(messageFiles("bob").size(), 1u);
}

}  // namespace
