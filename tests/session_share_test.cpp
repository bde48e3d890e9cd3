// One client's pipelined commands take their share of each turn of the loop
// and no more: another session is answered while the flood goes on, a
// socket's completed sends wait in the loop as one notice, and every reply
// still comes, in order.
#include <sys/socket.h>

#include "platform/MessageLoop.h"
#include "support/Pop3Fixture.h"

namespace {

using namespace pop3test;

class SessionShare : public Pop3Fixture {};

TEST_F(SessionShare, PipelinedFloodLeavesOthersTheirTurnAndKeepsItsOrder) {
    addUser("flood", "pw");
    addUser("victim", "pw");
    deliver("victim", {"Subject: one", "", "body"});
    auto flood = login("flood", "pw");
    auto victim = login("victim", "pw");
    TPop3Connection* flooder = nullptr;
    for (const auto& c : server->Connections())
        if (c->UserName() == "flood") flooder = c.get();
    ASSERT_NE(flooder, nullptr);

    // All of it waits in the server's socket before the loop runs again,
    // ahead of the victim's command.
    const std::string noops = [] {
        std::string s;
        for (int i = 0; i < 10000; ++i) s += "NOOP\r\n";
        return s;
    }();
    std::size_t written = 0;
    for (ssize_t n; written < 1000000 && (n = ::send(flood->raw().fd(), noops.data(), noops.size(), MSG_NOSIGNAL)) > 0;)
        written += static_cast<std::size_t>(n);
    ASSERT_GT(flooder->Socket().GetRcvdCount(), 30000);
    victim->send("NOOP\r\n");
    const long long before = flooder->Socket().QueuedTotal();
    std::size_t mostPosted = 0;
    ASSERT_TRUE(testsupport::stepUntil([&] {
        mostPosted = std::max(mostPosted, platform::loop().pendingMessages());
        return victim->raw().readNow(), victim->raw().received().find("\r\n+OK\r\n") != std::string::npos;
    }));
    EXPECT_LT((flooder->Socket().QueuedTotal() - before) / 5, 1000) << "flood replies made before the victim's";
    EXPECT_LE(mostPosted, 8u) << "posted messages waiting in the loop";

    // Every one of a long pipelined burst is answered, in order, while the
    // client reads as it writes.
    ASSERT_EQ(victim->line(), "+OK");
    const std::string size = victim->cmd("LIST 1").substr(6);
    const char* cycle[][2] = {{"NOOP", "+OK"}, {"LIST 1", ""}, {"XYZ", "-ERR Unrecognized Command"},
                              {"LIST 9", "-ERR No Such Message"}, {"STAT", ""}};
    std::string burst, expected;
    for (int i = 0; i < 100000; ++i) {
        const auto& c = cycle[i % 5];
        burst += std::string(c[0]) + "\r\n";
        expected += (i % 5 == 1 ? "+OK 1 " + size : i % 5 == 4 ? "+OK 1 " + size : std::string(c[1])) + "\r\n";
    }
    const std::size_t from = victim->raw().received().size();
    std::size_t sent = 0;
    ASSERT_TRUE(testsupport::stepUntil(
        [&] {
            ssize_t n;
            while (sent < burst.size() &&
                   (n = ::send(victim->raw().fd(), burst.data() + sent, burst.size() - sent, MSG_NOSIGNAL)) > 0)
                sent += static_cast<std::size_t>(n);
            victim->raw().readNow();
            return victim->raw().received().size() - from >= expected.size();
        },
        60000));
    EXPECT_TRUE(victim->raw().received().substr(from) == expected);
}

}  // namespace
