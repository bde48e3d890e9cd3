// The MX query over real UDP: the query bytes it sends, answers from a real
// DNS server (dnsmasq), and crafted replies from the test's own responder.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "platform/MessageLoop.h"
#include "sockets/DnsQuery.h"
#include "support/Peers.h"
#include "support/TestSupport.h"

using namespace testpeers;
using testsupport::stepUntil;

namespace {

struct Watch {
    int Events = 0;
    int Error = -1;
    void attach(TDnsQuery& Q) {
        Q.OnRequestDone = [this](TDnsQuery*, std::uint16_t E) {
            ++Events;
            Error = E;
        };
    }
};

Bytes queryOf(const TDnsQuery& Q) { return Bytes(Q.QueryBuffer(), Q.QueryBuffer() + Q.QueryLength()); }

// The query's ID and question, echoed as a reply header and question.
DnsMessage replyTo(const Bytes& Query, std::uint16_t Flags = 0x8180) {
    const std::uint16_t Id = static_cast<std::uint16_t>((Query[0] << 8) | Query[1]);
    DnsMessage M(Id, Flags);
    M.question(Bytes(Query.begin() + 12, Query.end() - 4));
    return M;
}

}  // namespace

class DnsQueryWire : public ::testing::Test {
protected:
    std::string Addr = uniqueLoopback(31);
    UdpResponder Server{Addr, 0, [](const Bytes&) { return std::vector<Bytes>{}; }};
    TDnsQuery Q;
    void SetUp() override {
        ASSERT_GT(Server.port(), 0);
        Q.SetAddr(Addr);
        Q.SetPort(std::to_string(Server.port()));
    }
    Bytes sent(int Count) {
        EXPECT_TRUE(stepUntil([&] { return Server.queries() >= Count; }, 5000));
        return Server.lastQuery();
    }
};

TEST_F(DnsQueryWire, QueryLayoutByteByByte) {
    EXPECT_EQ(Q.Port(), std::to_string(Server.port()));
    const std::uint16_t Id = Q.MXLookup("mail.example.com");
    EXPECT_EQ(Id, 1);
    const Bytes Expected{0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         4, 'm', 'a', 'i', 'l', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0,
                         0x00, 0x0F, 0x00, 0x01};
    EXPECT_EQ(sent(1), Expected);
    EXPECT_EQ(Q.QueryLength(), static_cast<int>(Expected.size()));
    EXPECT_EQ(Q.ReplyLength(), -1);
}

TEST_F(DnsQueryWire, TrailingDotAndEmptyDomain) {
    Q.MXLookup("example.com");
    const Bytes Plain = sent(1);
    Q.MXLookup("example.com.");
    Bytes Dotted = sent(2);
    Dotted[1] = Plain[1];  // the IDs differ, nothing else
    EXPECT_EQ(Dotted, Plain);

    Q.MXLookup("");
    const Bytes Empty = sent(3);
    ASSERT_EQ(Empty.size(), 17u);
    EXPECT_EQ(Empty[12], 0);
}

TEST_F(DnsQueryWire, IdCountsUpAndWraps) {
    EXPECT_EQ(Q.MXLookup("a.test"), 1);
    EXPECT_EQ(Q.MXLookup("a.test"), 2);
    // Walk the counter round to its last value without the network: each
    // refused domain still draws its ID.
    for (int I = 3; I <= 65535; ++I) EXPECT_THROW(Q.MXLookup("bad..name"), ESocketException);
    EXPECT_EQ(Q.QueryID(), 65535);
    EXPECT_EQ(Q.MXLookup("a.test"), 0);
    EXPECT_EQ(Q.MXLookup("a.test"), 1);
}

TEST_F(DnsQueryWire, DomainsThatAreNoDnsNamesAreRefused) {
    const std::string Long64(64, 'x');
    std::string Long300;
    for (int I = 0; I < 60; ++I) Long300 += "abcd.";
    for (const std::string& Bad : {Long64 + ".test", std::string("a..b"), std::string(".a"), Long300 + "x",
                                   std::string("..")}) {
        EXPECT_THROW(Q.MXLookup(Bad), ESocketException) << Bad;
    }
    // The largest names that fit go out whole.
    Q.MXLookup(std::string(63, 'y') + ".test");
    EXPECT_EQ(sent(1)[12], 63);
    EXPECT_EQ(Server.queries(), 1);
}

TEST(DnsQueryResolveFailure, UnknownServerNameRaisesFromMXLookup) {
    TDnsQuery Q;
    Q.SetAddr("");  // no server at all: the socket refuses to connect
    EXPECT_THROW(Q.MXLookup("example.com"), ESocketException);
}

// --- a real DNS server ------------------------------------------------------

class DnsQueryDnsmasq : public ::testing::Test {
protected:
    std::string Addr = uniqueLoopback(32);
    int Port = 5300;
    DnsmasqPeer Dns{Addr, Port,
                    {"mx-host=several.test,mx10.several.test,10", "mx-host=several.test,mx30.several.test,30",
                     "mx-host=several.test,mx20.several.test,20", "host-record=real.test,127.0.0.9",
                     "cname=alias.test,real.test", "mx-host=real.test,mail.real.test,5",
                     "local=/test/"}};
    TDnsQuery Q;
    Watch W;
    void SetUp() override {
        ASSERT_TRUE(Dns.ready()) << Dns.log();
        Q.SetAddr(Addr);
        Q.SetPort(std::to_string(Port));
        W.attach(Q);
    }
};

TEST_F(DnsQueryDnsmasq, SeveralPreferences) {
    const std::uint16_t Id = Q.MXLookup("several.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events > 0; }, 5000));
    EXPECT_EQ(W.Error, 0);
    EXPECT_EQ(Q.ReplyID(), Id);
    EXPECT_EQ(Q.ResponseCode(), 0);
    EXPECT_EQ(Q.QuestionName(), "several.test");
    EXPECT_EQ(Q.AnswerCount(), 3);
    ASSERT_EQ(Q.MXCount(), 3);
    std::set<std::pair<int, std::string>> Got;
    for (int I = 0; I < Q.MXCount(); ++I) Got.insert({Q.GetMXPreference(I), Q.GetMXExchange(I)});
    EXPECT_EQ(Got, (std::set<std::pair<int, std::string>>{
                       {10, "mx10.several.test"}, {20, "mx20.several.test"}, {30, "mx30.several.test"}}));
}

TEST_F(DnsQueryDnsmasq, CnameBeforeMx) {
    Q.MXLookup("alias.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events > 0; }, 5000));
    EXPECT_EQ(Q.QuestionName(), "alias.test");
    ASSERT_EQ(Q.AnswerCount(), 2);
    EXPECT_EQ(Q.AnswerType()[0], 5);
    EXPECT_EQ(Q.AnswerTag()[0], -1);
    EXPECT_EQ(Q.AnswerTag()[1], 0);
    EXPECT_EQ(Q.AnswerName()[1], "real.test");
    ASSERT_EQ(Q.MXCount(), 1);
    EXPECT_EQ(Q.GetMXPreference(0), 5);
    EXPECT_EQ(Q.GetMXExchange(0), "mail.real.test");
}

TEST_F(DnsQueryDnsmasq, UnknownNameGivesNoAnswers) {
    Q.MXLookup("nothing.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events > 0; }, 5000));
    EXPECT_EQ(W.Error, 0);
    EXPECT_EQ(Q.AnswerCount(), 0);
    EXPECT_EQ(Q.MXCount(), 0);
    EXPECT_EQ(Q.ResponseCode(), 3);  // NXDOMAIN
}

TEST_F(DnsQueryDnsmasq, EachLookupReplacesTheLastAnswer) {
    Q.MXLookup("several.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events == 1; }, 5000));
    const std::uint16_t Id = Q.MXLookup("alias.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events == 2; }, 5000));
    EXPECT_EQ(Q.ReplyID(), Id);
    EXPECT_EQ(Q.MXCount(), 1);
    EXPECT_EQ(Q.GetMXExchange(0), "mail.real.test");
}

// --- crafted replies over the wire -----------------------------------------

class DnsQueryCrafted : public ::testing::Test {
protected:
    std::string Addr = uniqueLoopback(33);
    std::function<std::vector<Bytes>(const Bytes&)> Answer;
    UdpResponder Server{Addr, 0, [this](const Bytes& Q) { return Answer(Q); }};
    TDnsQuery Q;
    Watch W;
    void SetUp() override {
        ASSERT_GT(Server.port(), 0);
        Q.SetAddr(Addr);
        Q.SetPort(std::to_string(Server.port()));
        W.attach(Q);
    }
    // A good answer that follows every bad one, so that the test knows when
    // the bad ones have been taken in (datagrams on loopback keep their order).
    static Bytes good(const Bytes& Query) {
        return replyTo(Query).mx(pointerTo(12), 10, encodeName("good.test")).bytes();
    }
};

TEST_F(DnsQueryCrafted, MalformedDatagramsFireNothing) {
    Answer = [](const Bytes& Query) {
        std::vector<Bytes> Out;
        Out.push_back(Bytes(5, 0x81));                        // short
        Out.push_back(replyTo(Query, 0x0100).bytes());        // QR clear
        Out.push_back(replyTo(Query).counts(1, 60).bytes());  // 60 answers counted, none there
        {
            DnsMessage M = replyTo(Query);
            M.mx(pointerTo(M.size()), 10, encodeName("x.test"));  // owner points at itself
            Out.push_back(M.bytes());
        }
        Out.push_back(replyTo(Query).mx(pointerTo(12), 10, pointerTo(0x3FFF)).bytes());  // past the end
        {
            // Two names pointing at each other.
            DnsMessage M = replyTo(Query);
            const int A = M.size() + 2 + 10 + 2;
            Bytes Ex{1, 'a'};
            Bytes P = pointerTo(A + 4 + 2 + 10 + 2);
            Ex.insert(Ex.end(), P.begin(), P.end());
            M.mx(pointerTo(12), 1, Ex);
            Bytes Ex2{1, 'b'};
            Bytes P2 = pointerTo(A);
            Ex2.insert(Ex2.end(), P2.begin(), P2.end());
            M.mx(pointerTo(12), 2, Ex2);
            Out.push_back(M.bytes());
        }
        Bytes Long(900, 0xC0);  // a datagram of pointers only, longer than 512
        Long[2] = 0x81;
        Out.push_back(Long);
        Out.push_back(good(Query));
        return Out;
    };
    const std::uint16_t Id = Q.MXLookup("crafted.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events > 0; }, 5000));
    EXPECT_EQ(W.Events, 1);
    EXPECT_EQ(W.Error, 0);
    EXPECT_EQ(Q.ReplyID(), Id);
    EXPECT_EQ(Q.QuestionName(), "crafted.test");
    ASSERT_EQ(Q.MXCount(), 1);
    EXPECT_EQ(Q.GetMXExchange(0), "good.test");
}

TEST_F(DnsQueryCrafted, ErrorReplyWithoutAnswers) {
    Answer = [](const Bytes& Query) { return std::vector<Bytes>{replyTo(Query, 0x8182).bytes()}; };
    Q.MXLookup("failing.test");
    ASSERT_TRUE(stepUntil([&] { return W.Events > 0; }, 5000));
    EXPECT_EQ(W.Error, 0);
    EXPECT_EQ(Q.ResponseCode(), 2);
    EXPECT_EQ(Q.AnswerCount(), 0);
}

TEST_F(DnsQueryCrafted, DatagramFromAnotherSenderIsNoReply) {
    Answer = [](const Bytes& Query) { return std::vector<Bytes>{good(Query)}; };
    Q.MXLookup("strangers.test");
    const Bytes Query = queryOf(Q);

    // A stranger on another address gets its well-formed reply in first.
    const int Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in From{};
    From.sin_family = AF_INET;
    ::inet_pton(AF_INET, uniqueLoopback(34).c_str(), &From.sin_addr);
    ASSERT_EQ(::bind(Fd, reinterpret_cast<sockaddr*>(&From), sizeof From), 0);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_port = ::htons(static_cast<std::uint16_t>(std::stoi(Q.Socket()->GetBoundPort())));
    ::inet_pton(AF_INET, "127.0.0.1", &To.sin_addr);
    const Bytes Forged = replyTo(Query).mx(pointerTo(12), 1, encodeName("forged.test")).bytes();
    ASSERT_EQ(::sendto(Fd, Forged.data(), Forged.size(), 0, reinterpret_cast<sockaddr*>(&To), sizeof To),
              static_cast<ssize_t>(Forged.size()));
    ::close(Fd);

    ASSERT_TRUE(stepUntil([&] { return W.Events > 0; }, 5000));
    EXPECT_EQ(W.Events, 1);
    EXPECT_EQ(Q.GetMXExchange(0), "good.test");
}
