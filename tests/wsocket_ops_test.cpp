// Operations of the event socket: listen and its failures, argument checks,
// accept, setters, name lookups, UDP, address getters, close and abort.
#include <gtest/gtest.h>

#include "support/WSocketTestUtil.h"

using namespace wstest;
using testsupport::stepUntil;
namespace net = platform::net;

namespace {

using Events = std::vector<std::string>;

std::string RaisedText(const std::function<void()>& f) {
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "<nothing raised>";
}

void Prepare(TCustomWSocket& s, const std::string& addr, int port, const std::string& proto = "tcp") {
    s.SetAddr(addr);
    s.SetPort(std::to_string(port));
    s.SetProto(proto);
}

TEST(WSocketListen, PortInUseReportsBindAndLeavesNothingOpen) {
    EventLog log;
    EventLog alog;
    TWSocket a;
    int port = testsupport::freePort();
    Prepare(a, "127.0.0.1", port, "TCP");
    a.Listen();
    ASSERT_EQ(a.State(), wsListening);

    TWSocket b;
    log.attach(b);
    std::size_t open = net::openSocketCount();
    Prepare(b, "127.0.0.1", port);
    b.Listen();
    EXPECT_EQ(log.items, (Events{"Error(10048)"}));
    EXPECT_EQ(b.LastError(), 10048);
    EXPECT_EQ(b.State(), wsClosed);
    EXPECT_EQ(b.HSocket(), net::INVALID_SOCKET);
    EXPECT_EQ(net::openSocketCount(), open);

    b.OnError = nullptr;
    Prepare(b, "127.0.0.1", port);
    EXPECT_EQ(RaisedText([&] { b.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(net::openSocketCount(), open);

    // A stopped listener frees the port at once.
    alog.attach(a);
    a.Close();
    EXPECT_EQ(alog.items, (Events{"ChangeState(wsListening,wsClosed)", "SessionClosed(0)"}));
    Prepare(b, "127.0.0.1", port);
    b.Listen();
    EXPECT_EQ(b.State(), wsListening);
}

TEST(WSocketListen, EventsAndBoundAddress) {
    EventLog log;
    TWSocket a;
    log.attach(a);
    EXPECT_EQ(a.GetBoundPort(), "error");
    Prepare(a, "127.0.0.1", 0);
    a.Listen();
    EXPECT_EQ(log.items, (Events{"ChangeState(wsClosed,wsBound)", "ChangeState(wsBound,wsListening)"}));
    EXPECT_EQ(a.GetBoundAddr(), "127.0.0.1");
    EXPECT_NE(a.GetBoundPort(), "0");
    EXPECT_EQ(a.GetPeerAddr(), "error");
}

TEST(WSocketListen, MissingArguments) {
    struct Row {
        bool port, proto, addr;
        const char* label;
    } rows[] = {
        {false, true, true, "listen: port not assigned"},
        {true, false, true, "listen: protocol not assigned"},
        {true, true, false, "listen: address not assigned"},
    };
    for (const auto& r : rows) {
        TWSocket s;
        if (r.port) s.SetPort("0");
        s.SetProto(r.proto ? "tcp" : "");
        if (r.addr) s.SetAddr("127.0.0.1");
        EXPECT_EQ(RaisedText([&] { s.Listen(); }),
                  std::string("Error 10022 in function ") + r.label + "\r\nInvalid argument");
        EXPECT_EQ(s.LastError(), 10022);
        EXPECT_EQ(s.State(), wsClosed);
    }
}

TEST(WSocketConnect, ArgumentChecksAndAssignmentAfterClose) {
    RawListener l;
    TWSocket c;
    EXPECT_EQ(RaisedText([&] { c.Connect(); }), "Connect: No Port Specified");
    c.SetPort("1");
    EXPECT_EQ(RaisedText([&] { c.Connect(); }), "Connect: No IP Address Specified");
    c.SetAddr("127.0.0.1");
    c.SetProto("");
    EXPECT_EQ(RaisedText([&] { c.Connect(); }), "Connect: No Protocol Specified");

    Prepare(c, "127.0.0.1", l.port());
    c.Connect();
    EXPECT_EQ(RaisedText([&] { c.Connect(); }), "Connect: Socket already in use");
    c.Close();
    // The texts stay, but count as unset until assigned again.
    EXPECT_EQ(c.Port(), std::to_string(l.port()));
    EXPECT_EQ(c.Addr(), "127.0.0.1");
    EXPECT_EQ(RaisedText([&] { c.Connect(); }), "Connect: No Port Specified");
    c.SetPort(std::to_string(l.port()));
    EXPECT_EQ(RaisedText([&] { c.Connect(); }), "Connect: No IP Address Specified");
}

TEST(WSocketConnect, ResolverFailuresArePrefixed) {
    TWSocket c;
    Prepare(c, "no-such-host.invalid", 25);
    EXPECT_EQ(RaisedText([&] { c.Connect(); }),
              "connect: WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #11001");
    EXPECT_EQ(c.State(), wsClosed);
    Prepare(c, "127.0.0.1", 0);
    c.SetPort("no-such-service-here");
    EXPECT_EQ(RaisedText([&] { c.Listen(); }).rfind("listen: WSocketResolvePort: Cannot convert port", 0), 0u);
    EXPECT_EQ(c.HSocket(), net::INVALID_SOCKET);
}

TEST(WSocketConnect, BindsLocalAddressWhenAsked) {
    RawListener l;
    TWSocket c;
    Prepare(c, "127.0.0.1", l.port());
    c.SetLocalAddr("127.0.0.1");
    c.Connect();
    ASSERT_TRUE(stepUntil([&] { return c.State() == wsConnected; }));
    EXPECT_NE(c.LocalPort(), "0");
    EXPECT_EQ(c.GetBoundPort(), c.LocalPort());
    c.Close();
    EXPECT_EQ(c.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(c.LocalPort(), "0");
}

TEST(WSocketSetters, LocalAddrAndLocalPort) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    s.SetLocalAddr("127.000.000.001");
    EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
    s.SetLocalAddr("not an address");
    EXPECT_EQ(log.items, (Events{"Error(0)"}));
    EXPECT_EQ(s.LocalAddr(), "255.255.255.255");
    s.SetLocalPort(" 25 ");
    EXPECT_EQ(s.LocalPort(), " 25 ");
    s.SetAddr("  example.org  ");
    EXPECT_EQ(s.Addr(), "example.org");

    Prepare(s, "127.0.0.1", 0);
    s.Listen();
    log.items.clear();
    s.SetLocalAddr("127.0.0.1");
    s.SetLocalPort("1");
    s.SetProto("udp");
    EXPECT_EQ(log.items, (Events{"Error(0)", "Error(0)", "Error(0)"}));
    s.OnError = nullptr;
    EXPECT_EQ(RaisedText([&] { s.SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(RaisedText([&] { s.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(RaisedText([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(RaisedText([&] { s.SetAddr("1.2.3.4"); }), "Cannot change Addr if not closed");
}

TEST(WSocketSetters, SendFlags) {
    TWSocket s;
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    EXPECT_EQ(RaisedText([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
}

TEST(WSocketAccept, NotListeningAndDupOfNoHandle) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    EXPECT_EQ(s.Accept(), net::INVALID_SOCKET);
    EXPECT_EQ(s.LastError(), 10022);
    s.Dup(net::INVALID_SOCKET);
    s.Dup(0);
    EXPECT_EQ(log.items, (Events{"Error(10022)", "Error(10022)", "Error(10022)"}));
    s.OnError = nullptr;
    EXPECT_EQ(RaisedText([&] { s.Accept(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
    EXPECT_EQ(RaisedText([&] { s.Dup(-1); }), "Error 10022 in function Dup\r\nInvalid argument");
}

TEST(WSocketClose, CloseOnClosedSocketFiresNothing) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.Close();
    s.Abort();
    EXPECT_TRUE(log.items.empty());
}

TEST(WSocketClose, AbortConnectedSocket) {
    EventLog log;
    Acceptor srv;
    ASSERT_TRUE(srv.start());
    srv.setup = [&](TWSocket& s) { log.attach(s); };
    RawPeer peer(srv.port);
    ASSERT_TRUE(srv.waitSessions(1));
    TWSocket& s = *srv.sessions[0];
    drainLoop();
    log.items.clear();
    s.SendStr("pending");
    s.Abort();
    EXPECT_EQ(log.items, (Events{"ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.SendQueueBlockCount(), 0u);
    EXPECT_TRUE(peer.waitClosed());
    drainLoop();
    EXPECT_EQ(log.count("SessionClosed(0)"), 1);
}

TEST(WSocketDns, DottedAddressAnswersAtOnce) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.DnsLookup("127.0.0.1");
    EXPECT_EQ(log.items, (Events{"DnsLookupDone(0)"}));
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST(WSocketDns, EmptyNameReportsThenFinishes) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.DnsLookup("");
    EXPECT_EQ(log.items, (Events{"Error(0)", "DnsLookupDone(10022)"}));
    s.OnError = nullptr;
    EXPECT_EQ(RaisedText([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_EQ(RaisedText([&] { s.ReverseDnsLookup(""); }), "ReverseDnsLookup: Invalid host name.");
}

TEST(WSocketDns, NameLookupAndSecondLookupCancelsFirst) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.DnsLookup("localhost");
    s.DnsLookup("localhost");
    EXPECT_TRUE(log.items.empty()) << "the lookup answers later";
    ASSERT_TRUE(stepUntil([&] { return !log.items.empty(); }));
    drainLoop();
    EXPECT_EQ(log.items, (Events{"DnsLookupDone(0)"}));
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), "127.0.0.1");
}

TEST(WSocketDns, FailedAndCancelledLookups) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.DnsLookup("no-such-host.invalid");
    ASSERT_TRUE(stepUntil([&] { return !log.items.empty(); }));
    EXPECT_EQ(log.items, (Events{"DnsLookupDone(11001)"}));
    EXPECT_EQ(s.DnsResult(), "");

    log.items.clear();
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(log.items, (Events{"DnsLookupDone(10004)"}));
    drainLoop();
    EXPECT_EQ(log.items, (Events{"DnsLookupDone(10004)"}));
    s.CancelDnsLookup();  // nothing pending: nothing happens
    EXPECT_EQ(log.items.size(), 1u);
}

TEST(WSocketDns, ReverseLookup) {
    EventLog log;
    TWSocket s;
    log.attach(s);
    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(stepUntil([&] { return !log.items.empty(); }));
    EXPECT_EQ(log.items, (Events{"DnsLookupDone(0)"}));
    EXPECT_FALSE(s.DnsResult().empty());
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{s.DnsResult()});
}

TEST(WSocketDns, DestroyWithPendingLookupFiresNothing) {
    EventLog log;
    {
        TWSocket s;
        log.attach(s);
        s.DnsLookup("localhost");
    }
    drainLoop();
    EXPECT_TRUE(log.items.empty());
}

TEST(WSocketUdp, ListenConnectAndDatagrams) {
    EventLog slog;
    EventLog clog;
    TWSocket srv;
    slog.attach(srv);
    std::string got, from;
    srv.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) {
        char buf[512];
        sockaddr_in sa{};
        int len = sizeof sa;
        int n = x->ReceiveDatagram(buf, sizeof buf, sa, len);
        if (n > 0) {
            got.assign(buf, static_cast<std::size_t>(n));
            from = net::inet_ntoa(sa.sin_addr.s_addr);
            x->SendDatagram(sa, len, "pong", 4);
        }
    };
    Prepare(srv, "127.0.0.1", 0, "udp");
    srv.Listen();
    EXPECT_EQ(slog.items, (Events{"ChangeState(wsClosed,wsBound)", "ChangeState(wsBound,wsListening)",
                                  "ChangeState(wsListening,wsConnected)", "SessionConnected(0)"}));
    const std::string port = srv.GetBoundPort();

    TWSocket cli;
    clog.attach(cli);
    std::string reply;
    cli.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { reply += x->ReceiveStr(); };
    cli.SetAddr("127.0.0.1");
    cli.SetPort(port);
    cli.SetProto("udp");
    cli.Connect();
    EXPECT_EQ(clog.items, (Events{"ChangeState(wsClosed,wsOpened)", "ChangeState(wsOpened,wsConnected)",
                                  "SessionConnected(0)"}));
    EXPECT_EQ(cli.SendStr("ping"), 4);
    ASSERT_TRUE(stepUntil([&] { return reply == "pong"; }));
    EXPECT_EQ(got, "ping");
    EXPECT_EQ(from, "127.0.0.1");
    EXPECT_EQ(srv.ReadCount(), 4);
}

TEST(WSocketTimeval, Helpers) {
    timeval a{1, 2}, b{1, 2}, z{5, 5};
    EXPECT_TRUE(TCustomWSocket::TimevalIsSet(a));
    TCustomWSocket::TimevalClear(z);
    EXPECT_FALSE(TCustomWSocket::TimevalIsSet(z));
    EXPECT_TRUE(TCustomWSocket::TimevalCompare(a, b, true));
    EXPECT_FALSE(TCustomWSocket::TimevalCompare(a, z, true));
    EXPECT_TRUE(TCustomWSocket::TimevalCompare(a, z, false));
}

TEST(WSocketLayers, ConstructorSettings) {
    TWSocket s;
    EXPECT_EQ(s.LineEnd(), "\r\n");
    EXPECT_FALSE(s.LineMode());
    EXPECT_EQ(s.LineLimit(), 65536);
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), net::INVALID_SOCKET);
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_TRUE(s.ComponentOptions().Empty());
    EXPECT_EQ(s.MultiCastIpTTL(), 1);
    EXPECT_EQ(s.FlushTimeout(), 60);
}

}  // namespace
