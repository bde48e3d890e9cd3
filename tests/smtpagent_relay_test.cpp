// The agent relaying queued mail to a real SMTP server (python3-aiosmtpd) on
// port 25 of a loopback address: by address literal, through the mail
// exchangers that a real DNS server (dnsmasq) gives, and through the master
// server; the dialogue's refusals and broken connections.
#include "support/AgentHarness.h"
#include "support/Peers.h"

using namespace agenttest;
using namespace testpeers;
using testsupport::stepUntil;

namespace {

std::vector<std::string> sampleLines(int Count) {
    std::vector<std::string> L{"From: sender@agent.local.test", "Subject: relay test", ""};
    for (int I = 0; I < Count; ++I) L.push_back("line " + std::to_string(I));
    return L;
}

std::string wireOf(const std::vector<std::string>& Lines) {
    std::string W;
    for (const auto& L : Lines) W += L + "\r\n";
    return W;
}

}  // namespace

class AgentRelay : public AgentTest {
protected:
    std::string SinkAddr = uniqueLoopback(51);
    std::string NobodyAddr = uniqueLoopback(52);  // nothing listens there
    std::unique_ptr<SmtpSinkPeer> Sink;

    void startSink(const std::vector<std::string>& Reject = {}) {
        Sink = std::make_unique<SmtpSinkPeer>(SinkAddr, 25, Reject);
        ASSERT_TRUE(Sink->ready());
    }
    std::string literal(const std::string& Local, const std::string& Addr) const {
        return "<" + Local + "@[" + Addr + "]>";
    }
};

TEST_F(AgentRelay, AddressLiteralDomainIsDeliveredAndTheFileDeleted) {
    startSink();
    std::vector<std::string> Lines = sampleLines(250);
    Lines.push_back(".starts with a dot");
    Lines.push_back(".");
    Lines.push_back("");
    Lines.push_back("last line");
    writeQueue("100", "<sender@agent.local.test>", {literal("one", SinkAddr), literal("two", SinkAddr)}, 0, 5, Lines);

    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    const auto M = Sink->messages();
    ASSERT_EQ(M.size(), 1u);
    EXPECT_EQ(M[0].MailFrom, "sender@agent.local.test");
    EXPECT_EQ(M[0].RcptTos, (std::vector<std::string>{"one@[" + SinkAddr + "]", "two@[" + SinkAddr + "]"}));
    EXPECT_EQ(M[0].Data, wireOf(Lines));
    EXPECT_FALSE(queued("100"));

    const auto C = connectionLines();
    auto At = [&](const std::string& T) {
        return std::find(C.begin(), C.end(), T) - C.begin();
    };
    // The dialogue in order, as the log tells it.
    const std::vector<std::string> Steps{"Processing " + SinkAddr, "Connecting to " + SinkAddr, "Connection Open",
                                         "Server said hello", "We say HELO agent.local.test",
                                         "Server accepted our HELO", "We say MAIL FROM: <sender@agent.local.test>",
                                         "Server accepted our MAIL FROM", "We say RCPT TO: " + literal("one", SinkAddr),
                                         "Server accepted our RCPT TO", "We say RCPT TO: " + literal("two", SinkAddr),
                                         "We say DATA", "Server ready for our Data", "We send Data",
                                         "Sending Data (0 / 257)", "Sending Data (100 / 257)",
                                         "Sending Data (200 / 257)", "Waiting for server ack.",
                                         "Server accepted our mail", "We say QUIT", "Closing Connection...",
                                         "Finishing...", "Processing Successful.  Deleting files..."};
    std::ptrdiff_t Prev = -1;
    for (const auto& S : Steps) {
        const auto P = At(S);
        ASSERT_LT(P, static_cast<std::ptrdiff_t>(C.size())) << "missing: " << S << "\n" << dump();
        EXPECT_GT(P, Prev) << S;
        Prev = P;
    }
    EXPECT_TRUE(hasLog("Response: 220 (")) << dump();
    EXPECT_TRUE(hasLog("Response: 354 ("));
}

// A lone CR or LF that a stored file holds never reaches the next hop as a
// line end of its own: inside a message line it goes out as CR LF with each
// part dot-stuffed; in a path the path is not sent at all (the sink takes a
// lone LF as the end of a command).
TEST_F(AgentRelay, LoneLineBreaksNeverReachTheNextHop) {
    startSink();
    // A stored line, and what the sink hands over for it (dot-stuffing undone).
    const std::vector<std::pair<std::string, std::string>> Table{
        {"a\nb", "a\r\nb\r\n"},
        {"x\r.y", "x\r\n.y\r\n"},
        {"\n.\nMAIL FROM:<e@x>", "\r\n.\r\nMAIL FROM:<e@x>\r\n"},
        {"..z", "..z\r\n"},
        {"e\r", "e\r\n\r\n"},
        {".\r.", ".\r\n.\r\n"},
    };
    std::vector<std::string> Lines{"Subject: wire", ""};
    std::string Expected = "Subject: wire\r\n\r\n";
    for (const auto& [Stored, Seen] : Table) {
        Lines.push_back(Stored);
        Expected += Seen;
    }
    const std::string Smuggled = "\nRCPT TO:" + literal("evil", SinkAddr);
    writeQueue("30", "<sender@agent.local.test>", {literal("one", SinkAddr), literal("two", SinkAddr) + Smuggled}, 0,
               5, Lines);
    writeQueue("31", "<sender@agent.local.test>" + Smuggled, {literal("three", SinkAddr)}, 0, 5, Lines);

    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() >= 1; }, 5000));
    const auto M = Sink->messages();
    ASSERT_EQ(M.size(), 1u) << dump();
    EXPECT_EQ(M[0].RcptTos, std::vector<std::string>{"one@[" + SinkAddr + "]"});
    EXPECT_EQ(M[0].Data, Expected);
    EXPECT_FALSE(queued("30"));
    EXPECT_TRUE(hasLog("Reverse path of Mail 31 holds a control byte... Not sent.")) << dump();
    EXPECT_EQ(readQueue("31"), AgentTest::queueText("<sender@agent.local.test>" + Smuggled,
                                                    {literal("three", SinkAddr)}, 1, 4, Lines));
}

TEST_F(AgentRelay, OneRecipientOfThreeRefusedStaysInTheFile) {
    startSink({"two@[" + SinkAddr + "]"});
    writeQueue("5", "<sender@agent.local.test>",
               {literal("one", SinkAddr), literal("two", SinkAddr), literal("three", SinkAddr)}, 0, 4, sampleLines(3));
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    EXPECT_EQ(Sink->messages()[0].RcptTos,
              (std::vector<std::string>{"one@[" + SinkAddr + "]", "three@[" + SinkAddr + "]"}));
    EXPECT_TRUE(hasLog("Server rejected our RCPT TO, but we'll carry on...")) << dump();
    EXPECT_TRUE(hasLog("Processing partially successful.  Re-Queueing for further processing..."));
    ASSERT_TRUE(queued("5"));
    EXPECT_EQ(readQueue("5"),
              AgentTest::queueText("<sender@agent.local.test>", {literal("two", SinkAddr)}, 1, 3, sampleLines(3)));
}

// A message whose file ends in a lone CR (made by hand or by an older
// version) goes out the same in the retry as in the first session, after
// the file has been written back for the recipient still owed.
TEST_F(AgentRelay, LoneCrAtTheEndGoesOutTheSameInTheRetry) {
    startSink({"two@[" + SinkAddr + "]"});
    std::filesystem::create_directories(queuePath());
    testsupport::writeFile(queueFile("6"), queueText("<sender@agent.local.test>",
                                                     {literal("one", SinkAddr), literal("two", SinkAddr)}, 0, 4, {}) +
                                               "Subject: cr\r\n\r\nend\r");
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    const std::string First = Sink->messages()[0].Data;
    EXPECT_EQ(First, "Subject: cr\r\n\r\nend\r\n");
    ASSERT_TRUE(queued("6"));
    Sink.reset();
    startSink();
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    EXPECT_EQ(Sink->messages()[0].Data, First);
    EXPECT_FALSE(queued("6"));
}

TEST_F(AgentRelay, GroupsAreRelayedOneAfterTheOther) {
    // Two groups: the refused literal domain is taken first (the last group
    // first), the good one after it.
    startSink();
    writeQueue("6", "<sender@agent.local.test>", {literal("a", SinkAddr), literal("b", NobodyAddr)}, 0, 2,
               sampleLines(2));
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    EXPECT_EQ(Sink->messages()[0].RcptTos, (std::vector<std::string>{"a@[" + SinkAddr + "]"}));
    const auto C = connectionLines();
    const auto First = std::find(C.begin(), C.end(), "Processing " + NobodyAddr);
    const auto Second = std::find(C.begin(), C.end(), "Processing " + SinkAddr);
    EXPECT_LT(First, Second) << dump();
    EXPECT_EQ(readQueue("6"),
              AgentTest::queueText("<sender@agent.local.test>", {literal("b", NobodyAddr)}, 1, 1, sampleLines(2)));
}

TEST_F(AgentRelay, ServerThatClosesEveryConnectionFailsTheGroup) {
    ClosingServer Closer(SinkAddr, 25);
    ASSERT_TRUE(Closer.ready());
    writeQueue("8", "<sender@agent.local.test>", {literal("x", SinkAddr)}, 0, 1, sampleLines(1));
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(Closer.accepted(), 1);
    EXPECT_EQ(countLog("Connection Open"), 1) << dump();
    EXPECT_GE(countLog("Closed"), 1);
    EXPECT_EQ(countLog("Processing " + SinkAddr), 1);
    EXPECT_TRUE(hasLog("Processing partially successful."));
    EXPECT_EQ(readQueue("8"),
              AgentTest::queueText("<sender@agent.local.test>", {literal("x", SinkAddr)}, 1, 0, sampleLines(1)));
}

TEST_F(AgentRelay, MasterServerTakesEveryDomain) {
    startSink();
    ServerInformation->ForwardToMasterSmtpServer = true;
    ServerInformation->MasterSmtpServer = SinkAddr;
    ServerInformation->DNSServerAddress = "127.0.0.1";  // not asked: the master server comes first
    writeQueue("9", "<sender@agent.local.test>", {"<a@far.test>", "<b@other.test>"}, 0, 5, sampleLines(2));
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 2; }, 5000));
    EXPECT_EQ(countLog("Forwarding to Master SMTP Server"), 2);
    EXPECT_FALSE(hasLog("Starting DNS MX Lookup"));
    EXPECT_FALSE(queued("9"));
}

TEST_F(AgentRelay, InvalidMasterServerFailsTheGroupForThisPass) {
    ServerInformation->ForwardToMasterSmtpServer = true;
    ServerInformation->MasterSmtpServer = "mail.example";
    writeQueue("10", "<sender@agent.local.test>", {"<a@far.test>"}, 0, 5, sampleLines(1));
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_TRUE(hasLog("Master SMTP Server address invalid.")) << dump();
    EXPECT_FALSE(hasLog("Connecting to"));
    EXPECT_EQ(readQueue("10"), AgentTest::queueText("<sender@agent.local.test>", {"<a@far.test>"}, 1, 4, sampleLines(1)));
}

// --- mail exchangers from a real DNS server ---------------------------------

class AgentMx : public AgentRelay {
protected:
    std::string DnsAddr = uniqueLoopback(53);
    std::string OtherSink = uniqueLoopback(54);
    std::unique_ptr<DnsmasqPeer> Dns;

    void startDns(const std::vector<std::string>& Lines) {
        std::vector<std::string> Conf = Lines;
        Conf.push_back("local=/test/");
        Dns = std::make_unique<DnsmasqPeer>(DnsAddr, 53, Conf);
        ASSERT_TRUE(Dns->ready()) << Dns->log();
        ServerInformation->DNSServerAddress = DnsAddr;
    }
};

TEST_F(AgentMx, ExchangersAreTriedByPreference) {
    startSink();
    // The exchangers' names are the addresses themselves, which need no
    // name lookup of the system's resolver.
    startDns({"mx-host=relay.test," + NobodyAddr + ",10", "mx-host=relay.test," + SinkAddr + ",20",
              "mx-host=relay.test," + OtherSink + ",30"});
    writeQueue("20", "<sender@agent.local.test>", {"<user@relay.test>"}, 0, 5, sampleLines(4));
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    EXPECT_EQ(Sink->messages()[0].RcptTos, std::vector<std::string>{"user@relay.test"});
    EXPECT_TRUE(hasLog("Starting DNS MX Lookup"));
    EXPECT_TRUE(hasLog("MX Results: 3")) << dump();
    const auto C = connectionLines();
    const auto A = std::find(C.begin(), C.end(), "Connecting to " + NobodyAddr);
    const auto B = std::find(C.begin(), C.end(), "Connecting to " + SinkAddr);
    EXPECT_LT(A, B);
    EXPECT_TRUE(hasLog("Connection Open Failed"));
    EXPECT_FALSE(hasLog("Connecting to " + OtherSink));
    EXPECT_FALSE(queued("20"));
}

TEST_F(AgentMx, LoopGuardDropsThisServerAndEveryExchangerRankedBelowIt) {
    startSink();
    ServerInformation->SetLocalDomains({"mx.agent.local.test"});
    startDns({"mx-host=loop.test," + NobodyAddr + ",10", "mx-host=loop.test,mx.agent.local.test,20",
              "mx-host=loop.test," + SinkAddr + ",30"});
    writeQueue("21", "<sender@agent.local.test>", {"<user@loop.test>"}, 0, 5, sampleLines(1));
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(Sink->count(), 0u);
    EXPECT_TRUE(hasLog("Possible Mail Loop from ")) << dump();
    EXPECT_TRUE(hasLog("MX Results: 1"));
    EXPECT_TRUE(hasLog("Connecting to " + NobodyAddr));
    EXPECT_FALSE(hasLog("Connecting to " + SinkAddr));
    for (const auto& L : Logs)
        if (L.Text.find("Possible Mail Loop") != std::string::npos) {
            EXPECT_EQ(L.Level, 0);
        }
    EXPECT_TRUE(queued("21"));
}

TEST_F(AgentMx, DomainWithoutExchangersIsTriedItself) {
    // No MX record: the query answers with no answers, and the domain itself
    // is the host, looked up by the system's resolver (which knows nothing
    // of it here).
    startDns({});
    writeQueue("22", "<sender@agent.local.test>", {"<user@nothing.test>"}, 0, 5, sampleLines(1));
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_TRUE(hasLog("No MX Results")) << dump();
    EXPECT_TRUE(hasLog("Resolving NOTHING.TEST"));
    EXPECT_TRUE(hasLog("Unable to resolve NOTHING.TEST"));
    EXPECT_TRUE(queued("22"));
}

// The text goes out read from the queue file a piece at a time: a CR LF, a
// lone CR and a line's leading "." that fall on the edges of the pieces read
// go out as they would from a text read whole, and the last line, stored
// without its line end, is ended.
TEST_F(AgentRelay, TextReadInPiecesGoesOutAsAWhole) {
    startSink();
    constexpr std::size_t Piece = 256 * 1024;
    std::string Text = "Subject: pieces\r\n\r\n";
    const auto lineUpTo = [&Text](std::size_t End) {  // filler lines up to offset End
        while (Text.size() + 502 <= End) Text += std::string(500, 'x') + "\r\n";
        Text += std::string(End - Text.size(), 'y');
    };
    lineUpTo(Piece - 1);
    Text += "\r\n";  // its CR ends one piece, its LF begins the next
    lineUpTo(2 * Piece - 2);
    Text += "\r\n.dot line at the start of a piece\r\n";
    lineUpTo(3 * Piece - 1);
    Text += "\rafter a lone CR on the edge\r\n";
    Text += "last line without its end";
    std::filesystem::create_directories(queuePath());
    testsupport::writeFile(queueFile("50"), queueText("<sender@agent.local.test>", {literal("p", SinkAddr)}, 0, 5, {}) + Text);

    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Sink->count() == 1; }, 5000));
    std::string Expected;
    std::size_t Stored = 0;
    for (std::size_t At = 0; At < Text.size();) {  // stored lines end at CR LF; a lone CR ends a wire line
        std::size_t End = Text.find("\r\n", At);
        if (End == std::string::npos) End = Text.size();
        std::string Line = Text.substr(At, End - At);
        for (char& C : Line)
            if (C == '\r') C = '\n';
        for (std::size_t P = 0;;) {
            const std::size_t Q = Line.find('\n', P);
            Expected += Line.substr(P, Q - P) + "\r\n";
            if (Q == std::string::npos) break;
            P = Q + 1;
        }
        At = End + 2;
        ++Stored;
    }
    EXPECT_EQ(Sink->messages()[0].Data, Expected);
    EXPECT_TRUE(hasLog("Sending Data (0 / " + std::to_string(Stored) + ")")) << dump();
    EXPECT_FALSE(queued("50"));
}
