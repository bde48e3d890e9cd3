// The WinSock emulation: handle ids, error codes and the WSAAsyncSelect
// re-enabling rules on real loopback sockets.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Descriptors.h"
#include "MessageLoop.h"
#include "Net.h"
#include "support/TestSupport.h"

namespace net = platform::net;
using platform::loop;
using platform::Message;

// Listings of this process's descriptors, counted: their cost grows with the
// descriptors, so no accept may make one.
static std::atomic<long> g_descriptorListings{0};
extern "C" DIR* opendir(const char* name) {
    static auto real = reinterpret_cast<DIR* (*)(const char*)>(::dlsym(RTLD_NEXT, "opendir"));
    if (std::strcmp(name, "/proc/self/fd") == 0) ++g_descriptorListings;
    return real(name);
}

namespace {

constexpr unsigned kSelect = platform::WM_USER + 1;
constexpr unsigned kLookup = platform::WM_USER + 2;

struct Note {
    net::SOCKET s;
    unsigned bits;
    unsigned err;
};

struct Sink {
    std::vector<Note> notes;
    std::vector<Message> lookups;
    platform::HWND wnd;
    Sink() {
        wnd = loop().createWindow([this](Message& m) {
            if (m.msg == kSelect)
                notes.push_back({static_cast<net::SOCKET>(m.wParam), net::LOWORD(m.lParam), net::HIWORD(m.lParam)});
            else if (m.msg == kLookup)
                lookups.push_back(m);
        });
    }
    ~Sink() { loop().destroyWindow(wnd); }
    int count(net::SOCKET s, unsigned bit) const {
        int n = 0;
        for (auto& x : notes) n += (x.s == s && (x.bits & bit)) ? 1 : 0;
        return n;
    }
    bool waitFor(net::SOCKET s, unsigned bit, int n = 1) {
        return testsupport::stepUntil([&] { return count(s, bit) >= n; });
    }
};

sockaddr_in loopbackAddr(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = net::htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = net::inet_addr("127.0.0.1");
    return a;
}

// A few idle rounds of the loop; used only to show that nothing more arrives.
void idleRounds() {
    for (int i = 0; i < 5; ++i) loop().processOne(10);
}

struct Pair {
    Sink sink;
    net::SOCKET listener = net::INVALID_SOCKET, client = net::INVALID_SOCKET, server = net::INVALID_SOCKET;
    int port = 0;
    Pair() {
        listener = net::socket(AF_INET, SOCK_STREAM, 6);
        auto a = loopbackAddr(0);
        EXPECT_EQ(net::bind(listener, &a, sizeof a), 0);
        int len = sizeof a;
        net::getsockname(listener, &a, &len);
        port = net::ntohs(a.sin_port);
        EXPECT_EQ(net::listen(listener, 5), 0);
        net::WSAAsyncSelect(listener, sink.wnd, kSelect, net::FD_ACCEPT);
        client = net::socket(AF_INET, SOCK_STREAM, 6);
        net::WSAAsyncSelect(client, sink.wnd, kSelect, 59);
        auto to = loopbackAddr(port);
        int rc = net::connect(client, &to, sizeof to);
        EXPECT_TRUE(rc == 0 || net::WSAGetLastError() == net::WSAEWOULDBLOCK);
        EXPECT_TRUE(sink.waitFor(listener, net::FD_ACCEPT));
        server = net::accept(listener, nullptr, nullptr);
        EXPECT_NE(server, net::INVALID_SOCKET);
        net::WSAAsyncSelect(server, sink.wnd, kSelect, 51);
        EXPECT_TRUE(sink.waitFor(client, net::FD_CONNECT));
    }
    ~Pair() {
        for (auto s : {listener, client, server})
            if (s != net::INVALID_SOCKET) net::closesocket(s);
    }
};

}  // namespace

TEST(PlatformNet, HandlesAreNeverReused) {
    auto a = net::socket(AF_INET, SOCK_STREAM, 6);
    int fd = net::descriptorOf(a);
    net::closesocket(a);
    auto b = net::socket(AF_INET, SOCK_STREAM, 6);
    EXPECT_NE(a, b);
    EXPECT_EQ(net::descriptorOf(b), fd);  // the kernel reuses the number, we do not
    EXPECT_EQ(net::closesocket(a), net::SOCKET_ERROR);
    EXPECT_EQ(net::WSAGetLastError(), net::WSAENOTSOCK);
    net::closesocket(b);
}

TEST(PlatformNet, ConnectAcceptAndWriteNotifications) {
    Pair p;
    EXPECT_EQ(p.sink.notes.back().err, 0u);
    EXPECT_TRUE(p.sink.waitFor(p.client, net::FD_WRITE));
    EXPECT_TRUE(p.sink.waitFor(p.server, net::FD_WRITE));
    idleRounds();
    EXPECT_EQ(p.sink.count(p.client, net::FD_CONNECT), 1);
    EXPECT_EQ(p.sink.count(p.client, net::FD_WRITE), 1);
    EXPECT_EQ(p.sink.count(p.server, net::FD_WRITE), 1);
}

TEST(PlatformNet, UnreadDataNotifiesOnceAndAgainAfterEachRecv) {
    Pair p;
    ASSERT_EQ(net::send(p.client, "hello world", 11, 0), 11);
    ASSERT_TRUE(p.sink.waitFor(p.server, net::FD_READ));
    idleRounds();
    EXPECT_EQ(p.sink.count(p.server, net::FD_READ), 1);  // no spinning while unread

    char buf[5];
    ASSERT_EQ(net::recv(p.server, buf, 5, 0), 5);  // six bytes remain
    ASSERT_TRUE(p.sink.waitFor(p.server, net::FD_READ, 2));
    unsigned long pending = 0;
    net::ioctlsocket(p.server, net::WS_FIONREAD, &pending);
    EXPECT_EQ(pending, 6u);
    char rest[16];
    ASSERT_EQ(net::recv(p.server, rest, sizeof rest, 0), 6);
    idleRounds();
    EXPECT_EQ(p.sink.count(p.server, net::FD_READ), 2);
    EXPECT_EQ(net::recv(p.server, rest, sizeof rest, 0), net::SOCKET_ERROR);
    EXPECT_EQ(net::WSAGetLastError(), net::WSAEWOULDBLOCK);
}

TEST(PlatformNet, PeerCloseNotifiesOnceWithPendingData) {
    Pair p;
    net::send(p.client, "bye", 3, 0);
    net::closesocket(p.client);
    p.client = net::INVALID_SOCKET;
    ASSERT_TRUE(p.sink.waitFor(p.server, net::FD_CLOSE));
    idleRounds();
    EXPECT_EQ(p.sink.count(p.server, net::FD_CLOSE), 1);
    char buf[8];
    EXPECT_EQ(net::recv(p.server, buf, sizeof buf, 0), 3);
    EXPECT_EQ(net::recv(p.server, buf, sizeof buf, 0), 0);
    idleRounds();
    EXPECT_EQ(p.sink.count(p.server, net::FD_CLOSE), 1);
    for (auto& n : p.sink.notes) {
        if (n.s == p.server && (n.bits & net::FD_CLOSE)) { EXPECT_EQ(n.err, 0u); }
    }
}

// Without FD_CLOSE asked for, the end of the stream is not watched on its
// own: it must still not pass for bytes to read.
TEST(PlatformNet, EndOfStreamIsNoFdReadWithoutFdClose) {
    Pair p;
    net::WSAAsyncSelect(p.server, p.sink.wnd, kSelect, net::FD_READ);
    net::closesocket(p.client);
    p.client = net::INVALID_SOCKET;
    idleRounds();
    EXPECT_EQ(p.sink.count(p.server, net::FD_READ), 0);
    char buf[4];
    EXPECT_EQ(net::recv(p.server, buf, sizeof buf, 0), 0);
}

TEST(PlatformNet, ResetIsReportedAsConnectionReset) {
    Pair p;
    std::uint16_t lingerZero[2] = {1, 0};
    net::setsockopt(p.client, SOL_SOCKET, SO_LINGER, lingerZero, 4);
    net::closesocket(p.client);
    p.client = net::INVALID_SOCKET;
    ASSERT_TRUE(p.sink.waitFor(p.server, net::FD_CLOSE));
    for (auto& n : p.sink.notes) {
        if (n.s == p.server && (n.bits & net::FD_CLOSE)) { EXPECT_EQ(n.err, unsigned(net::WSAECONNRESET)); }
    }
    char buf[4];
    for (int i = 0; i < 2; ++i) {  // every later recv fails the same way
        EXPECT_EQ(net::recv(p.server, buf, sizeof buf, 0), net::SOCKET_ERROR);
        EXPECT_EQ(net::WSAGetLastError(), net::WSAECONNRESET);
    }
}

TEST(PlatformNet, ConnectToClosedPortReportsRefused) {
    Sink sink;
    int port = testsupport::freePort();
    auto s = net::socket(AF_INET, SOCK_STREAM, 6);
    net::WSAAsyncSelect(s, sink.wnd, kSelect, 59);
    auto to = loopbackAddr(port);
    net::connect(s, &to, sizeof to);
    ASSERT_TRUE(sink.waitFor(s, net::FD_CONNECT));
    EXPECT_EQ(sink.notes[0].err, static_cast<unsigned>(net::WSAECONNREFUSED));
    idleRounds();
    EXPECT_EQ(sink.notes.size(), 1u);  // a dead socket reports nothing more
    net::closesocket(s);
}

TEST(PlatformNet, PortInUseAndRebindAfterClose) {
    Pair p;
    auto other = net::socket(AF_INET, SOCK_STREAM, 6);
    auto a = loopbackAddr(p.port);
    EXPECT_EQ(net::bind(other, &a, sizeof a), net::SOCKET_ERROR);
    EXPECT_EQ(net::WSAGetLastError(), net::WSAEADDRINUSE);
    net::closesocket(other);

    // Closing the server side first leaves the port in TIME_WAIT; a restart
    // of the listener must still succeed.
    net::closesocket(p.server);
    p.server = net::INVALID_SOCKET;
    net::closesocket(p.listener);
    p.listener = net::INVALID_SOCKET;
    auto again = net::socket(AF_INET, SOCK_STREAM, 6);
    EXPECT_EQ(net::bind(again, &a, sizeof a), 0);
    EXPECT_EQ(net::listen(again, 5), 0);
    net::closesocket(again);
}

TEST(PlatformNet, PendingConnectionsNotifyAcceptAgain) {
    Pair p;
    auto c2 = net::socket(AF_INET, SOCK_STREAM, 6);
    auto c3 = net::socket(AF_INET, SOCK_STREAM, 6);
    auto to = loopbackAddr(p.port);
    net::connect(c2, &to, sizeof to);
    net::connect(c3, &to, sizeof to);
    ASSERT_TRUE(p.sink.waitFor(p.listener, net::FD_ACCEPT, 2));
    idleRounds();
    EXPECT_EQ(p.sink.count(p.listener, net::FD_ACCEPT), 2);  // not re-armed until accept
    auto s2 = net::accept(p.listener, nullptr, nullptr);
    ASSERT_TRUE(p.sink.waitFor(p.listener, net::FD_ACCEPT, 3));
    auto s3 = net::accept(p.listener, nullptr, nullptr);
    EXPECT_NE(s2, net::INVALID_SOCKET);
    EXPECT_NE(s3, net::INVALID_SOCKET);
    for (auto s : {c2, c3, s2, s3}) net::closesocket(s);
}

TEST(PlatformNet, AsyncLookupPostsResultAndCancelPostsNothing) {
    Sink sink;
    auto h = net::WSAAsyncGetHostByName(sink.wnd, kLookup, "localhost");
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(testsupport::stepUntil([&] { return !sink.lookups.empty(); }));
    EXPECT_EQ(static_cast<net::AsyncHandle>(sink.lookups[0].wParam), h);
    EXPECT_EQ(net::HIWORD(sink.lookups[0].lParam), 0u);
    net::HostEntry e;
    ASSERT_TRUE(net::WSAGetAsyncHostResult(h, e));
    ASSERT_FALSE(e.addresses.empty());
    EXPECT_EQ(net::inet_ntoa(e.addresses[0]), "127.0.0.1");
    EXPECT_FALSE(net::WSAGetAsyncHostResult(h, e));  // taken once

    // Cancelled after its thread has posted the result: still nothing
    // reaches the window.
    const std::size_t before = loop().pendingMessages();
    auto h2 = net::WSAAsyncGetHostByName(sink.wnd, kLookup, "localhost");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (loop().pendingMessages() == before && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_GT(loop().pendingMessages(), before);
    EXPECT_EQ(net::WSACancelAsyncRequest(h2), 0);
    for (int i = 0; i < 20; ++i) loop().processOne(10);
    EXPECT_EQ(sink.lookups.size(), 1u);
    EXPECT_EQ(net::WSACancelAsyncRequest(h2), net::SOCKET_ERROR);
}

TEST(PlatformNet, ProtocolAndAddressHelpers) {
    EXPECT_EQ(net::getprotobyname("tcp"), 6);
    EXPECT_EQ(net::getprotobyname("TCP"), 6);
    EXPECT_EQ(net::getprotobyname("udp"), 17);
    EXPECT_EQ(net::inet_ntoa(net::inet_addr("10.1.2.3")), "10.1.2.3");
    EXPECT_EQ(net::inet_addr("not an address"), INADDR_NONE);
    EXPECT_EQ(net::errnoToWsa(EADDRINUSE), net::WSAEADDRINUSE);
    EXPECT_EQ(net::errnoToWsa(EPIPE), net::WSAESHUTDOWN);
}

TEST(PlatformNet, AcceptOutOfDescriptorsDoesNotSpinAndRecovers) {
    Pair p;
    auto waiting = net::socket(AF_INET, SOCK_STREAM, 6);
    auto to = loopbackAddr(p.port);
    net::connect(waiting, &to, sizeof to);
    ASSERT_TRUE(p.sink.waitFor(p.listener, net::FD_ACCEPT, 2));

    // Leave no descriptor free for accept. Nothing that might open a file
    // (test output, sanitizer checks) runs until they are given back.
    std::vector<int> fillers;
    fillers.reserve(1 << 20);
    for (int fd; fillers.size() < fillers.capacity() && (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
    net::SOCKET refused = net::accept(p.listener, nullptr, nullptr);
    int refusedError = net::WSAGetLastError();
    int before = p.sink.count(p.listener, net::FD_ACCEPT);
    loop().processOne(0);
    loop().processOne(0);
    int afterIdle = p.sink.count(p.listener, net::FD_ACCEPT);
    for (int fd : fillers) ::close(fd);
    EXPECT_EQ(refused, net::INVALID_SOCKET);
    EXPECT_EQ(refusedError, net::WSAEMFILE);
    EXPECT_EQ(afterIdle, before);  // no immediate re-notify

    // After the pause the waiting connection is offered again.
    ASSERT_TRUE(p.sink.waitFor(p.listener, net::FD_ACCEPT, before + 1));
    auto s = net::accept(p.listener, nullptr, nullptr);
    EXPECT_NE(s, net::INVALID_SOCKET);
    net::closesocket(s);
    net::closesocket(waiting);
}

TEST(PlatformNet, ListenerWaitsWhileFewerThanTheReserveAreFree) {
    Pair p;
    auto to = loopbackAddr(p.port);
    std::vector<net::SOCKET> clients(3), accepted;
    for (auto& c : clients) {
        c = net::socket(AF_INET, SOCK_STREAM, 6);
        net::connect(c, &to, sizeof to);
    }
    ASSERT_TRUE(p.sink.waitFor(p.listener, net::FD_ACCEPT, 2));

    // Room for two more descriptors above the reserve.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = platform::openDescriptorCount() + 64 + 2;
    ASSERT_EQ(platform::descriptorReserve(low.rlim_cur), 64u);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    g_descriptorListings = 0;
    accepted.push_back(net::accept(p.listener, nullptr, nullptr));
    const bool second = p.sink.waitFor(p.listener, net::FD_ACCEPT, 3);
    if (second) accepted.push_back(net::accept(p.listener, nullptr, nullptr));
    // Long enough for the retry timer to look again, and find too few.
    for (int i = 0; i < 30; ++i) loop().processOne(10);
    const int whileShort = p.sink.count(p.listener, net::FD_ACCEPT);
    // A socket closed gives its descriptor back: the third client is taken.
    net::closesocket(accepted[0]);
    const bool third = p.sink.waitFor(p.listener, net::FD_ACCEPT, 4);
    if (third) accepted[0] = net::accept(p.listener, nullptr, nullptr);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(second);
    EXPECT_EQ(whileShort, 3);
    // Where the kernel gives the count, no check lists /proc/self/fd.
    struct stat fdDir {};
    if (::stat("/proc/self/fd", &fdDir) == 0 && fdDir.st_size > 0) {
        EXPECT_EQ(g_descriptorListings, 0);
    }
    EXPECT_TRUE(third);
    for (auto s : accepted) EXPECT_NE(s, net::INVALID_SOCKET);
    for (auto s : accepted) net::closesocket(s);
    for (auto c : clients) net::closesocket(c);
}

TEST(PlatformNet, HardCloseStillDeliversWhatIsQueued) {
    Pair p;
    // Fill the server's send path until the kernel refuses more.
    std::string chunk(16384, 'x');
    long sent = 0;
    for (int i = 0; i < 4096; ++i) {
        int n = net::send(p.server, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n <= 0) break;
        sent += n;
    }
    ASSERT_GT(sent, 0);
    std::uint16_t lingerZero[2] = {1, 0};  // the socket layer's default
    net::setsockopt(p.server, SOL_SOCKET, SO_LINGER, lingerZero, 4);
    net::closesocket(p.server);
    p.server = net::INVALID_SOCKET;

    // The peer reads everything, then the end of the stream, not a reset.
    int fd = net::descriptorOf(p.client);
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    long got = 0;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got += n;
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, sent);
}
