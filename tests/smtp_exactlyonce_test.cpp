// A message is answered 250 or stored nowhere: the inactivity sweep and a
// stop that cannot wait any longer meet sessions whose reply waits on their
// commit, and a RCPT never claims a recipient the message did not keep.
#include "support/FlushGate.h"
#include "support/SmtpTestFixture.h"

using smtptest::RawClient;

namespace {

class ExactlyOnce : public smtptest::SmtpFixture {
protected:
    // A logged-in client whose message to bob has reached its commit.
    std::unique_ptr<RawClient> messageAtCommit(const std::string& subject, std::size_t bodyLines = 1) {
        auto c = loggedIn();
        EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
        EXPECT_EQ(cmd(*c, "RCPT TO:<bob@local.test>"), "250 Destination Accepted");
        EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
        std::string body;
        for (std::size_t i = 0; i < bodyLines; ++i) body += std::string(1022, 'x') + "\r\n";
        c->send("Subject: " + subject + "\r\n\r\n" + body + ".\r\n");
        EXPECT_TRUE(testsupport::stepUntil([&] {
            for (int i = 0; i < server->ConnectionCount(); ++i)
                if (server->Connection(i)->CommitTicket() != 0) return true;
            return false;
        }));
        return c;
    }

    // A stop that has waited long enough frees a session whose commit is
    // held in a flush: that commit is taken back, so the client that got no
    // answer stores one copy when it tries again, not two.
    void shutdownTakesBackAHeldCommit(std::size_t bodyLines = 1) {
        startServer();
        FlushGate gate;
        auto unanswered = messageAtCommit("unanswered", bodyLines);
        ASSERT_TRUE(testsupport::stepUntil([&] { return gate.holding(); }));
        EXPECT_EQ(messageFiles("bob").size(), 0u);
        server->Shutdown();
        EXPECT_EQ(server->ConnectionCount(), 0);
        EXPECT_TRUE(unanswered->waitClosed());
        EXPECT_EQ(unanswered->pending(), "");
        gate.open();

        // Commits are decided in order, and a taken-back one is gone before
        // it is reported: once the retry is answered, only it is left.
        startServer();
        auto retry = messageAtCommit("retried");
        EXPECT_EQ(retry->reply(), "250 Mail Queued for Delivery");
        ASSERT_TRUE(testsupport::stepUntil([&] { return messageFiles("bob").size() == 1; }));
        EXPECT_NE(testsupport::readFile(messageFiles("bob")[0]).find("Subject: retried"), std::string::npos);
    }
};

// The sweep runs while the commit's completion still waits in the loop: the
// session is not idle, and its client gets the 250. An idle one still goes.
TEST_F(ExactlyOnce, SweepLeavesASessionWhoseReplyWaitsOnItsCommit) {
    const double start = testsupport::fixedLocalTime();
    platform::setNowOverride(start);
    startServer();
    auto idle = loggedIn();
    auto c = messageAtCommit("swept");
    platform::setNowOverride(start + 2 * TSmtpServer::InactivityMinute);
    server->CloseIdleConnections(1);
    EXPECT_EQ(server->ConnectionCount(), 1);
    EXPECT_TRUE(idle->waitClosed());
    EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery");
    EXPECT_EQ(messageFiles("bob").size(), 1u);
}

TEST_F(ExactlyOnce, ShutdownTakesBackACommitBeforeItPlacesAnything) { shutdownTakesBackAHeldCommit(); }

// A big message is written and flushed apart, ahead of the renames.
TEST_F(ExactlyOnce, ShutdownTakesBackABigMessageWrittenAhead) { shutdownTakesBackAHeldCommit(1024); }

// Files in place may have been fetched or sent on already: a stop no longer
// takes their commit back, and the session stays to give its answer.
TEST_F(ExactlyOnce, ShutdownLetsACommitWhoseFilesAreInPlaceAnswer) {
    startServer();
    FlushGate gate(true);
    auto c = messageAtCommit("placed");
    ASSERT_TRUE(testsupport::stepUntil([&] { return gate.holding(); }));
    EXPECT_EQ(messageFiles("bob").size(), 1u);
    server->Shutdown();
    EXPECT_EQ(server->ConnectionCount(), 1);
    gate.open();
    EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery");
    EXPECT_EQ(messageFiles("bob").size(), 1u);
}

// A control byte anywhere in a local recipient's path makes it unusable, as
// in MAIL FROM: 501 at RCPT, never a 250 for a recipient that is then
// dropped.
TEST_F(ExactlyOnce, RcptWithAControlByteIsRefusedNotDropped) {
    startServer();
    auto c = loggedIn();
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
    for (const std::string path : {"<@h\x01st:bob@local.test>", "<@h\tst:bob@local.test>", "<@h\rst:bob@local.test>",
                                   "<b\x7fob@local.test>"}) {
        EXPECT_EQ(cmd(*c, "RCPT TO:" + path), "501 Forward-Path not understood") << path;
    }
    EXPECT_EQ(cmd(*c, "DATA"), "503 Please RCPT TO before DATA");
    EXPECT_EQ(cmd(*c, "RCPT TO:<bob@local.test>"), "250 Destination Accepted");
}

}  // namespace
