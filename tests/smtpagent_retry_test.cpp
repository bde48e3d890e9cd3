// Retries and the end of a message that cannot be delivered: the counters in
// the queue file after each pass, the "Undeliverable Mail" notice in the local
// sender's mailbox, the null sender, the DNS server that does not answer and
// its late answer.
#include "support/AgentHarness.h"
#include "support/Peers.h"

using namespace agenttest;
using namespace testpeers;
using testsupport::stepUntil;

namespace {

const std::vector<std::string> Body{"From: sender@agent.local.test", "Subject: retry test", "", "hello"};

}  // namespace

class AgentRetry : public AgentTest {
protected:
    std::string Nobody = uniqueLoopback(61);  // nothing listens on its port 25
    std::string To() const { return "<rcpt@[" + Nobody + "]>"; }

    void SetUp() override {
        AgentTest::SetUp();
        ASSERT_TRUE(ServerInformation->CreateUser("sender"));
    }

    // The files in the sender's mailbox.
    std::vector<std::string> mailbox() const {
        TPop3MailInformation Box;
        Box.LoadMailbox("sender");
        std::vector<std::string> Out;
        for (const auto& E : Box.Entries) Out.push_back(testsupport::readFile(Box.Folder + E->FileName));
        return Out;
    }

    // The notice the agent writes, as it lands in a mailbox.
    std::string notice(const std::vector<std::string>& Recipients) const {
        std::string N = "Return-Path: <>\r\nFrom: Tavrin Server agent.local.test\r\nSubject: Undeliverable Mail\r\n\r\n"
                        "The following recepients were not reached:\r\n\r\n";
        for (const auto& R : Recipients) N += R + "\r\n";
        N += "\r\nso the following message could not be delivered\r\n\r\n\r\n";
        for (const auto& L : Body) N += L + "\r\n";
        return N;
    }
};

TEST_F(AgentRetry, NoRetriesGivesOnePassAndTheNotice) {
    writeQueue("1", "<sender@agent.local.test>", {To()}, 0, 0, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_TRUE(hasLog("Connection Open Failed")) << dump();
    EXPECT_TRUE(hasLog("Processing Incomplete, but Retries Used Up.  Deleting files..."));
    EXPECT_FALSE(queued("1"));
    const auto Box = mailbox();
    ASSERT_EQ(Box.size(), 1u) << dump();
    EXPECT_EQ(Box[0], notice({To()}));
}

TEST_F(AgentRetry, TwoRetriesGiveThreePasses) {
    writeQueue("2", "<sender@agent.local.test>", {To()}, 0, 2, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(readQueue("2"), AgentTest::queueText("<sender@agent.local.test>", {To()}, 1, 1, Body));
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(readQueue("2"), AgentTest::queueText("<sender@agent.local.test>", {To()}, 2, 0, Body));
    EXPECT_TRUE(mailbox().empty());
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_FALSE(queued("2"));
    EXPECT_EQ(countLog("Processing partially successful.  Re-Queueing for further processing..."), 2);
    const auto Box = mailbox();
    ASSERT_EQ(Box.size(), 1u);
    EXPECT_EQ(Box[0], notice({To()}));
}

TEST_F(AgentRetry, NoticeListsEveryRecipientStillHeld) {
    const std::string Second = "<other@[" + Nobody + "]>";
    writeQueue("3", "<sender@agent.local.test>", {To(), Second}, 4, 0, Body);
    ASSERT_TRUE(runPass()) << dump();
    const auto Box = mailbox();
    ASSERT_EQ(Box.size(), 1u);
    EXPECT_EQ(Box[0], notice({To(), Second}));
}

// A To= line that cannot be read back names nobody the agent can reach: the
// sender hears of it at once, and the file keeps only the readable ones.
TEST_F(AgentRetry, UnreadableRecipientsGoIntoTheNotice) {
    const std::vector<std::string> Bad{"<a\\\"b@remote.test>", "<user>"};
    writeQueue("4", "<sender@agent.local.test>", Bad, 0, 2, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_FALSE(queued("4"));
    EXPECT_FALSE(hasLog("Processing Successful.")) << dump();
    ASSERT_EQ(mailbox().size(), 1u) << dump();
    EXPECT_EQ(mailbox()[0], notice(Bad));

    writeQueue("5", "<sender@agent.local.test>", {Bad[1], To()}, 0, 2, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(readQueue("5"), AgentTest::queueText("<sender@agent.local.test>", {To()}, 1, 1, Body));
    ASSERT_EQ(mailbox().size(), 2u) << dump();
    EXPECT_EQ(mailbox()[1], notice({Bad[1]}));
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(mailbox().size(), 2u);  // reported once only
}

// The file gives up an unreadable recipient only once the sender's notice is
// stored: a notice that cannot be stored leaves the file as it was, and a
// rewrite that fails after it leaves the recipient owed (told twice, never
// untold). Each failure comes from the write's temporary folder being a file.
TEST_F(AgentRetry, UnreadableRecipientsLeaveTheFileAfterTheNotice) {
    const std::vector<std::string> Queued{"<user>", To()};
    writeQueue("9", "<sender@agent.local.test>", Queued, 0, 2, Body);
    const std::vector<std::pair<std::string, std::string>> Cases{
        {ServerInformation->UserFolder("sender"), "Unable to route the failure notice for Mail 9... Left in queue."},
        {queuePath(), "Unable to update Mail 9 in the queue... Left in queue."},
    };
    for (std::size_t I = 0; I < Cases.size(); ++I) {
        const std::string Blocker = Cases[I].first + ".tmp:";
        std::filesystem::remove_all(Blocker);
        testsupport::writeFile(Blocker, "");
        ASSERT_TRUE(runPass()) << dump();
        std::filesystem::remove(Blocker);
        EXPECT_TRUE(hasLog(Cases[I].second)) << dump();
        EXPECT_EQ(mailbox().size(), I) << dump();
        EXPECT_EQ(readQueue("9"), AgentTest::queueText("<sender@agent.local.test>", Queued, 0, 2, Body));
    }
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_EQ(mailbox().size(), 2u) << dump();
    EXPECT_EQ(mailbox()[1], notice({"<user>"}));
    EXPECT_EQ(readQueue("9"), AgentTest::queueText("<sender@agent.local.test>", {To()}, 1, 1, Body));
}

TEST_F(AgentRetry, NullSenderGetsNoNotice) {
    writeQueue("4", "<>", {To()}, 0, 0, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_FALSE(queued("4"));
    EXPECT_TRUE(mailbox().empty());
    // Nothing queued either.
    std::size_t Files = 0;
    for (const auto& E : std::filesystem::directory_iterator(queuePath()))
        if (E.is_regular_file()) ++Files;
    EXPECT_EQ(Files, 0u);
}

TEST_F(AgentRetry, LocalSenderWithoutAccountIsLogged) {
    writeQueue("5", "<ghost@agent.local.test>", {To()}, 0, 0, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_TRUE(hasLog("Local Failure Notice to Non-existant user.")) << dump();
    EXPECT_FALSE(queued("5"));
}

TEST_F(AgentRetry, ForeignSenderGetsTheNoticeThroughTheQueue) {
    writeQueue("6", "<someone@far.test>", {To()}, 0, 0, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_FALSE(queued("6"));
    // The routing object's own lines carry its identity.
    EXPECT_TRUE(hasLog("Destination Route Not Local... queueing for Agent...")) << dump();
    std::string ConnectionPrefix, RouterPrefix;
    for (const auto& L : Logs) {
        if (L.Text.find("Connection Open Failed") != std::string::npos) ConnectionPrefix = L.Text.substr(0, L.Text.find('>'));
        if (L.Text.find("Incoming Mail Processed") != std::string::npos) RouterPrefix = L.Text.substr(0, L.Text.find('>'));
    }
    EXPECT_EQ(RouterPrefix.rfind("<Smtp Agent ID ", 0), 0u);
    EXPECT_NE(RouterPrefix, ConnectionPrefix);
    EXPECT_NE(RouterPrefix, "<Smtp Agent ID 0");
    std::vector<std::string> Queued;
    for (const auto& E : std::filesystem::directory_iterator(queuePath()))
        if (E.is_regular_file()) Queued.push_back(testsupport::readFile(E.path().string()));
    ASSERT_EQ(Queued.size(), 1u);
    EXPECT_NE(Queued[0].find("From=<>\r\n"), std::string::npos);
    EXPECT_NE(Queued[0].find("To=<someone@far.test>\r\n"), std::string::npos);
    EXPECT_NE(Queued[0].find("Subject: Undeliverable Mail\r\n"), std::string::npos);
}

TEST_F(AgentRetry, FileMarkedUsedUpSendsTheNoticeAtOnce) {
    writeQueue("7", "<sender@agent.local.test>", {To()}, 3, -1, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_TRUE(hasLog("Unable to open Mail 7 for sending... Deleted."));
    EXPECT_FALSE(hasLog("Connecting to"));
    EXPECT_FALSE(queued("7"));
    EXPECT_EQ(mailbox().size(), 1u);
}

// --- a DNS server that keeps silent ----------------------------------------

class AgentDnsTimeout : public AgentRetry {
protected:
    std::string DnsAddr = uniqueLoopback(62);
    std::function<std::vector<Bytes>(const Bytes&)> Answer;  // none: silent
    UdpResponder Dns{DnsAddr, 53, [this](const Bytes& Q) { return Answer ? Answer(Q) : std::vector<Bytes>{}; }};
    std::string SinkAddr = uniqueLoopback(63);

    void SetUp() override {
        AgentRetry::SetUp();
        ASSERT_GT(Dns.port(), 0);
        ServerInformation->DNSServerAddress = DnsAddr;
        ServerInformation->DNSServerTimeout = 1;
        recreateAgent();
    }
};

TEST_F(AgentDnsTimeout, TimedOutGroupStaysForTheNextPass) {
    SmtpSinkPeer Sink(SinkAddr, 25);
    ASSERT_TRUE(Sink.ready());
    // File order: the literal group first, so the silent lookup comes first.
    writeQueue("8", "<sender@agent.local.test>", {"<a@[" + SinkAddr + "]>", "<b@silent.test>"}, 0, 3, Body);
    Agent->ServiceQueueNow();
    ASSERT_TRUE(stepUntil([&] { return hasLog("MX Resolution Timeout..."); }, 5000)) << dump();
    EXPECT_EQ(Dns.queries(), 1);

    // The answer comes after all; the group was given up and it is ignored.
    const Bytes& Q = Dns.lastQuery();
    DnsMessage Late(static_cast<std::uint16_t>((Q[0] << 8) | Q[1]));
    Late.question(Bytes(Q.begin() + 12, Q.end() - 4));
    Late.mx(pointerTo(12), 10, encodeName(SinkAddr));
    Dns.sendToLast(Late.bytes());

    ASSERT_TRUE(stepUntil([&] { return Agent->ConnectionCount() == 0; }, 10000)) << dump();
    EXPECT_FALSE(hasLog("Looking up MX")) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink.count() == 1; }, 5000));
    EXPECT_EQ(Sink.messages()[0].RcptTos, std::vector<std::string>{"a@[" + SinkAddr + "]"});
    EXPECT_EQ(readQueue("8"), AgentTest::queueText("<sender@agent.local.test>", {"<b@silent.test>"}, 1, 2, Body));
}

TEST_F(AgentDnsTimeout, AnswerToAnotherQueryIsNotTaken) {
    // A reply whose ID is not the lookup's: the wait goes on to the timer.
    Answer = [](const Bytes& Q) {
        DnsMessage R(static_cast<std::uint16_t>(((Q[0] << 8) | Q[1]) + 1));
        R.question(Bytes(Q.begin() + 12, Q.end() - 4));
        R.mx(pointerTo(12), 10, encodeName("wrong.test"));
        return std::vector<Bytes>{R.bytes()};
    };
    writeQueue("9", "<sender@agent.local.test>", {"<b@mismatch.test>"}, 0, 3, Body);
    ASSERT_TRUE(runPass(10000)) << dump();
    EXPECT_TRUE(hasLog("MX Resolution Timeout...")) << dump();
    EXPECT_FALSE(hasLog("Looking up MX"));
    EXPECT_TRUE(queued("9"));
}
