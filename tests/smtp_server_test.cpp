// The SMTP listener: status events, the session list and its release, the
// inactivity sweep on an injected clock, Stop and Shutdown, bind failures.

#include <sys/socket.h>

#include "support/SmtpTestFixture.h"

using smtptest::RawClient;

namespace {

class SmtpServerTest : public smtptest::SmtpFixture {};

TEST_F(SmtpServerTest, PortInUseIsReportedAsBindFailure) {
    // Another listener holds the port.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);

    server->Start();
    EXPECT_FALSE(server->IsListening());
    EXPECT_TRUE(hasLog("Can't Bind to 127.0.0.1:" + std::to_string(port()), 1));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], 0);
    for (const auto& s : statuses) EXPECT_FALSE(s.active);
    ::close(fd);

    // Once the port is free a new Start listens.
    server->Start();
    EXPECT_TRUE(server->IsListening());
    ASSERT_FALSE(statuses.empty());
    EXPECT_TRUE(statuses.back().active);
    EXPECT_EQ(statuses.back().count, 0);
}

TEST_F(SmtpServerTest, OtherListenErrorsAreKindTwo) {
    si().SmtpBindAddress = "192.0.2.1";  // not an address of this host
    server->Start();
    EXPECT_FALSE(server->IsListening());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], 2);
    EXPECT_TRUE(hasLog("Error #10049", 1));
}

TEST_F(SmtpServerTest, StatusCountsSessionsBeforeTheGreeting) {
    startServer();
    statuses.clear();
    RawClient c(port());
    // The status for the new session comes before its greeting is sent.
    int greetedAt = -1;
    server->OnLog = [&](void*, const std::string& text, int) {
        if (text.find("> Connected") != std::string::npos) greetedAt = static_cast<int>(statuses.size());
    };
    EXPECT_EQ(c.reply().substr(0, 4), "220 ");
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_TRUE(statuses[0].active);
    EXPECT_EQ(statuses[0].count, 1);
    EXPECT_EQ(greetedAt, 1);
    server->OnLog = nullptr;
}

TEST_F(SmtpServerTest, StopKeepsSessionsAndShutdownFreesThem) {
    startServer();
    RawClient a(port()), b(port()), c(port());
    for (RawClient* x : {&a, &b, &c}) x->reply();
    ASSERT_EQ(server->ConnectionCount(), 3);

    statuses.clear();
    server->Stop();
    EXPECT_FALSE(server->IsListening());
    ASSERT_FALSE(statuses.empty());
    for (const auto& s : statuses) {
        EXPECT_FALSE(s.active);
        EXPECT_EQ(s.count, 3);
    }
    // The sessions still answer.
    EXPECT_EQ(cmd(a, "NOOP"), "530 SMTP Authentication is required!!");
    RawClient late(port());
    EXPECT_FALSE(late.connected() && late.reply(300) != "");

    statuses.clear();
    server->Shutdown();
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0].count, 2);
    EXPECT_EQ(statuses[1].count, 1);
    EXPECT_EQ(statuses[2].count, 0);
    // Nothing is sent to the clients; their connections just end.
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    EXPECT_EQ(a.pending(), "");
}

TEST_F(SmtpServerTest, RestartListensAgainAndKeepsSessions) {
    startServer();
    RawClient a(port());
    a.reply();
    server->Start();
    EXPECT_TRUE(server->IsListening());
    EXPECT_EQ(server->ConnectionCount(), 1);
    RawClient b(port());
    EXPECT_EQ(b.reply().substr(0, 4), "220 ");
    EXPECT_EQ(server->ConnectionCount(), 2);
}

TEST_F(SmtpServerTest, SessionIsReleasedOnceAfterItsClose) {
    startServer();
    {
        RawClient c(port());
        c.reply();
        ASSERT_EQ(server->ConnectionCount(), 1);
    }
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(hasLog("Closed", 4));
    EXPECT_EQ(statuses.back().count, 0);
}

TEST_F(SmtpServerTest, StaleReleaseFreesNothing) {
    startServer();
    RawClient a(port());
    a.reply();
    ASSERT_EQ(server->ConnectionCount(), 1);
    TSmtpConnection* s = server->Connection(0);
    const auto before = statuses.size();
    // Right object, wrong identity: as if the session had been freed and a
    // new one made at the same address.
    platform::loop().post(server->Handle, TSmtpServer::WM_RELEASE_CONNECTION, reinterpret_cast<std::intptr_t>(s),
                          s->Identity() + 1);
    // An object that is not listed at all.
    platform::loop().post(server->Handle, TSmtpServer::WM_RELEASE_CONNECTION, 12345, s->Identity());
    platform::loop().processMessages();
    EXPECT_EQ(server->ConnectionCount(), 1);
    EXPECT_EQ(statuses.size(), before);
    // The right pair frees it.
    platform::loop().post(server->Handle, TSmtpServer::WM_RELEASE_CONNECTION, reinterpret_cast<std::intptr_t>(s),
                          s->Identity());
    ASSERT_TRUE(waitSessions(0));
    EXPECT_TRUE(a.waitClosed());
}

TEST_F(SmtpServerTest, InactivitySweepCountsAMinuteAs0_00069Day) {
    startServer();
    platform::setNowOverride(46000.5);
    RawClient a(port()), b(port());
    a.reply();
    b.reply();
    ASSERT_TRUE(testsupport::stepUntil([&] {
        return server->ConnectionCount() == 2 && server->Connection(0)->LastActivity() == platform::Now() &&
               server->Connection(1)->LastActivity() == platform::Now();
    }));
    auto* first = server->Connection(0);
    const std::int32_t firstId = first->Identity();

    // Timeouts of 0 and below close nothing.
    platform::advanceNow(10.0);
    server->CloseIdleConnections(0);
    server->CloseIdleConnections(-5);
    EXPECT_EQ(server->ConnectionCount(), 2);
    platform::advanceNow(-10.0);

    // b stays active; a idles 890 s, then 895 s (the limit is 894.24 s).
    platform::advanceNow(890.0 / 86400.0);
    cmd(b, "NOOP");
    server->CloseIdleConnections(15);
    EXPECT_EQ(server->ConnectionCount(), 2);
    platform::advanceNow(5.0 / 86400.0);
    logs.clear();
    server->CloseIdleConnections(15);
    ASSERT_EQ(server->ConnectionCount(), 1);
    EXPECT_NE(server->Connection(0), first);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].text, "<SMTP ID " + std::to_string(firstId) + "> Closing due to inactivity (15 minutes).");
    EXPECT_EQ(logs[0].level, 1);
    EXPECT_EQ(logs[0].sender, server.get());
    EXPECT_TRUE(a.waitClosed());
    EXPECT_EQ(a.pending(), "");
    EXPECT_EQ(cmd(b, "NOOP"), "530 SMTP Authentication is required!!");
}

TEST_F(SmtpServerTest, ServerNameIsFormattedForReplies) {
    si().ServerName = "mail.test";
    EXPECT_EQ(server->GetServerName(), "mail.test");
    si().ServerName = "192.168.1.2";
    EXPECT_EQ(server->GetServerName(), "[192.168.1.2]");
    si().ServerName = "bad_name";
    EXPECT_EQ(server->GetServerName(), "");
}

TEST_F(SmtpServerTest, DestroyingAListeningServerWithSessionsIsQuiet) {
    startServer();
    RawClient a(port());
    a.reply();
    statuses.clear();
    logs.clear();
    server.reset();
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(logs.empty());
    EXPECT_TRUE(a.waitClosed());
}

}  // namespace
