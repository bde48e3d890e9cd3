// The client dialogue against a scripted server, one row per way it can go:
// what the agent sends, what it logs, and what stays in the queue file.
#include "engine/UtilU1.h"
#include "support/AgentHarness.h"
#include "support/Peers.h"

using namespace agenttest;
using namespace testpeers;
using testsupport::stepUntil;

namespace {

const std::vector<std::string> Body{"Subject: dialogue", "", ".dot", "end"};

struct DialogueCase {
    const char* Name;
    std::vector<std::string> Greeting;
    std::vector<std::string> Replies;
    const char* Logged;                  // a line the connection must log
    std::vector<std::string> Commands;   // what the server receives; "RCPT x" is RCPT TO for x
    std::vector<std::string> Left;       // local parts still queued afterwards (empty: file gone)
    bool MessageSent;
};

}  // namespace

class AgentDialogue : public AgentTest, public ::testing::WithParamInterface<DialogueCase> {
protected:
    std::string Addr = uniqueLoopback(81);
    std::string rcpt(const std::string& Local) const { return "<" + Local + "@[" + Addr + "]>"; }
};

TEST_P(AgentDialogue, RunsAsScripted) {
    const DialogueCase& C = GetParam();
    ScriptedSmtpServer Server(Addr, 25, C.Greeting, C.Replies);
    ASSERT_TRUE(Server.ready());
    writeQueue("1", "<s@agent.local.test>", {rcpt("one"), rcpt("two"), rcpt("three")}, 0, 3, Body);
    ASSERT_TRUE(runPass()) << dump();
    ASSERT_TRUE(stepUntil([&] { return Server.closed(); }, 5000));

    EXPECT_TRUE(hasLog(C.Logged)) << dump();
    // Whatever the peer says, each log line stays one line.
    for (const auto& L : Logs) EXPECT_EQ(Printable(L.Text), L.Text);
    std::vector<std::string> Expected;
    for (const auto& Cmd : C.Commands) {
        if (Cmd == "RCPT one" || Cmd == "RCPT two" || Cmd == "RCPT three")
            Expected.push_back("RCPT TO: " + rcpt(Cmd.substr(5)));
        else
            Expected.push_back(Cmd);
    }
    EXPECT_EQ(Server.commands(), Expected) << dump();
    if (C.MessageSent) {
        EXPECT_EQ(Server.message(), (std::vector<std::string>{"Subject: dialogue", "", "..dot", "end"}));
    } else {
        EXPECT_TRUE(Server.message().empty());
    }
    if (C.Left.empty()) {
        EXPECT_FALSE(queued("1"));
    } else {
        std::vector<std::string> Tos;
        for (const auto& L : C.Left) Tos.push_back(rcpt(L));
        EXPECT_EQ(readQueue("1"), AgentTest::queueText("<s@agent.local.test>", Tos, 1, 2, Body));
    }
}

namespace {

const std::vector<std::string> All{"one", "two", "three"};
const std::string Helo = "HELO agent.local.test";
const std::string Mail = "MAIL FROM: <s@agent.local.test>";

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Scripts, AgentDialogue,
    ::testing::Values(
        DialogueCase{"ContinuedGreeting",
                     {"220-first line, with blanks", "220 ready"},
                     {"250 hi", "250 ok", "250 ok", "251 will forward", "250 ok", "354 go on", "250 queued"},
                     "Processing Successful.  Deleting files...",
                     {Helo, Mail, "RCPT one", "RCPT two", "RCPT three", "DATA", "QUIT"},
                     {},
                     true},
        DialogueCase{"PeerTextIsMaskedInTheLog",
                     {"220 ok\nforged [0] line\x01\x7f"},
                     {"250 hi", "250 ok", "250 ok", "250 ok", "250 ok", "354 go on", "250 queued"},
                     "Response: 220 (ok?forged [0] line?" "?)",
                     {Helo, Mail, "RCPT one", "RCPT two", "RCPT three", "DATA", "QUIT"},
                     {},
                     true},
        DialogueCase{"ContinuationWithoutBlankIsFinal",
                     {"220-nodash", "220 ready"},
                     {},
                     "Server won't ACK us",
                     {"QUIT"},
                     All,
                     false},
        DialogueCase{"GreetingRefused", {"554 no service here"}, {}, "Server won't ACK us", {"QUIT"}, All, false},
        DialogueCase{"HeloRefused", {"220 ok"}, {"501 who?"}, "Server won't ACK our HELO", {Helo, "QUIT"}, All, false},
        DialogueCase{"MailRefused",
                     {"220 ok"},
                     {"250 hi", "553 not you"},
                     "Server won't ACK our MAIL FROM",
                     {Helo, Mail, "QUIT"},
                     All,
                     false},
        DialogueCase{"RcptFailsForTheGroup",
                     {"220 ok"},
                     {"250 hi", "250 ok", "250 ok", "451 try later"},
                     "Server won't ACK our RCPT TO",
                     {Helo, Mail, "RCPT one", "RCPT two", "QUIT"},
                     All,
                     false},
        DialogueCase{"OneRecipientRefused",
                     {"220 ok"},
                     {"250 hi", "250 ok", "250 ok", "550 unknown", "250 ok", "354 go on", "250 queued"},
                     "Server rejected our RCPT TO, but we'll carry on...",
                     {Helo, Mail, "RCPT one", "RCPT two", "RCPT three", "DATA", "QUIT"},
                     {"two"},
                     true},
        DialogueCase{"EveryRecipientRefusedStillSendsData",
                     {"220 ok"},
                     {"250 hi", "250 ok", "550 a", "550 b", "550 c", "503 no valid recipients"},
                     "Server won't accepted our Data",
                     {Helo, Mail, "RCPT one", "RCPT two", "RCPT three", "DATA", "QUIT"},
                     All,
                     false},
        DialogueCase{"EndOfDataRefusedKeepsEveryRecipient",
                     {"220 ok"},
                     {"250 hi", "250 ok", "250 ok", "250 ok", "250 ok", "354 go on", "552 too big"},
                     "Server won't accepted our mail",
                     {Helo, Mail, "RCPT one", "RCPT two", "RCPT three", "DATA", "QUIT"},
                     All,
                     true}),
    [](const ::testing::TestParamInfo<DialogueCase>& I) { return std::string(I.param.Name); });

// --- one failure, one next step ---------------------------------------------

TEST_F(AgentTest, FailureReportedTwiceTakesOneStep) {
    // An exchanger whose name is empty (the root): the socket reports the bad
    // name as an error and then again as a failed lookup. The error ends the
    // group; the lookup's report must not try another host on top.
    const std::string DnsAddr = uniqueLoopback(82);
    UdpResponder Dns(DnsAddr, 53, [](const Bytes& Q) {
        DnsMessage R(static_cast<std::uint16_t>((Q[0] << 8) | Q[1]));
        R.question(Bytes(Q.begin() + 12, Q.end() - 4));
        R.mx(pointerTo(12), 0, encodeName(""));
        return std::vector<Bytes>{R.bytes()};
    });
    ASSERT_GT(Dns.port(), 0);
    ServerInformation->DNSServerAddress = DnsAddr;
    writeQueue("1", "<s@agent.local.test>", {"<x@nullmx.test>"}, 0, 3, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_EQ(countLog("Socket Error"), 1) << dump();
    EXPECT_FALSE(hasLog("Unable to resolve"));
    EXPECT_EQ(countLog("Finishing..."), 1);
    EXPECT_EQ(readQueue("1"), AgentTest::queueText("<s@agent.local.test>", {"<x@nullmx.test>"}, 1, 2, Body));
}
