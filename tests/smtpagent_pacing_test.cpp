// The agent's pauses while it sends a long message are pauses of that one
// connection: the loop keeps serving other clients meanwhile.
#include "engine/Pop3Server.h"
#include "support/AgentHarness.h"
#include "support/Peers.h"
#include "support/Pop3Fixture.h"

using namespace agenttest;
using namespace testpeers;
using testsupport::stepUntil;

TEST_F(AgentTest, PopClientIsServedWhileALongMessageIsPaced) {
    const std::string SinkAddr = uniqueLoopback(91);
    SmtpSinkPeer Sink(SinkAddr, 25);
    ASSERT_TRUE(Sink.ready());

    ASSERT_TRUE(ServerInformation->CreateUser("carol"));
    TPop3UserInformation User;
    ASSERT_TRUE(User.LoadUser("carol"));
    User.Password = "pw";
    ASSERT_TRUE(User.SaveUser("carol"));
    ServerInformation->Pop3BindAddress = "127.0.0.1";
    ServerInformation->Pop3ListenPort = testsupport::freePort();
    TPop3Server Pop;
    Pop.Start();
    ASSERT_TRUE(Pop.IsListening());

    // 10,000 lines: a hundred pauses of the connection, some of them
    // lines that need a dot put in front.
    std::vector<std::string> Lines{"Subject: long", ""};
    for (int I = 0; I < 10000; ++I) Lines.push_back(I % 997 == 0 ? ".dot " + std::to_string(I) : "line " + std::to_string(I));
    writeQueue("77", "<a@agent.local.test>", {"<b@[" + SinkAddr + "]>"}, 0, 5, Lines);
    Agent->ServiceQueueNow();
    ASSERT_TRUE(stepUntil([&] { return hasLog("We send Data"); }, 20000)) << dump();

    pop3test::Peer Client(ServerInformation->Pop3ListenPort);
    EXPECT_EQ(Client.line().substr(0, 4), "+OK ");
    EXPECT_EQ(Client.cmd("USER carol"), "+OK Send Password");
    EXPECT_EQ(Client.cmd("PASS pw"), "+OK 0 0");
    // All of that while the message text was still going out.
    EXPECT_FALSE(hasLog("Waiting for server ack."));
    EXPECT_EQ(Sink.count(), 0u);
    EXPECT_EQ(Client.cmd("QUIT").substr(0, 3), "+OK");

    ASSERT_TRUE(stepUntil([&] { return Sink.count() == 1 && Agent->ConnectionCount() == 0; }, 30000)) << dump();
    std::string Expected;
    for (const auto& L : Lines) Expected += L + "\r\n";
    EXPECT_EQ(Sink.messages()[0].Data, Expected);
    EXPECT_EQ(countLog("Sending Data ("), 101);
    EXPECT_FALSE(queued("77"));
    Pop.Shutdown();
}

// A "250" that comes before the text's final dot went out does not accept
// the message: the recipients stay queued.
TEST_F(AgentTest, EarlyAcceptanceDuringTheTextIsAFailure) {
    const std::string Addr = uniqueLoopback(92);
    ScriptedSmtpServer Server(Addr, 25, {"220 ready"},
                              {"250 hi", "250 ok", "250 ok", "354 go on\r\n250 too early"});
    ASSERT_TRUE(Server.ready());
    const std::vector<std::string> Body{"Subject: early", "", "text"};
    writeQueue("5", "<s@agent.local.test>", {"<x@[" + Addr + "]>"}, 0, 3, Body);
    ASSERT_TRUE(runPass()) << dump();
    EXPECT_TRUE(hasLog("Server won't accepted our mail")) << dump();
    EXPECT_FALSE(hasLog("Server accepted our mail")) << dump();
    EXPECT_EQ(readQueue("5"), queueText("<s@agent.local.test>", {"<x@[" + Addr + "]>"}, 1, 2, Body));
}

// A connection freed (inactivity sweep, shutdown) while its pauses are still
// running: nothing of it runs afterwards, and the message stays queued.
TEST_F(AgentTest, ConnectionFreedWhilePacingLeavesTheMessageQueued) {
    const std::string SinkAddr = uniqueLoopback(93);
    SmtpSinkPeer Sink(SinkAddr, 25);
    ASSERT_TRUE(Sink.ready());
    std::vector<std::string> Lines(1000, "text");
    writeQueue("8", "<a@agent.local.test>", {"<b@[" + SinkAddr + "]>"}, 0, 5, Lines);
    Agent->ServiceQueueNow();
    ASSERT_TRUE(stepUntil([&] { return hasLog("We send Data"); }, 20000)) << dump();
    Agent->RemoveAllConnections();
    const std::size_t Logged = Logs.size();

    // Several pause lengths go by on the loop.
    platform::Timer Later;
    Later.setInterval(100);
    bool Fired = false;
    Later.OnTimer = [&] { Fired = true; };
    ASSERT_TRUE(stepUntil([&] { return Fired; }, 5000));
    EXPECT_EQ(Logs.size(), Logged) << dump();
    EXPECT_EQ(readQueue("8"), queueText("<a@agent.local.test>", {"<b@[" + SinkAddr + "]>"}, 0, 5, Lines));
    EXPECT_EQ(Sink.count(), 0u);
}
