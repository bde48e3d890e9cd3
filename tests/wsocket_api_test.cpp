// The socket library binding, the error texts, the name helpers and the send
// queue's blocks.
#include <gtest/gtest.h>

#include "sockets/WSockBuf.h"
#include "sockets/WSocket.h"
#include "support/WSocketTestUtil.h"

namespace {

std::string RaisedText(const std::function<void()>& f) {
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "<nothing raised>";
}

TEST(WSocketErrorText, KnownAndUnknownCodes) {
    struct Row {
        int code;
        const char* text;
    } rows[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10035, "Operation would block"},
        {10048, "Address already in use"},
        {10054, "Connection reset by peer"},
        {10058, "Can't send after socket shutdown"},
        {10061, "Connection refused"},
        {10069, "Disc quota exceeded"},
        {10092, "WinSock DLL cannot support this application"},
        {11001, "Host not found"},
        {11004, "No Data"},
        {12345, "Not a WinSock error"},
        {10001, "Not a WinSock error"},
        {-1, "Not a WinSock error"},
    };
    for (const auto& r : rows) EXPECT_EQ(WSocketErrorText(r.code), r.text) << r.code;
}

TEST(WSocketErrorText, TableHoldsFiftyOneCodes) {
    int known = 0;
    for (int c = 0; c < 12000; ++c) known += WSocketErrorText(c) != "Not a WinSock error";
    EXPECT_EQ(known, 51);
}

TEST(WSocketIsDottedIP, Table) {
    struct Row {
        const char* text;
        bool ok;
    } rows[] = {
        {"1.2.3.4", true},
        {"  1.2.3.4  ", true},
        {"255.255.255.255", true},
        {"0.0.0.0", true},
        {"1.2.3", false},
        {"1..2.3", false},
        {".1.2.3", false},
        {"1.2.3.256", false},
        {"256.1.2.3", false},
        {"1.2.3.4x", false},
        {"1.2.3.4.", false},
        {"1.2.3.4.5", false},
        {"1.2 .3.4", false},
        {"1.2.3.4 x", false},
        {"1.2.3.", false},
        {"", false},
        {"   ", false},
        {"99999999999999999999.1.1.1", false},
        {"1.2.3.99999999999999999999", false},
        {"localhost", false},
    };
    for (const auto& r : rows) EXPECT_EQ(WSocketIsDottedIP(r.text), r.ok) << "'" << r.text << "'";
}

TEST(WSocketNameHelpers, LeadingNumberAndDigits) {
    EXPECT_EQ(ParseLeadingNumber("  25abc"), 25);
    EXPECT_EQ(ParseLeadingNumber("abc"), 0);
    EXPECT_EQ(ParseLeadingNumber(""), 0);
    EXPECT_EQ(ParseLeadingNumber("99999999999999999999"), 2147483647);
    EXPECT_TRUE(IsDecimalDigit('0'));
    EXPECT_TRUE(IsDecimalDigit('9'));
    EXPECT_FALSE(IsDecimalDigit('a'));
    EXPECT_FALSE(IsDecimalDigit(' '));
}

TEST(WSocketNameHelpers, ResolvePort) {
    EXPECT_EQ(WSocketResolvePort("25", "TCP"), 25);
    EXPECT_EQ(WSocketResolvePort("110x", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
    EXPECT_EQ(WSocketResolvePort("smtp", "TCP"), 25);
    EXPECT_EQ(WSocketResolvePort("POP3", "Tcp"), 110);
    // A blank first takes the service lookup, with the trimmed text.
    EXPECT_EQ(WSocketResolvePort(" smtp ", "tcp"), 25);
    EXPECT_EQ(RaisedText([] { WSocketResolvePort(" 25", "tcp"); }).rfind("WSocketResolvePort: Cannot convert port ' 25', Error #", 0), 0u);
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(RaisedText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("25", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("no-such-service-here", "tcp"); }).rfind(
                  "WSocketResolvePort: Cannot convert port 'no-such-service-here', Error #", 0),
              0u);
    // A number no port can hold is refused rather than wrapped.
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("65536", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
}

TEST(WSocketNameHelpers, ResolveProto) {
    EXPECT_EQ(WSocketResolveProto("TCP"), 6);
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto(" 17 "), 17);
    EXPECT_EQ(RaisedText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(RaisedText([] { WSocketResolveProto("nonsense"); }).rfind(
                  "WSocketResolveProto: Cannot convert protocol 'nonsense', Error #", 0),
              0u);
}

TEST(WSocketNameHelpers, ResolveHost) {
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    std::string longName(257, 'a');
    EXPECT_EQ(RaisedText([&] { WSocketResolveHost(longName); }), "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
    EXPECT_EQ(RaisedText([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(RaisedText([] { WSocketResolveHost("no-such-host.invalid"); }),
              "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #11001");
}

TEST(WSocketNameHelpers, HostLookupsAndLocalAddresses) {
    EXPECT_EQ(RaisedText([] { WSocketGetHostByName(""); }), "WSocketGetHostByName: Invalid Hostname.");
    EXPECT_FALSE(WSocketGetHostByName("no-such-host.invalid").has_value());
    auto e = WSocketGetHostByName("localhost");
    ASSERT_TRUE(e.has_value());
    ASSERT_FALSE(e->addresses.empty());
    EXPECT_FALSE(WSocketLocalHostName().empty());
    const std::vector<std::string>& a = WSocketLocalAddresses();
    ASSERT_FALSE(a.empty());
    for (const auto& s : a) EXPECT_TRUE(WSocketIsDottedIP(s)) << s;
    // The same list is refilled, not grown.
    std::size_t n = a.size();
    EXPECT_EQ(&WSocketLocalAddresses(), &a);
    EXPECT_EQ(a.size(), n);
}

TEST(WSocketFormat, Arguments) {
    EXPECT_EQ(WSocketFormat("%s: can't start DNS lookup, error #%d", {"host", 11001}),
              "host: can't start DNS lookup, error #11001");
    EXPECT_EQ(WSocketFormat("100%% %s", {"%d"}), "100% %d");
    EXPECT_EQ(WSocketFormat("%s %s", {"only"}), "only ");
}

TEST(WinsockBinding, EntryPointsAndFailureTexts) {
    EXPECT_EQ(LoadWinsockEntry(""), nullptr);
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_NE(LoadWinsockEntry("recv"), nullptr);
    EXPECT_EQ(RaisedText([] { LoadWinsockEntry("WSAFrobnicate"); }),
              "Procedure WSAFrobnicate not found in wsock32.dll Error #127");
}

TEST(WinsockBinding, LastSocketUnloadsAndNextCallLoadsAgain) {
    UnloadWinsock();
    ASSERT_EQ(WSocketLiveCount(), 0);
    ASSERT_FALSE(WinsockLoaded());
    int loads = WinsockLoadCount();
    {
        auto a = std::make_unique<TWSocket>();
        auto b = std::make_unique<TWSocket>();
        EXPECT_EQ(WSocketLiveCount(), 2);
        EXPECT_FALSE(WinsockLoaded()) << "constructing never loads the binding";
        a->SetAddr("127.0.0.1");
        a->SetPort("0");
        a->Listen();
        EXPECT_EQ(a->State(), wsListening);
        EXPECT_TRUE(WinsockLoaded());
        EXPECT_EQ(WinsockLoadCount(), loads + 1);
        a.reset();
        EXPECT_TRUE(WinsockLoaded()) << "one socket is still alive";
        EXPECT_EQ(WSocketLiveCount(), 1);
    }
    EXPECT_EQ(WSocketLiveCount(), 0);
    EXPECT_FALSE(WinsockLoaded());
    auto c = std::make_unique<TWSocket>();
    EXPECT_FALSE(WinsockLoaded());
    c->SetAddr("127.0.0.1");
    c->SetPort("0");
    c->Listen();
    EXPECT_EQ(c->State(), wsListening);
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_EQ(WinsockLoadCount(), loads + 2);
    c.reset();
    EXPECT_FALSE(WinsockLoaded());
}

TEST(TMemBuffer, WritePeekRemove) {
    TMemBuffer def(0);
    EXPECT_EQ(def.Size(), 1514);
    TMemBuffer b(10);
    EXPECT_EQ(b.Size(), 10);
    int len = -1;
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Write("abcdef", 6), 6);
    EXPECT_EQ(b.Write("ghijkl", 6), 4);
    EXPECT_EQ(b.Write("x", 1), 0) << "a full block takes nothing";
    const char* p = b.Peek(len);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghij");
    EXPECT_EQ(b.Remove(3), 3);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "defghij");
    EXPECT_EQ(b.Remove(100), 7) << "only the unread bytes are removed";
    EXPECT_EQ(b.Remove(1), 0);
    EXPECT_EQ(b.WrCount(), 0);
    EXPECT_EQ(b.RdCount(), 0);
    EXPECT_EQ(b.Write("0123456789", 10), 10) << "an emptied block refills from its start";
}

TEST(TMemBuffer, SetSizeKeepsStoredBytes) {
    TMemBuffer b(4);
    b.Write("abcd", 4);
    b.Remove(1);
    b.SetSize(8);
    int len = 0;
    const char* p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "bcd");
    EXPECT_EQ(b.Write("efghij", 6), 4);
    b.SetSize(2);  // never below what is stored
    EXPECT_EQ(b.Size(), 8);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "bcdefgh");
}

}  // namespace
