// The SMTP dialogue against the real server on loopback: greeting, the
// authentication gate, AUTH LOGIN, the envelope and its access rules, the
// message text, delivery and its failure, VRFY, EXPN and line splitting.

#include <sys/stat.h>

#include "support/SmtpTestFixture.h"

using smtptest::RawClient;

namespace {

class SmtpSession : public smtptest::SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        startServer();
    }
};

TEST_F(SmtpSession, GreetingFollowsBannerLevel) {
    struct Row {
        int level;
        const char* greeting;
    } rows[] = {
        {0, "220 mail.test Tavrin 1.4.0.0 ESMTP Ready."},
        {1, "220 mail.test Tavrin ESMTP Ready."},
        {2, "220 mail.test ESMTP Ready."},
        {7, "220 mail.test Tavrin ESMTP Ready."},
    };
    for (const Row& r : rows) {
        si().BannerLevel = static_cast<std::uint8_t>(r.level);
        RawClient c(port());
        EXPECT_EQ(c.reply(), r.greeting) << "banner level " << r.level;
    }
    // An address literal server name is written in brackets.
    si().ServerName = "10.0.0.1";
    si().BannerLevel = 2;
    RawClient c(port());
    EXPECT_EQ(c.reply(), "220 [10.0.0.1] ESMTP Ready.");
}

TEST_F(SmtpSession, GateRefusesEverythingBeforeAuthentication) {
    RawClient c(port());
    c.reply();
    // QUIT right after the greeting: refused, and the connection stays.
    EXPECT_EQ(cmd(c, "QUIT"), "530 SMTP Authentication is required!!");
    EXPECT_EQ(cmd(c, "HELO client.test"), "530 SMTP Authentication is required!!");
    // AUTH LOGIN before EHLO: not recognized, and the state stays "connected".
    EXPECT_EQ(cmd(c, "AUTH LOGIN"), "500 Command not recognized.");
    EXPECT_EQ(cmd(c, "EHLO client.test"), "250-AUTH=LOGIN\n250-AUTH LOGIN\n250 OK");
    EXPECT_EQ(cmd(c, "MAIL FROM:<alice@local.test>"), "530 SMTP Authentication is required!!");
    // An initial response on the AUTH line splits into the word AUTH.
    EXPECT_EQ(cmd(c, "AUTH LOGIN YWxpY2U="), "530 SMTP Authentication is required!!");
    // A second EHLO is not recognized.
    EXPECT_EQ(cmd(c, "EHLO again"), "500 Command not recognized.");
    // AUTH PLAIN answers "334 OK" and keeps nothing: the next line is a command.
    EXPECT_EQ(cmd(c, "AUTH PLAIN"), "334 OK");
    EXPECT_EQ(cmd(c, Base64Encode(std::string("\0alice\0secret", 13))), "530 SMTP Authentication is required!!");
    EXPECT_TRUE(hasLog("Address client.test BANNED", 5));
    EXPECT_TRUE(hasLog("User client.test at 127.0.0.1 OK", 6));
    EXPECT_EQ(server->ConnectionCount(), 1);
}

TEST_F(SmtpSession, AuthLoginInLowerCaseSucceeds) {
    RawClient c(port());
    c.reply();
    cmd(c, "EHLO x");
    EXPECT_EQ(cmd(c, "auth login"), "334 VXNlcm5hbWU6");
    EXPECT_EQ(cmd(c, Base64Encode("bob")), "334 UGFzc3dvcmQ6");
    EXPECT_EQ(cmd(c, Base64Encode("hunter2")), "235 SMTP Authentication successful");
    // A second exchange tests the stored pair again at once.
    EXPECT_EQ(cmd(c, "AUTH LOGIN"), "334 VXNlcm5hbWU6");
    EXPECT_EQ(cmd(c, "anything"), "235 SMTP Authentication successful");
    EXPECT_EQ(cmd(c, "NOOP"), "250 OK");
}

TEST_F(SmtpSession, FailedAuthenticationClosesTheConnection) {
    TPop3UserInformation empty;
    ASSERT_TRUE(empty.SaveUser("nopass"));
    std::filesystem::create_directories(si().MailBoxPath + "bare");
    struct Row {
        const char* name;
        std::string user, password;
    } rows[] = {
        {"wrong password", "alice", "Secret"},
        {"unknown user", "nobody", "secret"},
        {"password case matters", "bob", "HUNTER2"},
        {"empty stored password", "nopass", ""},
        {"user folder without information file", "bare", ""},
        {"path outside the mailbox folder", "../alice", "secret"},
    };
    for (const Row& r : rows) {
        RawClient c(port());
        c.reply();
        cmd(c, "EHLO peer");
        cmd(c, "AUTH LOGIN");
        cmd(c, Base64Encode(r.user));
        // A password that decodes to nothing is sent as a line too short to decode.
        c.send((r.password.empty() ? std::string("=") : Base64Encode(r.password)) + "\r\nNOOP\r\n");
        EXPECT_EQ(c.reply(), "535 SMTP Authentication fail.") << r.name;
        EXPECT_TRUE(c.waitClosed()) << r.name;
    }
    EXPECT_TRUE(hasLog("Address peer Authentication fail", 5));
    // The NOOP after the 535 is not taken: the session only waits for its
    // reply to leave, and then closes.
    EXPECT_FALSE(hasLog("Socket Error", 3));
    EXPECT_FALSE(hasLog("Command not recognized", 5));
    EXPECT_TRUE(waitSessions(0));
}

// QUIT after a long pipelined exchange whose replies the client has not read
// yet: the 221 and every reply before it arrive before the connection ends.
TEST_F(SmtpSession, QuitAfterALongPipelinedExchangeArrivesWhole) {
    auto c = loggedIn();
    ASSERT_TRUE(waitSessions(1));
    TWSocket& socket = server->Connection(0)->Socket();
    std::string batch;
    for (int i = 0; i < 1000; ++i) batch += "NOOP\r\n";
    int noops = 0;
    // Until the kernel's buffers are full and replies wait in the session.
    while (socket.SendQueueBytes() == 0 && noops < 1000000) {
        ASSERT_TRUE(c->send(batch));
        noops += 1000;
        testsupport::stepUntil([] { return platform::loop().processMessages() == 0; }, 2000);
    }
    ASSERT_GT(socket.SendQueueBytes(), 0);
    c->send("QUIT\r\n");
    ASSERT_TRUE(testsupport::stepUntil([&] { return hasLog("Closing connection", 4); }));
    ASSERT_TRUE(c->waitClosed(30000));
    std::string expected;
    for (int i = 0; i < noops; ++i) expected += "250 OK\r\n";
    expected += "221 OK, Closed\r\n";
    const std::string& got = c->pending();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_TRUE(waitSessions(0));
}

TEST_F(SmtpSession, EnvelopeErrors) {
    auto c = loggedIn();
    EXPECT_EQ(cmd(*c, "RCPT TO:<bob@local.test>"), "503 Please Mail From before RCPT");
    EXPECT_EQ(cmd(*c, "DATA"), "503 Please RCPT TO before DATA");
    EXPECT_EQ(cmd(*c, "MAIL <alice@local.test>"), "501 Mail From?");
    EXPECT_EQ(cmd(*c, "MAIL TO:<alice@local.test>"), "501 Mail From?");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test"), "501 Reverse-Path not understood");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice>"), "501 Reverse-Path not understood");
    // A bare LF or CR would put lines of the client's choosing into the
    // stored message and into the agent's MAIL FROM.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<@h:a\nX-Spam-Flag: NO\nalice@local.test>"), "501 Reverse-Path not understood");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test\r>"), "501 Reverse-Path not understood");
    EXPECT_TRUE(hasLog("Missing :", 5));
    EXPECT_TRUE(hasLog("Missing FROM", 5));
    EXPECT_TRUE(hasLog("Bad Reverse Path", 5));

    // The empty reverse path is a sender; words after the path are ignored.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<>"), "250 Sender Accepted");
    EXPECT_TRUE(hasLog("Mail From (<>) accepted", 6));
    EXPECT_EQ(cmd(*c, "RCPT TO:<nobody@local.test>"), "550 Destination Not Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<bob@LOCAL.test>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<someone@far.example>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<bob>"), "501 Forward-Path not understood");
    // Still in the envelope after the refusals above.
    EXPECT_EQ(cmd(*c, "RCPT TO:<alice@local.test>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "RCPT <alice@local.test>"), "501 Mail To?");
    // "501 Mail To?" returns to state 1: DATA is now out of order.
    EXPECT_EQ(cmd(*c, "DATA"), "503 Please RCPT TO before DATA");
    // A new MAIL FROM drops the earlier recipients.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test> SIZE=100"), "250 Sender Accepted");
    EXPECT_EQ(cmd(*c, "DATA"), "503 Please RCPT TO before DATA");
    EXPECT_EQ(cmd(*c, "RCPT FROM:<bob@local.test>"), "501 Mail To?");
    EXPECT_TRUE(hasLog("Missing TO", 5));
    EXPECT_TRUE(hasLog("Receiver BAD", 5));
    EXPECT_TRUE(hasLog("Mail To is Local", 8));
    EXPECT_TRUE(hasLog("Command: RCPT (TO:<bob@LOCAL.test>)", 4));
}

// A foreign recipient is taken only when the queue file will hold it so that
// the agent reads back the same recipient; one named again is taken once.
TEST_F(SmtpSession, RecipientsTheQueueCannotHoldAreRefusedAndRepeatsTakenOnce) {
    const std::string refused = "501 Forward-Path not understood", taken = "250 Destination Accepted";
    const struct {
        std::string path;
        const std::string& reply;
    } rows[] = {
        {"<x@under_score.test>", refused},
        {"<\"a\\\"b\"@remote.test>", refused},
        {"<@:a:b@remote.test>", refused},
        {"<x@[a b]>", refused},
        {"<x@>", refused},
        {"<@remote.test>", refused},
        {"<a\nb@remote.test>", refused},
        {"<" + std::string(250, 'x') + "@remote.test>", refused},
        {"<\"a b\"@remote.test>", taken},
        {"<@[10.1.2.3]:x@remote.test>", taken},
        {"<x@remote.test>", taken},
        {"<x@REMOTE.test>", taken},  // the same recipient again
        {"<X@remote.test>", taken},  // a foreign local part keeps its case
        {"<bob@local.test>", taken},
        {"<BOB@local.test>", taken},  // the same local mailbox again
        {"<bob@LOCAL.TEST>", taken},
    };
    auto c = loggedIn();
    ASSERT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
    for (const auto& r : rows) EXPECT_EQ(cmd(*c, "RCPT TO:" + r.path), r.reply) << r.path;
    EXPECT_EQ(countLogs("Bad Forward Path"), 8);
    ASSERT_EQ(cmd(*c, "DATA"), "354 Start Mail Input, end with <CRLF>.<CRLF>");
    EXPECT_EQ(cmd(*c, "Subject: once\r\n\r\nbody\r\n."), "250 Mail Queued for Delivery");

    EXPECT_EQ(messageFiles("bob").size(), 1u);
    const auto queued = queueFiles();
    ASSERT_EQ(queued.size(), 1u);
    const std::string text = testsupport::readFile(queued[0]);
    EXPECT_NE(text.find("[Forward Path]\r\nTo=<\"a b\"@remote.test>\r\nTo=<@[10.1.2.3]:x@remote.test>\r\n"
                        "To=<x@remote.test>\r\nTo=<X@remote.test>\r\n\r\n"),
              std::string::npos)
        << text;
}

TEST_F(SmtpSession, CommandsOutOfStateDropBackAndQuitCloses) {
    auto c = loggedIn();
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
    EXPECT_EQ(cmd(*c, "NOOP"), "500 Command not recognized.");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
    EXPECT_EQ(cmd(*c, "QUIT"), "500 Command not recognized.");
    EXPECT_EQ(cmd(*c, "VRFY bob"), "250 Bob <bob@mail.test>");
    EXPECT_EQ(cmd(*c, "HELP"), "502 No Help Available");
    EXPECT_EQ(cmd(*c, "TURN"), "502 TURN not permitted.");
    EXPECT_EQ(cmd(*c, "SEND"), "502 SEND not implemented.");
    EXPECT_EQ(cmd(*c, "SOML"), "502 SOML not implemented.");
    EXPECT_EQ(cmd(*c, "SAML"), "502 SAML not implemented.");
    EXPECT_EQ(cmd(*c, "XYZZY"), "500 Command not recognized.");
    EXPECT_EQ(cmd(*c, "RSET"), "250 Ready.");
    EXPECT_TRUE(hasLog("Connection Reset", 6));
    EXPECT_EQ(cmd(*c, "QUIT"), "221 OK, Closed");
    EXPECT_TRUE(c->waitClosed());
    EXPECT_TRUE(hasLog("Closing connection", 4));
    EXPECT_TRUE(waitSessions(0));
    EXPECT_TRUE(hasLog("Closed", 4));
}

TEST_F(SmtpSession, BannedSenders) {
    si().BannedDomains = {"spam.example"};
    si().BannedMailboxes = {"evil"};
    si().BannedAddresses = {"bad.example", "10.9.*"};
    auto c = loggedIn();
    // Lists off: nothing refused.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<evil@spam.example>"), "250 Sender Accepted");
    cmd(*c, "RSET");

    si().BanDomains = true;
    si().BanMailboxes = true;
    si().BanAddresses = true;
    EXPECT_EQ(cmd(*c, "MAIL FROM:<someone@SPAM.example>"), "550 Sender Not Accepted: Domain (SPAM.example) Banned");
    // Both matching: the mailbox rule comes later and names the reason.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<evil@spam.example>"), "550 Sender Not Accepted: Mailbox (evil) Banned");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<x@bad.example>"), "550 Sender Not Accepted: Address (bad.example) Banned");
    EXPECT_TRUE(hasLog("Sender BAD (Address (bad.example) Banned)", 5));
    // A refused sender leaves the session in state 1.
    EXPECT_EQ(cmd(*c, "RCPT TO:<bob@local.test>"), "503 Please Mail From before RCPT");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
}

TEST_F(SmtpSession, BannedPeerAddressIsRefusedAtAccept) {
    si().BannedAddresses = {"127.0.*"};
    si().BanAddresses = true;
    RawClient c(port());
    EXPECT_EQ(c.reply(), "221 mail.test Closing Channel, Address banned.");
    EXPECT_TRUE(c.waitClosed());
    EXPECT_TRUE(hasLog("Address 127.0.0.1 BANNED", 5));
    EXPECT_TRUE(waitSessions(0));
}

TEST_F(SmtpSession, RelayRestrictionAndRecipientLimit) {
    si().Restrict = true;
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<someone@far.example>");
    cmd(*c, "RCPT TO:<other@far.example>");
    EXPECT_EQ(cmd(*c, "DATA"), "451 Error in processing: Domain or user NOT Accepted");
    EXPECT_TRUE(hasLog("Mail Rejected: Domain or user NOT Accepted", 5));
    // The refusal cleared the envelope.
    EXPECT_EQ(cmd(*c, "DATA"), "503 Please RCPT TO before DATA");

    // Allowed: a local user as sender, a local recipient, an accepted peer.
    cmd(*c, "MAIL FROM:<alice@local.test>");
    cmd(*c, "RCPT TO:<other@far.example>");
    EXPECT_EQ(cmd(*c, "DATA"), "354 Start Mail Input, end with <CRLF>.<CRLF>");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
    cmd(*c, "MAIL FROM:<someone@far.example>");
    cmd(*c, "RCPT TO:<bob@local.test>");
    EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");

    si().Restrict = false;
    si().ApplyToMaximum = true;
    si().ToMaximum = 2;
    cmd(*c, "MAIL FROM:<alice@local.test>");
    for (const char* r : {"RCPT TO:<a@far.example>", "RCPT TO:<b@far.example>", "RCPT TO:<c@far.example>"})
        EXPECT_EQ(cmd(*c, r), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "DATA"), "451 Error in processing: Too Many Recipients (3 > 2)");
    // A limit of 0 is no limit.
    si().ToMaximum = 0;
    cmd(*c, "MAIL FROM:<alice@local.test>");
    for (const char* r : {"RCPT TO:<a@far.example>", "RCPT TO:<b@far.example>", "RCPT TO:<c@far.example>"})
        cmd(*c, r);
    EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
}

TEST_F(SmtpSession, AcceptedPeerMayRelay) {
    si().Restrict = true;
    si().AcceptedDomains = {"127.0.0.*"};
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<someone@far.example>");
    cmd(*c, "RCPT TO:<other@far.example>");
    EXPECT_EQ(cmd(*c, "DATA").substr(0, 4), "354 ");
}

TEST_F(SmtpSession, MessageTextIsUnstuffedAndStored) {
    si().LogMessageSpy = true;
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<@relay.example:carol@far.example>");
    cmd(*c, "RCPT TO:<alice@local.test>");
    EXPECT_EQ(cmd(*c, "DATA"), "354 Start Mail Input, end with <CRLF>.<CRLF>");
    c->send("Subject: dots\r\n\r\n..\r\n.x\r\n\r\n. \r\nplain\r\n");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
    EXPECT_TRUE(hasLog("Processing Incoming Mail...", 6));
    EXPECT_TRUE(hasLog("Incoming Mail Processed", 6));
    EXPECT_TRUE(hasLog("Data: x", 8));
    EXPECT_TRUE(hasLog("Data: Subject: dots", 8));

    auto files = messageFiles("alice");
    ASSERT_EQ(files.size(), 1u);
    std::string text = testsupport::readFile(files[0]);
    const std::string head = "Return-Path: <@relay.example:carol@far.example>\r\nReceived: FROM relay.example BY mail.test ; ";
    EXPECT_EQ(text.substr(0, head.size()), head);
    const std::string body = "\r\nSubject: dots\r\n\r\n.\r\nx\r\n\r\n \r\nplain\r\n";
    ASSERT_GE(text.size(), body.size());
    EXPECT_EQ(text.substr(text.size() - body.size()), body);
    // The session is back in state 1 and takes the next message.
    EXPECT_EQ(cmd(*c, "MAIL FROM:<>"), "250 Sender Accepted");
}

TEST_F(SmtpSession, RoutingLinesCarryTheirOwnIdentity) {
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<alice@local.test>");
    cmd(*c, "RCPT TO:<bob@local.test>");
    cmd(*c, "DATA");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
    const auto* session = server->Connection(0);
    ASSERT_NE(session, nullptr);
    const std::string own = "<SMTP ID " + std::to_string(session->Identity()) + "> ";
    bool sessionLine = false, routingLine = false;
    for (const auto& l : logs) {
        if (l.text == own + "Ready to accept mail") sessionLine = true;
        if (l.text.find("> Processing Destination Route(s)") != std::string::npos) {
            routingLine = true;
            EXPECT_EQ(l.text.find(own), std::string::npos) << l.text;
            EXPECT_EQ(l.text.rfind("<SMTP ID ", 0), 0u);
        }
        EXPECT_EQ(l.sender, server.get());
    }
    EXPECT_TRUE(sessionLine);
    EXPECT_TRUE(routingLine);
}

TEST_F(SmtpSession, FailedDeliveryIsNotConfirmed) {
    // A regular file where the mailbox's temporary folder must be makes every
    // new message file of bob fail, even for root.
    const std::string temp = si().MailBoxPath + "bob/.tmp:";
    std::filesystem::remove_all(temp);
    testsupport::writeFile(temp, "in the way");
    ASSERT_TRUE(std::filesystem::is_regular_file(temp));
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<alice@local.test>");
    cmd(*c, "RCPT TO:<bob@local.test>");
    cmd(*c, "DATA");
    c->send("Subject: lost?\r\n\r\nbody\r\n");
    EXPECT_EQ(cmd(*c, "."), "451 Error in processing: Mail could not be stored");
    EXPECT_TRUE(hasLog("Mail Rejected: Delivery failed", 1));
    EXPECT_EQ(messageFiles("bob"), std::vector<std::string>{temp});
    // Back in state 1 with the message cleared: the next lines are commands.
    EXPECT_EQ(cmd(*c, "Subject: not a command"), "500 Command not recognized.");
    EXPECT_EQ(cmd(*c, "MAIL FROM:<alice@local.test>"), "250 Sender Accepted");
    cmd(*c, "RCPT TO:<alice@local.test>");
    cmd(*c, "DATA");
    EXPECT_EQ(cmd(*c, "."), "250 Mail Queued for Delivery");
    EXPECT_EQ(messageFiles("alice").size(), 1u);
}

TEST_F(SmtpSession, VrfyAndExpn) {
    TPop3UserInformation hidden;
    hidden.Password = "x";
    hidden.RealName = "Hidden";
    hidden.DoNotReportUserExists = true;
    ASSERT_TRUE(hidden.SaveUser("carol"));
    si().AddAlias("sales", "bob");

    TMailListInformation team;
    team.AddMember(true, false, "bob@local.test");
    team.AddMember(false, false, "gone@far.example");
    team.AddMember(true, false, "no-at-sign");
    team.AddMember(true, true, "<x@far.example>");
    ASSERT_TRUE(team.SaveToFile("team", true));
    TMailListInformation solo;
    solo.AddMember(true, false, "one@far.example");
    ASSERT_TRUE(solo.SaveToFile("solo", true));
    TMailListInformation quiet;
    quiet.AddMember(false, false, "a@b.example");
    ASSERT_TRUE(quiet.SaveToFile("quiet", true));
    TMailListInformation secret;
    secret.DoNotReportListMembersToSmtp = true;
    secret.AddMember(true, false, "a@b.example");
    ASSERT_TRUE(secret.SaveToFile("secret", true));

    auto c = loggedIn();
    EXPECT_EQ(cmd(*c, "VRFY alice"), "250 Alice Example <alice@mail.test>");
    EXPECT_EQ(cmd(*c, "VRFY sales"), "250 Bob <bob@mail.test>");
    EXPECT_TRUE(hasLog("Alias Converted", 6));
    EXPECT_EQ(cmd(*c, "VRFY carol"), "550 User Unknown");
    EXPECT_TRUE(hasLog("User is Hidden", 5));
    EXPECT_EQ(cmd(*c, "VRFY nobody"), "550 User Unknown");
    EXPECT_TRUE(hasLog("User is Unknown", 5));

    EXPECT_EQ(cmd(*c, "EXPN team"), "250-<bob@local.test>\n250 <x@far.example>");
    EXPECT_TRUE(hasLog("List Entries Reported", 6));
    EXPECT_EQ(cmd(*c, "EXPN solo"), "250 <one@far.example>");
    EXPECT_TRUE(hasLog("List Entry Reported", 6));
    EXPECT_EQ(cmd(*c, "EXPN quiet"), "550 List is Empty");
    EXPECT_EQ(cmd(*c, "EXPN secret"), "550 List Unknown");
    EXPECT_TRUE(hasLog("List is Hidden", 5));
    EXPECT_EQ(cmd(*c, "EXPN nolist"), "550 List Unknown");
}

TEST_F(SmtpSession, SeveralCommandsInOneReadAreAnsweredInOrder) {
    auto c = loggedIn();
    c->send("NOOP\r\nMAIL FROM:<alice@local.test>\r\nRCPT TO:<bob@local.test>\r\nDATA\r\nhi\r\n.\r\nRSET\r\n");
    EXPECT_EQ(c->reply(), "250 OK");
    EXPECT_EQ(c->reply(), "250 Sender Accepted");
    EXPECT_EQ(c->reply(), "250 Destination Accepted");
    EXPECT_EQ(c->reply().substr(0, 4), "354 ");
    EXPECT_EQ(c->reply(), "250 Mail Queued for Delivery");
    EXPECT_EQ(c->reply(), "250 Ready.");
    EXPECT_EQ(messageFiles("bob").size(), 1u);
}

TEST_F(SmtpSession, LineSplitAcrossReadsIsHandledWhenItsEndArrives) {
    auto c = loggedIn();
    ASSERT_EQ(server->ConnectionCount(), 1);
    TSmtpConnection* s = server->Connection(0);
    // Let the last reply's data-sent notice pass before the clock is fixed,
    // so that only receives move the session's activity time below.
    testsupport::stepUntil([&] { return platform::loop().pendingMessages() == 0; });
    platform::setNowOverride(45000.0);
    // Each part is seen by the server (its receive time moves) before the
    // next is sent, so the parts arrive in separate reads.
    const char* parts[] = {"NO", "OP\r", "\n"};
    for (const char* p : parts) {
        platform::advanceNow(0.001);
        const double t = platform::Now();
        c->send(p);
        ASSERT_TRUE(testsupport::stepUntil([&] { return s->LastActivity() == t; }));
        if (std::string(p) != "\n") {
            EXPECT_EQ(c->pending(), "");
        }
    }
    EXPECT_EQ(c->reply(), "250 OK");
    // A CR or LF alone stays inside the line.
    EXPECT_EQ(cmd(*c, "NO\nOP"), "500 Command not recognized.");
    EXPECT_EQ(cmd(*c, "NOOP\r"), "250 OK");  // trimmed away as a control character
}

TEST_F(SmtpSession, AliasAndListRecipientsAreLocal) {
    si().AddAlias("sales", "bob");
    si().AddAlias("help@local.test", "alice");
    TMailListInformation team;
    team.AddMember(true, false, "alice@local.test");
    ASSERT_TRUE(team.SaveToFile("team", true));
    auto c = loggedIn();
    cmd(*c, "MAIL FROM:<someone@far.example>");
    EXPECT_EQ(cmd(*c, "RCPT TO:<sales@local.test>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<help@local.test>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<help@mail.test>"), "550 Destination Not Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<team@mail.test>"), "250 Destination Accepted");
    EXPECT_EQ(cmd(*c, "RCPT TO:<ALICE@mail.test>"), "250 Destination Accepted");
}

}  // namespace
