// The agent's poller: timer and status, the scan of the queue folder, "already
// in service", the inactivity sweep, and queue files it cannot use.
#include <sys/stat.h>

#include "support/AgentHarness.h"
#include "support/Peers.h"

using namespace agenttest;
using testpeers::Bytes;
using testpeers::UdpResponder;
using testpeers::uniqueLoopback;

class AgentPoller : public AgentTest {};

TEST_F(AgentPoller, StartAndStopDriveTheTimerAndTheStatus) {
    EXPECT_FALSE(Agent->IsActive());
    ServerInformation->SetPollingInterval(300);
    Agent->Start();
    EXPECT_TRUE(Agent->IsActive());
    EXPECT_EQ(Agent->PollInterval(), 300000u);
    Agent->Stop();
    EXPECT_FALSE(Agent->IsActive());
    ASSERT_EQ(Statuses.size(), 2u);
    EXPECT_TRUE(Statuses[0].Active);
    EXPECT_FALSE(Statuses[1].Active);
    EXPECT_EQ(Statuses[1].Count, 0);

    // The interval is read again at every Start.
    ServerInformation->SetPollingInterval(10);
    Agent->Start();
    EXPECT_EQ(Agent->PollInterval(), 10000u);
}

TEST_F(AgentPoller, EmptyFolderLogsAndMakesNothing) {
    std::filesystem::create_directories(queuePath());
    Agent->ServiceQueueNow();
    EXPECT_EQ(Agent->ConnectionCount(), 0);
    EXPECT_TRUE(Logs.empty()) << dump();
    EXPECT_TRUE(Statuses.empty());
}

TEST_F(AgentPoller, MissingFolderKeepsTheTimerRunning) {
    Agent->Start();
    std::filesystem::remove_all(queuePath());
    Agent->ServiceQueueNow();
    EXPECT_TRUE(Agent->IsActive());
    EXPECT_TRUE(Logs.empty());
}

TEST_F(AgentPoller, NamesAreSortedWithoutCaseAndTakenOnce) {
    // Files that are no queue files in the form the agent expects: each name
    // is tried, logged as unusable and dropped; two files that differ only in
    // the extension give one name.
    std::filesystem::create_directories(queuePath() + "sub.txt");
    testsupport::writeFile(queuePath() + "b.eml", "x");
    testsupport::writeFile(queuePath() + "B.dat", "x");
    testsupport::writeFile(queuePath() + "a", "x");
    testsupport::writeFile(queuePath() + "C.x.y", "x");
    ASSERT_TRUE(runPass());
    EXPECT_TRUE(hasLog("Servicing 3 queued messages...")) << dump();
    // The files are read on the workers, so their lines may come in any
    // order; the connections were made in the order of the names.
    std::vector<std::pair<int, std::string>> Unable;
    for (const auto& L : Logs) {
        const std::size_t P = L.Text.find("> Unable to open Mail ");
        if (L.Text.rfind("<Smtp Agent ID ", 0) == 0 && P != std::string::npos)
            Unable.emplace_back(std::stoi(L.Text.substr(15, P - 15)), L.Text.substr(P + 2));
    }
    std::sort(Unable.begin(), Unable.end());
    ASSERT_EQ(Unable.size(), 3u) << dump();
    EXPECT_EQ(Unable[0].second, "Unable to open Mail a for sending... Deleted.");
    EXPECT_TRUE(Unable[1].second == "Unable to open Mail b for sending... Deleted." ||
                Unable[1].second == "Unable to open Mail B for sending... Deleted.");
    EXPECT_EQ(Unable[2].second, "Unable to open Mail C.x for sending... Deleted.");
    // Only ".txt" files are ever deleted: the others stay and come back.
    EXPECT_TRUE(std::filesystem::exists(queuePath() + "b.eml"));
    EXPECT_TRUE(std::filesystem::exists(queuePath() + "a"));
    ASSERT_TRUE(runPass());
    EXPECT_EQ(countLog("Unable to open Mail a for sending... Deleted."), 2);
}

TEST_F(AgentPoller, EmptyQueueFileIsDeleted) {
    std::filesystem::create_directories(queuePath());
    testsupport::writeFile(queueFile("7"), "");
    ASSERT_TRUE(runPass());
    EXPECT_TRUE(hasLog("Unable to open Mail 7 for sending... Deleted.")) << dump();
    EXPECT_FALSE(queued("7"));
}

TEST_F(AgentPoller, QueueFileThatCannotBeReadStaysForALaterScan) {
    // "9.txt" exists but is a folder, so reading it fails; "9.eml" makes the
    // scan see the name.
    std::filesystem::create_directories(queueFile("9"));
    testsupport::writeFile(queuePath() + "9.eml", "x");
    ASSERT_TRUE(runPass());
    EXPECT_TRUE(hasLog("Unable to read Mail 9 for sending... Left in queue.")) << dump();
    EXPECT_FALSE(hasLog("Deleted."));
    EXPECT_TRUE(std::filesystem::is_directory(queueFile("9")));
    EXPECT_EQ(Agent->ConnectionCount(), 0);
}

// --- connections that wait ---------------------------------------------------

class AgentWaiting : public AgentTest {
protected:
    std::string DnsAddr = uniqueLoopback(41);
    UdpResponder Silent{DnsAddr, 53, [](const Bytes&) { return std::vector<Bytes>{}; }};

    void SetUp() override {
        AgentTest::SetUp();
        ASSERT_GT(Silent.port(), 0);
        ServerInformation->DNSServerAddress = DnsAddr;
        ServerInformation->DNSServerTimeout = 600;  // the MX timer never fires in these tests
        recreateAgent();
        writeQueue("1", "<sender@agent.local.test>", {"<rcpt@far-away.test>"}, 0, 3, {"Subject: wait", "", "body"});
    }

    TSmtpAgentConnection* waitForLookup() {
        Agent->ServiceQueueNow();
        EXPECT_TRUE(testsupport::stepUntil([&] { return Silent.queries() > 0; }, 5000));
        return Agent->GetConnection(0);
    }
};

TEST_F(AgentWaiting, MessageInServiceIsNotTakenTwice) {
    ASSERT_NE(waitForLookup(), nullptr);
    EXPECT_EQ(Agent->ConnectionCount(), 1);
    Agent->ServiceQueueNow();
    EXPECT_EQ(Agent->ConnectionCount(), 1);
    EXPECT_TRUE(hasLog("Message 1 already in service.")) << dump();
    EXPECT_TRUE(Agent->IsMessageInService(nullptr, "1"));
    EXPECT_FALSE(Agent->IsMessageInService(Agent->GetConnection(0), "1"));
}

TEST_F(AgentWaiting, StoppedAgentScansOnDemandAndStaysStopped) {
    ASSERT_NE(waitForLookup(), nullptr);
    EXPECT_FALSE(Agent->IsActive());
    ASSERT_FALSE(Statuses.empty());
    EXPECT_TRUE(Statuses[0].Active);  // the light shows work while connections are added
    EXPECT_EQ(Statuses[0].Count, 1);
}

TEST_F(AgentWaiting, LogLinesOfAConnectionCarryItsIdentity) {
    TSmtpAgentConnection* C = waitForLookup();
    ASSERT_NE(C, nullptr);
    const std::string Prefix = "<Smtp Agent ID " + std::to_string(C->ID) + "> ";
    EXPECT_TRUE(hasLog(Prefix + "Processing FAR-AWAY.TEST")) << dump();
    EXPECT_TRUE(hasLog(Prefix + "Starting DNS MX Lookup"));
    for (const auto& L : Logs) EXPECT_EQ(L.Sender, Agent.get());
}

TEST_F(AgentWaiting, InactivitySweepFreesIdleConnectionsAndLeavesTheFile) {
    platform::setNowOverride(45000.0);
    ASSERT_NE(waitForLookup(), nullptr);
    const std::string Before = readQueue("1");

    Agent->CloseIdleConnections(0);
    EXPECT_EQ(Agent->ConnectionCount(), 1);
    platform::advanceNow(890.0 / 86400.0);  // the limit for 15 minutes is 894.24 s
    Agent->CloseIdleConnections(15);
    EXPECT_EQ(Agent->ConnectionCount(), 1);
    platform::advanceNow(5.0 / 86400.0);
    const int Id = Agent->GetConnection(0)->ID;
    Statuses.clear();
    Agent->CloseIdleConnections(15);
    EXPECT_EQ(Agent->ConnectionCount(), 0);
    EXPECT_TRUE(hasLog("<Smtp Agent ID " + std::to_string(Id) + "> Closing due to inactivity (15 minutes)."))
        << dump();
    ASSERT_EQ(Statuses.size(), 1u);
    EXPECT_EQ(Statuses[0].Count, 0);
    EXPECT_EQ(readQueue("1"), Before);

    // A later scan takes the message up again, its counters unchanged.
    ASSERT_NE(waitForLookup(), nullptr);
    ASSERT_TRUE(testsupport::stepUntil([&] { return !Agent->GetConnection(0)->Message().Name.empty(); }, 5000));
    EXPECT_EQ(Agent->GetConnection(0)->Message().Remaining, 3);
}

TEST_F(AgentWaiting, ShutdownFreesEveryConnection) {
    writeQueue("2", "<sender@agent.local.test>", {"<rcpt@far-away.test>"}, 0, 3, {"x"});
    Agent->Start();
    Agent->ServiceQueueNow();
    ASSERT_EQ(Agent->ConnectionCount(), 2);
    Statuses.clear();
    Agent->Shutdown();
    EXPECT_EQ(Agent->ConnectionCount(), 0);
    ASSERT_EQ(Statuses.size(), 3u);
    EXPECT_FALSE(Statuses[0].Active);
    EXPECT_EQ(Statuses[0].Count, 2);
    EXPECT_EQ(Statuses[1].Count, 1);
    EXPECT_EQ(Statuses[2].Count, 0);
    EXPECT_TRUE(queued("1"));
    EXPECT_TRUE(queued("2"));
}
